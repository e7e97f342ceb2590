// The built tarnwickctl driving the built registry on the test's own
// session bus, as an operator would on a headless machine: what it prints,
// its JSON, its exit status, and what game servers then see over TCP. Its
// backups are test_tarnwickctl_backup's.
#include "ctl/CtlHarness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QJsonDocument Json(const Run& run) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(run.out.toUtf8(), &error);
  if (error.error != QJsonParseError::NoError) qWarning("not JSON: %s", qPrintable(run.out));
  return doc;
}

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
