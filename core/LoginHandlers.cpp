// Packets before login: creating an account and logging in. Both carry the
// user name, a 0x00 byte and the password. A malformed packet ends the
// connection without a reply; refusals the peer must see are one-byte
// replies.
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Registry.h"
#include "core/Text.h"

namespace {

constexpr std::size_t kPasswordColumn = 15;
const std::string_view kAccountExistsBody("\x01", 1);
const std::string_view kAlreadyOnlineBody("\x02", 1);
const std::string_view kLoginRefusedBody("\x03", 1);
const std::string_view kServerFullPacket("\x00\x02\x00\x04", 4);

bool IsAccountChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The position of the separator, or npos when the payload is not of the form
// user, 0x00, password with both parts present.
std::size_t AccountSeparator(std::string_view payload) {
  const std::size_t p = payload.find('\0');
  if (p == std::string_view::npos || p == 0 || p == payload.size() - 1)
    return std::string_view::npos;
  return p;
}

std::string LoginAcceptedBody(const std::string& name, const std::string& description) {
  std::string body(1, char(packet::LoginAccepted));
  body += name;
  body += '\0';
  body += description;
  return body;
}

}  // namespace

bool IsValidAccountText(std::string_view text) {
  if (text.size() < 3 || text.size() > 15) return false;
  for (char c : text)
    if (!IsAccountChar(c)) return false;
  return true;
}

void Registry::HandleNewAccount(int slot, std::string_view payload) {
  const std::size_t p = AccountSeparator(payload);
  if (p == std::string_view::npos) return DisconnectClient(slot);
  const std::string user(TrimSpaces(payload.substr(0, p)));
  if (!IsValidAccountText(user)) return DisconnectClient(slot);

  // Refused alike: new accounts not allowed, or this address has created
  // its share of them this hour.
  if (!console_.AllowNewAccounts() || !flood_.MayCreateAccount(addresses_[slot])) {
    Counters::Add(counters_.accountsRefused);
    SendPacket(slot, kLoginRefusedBody);
    return DisconnectClient(slot);
  }
  const std::uint32_t address = addresses_[slot];

  ClientRecord& c = Clients[slot];
  std::string password = UpperCase(TrimSpaces(payload.substr(p + 1)));
  password.resize(std::min(password.size(), kPasswordColumn));
  if (!AddAccount(slot, user, password)) return;
  // Shared, the entry is taken before the account is committed: a claim
  // that fails leaves no account behind.
  if (shared_) {
    if (const auto claim = TakeEntry(slot); claim != SharedList::Claim::Claimed) {
      batch_.reset();
      return RefuseClaim(slot, claim, true);
    }
  }
  // The account is on disk before the log, the server list or the peer
  // hear of it.
  std::string error;
  bool unreachable = false;
  if (!CommitWrites(&error, &unreachable)) {
    if (shared_ && unreachable) return RefuseUnreachable(slot, "New account");
    log_.Error("New account " + user + " not stored: " + error);
    return DisconnectClient(slot);
  }
  Counters::Add(counters_.accountsCreated);
  flood_.AccountCreated(address);
  flood_.LoginSucceeded(UpperCase(user), address);

  log_.AddLogLine("New account " + user + " created from " + c.IP);
  console_.AppendServer(c.User);
  c.Mode = kModeServer;
  InvalidateLists();
  SendPacket(slot, LoginAcceptedBody(c.Name, c.Description));
  WarnIfUnreachable(slot);
}

// The account's row, written in the arrival's transaction, and the record
// of the server that is to log in with it. False when it is refused: the
// reply has been sent and the connection ended.
bool Registry::AddAccount(int slot, const std::string& user, const std::string& password) {
  ClientRecord& c = Clients[slot];
  AccountRecord row;
  row.User = user;
  row.Password = password;
  row.Name = "<untitled>";
  row.Description = "";
  row.Official = 0;
  row.UpdateURL = "";
  try {
    if (db_.accounts().Seek(user)) {
      Counters::Add(counters_.accountsNameTaken);
      SendPacket(slot, kAccountExistsBody);
      DisconnectClient(slot);
      return false;
    }
    // No account is made for a server that could not log in with it.
    if (!RoomForServer(slot)) {
      Counters::Add(counters_.accountsTableFull);
      RefuseServerFull(slot);
      return false;
    }
    BeginWrite();
    db_.accounts().Add(row);
    const auto stored = db_.accounts().Seek(user);
    c.Position = stored ? stored->Position : 0;
  } catch (const DatabaseError& e) {
    batch_.reset();  // rolls back
    NewAccountNotStored(slot, user, e);
    return false;
  }
  c.User = user;
  c.Name = *row.Name;
  c.Description.clear();
  c.Official = 0;
  c.UpdateURL.clear();
  return true;
}

