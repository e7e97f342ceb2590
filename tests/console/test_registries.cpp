// The operator's view of a game with two registries sharing their live list
// through a PostgreSQL server of the test's own: registry "alpha" with its
// main window and its remote control on the test's session bus, registry
// "beta" beside it. Every server shows with the registry it is at; what
// only the registry holding a server's connection can do is refused
// elsewhere with the name of that registry.
#include "ConsoleHarness.h"
#include "common/MemoryHarness.h"
#include "common/PgServer.h"
#include "console/ControlClient.h"
#include "console/clsControl.h"
#include "console/frmInfo.h"
#include "storage/PgConnection.h"
#include "web/ServerList.h"

#include <QDBusArgument>
#include <QLabel>
#include <QPlainTextEdit>
#include <QtTest>

namespace {

const QString kOperator = QStringLiteral("Tarnwick.Operator");
const QString kRefusal = QStringLiteral("Server bravo is on registry beta: ask that registry.");

struct Game {
  SharedList alphaList, betaList;  // made first: they outlive the registries
  ConsoleHarness alpha;
  MemoryHarness beta;
  clsControl control{*alpha.h.registry, alpha.h.db, alpha.h.console, alpha.h.log, [] {}};
  ControlClient client{QStringLiteral("operator")};

  explicit Game(const std::string& conninfo) : alphaList(conninfo, "alpha", 3000), betaList(conninfo, "beta", 3000) {
    alpha.h.registry->SetSharedList(&alphaList);
    beta.registry->SetSharedList(&betaList);
    QString error;
    if (!control.Publish(QDBusConnection::sessionBus(), &error)) qWarning("publish failed: %s", qPrintable(error));
  }
  ~Game() {
    alpha.h.registry->SetSharedList(nullptr);
    beta.registry->SetSharedList(nullptr);
  }
  // A server logged in at beta that alpha knows of.
  std::unique_ptr<MemoryPeer> AtBeta(const std::string& user) {
    auto peer = beta.NewServer(user);
    (void)QTest::qWaitFor([&] { return ops::FindElsewhere(alpha.h.registry->OtherServers(), user); }, 5000);
    return peer;
  }
  QDBusMessage Call(const QString& member, const QVariantList& args = {}) {
    return client.Call(member, args, kOperator);
  }
};

QList<QVariantList> Rows(const QVariant& reply) {
  const QDBusArgument arg = reply.value<QDBusArgument>();
  QList<QVariantList> rows;
  arg.beginArray();
  while (!arg.atEnd()) {
    arg.beginStructure();
    QVariantList fields;
    while (!arg.atEnd()) fields << arg.asVariant();
    arg.endStructure();
    rows << fields;
  }
  arg.endArray();
  return rows;
}

QVariant N(int v) { return QVariant::fromValue(qint16(v)); }
QVariant Y(int v) { return QVariant::fromValue(uchar(v)); }

// The user names of one list reply, in order.
QStringList Users(const std::string& reply) {
  QStringList users;
  for (std::size_t p = 0; p + 3 <= reply.size();) {
    const std::size_t n = std::size_t(std::uint8_t(reply[p])) * 256 + std::uint8_t(reply[p + 1]);
    if (reply[p + 2] == 4) users << QString::fromStdString(reply.substr(p + 3, reply.find('\0', p + 3) - p - 3));
    p += 2 + n;
  }
  return users;
}

}  // namespace

class TestRegistries : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QVERIFY2(pg_.Start(), qPrintable(pg_.error())); }
  void init();
  void operatorListsEveryServerWithItsRegistry();
  void commandsForAServerElsewhereNameItsRegistry();
  void consoleListsTheOtherRegistrysServers();
  void consoleCommandsOnAServerElsewhere();
  void webListInTheOrderPlayersGetIt();

 private:
  PgServer pg_;
  std::string conninfo_;
  int databases_ = 0;
};

void TestRegistries::init() {
  const std::string name = "registries" + std::to_string(++databases_);
  PgConnection admin(pg_.ConnInfo().toStdString());
  admin.Exec("CREATE DATABASE " + name);
  conninfo_ = "host=" + pg_.SocketDir().toStdString() + " dbname=" + name + " user=registry";
}

