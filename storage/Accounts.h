#pragma once
// The accounts table Servers(User, Password, Name, Description, UpdateURL,
// Official). User names compare without regard to case over all of code
// page 1252 (é and É are one letter): in look-ups, in the uniqueness of a new
// account and in the order of Users(). Writes that break a limit of the
// table (text longer than its column, duplicate user, Official outside
// 0..255) throw DatabaseError and write nothing; a duplicate user throws it
// with code kDuplicate. While the database is shared (PostgreSQL) every call
// goes to PgAccounts, with the same meaning.
#include "storage/Records.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class StatementCache;
class PgAccounts;

class Accounts {
 public:
  // Seek by user name (case-insensitive). The record's Position is the
  // bookmark of its row.
  std::optional<AccountRecord> Seek(std::string_view user);
  // Adds a row; every field as given (nullopt stays NULL).
  void Add(const AccountRecord& record);
  // Sets Password, Name, Description, UpdateURL and Official of the account
  // named record.User. Returns false if there is no such account.
  bool Edit(const AccountRecord& record);
  // Writes through a bookmark taken at login. Nothing is written, and false
  // is returned, when the row no longer exists or no longer holds `user`.
  bool WriteServerInfo(Bookmark at, std::string_view user, const std::string& name,
                       const std::string& description);
  bool WritePassword(Bookmark at, std::string_view user, const std::string& password);
  // Returns false if there is no such account.
  bool Delete(std::string_view user);
  // All user names by user name, ignoring letter case.
  std::vector<std::string> Users();
  int Count();
  // Up to `limit` accounts in index order, starting after the user name
  // `after` (from the first when it is empty): a walk through the table in
  // pages, each found on the index.
  std::vector<AccountRecord> Page(std::string_view after, int limit);

 private:
  friend class Database;
  Accounts() = default;
  StatementCache& Statements();
  // True when the row still holds `user` (ignoring case).
  bool Holds(Bookmark at, std::string_view user);
  StatementCache* statements_ = nullptr;  // set while the database is open
  PgAccounts* pg_ = nullptr;               // set while the database is shared
};
