// The built tarnwickctl driving the built registry on the test's own
// session bus, as an operator would on a headless machine: what it prints,
// its JSON, its exit status, and what game servers then see over TCP.
#include "common/RegistryProcess.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QtTest>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TARNWICKCTL_EXECUTABLE
#error "TARNWICKCTL_EXECUTABLE must name the built tarnwickctl"
#endif

namespace {

struct Run {
  int status = -1;
  QString out, err;
};

QProcessEnvironment SessionEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
  return env;
}

Run Ctl(const QStringList& args, const QProcessEnvironment& env = SessionEnvironment()) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), args);
  p.waitForFinished(30000);
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

QJsonDocument Json(const Run& run) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(run.out.toUtf8(), &error);
  if (error.error != QJsonParseError::NoError) qWarning("not JSON: %s", qPrintable(run.out));
  return doc;
}

std::string Packet(const std::string& body) {
  return std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body;
}

std::string Payload(const std::string& user, const std::string& password) {
  return user + std::string(1, '\0') + password;
}

// The registry on the session bus, new accounts allowed, once it answers.
struct Registry {
  RegistryProcess process;
  bool ready = false;

  explicit Registry(const QProcessEnvironment& extra = {}) {
    process.keepSessionBus = true;
    process.extraEnvironment = extra;
    process.WriteSettings("[Kestrune]\r\nAutoAllow=True\r\n" + kLimitsOff);
    if (!process.Start()) return;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && !ready) ready = Ctl({"status"}).status == 0;
  }

  // A game server that logged in with an existing account; null when it was
  // not accepted.
  std::unique_ptr<Client> Login(const std::string& user, const std::string& password,
                                const std::string& accepted) {
    auto server = std::make_unique<Client>(process.port);
    server->SendPacket(std::string(1, '\1') + Payload(user, password));
    if (server->Read(accepted.size()) != accepted) return nullptr;
    return server;
  }
  std::unique_ptr<Client> NewServer(const std::string& user) {
    auto server = std::make_unique<Client>(process.port);
    server->SendPacket(std::string(1, '\0') + Payload(user, "secret"));
    const std::string accepted = Packet(std::string(1, '\0') + "<untitled>" + std::string(1, '\0'));
    if (server->Read(accepted.size()) != accepted) return nullptr;
    return server;
  }
};

const char* const kCommands[] = {
    "status", "servers", "message", "boot", "god", "accounts", "accounts list", "accounts show",
    "accounts add", "accounts edit", "accounts delete", "bans", "bans list", "bans show",
    "bans add", "bans edit", "bans delete", "log", "allow-new-accounts", "backup", "shutdown"};

// A pseudo-terminal that becomes the controlling terminal of a process.
struct Terminal {
  int master = -1, slave = -1;
  Terminal() {
    openpty(&master, &slave, nullptr, nullptr, nullptr);
    fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~Terminal() {
    ::close(master);
    if (slave >= 0) ::close(slave);
  }
  void Attach(QProcess& p) {
    const int tty = slave;
    p.setChildProcessModifier([tty] {
      setsid();
      ioctl(tty, TIOCSCTTY, 0);
    });
  }
  // Everything the process wrote to the terminal until `text` shows (or the
  // time is up).
  QByteArray ReadUntil(const QByteArray& text, QProcess& p, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!seen.contains(text) && !deadline.hasExpired()) {
      char buffer[256];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0)
        seen.append(buffer, n);
      else
        p.waitForFinished(20);
    }
    return seen;
  }
  void Type(const QByteArray& line) { [[maybe_unused]] auto n = ::write(master, line.constData(), size_t(line.size())); }
  QByteArray seen;
};

// What the bash completion offers for the last of `words` (the words
// after the program's name, the last one being typed).
QStringList Complete(const QStringList& words) {
  QProcess bash;
  bash.setProcessEnvironment(SessionEnvironment());
  bash.start(QStringLiteral("bash"),
             QStringList{"-c",
                         "source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _tarnwickctl; "
                         "printf '%s\\n' \"${COMPREPLY[@]}\"",
                         QStringLiteral(TARNWICK_SOURCE_DIR "/packaging/tarnwickctl.bash-completion"),
                         QStringLiteral(TARNWICKCTL_EXECUTABLE)} +
                 words);
  bash.waitForFinished(10000);
  QStringList offered = QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  offered.sort();
  return offered;
}

// Every name in a folder, hidden ones too.
QStringList Entries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                QDir::Name);
}

QByteArray Contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void Write(const QString& path, const QByteArray& contents) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(contents);
}

