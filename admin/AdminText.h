#pragma once
// The administration windows hold code page 1252 text in Unicode widgets;
// these are its two crossings. Every byte survives the round trip.
#include "storage/Cp1252.h"

#include <QString>
#include <optional>
#include <string>

namespace admin {

inline QString ToWidget(const std::optional<std::string>& bytes) {
  return bytes ? cp1252::ToUnicode(*bytes) : QString();
}

inline std::string FromWidget(const QString& text) { return cp1252::FromUnicode(text); }

}  // namespace admin
