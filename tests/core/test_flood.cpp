// What one address may hold and do, on the clock the test moves: the cap on
// connections that have not logged in, room made in a full table, the
// connection rate with its cool-downs, the new-account limit; the overflow
// slot that only ever refuses; and writes the database refuses, which no
// reply, log line or record may report as stored.
#include "common/RegistryHarness.h"
#include "core/FloodGuard.h"

#include <QtTest>

namespace {

const std::string kServerFull = Bytes({0x00, 0x02, 0x00, 0x04});
const std::string kLoginRefused = Bytes({0x00, 0x01, 0x03});

QHostAddress From(int last, int third = 0) {
  return QHostAddress(QStringLiteral("127.0.%1.%2").arg(third).arg(last));
}

FloodLimits Limits(int clients, bool evict, int connects, int accounts) {
  FloodLimits l = FloodLimits::Off();
  l.MaxClientsPerIP = clients;
  l.EvictIdleClients = evict;
  l.MaxConnectsPerMinute = connects;
  l.MaxNewAccountsPerHour = accounts;
  return l;
}

// A peer the registry has ended: closed, having received exactly `bytes`.
bool EndedWith(Peer& peer, const std::string& bytes) {
  (void)QTest::qWaitFor([&] { return peer.Closed(); }, 5000);
  return peer.Closed() && peer.received == bytes;
}

int SlotsInUse(const RegistryHarness& h) {
  int n = 0;
  for (int slot = 1; slot <= kRegularSlots; ++slot) n += h.registry->Client(slot).InUse;
  return n;
}

}  // namespace

class TestFlood : public QObject {
  Q_OBJECT
 private slots:
  void waitingConnectionsCappedPerAddress();
  void fullTableMakesRoomFromTheMostSilent();
  void roomComesFromTheAddressHoldingMost();
  void fullTableOfServersStillRefuses();
  void connectionRateCoolsDownAndDoubles();
  void coolDownForgottenAfterAnHour();
  void forgettingKeepsAnExcessNotYetForgiven();
  void staleAddressesForgottenBeforeTheTickWraps();
  void manyAddressesStayBoundedAndCoolingOnesKept();
  void newAccountsPerHour();
  void newAccountCountLastsAnHour();
  void overflowSlotNeverServes_data();
  void overflowSlotNeverServes();
  void failedNewAccountReportsNothing();
  void failedServerWritesEndTheConnection();
  void failedBanDeleteLetsTheExpiredBanGo();
};

void TestFlood::waitingConnectionsCappedPerAddress() {
  RegistryHarness h(1000, Limits(3, true, 0, 0));
  std::vector<std::unique_ptr<Peer>> mine;
  for (int i = 0; i < 3; ++i) mine.push_back(h.Connect(From(2)));
  QCOMPARE(h.registry->ConnectionCount(), 3);
  auto over = h.Connect(From(2));
  QVERIFY(EndedWith(*over, kServerFull));
  QCOMPARE(h.registry->ConnectionCount(), 3);
  QCOMPARE(h.console.Caption(), std::string("The Velkarin Server Registry [3]"));
  QVERIFY(h.log.lines.empty());
  QVERIFY(!h.registry->Client(kOverflowSlot).InUse);
  // Another address has a share of its own.
  auto other = h.Connect(From(3));
  QCOMPARE(h.registry->ConnectionCount(), 4);
  // A connection that logs in no longer counts: a hoster may run many
  // servers behind one address.
  h.console.SetAllowNewAccounts(true);
  mine[0]->SendPacket(Bytes({0}) + AccountPayload("hoster1", "pw"));
  QTRY_VERIFY(h.SlotOf("hoster1") != 0);
  auto again = h.Connect(From(2));
  QCOMPARE(h.registry->ConnectionCount(), 5);
  for (auto& p : mine) QVERIFY(!p->Closed());
  QVERIFY(!again->Closed());
}

void TestFlood::fullTableMakesRoomFromTheMostSilent() {
  RegistryHarness h(1000, Limits(0, true, 0, 0));
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < kRegularSlots; ++i) peers.push_back(h.Connect(From(1 + i % 200, 1 + i / 200)));
  QCOMPARE(h.registry->ConnectionCount(), 255);
  // Every connection but the one in slot 7 speaks a second later; slot 7
  // has been silent longest.
  h.clock.now += 1000;
  for (int i = 0; i < kRegularSlots; ++i)
    if (i != 6) peers[std::size_t(i)]->Send(Bytes({0x00, 0x01, 0xFF}));
  QTRY_VERIFY(h.registry->Client(1).LastTick == h.clock.now);
  QTRY_VERIFY(h.registry->Client(255).LastTick == h.clock.now);
  auto newcomer = h.Connect(From(250, 9), false);
  QTRY_VERIFY(peers[6]->Closed());
  QCOMPARE(h.registry->Client(7).IP, std::string("127.0.9.250"));
  QCOMPARE(h.registry->ConnectionCount(), 255);
  QVERIFY(newcomer->received.empty());
  QVERIFY(!newcomer->Closed());
  for (int i = 0; i < kRegularSlots; ++i)
    if (i != 6) QVERIFY(!peers[std::size_t(i)]->Closed());
  QVERIFY(h.log.lines.empty());
}

