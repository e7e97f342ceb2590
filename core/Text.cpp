#include "core/Text.h"

std::string_view TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

namespace {

bool NeedsEscape(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '\\' || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 ||
         c == 0x9D;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && !NeedsEscape(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size()) return std::string(text);  // the usual case
  std::string out(text.substr(0, i));
  static const char kHex[] = "0123456789abcdef";
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!NeedsEscape(c)) {
      out += char(c);
      continue;
    }
    out += '\\';
    switch (c) {
      case '\n': out += 'n'; break;
      case '\r': out += 'r'; break;
      case '\t': out += 't'; break;
      case '\\': out += '\\'; break;
      default:
        out += 'x';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  return out;
}