void TestRegistries::operatorListsEveryServerWithItsRegistry() {
  Game g(conninfo_);
  auto alpha = g.alpha.Login("alpha", 0, "Alpha Keep");
  auto bravo = g.AtBeta("bravo");
  bravo->SendPacket(Bytes({5}) + "Bravo Arena" + '\0' + "PvP");
  bravo->SendPacket(Bytes({7, 12}));
  QTRY_VERIFY_WITH_TIMEOUT(!g.alpha.h.registry->OtherServers().empty() &&
                               g.alpha.h.registry->OtherServers()[0].players == 12,
                           5000);
  const QDBusMessage reply = g.Call("ListServers");
  QCOMPARE(reply.signature(), QStringLiteral("a(nssysyssss)"));
  const QList<QVariantList> rows = Rows(reply.arguments().value(0));
  QCOMPARE(rows.size(), 2);
  QCOMPARE(rows[0], (QVariantList{N(g.alpha.h.SlotOf("alpha")), "alpha", "127.0.0.1", Y(0), "Alpha Keep", Y(0),
                                  "", "", "127.0.0.1", "alpha"}));
  // No slot here: beta holds its connection.
  QCOMPARE(rows[1], (QVariantList{N(0), "bravo", "127.0.0.1", Y(12), "Bravo Arena", Y(0), "PvP", "", "127.0.0.1",
                                  "beta"}));
  bravo->Close();
  QTRY_VERIFY_WITH_TIMEOUT(Rows(g.Call("ListServers").arguments().value(0)).size() == 1, 5000);
}

void TestRegistries::commandsForAServerElsewhereNameItsRegistry() {
  Game g(conninfo_);
  auto alpha = g.alpha.Login("alpha", 0);
  auto bravo = g.AtBeta("bravo");
  QVERIFY(ops::FindElsewhere(g.alpha.h.registry->OtherServers(), "bravo"));
  for (const auto& [member, args] : std::initializer_list<std::pair<QString, QVariantList>>{
           {"Disconnect", {"BRAVO"}}, {"AddGod", {"bravo", "Ann"}}, {"SendMessageTo", {"Bravo", "hello"}}}) {
    const QDBusMessage refused = g.Call(member, args);
    QCOMPARE(refused.errorName(), QStringLiteral("Tarnwick.Error.OnOtherRegistry"));
    QCOMPARE(refused.errorMessage(), kRefusal);
  }
  // Nothing reached the server, which stays online at beta; the server here
  // is still alpha's to act on, and one online nowhere is not online.
  g.beta.Settle();
  QVERIFY(bravo->received.empty());
  QVERIFY(g.beta.SlotOf("bravo") != 0);
  QCOMPARE(g.Call("SendMessageTo", {"alpha", "hi"}).type(), QDBusMessage::ReplyMessage);
  QCOMPARE(g.Call("Disconnect", {"nobody"}).errorName(), QStringLiteral("Tarnwick.Error.NotOnline"));
  // The rulebook hands the caller the server as this registry knows it.
  SharedServer where;
  QCOMPARE(ops::DisconnectUser(*g.alpha.h.registry, "bravo", &where), ops::Refusal::OnOtherRegistry);
  QCOMPARE(where.instance, std::string("beta"));
  QCOMPARE(where.user, std::string("bravo"));
}

