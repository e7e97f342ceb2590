#pragma once
// A text longer than its column is refused, never cut: the store refuses the
// row (its size checks name the column and the characters it holds), and the
// editor names the field and its limit to the operator, keeping what was
// typed for correction. The limits are thus the store's own; the editors
// keep no copy of them.
#include <QString>
#include <optional>
#include <string>

class DatabaseError;

namespace admin {

struct TooLongText {
  std::string table;   // "Servers", "Bans"
  std::string column;  // "IP", "UpdateURL", ...
  int limit = 0;       // characters the column holds
};

// The column whose size check refused the row, or nullopt when the store
// refused it for another reason.
std::optional<TooLongText> TooLongTextIn(const DatabaseError& e);

// "The IP can be at most 15 characters."
QString TooLongNotice(const QString& field, int limit);

}  // namespace admin
