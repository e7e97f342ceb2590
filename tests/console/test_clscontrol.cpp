// The remote control as another program uses it: calls over a private
// session bus to a clsControl published by this process on a registry with
// real loopback game servers.
#include "common/RegistryHarness.h"
#include "console/ControlClient.h"
#include "console/clsControl.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QXmlStreamReader>
#include <QtTest>
#include <cmath>
#include <limits>
#include <unistd.h>

namespace {

// Report n exactly as a caller receives it.
QString Report(int n) {
  static const char* const kLines[] = {
      nullptr,
      "ErrDesc=Client index not found or not in server mode\r\nName=SendMessage",
      "ErrDesc=Client index not found or not in server mode\r\nName=BootServer",
      "ErrDesc=Client index not found or not in server mode\r\nName=GetServerInfo",
      "ErrDesc=Account not found in database\r\nName=GetAccountData",
      "ErrDesc=Ban name not found in database\r\nName=GetBanData",
      "ErrDesc=The username selected already exists\r\nName=CreateAccount",
      "ErrDesc=The username selected doesn't exist\r\nName=EditAccount",
      "ErrDesc=The ban name specified already exists\r\nName=CreateBan",
      "ErrDesc=A ban name and IP must be entered\r\nName=CreateBan",
      "ErrDesc=The ban name specified doesn't exists\r\nName=EditBan",
      "ErrDesc=An IP must be entered\r\nName=EditBan",
      "ErrDesc=The account specified does not exist\r\nName=DeleteAccount",
      "ErrDesc=The ban specified does not exist\r\nName=DeleteBan",
  };
  return QStringLiteral("ErrNum=%1\r\n").arg(n) + QLatin1String(kLines[n]);
}

const QString kKeep = QStringLiteral("left as passed");

// The registry in this process with its remote control on the session bus,
// and one other program calling it.
struct Remote {
  RegistryHarness h;
  int stops = 0;
  clsControl control{*h.registry, h.db, h.console, h.log, [this] { ++stops; }};
  ControlClient client{QStringLiteral("caller")};
  QString publishError;

  Remote() {
    if (!control.Publish(QDBusConnection::sessionBus(), &publishError))
      qWarning("publish failed: %s", qPrintable(publishError));
  }

  QDBusMessage Call(const QString& member, const QVariantList& args = {}) {
    return client.Call(member, args);
  }
  QString ErrData(const QString& member, const QVariantList& args) {
    return Call(member, args).arguments().value(0).toString();
  }
  // CreateBan and EditBan: name, IP, date, reason.
  QDBusMessage Ban(const char* member, const QString& name, const QString& ip, double date,
                   const QString& reason = {}) {
    return Call(QLatin1String(member), {name, ip, date, reason, kKeep});
  }
  QDBusMessage Account(const char* member, const QString& user, const QString& password,
                       const QString& name, const QString& description, const QString& url,
                       uchar official) {
    return Call(QLatin1String(member), {user, password, name, description, url, Y(official), kKeep});
  }
};

// The methods of the interface as "Name(in)->(out)" lines, from
// introspection data.
QStringList Methods(const QString& xml) {
  QStringList methods;
  QXmlStreamReader reader(xml);
  bool ours = false;
  QString name, in, out;
  while (!reader.atEnd()) {
    reader.readNext();
    const auto attr = [&](const char* a) { return reader.attributes().value(QLatin1String(a)).toString(); };
    if (reader.isStartElement() && reader.name() == QLatin1String("interface"))
      ours = attr("name") == QLatin1String("Tarnwick._clsControl");
    if (!ours) continue;
    if (reader.isStartElement() && reader.name() == QLatin1String("method")) {
      name = attr("name");
      in.clear();
      out.clear();
    } else if (reader.isStartElement() && reader.name() == QLatin1String("arg")) {
      (attr("direction") == QLatin1String("out") ? out : in) += attr("name") + ":" + attr("type") + " ";
    } else if (reader.isStartElement() && reader.name() == QLatin1String("property")) {
      methods << "property " + attr("name") + ":" + attr("type") + " " + attr("access");
    } else if (reader.isEndElement() && reader.name() == QLatin1String("method")) {
      methods << name + "(" + in.trimmed() + ")->(" + out.trimmed() + ")";
    }
  }
  return methods;
}

// A harmless value of a D-Bus basic type.
QVariant Sample(QChar type) {
  switch (type.toLatin1()) {
    case 'n': return N(1);
    case 'i': return 1;
    case 'y': return Y(0);
    case 'd': return 46000.0;
    default: return QString();
  }
}

}  // namespace

