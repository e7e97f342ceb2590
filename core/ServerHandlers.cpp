// Packets from a logged-in game server. None gets a reply. Name, description
// and password are written through to the account's row; the player count
// lives only in the client record.
#include "core/LogSink.h"
#include "core/Registry.h"
#include "core/Text.h"
#include "storage/Schema.h"

namespace {
constexpr std::size_t kNameColumn = schema::kServerNameSize;
constexpr std::size_t kDescriptionColumn = schema::kDescriptionSize;
}  // namespace

void Registry::HandleServerInfo(int slot, std::string_view payload) {
  const std::size_t p = payload.find('\0');
  // Without the separator the packet is malformed.
  if (p == std::string_view::npos) return DisconnectClient(slot);
  const std::string_view name = TrimSpaces(payload.substr(0, p));
  const std::string_view description = TrimSpaces(payload.substr(p + 1));
  if (description.size() > kDescriptionColumn || name.size() > kNameColumn)
    return DisconnectClient(slot);

  ClientRecord& c = Clients[slot];
  // The bookmark goes only to the row it was taken for: when the account was
  // deleted meanwhile, the record changes and nothing is written. A write
  // the database refuses ends the connection, record and all, so nothing
  // shows what was not stored.
  try {
    BeginWrite();
    db_.accounts().WriteServerInfo(c.Position, c.User, std::string(name), std::string(description));
  } catch (const DatabaseError& e) {
    counters_.WriteFailed();
    log_.Error("Server information of " + c.User + " not stored: " + e.what());
    return DisconnectClient(slot);
  }
  const bool changed = c.Name != name || c.Description != description;
  c.Name = std::string(name);
  c.Description = std::string(description);
  if (!changed) return;
  InvalidateLists();
  PublishEntry(slot);
}

void Registry::HandleChangePassword(int slot, std::string_view payload) {
  if (payload.size() < 3 || payload.size() > 15) return;
  ClientRecord& c = Clients[slot];
  try {
    BeginWrite();
    db_.accounts().WritePassword(c.Position, c.User, UpperCase(payload));
  } catch (const DatabaseError& e) {
    counters_.WriteFailed();
    log_.Error("Password of " + c.User + " not stored: " + e.what());
    DisconnectClient(slot);
  }
}

void Registry::HandleSetPlayerCount(int slot, std::string_view payload) {
  if (payload.size() != 1) return DisconnectClient(slot);
  const auto count = static_cast<std::uint8_t>(payload[0]);
  if (Clients[slot].PlayerCount == count) return;
  Clients[slot].PlayerCount = count;
  InvalidateLists();
  PublishEntry(slot);
}