// The users in the SQLite file at `path`, or the error.
QStringList Users(const QString& path) {
  sqlite3* db = nullptr;
  QStringList users;
  if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
    sqlite3_exec(db, "SELECT User FROM Servers ORDER BY User",
                 [](void* out, int, char** values, char**) {
                   static_cast<QStringList*>(out)->append(QString::fromUtf8(values[0]));
                   return 0;
                 },
                 &users, nullptr);
  else
    users << QStringLiteral("cannot open: ") + sqlite3_errmsg(db);
  sqlite3_close(db);
  return users;
}

// A registry stand-in on the test's session bus that answers Backup as
// told, to see what tarnwickctl does with the answer: it writes `bytes`
// into the descriptor it gets, then succeeds, refuses, leaves the bus
// without answering, or holds the call unanswered. What it found out about the descriptor it keeps.
class StandIn : public QDBusVirtualObject {
 public:
  enum class Answer { Succeed, Refuse, Leave, Hold };
  Answer answer = Answer::Succeed;
  QByteArray bytes = "a copy";
  int calls = 0;
  int accessMode = -1;
  struct stat file {};

  StandIn() : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kName)) {
    bus_.registerVirtualObject(QStringLiteral("/clsControl"), this);
    bus_.registerService(QStringLiteral("Tarnwick.clsControl"));
  }
  ~StandIn() override { Leave(); }

  void Leave() {
    if (left_) return;
    left_ = true;
    bus_.unregisterObject(QStringLiteral("/clsControl"));
    bus_ = QDBusConnection(QStringLiteral("left the bus"));
    QDBusConnection::disconnectFromBus(kName);
  }

  // tarnwickctl with these arguments, run to its end while this answers.
  Run Ctl(const QStringList& args, const QString& folder) {
    QProcess p;
    p.setProcessEnvironment(SessionEnvironment());
    p.setWorkingDirectory(folder);
    p.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), args);
    QDeadlineTimer deadline(30000);
    while (p.state() != QProcess::NotRunning && !deadline.hasExpired()) QTest::qWait(10);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
  }

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Backup")) return false;
    ++calls;
    const int fd = message.arguments().value(0).value<QDBusUnixFileDescriptor>().fileDescriptor();
    accessMode = ::fcntl(fd, F_GETFL) & O_ACCMODE;
    ::fstat(fd, &file);
    [[maybe_unused]] auto n = ::write(fd, bytes.constData(), std::size_t(bytes.size()));
    if (answer == Answer::Leave) QTimer::singleShot(0, [this] { Leave(); });
    if (answer == Answer::Leave || answer == Answer::Hold) return true;
    connection.send(answer == Answer::Succeed
                        ? message.createReply()
                        : message.createErrorReply(QStringLiteral("Tarnwick.Error.Backup"),
                                                   QStringLiteral("cannot write the copy: No space left on device")));
    return true;
  }

 private:
  static constexpr char kName[] = "stand-in registry";
  QDBusConnection bus_;
  bool left_ = false;
};

}  // namespace

class TestTarnwickctl : public QObject {
  Q_OBJECT
 private slots:
  void helpOnEveryCommand();
  void noRegistryRunning();
  void statusAndServers();
  void accounts();
  void accountsAddAsksOnTheTerminal();
  void bans();
  void messageBootGod();
  void logAndFollow();
  void refusedReportReachesTheFollowers();
  void allowNewAccountsAndShutdown();
  void backupWhileServersWrite();
  void backupReplacesOnlyOnSuccess();
  void backupRefusesLinksAndOddFiles();
  void bashCompletion();
};

void TestTarnwickctl::helpOnEveryCommand() {
  for (const char* command : kCommands) {
    const Run run = Ctl(QString::fromLatin1(command).split(' ') + QStringList{"--help"});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.startsWith(QStringLiteral("Usage: tarnwickctl %1 [options]").arg(command)),
             qPrintable(run.out));
    QVERIFY(run.out.contains("--system"));
  }
  const Run top = Ctl({"--help"});
  QCOMPARE(top.status, 0);
  for (const char* command : kCommands)
    if (!QByteArray(command).endsWith(" list")) QVERIFY2(top.out.contains(QLatin1String("  ") + command), command);
  const Run unknown = Ctl({"frobnicate"});
  QCOMPARE(unknown.status, 1);
  QCOMPARE(unknown.err, QStringLiteral("tarnwickctl: Unknown command 'frobnicate'. Try 'tarnwickctl --help'.\n"));
  QCOMPARE(Ctl({"boot"}).status, 1);
  QCOMPARE(Ctl({"status", "--bogus"}).status, 1);
}

void TestTarnwickctl::noRegistryRunning() {
  Run run = Ctl({"status"});
  QCOMPARE(run.status, 2);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: the registry is not running on the session bus\n"));
  QVERIFY(run.out.isEmpty());
  // Without a session bus it looks on the system bus, and --system asks
  // for it.
  QProcessEnvironment noSession = SessionEnvironment();
  noSession.remove("DBUS_SESSION_BUS_ADDRESS");
  for (const Run& system : {Ctl({"servers"}, noSession), Ctl({"--system", "accounts"})}) {
    QCOMPARE(system.status, 2);
    QCOMPARE(system.err, QStringLiteral("tarnwickctl: the registry is not running on the system bus\n"));
  }
  QCOMPARE(Ctl({"log", "--user"}, noSession).status, 2);
}

