#pragma once
// One row of each table as the program sees it. A field without a value
// (SQL NULL) is std::nullopt, which is distinct from an empty text.
#include <QDateTime>
#include <cstdint>
#include <optional>
#include <string>

// A bookmark is the row's rowid. It is always used together with the user
// name it was taken for, so a stale bookmark never reaches another account.
using Bookmark = std::int64_t;

struct AccountRecord {
  std::optional<std::string> User;
  std::optional<std::string> Password;
  std::optional<std::string> Name;
  std::optional<std::string> Description;
  std::optional<std::string> UpdateURL;
  std::optional<int> Official;
  Bookmark Position = 0;  // filled by reads, ignored by writes
};

struct BanRecord {
  std::optional<int> Number;
  std::optional<std::string> Name;
  std::optional<std::string> IP;
  std::optional<std::string> Reason;
  std::optional<QDateTime> UnbanDate;  // local time, no time zone
};
