#pragma once
// The game servers of the benchmarks, made up the same way by the load
// generator (which creates their accounts and logs them in) and by the
// reference server (which answers list requests for them). Server i (1-based)
// always has the same account, name, description, update address, official
// standing and player count, so both servers send the same bytes.
#include <cstdint>
#include <string>

namespace fleet {

struct GameServer {
  std::string user;
  std::string password;
  std::string name;
  std::string description;
  std::string updateUrl;
  bool official = false;
  std::uint8_t players = 0;
};

inline GameServer Server(int i) {
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

}  // namespace fleet
