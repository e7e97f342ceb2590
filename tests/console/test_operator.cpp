// The operator's interface Tarnwick.Operator as tarnwickctl and other
// programs use it: calls over a private session bus to the remote control
// published by this process, on a registry with loopback game servers.
#include "common/RegistryHarness.h"
#include "console/ControlClient.h"
#include "console/clsControl.h"

#include <QDBusArgument>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kOperator = QStringLiteral("Tarnwick.Operator");

// The rows of an array of structures, each as the list of its fields.
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

// Collects the LogLine signals that reach one connection.
class LogListener : public QObject {
  Q_OBJECT
 public:
  explicit LogListener(QDBusConnection& bus) {
    bus.connect(QStringLiteral("Tarnwick.clsControl"), QStringLiteral("/clsControl"), kOperator,
                QStringLiteral("LogLine"), this, SLOT(OnLine(QString)));
  }
  QStringList lines;
 public slots:
  void OnLine(const QString& line) { lines << line; }
};

// The registry in this process with its remote control on the session bus,
// its event log read from the harness's recorded lines, and one caller.
struct Remote {
  RegistryHarness h;
  clsControl control{*h.registry, h.db, h.console, h.log, [] {}};
  ControlClient client{QStringLiteral("operator")};

  Remote() {
    control.Operator().SetLogLines([this] {
      QStringList lines;
      for (const std::string& line : h.log.lines) lines << QString::fromStdString(line);
      return lines;
    });
    QString error;
    if (!control.Publish(QDBusConnection::sessionBus(), &error))
      qWarning("publish failed: %s", qPrintable(error));
  }
  // A line written to the event log, as the application's event log tells
  // the remote control of it.
  void Log(const std::string& line) {
    h.log.AddLogLine(line);
    control.Operator().OnLogLine(line);
  }
  QDBusMessage Call(const QString& member, const QVariantList& args = {}) {
    return client.Call(member, args, kOperator);
  }
  QVariant Property(const QString& name) {
    const QDBusMessage reply = client.Call(QStringLiteral("Get"), {kOperator, name},
                                           QStringLiteral("org.freedesktop.DBus.Properties"));
    return reply.arguments().value(0).value<QDBusVariant>().variant();
  }
  QDBusMessage SetProperty(const QString& name, const QVariant& value) {
    return client.Call(QStringLiteral("Set"), {kOperator, name, QVariant::fromValue(QDBusVariant(value))},
                       QStringLiteral("org.freedesktop.DBus.Properties"));
  }
  void AddAccount(const std::string& user, int official = 0) {
    AccountRecord row;
    row.User = user;
    row.Password = "PW";
    row.Name = user + " server";
    row.Description = "about " + user;
    row.UpdateURL = "http://" + user;
    row.Official = official;
    h.db.accounts().Add(row);
  }
};

// Members of the interface as "Name(in)->(out)", from introspection data.
QStringList Members(const QString& xml) {
  QStringList members;
  QXmlStreamReader reader(xml);
  bool ours = false;
  QString name, in, out;
  while (!reader.atEnd()) {
    reader.readNext();
    const auto attr = [&](const char* a) { return reader.attributes().value(QLatin1String(a)).toString(); };
    if (reader.isStartElement() && reader.name() == QLatin1String("interface")) ours = attr("name") == kOperator;
    if (!ours) continue;
    if (reader.isStartElement() && (reader.name() == QLatin1String("method") ||
                                    reader.name() == QLatin1String("signal"))) {
      name = reader.name().toString() + " " + attr("name");
      in.clear();
      out.clear();
    } else if (reader.isStartElement() && reader.name() == QLatin1String("arg")) {
      (attr("direction") == QLatin1String("out") ? out : in) += attr("type");
    } else if (reader.isStartElement() && reader.name() == QLatin1String("property")) {
      members << "property " + attr("name") + ":" + attr("type") + " " + attr("access");
    } else if (reader.isEndElement() && (reader.name() == QLatin1String("method") ||
                                         reader.name() == QLatin1String("signal"))) {
      members << name + "(" + in + ")->(" + out + ")";
    }
  }
  return members;
}

