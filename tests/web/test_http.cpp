// The built registry's HTTP side over TCP: the JSON list against the game
// protocol's own list while servers log in, change and leave, /metrics
// refused to a second loopback address and its counters, the ListFile, and
// a port that is taken (one line, and the game protocol serves on).
#include "Http.h"
#include "common/Peer.h"
#include "common/RegistryProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

struct GameServer {
  std::unique_ptr<Client> connection;
  bool loggedIn = false;
};

GameServer CreateServer(RegistryProcess& registry, const std::string& user, const std::string& name, int players) {
  GameServer s;
  s.connection = std::make_unique<Client>(registry.port);
  s.connection->SendPacket(std::string(1, '\0') + user + std::string(1, '\0') + "secret");
  const std::string reply = ReadPacket(*s.connection);
  s.loggedIn = reply.size() >= 3 && reply[2] == 0;
  s.connection->SendPacket("\x05" + name + std::string(1, '\0') + "About " + name);
  s.connection->SendPacket(std::string{7, char(players)});
  return s;
}

QJsonObject List(std::uint16_t port) {
  return QJsonDocument::fromJson(Http(port, "/servers.json").body).object();
}

QStringList Users(const QJsonObject& list) {
  QStringList users;
  for (const QJsonValue& s : list.value("servers").toArray()) users << s.toObject().value("user").toString();
  return users;
}

QStringList GameList(RegistryProcess& registry) {
  Client player(registry.port);
  player.SendPacket(Bytes({3, 1}));
  QStringList users;
  for (const std::string& u : ReadList(player).first) users << QString::fromStdString(u);
  return users;
}

// Milliseconds until the list satisfies `done`, or -1 after 5 seconds.
template <class Done>
qint64 SeenAfter(std::uint16_t port, Done done) {
  QElapsedTimer since;
  since.start();
  while (since.elapsed() < 5000) {
    if (done(List(port))) return since.elapsed();
    QTest::qWait(20);
  }
  return -1;
}

}  // namespace

class TestHttp : public QObject {
  Q_OBJECT
 private slots:
  void listFollowsTheGameProtocol();
  void listFileFollowsTheList();
  void takenPortIsOneLineAndTheGameGoesOn();
};

void TestHttp::listFollowsTheGameProtocol() {
  RegistryProcess registry;
  const std::uint16_t http = FreePort();
  registry.httpListen = "127.0.0.1:" + QString::number(http);
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\nMetricsAllow=127.0.0.1/32\n" + kLimitsOff);
  QVERIFY(registry.Start());
  QCOMPARE(List(http).value("serverCount").toInt(), 0);

  GameServer a = CreateServer(registry, "alpha", "Alpha", 5);
  GameServer b = CreateServer(registry, "bravo", "Bravo \xE9", 7);
  GameServer c = CreateServer(registry, "charlie", "Charlie", 1);
  QVERIFY(a.loggedIn && b.loggedIn && c.loggedIn);
  QVERIFY(SeenAfter(http, [](const QJsonObject& l) { return l.value("playerCount").toInt() == 13; }) >= 0);
  QJsonObject list = List(http);
  QCOMPARE(Users(list), GameList(registry));
  QCOMPARE(Users(list), (QStringList{"alpha", "bravo", "charlie"}));
  const QJsonObject bravo = list.value("servers").toArray().at(1).toObject();
  QCOMPARE(bravo.value("name").toString(), QString::fromUtf8("Bravo \u00E9"));
  QCOMPARE(bravo.value("description").toString(), QString::fromUtf8("About Bravo \u00E9"));
  QCOMPARE(bravo.value("address").toString(), QString("127.0.0.1"));
  QCOMPARE(bravo.value("slot").toInt(), 2);
  QCOMPARE(bravo.value("official").toBool(true), false);
  QVERIFY(QDateTime::fromString(list.value("generated").toString(), Qt::ISODate).isValid());

  // A name, a count, a logout: each seen within about a second.
  QTest::qWait(1100);
  b.connection->SendPacket("\x05" "Renamed" + std::string(1, '\0') + "New");
  qint64 after = SeenAfter(http, [](const QJsonObject& l) {
    return l.value("servers").toArray().at(1).toObject().value("name").toString() == "Renamed";
  });
  QVERIFY2(after >= 0 && after < 1500, qPrintable(QString::number(after)));
  a.connection->SendPacket(std::string{7, 40});
  after = SeenAfter(http, [](const QJsonObject& l) { return l.value("playerCount").toInt() == 48; });
  QVERIFY2(after >= 0 && after < 1500, qPrintable(QString::number(after)));
  a.connection.reset();
  after = SeenAfter(http, [](const QJsonObject& l) { return l.value("serverCount").toInt() == 2; });
  QVERIFY2(after >= 0 && after < 1500, qPrintable(QString::number(after)));
  list = List(http);
  QCOMPARE(Users(list), GameList(registry));
  QCOMPARE(Users(list), (QStringList{"bravo", "charlie"}));

  // The metrics count what happened; a second loopback address may not read them.
  const QByteArray metrics = Http(http, "/metrics").body;
  for (const char* line : {"tarnwick_account_creations_total{result=\"accepted\"} 3\n", "tarnwick_servers_online 2\n",
                           "tarnwick_players_online 8\n", "tarnwick_accounts 3\n", "tarnwick_new_accounts_allowed 1\n"})
    QVERIFY2(metrics.contains(line), line);
  QVERIFY(QRegularExpression("\ntarnwick_list_requests_total [2-9]\n").match(QString::fromLatin1(metrics)).hasMatch());
  QCOMPARE(Http(http, "/metrics", {}, "GET", QHostAddress("127.0.0.2")).status, 403);
  QCOMPARE(Http(http, "/healthz").body, QByteArray("ok\n"));
  // Nothing the HTTP side received is in the event log.
  QVERIFY(registry.WaitForOutput("has connected", 100) || true);
  QVERIFY(!registry.output.contains("servers.json") && !registry.output.contains("metrics"));
  QCOMPARE(registry.Terminate(), 0);
}