class TestClsControl : public QObject {
  Q_OBJECT
 private slots:
  void answersAsItsInterfaceSays();
  void wrongArgumentsAndUnknownMembers();
  void options();
  void sendMessage();
  void sendMessageToAll();
  void getServerInfo();
  void bootServer();
  void findServer();
  void accounts();
  void accountsOnAnEmptyTable();
  void accentedNamesIgnoreCase();
  void onlineServerKeepsItsRecord();
  void bansAndTheOrderOfTheirChecks();
  void banNumbersAndDates();
  void overlongTextsWriteNothing();
  void badDatesAndTexts();
  void fullBansTableIsADatabaseFault();
  void propertiesBelongToEachCaller();
  void callerCheck();
  void shutdownServerStopsAfterReplying();
};

// The object describes itself with the installed introspection file, and
// does what it says: every method takes its declared arguments and answers
// with its declared results.
void TestClsControl::answersAsItsInterfaceSays() {
  Remote r;
  QVERIFY2(r.publishError.isEmpty(), qPrintable(r.publishError));
  const QDBusMessage reply = r.client.Call(QStringLiteral("Introspect"), {},
                                           QStringLiteral("org.freedesktop.DBus.Introspectable"));
  QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
  const QStringList methods = Methods(reply.arguments().value(0).toString());
  QFile installed(QStringLiteral(TARNWICK_SOURCE_DIR "/packaging/Tarnwick._clsControl.xml"));
  QVERIFY(installed.open(QIODevice::ReadOnly));
  QCOMPARE(methods, Methods(QString::fromUtf8(installed.readAll())));
  QCOMPARE(methods.size(), 18);

  for (const QString& method : methods) {
    if (method.startsWith(QLatin1String("property"))) continue;
    const QString name = method.section('(', 0, 0);
    QVariantList args;
    QString in = method.section("->", 0, 0), out = method.section("->", 1, 1), outSignature;
    for (const QString& arg : in.mid(name.size() + 1).chopped(1).split(' ', Qt::SkipEmptyParts))
      args << Sample(arg.back());
    for (const QString& arg : out.mid(1).chopped(1).split(' ', Qt::SkipEmptyParts))
      outSignature += arg.back();
    const QDBusMessage answer = r.Call(name, args);
    QVERIFY2(answer.type() == QDBusMessage::ReplyMessage, qPrintable(name + ": " + Error(answer)));
    QCOMPARE(answer.signature(), outSignature);
  }
  QTRY_COMPARE(r.stops, 1);  // ShutdownServer was among them
}

void TestClsControl::wrongArgumentsAndUnknownMembers() {
  Remote r;
  // The optional ErrData is never left out of the signature.
  QVERIFY(Error(r.Call("SendMessageToAll", {QStringLiteral("hi")}))
              .startsWith("org.freedesktop.DBus.Error.InvalidArgs: SendMessageToAll takes arguments "
                          "of type \"ss\", not \"s\""));
  QVERIFY(Error(r.Call("SendMessage", {QStringLiteral("hi"), 1, kKeep}))
              .startsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  QCOMPARE(Error(r.Call("Quit")), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod: "
                                                 "Tarnwick._clsControl has no method Quit"));
  QVERIFY(r.h.log.lines.empty());
}

void TestClsControl::options() {
  Remote r;
  QCOMPARE(r.Call("OptionCount").arguments(), QVariantList{N(12)});
  QCOMPARE(r.Call("OptionText", {N(1)}).arguments(),
           QVariantList{"Send Message - for sending messages to servers connected to the registry"});
  QCOMPARE(r.Call("OptionText", {N(7)}).arguments(), QVariantList{"Add Ban - for creating an IP ban"});
  QCOMPARE(r.Call("OptionText", {N(12)}).arguments(),
           QVariantList{"Shutdown Registry - for exiting from the registry"});
  for (qint16 n : {0, 13, -1, 32767}) QCOMPARE(r.Call("OptionText", {N(n)}).arguments(), QVariantList{""});
}

