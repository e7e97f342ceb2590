#include "storage/PgAccounts.h"

#include "storage/Cp1252.h"
#include "storage/PgStore.h"

namespace {

constexpr const char* kColumns =
    "\"Id\", \"User\", \"Password\", \"Name\", \"Description\", \"UpdateURL\", \"Official\"";

std::string Select(const std::string& rest) {
  return std::string("SELECT ") + kColumns + " FROM \"Servers\" " + rest;
}

AccountRecord ReadAccount(const PgResult& r, int row) {
  AccountRecord record;
  record.Position = r.Int(row, 0);
  record.User = PgStore::FromText(r.OptionalText(row, 1));
  record.Password = PgStore::FromText(r.OptionalText(row, 2));
  record.Name = PgStore::FromText(r.OptionalText(row, 3));
  record.Description = PgStore::FromText(r.OptionalText(row, 4));
  record.UpdateURL = PgStore::FromText(r.OptionalText(row, 5));
  if (!r.IsNull(row, 6)) record.Official = int(r.Int(row, 6));
  return record;
}

PgConnection::Param Key(std::string_view user) {
  // Cut short at a 0x00, the key would be another name's.
  if (user.find('\0') != std::string_view::npos)
    throw DatabaseError("the user name holds the character 0x00, which PostgreSQL cannot store");
  return cp1252::FoldedKey(user);
}

PgConnection::Param Number(const std::optional<int>& n) {
  if (!n) return std::nullopt;
  return std::to_string(*n);
}

// $2 (Password) to $6 (Official), in the table's order; $1 is the key.
std::vector<PgConnection::Param> Fields(const AccountRecord& record) {
  return {record.User ? Key(*record.User) : std::nullopt, PgStore::Text(record.Password),
          PgStore::Text(record.Name),                      PgStore::Text(record.Description),
          PgStore::Text(record.UpdateURL),                 Number(record.Official)};
}

}  // namespace

int PgAccounts::Write(const std::string& sql, const std::vector<std::optional<std::string>>& params) {
  PgStore::Write write(store_, false);
  const int changed = store_.Exec(sql, params).Affected();
  write.Done();
  return changed;
}

std::optional<AccountRecord> PgAccounts::Seek(std::string_view user) {
  const PgResult r = store_.Exec(Select("WHERE \"UserKey\" = $1"), {Key(user)});
  if (r.Rows() == 0) return std::nullopt;
  return ReadAccount(r, 0);
}

void PgAccounts::Add(const AccountRecord& record) {
  std::vector<PgConnection::Param> params = Fields(record);
  params.push_back(PgStore::Text(record.User));
  try {
    Write("INSERT INTO \"Servers\"(\"UserKey\", \"Password\", \"Name\", \"Description\", "
          "\"UpdateURL\", \"Official\", \"User\") VALUES($1, $2, $3, $4, $5, $6, $7)",
          params);
  } catch (const PgError& e) {
    // The same words as the file's, so the operator reads one message.
    if (e.state() == "23505")
      throw DatabaseError("UNIQUE constraint failed: Servers.User", DatabaseError::kDuplicate);
    throw;
  }
}

bool PgAccounts::Edit(const AccountRecord& record) {
  if (!record.User) return false;  // no account has a NULL user name
  return Write("UPDATE \"Servers\" SET \"Password\" = $2, \"Name\" = $3, \"Description\" = $4, "
               "\"UpdateURL\" = $5, \"Official\" = $6 WHERE \"UserKey\" = $1",
               Fields(record)) > 0;
}

// Row ids are never given out twice, and the key check keeps a bookmark to
// the account it was taken for all the same.
bool PgAccounts::WriteServerInfo(Bookmark at, std::string_view user, const std::string& name,
                                 const std::string& description) {
  return Write("UPDATE \"Servers\" SET \"Name\" = $3, \"Description\" = $4 "
               "WHERE \"Id\" = $1 AND \"UserKey\" = $2",
               {std::to_string(at), Key(user), PgStore::Text(name), PgStore::Text(description)}) > 0;
}

bool PgAccounts::WritePassword(Bookmark at, std::string_view user, const std::string& password) {
  return Write("UPDATE \"Servers\" SET \"Password\" = $3 WHERE \"Id\" = $1 AND \"UserKey\" = $2",
               {std::to_string(at), Key(user), PgStore::Text(password)}) > 0;
}

bool PgAccounts::Delete(std::string_view user) {
  return Write("DELETE FROM \"Servers\" WHERE \"UserKey\" = $1", {Key(user)}) > 0;
}

std::vector<std::string> PgAccounts::Users() {
  const PgResult r = store_.Exec("SELECT \"User\" FROM \"Servers\" ORDER BY \"UserKey\"");
  std::vector<std::string> users;
  users.reserve(std::size_t(r.Rows()));
  for (int i = 0; i < r.Rows(); ++i) users.push_back(cp1252::FromUtf8(r.Text(i, 0)));
  return users;
}

int PgAccounts::Count() {
  return int(store_.Exec("SELECT count(*) FROM \"Servers\"").Int(0, 0));
}

std::vector<AccountRecord> PgAccounts::Page(std::string_view after, int limit) {
  const PgResult r =
      after.empty()
          ? store_.Exec(Select("ORDER BY \"UserKey\" LIMIT $1"), {std::to_string(limit)})
          : store_.Exec(Select("WHERE \"UserKey\" > $1 ORDER BY \"UserKey\" LIMIT $2"),
                        {Key(after), std::to_string(limit)});
  std::vector<AccountRecord> page;
  page.reserve(std::size_t(r.Rows()));
  for (int i = 0; i < r.Rows(); ++i) page.push_back(ReadAccount(r, i));
  return page;
}
