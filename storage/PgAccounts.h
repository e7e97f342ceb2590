#pragma once
// The accounts table of the shared back end; Accounts hands every call to
// it while the database is shared, with the same meaning (see Accounts.h).
// A name is looked up by its folded copy, so é and É are one letter here
// as in the file, and the unique key on that copy refuses a second account
// made at the same moment at another registry: DatabaseError kDuplicate.
#include "storage/Records.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class PgStore;

class PgAccounts {
 public:
  explicit PgAccounts(PgStore& store) : store_(store) {}

  std::optional<AccountRecord> Seek(std::string_view user);
  void Add(const AccountRecord& record);
  bool Edit(const AccountRecord& record);
  bool WriteServerInfo(Bookmark at, std::string_view user, const std::string& name,
                       const std::string& description);
  bool WritePassword(Bookmark at, std::string_view user, const std::string& password);
  bool Delete(std::string_view user);
  std::vector<std::string> Users();
  int Count();
  std::vector<AccountRecord> Page(std::string_view after, int limit);

 private:
  // One write of its own (see PgStore::Write); the rows it changed.
  int Write(const std::string& sql, const std::vector<std::optional<std::string>>& params);

  PgStore& store_;
};
