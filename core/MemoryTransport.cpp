#include "core/MemoryTransport.h"

#include <QCoreApplication>
#include <QTimer>

MemoryTransport::MemoryTransport(SocketEvents& events, QObject* parent)
    : QObject(parent), events_(events) {}

// --- The peers' side -------------------------------------------------------

int MemoryTransport::Connect(std::uint32_t address, bool reading) {
  PeerEnd end;
  end.address = address;
  end.reading = reading;
  peers_.push_back(std::move(end));
  const int peer = int(peers_.size() - 1);
  if (!listening_) {
    peers_.back().closedByRegistry = true;  // nobody to take it
    return peer;
  }
  waiting_.push_back(peer);
  events_.OnConnectionRequest();
  Settle();
  return peer;
}

void MemoryTransport::Write(int peer, std::string_view bytes) {
  const PeerEnd& end = Peer(peer);
  if (end.closedByPeer || end.closedByRegistry || end.slot == 0 || bytes.empty()) return;
  Post(Kind::Data, end.slot, std::string(bytes));
  Settle();
}

void MemoryTransport::CloseFromPeer(int peer) {
  PeerEnd& end = Peer(peer);
  if (end.closedByPeer) return;
  end.closedByPeer = true;
  if (end.slot != 0 && !end.closedByRegistry) Post(Kind::Error, end.slot);
  Settle();
}

void MemoryTransport::SetReading(int peer, bool reading) {
  PeerEnd& end = Peer(peer);
  end.reading = reading;
  if (reading) TakeUnread(end);
  Settle();
}

void MemoryTransport::TakeUnread(PeerEnd& end) {
  if (end.unread.empty()) return;
  end.received += end.unread;
  end.unread.clear();
  if (end.slot != 0 && !end.closedByRegistry) Post(Kind::Complete, end.slot);
}

void MemoryTransport::Settle() {
  if (settling_) return;  // the loop below gives what is posted meanwhile
  settling_ = true;
  while (!notices_.empty()) {
    const Notice n = std::move(notices_.front());
    notices_.pop_front();
    const Slot& s = slots_[std::size_t(n.slot)];
    // For a connection that has ended, or an earlier one on the same slot.
    if (s.peer == 0 || s.generation != n.generation) continue;
    switch (n.kind) {
      case Kind::Data:
        events_.OnDataArrival(n.slot, n.data);
        break;
      case Kind::Complete:
        if (Queued(n.slot) == 0) events_.OnSendComplete(n.slot);
        break;
      case Kind::Error:
        events_.OnSocketError(n.slot);
        break;
    }
  }
  settling_ = false;
}

void MemoryTransport::Post(Kind kind, int slot, std::string data) {
  notices_.push_back({kind, slot, slots_[std::size_t(slot)].generation, std::move(data)});
  // Outside a peer's call nobody settles at once; the event loop does when
  // there is one (tests waiting with QTRY_), the caller's Settle() otherwise.
  if (!settling_ && !settleQueued_ && QCoreApplication::instance()) {
    settleQueued_ = true;
    QTimer::singleShot(0, this, [this] {
      settleQueued_ = false;
      Settle();
    });
  }
}

// --- Transport -------------------------------------------------------------

bool MemoryTransport::Listen(std::uint16_t port, std::string*) {
  listening_ = true;
  port_ = port;
  return true;
}

std::optional<Transport::Request> MemoryTransport::Accept() {
  while (!waiting_.empty()) {
    const int peer = waiting_.front();
    waiting_.pop_front();
    if (Peer(peer).closedByPeer) continue;  // gave up while waiting
    return Request{peer, Peer(peer).address};
  }
  return std::nullopt;
}

void MemoryTransport::AcceptOn(int slot, Request request) {
  if (slots_[std::size_t(slot)].peer != 0) Close(slot);
  slots_[std::size_t(slot)] = {request.fd, nextGeneration_++};
  Peer(request.fd).slot = slot;
}

void MemoryTransport::Refuse(Request request, std::string_view bytes) {
  PeerEnd& end = Peer(request.fd);
  (end.reading ? end.received : end.unread).append(bytes);
  end.closedByRegistry = true;
}

bool MemoryTransport::Connected(int slot) const {
  const Slot& s = slots_[std::size_t(slot)];
  return s.peer != 0 && !peers_[std::size_t(s.peer)].closedByPeer;
}

std::uint32_t MemoryTransport::RemoteAddress(int slot) const {
  const Slot& s = slots_[std::size_t(slot)];
  return s.peer != 0 ? peers_[std::size_t(s.peer)].address : 0;
}

std::size_t MemoryTransport::Queued(int slot) const {
  const Slot& s = slots_[std::size_t(slot)];
  return s.peer != 0 ? peers_[std::size_t(s.peer)].unread.size() : 0;
}

void MemoryTransport::Send(int slot, std::string_view bytes) {
  const Slot& s = slots_[std::size_t(slot)];
  if (s.peer == 0) return;
  PeerEnd& end = Peer(s.peer);
  if (end.closedByPeer) return;  // a peer that is gone hears nothing more
  if (!end.reading) {
    end.unread.append(bytes);
    return;
  }
  end.received.append(bytes);
  Post(Kind::Complete, slot);
}

// What is still queued reaches the peer once it reads, as a closed socket
// array slot delivers its last bytes.
void MemoryTransport::Close(int slot) {
  Slot& s = slots_[std::size_t(slot)];
  if (s.peer == 0) return;
  PeerEnd& end = Peer(s.peer);
  end.closedByRegistry = true;
  end.slot = 0;
  s = Slot{};
}

void MemoryTransport::Discard(int slot) {
  const Slot& s = slots_[std::size_t(slot)];
  if (s.peer != 0) Peer(s.peer).unread.clear();
}
