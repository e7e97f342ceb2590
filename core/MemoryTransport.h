#pragma once
// A transport inside the process, for tests and fuzzing: no sockets and no
// event loop. The test plays the peers (connect, send, read or not, close)
// and every call of it runs the registry's handling to its end before it
// returns: the connection request, the bytes that arrived, and the notices
// the registry's own sends and closes caused, in the order they were given.
// Time is whatever clock the registry was given; nothing here waits.
//
// A notice the registry causes outside a peer's call (a ping of the client
// scan, an operator's message) is given at the next call of a peer, at
// Settle(), or from the event loop, whichever comes first.
#include "core/Transport.h"

#include <QObject>

#include <array>
#include <deque>
#include <string>
#include <vector>

class MemoryTransport : public QObject, public Transport {
  Q_OBJECT
 public:
  static constexpr int kSlots = 256;

  explicit MemoryTransport(SocketEvents& events, QObject* parent = nullptr);

  // One end of a connection, as the peer sees it.
  struct PeerEnd {
    std::uint32_t address = 0;
    std::string received;     // what it has read
    std::string unread;       // sent to it while it was not reading
    bool reading = true;
    bool closedByRegistry = false;
    bool closedByPeer = false;
    int slot = 0;             // 0 while waiting, once refused or ended
  };

  // --- The peers' side -----------------------------------------------------
  // A new connection from the address (IPv4, host byte order), reading
  // what it is sent or not; the registry hears of it at once. Returns the
  // peer's number.
  int Connect(std::uint32_t address, bool reading = true);
  // The peer sends; the bytes arrive as one piece.
  void Write(int peer, std::string_view bytes);
  // The peer closes its end.
  void CloseFromPeer(int peer);
  // A peer that stops reading leaves what the registry sends queued (and
  // unreported as sent); reading again takes it all.
  void SetReading(int peer, bool reading);
  PeerEnd& Peer(int peer) { return peers_[std::size_t(peer)]; }
  // Gives every notice still waiting.
  void Settle();

  // --- Transport -----------------------------------------------------------
  bool Listen(std::uint16_t port, std::string* error) override;
  std::uint16_t LocalPort() const override { return port_; }
  std::optional<Request> Accept() override;
  void AcceptOn(int slot, Request request) override;
  void Refuse(Request request, std::string_view bytes) override;
  bool HasSocket(int slot) const override { return slots_[std::size_t(slot)].peer != 0; }
  bool Connected(int slot) const override;
  std::uint32_t RemoteAddress(int slot) const override;
  std::size_t Queued(int slot) const override;
  void Send(int slot, std::string_view bytes) override;
  void Close(int slot) override;
  void Discard(int slot) override;

 private:
  struct Slot {
    int peer = 0;
    std::uint32_t generation = 0;
  };
  enum class Kind { Data, Complete, Error };
  struct Notice {
    Kind kind;
    int slot;
    std::uint32_t generation;
    std::string data;
  };

  void Post(Kind kind, int slot, std::string data = {});
  // Hands what a peer that reads again had waiting to it.
  void TakeUnread(PeerEnd& end);

  SocketEvents& events_;
  std::uint16_t port_ = 0;
  bool listening_ = false;
  std::deque<PeerEnd> peers_{1};  // numbered from 1
  std::deque<int> waiting_;
  std::array<Slot, kSlots + 1> slots_{};
  std::uint32_t nextGeneration_ = 1;
  std::deque<Notice> notices_;
  bool settling_ = false;
  bool settleQueued_ = false;
};