void TestClsControl::sendMessage() {
  Remote r;
  auto alpha = r.h.NewServer("alpha");
  auto idle = r.h.Connect();  // connected, never logged in
  const int slot = r.h.SlotOf("alpha");
  const int idleSlot = slot + 1;
  QVERIFY(r.h.registry->Client(idleSlot).InUse);

  QCOMPARE(r.ErrData("SendMessage", {"Hi", N(slot), kKeep}), kKeep);
  QTRY_COMPARE(alpha->received, Bytes({0x00, 0x03, 0x04, 'H', 'i'}));
  alpha->received.clear();
  // Text leaves as code page 1252 bytes.
  QCOMPARE(r.ErrData("SendMessage", {QStringLiteral("é€"), N(slot), QString()}), QString());
  QTRY_COMPARE(alpha->received, Bytes({0x00, 0x03, 0x04, 0xE9, 0x80}));
  alpha->received.clear();

  // Not a server: report 1, nothing sent, nothing logged.
  QCOMPARE(r.ErrData("SendMessage", {"Hi", N(idleSlot), kKeep}), Report(1));
  QCOMPARE(r.ErrData("SendMessage", {"Hi", N(200), QString()}), Report(1));
  QCOMPARE(r.ErrData("SendMessage", {"Hi", N(256), QString()}), Report(1));
  // Outside the client table: the call fails and ErrData is not written.
  for (qint16 index : {0, 257, -1, 32767})
    QCOMPARE(Error(r.Call("SendMessage", {"Hi", N(index), kKeep})),
             QStringLiteral("Tarnwick.Error.SubscriptOutOfRange: Subscript out of range"));
  // One past what a packet can carry.
  QVERIFY(Error(r.Call("SendMessage", {QString(65535, 'x'), N(slot), kKeep}))
              .startsWith("Tarnwick.Error.MessageTooLong"));
  QCOMPARE(r.ErrData("SendMessage", {QString(65534, 'x'), N(slot), kKeep}), kKeep);
  QTRY_COMPARE(alpha->received.size(), std::size_t(65537));
  QCOMPARE(alpha->Take(3), Bytes({0xFF, 0xFF, 0x04}));

  QTest::qWait(100);
  QVERIFY(idle->received.empty());
  QVERIFY(r.h.log.lines.size() == 1);  // only alpha's account creation
}

void TestClsControl::sendMessageToAll() {
  Remote r;
  // With no server online the line is logged all the same.
  QCOMPARE(r.ErrData("SendMessageToAll", {"Nobody", kKeep}), kKeep);
  QCOMPARE(r.h.log.lines.back(), std::string("Server Message: Nobody"));

  auto alpha = r.h.NewServer("alpha");
  auto idle = r.h.Connect();
  auto beta = r.h.NewServer("beta");
  QCOMPARE(r.ErrData("SendMessageToAll", {"Restart at 5", QString()}), QString());
  const std::string packet = Bytes({0x00, 0x0D, 0x04}) + "Restart at 5";
  QTRY_COMPARE(alpha->received, packet);
  QTRY_COMPARE(beta->received, packet);
  QCOMPARE(r.h.log.lines.back(), std::string("Server Message: Restart at 5"));
  QTest::qWait(100);
  QVERIFY(idle->received.empty());
}

void TestClsControl::getServerInfo() {
  Remote r;
  // An account the remote control made official with a value other than 1.
  QCOMPARE(r.Account("CreateAccount", "gamma_1", "pw_1", "Gamma", "", "", 2).arguments(),
           QVariantList{kKeep});
  auto gamma = r.h.LoginServer("gamma_1", "PW_1");
  const int slot = r.h.SlotOf("gamma_1");
  QVERIFY(slot > 0);
  gamma->SendPacket(Bytes({7, 12}));
  gamma->SendPacket(Bytes({5}) + "Gamma World" + Bytes({0}) + "Fun");
  QTRY_COMPARE(r.h.registry->Client(slot).Name, std::string("Gamma World"));
  QTRY_COMPARE(r.h.registry->Client(slot).PlayerCount, std::uint8_t(12));

  const QVariantList kept{"id", "name", "ip", 5, 6};
  QDBusMessage reply = r.Call("GetServerInfo", QVariantList{slot} + kept + QVariantList{kKeep});
  QCOMPARE(reply.signature(), QStringLiteral("sssiis"));
  QCOMPARE(reply.arguments(), (QVariantList{"gamma_1", "Gamma World", "127.0.0.1", 12, 2, kKeep}));

  // Connected but not logged in, or a free slot: report 3, outputs as passed.
  auto idle = r.h.Connect();
  for (int index : {slot + 1, 255, 256}) {
    reply = r.Call("GetServerInfo", QVariantList{index} + kept + QVariantList{QString()});
    QCOMPARE(reply.arguments(), kept + QVariantList{Report(3)});
  }
  for (int index : {0, 257, -5, std::numeric_limits<int>::max()})
    QVERIFY(Error(r.Call("GetServerInfo", QVariantList{index} + kept + QVariantList{kKeep}))
                .startsWith("Tarnwick.Error.SubscriptOutOfRange"));
}