QVariant Sample(QChar type) {
  switch (type.toLatin1()) {
    case 'u': return 0u;
    case 'y': return QVariant::fromValue(uchar(0));
    default: return QString();
  }
}

// A descriptor as a call's argument.
QVariant Fd(int fd) { return QVariant::fromValue(QDBusUnixFileDescriptor(fd)); }

// What a query answers in the SQLite file at `path`, one value a row, or
// the error.
QStringList Query(const QString& path, const char* sql) {
  sqlite3* db = nullptr;
  QStringList found;
  if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    found << QStringLiteral("cannot open: ") + sqlite3_errmsg(db);
  } else {
    char* error = nullptr;
    sqlite3_exec(db, sql,
                 [](void* out, int, char** values, char**) {
                   static_cast<QStringList*>(out)->append(QString::fromUtf8(values[0]));
                   return 0;
                 },
                 &found, &error);
    if (error) found << QStringLiteral("error: ") + error;
    sqlite3_free(error);
  }
  sqlite3_close(db);
  return found;
}

// Every name in a folder, hidden ones too.
QStringList Entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                QDir::Name);
}

}  // namespace

class TestOperator : public QObject {
  Q_OBJECT
 private slots:
  void answersAsItsInterfaceSays();
  void listServers();
  void listAccountsInPages();
  void listBans();
  void counters();
  void eventLogGoesOnlyToFollowers();
  void commandsByUserName();
  void bansWithAndWithoutDate();
  void backup();
  void backupFailures();
  void callerCheck();
};

