#include "core/Text.h"

char UpperChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b >= 'a' && b <= 'z') return char(b - 0x20);
  if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return char(b - 0x20);
  switch (b) {
    case 0x9A: return char(0x8A);  // s caron
    case 0x9C: return char(0x8C);  // oe
    case 0x9E: return char(0x8E);  // z caron
    case 0xFF: return char(0x9F);  // y diaeresis
    default: return c;
  }
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperChar(c);
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

std::string_view TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}