void TestClsControl::bootServer() {
  Remote r;
  auto alpha = r.h.NewServer("alpha");
  auto idle = r.h.Connect();
  const int slot = r.h.SlotOf("alpha");
  QCOMPARE(r.h.console.ServerLines(), std::vector<std::string>{"alpha"});

  QCOMPARE(r.ErrData("BootServer", {N(slot + 1), kKeep}), Report(2));
  QVERIFY(r.h.registry->Client(slot + 1).InUse);
  QCOMPARE(r.ErrData("BootServer", {N(slot), kKeep}), kKeep);
  QTRY_VERIFY(alpha->Closed());
  QVERIFY(!r.h.registry->Client(slot).InUse);
  QCOMPARE(r.h.log.lines.back(), std::string("alpha has disconnected from 127.0.0.1"));
  QVERIFY(r.h.console.ServerLines().empty());
  // The slot is free now.
  QCOMPARE(r.ErrData("BootServer", {N(slot), QString()}), Report(2));
  QVERIFY(Error(r.Call("BootServer", {N(0), kKeep})).startsWith("Tarnwick.Error.SubscriptOutOfRange"));
  QVERIFY(!idle->Closed());
}

void TestClsControl::findServer() {
  Remote r;
  auto idle = r.h.Connect();
  auto alpha = r.h.NewServer("Alpha_1");
  const int slot = r.h.SlotOf("Alpha_1");
  QCOMPARE(r.Call("FindServer", {"ALPHA_1"}).arguments(), QVariantList{N(qint16(slot))});
  QCOMPARE(r.Call("FindServer", {"alpha_1"}).arguments(), QVariantList{N(qint16(slot))});
  QCOMPARE(r.Call("FindServer", {"beta"}).arguments(), QVariantList{N(0)});
  QCOMPARE(r.Call("FindServer", {""}).arguments(), QVariantList{N(0)});
  // An account that exists but whose connection has not logged in.
  QCOMPARE(r.Account("CreateAccount", "delta", "pw", "", "", "", 0).arguments(), QVariantList{kKeep});
  QCOMPARE(r.Call("FindServer", {"delta"}).arguments(), QVariantList{N(0)});
}

void TestClsControl::accounts() {
  Remote r;
  const QVariantList kept{"p", "n", "d", "u", Y(9)};
  const auto get = [&](const QString& user) {
    return r.Call("GetAccountData", QVariantList{user} + kept + QVariantList{kKeep}).arguments();
  };
  // Stored exactly as passed: not trimmed, case kept, no rules.
  QCOMPARE(r.Account("CreateAccount", " Bob ", "Pa ss", "Bob's", "a \"quoted\" one", "http://x", 200)
               .arguments(),
           QVariantList{kKeep});
  QCOMPARE(get(" bob "), (QVariantList{"Pa ss", "Bob's", "a \"quoted\" one", "http://x", Y(200), kKeep}));
  const auto row = r.h.db.accounts().Seek(" Bob ");
  QVERIFY(row);
  QCOMPARE(*row->User, std::string(" Bob "));

  // Report 4: empty or unknown name; the outputs keep their values.
  QCOMPARE(get(""), kept + QVariantList{Report(4)});
  QCOMPARE(get("Bob"), kept + QVariantList{Report(4)});
  // Report 6: the same name in another letter case.
  QCOMPARE(r.Account("CreateAccount", " BOB ", "x", "", "", "", 0).arguments(), QVariantList{Report(6)});

  // EditAccount changes everything but the name.
  QCOMPARE(r.Account("EditAccount", " BOB ", "new", "Robert", "", "", 1).arguments(), QVariantList{kKeep});
  QCOMPARE(get(" Bob "), (QVariantList{"new", "Robert", "", "", Y(1), kKeep}));
  QCOMPARE(*r.h.db.accounts().Seek(" Bob ")->User, std::string(" Bob "));
  QCOMPARE(r.Account("EditAccount", "nobody", "x", "", "", "", 0).arguments(), QVariantList{Report(7)});

  // A field the file holds no value for reads as empty text.
  AccountRecord bare;
  bare.User = "bare";
  r.h.db.accounts().Add(bare);
  QCOMPARE(get("BARE"), (QVariantList{"", "", "", "", Y(0), kKeep}));

  QCOMPARE(r.ErrData("DeleteAccount", {"nobody", kKeep}), Report(12));
  QCOMPARE(r.ErrData("DeleteAccount", {" bob ", kKeep}), kKeep);
  QVERIFY(!r.h.db.accounts().Seek(" Bob "));
  QCOMPARE(r.ErrData("DeleteAccount", {" bob ", QString()}), Report(12));
}

void TestClsControl::accountsOnAnEmptyTable() {
  Remote r;
  QCOMPARE(r.Account("EditAccount", "alpha", "x", "", "", "", 0).arguments(), QVariantList{Report(7)});
  QCOMPARE(r.ErrData("DeleteAccount", {"alpha", kKeep}), Report(12));
  QCOMPARE(r.Account("CreateAccount", "alpha", "x", "", "", "", 0).arguments(), QVariantList{kKeep});
  QCOMPARE(r.h.db.accounts().Count(), 1);
}

