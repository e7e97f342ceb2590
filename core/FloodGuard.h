#pragma once
// What one address may do to the registry over time: how many connections it
// may open in a minute and how many list requests it may make, with a
// cool-down for an address that makes more; how many accounts it may create
// in an hour (and all addresses together); how many logins it may get wrong
// in an hour. Per account, it keeps which addresses have logged in to it, so
// that an account guessed at from many addresses stays open to its own
// server. (What an address may hold at once is read off the client table.)
//
// The state lives in memory only and is bounded: at most kMaxAddresses
// addresses (and as many accounts) are remembered per measure, whatever an
// attacker sends; when that is reached, the entries that no longer count go
// first, then those seen least recently, an eighth of the table at a time.
#include "storage/Settings.h"

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

class TickClock;
class LogSink;

class FloodGuard {
 public:
  static constexpr std::size_t kMaxAddresses = 4096;
  static constexpr std::uint32_t kConnectWindowMs = 60000;
  static constexpr std::uint32_t kListWindowMs = 60000;
  static constexpr std::uint32_t kFirstCoolDownMs = 60000;
  static constexpr std::uint32_t kLongestCoolDownMs = 3600000;
  // An address without excess for this long starts again at the first
  // cool-down.
  static constexpr std::uint32_t kForgetAfterMs = 3600000;
  static constexpr std::uint32_t kAccountWindowMs = 3600000;
  static constexpr std::uint32_t kFailedLoginWindowMs = 3600000;
  // Failed logins for one account (from any addresses) within the window
  // after which only addresses it has logged in from may log in to it.
  static constexpr std::uint32_t kAccountLockAfter = 10;
  static constexpr std::size_t kKnownAddressesPerAccount = 8;
  static constexpr std::uint32_t kForgetEveryMs = 60000;

  FloodGuard(TickClock& clock, LogSink& log);

  void SetLimits(const FloodLimits& limits) { limits_ = limits; }
  const FloodLimits& Limits() const { return limits_; }

  // Counts a connection from the address; false when it must be refused
  // (the address is cooling down or has got too many logins wrong, or this
  // connection is one too many and starts a cool-down, which is logged once).
  bool AdmitConnection(std::uint32_t address, const std::string& addressText);
  // Counts a list request from the address; false when it must not be
  // answered (the address is cooling down, or this request is one too many
  // and starts a cool-down exactly as too many connections do).
  bool AdmitListRequest(std::uint32_t address, const std::string& addressText);

  // Whether the address may create one more account now (its own share and
  // that of all addresses together); AccountCreated counts one that was
  // stored.
  bool MayCreateAccount(std::uint32_t address);
  void AccountCreated(std::uint32_t address);

  // Logins. `account` is the user name upper-cased.
  // Whether the address has got too many logins wrong this hour.
  bool LoginsRefused(std::uint32_t address);
  // Whether the account is being guessed at and the address is not one it
  // has logged in from.
  bool AccountLocked(const std::string& account, std::uint32_t address);
  // Counts a refused login of the address (and of the account, when it
  // exists: pass it non-empty). True while the address is within its limit,
  // when the refusal is worth a line of its own; the failure that goes
  // beyond it starts refusing the address, which is logged once. False too
  // when the limit is off.
  bool LoginFailed(std::uint32_t address, const std::string& addressText, const std::string& account);
  void LoginSucceeded(const std::string& account, std::uint32_t address);

  // Called often (every client scan): once a minute it forgets what no
  // longer counts against anyone. Besides keeping memory low, this keeps
  // every remembered moment well within the tick's 49.7-day wrap, past which
  // an old cool-down or a full window would seem to start again.
  void ForgetStale();

  std::size_t RememberedAddresses() const {
    return addresses_.size() + accounts_.size() + logins_.size();
  }

 private:
  // A count that runs from its first event for the window's length; the
  // next event after that starts a new window.
  struct Window {
    std::uint32_t start = 0;
    std::uint32_t count = 0;
    bool Over(std::uint32_t now, std::uint32_t length) const;
    // Counts one event; the count of the window it fell in.
    std::uint32_t Add(std::uint32_t now, std::uint32_t length);
    std::uint32_t Count(std::uint32_t now, std::uint32_t length) const {
      return Over(now, length) ? 0 : count;
    }
  };
  struct Address {
    Window connects;
    Window lists;
    Window failures;
    bool cooling = false;
    std::uint32_t coolStart = 0;  // the last cool-down
    std::uint32_t coolLength = 0;
    int excesses = 0;             // since the address was last forgiven
    std::uint32_t lastSeen = 0;
  };
  struct Accounts {
    Window created;
  };
  struct Logins {  // of one account
    Window failures;
    std::array<std::uint32_t, kKnownAddressesPerAccount> known{};
    std::uint32_t lastSeen = 0;
  };

  Address& AddressOf(std::uint32_t address, std::uint32_t now);
  Accounts& AccountsOf(std::uint32_t address, std::uint32_t now);
  Logins& LoginsOf(const std::string& account, std::uint32_t now);
  bool Cooling(Address& a, std::uint32_t now);
  void StartCoolDown(Address& a, std::uint32_t now, const std::string& addressText, const char* reason);
  bool TooManyFailures(const Address& a, std::uint32_t now) const;
  void MakeRoomForAddresses(std::uint32_t now);
  void MakeRoomForAccounts(std::uint32_t now);
  void MakeRoomForLogins(std::uint32_t now);
  static bool Spent(const Address& a, std::uint32_t now);
  static bool Spent(const Accounts& a, std::uint32_t now);
  static bool Forgiven(const Address& a, std::uint32_t now);

  TickClock& clock_;
  LogSink& log_;
  FloodLimits limits_;
  std::uint32_t lastForget_;
  std::unordered_map<std::uint32_t, Address> addresses_;
  std::unordered_map<std::uint32_t, Accounts> accounts_;
  std::unordered_map<std::string, Logins> logins_;
  Window createdByAll_;
};
