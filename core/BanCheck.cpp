// Refusing banned addresses. A ban names one address, or a network when its
// last one or two numbers are 0. The exact address is looked for first, then
// its two network forms; only the first ban found counts.
#include "core/Clock.h"
#include "core/LogSink.h"
#include "core/Registry.h"


std::string MaskIP(std::string_view address, int level) {
  std::size_t cut = address.rfind('.');
  if (cut == std::string_view::npos) return std::string(address);
  if (level == 1) return std::string(address.substr(0, cut + 1)) + "0";
  if (cut == 0) return std::string(address);
  cut = address.rfind('.', cut - 1);
  if (cut == std::string_view::npos) return std::string(address);
  return std::string(address.substr(0, cut + 1)) + "0.0";
}

bool BanExpired(const QDate& unbanDay, const QDate& today) { return unbanDay <= today; }

namespace {

std::optional<BanRecord> FirstBanFor(Bans& bans, std::string_view address) {
  if (bans.Empty()) return std::nullopt;
  if (auto ban = bans.FindByIP(address)) return ban;
  if (auto ban = bans.FindByIP(MaskIP(address, 1))) return ban;
  return bans.FindByIP(MaskIP(address, 2));
}

}  // namespace

bool Registry::RefusedByBan(const std::string& address) {
  bool deleting = false;
  try {
    const auto ban = FirstBanFor(db_.bans(), address);
    if (!ban) return false;
    // A ban without an unban date never expires.
    if (!ban->UnbanDate || !ban->UnbanDate->isValid()) return true;
    if (!BanExpired(ban->UnbanDate->date(), calendar_.Today())) return true;
    deleting = true;
    if (ban->Number) db_.bans().Delete(*ban->Number);
    if (ban->Number) counters_.WriteSucceeded();
    return false;
  } catch (const DatabaseError& e) {
    if (deleting) counters_.WriteFailed();
    // The registry keeps serving; the address is let through this time.
    log_.Error("Ban check of " + address + " failed: " + e.what());
    return false;
  }
}