// é and É are one letter for the names of accounts and bans, as for the
// servers online.
void TestClsControl::accentedNamesIgnoreCase() {
  Remote r;
  const QString lower = QString::fromUtf8("été"), upper = QString::fromUtf8("ÉTÉ");
  const QVariantList kept{"p", "n", "d", "u", Y(9)};
  const auto get = [&](const QString& user) {
    return r.Call("GetAccountData", QVariantList{user} + kept + QVariantList{kKeep}).arguments();
  };
  QCOMPARE(r.Account("CreateAccount", lower, "PW", "Summer", "", "", 0).arguments(), QVariantList{kKeep});
  QCOMPARE(get(upper), (QVariantList{"PW", "Summer", "", "", Y(0), kKeep}));
  QCOMPARE(r.Account("CreateAccount", upper, "x", "", "", "", 0).arguments(), QVariantList{Report(6)});
  QCOMPARE(r.h.db.accounts().Count(), 1);
  QCOMPARE(r.Account("EditAccount", upper, "PW2", "Winter", "", "", 1).arguments(), QVariantList{kKeep});
  QCOMPARE(get(lower), (QVariantList{"PW2", "Winter", "", "", Y(1), kKeep}));

  // A server logged in under the other case is found by either.
  auto server = r.h.LoginServer("\xC9T\xC9", "pw2");
  const int slot = r.h.SlotOf("\xE9t\xE9");
  QVERIFY(slot != 0);
  QCOMPARE(r.Call("FindServer", {lower}).arguments(), QVariantList{N(qint16(slot))});
  QCOMPARE(r.ErrData("DeleteAccount", {upper, kKeep}), kKeep);
  QCOMPARE(r.h.db.accounts().Count(), 0);

  const QVariantList keptBan{"ip", "date", "reason"};
  QCOMPARE(r.Ban("CreateBan", QString::fromUtf8("él"), "10.0.0.1", 46000).arguments(),
           QVariantList{kKeep});
  QCOMPARE(r.Ban("CreateBan", QString::fromUtf8("ÉL"), "10.0.0.2", 46000).arguments(),
           QVariantList{Report(8)});
  QCOMPARE(r.Call("GetBanData", QVariantList{QString::fromUtf8("ÉL")} + keptBan + QVariantList{kKeep})
               .arguments()
               .value(0),
           QVariant("10.0.0.1"));
  QCOMPARE(r.Ban("EditBan", QString::fromUtf8("ÉL"), "10.0.0.3", 46000).arguments(), QVariantList{kKeep});
  QCOMPARE(*r.h.db.bans().FindByName("\xE9l")->IP, std::string("10.0.0.3"));
  QCOMPARE(r.ErrData("DeleteBan", {QString::fromUtf8("ÉL"), kKeep}), kKeep);
  QVERIFY(r.h.db.bans().Empty());
}

// DeleteAccount and EditAccount leave a server that is online alone.
void TestClsControl::onlineServerKeepsItsRecord() {
  Remote r;
  auto alpha = r.h.NewServer("alpha");
  const int slot = r.h.SlotOf("alpha");
  QCOMPARE(r.Account("EditAccount", "alpha", "pw", "Renamed", "", "", 1).arguments(), QVariantList{kKeep});
  QCOMPARE(r.h.registry->Client(slot).Name, std::string("<untitled>"));
  QCOMPARE(r.h.registry->Client(slot).Official, std::uint8_t(0));

  QCOMPARE(r.ErrData("DeleteAccount", {"ALPHA", kKeep}), kKeep);
  QVERIFY(!r.h.db.accounts().Seek("alpha"));
  QTest::qWait(100);
  QVERIFY(!alpha->Closed());
  QCOMPARE(r.h.console.ServerLines(), std::vector<std::string>{"alpha"});
  QCOMPARE(r.Call("FindServer", {"alpha"}).arguments(), QVariantList{N(qint16(slot))});
  // It goes on talking to the registry.
  alpha->SendPacket(Bytes({7, 3}));
  QTRY_COMPARE(r.h.registry->Client(slot).PlayerCount, std::uint8_t(3));
  QVERIFY(r.h.registry->Client(slot).InUse);
}

