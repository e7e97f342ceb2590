#include "core/FloodGuard.h"

#include "core/Clock.h"
#include "core/LogSink.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

bool FloodGuard::Window::Over(std::uint32_t now, std::uint32_t length) const {
  return count == 0 || Elapsed(now, start) >= length;
}

std::uint32_t FloodGuard::Window::Add(std::uint32_t now, std::uint32_t length) {
  if (Over(now, length)) {
    start = now;
    count = 0;
  }
  return ++count;
}

FloodGuard::FloodGuard(TickClock& clock, LogSink& log) : clock_(clock), log_(log), lastForget_(clock.Ticks()) {}

bool FloodGuard::AdmitConnection(std::uint32_t address, const std::string& addressText) {
  const int limit = limits_.MaxConnectsPerMinute;
  // A cool-down may also come from too many list requests.
  if (limit <= 0 && limits_.MaxFailedLoginsPerHour <= 0 && limits_.MaxListRequestsPerMinute <= 0) return true;
  const std::uint32_t now = clock_.Ticks();
  Address& a = AddressOf(address, now);
  a.lastSeen = now;
  if (TooManyFailures(a, now)) return false;
  if (Cooling(a, now)) return false;
  if (limit <= 0 || a.connects.Add(now, kConnectWindowMs) <= std::uint32_t(limit)) return true;
  StartCoolDown(a, now, addressText, "too many connections");
  return false;
}

bool FloodGuard::AdmitListRequest(std::uint32_t address, const std::string& addressText) {
  const int limit = limits_.MaxListRequestsPerMinute;
  if (limit <= 0) return true;
  const std::uint32_t now = clock_.Ticks();
  Address& a = AddressOf(address, now);
  a.lastSeen = now;
  if (Cooling(a, now)) return false;
  if (a.lists.Add(now, kListWindowMs) <= std::uint32_t(limit)) return true;
  StartCoolDown(a, now, addressText, "too many list requests");
  return false;
}

// Whether a cool-down is running; one that has run out ends here, and the
// address starts afresh.
bool FloodGuard::Cooling(Address& a, std::uint32_t now) {
  if (!a.cooling) return false;
  if (Elapsed(now, a.coolStart) < a.coolLength) return true;
  a.cooling = false;
  a.connects = {};
  a.lists = {};
  return false;
}

// One too many: the address cools down, a little longer at each repeat,
// until it has gone an hour after its last cool-down without excess.
void FloodGuard::StartCoolDown(Address& a, std::uint32_t now, const std::string& addressText,
                               const char* reason) {
  if (Forgiven(a, now)) a.excesses = 0;
  const std::uint32_t length =
      std::min<std::uint32_t>(kFirstCoolDownMs << std::min(a.excesses, 6), kLongestCoolDownMs);
  a.excesses = std::min(a.excesses + 1, 6);
  a.cooling = true;
  a.coolStart = now;
  a.coolLength = length;
  a.connects = {};
  a.lists = {};
  log_.AddLogLine("Connections from " + addressText + " refused for " + std::to_string(length / 1000) +
                  " seconds: " + reason + ".");
}

bool FloodGuard::MayCreateAccount(std::uint32_t address) {
  const std::uint32_t now = clock_.Ticks();
  const int total = limits_.MaxNewAccountsPerHourTotal;
  if (total > 0 && createdByAll_.Count(now, kAccountWindowMs) >= std::uint32_t(total)) return false;
  const int limit = limits_.MaxNewAccountsPerHour;
  if (limit <= 0) return true;
  const auto found = accounts_.find(address);
  return found == accounts_.end() ||
         found->second.created.Count(now, kAccountWindowMs) < std::uint32_t(limit);
}

void FloodGuard::AccountCreated(std::uint32_t address) {
  const std::uint32_t now = clock_.Ticks();
  if (limits_.MaxNewAccountsPerHourTotal > 0) createdByAll_.Add(now, kAccountWindowMs);
  if (limits_.MaxNewAccountsPerHour > 0) AccountsOf(address, now).created.Add(now, kAccountWindowMs);
}