void TestTarnwickctl::statusAndServers() {
  Registry r;
  QVERIFY(r.ready);
  auto alpha = r.NewServer("alpha");
  auto beta = r.NewServer("beta");
  QVERIFY(alpha && beta);
  Client idle(r.process.port);
  beta->SendPacket(std::string{5} + "Beta World" + std::string(1, '\0') + "Line one\nline two");
  beta->SendPacket(std::string{7, 12});
  // Both packets handled: the count comes after the name.
  QTRY_VERIFY(Ctl({"servers"}).out.contains(QRegularExpression(" 12 +no +Beta World")));

  Run run = Ctl({"status"});
  QCOMPARE(run.status, 0);
  QVERIFY2(run.out.startsWith("Connections:     3\nServers online:  2\nAccesses/hour:   "), qPrintable(run.out));
  QVERIFY(run.out.endsWith("\nNew accounts:    allowed\n"));
  const QJsonObject status = Json(Ctl({"status", "--json"})).object();
  QCOMPARE(status.value("connections").toInt(), 3);
  QCOMPARE(status.value("serversOnline").toInt(), 2);
  QVERIFY(status.value("accessesPerHour").toInt() > 0);
  QCOMPARE(status.value("allowNewAccounts").toBool(), true);

  run = Ctl({"servers"});
  QCOMPARE(run.status, 0);
  QCOMPARE(run.out, QStringLiteral("SLOT  USER   ADDRESS    PLAYERS  OFFICIAL  NAME\n"
                                   "1     alpha  127.0.0.1  0        no        <untitled>\n"
                                   "2     beta   127.0.0.1  12       no        Beta World\n"));
  const QJsonArray servers = Json(Ctl({"servers", "--json"})).array();
  QCOMPARE(servers.size(), 2);
  QCOMPARE(servers[1].toObject(), (QJsonObject{{"slot", 2},
                                               {"user", "beta"},
                                               {"address", "127.0.0.1"},
                                               {"players", 12},
                                               {"name", "Beta World"},
                                               {"official", 0},
                                               {"description", "Line one\nline two"},
                                               {"updateUrl", ""}}));
}

