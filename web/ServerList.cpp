#include "web/ServerList.h"

#include "core/Registry.h"
#include "storage/Cp1252.h"

#include <array>

namespace {

// What the game protocol's list reply is cut at, and the size of one entry
// in it (length prefix and body), as the list query writes them.
constexpr std::size_t kReplyCut = 1024;

std::size_t EntrySize(const ClientRecord& c, const std::string& address) {
  const std::size_t digits = c.PlayerCount >= 100 ? 3 : c.PlayerCount >= 10 ? 2 : 1;
  const std::size_t standing = c.Official != 0 ? sizeof("Official Server: ") - 1 : sizeof("Unofficial Server: ") - 1;
  return 2 + 1 + c.User.size() + 1 + address.size() + 1 + 1 + digits + 2 + c.Name.size() + 1 + standing +
         c.Description.size() + 1 + c.UpdateURL.size();
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

std::vector<ListedServer> ListedServers(const Registry& registry) {
  std::array<const ClientRecord*, kRegularSlots + 1> online{};
  registry.ForEachServer([&](int slot, const ClientRecord& c) { online[std::size_t(slot)] = &c; });
  std::vector<ListedServer> listed;
  int start = 1;
  while (start <= kRegularSlots) {
    std::size_t size = 0;
    std::vector<ListedServer> official, others;
    int j = start;
    for (; j <= kRegularSlots; ++j) {
      const ClientRecord* c = online[std::size_t(j)];
      if (!c) continue;
      if (size >= kReplyCut) break;
      const std::string& address = registry.ListedAddress(j);
      size += EntrySize(*c, address);
      (c->Official != 0 ? official : others).push_back(Listed(j, *c, address, registry.InstanceName()));
    }
    listed.insert(listed.end(), official.rbegin(), official.rend());
    listed.insert(listed.end(), others.begin(), others.end());
    start = j;
  }
  for (const SharedServer& other : registry.OtherServers()) listed.push_back(Listed(other));
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
