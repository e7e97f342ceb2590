// Game servers and players against the running registry, over TCP: the
// worked packets, replies and refusals, reports that outlive a login, the
// server list with its continuation, and bans on addresses and networks.
#include "common/Peer.h"
#include "common/RegistryProcess.h"
#include "storage/Database.h"

#include <QtTest>

namespace {

const std::string kListEnd = Bytes({0x00, 0x02, 0xFF, 0x04});

std::string Untitled() { return Bytes({0x00, 0x0C, 0x00}) + "<untitled>" + Bytes({0}); }

void AddBan(const QString& folder, int number, const std::string& ip, std::optional<QDate> until) {
  Database db;
  db.Open(folder, folder);
  BanRecord ban;
  ban.Number = number;
  ban.Name = "ban" + std::to_string(number);
  ban.IP = ip;
  ban.Reason = "cheating";
  if (until) ban.UnbanDate = QDateTime(*until, QTime(12, 0));
  db.bans().Add(ban);
  db.Close();
}

}  // namespace

class TestProtocol : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void cleanup();
  void accountsAndLogins();
  void serverReportsOutliveTheLogin();
  void serverListOrderAndContinuation();
  void bansOnAddressesAndNetworks();
  void floodIsServedWithoutStallingOthers();

 private:
  std::unique_ptr<RegistryProcess> registry_;
};

void TestProtocol::init() {
  registry_ = std::make_unique<RegistryProcess>();
  registry_->WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff);
}

void TestProtocol::cleanup() { registry_.reset(); }

void TestProtocol::accountsAndLogins() {
  QVERIFY(registry_->Start());
  const auto port = registry_->port;
  Client creator(port);
  creator.SendPacket(Bytes({0}) + AccountPayload(" bob_1 ", "hunter2 "));
  QCOMPARE(creator.Read(14), Untitled());
  QVERIFY(registry_->WaitForOutput("New account bob_1 created from 127.0.0.1"));

  Client duplicate(port);
  duplicate.SendPacket(Bytes({0}) + AccountPayload("BOB_1", "x"));
  QCOMPARE(duplicate.Read(3), Bytes({0x00, 0x01, 0x01}));
  QVERIFY(duplicate.ClosedByPeer());

  Client online(port);
  online.SendPacket(Bytes({1}) + AccountPayload("Bob_1", "HUNTER2"));
  QCOMPARE(online.Read(3), Bytes({0x00, 0x01, 0x02}));
  QVERIFY(online.ClosedByPeer());

  // The trailing space that account creation trimmed is kept by a login.
  Client trailing(port);
  trailing.SendPacket(Bytes({1}) + AccountPayload("bob_1", "hunter2 "));
  QCOMPARE(trailing.Read(3), Bytes({0x00, 0x01, 0x03}));
  QVERIFY(trailing.ClosedByPeer());

  Client unknown(port);
  unknown.SendPacket(Bytes({1}) + AccountPayload("nobody", "pw"));
  QCOMPARE(unknown.Read(3), Bytes({0x00, 0x01, 0x03}));
  QVERIFY(unknown.ClosedByPeer());

  Client badName(port);
  badName.SendPacket(Bytes({0}) + AccountPayload("no-dash", "pw"));
  QVERIFY(badName.ClosedByPeer());
  QVERIFY(badName.buffer.empty());

  // Pong and keep-alive packets from the worked examples.
  creator.Send(Bytes({0x00, 0x01, 0xFF}));
  creator.Send(Bytes({0x00, 0x02, 0x07, 0x0C}));
  QVERIFY(!creator.ClosedByPeer(200));
  QCOMPARE(registry_->Terminate(), 0);
  QVERIFY(!registry_->output.contains("nobody"));
  QVERIFY(!registry_->output.contains("no-dash"));
}

void TestProtocol::serverReportsOutliveTheLogin() {
  QVERIFY(registry_->Start());
  {
    Client server(registry_->port);
    server.SendPacket(Bytes({0}) + AccountPayload("alpha", "pw1"));
    QCOMPARE(server.Read(14), Untitled());
    server.Send(Bytes({0x00, 0x0A, 0x05, 0x41, 0x6C, 0x70, 0x68, 0x61, 0x00, 0x46, 0x75, 0x6E}));
    server.SendPacket(Bytes({6}) + "newpw");
    QVERIFY(!server.ClosedByPeer(200));
  }
  QVERIFY(registry_->WaitForOutput("alpha has disconnected from 127.0.0.1", 40000));
  QCOMPARE(registry_->Terminate(), 0);
  QVERIFY(registry_->Start());
  Client again(registry_->port);
  again.SendPacket(Bytes({1}) + AccountPayload("alpha", "NEWPW"));
  QCOMPARE(again.Read(12), Bytes({0x00, 0x0A, 0x00}) + "Alpha" + Bytes({0}) + "Fun");
}