void TestTarnwickctl::accounts() {
  Registry r;
  QVERIFY(r.ready);
  Run run = Ctl({"accounts", "add", "Alpha_1", "--password", "Secret1", "--name", "Alpha",
                 "--description", "Fun", "--official"});
  QCOMPARE(run.status, 0);
  QVERIFY(run.out.isEmpty() && run.err.isEmpty());
  QCOMPARE(Ctl({"accounts", "add", "beta", "--password", "pw_beta"}).status, 0);
  // The account logs in, the password in any letter case.
  const std::string accepted = Packet(std::string(1, '\0') + "Alpha" + std::string(1, '\0') + "Fun");
  auto alpha = r.Login("alpha_1", "SECRET1", accepted);
  QVERIFY(alpha);

  run = Ctl({"accounts", "add", "ALPHA_1", "--password", "other"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: The username selected already exists\n"));
  run = Ctl({"accounts", "add", "no way", "--password", "secret"});
  QCOMPARE(run.status, 1);
  QVERIFY(run.err.contains("3 to 15 characters"));
  QCOMPARE(Ctl({"accounts", "add", "gamma", "--password", "pw"}).status, 1);

  run = Ctl({"accounts"});
  QCOMPARE(run.out, QStringLiteral("USER     OFFICIAL  NAME   UPDATE URL\n"
                                   "Alpha_1  yes       Alpha\n"
                                   "beta     no\n"));
  QCOMPARE(Ctl({"accounts", "list"}).out, run.out);
  QCOMPARE(Json(Ctl({"accounts", "--json"})).array(),
           (QJsonArray{QJsonObject{{"user", "Alpha_1"}, {"name", "Alpha"}, {"description", "Fun"},
                                   {"updateUrl", ""}, {"official", 1}},
                       QJsonObject{{"user", "beta"}, {"name", ""}, {"description", ""},
                                   {"updateUrl", ""}, {"official", 0}}}));
  QVERIFY(!Ctl({"accounts", "--json"}).out.contains("Secret1"));

  // Only what is given changes.
  QCOMPARE(Ctl({"accounts", "edit", "beta", "--name", "Beta", "--update-url", "http://b", "--official"}).status, 0);
  run = Ctl({"accounts", "show", "BETA"});
  QCOMPARE(run.status, 0);
  QCOMPARE(run.out, QStringLiteral("User:         BETA\nName:         Beta\nDescription:\n"
                                   "Update URL:   http://b\nOfficial:     yes\n"));
  QCOMPARE(Ctl({"accounts", "edit", "beta", "--password", "New_pw", "--unofficial"}).status, 0);
  QCOMPARE(Json(Ctl({"accounts", "show", "beta", "--json"})).object(),
           (QJsonObject{{"user", "beta"}, {"name", "Beta"}, {"description", ""},
                        {"updateUrl", "http://b"}, {"official", 0}}));
  QVERIFY(r.Login("beta", "new_pw", Packet(std::string(1, '\0') + "Beta" + std::string(1, '\0'))));
  run = Ctl({"accounts", "show", "nobody"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: Account not found in database\n"));
  QCOMPARE(Ctl({"accounts", "edit", "nobody", "--name", "x"}).status, 1);

  // Deleting disconnects the server online with it, which then cannot log in.
  QCOMPARE(Ctl({"accounts", "delete", "alpha_1"}).status, 0);
  QVERIFY(alpha->ClosedByPeer());
  QVERIFY(!r.Login("alpha_1", "secret1", accepted));
  run = Ctl({"accounts", "delete", "alpha_1"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: The account specified does not exist\n"));
}

// The real prompt: twice, on the controlling terminal, without echo.
void TestTarnwickctl::accountsAddAsksOnTheTerminal() {
  Registry r;
  QVERIFY(r.ready);
  {
    Terminal tty;
    QProcess ctl;
    ctl.setProcessEnvironment(SessionEnvironment());
    tty.Attach(ctl);
    ctl.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"accounts", "add", "delta", "--name", "Delta"});
    QVERIFY(tty.ReadUntil("Password: ", ctl).endsWith("Password: "));
    tty.Type("Hidden_1\n");
    QVERIFY(tty.ReadUntil("Password again: ", ctl).endsWith("Password again: "));
    tty.Type("hidden_1\n");  // letter case aside, the same
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), 0);
    tty.ReadUntil("\n\n", ctl, 200);
    QVERIFY2(!tty.seen.contains("idden"), tty.seen.constData());
    QVERIFY(r.Login("delta", "HIDDEN_1", Packet(std::string(1, '\0') + "Delta" + std::string(1, '\0'))));
  }
  {
    Terminal tty;
    QProcess ctl;
    ctl.setProcessEnvironment(SessionEnvironment());
    tty.Attach(ctl);
    ctl.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"accounts", "add", "epsilon"});
    tty.ReadUntil("Password: ", ctl);
    tty.Type("one_pw\n");
    tty.ReadUntil("Password again: ", ctl);
    tty.Type("two_pw\n");
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), 1);
    QCOMPARE(ctl.readAllStandardError(), QByteArray("tarnwickctl: the two passwords entered do not match\n"));
  }
  // Without a terminal it says how else to give the password.
  QProcess detached;
  detached.setProcessEnvironment(SessionEnvironment());
  detached.setChildProcessModifier([] { setsid(); });
  detached.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"accounts", "add", "zeta"});
  QVERIFY(detached.waitForFinished(10000));
  QCOMPARE(detached.exitCode(), 1);
  QVERIFY(detached.readAllStandardError().contains("give it with --password"));
  QCOMPARE(Ctl({"accounts"}).out.count('\n'), 2);  // the heading and delta
}

