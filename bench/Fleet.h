#pragma once
// The game servers of the benchmarks, made up the same way by the load
// generator (which creates their accounts and logs them in) and by the
// reference server (which answers list requests for them). Server i (1-based)
// always has the same account, name, description, update address, official
// standing and player count, so both servers send the same bytes.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fleet {

// Realistic: names, descriptions and update addresses as game servers send
// them (a complete list of 50 is about 10.5 KB in 10 replies). Short: a few
// characters each (50 in about 2.4 KB, 3 replies), where the cost per reply
// rather than per byte shows.
enum class Shape { Realistic, Short };

inline const char* ShapeName(Shape shape) { return shape == Shape::Short ? "short" : "realistic"; }

struct GameServer {
  std::string user;
  std::string password;
  std::string name;
  std::string description;
  std::string updateUrl;
  bool official = false;
  std::uint8_t players = 0;
};

inline GameServer Server(int i, Shape shape = Shape::Realistic) {
  if (shape == Shape::Short) {
    GameServer s;
    s.user = "sh" + std::to_string(i);
    s.password = "PW" + std::to_string(i * 7919);
    s.name = "S" + std::to_string(i);
    s.description = "d";
    s.official = (i - 1) % 7 == 3;
    s.players = std::uint8_t((i * 37) % 64);
    return s;
  }
  static const char* const kRealms[] = {"Ashen Vale", "Brightwater", "Cindermoor", "Duskhollow",
                                        "Emberfall",  "Frostmere",   "Greywatch",  "Hollowpine"};
  static const char* const kStyles[] = {"PvP", "Roleplay", "Casual", "Hardcore", "Events"};
  static const char* const kPitches[] = {
      "Friendly admins, weekly events and a growing guild scene. New players welcome!",
      "Full loot, no safe zones, seasonal wipes every three months. Voice chat on our Discord.",
      "Story-driven roleplay with lore checks, player-run towns and an active council of elders.",
      "Vanilla rules, no pay-to-win, stable hardware in Frankfurt. Restarts daily at 05:00 UTC.",
  };
  const int n = i - 1;
  GameServer s;
  s.user = "bench" + std::to_string(i);
  s.password = "PW" + std::to_string(i * 7919);
  s.name = std::string(kRealms[n % 8]) + " " + kStyles[n % 5] + " #" + std::to_string(i);
  s.description = std::string(kPitches[n % 4]) + " Since 20" + std::to_string(10 + n % 15) + ".";
  s.updateUrl = "http://update.velkarin-" + std::to_string(i) + ".example.net/patches/";
  s.official = n % 7 == 3;
  s.players = std::uint8_t((i * 37) % 64);
  return s;
}

// The accounts the login scenario logs into, distinct from the fleet's.
inline std::string LoginUser(int k) { return "player" + std::to_string(k); }
inline std::string LoginPassword(int k) { return "LP" + std::to_string(k); }

// The registry's complete answer to a list request from slot `start`
// (1..255) when servers 1..S are online in slots 1..S, all from `ip`: the
// entries, official servers first, cut once the reply reaches 1024 bytes and
// closed by ListEnd or ListMore. Empty when no server is at or after start.
inline std::array<std::string, 256> ListReplies(int servers, const std::string& ip,
                                                Shape shape = Shape::Realistic) {
  constexpr int kSlots = 255;
  constexpr std::size_t kReplyCut = 1024;
  std::vector<std::string> entries(kSlots + 1);
  std::vector<bool> official(kSlots + 1, false);
  for (int slot = 1; slot <= servers && slot <= kSlots; ++slot) {
    const GameServer s = Server(slot, shape);
    std::string body(1, char(4));
    body += s.user + '\0' + ip + '\0' + "[" + std::to_string(s.players) + "] " + s.name + '\0' +
            (s.official ? "Official Server: " : "Unofficial Server: ") + s.description + '\0' +
            s.updateUrl;
    entries[std::size_t(slot)] = std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body;
    official[std::size_t(slot)] = s.official;
  }
  std::array<std::string, 256> replies;
  for (int start = 1; start <= kSlots; ++start) {
    std::string reply;
    int j = start;
    for (; j <= kSlots; ++j) {
      if (entries[std::size_t(j)].empty()) continue;
      if (reply.size() >= kReplyCut) break;
      if (official[std::size_t(j)])
        reply.insert(0, entries[std::size_t(j)]);
      else
        reply += entries[std::size_t(j)];
    }
    if (reply.empty()) continue;
    if (j > kSlots)
      reply += std::string("\x00\x02\xFF\x04", 4);
    else
      reply += std::string("\x00\x03\xFF\x03", 4) + char(j);
    replies[std::size_t(start)] = std::move(reply);
  }
  return replies;
}

}  // namespace fleet
