#pragma once
// The address map: game servers that reach the registry from inside its own
// network (the same machine, a home network behind a router) are listed with
// the address players outside that network can reach, and with their own
// address to players inside it. Each line of server.ini's [AddressMap] maps
// one network, NETWORK=PUBLIC, NETWORK an IPv4 address or a.b.c.d/n network;
// the most specific network holding an address is the one that maps it.
//
// A player's list depends only on which mapped networks hold the player's
// own address. IPv4 networks either nest or do not meet, so that is told by
// one number, the requester kind: 0 outside every mapped network, n + 1
// inside mapped network n and in nothing more specific. Kept list replies are
// per requester kind, so there are at most as many kinds as lines.
#include "storage/Settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Dotted decimal IPv4 text to an address in host byte order: four numbers
// 0..255, digits only, no leading zeros (010 reads as octal elsewhere).
std::optional<std::uint32_t> ParseIPv4(std::string_view text);

// Loopback, private (10/8, 172.16/12, 192.168/16), link-local (169.254/16)
// or carrier-grade NAT (100.64/10): no player on the internet reaches it.
bool IsUnreachableFromInternet(std::uint32_t address);

class AddressMap {
 public:
  struct Network {
    std::uint32_t base = 0;  // host byte order, bits past the prefix cleared
    int prefix = 32;
    std::string listed;      // PUBLIC, dotted decimal
    bool Holds(std::uint32_t address) const;
  };

  AddressMap() = default;
  // The lines of [AddressMap]. A line that does not read as NETWORK=PUBLIC,
  // or that names a network an earlier line maps already, is left out with
  // one line in *warnings naming it.
  static AddressMap Read(const std::vector<IniEntry>& lines, std::vector<std::string>* warnings);

  bool Empty() const { return networks_.empty(); }
  std::size_t Size() const { return networks_.size(); }
  // Most specific first.
  const Network& At(std::size_t i) const { return networks_[i]; }

  // The mapped network holding the address (the most specific), or -1.
  int Match(std::uint32_t address) const;
  // See above: 0 outside every mapped network, else Match + 1.
  int RequesterKind(std::uint32_t requester) const { return Match(requester) + 1; }
  int Kinds() const { return int(networks_.size()) + 1; }

  // What a requester of that kind is given for a game server at `address`
  // whose own address text is `own`: PUBLIC of the network that maps it,
  // unless the requester is inside that network too (or none maps it).
  const std::string& ListedTo(std::uint32_t address, const std::string& own, int kind) const;

 private:
  // Whether every address of a requester of that kind is in network n.
  bool KindInside(int kind, int n) const;

  std::vector<Network> networks_;
};