void TestTarnwickctl::bans() {
  Registry r;
  QVERIFY(r.ready);
  QCOMPARE(Ctl({"bans", "add", "local2", "127.0.0.2", "--reason", "testing"}).status, 0);
  QCOMPARE(Ctl({"bans", "add", "griefer", "10.0.0.7", "--until", "3/19/2027"}).status, 0);
  QCOMPARE(Ctl({"bans", "add", "net", "10.1.0.0", "--until", "2027-03-19T18:30"}).status, 0);
  // A connection from the banned address is closed at once; others are not.
  Client banned(r.process.port, QHostAddress("127.0.0.2"));
  QVERIFY(banned.ClosedByPeer());
  Client other(r.process.port, QHostAddress("127.0.0.3"));
  QVERIFY(!other.ClosedByPeer(300));

  Run run = Ctl({"bans"});
  QCOMPARE(run.out, QStringLiteral("NUMBER  NAME     IP         UNTIL             REASON\n"
                                   "1       local2   127.0.0.2  never             testing\n"
                                   "2       griefer  10.0.0.7   2027-03-19\n"
                                   "3       net      10.1.0.0   2027-03-19 18:30\n"));
  const QJsonArray list = Json(Ctl({"bans", "--json"})).array();
  QCOMPARE(list.size(), 3);
  QCOMPARE(list[0].toObject(), (QJsonObject{{"number", 1}, {"name", "local2"}, {"ip", "127.0.0.2"},
                                            {"reason", "testing"}, {"until", QJsonValue()}}));
  QCOMPARE(list[1].toObject().value("until").toString(), QStringLiteral("2027-03-19T00:00:00"));
  QCOMPARE(Json(Ctl({"bans", "show", "GRIEFER", "--json"})).object(), list[1].toObject());
  QCOMPARE(Ctl({"bans", "show", "net"}).out,
           QStringLiteral("Number:  3\nName:    net\nIP:      10.1.0.0\nUntil:   2027-03-19 18:30\nReason:\n"));

  // Refusals, and dates it cannot read.
  run = Ctl({"bans", "add", "griefer", "10.0.0.8"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: The ban name specified already exists\n"));
  // An address banned already is refused, as the console's ban editor
  // refuses it.
  run = Ctl({"bans", "add", "again", "10.0.0.7"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: The IP specified is already banned\n"));
  QCOMPARE(Ctl({"bans", "show", "again"}).status, 1);
  run = Ctl({"bans", "add", "late", "10.0.0.9", "--until", "13/45/04"});
  QCOMPARE(run.status, 1);
  QVERIFY(run.err.contains("'13/45/04' is not a date"));
  QCOMPARE(Ctl({"bans", "show", "late"}).status, 1);
  // Two-digit years as the console's ban editor reads them.
  QCOMPARE(Ctl({"bans", "add", "y29", "10.0.0.29", "--until", "12/31/29"}).status, 0);
  QCOMPARE(Ctl({"bans", "add", "y30", "10.0.0.30", "--until", "01/02/30"}).status, 0);
  QVERIFY(Ctl({"bans", "show", "y29"}).out.contains("Until:   2029-12-31\n"));
  QVERIFY(Ctl({"bans", "show", "y30"}).out.contains("Until:   1930-01-02\n"));
  QCOMPARE(Ctl({"bans", "delete", "y29"}).status, 0);
  QCOMPARE(Ctl({"bans", "delete", "y30"}).status, 0);

  // Only what is given changes; "never" takes the date off.
  QCOMPARE(Ctl({"bans", "edit", "griefer", "--until", "never", "--reason", "spam"}).status, 0);
  QCOMPARE(Ctl({"bans", "edit", "net", "--ip", "10.2.0.0"}).status, 0);
  QCOMPARE(Ctl({"bans", "edit", "nobody", "--ip", "1.2.3.4"}).status, 1);
  run = Ctl({"bans"});
  QVERIFY2(run.out.contains("2       griefer  10.0.0.7   never             spam\n"), qPrintable(run.out));
  QVERIFY(run.out.contains("3       net      10.2.0.0   2027-03-19 18:30\n"));

  QCOMPARE(Ctl({"bans", "delete", "Local2"}).status, 0);
  run = Ctl({"bans", "delete", "local2"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: The ban specified does not exist\n"));
  Client welcome(r.process.port, QHostAddress("127.0.0.2"));
  QVERIFY(!welcome.ClosedByPeer(300));
}

void TestTarnwickctl::messageBootGod() {
  Registry r;
  QVERIFY(r.ready);
  auto alpha = r.NewServer("alpha");
  auto beta = r.NewServer("beta");
  QVERIFY(alpha && beta);

  QCOMPARE(Ctl({"message", "--to", "ALPHA", "Restart", "at", "five"}).status, 0);
  QCOMPARE(alpha->Read(18), Packet("\x04Restart at five"));
  QCOMPARE(Ctl({"message", "Hello all"}).status, 0);
  QCOMPARE(alpha->Read(12), Packet("\x04Hello all"));
  QCOMPARE(beta->Read(12), Packet("\x04Hello all"));
  QVERIFY(Ctl({"log"}).out.endsWith("Server Message: Hello all\n"));

  QCOMPARE(Ctl({"god", "beta", "Some One"}).status, 0);
  QCOMPARE(beta->Read(11), Packet("\x05Some One"));

  Run run = Ctl({"message", "--to", "gamma", "hi"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: no server is online as gamma\n"));
  QCOMPARE(Ctl({"god", "gamma", "x"}).status, 1);

  QCOMPARE(Ctl({"boot", "alpha"}).status, 0);
  QVERIFY(alpha->ClosedByPeer());
  run = Ctl({"boot", "alpha"});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: no server is online as alpha\n"));
  QVERIFY(!beta->ClosedByPeer(200));
}

// A game server's report that the database refuses is an error the operator
// must see: it reaches the event log, so `log -f` shows it as it happens.
void TestTarnwickctl::refusedReportReachesTheFollowers() {
  Registry r;
  QVERIFY(r.ready);
  auto alpha = r.NewServer("alpha");
  QVERIFY(alpha);
  QProcess follow;
  follow.setProcessEnvironment(SessionEnvironment());
  follow.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"log", "-f"});
  QString seen;
  QDeadlineTimer started(10000);
  while (!seen.contains("has loaded") && !started.hasExpired()) {
    follow.waitForReadyRead(50);
    seen += QString::fromUtf8(follow.readAllStandardOutput());
  }
  QVERIFY(seen.contains("has loaded"));
  // Another connection holds the database's write lock past the registry's
  // wait for it, so the write of the report is refused.
  sqlite3* lock = nullptr;
  QCOMPARE(sqlite3_open(QFile::encodeName(r.process.Path("zvlt.dat")).constData(), &lock), SQLITE_OK);
  QCOMPARE(sqlite3_exec(lock, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  alpha->SendPacket(std::string{5} + "Alpha World" + std::string(1, '\0') + "refused");
  const QString refused = QStringLiteral("Server information of alpha not stored: ");
  QDeadlineTimer shown(20000);
  while (!seen.contains(refused) && !shown.hasExpired()) {
    follow.waitForReadyRead(50);
    seen += QString::fromUtf8(follow.readAllStandardOutput());
  }
  sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(lock);
  QVERIFY2(seen.contains(refused), qPrintable(seen));
  ::kill(pid_t(follow.processId()), SIGTERM);
  QVERIFY(follow.waitForFinished(5000));
}

void TestTarnwickctl::logAndFollow() {
  Registry r;
  QVERIFY(r.ready);
  const QString loaded = QStringLiteral("Kestrune v1.0.0 has loaded and is listening on port %1 for connections.")
                             .arg(r.process.port);
  QCOMPARE(Ctl({"log"}).out, loaded + '\n');
  QCOMPARE(Json(Ctl({"log", "--json"})).array(), QJsonArray{loaded});

  for (const int stop : {SIGINT, SIGTERM}) {
    QProcess follow;
    follow.setProcessEnvironment(SessionEnvironment());
    follow.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"log", "-f"});
    QString seen;
    QDeadlineTimer started(10000);
    while (!seen.contains(loaded) && !started.hasExpired()) {
      follow.waitForReadyRead(50);
      seen += QString::fromUtf8(follow.readAllStandardOutput());
    }
    QVERIFY(seen.startsWith(loaded + '\n'));
    // A line logged after it started shows within a second.
    const std::string user = stop == SIGINT ? "follow_a" : "follow_b";
    auto server = r.NewServer(user);
    QVERIFY(server);
    QElapsedTimer shown;
    shown.start();
    const QString line = QString::fromStdString("New account " + user + " created from 127.0.0.1\n");
    while (!seen.contains(line) && shown.elapsed() < 1000) {
      follow.waitForReadyRead(10);
      seen += QString::fromUtf8(follow.readAllStandardOutput());
    }
    QVERIFY2(seen.endsWith(line), qPrintable(seen));
    ::kill(pid_t(follow.processId()), stop);
    QVERIFY(follow.waitForFinished(5000));
    QCOMPARE(follow.exitStatus(), QProcess::NormalExit);
    QCOMPARE(follow.exitCode(), 0);
  }

  // Following ends when the registry goes.
  QProcess follow;
  follow.setProcessEnvironment(SessionEnvironment());
  follow.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"log", "--follow", "--json"});
  QVERIFY(follow.waitForReadyRead(10000));
  QVERIFY(follow.readLine().startsWith("\"Kestrune v1.0.0"));
  QCOMPARE(Ctl({"shutdown"}).status, 0);
  QVERIFY(follow.waitForFinished(5000));
  QCOMPARE(follow.exitCode(), 2);
  QCOMPARE(follow.readAllStandardError(), QByteArray("tarnwickctl: the registry stopped running on the session bus\n"));
}

void TestTarnwickctl::allowNewAccountsAndShutdown() {
  Registry r;
  QVERIFY(r.ready);
  QCOMPARE(Ctl({"allow-new-accounts"}).out, QStringLiteral("on\n"));
  QCOMPARE(Ctl({"allow-new-accounts", "off"}).status, 0);
  QCOMPARE(Ctl({"allow-new-accounts"}).out, QStringLiteral("off\n"));
  QVERIFY(Ctl({"status"}).out.endsWith("New accounts:    not allowed\n"));
  Client refused(r.process.port);
  refused.SendPacket(std::string(1, '\0') + Payload("alpha", "pw"));
  QCOMPARE(refused.Read(3), Packet("\x03"));
  QCOMPARE(Ctl({"allow-new-accounts", "maybe"}).status, 1);
  QCOMPARE(Ctl({"allow-new-accounts", "on"}).status, 0);
  QVERIFY(r.NewServer("alpha"));

  const Run run = Ctl({"shutdown"});
  QCOMPARE(run.status, 0);
  // It returns once the registry has gone.
  QCOMPARE(Ctl({"status"}).status, 2);
  QVERIFY(r.process.WaitForExit());
  QCOMPARE(r.process.process.exitCode(), 0);
}

// The copy holds every account confirmed before the call, while game
// servers go on writing to the database. It replaces the file there, and
// nothing else appears: not in the target's folder, nor in the registry's
// folder or its temporary folder.
void TestTarnwickctl::backupWhileServersWrite() {
  QTemporaryDir scratch;
  QProcessEnvironment extra;
  extra.insert("TMPDIR", scratch.path());
  extra.insert("SQLITE_TMPDIR", scratch.path());
  Registry r(extra);
  QVERIFY(r.ready);
  std::vector<std::unique_ptr<Client>> servers;
  for (int i = 0; i < 12; ++i) {
    servers.push_back(r.NewServer("server_" + std::to_string(i)));
    QVERIFY(servers.back());
  }
  QTemporaryDir target;
  const QString path = target.filePath("copy.dat");
  Write(path, "an older copy");
  QVERIFY(QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
  const QStringList registryFolder = Entries(r.process.folder.path());
  const QStringList temporaryFolder = Entries(scratch.path());  // the toolkit's runtime folder
  QProcess backup;
  backup.setProcessEnvironment(SessionEnvironment());
  backup.setWorkingDirectory(target.path());
  backup.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"backup", "copy.dat"});
  for (int round = 0; round < 20; ++round)
    for (std::size_t i = 0; i < servers.size(); ++i)
      servers[i]->SendPacket(std::string{5} + "Name " + std::to_string(round) + std::string(1, '\0') + "busy");
  QVERIFY(backup.waitForFinished(30000));
  QCOMPARE(backup.readAllStandardError(), QByteArray());
  QCOMPARE(backup.exitCode(), 0);

  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
  QCOMPARE(Entries(r.process.folder.path()), registryFolder);
  QCOMPARE(Entries(scratch.path()), temporaryFolder);
  // A new file of tarnwickctl's, private to its user and group.
  struct stat info {};
  QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
  QCOMPARE(info.st_mode & 0777, mode_t(0640));
  QCOMPARE(info.st_uid, ::geteuid());
  const QString shell = QStandardPaths::findExecutable("sqlite3");
  if (!shell.isEmpty()) {
    QProcess check;
    check.start(shell, {path, "PRAGMA integrity_check;"});
    QVERIFY(check.waitForFinished(10000));
    QCOMPARE(check.readAllStandardOutput(), QByteArray("ok\n"));
  }
  const QStringList users = Users(path);
  QCOMPARE(users.size(), 12);
  QVERIFY(users.contains("server_0") && users.contains("server_11"));

  // A folder that is not there.
  const Run run = Ctl({"backup", target.filePath("missing/copy.dat")});
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, "tarnwickctl: cannot write " + target.filePath("missing/copy.dat") +
                        ": No such file or directory\n");
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
}

// What tarnwickctl hands the registry, and what it does with the answer: a
// file at PATH is replaced only once the registry says the copy is done;
// when it refuses, leaves mid-way, or is not running, the earlier file stays
// as it was and the temporary file is gone.
void TestTarnwickctl::backupReplacesOnlyOnSuccess() {
  QTemporaryDir target;
  const QString path = target.filePath("copy.dat");
  Write(path, "an older copy");
  struct stat older {};
  QCOMPARE(::stat(QFile::encodeName(path).constData(), &older), 0);

  // No registry: nothing is made.
  Run run = Ctl({"backup", path});
  QCOMPARE(run.status, 2);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: the registry is not running on the session bus\n"));
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
  QCOMPARE(Contents(path), QByteArray("an older copy"));

  StandIn registry;
  // Refused after part of a copy was written.
  registry.answer = StandIn::Answer::Refuse;
  registry.bytes = "half a copy";
  run = registry.Ctl({"backup", "copy.dat"}, target.path());
  QCOMPARE(registry.calls, 1);
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, "tarnwickctl: cannot write the copy: No space left on device (" + path +
                        " was left as it was)\n");
  QCOMPARE(Contents(path), QByteArray("an older copy"));
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
  // What came was a new file beside PATH, open for writing only, never
  // the file at PATH itself.
  QCOMPARE(registry.accessMode, O_WRONLY);
  QVERIFY(S_ISREG(registry.file.st_mode));
  QCOMPARE(registry.file.st_dev, older.st_dev);
  QVERIFY(registry.file.st_ino != older.st_ino);
  QCOMPARE(registry.file.st_mode & 0777, mode_t(0640));

  // The registry leaves the bus before it answers.
  registry.answer = StandIn::Answer::Leave;
  run = registry.Ctl({"backup", path}, QDir::rootPath());
  QCOMPARE(registry.calls, 2);
  QCOMPARE(run.status, 2);
  QCOMPARE(run.err, QStringLiteral("tarnwickctl: the registry stopped running on the session bus "
                                   "before it answered Backup\n"));
  QCOMPARE(Contents(path), QByteArray("an older copy"));
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});

  // tarnwickctl stopped while it waits (Ctrl-C, kill).
  StandIn holding;
  holding.answer = StandIn::Answer::Hold;
  for (const int stop : {SIGINT, SIGTERM}) {
    QProcess waiting;
    waiting.setProcessEnvironment(SessionEnvironment());
    waiting.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), {"backup", path});
    const int before = holding.calls;
    QTRY_COMPARE_WITH_TIMEOUT(holding.calls, before + 1, 10000);
    QCOMPARE(Entries(target.path()).size(), 2);
    ::kill(pid_t(waiting.processId()), stop);
    QTRY_COMPARE(waiting.state(), QProcess::NotRunning);
    QCOMPARE(waiting.exitStatus(), QProcess::CrashExit);  // ended by the signal, as it asks
    QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
    QCOMPARE(Contents(path), QByteArray("an older copy"));
  }
  holding.Leave();

  // Done: the new file takes PATH's place.
  StandIn answering;
  answering.bytes = "the new copy";
  run = answering.Ctl({"backup", path}, QDir::rootPath());
  QCOMPARE(run.err, QString());
  QCOMPARE(run.status, 0);
  QCOMPARE(Contents(path), QByteArray("the new copy"));
  QCOMPARE(Entries(target.path()), QStringList{"copy.dat"});
  struct stat newer {};
  QCOMPARE(::stat(QFile::encodeName(path).constData(), &newer), 0);
  QCOMPARE(newer.st_ino, answering.file.st_ino);
}

