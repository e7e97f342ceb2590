#pragma once
// Addresses of the HTTP side: where it listens ("127.0.0.1:5680",
// "[::]:5680", "off") and the networks allowed to read the metrics
// ("127.0.0.0/8, ::1/128"). Only numeric addresses: nothing here waits on a
// name service.
#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ListenAddress {
  bool off = false;
  sockaddr_storage address{};  // AF_INET or AF_INET6, port included
  socklen_t length = 0;
};

// Nullopt when the text is neither "off" (any case) nor a numeric address
// with a port: IPv4 as a.b.c.d:port, IPv6 in brackets.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// The address and port in the form ParseListenAddress reads.
std::string AddressText(const sockaddr* address);

struct Network {
  int family = AF_INET;
  unsigned char bytes[16]{};  // 4 used for IPv4
  int prefix = 0;             // bits that must match
};

// Nullopt when any entry of the comma-separated list cannot be read (an
// empty list is an empty vector: nobody is allowed).
std::optional<std::vector<Network>> ParseNetworks(std::string_view text);

// Whether the peer's address lies in one of the networks. An IPv4 peer seen
// through an IPv6 socket (::ffff:a.b.c.d) counts as the IPv4 address.
bool InNetworks(const std::vector<Network>& networks, const sockaddr* peer);