// Both interfaces are on the object, the new one as its installed file
// says, and each of its methods answers with the types declared.
void TestOperator::answersAsItsInterfaceSays() {
  Remote r;
  const QDBusMessage reply = r.client.Call(QStringLiteral("Introspect"), {},
                                           QStringLiteral("org.freedesktop.DBus.Introspectable"));
  const QString xml = reply.arguments().value(0).toString();
  QVERIFY(xml.contains("<interface name=\"Tarnwick._clsControl\">"));
  const QStringList members = Members(xml);
  QFile installed(QStringLiteral(TARNWICK_SOURCE_DIR "/packaging/Tarnwick.Operator.xml"));
  QVERIFY(installed.open(QIODevice::ReadOnly));
  QCOMPARE(members, Members(QString::fromUtf8(installed.readAll())));
  QCOMPARE(members.size(), 24);

  for (const QString& member : members) {
    if (!member.startsWith(QLatin1String("method "))) continue;
    const QString name = member.section(' ', 1).section('(', 0, 0);
    if (name == QLatin1String("Backup")) continue;  // tested on its own
    const QString in = member.section('(', 1, 1).section(')', 0, 0);
    const QString out = member.section("->(", 1, 1).chopped(1);
    QVariantList args;
    for (const QChar type : in) args << Sample(type);
    const QDBusMessage answer = r.Call(name, args);
    if (answer.type() == QDBusMessage::ErrorMessage) {
      // Refused for want of a server or a ban, but understood.
      QVERIFY2(answer.errorName().startsWith("Tarnwick.Error."), qPrintable(name + ": " + Error(answer)));
      continue;
    }
    QCOMPARE(answer.signature(), out);
  }
  QVERIFY(Error(r.Call("ListBans", {1})).startsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  QVERIFY(Error(r.Call("Nothing")).startsWith("org.freedesktop.DBus.Error.UnknownMethod"));
}

void TestOperator::listServers() {
  Remote r;
  r.AddAccount("beta", 1);
  auto alpha = r.h.NewServer("alpha");
  auto idle = r.h.Connect();  // never logs in
  auto beta = r.h.LoginServer("BETA", "pw");
  QVERIFY(r.h.SlotOf("BETA") > r.h.SlotOf("alpha"));
  beta->SendPacket(Bytes({7, 42}));
  beta->SendPacket(Bytes({5}) + "Beta World" + Bytes({0}) + "Caf\xE9");
  QTRY_COMPARE(r.h.registry->Client(r.h.SlotOf("BETA")).PlayerCount, std::uint8_t(42));
  QTRY_COMPARE(r.h.registry->Client(r.h.SlotOf("BETA")).Name, std::string("Beta World"));

  const QDBusMessage reply = r.Call("ListServers");
  QCOMPARE(reply.signature(), QStringLiteral("a(nssysyssss)"));
  const QList<QVariantList> rows = Rows(reply.arguments().value(0));
  QCOMPARE(rows.size(), 2);
  // Without a shared list no server is at a registry by name.
  QCOMPARE(rows[0], (QVariantList{N(qint16(r.h.SlotOf("alpha"))), "alpha", "127.0.0.1", Y(0),
                                  "<untitled>", Y(0), "", "", "127.0.0.1", ""}));
  // The user name as the server sent it at login; code page 1252 as Unicode.
  QCOMPARE(rows[1], (QVariantList{N(qint16(r.h.SlotOf("BETA"))), "BETA", "127.0.0.1", Y(42),
                                  "Beta World", Y(1), QStringLiteral("Café"), "http://beta", "127.0.0.1", ""}));

  // Mapped: the connection's own address, then the one players on the
  // internet are given.
  const IniEntry line{"127.0.0.0/8=203.0.113.5", true, "127.0.0.0/8", "203.0.113.5"};
  r.h.registry->SetAddressMap(AddressMap::Read({line}, nullptr));
  const QList<QVariantList> mapped = Rows(r.Call("ListServers").arguments().value(0));
  QCOMPARE(mapped[1].value(2), QVariant("127.0.0.1"));
  QCOMPARE(mapped[1].value(8), QVariant("203.0.113.5"));
}

void TestOperator::listAccountsInPages() {
  Remote r;
  {
    Database::Transaction t(r.h.db);
    for (int i = 0; i < 2001; ++i) r.AddAccount("u" + std::to_string(10000 + i));
    r.AddAccount("Alpha");
    r.AddAccount("zed");
    t.Commit();
  }
  QStringList users;
  QString after;
  int pages = 0;
  for (bool more = true; more; ++pages) {
    const QDBusMessage reply = r.Call("ListAccounts", {after});
    QCOMPARE(reply.signature(), QStringLiteral("a(ssssy)b"));
    for (const QVariantList& row : Rows(reply.arguments().value(0))) {
      QCOMPARE(row.size(), 5);  // never the password
      users << row[0].toString();
    }
    more = reply.arguments().value(1).toBool();
    after = users.last();
  }
  QCOMPARE(pages, 2);
  QCOMPARE(users.size(), 2003);
  // User index order, letter case ignored, each account once.
  QCOMPARE(users.first(), QStringLiteral("Alpha"));
  QCOMPARE(users[1], QStringLiteral("u10000"));
  QCOMPARE(users.last(), QStringLiteral("zed"));
  QCOMPARE(QSet<QString>(users.begin(), users.end()).size(), 2003);

  const QList<QVariantList> first = Rows(r.Call("ListAccounts", {""}).arguments().value(0));
  QCOMPARE(first.size(), 2000);
  QCOMPARE(first[0], (QVariantList{"Alpha", "Alpha server", "about Alpha", "http://Alpha", Y(0)}));
  // Starting after a name that is gone starts where it would stand.
  const QDBusMessage tail = r.Call("ListAccounts", {"ALPHA"});
  QCOMPARE(Rows(tail.arguments().value(0)).value(0).value(0), QVariant("u10000"));
  QCOMPARE(Rows(r.Call("ListAccounts", {"yy"}).arguments().value(0)).size(), 1);
  QCOMPARE(r.Call("ListAccounts", {"zed"}).arguments().value(1), QVariant(false));

  // Exactly one page's worth: one page, nothing more to ask for.
  for (const char* user : {"Alpha", "zed", "u10000"}) QVERIFY(r.h.db.accounts().Delete(user));
  const QDBusMessage whole = r.Call("ListAccounts", {""});
  QCOMPARE(Rows(whole.arguments().value(0)).size(), 2000);
  QCOMPARE(whole.arguments().value(1), QVariant(false));
}

void TestOperator::listBans() {
  Remote r;
  QVERIFY(Rows(r.Call("ListBans").arguments().value(0)).isEmpty());
  BanRecord dated;
  dated.Number = 7;
  dated.Name = "griefer";
  dated.IP = "10.0.0.7";
  dated.Reason = "spam";
  dated.UnbanDate = QDateTime(QDate(2027, 3, 19), QTime(18, 30, 5));
  r.h.db.bans().Add(dated);
  BanRecord plain;
  plain.Number = 2;
  plain.Name = "net";
  plain.IP = "10.1.0.0";
  r.h.db.bans().Add(plain);
  const QDBusMessage reply = r.Call("ListBans");
  QCOMPARE(reply.signature(), QStringLiteral("a(yssss)"));
  QCOMPARE(Rows(reply.arguments().value(0)),
           (QList<QVariantList>{{Y(2), "net", "10.1.0.0", "", ""},
                                {Y(7), "griefer", "10.0.0.7", "spam", "2027-03-19T18:30:05"}}));
}

void TestOperator::counters() {
  Remote r;
  QCOMPARE(r.Property("Connections"), QVariant(0));
  QCOMPARE(r.Property("AccessesPerHour"), QVariant(0));
  auto alpha = r.h.NewServer("alpha");
  r.h.clock.now += 1000;
  auto idle = r.h.Connect();
  QCOMPARE(r.Property("Connections"), QVariant(2));
  QCOMPARE(r.Property("ServersOnline"), QVariant(1));
  // Two accesses over the 1000 ms between them: 7200 an hour, as the main
  // window shows it.
  QCOMPARE(r.h.console.Status(), std::string("Accesses/Hour = 7200"));
  QCOMPARE(r.Property("AccessesPerHour"), QVariant(7200));

  const QDBusMessage all = r.client.Call(QStringLiteral("GetAll"), {kOperator},
                                         QStringLiteral("org.freedesktop.DBus.Properties"));
  QCOMPARE(qdbus_cast<QVariantMap>(all.arguments().value(0)).keys(),
           (QStringList{"AccessesPerHour", "AllowNewAccounts", "Connections", "ServersOnline"}));

  // The check mark, as the menu item sets it: new accounts are refused.
  QCOMPARE(r.Property("AllowNewAccounts"), QVariant(true));
  QCOMPARE(r.SetProperty("AllowNewAccounts", false).type(), QDBusMessage::ReplyMessage);
  QVERIFY(!r.h.console.AllowNewAccounts());
  auto refused = r.h.Connect();
  refused->SendPacket(Bytes({0}) + AccountPayload("gamma", "pw"));
  QTRY_COMPARE(refused->received, Bytes({0x00, 0x01, 0x03}));

  QVERIFY(Error(r.SetProperty("Connections", 5)).startsWith("org.freedesktop.DBus.Error.PropertyReadOnly"));
  QVERIFY(Error(r.SetProperty("AllowNewAccounts", 1)).startsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  QVERIFY(Error(r.SetProperty("Nothing", 1)).startsWith("org.freedesktop.DBus.Error.UnknownProperty"));
  // The older interface's properties are where they were.
  QCOMPARE(r.client.Read("Username"), QVariant(""));
}

// A follower gets the lines so far with its answer and each later line as a
// signal addressed to it; nobody else hears them, and nothing is sent once
// it stops following or leaves the bus.
void TestOperator::eventLogGoesOnlyToFollowers() {
  Remote r;
  r.Log("first");
  r.Log("second");
  QCOMPARE(r.Call("EventLog").arguments(), QVariantList{QStringList({"first", "second"})});

  ControlClient bystander(QStringLiteral("bystander"));
  LogListener overheard(bystander.bus());
  ControlClient follower(QStringLiteral("follower"));
  LogListener heard(follower.bus());
  r.Log("before anyone follows");
  QCOMPARE(follower.Call("FollowLog", {}, kOperator).arguments(),
           QVariantList{QStringList({"first", "second", "before anyone follows"})});
  QCOMPARE(r.control.Operator().FollowerCount(), 1);
  r.Log("third");
  r.Log("fourth");
  QTRY_COMPARE(heard.lines, QStringList({"third", "fourth"}));

  QCOMPARE(follower.Call("UnfollowLog", {}, kOperator).type(), QDBusMessage::ReplyMessage);
  r.Log("fifth");
  QCOMPARE(follower.Call("FollowLog", {}, kOperator).type(), QDBusMessage::ReplyMessage);
  r.Log("sixth");
  QTRY_COMPARE(heard.lines, QStringList({"third", "fourth", "sixth"}));
  follower.Leave();
  QTRY_COMPARE(r.control.Operator().FollowerCount(), 0);
  r.Log("seventh");
  QTest::qWait(100);
  QVERIFY(overheard.lines.isEmpty());
}

void TestOperator::commandsByUserName() {
  Remote r;
  auto alpha = r.h.NewServer("alpha");
  auto idle = r.h.Connect();
  QCOMPARE(r.Call("SendMessageTo", {"ALPHA", QStringLiteral("Hi é")}).type(), QDBusMessage::ReplyMessage);
  QTRY_COMPARE(alpha->received, Bytes({0x00, 0x05, 0x04, 'H', 'i', ' ', 0xE9}));
  alpha->received.clear();
  QCOMPARE(r.Call("AddGod", {"alpha", "Some One"}).type(), QDBusMessage::ReplyMessage);
  QTRY_COMPARE(alpha->received, Bytes({0x00, 0x09, 0x05}) + "Some One");

  for (const char* member : {"SendMessageTo", "AddGod"})
    QCOMPARE(Error(r.Call(QLatin1String(member), {"beta", "x"})),
             QStringLiteral("Tarnwick.Error.NotOnline: no server is online as beta"));
  QCOMPARE(Error(r.Call("AddGod", {"alpha", ""})), QStringLiteral("Tarnwick.Error.Refused: Name is empty"));
  QVERIFY(Error(r.Call("SendMessageTo", {"alpha", QString(65535, 'x')}))
              .startsWith("Tarnwick.Error.MessageTooLong"));
  QVERIFY(Error(r.Call("SendMessageTo", {QStringLiteral("alpha€\u4e00"), "x"}))
              .startsWith("Tarnwick.Error.InvalidText"));
  QCOMPARE(Error(r.Call("Disconnect", {""})), QStringLiteral("Tarnwick.Error.NotOnline: no server is online as "));

  QCOMPARE(r.Call("Disconnect", {"Alpha"}).type(), QDBusMessage::ReplyMessage);
  QTRY_VERIFY(alpha->Closed());
  QCOMPARE(r.h.log.lines.back(), std::string("alpha has disconnected from 127.0.0.1"));
  QVERIFY(Error(r.Call("Disconnect", {"alpha"})).startsWith("Tarnwick.Error.NotOnline"));
  QVERIFY(!idle->Closed());
}

void TestOperator::bansWithAndWithoutDate() {
  Remote r;
  QCOMPARE(r.Call("AddBan", {"forever", "10.0.0.1", "", ""}).type(), QDBusMessage::ReplyMessage);
  QCOMPARE(r.Call("AddBan", {"dated", "10.0.0.2", "2027-03-19", "spam"}).type(), QDBusMessage::ReplyMessage);
  QCOMPARE(r.Call("AddBan", {"timed", "10.0.0.3", "2027-03-19 18:00:00", ""}).type(),
           QDBusMessage::ReplyMessage);
  std::optional<BanRecord> ban = r.h.db.bans().FindByName("forever");
  QVERIFY(ban && !ban->UnbanDate && !ban->Reason);
  QCOMPARE(*ban->Number, 1);
  ban = r.h.db.bans().FindByName("dated");
  QCOMPARE(*ban->UnbanDate, QDateTime(QDate(2027, 3, 19), QTime(0, 0)));
  QCOMPARE(*ban->Reason, std::string("spam"));
  QCOMPARE(*r.h.db.bans().FindByName("timed")->UnbanDate, QDateTime(QDate(2027, 3, 19), QTime(18, 0)));

  // The checks of CreateBan and EditBan, in their order.
  QCOMPARE(Error(r.Call("AddBan", {"FOREVER", "", "", ""})),
           QStringLiteral("Tarnwick.Error.Refused: A ban name and IP must be entered"));
  QCOMPARE(Error(r.Call("AddBan", {"FOREVER", "10.9.9.9", "", ""})),
           QStringLiteral("Tarnwick.Error.Refused: The ban name specified already exists"));
  QCOMPARE(Error(r.Call("EditBan", {"nobody", "", "", ""})),
           QStringLiteral("Tarnwick.Error.Refused: An IP must be entered"));
  QCOMPARE(Error(r.Call("EditBan", {"nobody", "1.2.3.4", "", ""})),
           QStringLiteral("Tarnwick.Error.Refused: The ban name specified doesn't exist"));
  for (const char* date : {"19.03.2027", "2027-02-30", "3/19/2027", "tomorrow"})
    QVERIFY2(Error(r.Call("AddBan", {"new", "10.0.0.9", QLatin1String(date), ""})).startsWith("Tarnwick.Error.InvalidDate"),
             date);
  QVERIFY(!r.h.db.bans().FindByName("new"));

  // Editing takes the date off, and the reason.
  QCOMPARE(r.Call("EditBan", {"Dated", "10.0.0.20", "", ""}).type(), QDBusMessage::ReplyMessage);
  ban = r.h.db.bans().FindByName("dated");
  QVERIFY(!ban->UnbanDate && !ban->Reason);
  QCOMPARE(*ban->IP, std::string("10.0.0.20"));
  QCOMPARE(r.Call("EditBan", {"forever", "10.0.0.1", "2030-01-01T06:00:00", "now dated"}).type(),
           QDBusMessage::ReplyMessage);
  QCOMPARE(*r.h.db.bans().FindByName("forever")->UnbanDate, QDateTime(QDate(2030, 1, 1), QTime(6, 0)));
}

// The copy goes into the file behind the descriptor the caller passed, and
// nowhere else: no file appears in the registry's folder, in the target's
// folder or in the working folder.
void TestOperator::backup() {
  Remote r;
  r.AddAccount("alpha");
  auto beta = r.h.NewServer("beta");
  QTemporaryDir target;
  const QString path = target.filePath("copy.dat");
  const QStringList registryFolder = Entries(r.h.dir.path());
  const QStringList workFolder = Entries(QDir::currentPath());
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  QVERIFY(fd >= 0);

  QCOMPARE(Error(r.Call("Backup", {Fd(fd)})), QString());
  // Written where the descriptor stood; the caller's descriptor stays open.
  QVERIFY(::lseek(fd, 0, SEEK_CUR) > 0);
  QCOMPARE(::lseek(fd, 0, SEEK_CUR), ::lseek(fd, 0, SEEK_END));
  QCOMPARE(::close(fd), 0);
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
  QCOMPARE(Entries(r.h.dir.path()), registryFolder);
  QCOMPARE(Entries(QDir::currentPath()), workFolder);
  // The caller's file, as the caller made it.
  struct stat info {};
  QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
  QCOMPARE(info.st_mode & 0777, mode_t(0600));

  // A single self-contained file: it opens without a -wal beside it, and
  // reading it leaves none.
  QCOMPARE(Query(path, "PRAGMA integrity_check; PRAGMA journal_mode; SELECT User FROM Servers ORDER BY User"),
           (QStringList{"ok", "delete", "alpha", "beta"}));
  QCOMPARE(Query(path, "SELECT Password FROM Servers WHERE User = 'alpha'"), QStringList{"PW"});
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});

  // The registry goes on serving from its own file, and a later copy holds
  // what came since.
  auto gamma = r.h.NewServer("gamma");
  QVERIFY(r.h.SlotOf("gamma") > 0);
  const QString second = target.filePath("second.dat");
  const int again = ::open(QFile::encodeName(second).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  QCOMPARE(Error(r.Call("Backup", {Fd(again)})), QString());
  ::close(again);
  QCOMPARE(Query(second, "SELECT User FROM Servers ORDER BY User"), (QStringList{"alpha", "beta", "gamma"}));
  QCOMPARE(Entries(r.h.dir.path()), registryFolder);
}

// Refusals: a descriptor the registry may not or should not write, and a
// write that fails part way. Each says why; the registry opens no file of
// its own instead, and keeps serving.
void TestOperator::backupFailures() {
  Remote r;
  r.AddAccount("alpha");
  QTemporaryDir target;
  const QString path = target.filePath("copy.dat");
  const QStringList registryFolder = Entries(r.h.dir.path());
  QFile existing(path);
  QVERIFY(existing.open(QIODevice::WriteOnly));
  existing.write("an older copy");
  existing.close();
  const QString failed = QStringLiteral("Tarnwick.Error.Backup: cannot write the copy: ");

  // Open for reading only: the registry's own rights to the file do not
  // count.
  const int readOnly = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  QVERIFY(readOnly >= 0);
  QCOMPARE(Error(r.Call("Backup", {Fd(readOnly)})), failed + "the descriptor passed is not open for writing");
  ::close(readOnly);
  const int pathOnly = ::open(QFile::encodeName(path).constData(), O_PATH | O_CLOEXEC);
  QVERIFY(pathOnly >= 0);
  QVERIFY(Error(r.Call("Backup", {Fd(pathOnly)})).startsWith(failed));
  ::close(pathOnly);
  QCOMPARE(QFileInfo(path).size(), qint64(13));

  // A pipe nobody reads would hold up every game server.
  int pipe[2];
  QCOMPARE(::pipe2(pipe, O_CLOEXEC), 0);
  QCOMPARE(Error(r.Call("Backup", {Fd(pipe[1])})), failed + "the descriptor passed is not a regular file");
  ::close(pipe[0]);
  ::close(pipe[1]);

  // A write that fails part way, as on a full disk: here the file size
  // limit, which this process (the registry) has for a moment.
  const QString partial = target.filePath("partial.dat");
  const int fd = ::open(QFile::encodeName(partial).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  QVERIFY(fd >= 0);
  rlimit limit {};
  QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{4096, limit.rlim_max};
  const auto sigxfsz = std::signal(SIGXFSZ, SIG_IGN);
  QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const QString tooLarge = Error(r.Call("Backup", {Fd(fd)}));
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, sigxfsz);
  ::close(fd);
  QVERIFY2(tooLarge.startsWith(failed + "File too large after 4096 of "), qPrintable(tooLarge));
  QVERIFY(tooLarge.endsWith(" bytes"));

  // The path-taking form is gone: a path is no argument Backup takes, and
  // nothing is made there.
  const QString named = target.filePath("named.dat");
  QVERIFY(Error(r.Call("Backup", {named})).startsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  QVERIFY(Error(r.Call("Backup")).startsWith("org.freedesktop.DBus.Error.InvalidArgs"));

  QCOMPARE(Entries(target.path()), (QStringList{"copy.dat", "partial.dat"}));
  QCOMPARE(Entries(r.h.dir.path()), registryFolder);
  auto beta = r.h.NewServer("beta");
  QVERIFY(r.h.SlotOf("beta") > 0);
}

void TestOperator::callerCheck() {
  Remote r;
  r.h.console.SetAllowNewAccounts(true);
  r.control.SetCallerCheck([](uint) { return false; }, QStringLiteral("Not for you"));
  const QString denied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied: Not for you");
  QCOMPARE(Error(r.Call("ListServers")), denied);
  QCOMPARE(Error(r.Call("FollowLog")), denied);
  QCOMPARE(Error(r.Call("Nothing")), denied);
  QCOMPARE(Error(r.SetProperty("AllowNewAccounts", false)), denied);
  QVERIFY(r.h.console.AllowNewAccounts());
  QCOMPARE(r.control.Operator().FollowerCount(), 0);
}

QTEST_MAIN(TestOperator)
#include "test_operator.moc"