bool FloodGuard::TooManyFailures(const Address& a, std::uint32_t now) const {
  return limits_.MaxFailedLoginsPerHour > 0 &&
         a.failures.Count(now, kFailedLoginWindowMs) > std::uint32_t(limits_.MaxFailedLoginsPerHour);
}

bool FloodGuard::LoginsRefused(std::uint32_t address) {
  if (limits_.MaxFailedLoginsPerHour <= 0) return false;
  const auto found = addresses_.find(address);
  return found != addresses_.end() && TooManyFailures(found->second, clock_.Ticks());
}

bool FloodGuard::AccountLocked(const std::string& account, std::uint32_t address) {
  if (limits_.MaxFailedLoginsPerHour <= 0) return false;
  const auto found = logins_.find(account);
  if (found == logins_.end()) return false;
  const Logins& l = found->second;
  if (l.failures.Count(clock_.Ticks(), kFailedLoginWindowMs) < kAccountLockAfter) return false;
  return std::find(l.known.begin(), l.known.end(), address) == l.known.end();
}

bool FloodGuard::LoginFailed(std::uint32_t address, const std::string& addressText, const std::string& account) {
  const int limit = limits_.MaxFailedLoginsPerHour;
  // Switched off, nothing is counted and no line is written: a flood of
  // refusals must not become a flood of lines.
  if (limit <= 0) return false;
  const std::uint32_t now = clock_.Ticks();
  if (!account.empty()) {
    Logins& l = LoginsOf(account, now);
    l.lastSeen = now;
    l.failures.Add(now, kFailedLoginWindowMs);
  }
  Address& a = AddressOf(address, now);
  a.lastSeen = now;
  const std::uint32_t failures = a.failures.Add(now, kFailedLoginWindowMs);
  if (failures <= std::uint32_t(limit)) return true;
  if (failures == std::uint32_t(limit) + 1) {
    const std::uint32_t left = kFailedLoginWindowMs - Elapsed(now, a.failures.start);
    const std::string line = "Connections from " + addressText + " refused for " +
                             std::to_string((left + 999) / 1000) + " seconds: too many failed logins.";
    log_.AddLogLine(line);
    log_.Diagnostic(line);
  }
  return false;
}

void FloodGuard::LoginSucceeded(const std::string& account, std::uint32_t address) {
  if (limits_.MaxFailedLoginsPerHour <= 0) return;
  const std::uint32_t now = clock_.Ticks();
  Logins& l = LoginsOf(account, now);
  l.lastSeen = now;
  if (std::find(l.known.begin(), l.known.end(), address) != l.known.end()) return;
  // The newest address takes the place of the oldest.
  std::move_backward(l.known.begin(), l.known.end() - 1, l.known.end());
  l.known[0] = address;
}

// Whether an address's last cool-down has been followed by an hour without
// excess, so that the next one is the first again.
bool FloodGuard::Forgiven(const Address& a, std::uint32_t now) {
  return Elapsed(now, a.coolStart) >= a.coolLength + kForgetAfterMs;
}

// Nothing about the address counts any more: no cool-down running, none to
// be doubled, its windows over.
bool FloodGuard::Spent(const Address& a, std::uint32_t now) {
  const bool cooled = !a.cooling || Elapsed(now, a.coolStart) >= a.coolLength;
  return cooled && (a.excesses == 0 || Forgiven(a, now)) && a.connects.Over(now, kConnectWindowMs) &&
         a.lists.Over(now, kListWindowMs) && a.failures.Over(now, kFailedLoginWindowMs);
}

bool FloodGuard::Spent(const Accounts& a, std::uint32_t now) { return a.created.Over(now, kAccountWindowMs); }

