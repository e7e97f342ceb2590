// Fuzz target: code page 1252 conversion and case folding. Every byte
// string survives both round trips (through UTF-16 and through UTF-8), any
// UTF-8 text comes back as valid UTF-8, and upper case is a fold: the same
// length, idempotent, equal to the original ignoring case, and for each byte
// what Unicode's upper case of its character gives when the code page holds
// that capital (otherwise the byte itself).
#include "fuzz/Check.h"
#include "storage/Cp1252.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

char ExpectedUpper(char c) {
  const QString upper = cp1252::ToUnicode(std::string_view(&c, 1)).toUpper();
  if (upper.size() != 1) return c;  // no single capital
  const std::string back = cp1252::FromUnicode(upper);
  return back == "?" && upper != QStringLiteral("?") ? c : back[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  FUZZ_CHECK(cp1252::FromUnicode(cp1252::ToUnicode(bytes)) == bytes);
  const std::string utf8 = cp1252::ToUtf8(bytes);
  FUZZ_CHECK(cp1252::FromUtf8(utf8) == bytes);
  FUZZ_CHECK(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).toUtf8().toStdString() == utf8);
  FUZZ_CHECK(cp1252::IsAscii(bytes) == (utf8.size() == bytes.size()));

  // The same bytes read as UTF-8 of another program: never more characters
  // than bytes, and what comes back is a text the code page holds.
  const std::string fromOutside = cp1252::FromUtf8(bytes);
  FUZZ_CHECK(fromOutside.size() <= bytes.size());
  FUZZ_CHECK(cp1252::FromUtf8(cp1252::ToUtf8(fromOutside)) == fromOutside);

  const std::string upper = cp1252::UpperCase(bytes);
  FUZZ_CHECK(upper.size() == bytes.size());
  FUZZ_CHECK(cp1252::UpperCase(upper) == upper);
  FUZZ_CHECK(cp1252::EqualsIgnoringCase(bytes, upper));
  FUZZ_CHECK(cp1252::EqualsIgnoringCase(upper, bytes));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    FUZZ_CHECK(upper[i] == cp1252::UpperChar(bytes[i]));
    FUZZ_CHECK(upper[i] == ExpectedUpper(bytes[i]));
  }
  // Two halves compare ignoring case exactly when their capitals are equal.
  const std::string_view a = std::string_view(bytes).substr(0, size / 2);
  const std::string_view b = std::string_view(bytes).substr(size / 2);
  FUZZ_CHECK(cp1252::EqualsIgnoringCase(a, b) == (cp1252::UpperCase(a) == cp1252::UpperCase(b)));
  return 0;
}
