#include "web/Network.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ReadNumber(std::string_view text, int max, int* value) {
  if (text.empty()) return false;
  int n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (error != std::errc() || end != text.data() + text.size() || n < 0 || n > max) return false;
  *value = n;
  return true;
}

// inet_pton wants a terminated string.
bool ReadAddress(std::string_view text, int family, void* out) {
  if (text.size() >= INET6_ADDRSTRLEN) return false;
  char buffer[INET6_ADDRSTRLEN] = {};
  std::memcpy(buffer, text.data(), text.size());
  return inet_pton(family, buffer, out) == 1;
}

bool PrefixMatches(const unsigned char* a, const unsigned char* b, int bits) {
  const int whole = bits / 8;
  if (std::memcmp(a, b, std::size_t(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  text = Trim(text);
  ListenAddress result;
  if (text.size() == 3 && (text[0] | 0x20) == 'o' && (text[1] | 0x20) == 'f' && (text[2] | 0x20) == 'f') {
    result.off = true;
    return result;
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  int port = 0;
  if (!ReadNumber(text.substr(colon + 1), 65535, &port)) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&result.address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(std::uint16_t(port));
    if (!ReadAddress(host.substr(1, host.size() - 2), AF_INET6, &v6->sin6_addr)) return std::nullopt;
    result.length = sizeof(sockaddr_in6);
    return result;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&result.address);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(std::uint16_t(port));
  if (!ReadAddress(host, AF_INET, &v4->sin_addr)) return std::nullopt;
  result.length = sizeof(sockaddr_in);
  return result;
}

std::string AddressText(const sockaddr* address) {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof buffer);
    return "[" + std::string(buffer) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
  inet_ntop(AF_INET, &v4->sin_addr, buffer, sizeof buffer);
  return std::string(buffer) + ":" + std::to_string(ntohs(v4->sin_port));
}

std::optional<std::vector<Network>> ParseNetworks(std::string_view text) {
  std::vector<Network> networks;
  while (!Trim(text).empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (entry.empty()) continue;
    const std::size_t slash = entry.find('/');
    const std::string_view host = entry.substr(0, slash);
    Network n;
    n.family = host.find(':') != std::string_view::npos ? AF_INET6 : AF_INET;
    const int bits = n.family == AF_INET6 ? 128 : 32;
    if (!ReadAddress(host, n.family, n.bytes)) return std::nullopt;
    n.prefix = bits;
    if (slash != std::string_view::npos && !ReadNumber(entry.substr(slash + 1), bits, &n.prefix))
      return std::nullopt;
    networks.push_back(n);
  }
  return networks;
}

bool InNetworks(const std::vector<Network>& networks, const sockaddr* peer) {
  int family = peer->sa_family;
  const unsigned char* bytes = nullptr;
  if (family == AF_INET) {
    bytes = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(peer)->sin_addr);
  } else if (family == AF_INET6) {
    const auto* v6 = &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
    bytes = reinterpret_cast<const unsigned char*>(v6);
    if (IN6_IS_ADDR_V4MAPPED(v6)) {
      family = AF_INET;
      bytes += 12;
    }
  } else {
    return false;
  }
  for (const Network& n : networks)
    if (n.family == family && PrefixMatches(n.bytes, bytes, n.prefix)) return true;
  return false;
}