void TestClsControl::bansAndTheOrderOfTheirChecks() {
  Remote r;
  const QVariantList kept{"ip", "date", "reason"};
  const auto get = [&](const QString& name) {
    return r.Call("GetBanData", QVariantList{name} + kept + QVariantList{kKeep}).arguments();
  };
  // On an empty table.
  QCOMPARE(get("griefer"), kept + QVariantList{Report(5)});
  QCOMPARE(r.Ban("EditBan", "griefer", "1.2.3.4", 46000).arguments(), QVariantList{Report(10)});
  QCOMPARE(r.ErrData("DeleteBan", {"griefer", kKeep}), Report(13));

  QCOMPARE(r.Ban("CreateBan", "O'Brien", "10.0.0.1", 46000, "spam").arguments(), QVariantList{kKeep});
  // CreateBan: the empty check comes before the search for the name, and
  // before the date is looked at.
  QCOMPARE(r.Ban("CreateBan", "o'brien", "", 46000).arguments(), QVariantList{Report(9)});
  QCOMPARE(r.Ban("CreateBan", "", "10.0.0.2", 46000).arguments(), QVariantList{Report(9)});
  QCOMPARE(r.Ban("CreateBan", "x", "", std::nan("")).arguments(), QVariantList{Report(9)});
  QCOMPARE(r.Ban("CreateBan", "O'BRIEN", "10.0.0.2", 46000).arguments(), QVariantList{Report(8)});
  // The same address a second time is no reason to refuse.
  QCOMPARE(r.Ban("CreateBan", "again", "10.0.0.1", 46000).arguments(), QVariantList{kKeep});

  // EditBan: the IP check comes first.
  QCOMPARE(r.Ban("EditBan", "unknown", "", 46000).arguments(), QVariantList{Report(11)});
  QCOMPARE(r.Ban("EditBan", "O'Brien", "", 46000).arguments(), QVariantList{Report(11)});
  QCOMPARE(r.Ban("EditBan", "unknown", "1.1.1.1", 46000).arguments(), QVariantList{Report(10)});
  QCOMPARE(r.Ban("EditBan", "", "1.1.1.1", 46000).arguments(), QVariantList{Report(10)});
  QCOMPARE(get(""), kept + QVariantList{Report(5)});

  // A changed ban keeps its name and number; an empty reason has no value.
  QCOMPARE(r.Ban("EditBan", "o'brien", "10.0.0.9", 46000.75).arguments(), QVariantList{kKeep});
  QCOMPARE(get("O'Brien"), (QVariantList{"10.0.0.9", "12/9/2025 6:00:00 PM", "", kKeep}));
  const auto ban = r.h.db.bans().FindByName("O'Brien");
  QCOMPARE(*ban->Number, 1);
  QCOMPARE(*ban->Name, std::string("O'Brien"));
  QVERIFY(!ban->Reason);

  QCOMPARE(r.ErrData("DeleteBan", {"O'BRIEN", kKeep}), kKeep);
  QVERIFY(!r.h.db.bans().FindByName("O'Brien"));
  QCOMPARE(r.ErrData("DeleteBan", {"O'BRIEN", kKeep}), Report(13));
}

void TestClsControl::banNumbersAndDates() {
  Remote r;
  // Midnight shows the date alone; other times follow it.
  QCOMPARE(r.Ban("CreateBan", "a", "1.0.0.1", 46000.0, "one").arguments(), QVariantList{kKeep});
  QCOMPARE(r.Ban("CreateBan", "b", "1.0.0.2", 46000.5).arguments(), QVariantList{kKeep});
  QCOMPARE(r.Ban("CreateBan", "c", "1.0.0.3", 46001.25).arguments(), QVariantList{kKeep});
  const auto get = [&](const QString& name) {
    return r.Call("GetBanData", {name, "", "", "", kKeep}).arguments();
  };
  QCOMPARE(get("A"), (QVariantList{"1.0.0.1", "12/9/2025", "one", kKeep}));
  QCOMPARE(get("b"), (QVariantList{"1.0.0.2", "12/9/2025 12:00:00 PM", "", kKeep}));
  QCOMPARE(get("c"), (QVariantList{"1.0.0.3", "12/10/2025 6:00:00 AM", "", kKeep}));
  QCOMPARE(*r.h.db.bans().FindByName("a")->Number, 1);
  QCOMPARE(*r.h.db.bans().FindByName("c")->Number, 3);

  // A ban added outside the remote control without a date reads as empty.
  BanRecord undated;
  undated.Number = 200;
  undated.Name = "undated";
  undated.IP = "9.9.9.9";
  r.h.db.bans().Add(undated);
  QCOMPARE(get("undated"), (QVariantList{"9.9.9.9", "", "", kKeep}));

  // The count plus one, as long as that number is free: 5 for the fifth.
  QCOMPARE(r.Ban("CreateBan", "d", "1.0.0.4", 46000).arguments(), QVariantList{kKeep});
  QCOMPARE(*r.h.db.bans().FindByName("d")->Number, 5);
  // After deletions in the middle the count plus one (4) is taken; the new
  // ban gets the lowest free number instead of being lost.
  QCOMPARE(r.ErrData("DeleteBan", {"b", kKeep}), kKeep);
  QCOMPARE(r.ErrData("DeleteBan", {"undated", kKeep}), kKeep);
  QCOMPARE(r.Ban("CreateBan", "e", "1.0.0.5", 46000).arguments(), QVariantList{kKeep});
  QCOMPARE(*r.h.db.bans().FindByName("e")->Number, 4);
  QCOMPARE(r.Ban("CreateBan", "f", "1.0.0.6", 46000).arguments(), QVariantList{kKeep});
  QCOMPARE(*r.h.db.bans().FindByName("f")->Number, 2);
}