void TestFlood::roomComesFromTheAddressHoldingMost() {
  RegistryHarness h(1000, Limits(0, true, 0, 0));
  // Slot 1: a newcomer from its own address that has not spoken yet; the
  // other 254 belong to one address that keeps them all talking.
  auto lone = h.Connect(From(200, 7));
  std::vector<std::unique_ptr<Peer>> crowd;
  for (int i = 1; i < kRegularSlots; ++i) crowd.push_back(h.Connect(From(1, 7)));
  h.clock.now += 1000;
  for (std::size_t i = 0; i < crowd.size(); ++i)
    if (i != 9) crowd[i]->Send(Bytes({0x00, 0x01, 0xFF}));
  QTRY_VERIFY(h.registry->Client(255).LastTick == h.clock.now);
  auto newcomer = h.Connect(From(201, 7), false);
  // The crowd's most silent made room, not the lone newcomer.
  QTRY_VERIFY(crowd[9]->Closed());
  QVERIFY(!lone->Closed());
  QCOMPARE(h.registry->Client(11).IP, std::string("127.0.7.201"));
}

void TestFlood::fullTableOfServersStillRefuses() {
  RegistryHarness h(1000, Limits(0, true, 0, 0));
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < kRegularSlots; ++i) peers.push_back(h.Connect(From(1 + i % 200, 1 + i / 200)));
  // The one in slot 1 is a logged-in game server, silent longest of all.
  h.registry->MutableClient(1).Mode = kModeServer;
  h.registry->MutableClient(1).User = "veteran";
  h.clock.now += 5000;
  for (int i = 1; i < kRegularSlots; ++i) peers[std::size_t(i)]->Send(Bytes({0x00, 0x01, 0xFF}));
  QTRY_VERIFY(h.registry->Client(255).LastTick == h.clock.now);
  auto newcomer = h.Connect(From(77, 9), false);
  QTRY_VERIFY(peers[1]->Closed());
  QVERIFY(!peers[0]->Closed());
  QVERIFY(h.registry->Client(1).InUse);
  QCOMPARE(h.registry->Client(2).IP, std::string("127.0.9.77"));
  // With every slot a logged-in server, a newcomer gets the table-full
  // refusal as it always did.
  for (int slot = 1; slot <= kRegularSlots; ++slot) {
    h.registry->MutableClient(slot).Mode = kModeServer;
    h.registry->MutableClient(slot).User = "s" + std::to_string(slot);
  }
  Peer refused(h.port, From(78, 9));
  QTRY_COMPARE(refused.received, kServerFull);
  QTRY_VERIFY(refused.Closed());
  QCOMPARE(SlotsInUse(h), 255);
}

void TestFlood::connectionRateCoolsDownAndDoubles() {
  RegistryHarness h(1000, Limits(0, false, 3, 0));
  auto burst = [&](int n) {
    for (int i = 0; i < n; ++i) {
      auto p = h.Connect(From(4));
      h.registry->DisconnectAll();
    }
  };
  burst(3);
  QVERIFY(h.log.lines.empty());
  // Connections spread over more than a minute never reach the limit.
  h.clock.now += 60000;
  burst(3);
  QVERIFY(h.log.lines.empty());
  const std::string status = h.console.Status();
  auto fourth = h.Connect(From(4));
  QVERIFY(EndedWith(*fourth, {}));
  QCOMPARE(h.log.lines,
           std::vector<std::string>{"Connections from 127.0.0.4 refused for 60 seconds: too many connections."});
  QCOMPARE(h.registry->ConnectionCount(), 0);
  QCOMPARE(h.console.Status(), status);  // a refused connection is not an access
  // During the cool-down every connection is refused, without a line each;
  // other addresses are served.
  h.clock.now += 59999;
  auto during = h.Connect(From(4));
  QVERIFY(EndedWith(*during, {}));
  QCOMPARE(h.log.lines.size(), std::size_t(1));
  auto other = h.Connect(From(5));
  QVERIFY(!other->Closed());
  QCOMPARE(h.registry->ConnectionCount(), 1);
  h.registry->DisconnectAll();
  // After it, the address starts afresh; the next excess cools twice as
  // long, and so on up to an hour.
  h.clock.now += 1;
  std::vector<std::string> lengths;
  for (int round = 0; round < 8; ++round) {
    burst(3);
    auto excess = h.Connect(From(4));
    QVERIFY(EndedWith(*excess, {}));
    lengths.push_back(h.log.lines.back());
    h.clock.now += 3600000;  // the longest cool-down is over, but not an hour after it
  }
  auto line = [](int seconds) {
    return "Connections from 127.0.0.4 refused for " + std::to_string(seconds) + " seconds: too many connections.";
  };
  QCOMPARE(lengths, (std::vector<std::string>{line(120), line(240), line(480), line(960), line(1920),
                                               line(3600), line(3600), line(3600)}));
}