// A symbolic link at PATH is neither followed nor replaced, and neither is
// anything that is not a regular file; the registry is not even asked.
void TestTarnwickctl::backupRefusesLinksAndOddFiles() {
  StandIn registry;
  QTemporaryDir target;
  const QString elsewhere = target.filePath("precious");
  Write(elsewhere, "not to be overwritten");
  const QString link = target.filePath("copy.dat");
  QVERIFY(QFile::link(elsewhere, link));
  Run run = registry.Ctl({"backup", "copy.dat"}, target.path());
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, "tarnwickctl: " + link + " is a symbolic link; name the file itself, or remove the "
                                             "link (nothing was written)\n");
  QCOMPARE(Contents(elsewhere), QByteArray("not to be overwritten"));
  QCOMPARE(QFileInfo(link).symLinkTarget(), elsewhere);
  // A dangling link too.
  const QString dangling = target.filePath("dangling.dat");
  QVERIFY(QFile::link(target.filePath("nothing"), dangling));
  QCOMPARE(registry.Ctl({"backup", dangling}, target.path()).status, 1);
  QVERIFY(!QFileInfo::exists(target.filePath("nothing")));
  // A folder, and a device.
  QVERIFY(QDir(target.path()).mkdir("folder"));
  run = registry.Ctl({"backup", "folder"}, target.path());
  QCOMPARE(run.status, 1);
  QCOMPARE(run.err, "tarnwickctl: " + target.filePath("folder") + " is not a regular file (nothing was written)\n");
  QCOMPARE(registry.Ctl({"backup", "/dev/null"}, target.path()).status, 1);
  QCOMPARE(registry.calls, 0);
  QCOMPARE(Entries(target.path()), (QStringList{"copy.dat", "dangling.dat", "folder", "precious"}));
  QVERIFY(QDir(target.filePath("folder")).isEmpty());
}