void TestClsControl::overlongTextsWriteNothing() {
  Remote r;
  const QString name16(16, 'n');
  QVERIFY(Error(r.Account("CreateAccount", name16, "", "", "", "", 0)).startsWith("Tarnwick.Error.Database: "));
  QVERIFY(Error(r.Account("CreateAccount", "alpha", "", QString(51, 'x'), "", "", 0))
              .startsWith("Tarnwick.Error.Database: "));
  QCOMPARE(r.h.db.accounts().Count(), 0);
  QCOMPARE(r.Account("CreateAccount", QString(15, 'u'), QString(15, 'p'), QString(50, 'n'),
                     QString(255, 'd'), QString(255, 'u'), 0)
               .arguments(),
           QVariantList{kKeep});
  QVERIFY(Error(r.Account("EditAccount", QString(15, 'u'), "pw", "ok", QString(256, 'd'), "", 1))
              .startsWith("Tarnwick.Error.Database: "));
  QCOMPARE(*r.h.db.accounts().Seek(std::string(15, 'u'))->Password, std::string(15, 'p'));

  QVERIFY(Error(r.Ban("CreateBan", name16, "1.1.1.1", 46000)).startsWith("Tarnwick.Error.Database: "));
  QVERIFY(Error(r.Ban("CreateBan", "n", "1111.1111.1111.1", 46000)).startsWith("Tarnwick.Error.Database: "));
  QVERIFY(Error(r.Ban("CreateBan", "n", "1.1.1.1", 46000, QString(256, 'r')))
              .startsWith("Tarnwick.Error.Database: "));
  QVERIFY(r.h.db.bans().Empty());
  QCOMPARE(r.Ban("CreateBan", "n", "1.1.1.1", 46000, QString(255, 'r')).arguments(), QVariantList{kKeep});
  QVERIFY(Error(r.Ban("EditBan", "n", "2.2.2.2", 46000, QString(256, 'r'))).startsWith("Tarnwick.Error.Database: "));
  QCOMPARE(*r.h.db.bans().FindByName("n")->IP, std::string("1.1.1.1"));
}

void TestClsControl::badDatesAndTexts() {
  Remote r;
  for (double date : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300, -1e300, 2958466.0,
                      -657435.0}) {
    QVERIFY2(Error(r.Ban("CreateBan", "x", "1.1.1.1", date)).startsWith("Tarnwick.Error.InvalidDate: "),
             qPrintable(QString::number(date)));
  }
  QVERIFY(r.h.db.bans().Empty());
  // Day 0 and days before it are dates like any other.
  QCOMPARE(r.Ban("CreateBan", "zero", "1.1.1.1", 0).arguments(), QVariantList{kKeep});
  QCOMPARE(r.Ban("CreateBan", "before", "1.1.1.2", -1.25).arguments(), QVariantList{kKeep});
  QCOMPARE(r.Call("GetBanData", {"zero", "", "", "", kKeep}).arguments().at(1), QVariant("12/30/1899"));
  QCOMPARE(r.Call("GetBanData", {"before", "", "", "", kKeep}).arguments().at(1),
           QVariant("12/29/1899 6:00:00 AM"));
  QVERIFY(Error(r.Ban("EditBan", "zero", "1.1.1.1", std::nan(""))).startsWith("Tarnwick.Error.InvalidDate: "));
  QCOMPARE(r.Call("GetBanData", {"zero", "", "", "", kKeep}).arguments().at(1), QVariant("12/30/1899"));

  // A character code page 1252 has no place for would turn into '?' and
  // then name another account; it is refused.
  QCOMPARE(Error(r.Account("CreateAccount", QStringLiteral("Ωmega"), "", "", "", "", 0)),
           QStringLiteral("Tarnwick.Error.InvalidText: User holds a character that code page 1252 "
                          "cannot represent"));
  QVERIFY(Error(r.Call("SendMessageToAll", {QStringLiteral("smile \U0001F600"), kKeep}))
              .startsWith("Tarnwick.Error.InvalidText: Message"));
  QCOMPARE(r.h.db.accounts().Count(), 0);
  QVERIFY(r.h.log.lines.empty());
  // The registry carries on.
  QCOMPARE(r.Call("OptionCount").arguments(), QVariantList{N(12)});
}