// A name taken at the same moment at another registry sharing the database
// breaks the unique key: the account exists, as if it had been found.
void Registry::NewAccountNotStored(int slot, const std::string& user, const DatabaseError& e) {
  if (e.Duplicate()) {
    Counters::Add(counters_.accountsNameTaken);
    SendPacket(slot, kAccountExistsBody);
    return DisconnectClient(slot);
  }
  counters_.WriteFailed();
  if (SharedOutage(e)) return RefuseUnreachable(slot, "New account");
  log_.Error("New account " + user + " not stored: " + e.what());
  DisconnectClient(slot);
}

void Registry::HandleLogin(int slot, std::string_view payload) {
  const std::size_t p = AccountSeparator(payload);
  if (p == std::string_view::npos) return DisconnectClient(slot);
  ClientRecord& c = Clients[slot];
  const std::uint32_t address = addresses_[slot];
  // The name is kept as sent: the list, the log and the online check use the
  // spelling of this login.
  c.User = std::string(payload.substr(0, p));
  // An address that has got too many logins wrong is not even looked at
  // (its new connections are refused too).
  if (flood_.LoginsRefused(address)) return RefuseLogin(slot, {}, "too many failed logins");

  std::optional<AccountRecord> account;
  try {
    account = db_.accounts().Seek(c.User);
  } catch (const DatabaseError& e) {
    if (SharedOutage(e)) return RefuseUnreachable(slot, "Login");
    log_.Error(std::string("Login look-up failed: ") + e.what());
    return DisconnectClient(slot);
  }
  if (!account) return RefuseLogin(slot, {}, "no such account");
  const std::string key = UpperCase(account->User.value_or(c.User));
  // An account guessed at from many addresses stays open to the addresses
  // its server has logged in from.
  if (flood_.AccountLocked(key, address)) return RefuseLogin(slot, key, "account locked");
  if (UpperCase(payload.substr(p + 1)) != UpperCase(account->Password.value_or("")))
    return RefuseLogin(slot, key, "wrong password");
  const std::string upperUser = UpperCase(c.User);
  for (int other = 1; other <= kRegularSlots; ++other) {
    if (other != slot && Clients[other].InUse && UpperCase(Clients[other].User) == upperUser) {
      Counters::Add(counters_.loginsAlreadyOnline);
      SendPacket(slot, kAlreadyOnlineBody);
      return DisconnectClient(slot);
    }
  }
  if (!RoomForServer(slot)) {
    Counters::Add(counters_.loginsTableFull);
    return RefuseServerFull(slot);
  }
  c.Name = account->Name.value_or("");
  c.Description = account->Description.value_or("");
  c.Official = static_cast<std::uint8_t>(account->Official.value_or(0));
  c.UpdateURL = account->UpdateURL.value_or("");
  if (shared_) {
    if (const auto claim = TakeEntry(slot); claim != SharedList::Claim::Claimed)
      return RefuseClaim(slot, claim, false);
  }
  flood_.LoginSucceeded(key, address);
  Counters::Add(counters_.loginsAccepted);

  console_.AppendServer(c.User);
  c.Mode = kModeServer;
  InvalidateLists();
  c.Position = account->Position;
  SendPacket(slot, LoginAcceptedBody(c.Name, c.Description));
  log_.AddLogLine(c.User + " has connected successfully from " + c.IP);
  WarnIfUnreachable(slot);
}

// The refused name is let go at once: a refusal that is never read must
// not keep the account's real server out. Each refusal is one line for the
// operator's firewall tools, until the address is refused altogether.
void Registry::RefuseLogin(int slot, const std::string& account, const char* reason) {
  Counters::Add(counters_.loginsRefused);
  ClientRecord& c = Clients[slot];
  if (flood_.LoginFailed(addresses_[slot], c.IP, account)) {
    // A name as long as a packet allows is cut, so that the line stays far
    // below what a journal splits (a firewall filter reads whole lines).
    constexpr std::size_t kShownUser = 60;
    const std::string shown = c.User.size() > kShownUser ? c.User.substr(0, kShownUser) + "..." : c.User;
    log_.Diagnostic("Login refused for " + shown + " from " + c.IP + ": " + reason);
  }
  c.User.clear();
  c.Refused = true;
  c.RefusedTick = clock_.Ticks();
  c.CloseAfterSend = true;
  SendPacket(slot, kLoginRefusedBody);
}

bool Registry::RoomForServer(int slot) const {
  const FloodLimits& limits = flood_.Limits();
  if (limits.MaxServersPerIP <= 0 && limits.ReservedPlayerSlots <= 0) return true;
  int online = 0, fromAddress = 0;
  for (int other = 1; other <= kRegularSlots; ++other) {
    if (!IsServerOnline(Clients[other])) continue;
    ++online;
    fromAddress += addresses_[other] == addresses_[slot];
  }
  if (limits.MaxServersPerIP > 0 && fromAddress >= limits.MaxServersPerIP) return false;
  return limits.ReservedPlayerSlots <= 0 || online < kRegularSlots - limits.ReservedPlayerSlots;
}

void Registry::RefuseServerFull(int slot) {
  SendRaw(slot, kServerFullPacket);
  DisconnectClient(slot);
}
