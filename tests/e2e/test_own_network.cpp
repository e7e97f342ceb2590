// Game servers on the registry's own network, against the running registry:
// [AddressMap] read from server.ini (its bad lines named on standard error,
// the registry starting anyway), the address each player gets over TCP, the
// warning for a server listed with an address players cannot reach, and
// what tarnwickctl shows. Everything on loopback addresses.
#include "common/Peer.h"
#include "common/RegistryProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

struct Entry {
  std::string user, ip;
  bool operator==(const Entry&) const = default;
};

// The entries of one reply, up to its ListEnd or ListMore.
std::vector<Entry> ReadEntries(Client& c) {
  std::vector<Entry> entries;
  for (;;) {
    const std::string packet = ReadPacket(c);
    if (packet.size() < 3 || packet[2] != 4) return entries;
    const std::string body = packet.substr(3);
    const std::size_t userEnd = body.find('\0');
    const std::size_t ipEnd = body.find('\0', userEnd + 1);
    entries.push_back({body.substr(0, userEnd), body.substr(userEnd + 1, ipEnd - userEnd - 1)});
  }
}

std::vector<Entry> ListFrom(std::uint16_t port, const char* from) {
  Client player(port, QHostAddress(QString::fromLatin1(from)));
  player.SendPacket(Bytes({3, 1}));
  return ReadEntries(player);
}

std::unique_ptr<Client> ServerFrom(std::uint16_t port, const char* from, int type, const std::string& user) {
  auto server = std::make_unique<Client>(port, QHostAddress(QString::fromLatin1(from)));
  server->SendPacket(Bytes({type}) + AccountPayload(user, "secret"));
  if (server->Read(3).size() != 3) return nullptr;
  return server;
}

QString Ctl(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), args);
  p.waitForFinished(30000);
  return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

class TestOwnNetwork : public QObject {
  Q_OBJECT
 private slots:
  void mapFromServerIni();
};

void TestOwnNetwork::mapFromServerIni() {
  RegistryProcess registry;
  registry.keepSessionBus = true;
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff +
                         "\n[AddressMap]\n; the same machine\n127.0.0.2=203.0.113.5\n"
                         "127.0.0.0/16 = 198.51.100.1\nbogus line\n10.0.0.0/8=not-an-address\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  auto mapped = ServerFrom(port, "127.0.0.2", 0, "mapped");
  auto wide = ServerFrom(port, "127.0.0.4", 0, "wide");
  auto far = ServerFrom(port, "127.3.0.1", 0, "far");
  QVERIFY(mapped && wide && far);
  QVERIFY(registry.WaitForOutput("New account far created from 127.3.0.1"));

  QCOMPARE(ListFrom(port, "127.0.0.2"),
           (std::vector<Entry>{{"mapped", "127.0.0.2"}, {"wide", "127.0.0.4"}, {"far", "127.3.0.1"}}));
  QCOMPARE(ListFrom(port, "127.0.9.9"),
           (std::vector<Entry>{{"mapped", "203.0.113.5"}, {"wide", "127.0.0.4"}, {"far", "127.3.0.1"}}));
  QCOMPARE(ListFrom(port, "127.8.0.1"),
           (std::vector<Entry>{{"mapped", "203.0.113.5"}, {"wide", "198.51.100.1"}, {"far", "127.3.0.1"}}));
  QVERIFY(registry.WaitForOutput("Server information sent to 127.8.0.1"));

  // The server from an address no line maps is warned of once, also when
  // it logs in again.
  far.reset();
  QVERIFY(registry.WaitForOutput("far has disconnected from 127.3.0.1"));
  auto back = ServerFrom(port, "127.3.0.1", 1, "far");
  QVERIFY(back);
  QVERIFY(registry.WaitForOutput("far has connected successfully from 127.3.0.1"));

  // tarnwickctl: the connection's address, and the listed one where it
  // differs.
  const QStringList table = Ctl({"servers"}).split('\n');
  QCOMPARE(table.value(0), QStringLiteral("SLOT  USER    ADDRESS    LISTED AS     PLAYERS  OFFICIAL  NAME"));
  QCOMPARE(table.value(1),
           QStringLiteral("1     mapped  127.0.0.2  203.0.113.5   0        no        <untitled>"));
  QCOMPARE(table.value(3).simplified(), QStringLiteral("3 far 127.3.0.1 0 no <untitled>"));
  const QJsonArray json = QJsonDocument::fromJson(Ctl({"servers", "--json"}).toUtf8()).array();
  QCOMPARE(json.size(), 3);
  QCOMPARE(json[0].toObject().value("address").toString(), QStringLiteral("127.0.0.2"));
  QCOMPARE(json[0].toObject().value("listedAddress").toString(), QStringLiteral("203.0.113.5"));
  QCOMPARE(json[1].toObject().value("listedAddress").toString(), QStringLiteral("198.51.100.1"));
  QVERIFY(!json[2].toObject().contains("listedAddress"));

  QCOMPARE(registry.Terminate(), 0);
  const QStringList errors = QString::fromUtf8(registry.process.readAllStandardError()).split('\n');
  QCOMPARE(errors.filter("Ignoring the line").size(), 2);
  QVERIFY(errors.contains("Ignoring the line \"bogus line\" in [AddressMap] of server.ini: it is not "
                          "NETWORK=PUBLIC (for instance 192.168.1.0/24=203.0.113.5)"));
  QCOMPARE(errors.filter("10.0.0.0/8=not-an-address").size(), 1);
  QCOMPARE(errors.filter("is listed with the private address").size(), 1);
  QVERIFY(errors.contains("Game server far is listed with the private address 127.3.0.1: players on the "
                          "internet cannot reach it; see [AddressMap] in the README."));
  // The event log on standard output has none of it.
  QVERIFY(!registry.output.contains("private address"));
  QVERIFY(!registry.output.contains("Ignoring the line"));
}

QTEST_GUILESS_MAIN(TestOwnNetwork)
#include "test_own_network.moc"