void TestHttp::listFileFollowsTheList() {
  RegistryProcess registry;
  const std::uint16_t http = FreePort();
  registry.httpListen = "127.0.0.1:" + QString::number(http);
  QVERIFY(QDir(registry.folder.path()).mkdir("public"));
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\nListFile=public/servers.json\n" + kLimitsOff);
  QVERIFY(registry.Start());
  const QString path = registry.Path("public/servers.json");
  const auto read = [&] {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  };
  QTRY_VERIFY(!read().isEmpty());
  QCOMPARE(read(), Http(http, "/servers.json").body);
  GameServer a = CreateServer(registry, "alpha", "Alpha", 5);
  QTRY_VERIFY_WITH_TIMEOUT(read().contains("\"user\":\"alpha\""), 3000);
  QTRY_COMPARE_WITH_TIMEOUT(read(), Http(http, "/servers.json").body, 3000);
  // Written beside and renamed: nothing else is left in the folder.
  QCOMPARE(QDir(registry.Path("public")).entryList(QDir::Files | QDir::Hidden), QStringList{"servers.json"});
  QCOMPARE(registry.Terminate(), 0);

  // With HTTP off the file is still written.
  RegistryProcess quiet;
  quiet.WriteSettings("[Kestrune]\nListFile=" + quiet.Path("list.json").toUtf8() + "\n");
  QVERIFY(quiet.Start());
  QTRY_VERIFY(QFile::exists(quiet.Path("list.json")));
  QCOMPARE(quiet.Terminate(), 0);
}

void TestHttp::takenPortIsOneLineAndTheGameGoesOn() {
  QTcpServer taken;
  QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
  RegistryProcess registry;
  registry.httpListen = "127.0.0.1:" + QString::number(taken.serverPort());
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff);
  QVERIFY(registry.Start());
  const QString line = "The web list, metrics and health check are off: cannot listen on 127.0.0.1:" +
                       QString::number(taken.serverPort()) + ": Address already in use";
  QVERIFY2(registry.output.contains(line), qPrintable(registry.output));
  QCOMPARE(registry.output.count("cannot listen"), 1);
  QString errors;
  QTRY_VERIFY2((errors += QString::fromUtf8(registry.process.readAllStandardError())).contains(line), qPrintable(errors));
  GameServer a = CreateServer(registry, "alpha", "Alpha", 5);
  QVERIFY(a.loggedIn);
  QCOMPARE(GameList(registry), QStringList{"alpha"});
  QCOMPARE(registry.Terminate(), 0);
}

QTEST_GUILESS_MAIN(TestHttp)
#include "test_http.moc"