// Below this registry's lines, one per server elsewhere; selecting one
// fills the labels from what its registry published, and keeps up with it.
void TestRegistries::consoleListsTheOtherRegistrysServers() {
  Game g(conninfo_);
  frmMain& w = g.alpha.window;
  w.ShowServerView();
  auto alpha = g.alpha.Login("alpha", 0);
  auto bravo = g.AtBeta("bravo");
  QTRY_COMPARE(g.alpha.Lines(), (QStringList{"alpha", "bravo (on beta)"}));
  g.alpha.ClickLine(1);
  QCOMPARE(w.lblID->text(), QString("bravo"));
  QCOMPARE(g.alpha.h.console.SelectedServer(), -1);
  bravo->SendPacket(Bytes({7, 9}));
  QTRY_COMPARE_WITH_TIMEOUT(w.lblCount->text(), QString("9"), 5000);
  // A server logging in here goes above, the selection stays with bravo.
  auto carl = g.alpha.Login("carl", 1);
  QCOMPARE(g.alpha.Lines(), (QStringList{"alpha", "carl", "bravo (on beta)"}));
  QCOMPARE(w.lstServers->currentRow(), 2);
  QCOMPARE(w.lstServers->selectedItems().size(), 1);
  g.alpha.ClickLine(1);
  QCOMPARE(w.lblID->text(), QString("carl"));
  QCOMPARE(w.lblOfficial->text(), QString("Yes"));
  QCOMPARE(g.alpha.h.console.SelectedServer(), 1);
  g.alpha.ClickLine(2);
  QCOMPARE(g.alpha.h.console.SelectedServer(), -1);
  // The description is its registry's copy.
  QTest::mouseClick(w.lblDesc, Qt::LeftButton);
  QCOMPARE(g.alpha.prompts.longTexts, 1);
  bravo.reset();
  QTRY_COMPARE_WITH_TIMEOUT(g.alpha.Lines(), (QStringList{"alpha", "carl"}), 5000);
  QVERIFY(w.lstServers->selectedItems().isEmpty());
  QVERIFY(w.OtherServersShown().empty());
}

void TestRegistries::consoleCommandsOnAServerElsewhere() {
  Game g(conninfo_);
  frmMain& w = g.alpha.window;
  w.ShowServerView();
  auto bravo = g.AtBeta("bravo");
  QTRY_COMPARE(g.alpha.Lines(), (QStringList{"bravo (on beta)"}));
  g.alpha.ClickLine(0);
  const PromptCall said{PromptCall::Notice, kRefusal, kAppTitle};
  g.alpha.prompts.texts = {"Ann"};
  for (const char* item : {"mnuServerDisconnect", "mnuServerAddGod", "mnuSendMessage"}) {
    g.alpha.prompts.calls.clear();
    g.alpha.Trigger(item);
    // Told at once: no name asked for a god, no message dialog opened.
    QCOMPARE(g.alpha.prompts.calls, std::vector<PromptCall>{said});
  }
  QVERIFY(!w.MessageDialog());
  g.beta.Settle();
  QVERIFY(bravo->received.empty());
  QVERIFY(g.beta.SlotOf("bravo") != 0);

  g.alpha.Trigger("mnuViewInformation");
  QVERIFY(w.InfoWindow());
  QVERIFY(w.InfoWindow()->txtInfo->toPlainText().startsWith("Server ID: bravo\nRegistry: beta\n"));
}

// /servers.json and the page list the merged list as a player's client
// receives it from this registry: by list index, official ones in front.
void TestRegistries::webListInTheOrderPlayersGetIt() {
  Game g(conninfo_);
  std::vector<std::unique_ptr<Peer>> here;
  std::vector<std::unique_ptr<MemoryPeer>> there;
  here.push_back(g.alpha.Login("one", 0));
  there.push_back(g.AtBeta("two"));
  here.push_back(g.alpha.Login("three", 1));
  there.push_back(g.AtBeta("four"));
  auto player = g.alpha.h.Connect();
  player->SendPacket(Bytes({3, 1}));
  QTRY_VERIFY(player->received.size() >= 4 && player->received.substr(player->received.size() - 2) == "\xFF\x04");
  const std::vector<ListedServer> listed = ListedServers(*g.alpha.h.registry);
  QStringList users;
  for (const ListedServer& s : listed) users << QString::fromStdString(s.user);
  QCOMPARE(users, Users(player->received));
  QCOMPARE(users, (QStringList{"three", "one", "two", "four"}));
  QCOMPARE(listed[1].registry, std::string("alpha"));
  QCOMPARE(listed[1].slot, g.alpha.h.SlotOf("one"));
  QCOMPARE(listed[2].registry, std::string("beta"));
  QCOMPARE(listed[2].slot, 0);
}

QTEST_MAIN(TestRegistries)
#include "test_registries.moc"