void TestFlood::coolDownForgottenAfterAnHour() {
  RegistryHarness h(0xFFFFFFFFu - 30000, Limits(0, false, 1, 0));  // across the tick's wrap
  auto first = h.Connect(From(6));
  h.registry->DisconnectAll();
  auto excess = h.Connect(From(6));
  QVERIFY(EndedWith(*excess, {}));
  h.clock.now += 60000;
  auto ok = h.Connect(From(6));
  h.registry->DisconnectAll();
  auto again = h.Connect(From(6));
  QVERIFY(EndedWith(*again, {}));
  QCOMPARE(h.log.lines.back(), std::string("Connections from 127.0.0.6 refused for 120 seconds: too many connections."));
  // An hour without excess after the cool-down ends: back to one minute.
  h.clock.now += 120000 + 3600000;
  auto fresh = h.Connect(From(6));
  QVERIFY(!fresh->Closed());
  h.registry->DisconnectAll();
  auto late = h.Connect(From(6));
  QVERIFY(EndedWith(*late, {}));
  QCOMPARE(h.log.lines.back(), std::string("Connections from 127.0.0.6 refused for 60 seconds: too many connections."));
}

// The once-a-minute forgetting lets an address go only once its excess is
// forgiven: one that keeps coming back within the hour after its cool-down
// cools twice as long the next time, however many scans ran in between.
void TestFlood::forgettingKeepsAnExcessNotYetForgiven() {
  FakeClock clock;
  RecordingLog log;
  FloodGuard guard(clock, log);
  guard.SetLimits(Limits(0, false, 1, 0));
  const std::uint32_t address = 0x0A000002;
  QVERIFY(guard.AdmitConnection(address, "10.0.0.2"));
  QVERIFY(!guard.AdmitConnection(address, "10.0.0.2"));
  QCOMPARE(log.lines.back(), std::string("Connections from 10.0.0.2 refused for 60 seconds: too many connections."));
  // Cool-down and connection window long over, still within the hour.
  for (int minute = 0; minute < 30; ++minute) {
    clock.now += 60000;
    guard.ForgetStale();
  }
  QCOMPARE(guard.RememberedAddresses(), std::size_t(1));
  QVERIFY(guard.AdmitConnection(address, "10.0.0.2"));
  QVERIFY(!guard.AdmitConnection(address, "10.0.0.2"));
  QCOMPARE(log.lines.back(), std::string("Connections from 10.0.0.2 refused for 120 seconds: too many connections."));
  // Forgiven an hour after that cool-down ends: forgotten, back to a minute.
  for (int minute = 0; minute < 62; ++minute) {
    clock.now += 60000;
    guard.ForgetStale();
  }
  QCOMPARE(guard.RememberedAddresses(), std::size_t(0));
  QVERIFY(guard.AdmitConnection(address, "10.0.0.2"));
  QVERIFY(!guard.AdmitConnection(address, "10.0.0.2"));
  QCOMPARE(log.lines.back(), std::string("Connections from 10.0.0.2 refused for 60 seconds: too many connections."));
}

