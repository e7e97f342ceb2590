// tarnwickctl against a registry that shares its list with others: a
// stand-in on the test's own session bus answers Tarnwick.Operator as such
// a registry does (its servers with their registry, then the other
// registries' with slot 0; commands for those refused with
// Tarnwick.Error.OnOtherRegistry), and what tarnwickctl prints is checked.
#include "remote/Protocol.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#ifndef TARNWICKCTL_EXECUTABLE
#error "TARNWICKCTL_EXECUTABLE must name the built tarnwickctl"
#endif

namespace {

struct Run {
  int status = -1;
  QString out, err;
};

class SharingRegistry : public QDBusVirtualObject {
 public:
  QList<remote::ServerRow> rows;
  QStringList calls;

  SharingRegistry() : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kName)) {
    remote::RegisterRowTypes();
    bus_.registerVirtualObject(QLatin1String(remote::kObjectPath), this);
    bus_.registerService(QLatin1String(remote::kServiceName));
  }
  ~SharingRegistry() override {
    bus_.unregisterService(QLatin1String(remote::kServiceName));
    bus_.unregisterObject(QLatin1String(remote::kObjectPath));
    QDBusConnection::disconnectFromBus(kName);
  }

  // tarnwickctl with these arguments, run to its end while this answers.
  Run Ctl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), args);
    QDeadlineTimer deadline(30000);
    while (p.state() != QProcess::NotRunning && !deadline.hasExpired()) QTest::qWait(10);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
  }

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    calls << member;
    if (member == QLatin1String("ListServers")) {
      connection.send(message.createReply(QVariant::fromValue(rows)));
      return true;
    }
    const QString user = message.arguments().value(0).toString();
    for (const remote::ServerRow& row : rows) {
      if (row.User != user || row.Slot != 0) continue;
      connection.send(message.createErrorReply(
          QLatin1String(remote::kOnOtherRegistry),
          QStringLiteral("Server %1 is on registry %2: ask that registry.").arg(row.User, row.Registry)));
      return true;
    }
    connection.send(message.createReply());
    return true;
  }

 private:
  static constexpr char kName[] = "registry sharing its list";
  QDBusConnection bus_;
};

remote::ServerRow Row(qint16 slot, const QString& registry, const QString& user, uchar players,
                      const QString& name, const QString& listed = QStringLiteral("127.0.0.1")) {
  remote::ServerRow row;
  row.Slot = slot;
  row.User = user;
  row.IP = QStringLiteral("127.0.0.1");
  row.PlayerCount = players;
  row.Name = name;
  row.ListedIP = listed;
  row.Registry = registry;
  return row;
}

}  // namespace

class TestCtlRegistries : public QObject {
  Q_OBJECT
 private slots:
  void serversShowTheirRegistry();
  void commandsForAnotherRegistrysServerSayWhichToAsk();
};

void TestCtlRegistries::serversShowTheirRegistry() {
  SharingRegistry registry;
  registry.rows = {Row(1, "alpha-host", "alpha", 3, "Alpha Keep"), Row(0, "b", "bravo", 12, "Bravo Arena"),
                   Row(0, "b", "carl", 0, "Carl", "203.0.113.9")};
  Run run = registry.Ctl({"servers"});
  QCOMPARE(run.status, 0);
  QCOMPARE(run.out, QStringLiteral("SLOT  REGISTRY    USER   ADDRESS    LISTED AS    PLAYERS  OFFICIAL  NAME\n"
                                   "1     alpha-host  alpha  127.0.0.1               3        no        Alpha Keep\n"
                                   "-     b           bravo  127.0.0.1               12       no        Bravo Arena\n"
                                   "-     b           carl   127.0.0.1  203.0.113.9  0        no        Carl\n"));

  const QJsonArray servers = QJsonDocument::fromJson(registry.Ctl({"servers", "--json"}).out.toUtf8()).array();
  QCOMPARE(servers.size(), 3);
  QCOMPARE(servers[0].toObject().value("slot"), QJsonValue(1));
  QCOMPARE(servers[0].toObject().value("registry"), QJsonValue("alpha-host"));
  // No slot here for a server at another registry.
  QCOMPARE(servers[1].toObject(), (QJsonObject{{"slot", QJsonValue()},
                                               {"user", "bravo"},
                                               {"address", "127.0.0.1"},
                                               {"players", 12},
                                               {"name", "Bravo Arena"},
                                               {"official", 0},
                                               {"description", ""},
                                               {"updateUrl", ""},
                                               {"registry", "b"}}));

  // Only some rows at a registry by name (never so from a real one, but
  // the column belongs to the table, not to the row).
  registry.rows = {Row(1, "", "alpha", 3, "Alpha Keep"), Row(0, "b", "bravo", 12, "Bravo Arena")};
  run = registry.Ctl({"servers"});
  QCOMPARE(run.out, QStringLiteral("SLOT  REGISTRY  USER   ADDRESS    PLAYERS  OFFICIAL  NAME\n"
                                   "1               alpha  127.0.0.1  3        no        Alpha Keep\n"
                                   "-     b         bravo  127.0.0.1  12       no        Bravo Arena\n"));
  // None: the table and JSON of a registry on its own.
  registry.rows = {Row(1, "", "alpha", 3, "Alpha Keep")};
  run = registry.Ctl({"servers"});
  QCOMPARE(run.out, QStringLiteral("SLOT  USER   ADDRESS    PLAYERS  OFFICIAL  NAME\n"
                                   "1     alpha  127.0.0.1  3        no        Alpha Keep\n"));
  const QJsonObject alone = QJsonDocument::fromJson(registry.Ctl({"servers", "--json"}).out.toUtf8()).array()[0].toObject();
  QVERIFY(!alone.contains("registry"));
  QCOMPARE(alone.value("slot"), QJsonValue(1));
}

void TestCtlRegistries::commandsForAnotherRegistrysServerSayWhichToAsk() {
  SharingRegistry registry;
  registry.rows = {Row(1, "a", "alpha", 3, "Alpha Keep"), Row(0, "b", "bravo", 12, "Bravo Arena")};
  const QString refusal = QStringLiteral("tarnwickctl: Server bravo is on registry b: ask that registry.\n");
  for (const QStringList& args : {QStringList{"boot", "bravo"}, QStringList{"god", "bravo", "Ann"},
                                  QStringList{"message", "--to", "bravo", "hello"}}) {
    const Run run = registry.Ctl(args);
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err, refusal);
  }
  QCOMPARE(registry.Ctl({"boot", "alpha"}).status, 0);
  QCOMPARE(registry.calls, (QStringList{"Disconnect", "AddGod", "SendMessageTo", "Disconnect"}));
}

QTEST_GUILESS_MAIN(TestCtlRegistries)
#include "test_ctl_registries.moc"
