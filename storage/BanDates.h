#pragma once
// UnbanDate as text "yyyy-MM-dd HH:mm:ss", local wall-clock time without a
// zone, the way the operator typed it: the same text means the same day
// after a move of the machine's time zone. Both back ends store this text.
#include <QDateTime>
#include <optional>
#include <string>

namespace bandate {

std::optional<std::string> ToText(const std::optional<QDateTime>& date);
// nullopt for NULL and for text that is not such a date.
std::optional<QDateTime> FromText(const std::optional<std::string>& text);

}  // namespace bandate
