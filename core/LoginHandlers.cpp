// Packets before login: creating an account and logging in. Both carry the
// user name, a 0x00 byte and the password. A malformed packet ends the
// connection without a reply; refusals the peer must see are one-byte
// replies.
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Registry.h"
#include "core/Text.h"

#include <cstdio>

namespace {

constexpr std::size_t kPasswordColumn = 15;
const std::string_view kAccountExistsBody("\x01", 1);
const std::string_view kAlreadyOnlineBody("\x02", 1);
const std::string_view kLoginRefusedBody("\x03", 1);

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
    SendPacket(slot, kLoginRefusedBody);
    return DisconnectClient(slot);
  }

  ClientRecord& c = Clients[slot];
  std::string password = UpperCase(TrimSpaces(payload.substr(p + 1)));
  password.resize(std::min(password.size(), kPasswordColumn));
  AccountRecord row;
  row.User = user;
  row.Password = password;
  row.Name = "<untitled>";
  row.Description = "";
  row.Official = 0;
  row.UpdateURL = "";
  try {
    if (db_.accounts().Seek(user)) {
      SendPacket(slot, kAccountExistsBody);
      return DisconnectClient(slot);
    }
    BeginWrite();
    db_.accounts().Add(row);
    const auto stored = db_.accounts().Seek(user);
    c.Position = stored ? stored->Position : 0;
  } catch (const DatabaseError& e) {
    batch_.reset();  // rolls back
    std::fprintf(stderr, "New account %s not stored: %s\n", user.c_str(), e.what());
    return DisconnectClient(slot);
  }
  // The account is on disk before the log, the server list or the peer
  // hear of it.
  std::string error;
  if (!CommitWrites(&error)) {
    std::fprintf(stderr, "New account %s not stored: %s\n", user.c_str(), error.c_str());
    return DisconnectClient(slot);
  }
  flood_.AccountCreated(addresses_[slot]);

  c.User = user;
  log_.AddLogLine("New account " + user + " created from " + c.IP);
  c.Name = *row.Name;
  c.Description.clear();
  c.Official = 0;
  c.UpdateURL.clear();
  console_.AppendServer(c.User);
  c.Mode = kModeServer;
  InvalidateLists();
  SendPacket(slot, LoginAcceptedBody(c.Name, c.Description));
}

void Registry::HandleLogin(int slot, std::string_view payload) {
  const std::size_t p = AccountSeparator(payload);
  if (p == std::string_view::npos) return DisconnectClient(slot);
  ClientRecord& c = Clients[slot];
  // The name is kept as sent: the list, the log and the online check use the
  // spelling of this login.
  c.User = std::string(payload.substr(0, p));

  std::optional<AccountRecord> account;
  try {
    account = db_.accounts().Seek(c.User);
  } catch (const DatabaseError& e) {
    std::fprintf(stderr, "Login look-up failed: %s\n", e.what());
    return DisconnectClient(slot);
  }
  if (!account || UpperCase(payload.substr(p + 1)) != UpperCase(account->Password.value_or(""))) {
    c.CloseAfterSend = true;
    return SendPacket(slot, kLoginRefusedBody);
  }
  // Not only the servers online: a refused login keeps its name in its slot
  // until its refusal has been sent, and a correct login under that name
  // meanwhile is answered as already online.
  const std::string upperUser = UpperCase(c.User);
  for (int other = 1; other <= kRegularSlots; ++other) {
    if (other != slot && Clients[other].InUse && UpperCase(Clients[other].User) == upperUser) {
      SendPacket(slot, kAlreadyOnlineBody);
      return DisconnectClient(slot);
    }
  }

  c.Name = account->Name.value_or("");
  c.Description = account->Description.value_or("");
  c.Official = static_cast<std::uint8_t>(account->Official.value_or(0));
  c.UpdateURL = account->UpdateURL.value_or("");
  console_.AppendServer(c.User);
  c.Mode = kModeServer;
  InvalidateLists();
  c.Position = account->Position;
  SendPacket(slot, LoginAcceptedBody(c.Name, c.Description));
  log_.AddLogLine(c.User + " has connected successfully from " + c.IP);
}
