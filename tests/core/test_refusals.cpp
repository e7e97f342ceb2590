// What a hostile peer gets out of the login and the list, on the clock the
// test moves: a refused login ends the conversation, failed logins are
// counted per address and per account, logged-in servers are capped per
// address and leave room for players, and list requests are rationed per
// address. The operator's firewall lines are checked as they are given. Over
// the in-memory transport.
#include "common/MemoryHarness.h"

#include <QtTest>

namespace {

const std::string kServerFull = Bytes({0x00, 0x02, 0x00, 0x04});
const std::string kLoginRefused = Bytes({0x00, 0x01, 0x03});

QHostAddress From(int last, int third = 0) {
  return QHostAddress(QStringLiteral("127.0.%1.%2").arg(third).arg(last));
}

std::string Login(const std::string& user, const std::string& password) {
  const std::string body = Bytes({1}) + AccountPayload(user, password);
  return std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body;
}

bool EndedWith(MemoryPeer& peer, const std::string& bytes) {
  (void)QTest::qWaitFor([&] { return peer.Closed(); }, 5000);
  return peer.Closed() && peer.received == bytes;
}

bool LoggedIn(MemoryPeer& peer) {
  (void)QTest::qWaitFor([&] { return peer.received.size() >= 3 || peer.Closed(); }, 5000);
  return peer.received.size() >= 3 && peer.received[2] == '\0' && !peer.Closed();
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& part) {
  return std::size_t(std::count_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

struct Hostile : MemoryHarness {
  explicit Hostile(FloodLimits limits) : MemoryHarness(1000, limits) {}
  // An account made over the wire from the address, then let go.
  void MakeAccount(const std::string& user, const std::string& password, const QHostAddress& from) {
    console.SetAllowNewAccounts(true);
    auto p = Connect(from);
    p->SendPacket(Bytes({0}) + AccountPayload(user, password));
    (void)QTest::qWaitFor([&] { return SlotOf(user) != 0; }, 5000);
    p->Close();
    (void)QTest::qWaitFor([&] { return SlotOf(user) == 0; }, 5000);
    console.SetAllowNewAccounts(false);
  }
  std::unique_ptr<MemoryPeer> TryLogin(const std::string& user, const std::string& password, const QHostAddress& from) {
    auto p = Connect(from);
    p->Send(Login(user, password));
    (void)QTest::qWaitFor([&] { return !p->received.empty() || p->Closed(); }, 5000);
    return p;
  }
};

FloodLimits Only(int FloodLimits::*limit, int value) {
  FloodLimits l = FloodLimits::Off();
  l.*limit = value;
  return l;
}

}  // namespace

class TestRefusals : public QObject {
  Q_OBJECT
 private slots:
  void pipelinedGuessesStopAtTheFirstRefusal();
  void refusedNameHoldsNothing();
  void failedLoginsRefuseTheAddressForTheHour();
  void guessedAccountStaysOpenToItsOwnAddress();
  void loggedInServersCappedPerAddress();
  void reservedSlotsKeepRoomForPlayers();
  void accountsPerHourFromAllAddresses();
  void listRequestsRationedPerAddress();
  void evictionSparesAPlayerBetweenTwoParts();
  void floodOfYoungConnectionsStillMakesRoom();
};

void TestRefusals::pipelinedGuessesStopAtTheFirstRefusal() {
  Hostile h(FloodLimits{});  // the defaults
  h.MakeAccount("victim", "right", From(9));
  std::string guesses;
  for (int i = 0; i < 50; ++i) guesses += Login("victim", "wrong" + std::to_string(i));
  guesses += Login("victim", "right");
  auto attacker = h.Connect(From(2));
  attacker->Send(guesses);
  QVERIFY(EndedWith(*attacker, kLoginRefused));
  QCOMPARE(h.SlotOf("victim"), 0);
  QCOMPARE(h.log.diagnostics, std::vector<std::string>{"Login refused for victim from 127.0.0.2: wrong password"});
  // A name as long as a packet allows is cut on the operator's line.
  QVERIFY(EndedWith(*h.TryLogin(std::string(400, 'n'), "x", From(3)), kLoginRefused));
  QCOMPARE(h.log.diagnostics.back(), "Login refused for " + std::string(60, 'n') + "... from 127.0.0.3: no such account");
}

// The name a refused login sent stops counting at once, so the account's
// real server is never told it is already online; and a refusal that has
// not gone out yet still ends the connection within the grace time.
void TestRefusals::refusedNameHoldsNothing() {
  Hostile h(FloodLimits::Off());
  h.MakeAccount("victim", "right", From(9));
  auto attacker = h.TryLogin("VICTIM", "wrong", From(2));
  QCOMPARE(attacker->received, kLoginRefused);
  auto real = h.TryLogin("victim", "right", From(9));
  QVERIFY(LoggedIn(*real));
  QVERIFY(EndedWith(*attacker, kLoginRefused));
  real->Close();
  QCOMPARE(h.SlotOf("victim"), 0);
  // Before its refusal has gone out: the slot is still in use, holds no
  // name, and the real server, arriving in the same pass, gets in.
  auto slow = h.Connect(From(2));
  auto again = h.Connect(From(9));
  const auto slotFrom = [&](const std::string& ip) {
    for (int slot = 1; slot <= kRegularSlots; ++slot)
      if (h.registry->Client(slot).InUse && h.registry->Client(slot).IP == ip) return slot;
    return 0;
  };
  const int slowSlot = slotFrom("127.0.0.2"), againSlot = slotFrom("127.0.0.9");
  QVERIFY(slowSlot && againSlot);
  h.registry->ProcessData(slowSlot, Login("victim", "wrong"));
  QVERIFY(h.registry->Client(slowSlot).InUse);
  QVERIFY(h.registry->Client(slowSlot).User.empty());
  h.registry->ProcessData(againSlot, Login("victim", "right"));
  QCOMPARE(h.SlotOf("victim"), againSlot);
  // A refused connection past its grace time is ended by the scan.
  auto another = h.Connect(From(3));
  const int slot = slotFrom("127.0.0.3");
  QVERIFY(slot);
  ClientRecord& r = h.registry->MutableClient(slot);
  r.Refused = true;
  r.RefusedTick = h.clock.now;
  r.CloseAfterSend = true;
  h.clock.now += kRefusalGraceMs - 1;
  h.registry->OnClientTimer();
  QVERIFY(h.registry->Client(slot).InUse);
  // Nothing it sends meanwhile is handled.
  another->Send(Login("victim", "right"));
  QVERIFY(another->received.empty());
  h.clock.now += 1;
  h.registry->OnClientTimer();
  QVERIFY(!h.registry->Client(slot).InUse);
}

void TestRefusals::failedLoginsRefuseTheAddressForTheHour() {
  Hostile h(Only(&FloodLimits::MaxFailedLoginsPerHour, 3));
  h.MakeAccount("keep_1", "right", From(9));
  QVERIFY(EndedWith(*h.TryLogin("nobody", "x", From(5)), kLoginRefused));
  QVERIFY(EndedWith(*h.TryLogin("keep_1", "wrong", From(5)), kLoginRefused));
  h.clock.now += 60000;
  QVERIFY(EndedWith(*h.TryLogin("keep_1", "wrong\r\nLogin refused for x from 6.6.6.6", From(5)), kLoginRefused));
  QCOMPARE(h.log.diagnostics.size(), std::size_t(3));
  QCOMPARE(h.log.diagnostics[0], std::string("Login refused for nobody from 127.0.0.5: no such account"));
  // The fourth goes beyond the limit: no line of its own, one that says the
  // address is refused for what is left of its hour.
  QVERIFY(EndedWith(*h.TryLogin("keep_1", "wrong", From(5)), kLoginRefused));
  QCOMPARE(h.log.diagnostics.size(), std::size_t(4));
  const std::string refused = "Connections from 127.0.0.5 refused for 3540 seconds: too many failed logins.";
  QCOMPARE(h.log.diagnostics.back(), refused);
  QCOMPARE(Count(h.log.lines, refused), std::size_t(1));
  // Its connections are now closed at once with nothing sent, even with the
  // right password; another address is not touched.
  auto shut = h.Connect(From(5), false);
  QVERIFY(EndedWith(*shut, {}));
  QVERIFY(LoggedIn(*h.TryLogin("keep_1", "right", From(6))));
  h.registry->DisconnectAll();
  h.clock.now += 3540000;
  QVERIFY(LoggedIn(*h.TryLogin("keep_1", "right", From(5))));
  QCOMPARE(h.log.diagnostics.size(), std::size_t(4));
}

void TestRefusals::guessedAccountStaysOpenToItsOwnAddress() {
  Hostile h(Only(&FloodLimits::MaxFailedLoginsPerHour, 100));
  h.MakeAccount("realm", "right", From(9));  // 127.0.0.9 made it
  h.MakeAccount("other", "right", From(9));
  for (int i = 1; i <= 9; ++i) QCOMPARE(h.TryLogin("realm", "guess", From(i, 1))->received, kLoginRefused);
  // Nine failures: a new address may still log in with the password.
  auto early = h.TryLogin("realm", "right", From(1, 2));
  QVERIFY(LoggedIn(*early));
  early->Close();
  QCOMPARE(h.SlotOf("realm"), 0);
  QCOMPARE(h.TryLogin("REALM", "guess", From(10, 1))->received, kLoginRefused);
  // Ten: only addresses that have logged in to it get in.
  QCOMPARE(h.TryLogin("realm", "right", From(2, 2))->received, kLoginRefused);
  QCOMPARE(h.log.diagnostics.back(), std::string("Login refused for realm from 127.0.2.2: account locked"));
  QVERIFY(LoggedIn(*h.TryLogin("other", "right", From(2, 2))));  // other accounts are not touched
  auto own = h.TryLogin("realm", "right", From(9));
  QVERIFY(LoggedIn(*own));
  own->Close();
  QCOMPARE(h.SlotOf("realm"), 0);
  QVERIFY(LoggedIn(*h.TryLogin("realm", "right", From(1, 2))));  // logged in before the lock
  h.registry->DisconnectAll();
  h.clock.now += 3600000;
  QVERIFY(LoggedIn(*h.TryLogin("realm", "right", From(3, 2))));
}

void TestRefusals::loggedInServersCappedPerAddress() {
  Hostile h(Only(&FloodLimits::MaxServersPerIP, 2));
  h.MakeAccount("third", "pw", From(9));
  h.console.SetAllowNewAccounts(true);
  std::vector<std::unique_ptr<MemoryPeer>> servers;
  for (const char* user : {"first", "second"}) {
    servers.push_back(h.Connect(From(3)));
    servers.back()->SendPacket(Bytes({0}) + AccountPayload(user, "pw"));
    QVERIFY(LoggedIn(*servers.back()));
  }
  auto over = h.Connect(From(3));
  over->SendPacket(Bytes({0}) + AccountPayload("fourth", "pw"));
  QVERIFY(EndedWith(*over, kServerFull));
  QVERIFY(!h.db.accounts().Seek("fourth"));  // no account it could not use
  QVERIFY(EndedWith(*h.TryLogin("third", "pw", From(3)), kServerFull));
  QVERIFY(LoggedIn(*h.TryLogin("third", "pw", From(4))));
  // A connection that has not logged in does not count.
  auto player = h.Connect(From(3));
  player->SendPacket(Bytes({3, 1}));
  QVERIFY(player->received.size() > 4);
}

void TestRefusals::reservedSlotsKeepRoomForPlayers() {
  FloodLimits limits = FloodLimits::Off();
  limits.ReservedPlayerSlots = kRegularSlots - 3;  // room for three servers
  Hostile h(limits);
  h.MakeAccount("four", "pw", From(9));
  std::vector<std::unique_ptr<MemoryPeer>> servers;
  for (const char* user : {"one", "two", "three"}) servers.push_back(h.NewServer(user));
  QVERIFY(EndedWith(*h.TryLogin("four", "pw", From(4)), kServerFull));
  h.console.SetAllowNewAccounts(true);
  auto fresh = h.Connect(From(5));
  fresh->SendPacket(Bytes({0}) + AccountPayload("five", "pw"));
  QVERIFY(EndedWith(*fresh, kServerFull));
  auto player = h.Connect(From(6));
  player->SendPacket(Bytes({3, 1}));
  QVERIFY(player->received.size() > 4);
  // One leaves: its slot is a server's again.
  servers[0]->Close();
  QCOMPARE(h.SlotOf("one"), 0);
  QVERIFY(LoggedIn(*h.TryLogin("four", "pw", From(4))));
}

void TestRefusals::accountsPerHourFromAllAddresses() {
  Hostile h(Only(&FloodLimits::MaxNewAccountsPerHourTotal, 2));
  h.MakeAccount("made1", "pw", From(1));
  h.MakeAccount("made2", "pw", From(2));
  h.console.SetAllowNewAccounts(true);
  auto third = h.Connect(From(3));
  third->SendPacket(Bytes({0}) + AccountPayload("made3", "pw"));
  QVERIFY(EndedWith(*third, kLoginRefused));
  QVERIFY(!h.db.accounts().Seek("made3"));
  h.clock.now += 3600000;
  h.MakeAccount("made3", "pw", From(3));
  QVERIFY(h.db.accounts().Seek("made3"));
}

void TestRefusals::listRequestsRationedPerAddress() {
  Hostile h(Only(&FloodLimits::MaxListRequestsPerMinute, 3));
  auto server = h.NewServer("listed");
  std::string four;
  for (int i = 0; i < 4; ++i) four += Bytes({0x00, 0x02, 0x03, 0x01});
  auto player = h.Connect(From(4));
  player->Send(four);
  QVERIFY(QTest::qWaitFor([&] { return player->Closed(); }, 5000));
  // Three answered, each ending in ListEnd; the fourth not.
  const std::string listEnd = Bytes({0x00, 0x02, 0xFF, 0x04});
  std::size_t ends = 0;
  for (std::size_t at = 0; (at = player->received.find(listEnd, at)) != std::string::npos; at += 4) ++ends;
  QCOMPARE(ends, std::size_t(3));
  QCOMPARE(Count(h.log.lines, "Server information sent to 127.0.0.4"), std::size_t(3));
  QCOMPARE(h.log.lines.back(), std::string("Connections from 127.0.0.4 refused for 60 seconds: too many list requests."));
  QVERIFY(EndedWith(*h.Connect(From(4), false), {}));
  auto elsewhere = h.Connect(From(5));
  elsewhere->Send(Bytes({0x00, 0x02, 0x03, 0x01}));
  QVERIFY(elsewhere->received.size() > 4);
  h.clock.now += 60000;
  auto again = h.Connect(From(4));
  again->Send(Bytes({0x00, 0x02, 0x03, 0x01}));
  QVERIFY(again->received.size() > 4);
}

// A full table makes room, but never from a player that was just told there
// is more of the list; the keep-alive-only connection goes before those
// that asked for something.
void TestRefusals::evictionSparesAPlayerBetweenTwoParts() {
  FloodLimits limits = FloodLimits::Off();
  limits.EvictIdleClients = true;
  Hostile h(limits);
  std::vector<std::unique_ptr<MemoryPeer>> servers;
  for (int i = 0; i < 12; ++i) {
    servers.push_back(h.NewServer("srv" + std::to_string(i)));
    servers.back()->SendPacket(Bytes({5}) + "Server " + std::to_string(i) + std::string(1, '\0') +
                               std::string(100, 'd'));
  }
  QVERIFY(h.registry->Client(12).Description.size() == 100);
  // The player and the crowd share an address, so only the fetching rule
  // keeps the player, the most silent of them, from being the one to go.
  auto player = h.Connect(From(8));
  player->Send(Bytes({0x00, 0x02, 0x03, 0x01}));
  QVERIFY(player->received.find(Bytes({0x00, 0x03, 0xFF, 0x03})) != std::string::npos);
  h.clock.now += 100;
  std::vector<std::unique_ptr<MemoryPeer>> crowd;
  while (h.registry->FindFreeSlot() != 0) {
    crowd.push_back(h.Connect(From(8)));
    crowd.back()->Send(Bytes({0x00, 0x02, 0x03, 0x00}));  // asks for nothing in particular
  }
  QVERIFY(h.registry->Client(kRegularSlots).AskedSomething);
  auto& keepAlive = crowd[crowd.size() / 2];
  keepAlive->Close();
  QVERIFY(h.registry->FindFreeSlot() != 0);
  auto pinger = h.Connect(From(9));
  pinger->Send(Bytes({0x00, 0x01, 0xFF}));
  QVERIFY(h.registry->Client(h.registry->FindClientByUser("srv0")).InUse);
  h.clock.now += 1500;  // the player has been silent longest, but is fetching
  auto first = h.Connect(From(10), false);
  QVERIFY(pinger->Closed());
  QVERIFY(!player->Closed());
  auto second = h.Connect(From(11), false);
  QVERIFY(std::any_of(crowd.begin(), crowd.end(), [](auto& p) { return p->Closed(); }) &&
              std::count_if(crowd.begin(), crowd.end(), [](auto& p) { return p->Closed(); }) == 2);
  QVERIFY(!player->Closed());
  // Past the two seconds it is a connection like the others again.
  h.clock.now += 600;
  auto third = h.Connect(From(12), false);
  QVERIFY(player->Closed());
}

// A flood that reconnects faster than a second keeps every slot young: the
// room then comes from the address holding the most, never from a lone
// newcomer.
void TestRefusals::floodOfYoungConnectionsStillMakesRoom() {
  FloodLimits limits = FloodLimits::Off();
  limits.EvictIdleClients = true;
  Hostile h(limits);
  auto lone = h.Connect(From(9));
  std::vector<std::unique_ptr<MemoryPeer>> flood;
  while (h.registry->FindFreeSlot() != 0) flood.push_back(h.Connect(From(1, 3)));
  auto server = h.Connect(From(10), false);
  QVERIFY(std::any_of(flood.begin(), flood.end(), [](auto& p) { return p->Closed(); }));
  QVERIFY(!lone->Closed());
  QVERIFY(h.registry->Client(kRegularSlots).InUse);
  QVERIFY(!server->Closed());
}

QTEST_GUILESS_MAIN(TestRefusals)
#include "test_refusals.moc"