void TestProtocol::serverListOrderAndContinuation() {
  QVERIFY(registry_->Start());
  const auto port = registry_->port;
  std::vector<std::unique_ptr<Client>> servers;
  for (int i = 1; i <= 24; ++i) {
    servers.push_back(std::make_unique<Client>(port));
    Client& s = *servers.back();
    s.SendPacket(Bytes({0}) + AccountPayload("server" + std::to_string(i), "pw1"));
    QCOMPARE(s.Read(14), Untitled());
    s.SendPacket(Bytes({5}) + "Realm " + std::to_string(i) + Bytes({0}) +
                 "A description of realistic length for realm number " + std::to_string(i));
    s.SendPacket(Bytes({7, i}));
  }
  QTest::qWait(200);
  Client player(port);
  std::vector<std::string> users;
  int next = 1, replies = 0;
  while (next > 0 && replies < 10) {
    player.SendPacket(Bytes({3, next}));
    auto [batch, more] = ReadList(player);
    QVERIFY(more >= 0);
    users.insert(users.end(), batch.begin(), batch.end());
    next = more;
    ++replies;
  }
  QVERIFY(replies >= 2);
  QCOMPARE(users.size(), std::size_t(24));
  for (int i = 1; i <= 24; ++i) QCOMPARE(users[i - 1], "server" + std::to_string(i));
  QVERIFY(registry_->WaitForOutput("Server information sent to 127.0.0.1"));

  // The worked example for one entry: the player count and name, the
  // standing and description, and the update URL.
  player.SendPacket(Bytes({3, 24}));
  const std::string entry = ReadPacket(player);
  const std::string body = Bytes({4}) + "server24" + Bytes({0}) + "127.0.0.1" + Bytes({0}) +
                           "[24] Realm 24" + Bytes({0}) +
                           "Unofficial Server: A description of realistic length for realm number 24" +
                           Bytes({0});
  const std::string prefix{char(body.size() >> 8), char(body.size() & 0xFF)};
  QCOMPARE(entry, prefix + body);
  QCOMPARE(ReadPacket(player), kListEnd);
}

void TestProtocol::bansOnAddressesAndNetworks() {
  const QString folder = registry_->folder.path();
  const QDate today = QDate::currentDate();
  AddBan(folder, 1, "127.10.0.5", today.addDays(30));   // one address
  AddBan(folder, 2, "127.20.1.0", today.addDays(30));   // a /24
  AddBan(folder, 3, "127.30.0.0", today.addDays(30));   // a /16
  AddBan(folder, 4, "127.40.0.7", today.addDays(-1));   // expired
  AddBan(folder, 5, "127.40.0.0", today.addDays(30));   // ... behind a network ban
  AddBan(folder, 6, "127.50.0.9", today);               // expires today
  QVERIFY(registry_->Start());
  const auto port = registry_->port;
  auto refused = [port](const char* from) {
    Client c(port, QHostAddress(QString::fromLatin1(from)));
    return c.connected && c.ClosedByPeer(2000) && c.buffer.empty();
  };
  QVERIFY(refused("127.10.0.5"));
  QVERIFY(!refused("127.10.0.6"));
  QVERIFY(refused("127.20.1.1"));
  QVERIFY(refused("127.20.1.254"));
  QVERIFY(!refused("127.20.2.1"));
  QVERIFY(refused("127.30.200.3"));
  QVERIFY(!refused("127.31.0.1"));
  // The expired exact ban is deleted and lets this one through; the network
  // ban holds from the next attempt on.
  QVERIFY(!refused("127.40.0.7"));
  QVERIFY(refused("127.40.0.7"));
  QVERIFY(!refused("127.50.0.9"));
  QCOMPARE(registry_->Terminate(), 0);

  Database db;
  db.Open(folder, folder);
  QVERIFY(!db.bans().FindByIP("127.40.0.7"));
  QVERIFY(!db.bans().FindByIP("127.50.0.9"));
  QCOMPARE(db.bans().Count(), 4);
}

void TestProtocol::floodIsServedWithoutStallingOthers() {
  QVERIFY(registry_->Start());
  const auto port = registry_->port;
  Client flooder(port);
  flooder.SendPacket(Bytes({0}) + AccountPayload("flood", "pw1"));
  QCOMPARE(flooder.Read(14), Untitled());
  // Megabytes of small valid packets in one burst, each a name change.
  std::string burst;
  for (int i = 0; i < 60000; ++i) {
    const std::string body = Bytes({5}) + "n" + std::to_string(i) + Bytes({0}) + "d";
    burst += std::string{char(0), char(body.size())} + body;
  }
  flooder.socket.write(burst.data(), qint64(burst.size()));
  // Meanwhile a player is answered.
  QElapsedTimer timer;
  timer.start();
  Client player(port);
  player.SendPacket(Bytes({3, 1}));
  auto [users, more] = ReadList(player);
  QCOMPARE(users, std::vector<std::string>{"flood"});
  QCOMPARE(more, 0);
  flooder.socket.waitForBytesWritten(30000);
  while (flooder.socket.bytesToWrite() > 0) flooder.socket.waitForBytesWritten(1000);
  // The last one wins, in order.
  QTRY_VERIFY_WITH_TIMEOUT(
      [&] {
        Client probe(port);
        probe.SendPacket(Bytes({3, 1}));
        return ReadPacket(probe).find("[0] n59999") != std::string::npos;
      }(),
      30000);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