void TestTarnwickctl::bashCompletion() {
  QCOMPARE(Complete({"acc"}), QStringList{"accounts"});
  QCOMPARE(Complete({"accounts", ""}), (QStringList{"add", "delete", "edit", "list", "show"}));
  QCOMPARE(Complete({"log", "-"}), (QStringList{"--follow", "--help", "--json", "--system", "--user", "-f"}));
  QCOMPARE(Complete({"allow-new-accounts", "o"}), (QStringList{"off", "on"}));
  // Names come from the running registry.
  Registry r;
  QVERIFY(r.ready);
  auto alpha = r.NewServer("alpha");
  QVERIFY(alpha);
  QCOMPARE(Ctl({"accounts", "add", "another", "--password", "secret"}).status, 0);
  QCOMPARE(Ctl({"bans", "add", "griefer", "10.0.0.7"}).status, 0);
  QCOMPARE(Complete({"boot", ""}), QStringList{"alpha"});
  QCOMPARE(Complete({"message", "--to", "al"}), QStringList{"alpha"});
  QCOMPARE(Complete({"accounts", "edit", "a"}), (QStringList{"alpha", "another"}));
  QCOMPARE(Complete({"bans", "delete", ""}), QStringList{"griefer"});
}

QTEST_MAIN(TestTarnwickctl)
#include "test_tarnwickctl.moc"
