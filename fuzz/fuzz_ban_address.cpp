// Fuzz target: the address forms a ban check looks up. For any text, the
// network form of one level keeps everything up to the last dot and puts a
// 0 after it, that of two levels does so from the dot before, and a text
// without the dots they need stays itself; for a dotted IPv4 address they
// are its /24 and /16 networks.
#include "core/Registry.h"
#include "fuzz/Check.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view address(reinterpret_cast<const char*>(data), size);
  const std::string one = MaskIP(address, 1);
  const std::string two = MaskIP(address, 2);

  const std::size_t last = address.rfind('.');
  if (last == std::string_view::npos) {
    FUZZ_CHECK(one == address && two == address);
    return 0;
  }
  FUZZ_CHECK(one == std::string(address.substr(0, last + 1)) + "0");
  const std::size_t before = last == 0 ? std::string_view::npos : address.rfind('.', last - 1);
  if (before == std::string_view::npos) {
    FUZZ_CHECK(two == address);
  } else {
    FUZZ_CHECK(two == std::string(address.substr(0, before + 1)) + "0.0");
    FUZZ_CHECK(MaskIP(one, 2) == two);  // the /16 of the /24 is the /16
  }
  FUZZ_CHECK(MaskIP(one, 1) == one);

  // A real address: the networks are its first three and first two numbers.
  unsigned a = 0, b = 0, c = 0, d = 0;
  char end = 0;
  const std::string text(address);
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &end) == 4 && a < 256 &&
      b < 256 && c < 256 && d < 256 &&
      text == std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
                  std::to_string(d)) {
    FUZZ_CHECK(one == std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + ".0");
    FUZZ_CHECK(two == std::to_string(a) + "." + std::to_string(b) + ".0.0");
  }
  return 0;
}
