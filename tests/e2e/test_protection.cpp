// The running registry against the floods of the open internet, over TCP
// from several loopback addresses: the overflow slot that only refuses, the
// per-address caps and cool-downs as a refused peer sees them, and a table
// held by idle connections that still lets a game server log in.
#include "common/Peer.h"
#include "common/RegistryProcess.h"
#include "storage/Database.h"

#include <QtTest>

namespace {

const std::string kServerFull = Bytes({0x00, 0x02, 0x00, 0x04});
const std::string kLoginRefused = Bytes({0x00, 0x01, 0x03});

QHostAddress From(const char* address) { return QHostAddress(QString::fromLatin1(address)); }

std::string NewAccount(const std::string& user) { return Bytes({0}) + AccountPayload(user, "pw"); }

void Ban(const QString& folder, const std::string& ip) {
  Database db;
  db.Open(folder, folder);
  BanRecord ban;
  ban.Number = 1;
  ban.Name = "sneaky";
  ban.IP = ip;
  db.bans().Add(ban);
  db.Close();
}

}  // namespace

class TestProtection : public QObject {
  Q_OBJECT
 private slots:
  void overflowSlotNeverHandlesAPacket_data();
  void overflowSlotNeverHandlesAPacket();
  void limitsAsARefusedPeerSeesThem();
  void idleConnectionsCannotLockOutAGameServer();
};

void TestProtection::overflowSlotNeverHandlesAPacket_data() {
  QTest::addColumn<bool>("banned");
  QTest::newRow("unbanned") << false;
  QTest::newRow("banned") << true;
}

void TestProtection::overflowSlotNeverHandlesAPacket() {
  QFETCH(bool, banned);
  RegistryProcess registry;
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff);
  if (banned) {
    QVERIFY(registry.Start());  // makes the database
    QCOMPARE(registry.Terminate(), 0);
    Ban(registry.folder.path(), "127.0.5.5");
  }
  QVERIFY(registry.Start());
  std::vector<std::unique_ptr<Client>> holders;
  for (int i = 0; i < 255; ++i) {
    holders.push_back(std::make_unique<Client>(registry.port));
    QVERIFY(holders.back()->connected);
  }
  QTest::qWait(200);
  // It creates an account the moment it is connected, before its refusal
  // can be out.
  Client sneaky(registry.port, From("127.0.5.5"));
  sneaky.SendPacket(NewAccount("sneaky") + Bytes({0, 2, 3, 1}));
  QCOMPARE(sneaky.Read(8, 3000), kServerFull);
  QVERIFY(sneaky.ClosedByPeer());
  holders.pop_back();
  QTest::qWait(200);
  // Nothing was stored: the account does not exist.
  Client check(registry.port, From("127.0.6.6"));
  check.SendPacket(Bytes({1}) + AccountPayload("sneaky", "PW"));
  QCOMPARE(check.Read(3), kLoginRefused);
  QCOMPARE(registry.Terminate(), 0);
  QVERIFY(!registry.output.contains("sneaky"));
}

void TestProtection::limitsAsARefusedPeerSeesThem() {
  RegistryProcess registry;
  registry.WriteSettings(
      "[Kestrune]\nAutoAllow=True\nMaxClientsPerIP=2\nMaxConnectsPerMinute=5\nMaxNewAccountsPerHour=1\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;

  // Two waiting connections from one address; the third gets the table-full
  // refusal, while another address is served.
  Client a1(port, From("127.0.1.1")), a2(port, From("127.0.1.1"));
  QTest::qWait(100);
  Client a3(port, From("127.0.1.1"));
  QCOMPARE(a3.Read(4), kServerFull);
  QVERIFY(a3.ClosedByPeer());
  Client b(port, From("127.0.1.2"));
  QVERIFY(!b.ClosedByPeer(200));
  QVERIFY(!a1.ClosedByPeer(10) && !a2.ClosedByPeer(10));

  // Five connections a minute: the sixth is closed with nothing sent, and
  // one line says so.
  for (int i = 0; i < 5; ++i) {
    Client c(port, From("127.0.1.3"));
    c.SendPacket(Bytes({0xFF}));
    QVERIFY(!c.ClosedByPeer(50));
  }
  Client sixth(port, From("127.0.1.3"));
  QVERIFY(sixth.ClosedByPeer());
  QVERIFY(sixth.buffer.empty());
  QVERIFY(registry.WaitForOutput(
      "Connections from 127.0.1.3 refused for 60 seconds: too many connections.", 5000));
  Client seventh(port, From("127.0.1.3"));
  QVERIFY(seventh.ClosedByPeer());
  QCOMPARE(registry.output.count("refused for"), 1);

  // One new account an hour per address.
  Client first(port, From("127.0.1.4"));
  first.SendPacket(NewAccount("first_one"));
  QCOMPARE(first.Read(3), Bytes({0x00, 0x0C, 0x00}));
  Client second(port, From("127.0.1.4"));
  second.SendPacket(NewAccount("second_one"));
  QCOMPARE(second.Read(3), kLoginRefused);
  QVERIFY(second.ClosedByPeer());
  Client elsewhere(port, From("127.0.1.5"));
  elsewhere.SendPacket(NewAccount("third_one"));
  QCOMPARE(elsewhere.Read(3), Bytes({0x00, 0x0C, 0x00}));
  QCOMPARE(registry.Terminate(), 0);
  QVERIFY(!registry.output.contains("second_one"));
}

void TestProtection::idleConnectionsCannotLockOutAGameServer() {
  RegistryProcess registry;
  // One address may hold every slot here, to show the eviction alone.
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\nMaxClientsPerIP=0\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  {
    Client server(port, From("127.0.2.9"));
    server.SendPacket(NewAccount("realm"));
    QCOMPARE(server.Read(3), Bytes({0x00, 0x0C, 0x00}));
  }
  std::vector<std::unique_ptr<Client>> holders;
  for (int i = 0; i < 255; ++i) holders.push_back(std::make_unique<Client>(port, From("127.0.2.1")));
  QTest::qWait(1100);  // a connection younger than a second is never the one to go
  for (auto& h : holders) h->Send(Bytes({0x00, 0x01, 0xFF}));  // keep-alive, as the attack does
  QTest::qWait(100);
  Client server(port, From("127.0.2.9"));
  server.SendPacket(Bytes({1}) + AccountPayload("realm", "pw"));
  QCOMPARE(server.Read(3), Bytes({0x00, 0x0C, 0x00}));
  QVERIFY(registry.WaitForOutput("realm has connected successfully from 127.0.2.9"));
  int ended = 0;
  for (auto& h : holders) ended += h->ClosedByPeer(1);
  QCOMPARE(ended, 1);  // one idle connection made room
  QCOMPARE(registry.Terminate(), 0);
}

QTEST_GUILESS_MAIN(TestProtection)
#include "test_protection.moc"
