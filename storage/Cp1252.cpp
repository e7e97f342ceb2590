#include "storage/Cp1252.h"

#include <array>

namespace cp1252 {
namespace {

// Bytes 0x80-0x9F; every other byte is the code point of the same value.
// The five holes of the code page (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their
// C1 control so the mapping stays one-to-one in both directions.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

char16_t ToCodePoint(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : char16_t(byte);
}

// The byte for a code point, or -1 when the code page has none.
int ToByte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return int(cp);
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == cp) return 0x80 + i;
  }
  return -1;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else {
    // Every code point of the table lies in the Basic Multilingual Plane.
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

}  // namespace

QString ToUnicode(std::string_view bytes) {
  QString text(qsizetype(bytes.size()), Qt::Uninitialized);
  QChar* out = text.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = QChar(ToCodePoint(static_cast<unsigned char>(bytes[i])));
  }
  return text;
}

std::string FromUnicode(const QString& text) {
  std::string out;
  out.reserve(std::size_t(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    char32_t cp = text.at(i).unicode();
    // A surrogate pair is one character: it becomes one '?', not two.
    if (QChar::isHighSurrogate(cp) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
      ++i;
      out += '?';
      continue;
    }
    const int byte = ToByte(cp);
    out += byte < 0 ? '?' : char(byte);
  }
  return out;
}

bool IsAscii(std::string_view text) {
  bool ascii = true;
  for (const char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
  return ascii;
}

void AppendAsUtf8(std::string& out, std::string_view bytes) {
  // Plain ASCII, by far the most common text, is the same in both.
  if (IsAscii(bytes)) {
    out.append(bytes);
    return;
  }
  out.reserve(out.size() + bytes.size() + bytes.size() / 4);
  for (const char c : bytes) AppendUtf8(out, ToCodePoint(static_cast<unsigned char>(c)));
}

std::string ToUtf8(std::string_view bytes) {
  std::string out;
  AppendAsUtf8(out, bytes);
  return out;
}

std::string FromUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  const std::size_t n = utf8.size();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(utf8[k]); };
  auto cont = [&](std::size_t k) { return k < n && (at(k) & 0xC0) == 0x80; };
  while (i < n) {
    const unsigned char lead = at(i);
    char32_t cp = 0;
    std::size_t len = 0;
    if (lead < 0x80) {
      cp = lead;
      len = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF && cont(i + 1)) {
      cp = char32_t(lead & 0x1F) << 6 | (at(i + 1) & 0x3F);
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF && cont(i + 1) && cont(i + 2)) {
      cp = char32_t(lead & 0x0F) << 12 | char32_t(at(i + 1) & 0x3F) << 6 | (at(i + 2) & 0x3F);
      len = 3;
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;  // overlong or surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      cp = 0xFFFD;  // outside the BMP: never in the code page
      len = 4;
    } else {
      cp = 0xFFFD;  // a stray or truncated byte stands for itself as one '?'
      len = 1;
    }
    const int byte = ToByte(cp);
    out += byte < 0 ? '?' : char(byte);
    i += len;
  }
  return out;
}

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

std::string FoldedKey(std::string_view text) {
  std::string key(text);
  for (char& c : key) {
    const auto b = static_cast<unsigned char>(c);
    c = b < 0x80 ? char(b >= 'A' && b <= 'Z' ? b + 0x20 : b) : UpperChar(c);
  }
  return ToUtf8(key);
}

}  // namespace cp1252
