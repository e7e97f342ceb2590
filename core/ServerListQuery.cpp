// The server list for players: one ListEntry per game server online,
// official servers first, cut once the reply reaches 1024 bytes and closed by
// ListEnd, or by ListMore with the slot to ask for next.
#include "core/LogSink.h"
#include "core/Registry.h"

namespace {

constexpr std::size_t kReplyCut = 1024;
const std::string_view kListEndPacket("\x00\x02\xFF\x04", 4);
const std::string_view kListMoreHead("\x00\x03\xFF\x03", 4);

void AppendEntry(std::string& reply, const ClientRecord& c) {
  std::string body(1, char(packet::ListEntry));
  body += c.User;
  body += '\0';
  body += c.IP;
  body += '\0';
  body += "[" + std::to_string(c.PlayerCount) + "] " + c.Name;
  body += '\0';
  body += c.Official != 0 ? "Official Server: " : "Unofficial Server: ";
  body += c.Description;
  body += '\0';
  body += c.UpdateURL;
  std::string entry = EncodeLength(body.size()) + body;
  // Official servers go in front as they are found.
  if (c.Official != 0)
    reply.insert(0, entry);
  else
    reply += entry;
}

}  // namespace

void Registry::HandleListRequest(int slot, std::string_view payload) {
  if (payload.size() != 1) return DisconnectClient(slot);
  const int start = static_cast<unsigned char>(payload[0]);
  if (start == 0) return;

  std::string reply;
  int j = start;
  for (; j <= kRegularSlots; ++j) {
    if (Clients[j].Mode != kModeServer) continue;
    if (reply.size() >= kReplyCut) break;
    AppendEntry(reply, Clients[j]);
  }
  if (reply.empty()) return DisconnectClient(slot);
  if (j > kRegularSlots) {
    reply += kListEndPacket;
  } else {
    reply += kListMoreHead;
    reply += char(j);
  }
  log_.AddLogLine("Server information sent to " + Clients[slot].IP);
  SendRaw(slot, reply);
}