void TestClsControl::fullBansTableIsADatabaseFault() {
  Remote r;
  for (int n = 0; n <= 255; ++n) {
    BanRecord ban;
    ban.Number = n;
    ban.Name = "b" + std::to_string(n);
    ban.IP = "10.0.0.1";
    r.h.db.bans().Add(ban);
  }
  QVERIFY(Error(r.Ban("CreateBan", "one more", "1.1.1.1", 46000)).startsWith("Tarnwick.Error.Database: "));
  QCOMPARE(r.h.db.bans().Count(), 256);
}

void TestClsControl::propertiesBelongToEachCaller() {
  Remote r;
  auto alpha = r.h.NewServer("alpha");
  ControlClient other(QStringLiteral("other"));

  // Fresh: empty name, the live server list.
  QCOMPARE(r.client.Read("Username"), QVariant(QString()));
  QCOMPARE(r.client.Read("ServerList"), QVariant(QStringList{"alpha"}));
  QCOMPARE(r.client.Set("Username", QStringLiteral("Ann")).type(), QDBusMessage::ReplyMessage);
  QCOMPARE(r.client.Set("ServerList", QStringList{"x", "y"}).type(), QDBusMessage::ReplyMessage);
  QCOMPARE(r.client.Read("Username"), QVariant("Ann"));
  QCOMPARE(r.client.Read("ServerList"), QVariant(QStringList{"x", "y"}));
  // The other program sees its own values, and the server list follows the
  // servers online.
  QCOMPARE(other.Read("Username"), QVariant(QString()));
  auto beta = r.h.NewServer("beta");
  QCOMPARE(other.Read("ServerList"), QVariant(QStringList{"alpha", "beta"}));
  QCOMPARE(r.client.Read("ServerList"), QVariant(QStringList{"x", "y"}));
  QCOMPARE(r.h.console.ServerLines(), (std::vector<std::string>{"alpha", "beta"}));

  const QDBusMessage all = r.client.Call("GetAll", {"Tarnwick._clsControl"},
                                         "org.freedesktop.DBus.Properties");
  const QVariantMap values = qdbus_cast<QVariantMap>(all.arguments().value(0));
  QCOMPARE(values.value("Username"), QVariant("Ann"));
  QCOMPARE(qdbus_cast<QStringList>(values.value("ServerList")), (QStringList{"x", "y"}));

  QVERIFY(Error(r.client.Set("Username", 5)).startsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  QVERIFY(Error(r.client.Set("ServerList", "x")).startsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  QVERIFY(Error(r.client.Get("Nothing")).startsWith("org.freedesktop.DBus.Error.UnknownProperty"));
  QCOMPARE(r.client.Read("Username"), QVariant("Ann"));

  // A program that leaves takes its values with it.
  QCOMPARE(r.control.CallerCount(), 2);
  r.client.Leave();
  QTRY_COMPARE(r.control.CallerCount(), 1);
  ControlClient again(QStringLiteral("caller"));
  QCOMPARE(again.Read("Username"), QVariant(QString()));
}

void TestClsControl::callerCheck() {
  Remote r;
  uint seen = 12345;
  bool allow = false;
  r.control.SetCallerCheck([&](uint uid) { seen = uid; return allow; }, QStringLiteral("Not for you"));
  QCOMPARE(Error(r.Call("OptionCount")),
           QStringLiteral("org.freedesktop.DBus.Error.AccessDenied: Not for you"));
  QCOMPARE(seen, uint(getuid()));
  QVERIFY(Error(r.client.Get("Username")).startsWith("org.freedesktop.DBus.Error.AccessDenied"));
  QVERIFY(Error(r.client.Set("Username", "x")).startsWith("org.freedesktop.DBus.Error.AccessDenied"));
  QVERIFY(Error(r.Call("ShutdownServer", {"", ""})).startsWith("org.freedesktop.DBus.Error.AccessDenied"));
  QTest::qWait(50);
  QCOMPARE(r.stops, 0);
  // Anyone may still read what the interface is.
  QCOMPARE(r.client.Call("Introspect", {}, "org.freedesktop.DBus.Introspectable").type(),
           QDBusMessage::ReplyMessage);

  allow = true;
  ControlClient allowed(QStringLiteral("allowed"));
  QCOMPARE(allowed.Call("OptionCount").arguments(), QVariantList{N(12)});
}

void TestClsControl::shutdownServerStopsAfterReplying() {
  Remote r;
  QCOMPARE(r.Call("ShutdownServer", {"maintenance", kKeep}).arguments(), QVariantList{kKeep});
  QTRY_COMPARE(r.stops, 1);
}

QTEST_MAIN(TestClsControl)
#include "test_clscontrol.moc"
