#include "core/FloodGuard.h"

#include "core/Clock.h"
#include "core/LogSink.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace {

// A count runs from the first connection (or account) of its window for the
// window's length; the next one after that starts a new window.
bool WindowOver(std::uint32_t now, std::uint32_t start, std::uint32_t length) {
  return Elapsed(now, start) >= length;
}

}  // namespace

FloodGuard::FloodGuard(TickClock& clock, LogSink& log) : clock_(clock), log_(log), lastForget_(clock.Ticks()) {}

bool FloodGuard::AdmitConnection(std::uint32_t address, const std::string& addressText) {
  const int limit = limits_.MaxConnectsPerMinute;
  if (limit <= 0) return true;
  const std::uint32_t now = clock_.Ticks();
  Connects& c = ConnectsOf(address, now);
  c.lastSeen = now;
  if (c.cooling) {
    if (!WindowOver(now, c.coolStart, c.coolLength)) return false;
    c.cooling = false;
    c.count = 0;
  }
  if (c.count == 0 || WindowOver(now, c.windowStart, kConnectWindowMs)) {
    c.windowStart = now;
    c.count = 0;
  }
  if (++c.count <= std::uint32_t(limit)) return true;

  // One too many: the address cools down, a little longer at each repeat,
  // until it has gone an hour after its last cool-down without excess.
  if (Forgiven(c, now)) c.excesses = 0;
  const std::uint32_t length =
      std::min<std::uint32_t>(kFirstCoolDownMs << std::min(c.excesses, 6), kLongestCoolDownMs);
  c.excesses = std::min(c.excesses + 1, 6);
  c.cooling = true;
  c.coolStart = now;
  c.coolLength = length;
  c.count = 0;
  log_.AddLogLine("Connections from " + addressText + " refused for " + std::to_string(length / 1000) +
                  " seconds: too many connections.");
  return false;
}

bool FloodGuard::MayCreateAccount(std::uint32_t address) {
  const int limit = limits_.MaxNewAccountsPerHour;
  if (limit <= 0) return true;
  const auto found = accounts_.find(address);
  if (found == accounts_.end()) return true;
  const Accounts& a = found->second;
  return WindowOver(clock_.Ticks(), a.windowStart, kAccountWindowMs) || a.count < std::uint32_t(limit);
}

void FloodGuard::AccountCreated(std::uint32_t address) {
  if (limits_.MaxNewAccountsPerHour <= 0) return;
  const std::uint32_t now = clock_.Ticks();
  Accounts& a = AccountsOf(address, now);
  if (a.count == 0 || WindowOver(now, a.windowStart, kAccountWindowMs)) {
    a.windowStart = now;
    a.count = 0;
  }
  ++a.count;
}

// Whether an address's last cool-down has been followed by an hour without
// excess, so that the next one is the first again.
bool FloodGuard::Forgiven(const Connects& c, std::uint32_t now) {
  return Elapsed(now, c.coolStart) >= c.coolLength + kForgetAfterMs;
}

// Nothing about the address counts any more: no cool-down running, none to
// be doubled, and its last minute's count over.
bool FloodGuard::Spent(const Connects& c, std::uint32_t now) {
  const bool cooled = !c.cooling || WindowOver(now, c.coolStart, c.coolLength);
  return cooled && (c.excesses == 0 || Forgiven(c, now)) && WindowOver(now, c.windowStart, kConnectWindowMs);
}

bool FloodGuard::Spent(const Accounts& a, std::uint32_t now) {
  return WindowOver(now, a.windowStart, kAccountWindowMs);
}

void FloodGuard::ForgetStale() {
  const std::uint32_t now = clock_.Ticks();
  if (Elapsed(now, lastForget_) < kForgetEveryMs) return;
  lastForget_ = now;
  std::erase_if(connects_, [&](const auto& entry) { return Spent(entry.second, now); });
  // An address that keeps connecting within its limit stays; only its
  // forgiven excesses are let go, so its last cool-down need not be kept.
  for (auto& [address, c] : connects_)
    if (!c.cooling && c.excesses > 0 && Forgiven(c, now)) c.excesses = 0;
  std::erase_if(accounts_, [&](const auto& entry) { return Spent(entry.second, now); });
}

FloodGuard::Connects& FloodGuard::ConnectsOf(std::uint32_t address, std::uint32_t now) {
  const auto found = connects_.find(address);
  if (found != connects_.end()) return found->second;
  if (connects_.size() >= kMaxAddresses) MakeRoomForConnects(now);
  return connects_[address];
}

FloodGuard::Accounts& FloodGuard::AccountsOf(std::uint32_t address, std::uint32_t now) {
  const auto found = accounts_.find(address);
  if (found != accounts_.end()) return found->second;
  if (accounts_.size() >= kMaxAddresses) MakeRoomForAccounts(now);
  return accounts_[address];
}

// A full table first lets go of every address that no longer counts. When
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
  std::vector<std::pair<std::uint64_t, std::uint32_t>> ranked;  // rank, address
  ranked.reserve(table.size());
  for (const auto& [address, entry] : table) ranked.emplace_back(rank(entry), address);
  std::nth_element(ranked.begin(), ranked.begin() + std::ptrdiff_t(excess - 1), ranked.end(),
                   std::greater<>());
  for (std::size_t i = 0; i < excess; ++i) table.erase(ranked[i].second);
}

}  // namespace

// After those that no longer count, the addresses seen least recently go;
// an address that is cooling down only when every other one is.
void FloodGuard::MakeRoomForConnects(std::uint32_t now) {
  MakeRoom(
      connects_, [&](const Connects& c) { return Spent(c, now); },
      [&](const Connects& c) { return (std::uint64_t(!c.cooling) << 32) | Elapsed(now, c.lastSeen); });
}

void FloodGuard::MakeRoomForAccounts(std::uint32_t now) {
  MakeRoom(
      accounts_, [&](const Accounts& a) { return Spent(a, now); },
      [&](const Accounts& a) { return std::uint64_t(Elapsed(now, a.windowStart)); });
}
