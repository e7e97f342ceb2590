#pragma once
// A registry core in the test process: a throw-away database, a console
// state, a recorded event log, a clock and a calendar that the test moves,
// and a listening socket on a free loopback port.
#include "common/Peer.h"
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Registry.h"
#include "storage/Database.h"

#include <QTemporaryDir>
#include <memory>
#include <vector>

class FakeClock : public TickClock {
 public:
  std::uint32_t now = 1000;
  std::uint32_t Ticks() override { return now; }
};

class FakeCalendar : public Calendar {
 public:
  QDate today{2026, 12, 8};
  QDate Today() override { return today; }
};

class RecordingLog : public LogSink {
 public:
  std::vector<std::string> lines;
  std::vector<std::string> diagnostics;  // as given, before escaping
  std::vector<std::string> warnings;
  void AddLogLine(const std::string& line) override { lines.push_back(line); }
  void Diagnostic(const std::string& line) override { diagnostics.push_back(line); }
  void Warning(const std::string& line) override { warnings.push_back(line); }
};

// The helpers wait with a time limit and leave the verdict to the test's own
// checks, which then say what is missing.
struct RegistryHarness {
  QTemporaryDir dir;
  Database db;
  ConsoleState console;
  RecordingLog log;
  FakeClock clock;
  FakeCalendar calendar;
  std::unique_ptr<Registry> registry;
  std::uint16_t port = 0;

  // Tests of the registry as the protocol describes it run with the flood
  // limits off (they connect from one address); tests of the limits pass them.
  explicit RegistryHarness(std::uint32_t startTick = 1000, FloodLimits limits = FloodLimits::Off()) {
    clock.now = startTick;
    db.Open(dir.path(), dir.path());
    registry = std::make_unique<Registry>(db, console, log, clock, calendar);
    registry->SetFloodLimits(limits);
    registry->StartAccessTimes();
    QString error;
    if (registry->Listen(0, &error)) port = registry->ListeningPort();
  }

  // Connects a peer and waits until the registry has taken it into a slot
  // (or refused it). A test in which the new connection takes the place of
  // another waits for that itself (waitForSlot false).
  std::unique_ptr<Peer> Connect(const QHostAddress& from = QHostAddress::LocalHost,
                                bool waitForSlot = true) {
    const int before = Accepted();
    auto peer = std::make_unique<Peer>(port, from);
    peer->WaitConnected();
    if (waitForSlot)
      (void)QTest::qWaitFor([&] { return Accepted() > before || peer->Closed(); }, 5000);
    return peer;
  }

  // A peer that has created the account (new accounts allowed) and is in
  // server mode.
  std::unique_ptr<Peer> NewServer(const std::string& user, const std::string& password = "secret") {
    console.SetAllowNewAccounts(true);
    auto peer = Connect();
    peer->SendPacket(Bytes({0}) + AccountPayload(user, password));
    (void)QTest::qWaitFor([&] { return registry->FindClientByUser(user) != 0; }, 5000);
    (void)QTest::qWaitFor([&] { return !peer->received.empty(); }, 5000);
    peer->received.clear();
    return peer;
  }

  std::unique_ptr<Peer> LoginServer(const std::string& user, const std::string& password) {
    auto peer = Connect();
    peer->SendPacket(Bytes({1}) + AccountPayload(user, password));
    (void)QTest::qWaitFor([&] { return !peer->received.empty(); }, 5000);
    peer->received.clear();
    return peer;
  }

  int SlotOf(const std::string& user) const { return registry->FindClientByUser(user); }

  // Slots in use, the overflow slot included.
  int Accepted() const {
    int n = 0;
    for (int slot = 1; slot <= kOverflowSlot; ++slot) n += registry->Client(slot).InUse;
    return n;
  }
};
