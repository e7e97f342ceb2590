#pragma once
// The registry's text is single-byte code page 1252: inside the program it is
// std::string of those bytes. It becomes Unicode only at the edges (widgets,
// D-Bus, the database file). The five bytes that code page 1252 leaves
// undefined map to the C1 controls of the same value, so all 256 bytes
// survive a round trip.
#include <QString>
#include <string>
#include <string_view>

namespace cp1252 {

QString ToUnicode(std::string_view bytes);
// Characters that code page 1252 cannot hold become '?'.
std::string FromUnicode(const QString& text);

std::string ToUtf8(std::string_view bytes);
// The same, appended to `out`.
void AppendAsUtf8(std::string& out, std::string_view bytes);
std::string FromUtf8(std::string_view utf8);

}  // namespace cp1252
