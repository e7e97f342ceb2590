#pragma once
// What one address may do to the registry over time: how many connections it
// may open in a minute, with a cool-down for an address that opens more, and
// how many accounts it may create in an hour. (What it may hold at once is
// read off the client table itself.) The state lives in memory only and is
// bounded: at most kMaxAddresses addresses are remembered per measure,
// whatever an attacker sends; when that is reached, the addresses whose
// count has run out go first, then those seen least recently, an eighth of
// the table at a time.
#include "storage/Settings.h"

#include <cstdint>
#include <string>
#include <unordered_map>

class TickClock;
class LogSink;

class FloodGuard {
 public:
  static constexpr std::size_t kMaxAddresses = 4096;
  static constexpr std::uint32_t kConnectWindowMs = 60000;
  static constexpr std::uint32_t kFirstCoolDownMs = 60000;
  static constexpr std::uint32_t kLongestCoolDownMs = 3600000;
  // An address without excess for this long starts again at the first
  // cool-down.
  static constexpr std::uint32_t kForgetAfterMs = 3600000;
  static constexpr std::uint32_t kAccountWindowMs = 3600000;
  static constexpr std::uint32_t kForgetEveryMs = 60000;

  FloodGuard(TickClock& clock, LogSink& log);

  void SetLimits(const FloodLimits& limits) { limits_ = limits; }
  const FloodLimits& Limits() const { return limits_; }

  // Counts a connection from the address; false when it must be refused
  // (the address is cooling down, or this connection is one too many and
  // starts a cool-down, which is logged once).
  bool AdmitConnection(std::uint32_t address, const std::string& addressText);
  // Whether the address may create one more account now; AccountCreated
  // counts one that was stored.
  bool MayCreateAccount(std::uint32_t address);
  void AccountCreated(std::uint32_t address);

  // Called often (every client scan): once a minute it forgets what no
  // longer counts against anyone. Besides keeping memory low, this keeps
  // every remembered moment well within the tick's 49.7-day wrap, past which
  // an old cool-down or a full account window would seem to start again.
  void ForgetStale();

  std::size_t RememberedAddresses() const { return connects_.size() + accounts_.size(); }

 private:
  struct Connects {
    std::uint32_t windowStart = 0;
    std::uint32_t count = 0;
    bool cooling = false;
    std::uint32_t coolStart = 0;   // the last cool-down
    std::uint32_t coolLength = 0;
    int excesses = 0;              // since the address was last forgiven
    std::uint32_t lastSeen = 0;
  };
  struct Accounts {
    std::uint32_t windowStart = 0;
    std::uint32_t count = 0;
  };

  Connects& ConnectsOf(std::uint32_t address, std::uint32_t now);
  Accounts& AccountsOf(std::uint32_t address, std::uint32_t now);
  void MakeRoomForConnects(std::uint32_t now);
  void MakeRoomForAccounts(std::uint32_t now);
  static bool Spent(const Connects& c, std::uint32_t now);
  static bool Spent(const Accounts& a, std::uint32_t now);
  static bool Forgiven(const Connects& c, std::uint32_t now);

  TickClock& clock_;
  LogSink& log_;
  FloodLimits limits_;
  std::uint32_t lastForget_;
  std::unordered_map<std::uint32_t, Connects> connects_;
  std::unordered_map<std::uint32_t, Accounts> accounts_;
};