// What no longer counts is let go by the client scan, so that nothing
// remembered is older than the tick's wrap: a cool-down of 49.7 days ago
// must not seem to have just begun.
void TestFlood::staleAddressesForgottenBeforeTheTickWraps() {
  RegistryHarness h(1000, Limits(0, false, 1, 1));
  h.console.SetAllowNewAccounts(true);
  auto first = h.Connect(From(7));
  first->SendPacket(Bytes({0}) + AccountPayload("early1", "pw"));
  QTRY_VERIFY(h.SlotOf("early1") != 0);
  h.registry->DisconnectAll();
  auto excess = h.Connect(From(7));
  QVERIFY(EndedWith(*excess, {}));
  QCOMPARE(h.registry->Flood().RememberedAddresses(), std::size_t(2));
  h.clock.now += 2 * 3600000;
  h.registry->OnClientTimer();
  QCOMPARE(h.registry->Flood().RememberedAddresses(), std::size_t(0));
  // Just past the wrap of the moment of that cool-down and that account.
  h.clock.now = 1000 + 10000;
  auto later = h.Connect(From(7));
  QVERIFY(!later->Closed());
  later->SendPacket(Bytes({0}) + AccountPayload("later1", "pw"));
  QTRY_VERIFY(h.SlotOf("later1") != 0);
}

// Far more addresses than the tables hold, each within its limits: what is
// remembered stays bounded, and an address that is cooling down is the last
// to be forgotten, so a crowd cannot buy an attacker a fresh start.
void TestFlood::manyAddressesStayBoundedAndCoolingOnesKept() {
  FakeClock clock;
  RecordingLog log;
  FloodGuard guard(clock, log);
  guard.SetLimits(Limits(0, false, 2, 1));
  const std::uint32_t attacker = 0x0A000001;
  for (int i = 0; i < 3; ++i) guard.AdmitConnection(attacker, "10.0.0.1");
  QCOMPARE(log.lines.size(), std::size_t(1));
  std::size_t most = 0;
  for (std::uint32_t a = 0x0B000000; a < 0x0B000000 + 5 * FloodGuard::kMaxAddresses; ++a) {
    clock.now += 1;
    QVERIFY(guard.AdmitConnection(a, "crowd"));
    QVERIFY(guard.MayCreateAccount(a));
    guard.AccountCreated(a);
    most = std::max(most, guard.RememberedAddresses());
  }
  QVERIFY(most <= 2 * FloodGuard::kMaxAddresses);
  QVERIFY(!guard.AdmitConnection(attacker, "10.0.0.1"));  // still cooling down
  // Those seen least recently went first: the newest are still counted.
  const std::uint32_t newest = 0x0B000000 + 5 * FloodGuard::kMaxAddresses - 1;
  QVERIFY(!guard.MayCreateAccount(newest));
}

void TestFlood::newAccountsPerHour() {
  RegistryHarness h(1000, Limits(0, false, 0, 2));
  h.console.SetAllowNewAccounts(true);
  auto create = [&](const std::string& user, int from) {
    auto p = h.Connect(From(from));
    p->SendPacket(Bytes({0}) + AccountPayload(user, "pw"));
    (void)QTest::qWaitFor([&] { return !p->received.empty(); }, 5000);
    // Gone before the next one comes, so each waits only for its own slot.
    p->socket.abort();
    (void)QTest::qWaitFor([&] { return h.Accepted() == 0; }, 5000);
    return p;
  };
  QVERIFY(create("first1", 8)->received.size() > 3);
  QVERIFY(create("second2", 8)->received.size() > 3);
  auto third = create("third3", 8);
  QVERIFY(EndedWith(*third, kLoginRefused));
  QVERIFY(!h.db.accounts().Seek("third3"));
  QVERIFY(create("elsewhere", 9)->received.size() > 3);  // another address
  h.clock.now += 3600000;
  QVERIFY(create("fourth4", 8)->received.size() > 3);
  const auto created = std::count_if(h.log.lines.begin(), h.log.lines.end(),
                                     [](const std::string& l) { return l.rfind("New account ", 0) == 0; });
  QCOMPARE(created, 4);
}

void TestFlood::overflowSlotNeverServes_data() {
  QTest::addColumn<bool>("banned");
  QTest::newRow("unbanned") << false;
  QTest::newRow("banned") << true;
}

void TestFlood::overflowSlotNeverServes() {
  QFETCH(bool, banned);
  RegistryHarness h;  // every limit off: the table fills
  h.console.SetAllowNewAccounts(true);
  if (banned) {
    BanRecord ban;
    ban.Number = 1;
    ban.Name = "sneaky";
    ban.IP = "127.0.3.3";
    h.db.bans().Add(ban);
  }
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < kRegularSlots; ++i) peers.push_back(h.Connect());
  // The newcomer speaks at once, before its refusal is out.
  Peer sneaky(h.port, From(3, 3));
  sneaky.WaitConnected();
  sneaky.SendPacket(Bytes({0}) + AccountPayload("sneaky", "pw") + Bytes({0, 2, 3, 1}));
  QVERIFY(EndedWith(sneaky, kServerFull));
  QTRY_VERIFY(!h.registry->Client(kOverflowSlot).InUse);
  QVERIFY(!h.db.accounts().Seek("sneaky"));
  QVERIFY(h.log.lines.empty());
  QVERIFY(h.console.ServerLines().empty());
  QCOMPARE(h.registry->ConnectionCount(), 255);
}

