#include "core/AddressMap.h"

#include "core/SocketArray.h"

#include <algorithm>
#include <charconv>

namespace {

std::uint32_t MaskOf(int prefix) { return prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix); }

// a.b.c.d or a.b.c.d/n with n 0..32; the address bits past the prefix are
// let go (192.168.1.20/24 is 192.168.1.0/24).
std::optional<AddressMap::Network> ParseNetwork(std::string_view text) {
  int prefix = 32;
  const std::size_t slash = text.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 || (digits.size() == 2 && digits[0] == '0')) return std::nullopt;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (error != std::errc() || end != digits.data() + digits.size() || prefix < 0 || prefix > 32)
      return std::nullopt;
    text = text.substr(0, slash);
  }
  const auto address = ParseIPv4(text);
  if (!address) return std::nullopt;
  AddressMap::Network network;
  network.prefix = prefix;
  network.base = *address & MaskOf(prefix);
  return network;
}

}  // namespace

std::optional<std::uint32_t> ParseIPv4(std::string_view text) {
  std::uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 3 || (digits > 1 && text[0] == '0')) return std::nullopt;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + digits, value);
    if (value > 255) return std::nullopt;
    address = (address << 8) | value;
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

bool IsUnreachableFromInternet(std::uint32_t address) {
  const auto in = [address](std::uint32_t base, int prefix) {
    return (address & MaskOf(prefix)) == base;
  };
  return in(0x7F000000, 8)      // 127.0.0.0/8 loopback
         || in(0x0A000000, 8)   // 10.0.0.0/8
         || in(0xAC100000, 12)  // 172.16.0.0/12
         || in(0xC0A80000, 16)  // 192.168.0.0/16
         || in(0xA9FE0000, 16)  // 169.254.0.0/16 link-local
         || in(0x64400000, 10); // 100.64.0.0/10 carrier-grade NAT
}

bool AddressMap::Network::Holds(std::uint32_t address) const {
  return (address & MaskOf(prefix)) == base;
}

AddressMap AddressMap::Read(const std::vector<IniEntry>& lines, std::vector<std::string>* warnings) {
  AddressMap map;
  const auto warn = [warnings](const std::string& text) {
    if (warnings) warnings->push_back(text);
  };
  for (const IniEntry& line : lines) {
    std::optional<Network> network = line.keyed ? ParseNetwork(line.key) : std::nullopt;
    const auto listed = line.keyed ? ParseIPv4(line.value) : std::nullopt;
    if (!network || !listed) {
      warn("Ignoring the line \"" + line.line + "\" in [AddressMap] of server.ini: it is not "
           "NETWORK=PUBLIC (for instance 192.168.1.0/24=203.0.113.5)");
      continue;
    }
    const bool known = std::any_of(map.networks_.begin(), map.networks_.end(), [&](const Network& n) {
      return n.base == network->base && n.prefix == network->prefix;
    });
    if (known) {
      // As with any key of server.ini, the first line of a name is the one
      // that counts.
      warn("Ignoring the line \"" + line.line + "\" in [AddressMap] of server.ini: an earlier line "
           "maps the same network");
      continue;
    }
    network->listed = SocketArray::AddressText(*listed);
    map.networks_.push_back(std::move(*network));
  }
  // Most specific first, so the first network that holds an address is the
  // one that maps it; lines of one prefix keep their order.
  std::stable_sort(map.networks_.begin(), map.networks_.end(),
                   [](const Network& a, const Network& b) { return a.prefix > b.prefix; });
  return map;
}

int AddressMap::Match(std::uint32_t address) const {
  for (std::size_t i = 0; i < networks_.size(); ++i)
    if (networks_[i].Holds(address)) return int(i);
  return -1;
}

// A requester of kind k is inside network k - 1 and in nothing more
// specific; network n, as wide or wider, then holds all of k - 1 or none of
// it (networks nest or do not meet).
bool AddressMap::KindInside(int kind, int n) const {
  if (kind <= 0) return false;
  const Network& own = networks_[std::size_t(kind - 1)];
  const Network& other = networks_[std::size_t(n)];
  return other.prefix <= own.prefix && other.Holds(own.base);
}

const std::string& AddressMap::ListedTo(std::uint32_t address, const std::string& own, int kind) const {
  const int n = Match(address);
  if (n < 0 || KindInside(kind, n)) return own;
  return networks_[std::size_t(n)].listed;
}