void FloodGuard::ForgetStale() {
  const std::uint32_t now = clock_.Ticks();
  if (Elapsed(now, lastForget_) < kForgetEveryMs) return;
  lastForget_ = now;
  std::erase_if(addresses_, [&](const auto& entry) { return Spent(entry.second, now); });
  // An address that keeps connecting within its limit stays; only its
  // forgiven excesses are let go, so its last cool-down need not be kept.
  for (auto& [address, a] : addresses_)
    if (!a.cooling && a.excesses > 0 && Forgiven(a, now)) a.excesses = 0;
  std::erase_if(accounts_, [&](const auto& entry) { return Spent(entry.second, now); });
  // The addresses an account has logged in from are kept for the run; only
  // its failures run out.
  for (auto& [account, l] : logins_)
    if (l.failures.Over(now, kFailedLoginWindowMs)) l.failures = {};
  std::erase_if(logins_, [](const auto& entry) {
    return entry.second.failures.count == 0 && entry.second.known[0] == 0;
  });
  if (createdByAll_.Over(now, kAccountWindowMs)) createdByAll_ = {};
}

FloodGuard::Address& FloodGuard::AddressOf(std::uint32_t address, std::uint32_t now) {
  const auto found = addresses_.find(address);
  if (found != addresses_.end()) return found->second;
  if (addresses_.size() >= kMaxAddresses) MakeRoomForAddresses(now);
  return addresses_[address];
}

FloodGuard::Accounts& FloodGuard::AccountsOf(std::uint32_t address, std::uint32_t now) {
  const auto found = accounts_.find(address);
  if (found != accounts_.end()) return found->second;
  if (accounts_.size() >= kMaxAddresses) MakeRoomForAccounts(now);
  return accounts_[address];
}

FloodGuard::Logins& FloodGuard::LoginsOf(const std::string& account, std::uint32_t now) {
  const auto found = logins_.find(account);
  if (found != logins_.end()) return found->second;
  if (logins_.size() >= kMaxAddresses) MakeRoomForLogins(now);
  return logins_[account];
}

// A full table first lets go of every entry that no longer counts. When
// that frees less than an eighth of it, the rest of that eighth goes too,
// those ranked highest first. Room is made a batch at a time, so a flood of
// new addresses costs a constant amount per address instead of a search of
// the full table for each one.
namespace {

template <typename Table, typename IsSpent, typename Rank>
void MakeRoom(Table& table, IsSpent spent, Rank rank) {
  std::erase_if(table, [&](const auto& entry) { return spent(entry.second); });
  constexpr std::size_t kBatch = FloodGuard::kMaxAddresses / 8;
  if (table.size() + kBatch <= FloodGuard::kMaxAddresses) return;
  const std::size_t excess = table.size() + kBatch - FloodGuard::kMaxAddresses;
  using Key = typename Table::key_type;
  std::vector<std::pair<std::uint64_t, Key>> ranked;
  ranked.reserve(table.size());
  for (const auto& [key, entry] : table) ranked.emplace_back(rank(entry), key);
  std::nth_element(ranked.begin(), ranked.begin() + std::ptrdiff_t(excess - 1), ranked.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  for (std::size_t i = 0; i < excess; ++i) table.erase(ranked[i].second);
}

}  // namespace

// After those that no longer count, the addresses seen least recently go;
// an address that is cooling down or refused for its failed logins only
// when every other one is.
void FloodGuard::MakeRoomForAddresses(std::uint32_t now) {
  MakeRoom(
      addresses_, [&](const Address& a) { return Spent(a, now); },
      [&](const Address& a) {
        const bool held = a.cooling || TooManyFailures(a, now);
        return (std::uint64_t(!held) << 32) | Elapsed(now, a.lastSeen);
      });
}

void FloodGuard::MakeRoomForAccounts(std::uint32_t now) {
  MakeRoom(
      accounts_, [&](const Accounts& a) { return Spent(a, now); },
      [&](const Accounts& a) { return std::uint64_t(Elapsed(now, a.created.start)); });
}

// Accounts without failures go before those being guessed at; among each,
// those seen least recently.
void FloodGuard::MakeRoomForLogins(std::uint32_t now) {
  MakeRoom(
      logins_, [&](const Logins& l) { return l.failures.count == 0 && l.known[0] == 0; },
      [&](const Logins& l) {
        const bool guessed = !l.failures.Over(now, kFailedLoginWindowMs);
        return (std::uint64_t(!guessed) << 32) | Elapsed(now, l.lastSeen);
      });
}