void TestFlood::failedNewAccountReportsNothing() {
  RegistryHarness h;
  h.console.SetAllowNewAccounts(true);
  h.db.FailCommits(true);
  auto peer = h.Connect();
  peer->SendPacket(Bytes({0}) + AccountPayload("acct00032", "pw"));
  QVERIFY(EndedWith(*peer, {}));
  QVERIFY(h.log.lines.empty());
  QVERIFY(h.console.ServerLines().empty());
  QCOMPARE(h.registry->FindClientByUser("acct00032"), 0);
  h.db.FailCommits(false);
  QVERIFY(!h.db.accounts().Seek("acct00032"));
  // Once the disk takes writes again, the same account can be made.
  auto retry = h.NewServer("acct00032");
  QVERIFY(h.db.accounts().Seek("acct00032"));
}

void TestFlood::failedServerWritesEndTheConnection() {
  RegistryHarness h;
  auto alpha = h.NewServer("alpha", "first");
  alpha->SendPacket(Bytes({5}) + "Alpha" + Bytes({0}) + "Fun");
  QTRY_COMPARE(h.db.accounts().Seek("alpha")->Name, std::optional<std::string>("Alpha"));
  auto player = h.Connect(From(2));
  player->SendPacket(Bytes({3, 1}));
  QTRY_VERIFY(player->received.find("Unofficial Server: Fun") != std::string::npos);

  h.db.FailCommits(true);
  alpha->SendPacket(Bytes({5}) + "Never" + Bytes({0}) + "Stored");
  QTRY_VERIFY(alpha->Closed());
  QCOMPARE(h.registry->FindClientByUser("alpha"), 0);
  // The list does not show what was not stored: the server is gone from it.
  player->received.clear();
  player->SendPacket(Bytes({3, 1}));
  QTRY_VERIFY(player->Closed());  // no server online
  QVERIFY(player->received.empty());
  h.db.FailCommits(false);
  QCOMPARE(h.db.accounts().Seek("alpha")->Description, std::optional<std::string>("Fun"));

  auto again = h.LoginServer("alpha", "first");
  h.db.FailCommits(true);
  again->SendPacket(Bytes({6}) + "newpass");
  QTRY_VERIFY(again->Closed());
  h.db.FailCommits(false);
  QCOMPARE(h.db.accounts().Seek("alpha")->Password, std::optional<std::string>("FIRST"));
  QCOMPARE(h.log.lines.back(), std::string("alpha has disconnected from 127.0.0.1"));
}

void TestFlood::failedBanDeleteLetsTheExpiredBanGo() {
  RegistryHarness h;
  BanRecord ban;
  ban.Number = 1;
  ban.Name = "old";
  ban.IP = "127.0.0.5";
  ban.UnbanDate = QDateTime(h.calendar.today.addDays(-1), QTime(0, 0));
  h.db.bans().Add(ban);
  h.db.FailCommits(true);
  // The ban has expired, so the connection goes on; the row stays, since
  // its delete was not stored, and goes at the next connection.
  auto peer = h.Connect(From(5));
  QVERIFY(!peer->Closed());
  QCOMPARE(h.registry->ConnectionCount(), 1);
  QVERIFY(h.db.bans().FindByName("old"));
  h.db.FailCommits(false);
  auto next = h.Connect(From(5));
  QVERIFY(!h.db.bans().FindByName("old"));
}

// The accounts an address created count for a whole hour, through every
// once-a-minute forgetting, and no longer after it.
void TestFlood::newAccountCountLastsAnHour() {
  FakeClock clock;
  RecordingLog log;
  FloodGuard guard(clock, log);
  guard.SetLimits(Limits(0, false, 0, 2));
  const std::uint32_t address = 0x0A000003;
  for (int i = 0; i < 2; ++i) {
    QVERIFY(guard.MayCreateAccount(address));
    guard.AccountCreated(address);
  }
  QVERIFY(!guard.MayCreateAccount(address));
  for (int minute = 1; minute < 60; ++minute) {
    clock.now += 60000;
    guard.ForgetStale();
    QVERIFY2(!guard.MayCreateAccount(address), qPrintable(QString("after %1 minutes").arg(minute)));
  }
  clock.now += 60000;
  guard.ForgetStale();
  QVERIFY(guard.MayCreateAccount(address));
}

QTEST_GUILESS_MAIN(TestFlood)
#include "test_flood.moc"
