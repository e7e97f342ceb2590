// Packet framing: a 2-byte big-endian length, then the body (type byte and
// payload). Incoming bodies of 512 bytes or more end the connection.
#include "core/ConsoleState.h"
#include "core/Clock.h"
#include "core/Registry.h"

#include <QTcpSocket>
#include <cstdio>
#include <sys/socket.h>

std::string EncodeLength(std::size_t n) {
  return {char((n >> 8) & 0xFF), char(n & 0xFF)};
}

std::size_t DecodeLength(std::string_view twoBytes) {
  return std::size_t(static_cast<unsigned char>(twoBytes[0])) * 256 +
         static_cast<unsigned char>(twoBytes[1]);
}

void Registry::SendPacket(int slot, std::string_view body) {
  // No sender may pass a body the length prefix cannot describe.
  if (body.size() > 65535) return;
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
  QTcpSocket* socket = sockets_[slot];
  // A reply goes straight to the kernel when nothing is queued before it,
  // no database write of this arrival still waits for its commit (the reply
  // must not leave before what it reports is stored), and nobody waits to
  // hear that the send completed. QTcpSocket would otherwise switch its
  // write notification on and off for every reply, two wake-ups of the
  // event loop each. Whatever the kernel does not take at once, and every
  // other send, goes through the socket's own buffer as before.
  if (!batch_ && !Clients[slot].CloseAfterSend && socket->bytesToWrite() == 0) {
    const ssize_t sent = ::send(int(socket->socketDescriptor()), bytes.data(), bytes.size(),
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) bytes.remove_prefix(std::size_t(sent));
    if (bytes.empty()) return;
  }
  socket->write(bytes.data(), qint64(bytes.size()));
}

void Registry::ProcessData(int slot, std::string_view data) {
  ClientRecord& c = Clients[slot];
  if (!c.InUse) return;
  // Work on a local buffer: a handler that ends the connection clears the
  // record, and the packet being handled must stay valid until it returns.
  std::string buf = std::move(c.Buffer);
  buf.append(data);
  c.LastTick = clock_.Ticks();

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
    if (!c.InUse) {
      ended = true;
      break;
    }
  }
  if (!CommitWrites()) {
    // What this arrival asked for was not stored: the peer must not get a
    // reply that says it was.
    if (QTcpSocket* s = sockets_[slot]) s->abort();
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

bool Registry::CommitWrites() {
  if (!batch_) return true;
  bool ok = true;
  try {
    batch_->Commit();
  } catch (const DatabaseError& e) {
    std::fprintf(stderr, "Database write failed: %s\n", e.what());
    ok = false;
  }
  batch_.reset();
  return ok;
}

void Registry::HandlePacket(int slot, std::uint8_t type, std::string_view payload) {
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
