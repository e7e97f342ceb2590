#include "storage/Accounts.h"

#include "storage/Database.h"
#include "storage/Sqlite.h"

// User compares with the column's NOCASE collation, so "= ?" is the
// case-insensitive seek on the primary key index.

StatementCache& Accounts::Statements() {
  if (!statements_) throw DatabaseError("the database is not open");
  return *statements_;
}

std::optional<AccountRecord> Accounts::Seek(std::string_view user) {
  Query q = Statements().Get(
      "SELECT rowid, User, Password, Name, Description, UpdateURL, Official "
      "FROM Servers WHERE User = ?1");
  q.BindText(1, user);
  if (!q.Step()) return std::nullopt;
  AccountRecord record;
  record.Position = q.Int64(0);
  record.User = q.Text(1);
  record.Password = q.Text(2);
  record.Name = q.Text(3);
  record.Description = q.Text(4);
  record.UpdateURL = q.Text(5);
  record.Official = q.Int(6);
  return record;
}

// The six fields as ?1 (User) to ?6 (Official), in the table's order.
static void BindAccount(Query& q, const AccountRecord& record) {
  q.BindOptional(1, record.User)
      .BindOptional(2, record.Password)
      .BindOptional(3, record.Name)
      .BindOptional(4, record.Description)
      .BindOptional(5, record.UpdateURL)
      .BindInt(6, record.Official);
}

void Accounts::Add(const AccountRecord& record) {
  Query q = Statements().Get(
      "INSERT INTO Servers(User, Password, Name, Description, UpdateURL, Official) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  BindAccount(q, record);
  q.Run();
}

bool Accounts::Edit(const AccountRecord& record) {
  if (!record.User) return false;  // no account has a NULL user name
  Query q = Statements().Get(
      "UPDATE Servers SET Password = ?2, Name = ?3, Description = ?4, UpdateURL = ?5, "
      "Official = ?6 WHERE User = ?1");
  BindAccount(q, record);
  return q.Run() > 0;
}

// A bookmark is honoured only while its row still belongs to the user it was
// taken for: a deleted account's rowid may since have gone to another one.
bool Accounts::WriteServerInfo(Bookmark at, std::string_view user, const std::string& name,
                               const std::string& description) {
  Query q = Statements().Get(
      "UPDATE Servers SET Name = ?3, Description = ?4 WHERE rowid = ?1 AND User = ?2");
  q.BindInt64(1, at).BindText(2, user).BindText(3, name).BindText(4, description);
  return q.Run() > 0;
}

bool Accounts::WritePassword(Bookmark at, std::string_view user, const std::string& password) {
  Query q =
      Statements().Get("UPDATE Servers SET Password = ?3 WHERE rowid = ?1 AND User = ?2");
  q.BindInt64(1, at).BindText(2, user).BindText(3, password);
  return q.Run() > 0;
}

bool Accounts::Delete(std::string_view user) {
  Query q = Statements().Get("DELETE FROM Servers WHERE User = ?1");
  q.BindText(1, user);
  return q.Run() > 0;
}

std::vector<std::string> Accounts::Users() {
  Query q = Statements().Get("SELECT User FROM Servers ORDER BY User");
  std::vector<std::string> users;
  while (q.Step()) users.push_back(q.Text(0).value_or(std::string()));
  return users;
}

int Accounts::Count() {
  Query q = Statements().Get("SELECT count(*) FROM Servers");
  q.Step();
  return int(q.Int64(0));
}

namespace {
// Columns rowid, User, Password, Name, Description, UpdateURL, Official.
AccountRecord ReadAccount(const Query& q) {
  AccountRecord record;
  record.Position = q.Int64(0);
  record.User = q.Text(1);
  record.Password = q.Text(2);
  record.Name = q.Text(3);
  record.Description = q.Text(4);
  record.UpdateURL = q.Text(5);
  record.Official = q.Int(6);
  return record;
}
}  // namespace

std::vector<AccountRecord> Accounts::Page(std::string_view after, int limit) {
  // "User > ?1" compares with the column's collation, the index's order.
  Query q = after.empty()
                ? Statements().Get("SELECT rowid, User, Password, Name, Description, UpdateURL, "
                                   "Official FROM Servers ORDER BY User LIMIT ?2")
                : Statements().Get("SELECT rowid, User, Password, Name, Description, UpdateURL, "
                                   "Official FROM Servers WHERE User > ?1 ORDER BY User LIMIT ?2");
  if (!after.empty()) q.BindText(1, after);
  q.BindInt(2, limit);
  std::vector<AccountRecord> page;
  while (q.Step()) page.push_back(ReadAccount(q));
  return page;
}
