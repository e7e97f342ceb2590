#pragma once
// A registry core over the in-memory transport: the same throw-away
// database, console state, recorded log, clock and calendar as
// RegistryHarness, but its peers are played by the test inside the process.
// The database is the file, or PostgreSQL (see common/TestBackend.h).
// Every call of a peer returns once the registry has handled it, replies
// and the closes they cause included, so tests check at once, without
// waiting.
#include "common/RegistryHarness.h"
#include "common/TestBackend.h"
#include "core/MemoryTransport.h"

#include <QHostAddress>
#include <memory>
#include <string>
#include <string_view>

class MemoryPeer {
 public:
  MemoryPeer(MemoryTransport& transport, int id)
      : received(transport.Peer(id).received), transport_(transport), id_(id) {}
  // Like a socket destroyed: the connection ends from the peer's side. (The
  // harness, and with it the transport, must outlive its peers.)
  ~MemoryPeer() { transport_.CloseFromPeer(id_); }
  MemoryPeer(const MemoryPeer&) = delete;
  MemoryPeer& operator=(const MemoryPeer&) = delete;

  void Send(std::string_view bytes) { transport_.Write(id_, bytes); }
  // Sends a body with its length prefix.
  void SendPacket(std::string_view body) {
    std::string packet{char(body.size() >> 8), char(body.size() & 0xFF)};
    packet.append(body);
    Send(packet);
  }
  // The peer closes its end.
  void Close() { transport_.CloseFromPeer(id_); }
  // A peer that does not read leaves the registry's replies queued.
  void SetReading(bool reading) { transport_.SetReading(id_, reading); }
  bool Closed() const {
    const auto& end = transport_.Peer(id_);
    return end.closedByRegistry || end.closedByPeer;
  }
  // Takes the first n received bytes.
  std::string Take(std::size_t n) {
    std::string head = received.substr(0, n);
    received.erase(0, n);
    return head;
  }
  int Slot() const { return transport_.Peer(id_).slot; }

  std::string& received;

 private:
  MemoryTransport& transport_;
  int id_;
};

struct MemoryHarness {
  QTemporaryDir dir;
  Database db;
  ConsoleState console;
  RecordingLog log;
  FakeClock clock;
  FakeCalendar calendar;
  std::string conninfo;  // the shared back end's database, empty for the file
  MemoryTransport* transport = nullptr;  // owned by the registry
  std::unique_ptr<Registry> registry;

  // As RegistryHarness: the flood limits off unless a test passes them.
  explicit MemoryHarness(std::uint32_t startTick = 1000, FloodLimits limits = FloodLimits::Off()) {
    clock.now = startTick;
    conninfo = testbackend::Open(db, dir.path());
    registry = std::make_unique<Registry>(db, console, log, clock, calendar, [this](SocketEvents& events) {
      auto made = std::make_unique<MemoryTransport>(events);
      transport = made.get();
      return made;
    });
    registry->SetFloodLimits(limits);
    registry->StartAccessTimes();
    QString error;
    registry->Listen(kRegistryPort, &error);
  }

  // The registry has taken the peer into a slot, or refused it, when this
  // returns (waitForSlot is there for the tests written for TCP; there is
  // nothing to wait for).
  std::unique_ptr<MemoryPeer> Connect(const QHostAddress& from = QHostAddress::LocalHost,
                                      bool waitForSlot = true) {
    (void)waitForSlot;
    return std::make_unique<MemoryPeer>(*transport, transport->Connect(from.toIPv4Address()));
  }
  // A peer that reads nothing of what it is sent until SetReading(true).
  std::unique_ptr<MemoryPeer> ConnectNotReading(const QHostAddress& from = QHostAddress::LocalHost) {
    return std::make_unique<MemoryPeer>(*transport, transport->Connect(from.toIPv4Address(), false));
  }

  // A peer that has created the account (new accounts allowed) and is in
  // server mode.
  std::unique_ptr<MemoryPeer> NewServer(const std::string& user, const std::string& password = "secret") {
    console.SetAllowNewAccounts(true);
    auto peer = Connect();
    peer->SendPacket(Bytes({0}) + AccountPayload(user, password));
    peer->received.clear();
    return peer;
  }

  std::unique_ptr<MemoryPeer> LoginServer(const std::string& user, const std::string& password) {
    auto peer = Connect();
    peer->SendPacket(Bytes({1}) + AccountPayload(user, password));
    peer->received.clear();
    return peer;
  }

  // What the registry caused outside a peer's call (a client scan, an
  // operator's command) reaches the registry's handlers now.
  void Settle() { transport->Settle(); }

  int SlotOf(const std::string& user) const { return registry->FindClientByUser(user); }

  // Slots in use, the overflow slot included.
  int Accepted() const {
    int n = 0;
    for (int slot = 1; slot <= kOverflowSlot; ++slot) n += registry->Client(slot).InUse;
    return n;
  }
};
