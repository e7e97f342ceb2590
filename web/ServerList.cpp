#include "web/ServerList.h"

#include "core/Registry.h"
#include "storage/Cp1252.h"

#include <array>
#include <optional>

namespace {

// What the game protocol's list reply is cut at, and the size of one entry
// in it (length prefix and body), as the list query writes them.
constexpr std::size_t kReplyCut = 1024;

std::size_t EntrySize(const ListedServer& s) {
  const std::size_t digits = s.players >= 100 ? 3 : s.players >= 10 ? 2 : 1;
  const std::size_t standing = s.official ? sizeof("Official Server: ") - 1 : sizeof("Unofficial Server: ") - 1;
  return 2 + 1 + s.user.size() + 1 + s.address.size() + 1 + 1 + digits + 2 + s.name.size() + 1 + standing +
         s.description.size() + 1 + s.updateUrl.size();
}

ListedServer Listed(int slot, const ClientRecord& c, const std::string& address,
                    const std::string& registry) {
  ListedServer s;
  s.registry = registry;
  s.slot = slot;
  s.user = c.User;
  s.address = address;
  if (address != c.IP) s.localAddress = c.IP;
  s.players = c.PlayerCount;
  s.name = c.Name;
  s.official = c.Official != 0;
  s.description = c.Description;
  s.updateUrl = c.UpdateURL;
  return s;
}

}  // namespace

// The walk of the list replies: over the slots, or with a shared list over
// the list indexes, where a server here stands at its entry's index and a
// server elsewhere at its own (a server here is never shadowed by a stale
// entry of another registry).
std::vector<ListedServer> ListedServers(const Registry& registry) {
  std::array<std::optional<ListedServer>, kRegularSlots + 1> at;
  for (const SharedServer& other : registry.OtherServers())
    if (other.index >= 1 && other.index <= kRegularSlots) at[std::size_t(other.index)] = Listed(other);
  registry.ForEachServer([&](int slot, const ClientRecord& c) {
    const int position = registry.Sharing() ? c.ListIndex : slot;
    if (position >= 1 && position <= kRegularSlots)
      at[std::size_t(position)] = Listed(slot, c, registry.ListedAddress(slot), registry.InstanceName());
  });
  std::vector<ListedServer> listed;
  int start = 1;
  while (start <= kRegularSlots) {
    std::size_t size = 0;
    std::vector<ListedServer> official, others;
    int j = start;
    for (; j <= kRegularSlots; ++j) {
      if (!at[std::size_t(j)]) continue;
      if (size >= kReplyCut) break;
      const ListedServer& s = *at[std::size_t(j)];
      size += EntrySize(s);
      (s.official ? official : others).push_back(s);
    }
    listed.insert(listed.end(), official.rbegin(), official.rend());
    listed.insert(listed.end(), others.begin(), others.end());
    start = j;
  }
  return listed;
}

ListedServer Listed(const SharedServer& server) {
  ListedServer s;
  s.user = server.user;
  s.address = server.listedIp;
  if (server.ip != server.listedIp) s.localAddress = server.ip;
  s.players = server.players;
  s.name = server.name;
  s.official = server.official != 0;
  s.description = server.description;
  s.updateUrl = server.updateUrl;
  s.registry = server.instance;
  return s;
}

std::string Rfc3339(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void AppendJsonString(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x80) {
      cp1252::AppendAsUtf8(out, std::string_view(&ch, 1));
    } else if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
}

std::string ServerListJson(const std::vector<ListedServer>& servers, std::time_t generated) {
  int players = 0;
  for (const ListedServer& s : servers) players += s.players;
  std::string out;
  out.reserve(128 + servers.size() * 256);
  out += "{\"generated\":\"" + Rfc3339(generated) + "\",\"serverCount\":" + std::to_string(servers.size()) +
         ",\"playerCount\":" + std::to_string(players) + ",\"servers\":[";
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const ListedServer& s = servers[i];
    if (i) out += ',';
    out += "\n{\"slot\":" + std::to_string(s.slot) + ",\"user\":";
    AppendJsonString(out, s.user);
    out += ",\"address\":";
    AppendJsonString(out, s.address);
    if (!s.localAddress.empty()) {
      out += ",\"localAddress\":";
      AppendJsonString(out, s.localAddress);
    }
    out += ",\"players\":" + std::to_string(s.players) + ",\"name\":";
    AppendJsonString(out, s.name);
    out += s.official ? ",\"official\":true,\"description\":" : ",\"official\":false,\"description\":";
    AppendJsonString(out, s.description);
    out += ",\"updateUrl\":";
    AppendJsonString(out, s.updateUrl);
    if (!s.registry.empty()) {
      out += ",\"registry\":";
      AppendJsonString(out, s.registry);
    }
    out += '}';
  }
  out += "\n]}\n";
  return out;
}
