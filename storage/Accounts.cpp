#include "storage/Accounts.h"

#include "storage/Cp1252.h"
#include "storage/Database.h"
#include "storage/PgAccounts.h"
#include "storage/Sqlite.h"

#include <algorithm>

// User compares with the column's NOCASE collation, which folds A to Z. A
// name made of ASCII alone is therefore looked up by the primary key index
// exactly, and only ASCII names can equal it. A name with a letter above 127
// is looked up as the range of its look-alikes in the same index, and the
// program picks out the ones that equal it in code page 1252 case; the
// unique index cannot tell those apart, so Add refuses them itself.

namespace {

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

// The six fields as ?1 (User) to ?6 (Official), in the table's order.
void BindAccount(Query& q, const AccountRecord& record) {
  q.BindOptional(1, record.User)
      .BindOptional(2, record.Password)
      .BindOptional(3, record.Name)
      .BindOptional(4, record.Description)
      .BindOptional(5, record.UpdateURL)
      .BindInt(6, record.Official);
}

}  // namespace

StatementCache& Accounts::Statements() {
  if (!statements_) throw DatabaseError("the database is not open");
  return *statements_;
}

std::optional<AccountRecord> Accounts::Seek(std::string_view user) {
  if (pg_) return pg_->Seek(user);

  if (cp1252::IsAscii(user)) {
    Query q = Statements().Get(
        "SELECT rowid, User, Password, Name, Description, UpdateURL, Official "
        "FROM Servers WHERE User = ?1");
    q.BindText(1, user);
    if (!q.Step()) return std::nullopt;
    return ReadAccount(q);
  }
  Query q = Statements().Get(
      "SELECT rowid, User, Password, Name, Description, UpdateURL, Official "
      "FROM Servers WHERE User BETWEEN ?1 AND ?2 ORDER BY User");
  q.BindLookAlikes(1, user);
  while (q.Step()) {
    if (q.HoldsName(1, user)) return ReadAccount(q);
  }
  return std::nullopt;
}

void Accounts::Add(const AccountRecord& record) {
  if (pg_) return pg_->Add(record);

  if (record.User && !cp1252::IsAscii(*record.User) && Seek(*record.User))
    throw DatabaseError("UNIQUE constraint failed: Servers.User", DatabaseError::kDuplicate);
  Query q = Statements().Get(
      "INSERT INTO Servers(User, Password, Name, Description, UpdateURL, Official) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  BindAccount(q, record);
  try {
    q.Run();
  } catch (const DatabaseError& e) {
    if (e.code() == SQLITE_CONSTRAINT_PRIMARYKEY) throw DatabaseError(e.what(), DatabaseError::kDuplicate);
    throw;
  }
}

bool Accounts::Edit(const AccountRecord& record) {
  if (pg_) return pg_->Edit(record);

  if (!record.User) return false;  // no account has a NULL user name
  if (cp1252::IsAscii(*record.User)) {
    Query q = Statements().Get(
        "UPDATE Servers SET Password = ?2, Name = ?3, Description = ?4, UpdateURL = ?5, "
        "Official = ?6 WHERE User = ?1");
    BindAccount(q, record);
    return q.Run() > 0;
  }
  const auto row = Seek(*record.User);
  if (!row) return false;
  Query q = Statements().Get(
      "UPDATE Servers SET Password = ?2, Name = ?3, Description = ?4, UpdateURL = ?5, "
      "Official = ?6 WHERE rowid = ?7");
  BindAccount(q, record);
  q.BindInt64(7, row->Position);
  return q.Run() > 0;
}

bool Accounts::Holds(Bookmark at, std::string_view user) {
  Query q = Statements().Get("SELECT User FROM Servers WHERE rowid = ?1");
  q.BindInt64(1, at);
  return q.Step() && q.HoldsName(0, user);
}

// A bookmark is honoured only while its row still belongs to the user it was
// taken for: a deleted account's rowid may since have gone to another one.
// For an ASCII name the UPDATE checks that itself.
bool Accounts::WriteServerInfo(Bookmark at, std::string_view user, const std::string& name,
                               const std::string& description) {
  if (pg_) return pg_->WriteServerInfo(at, user, name, description);

  const bool ascii = cp1252::IsAscii(user);
  if (!ascii && !Holds(at, user)) return false;
  Query q = Statements().Get(
      ascii ? "UPDATE Servers SET Name = ?3, Description = ?4 WHERE rowid = ?1 AND User = ?2"
            : "UPDATE Servers SET Name = ?3, Description = ?4 WHERE rowid = ?1");
  q.BindInt64(1, at).BindText(2, user).BindText(3, name).BindText(4, description);
  return q.Run() > 0;
}

bool Accounts::WritePassword(Bookmark at, std::string_view user, const std::string& password) {
  if (pg_) return pg_->WritePassword(at, user, password);

  const bool ascii = cp1252::IsAscii(user);
  if (!ascii && !Holds(at, user)) return false;
  Query q = Statements().Get(ascii
                                 ? "UPDATE Servers SET Password = ?3 WHERE rowid = ?1 AND User = ?2"
                                 : "UPDATE Servers SET Password = ?3 WHERE rowid = ?1");
  q.BindInt64(1, at).BindText(2, user).BindText(3, password);
  return q.Run() > 0;
}

bool Accounts::Delete(std::string_view user) {
  if (pg_) return pg_->Delete(user);

  if (cp1252::IsAscii(user)) {
    Query q = Statements().Get("DELETE FROM Servers WHERE User = ?1");
    q.BindText(1, user);
    return q.Run() > 0;
  }
  const auto row = Seek(user);
  if (!row) return false;
  Query q = Statements().Get("DELETE FROM Servers WHERE rowid = ?1");
  q.BindInt64(1, row->Position);
  return q.Run() > 0;
}

std::vector<std::string> Accounts::Users() {
  if (pg_) return pg_->Users();

  Query q = Statements().Get("SELECT User FROM Servers ORDER BY User");
  std::vector<std::string> users;
  bool ascii = true;
  while (q.Step()) {
    users.push_back(q.Text(0).value_or(std::string()));
    ascii = ascii && cp1252::IsAscii(users.back());
  }
  // NOCASE already gives this order when every name is ASCII; otherwise it
  // keeps the two cases of an accented letter apart.
  if (!ascii) {
    std::stable_sort(users.begin(), users.end(), [](const std::string& a, const std::string& b) {
      return cp1252::FoldedKey(a) < cp1252::FoldedKey(b);
    });
  }
  return users;
}

int Accounts::Count() {
  if (pg_) return pg_->Count();

  Query q = Statements().Get("SELECT count(*) FROM Servers");
  q.Step();
  return int(q.Int64(0));
}


std::vector<AccountRecord> Accounts::Page(std::string_view after, int limit) {
  if (pg_) return pg_->Page(after, limit);

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
