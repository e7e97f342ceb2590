// Packet framing: a 2-byte big-endian length, then the body (type byte and
// payload). Incoming bodies of 512 bytes or more end the connection.
#include "core/ConsoleState.h"
#include "core/Clock.h"
#include "core/LogSink.h"
#include "core/Operations.h"
#include "core/Registry.h"

std::string EncodeLength(std::size_t n) {
  return {char((n >> 8) & 0xFF), char(n & 0xFF)};
}

std::size_t DecodeLength(std::string_view twoBytes) {
  return std::size_t(static_cast<unsigned char>(twoBytes[0])) * 256 +
         static_cast<unsigned char>(twoBytes[1]);
}

void Registry::SendPacket(int slot, std::string_view body) {
  // No sender may pass a body the length prefix cannot describe.
  if (body.size() > ops::kMaxPacketBody) return;
  std::string packet = EncodeLength(body.size());
  packet.append(body);
  SendRaw(slot, packet);
}

void Registry::SendRaw(int slot, std::string_view bytes) {
  if (!Clients[slot].InUse) return;
  if (!SocketConnected(slot)) {
    DisconnectClient(slot);
    return;
  }
  // A reply must not leave before what it reports is stored: while the
  // writes of this arrival wait for their commit, so do its replies.
  if (batch_ && slot == heldSlot_) {
    held_.append(bytes);
    return;
  }
  sockets_.Send(slot, bytes);
}

void Registry::ProcessData(int slot, std::string_view data) {
  ClientRecord& c = Clients[slot];
  // After a refused login nothing the peer sends is looked at.
  if (!c.InUse || c.Refused) return;
  // Work on a local buffer: a handler that ends the connection clears the
  // record, and the packet being handled must stay valid until it returns.
  std::string buf = std::move(c.Buffer);
  buf.append(data);
  c.LastTick = clock_.Ticks();
  heldSlot_ = slot;

  std::size_t pos = 0;
  bool ended = false;
  while (buf.size() - pos >= 3) {
    const std::size_t n = DecodeLength(std::string_view(buf).substr(pos, 2));
    if (n > std::size_t(kMaxIncomingBody)) {
      DisconnectClient(slot);
      ended = true;
      break;
    }
    if (buf.size() - pos < n + 2) break;
    const std::string_view body = std::string_view(buf).substr(pos + 2, n);
    pos += n + 2;
    if (n == 0) continue;
    HandlePacket(slot, static_cast<std::uint8_t>(body[0]), body.substr(1));
    if (!c.InUse || c.Refused) {
      ended = true;
      break;
    }
  }
  std::string error;
  const bool stored = CommitWrites(&error);
  heldSlot_ = 0;
  if (!stored) {
    log_.Error("Changes sent by " + (c.User.empty() ? std::string("a client") : c.User) + " from " + c.IP +
                    " not stored: " + error);
    // What this arrival asked for was not stored: the peer gets no reply
    // that says it was, and the record that claimed it goes with the
    // connection.
    DisconnectClient(slot);
    return;
  }
  if (ended) return;
  buf.erase(0, pos);
  c.Buffer = std::move(buf);

  if (c.Mode == kModeServer) {
    const std::string selected = console_.SelectedServerText();
    if (!selected.empty() && selected == c.User) {
      if (const int shown = FindClientByUser(selected)) ShowServerInfo(shown);
    }
  }
}

void Registry::BeginWrite() {
  if (!batch_) batch_.emplace(db_);
}

bool Registry::CommitWrites(std::string* error, bool* unreachable) {
  if (!batch_) return true;
  bool ok = true;
  try {
    batch_->Commit();
    counters_.WriteSucceeded();
  } catch (const DatabaseError& e) {
    *error = e.what();
    if (unreachable) *unreachable = e.Unreachable();
    ok = false;
    counters_.WriteFailed();
  }
  batch_.reset();
  std::string replies = std::move(held_);
  held_.clear();
  if (ok && !replies.empty() && heldSlot_ && Clients[heldSlot_].InUse)
    sockets_.Send(heldSlot_, replies);
  return ok;
}

void Registry::HandlePacket(int slot, std::uint8_t type, std::string_view payload) {
  if (type != packet::Pong) Clients[slot].AskedSomething = true;
  if (Clients[slot].Mode == kModeServer)
    HandleFromServer(slot, type, payload);
  else
    HandleBeforeLogin(slot, type, payload);
}

void Registry::HandleBeforeLogin(int slot, std::uint8_t type, std::string_view payload) {
  switch (type) {
    case packet::NewAccount: return HandleNewAccount(slot, payload);
    case packet::Login: return HandleLogin(slot, payload);
    case packet::ListRequest: return HandleListRequest(slot, payload);
    case packet::Pong: return HandlePong(slot, payload);
    default: return DisconnectClient(slot);
  }
}

void Registry::HandleFromServer(int slot, std::uint8_t type, std::string_view payload) {
  switch (type) {
    case packet::ServerInfo: return HandleServerInfo(slot, payload);
    case packet::ChangePassword: return HandleChangePassword(slot, payload);
    case packet::SetPlayerCount: return HandleSetPlayerCount(slot, payload);
    case packet::Pong: return HandlePong(slot, payload);
    default: return DisconnectClient(slot);
  }
}

void Registry::HandlePong(int slot, std::string_view payload) {
  if (!payload.empty()) DisconnectClient(slot);
}
