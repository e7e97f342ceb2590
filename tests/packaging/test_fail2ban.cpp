// The fail2ban filter and jail make install puts in /etc/fail2ban, as
// fail2ban itself reads them: the filter over lines written by hand (hostile
// user names among them) and over what the running registry writes when it
// refuses logins from two addresses; the jail, off until the operator turns
// it on.
#include "common/Peer.h"
#include "common/RegistryProcess.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString kSource = QStringLiteral(TARNWICK_SOURCE_DIR);
const QString kFilter = kSource + "/packaging/fail2ban/filter.d/tarnwick.conf";
const QString kJail = kSource + "/packaging/fail2ban/jail.d/tarnwick.conf";
const std::string kLoginRefused = Bytes({0x00, 0x01, 0x03});

struct Run {
  int status = -1;
  QString output;
};

Run Execute(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  Run run;
  if (!process.waitForFinished(60000)) return run;
  run.output = QString::fromUtf8(process.readAll());
  run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  return run;
}

void WriteText(const QString& path, const QByteArray& text) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text);
}

QString ReadText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// What fail2ban-regex finds in a log with the packaged filter: the address
// of each matched line in the order of the log, and its count of matched
// lines ("Lines: N lines, 0 ignored, M matched, K missed"), -1 when that
// summary is missing.
struct Found {
  QStringList addresses;
  int matched = -1;
  QString report;  // for the failure messages
};

Found Fail2banRegex(const QString& tool, const QString& log) {
  Found found;
  const QStringList common{"--encoding=UTF-8", log, kFilter};
  const Run ips = Execute(tool, QStringList{"--out=ip"} + common);
  const Run summary = Execute(tool, QStringList{"--print-all-matched"} + common);
  found.report = ips.output + summary.output;
  if (ips.status != 0 || summary.status != 0) return found;
  for (const QString& line : ips.output.split('\n', Qt::SkipEmptyParts)) found.addresses << line.trimmed();
  const QRegularExpressionMatch m =
      QRegularExpression("Lines: \\d+ lines, \\d+ ignored, (\\d+) matched").match(summary.output);
  if (m.hasMatch()) found.matched = m.captured(1).toInt();
  return found;
}

const char* const kNoRegex =
    "fail2ban-regex is not installed (apt-get install fail2ban): the filter is not tried";

QString Tool(const char* name) { return QStandardPaths::findExecutable(QString::fromLatin1(name)); }

// One login on a connection of its own from an address: true when it is
// refused and the connection then ends.
bool LoginRefused(std::uint16_t port, const char* from, const std::string& user,
                  const std::string& password) {
  Client c(port, QHostAddress(QString::fromLatin1(from)));
  if (!c.connected) return false;
  c.SendPacket(Bytes({1}) + AccountPayload(user, password));
  return c.Read(3) == kLoginRefused && c.ClosedByPeer();
}

// fail2ban's own configuration with the packaged filter and jail added,
// without the machine's jails: what fail2ban-client would run with.
bool StageConfiguration(const QString& dest) {
  const QString etc = "/etc/fail2ban";
  QDirIterator it(etc, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString relative = QDir(etc).relativeFilePath(it.next());
    if (relative.startsWith("jail.d/") || relative.endsWith(".local")) continue;
    QDir(dest).mkpath(QFileInfo(relative).path());
    if (!QFile::copy(it.filePath(), dest + "/" + relative)) return false;
  }
  QDir(dest).mkpath("jail.d");
  return QFile::copy(kFilter, dest + "/filter.d/tarnwick.conf") &&
         QFile::copy(kJail, dest + "/jail.d/tarnwick.conf");
}

}  // namespace

class TestFail2ban : public QObject {
  Q_OBJECT
 private slots:
  void filterTakesTheAddressAtTheLineEnd();
  void refusalsOfTheRunningRegistry();
  void jailStaysOffUntilTurnedOn();
};

void TestFail2ban::filterTakesTheAddressAtTheLineEnd() {
  const QString tool = Tool("fail2ban-regex");
  if (tool.isEmpty()) QSKIP(kNoRegex);
  // Each line with the address fail2ban must take from it, or none.
  const std::vector<std::pair<QByteArray, QString>> lines{
      {"Login refused for alice from 127.0.7.1: wrong password", "127.0.7.1"},
      {"Login refused for bob from 127.0.7.1: no such account", "127.0.7.1"},
      {"Login refused for carol from 127.0.7.2: account locked", "127.0.7.2"},
      {"Connections from 127.0.7.2 refused for 3599 seconds: too many failed logins.", "127.0.7.2"},
      // As the journal hands a line to fail2ban.
      {"host tarnwick[42]: Login refused for dave from 127.0.7.1: wrong password", "127.0.7.1"},
      {"host tarnwick[42]: Connections from 127.0.7.1 refused for 60 seconds: too many failed logins.",
       "127.0.7.1"},
      // User names that name another address: the last one counts.
      {"Login refused for x from 6.6.6.6: wrong password from 127.0.7.2: no such account", "127.0.7.2"},
      {"Login refused for x\\n from 6.6.6.6: wrong password from 127.0.7.1: wrong password", "127.0.7.1"},
      {"Login refused for  from 6.6.6.6: account locked from 127.0.7.2: no such account", "127.0.7.2"},
      {"Login refused for \xe2\x82\xac from 6.6.6.6: wrong password from 127.0.7.1: no such account",
       "127.0.7.1"},
      // Not refusals of this form.
      {"Login refused for x from 6.6.6.6: wrong password from 127.0.7.2: too many failed logins", ""},
      {"Login refused for x from 6.6.6.6: wrong password ", ""},
      {" from 6.6.6.6: wrong password", ""},
      {"x Login refused for y from 6.6.6.6: wrong password", ""},
      {"host tarnwick[42]: x Login refused for y from 6.6.6.6: wrong password", ""},
      {"host tarnwick[42]: x: Login refused for y from 6.6.6.6: wrong password", ""},
      {"Login refused for y from evil.example.com: wrong password", ""},
      {"Connections from 6.6.6.6 refused for 60 seconds: too many connections.", ""},
      {"Connections from 6.6.6.6 refused for 60 seconds: too many failed logins. ", ""},
      {"New account x created from 6.6.6.6", ""},
      {"x has connected successfully from 6.6.6.6", ""},
      // A name longer than any account's, as a journal cut at its LineMax
      // could leave it.
      {"Login refused for " + QByteArray(257, 'a') + " from 6.6.6.6: wrong password", ""},
  };
  QTemporaryDir dir;
  QByteArray log;
  QStringList expected;
  for (const auto& [line, address] : lines) {
    log += line + "\n";
    if (!address.isEmpty()) expected << address;
  }
  WriteText(dir.filePath("lines.txt"), log);
  const Found found = Fail2banRegex(tool, dir.filePath("lines.txt"));
  QVERIFY2(found.matched >= 0, qPrintable(found.report));
  QCOMPARE(found.addresses, expected);
  QCOMPARE(found.matched, int(expected.size()));
  // The longest name still taken.
  WriteText(dir.filePath("long.txt"),
            "Login refused for " + QByteArray(256, 'a') + " from 127.0.7.1: wrong password\n");
  QCOMPARE(Fail2banRegex(tool, dir.filePath("long.txt")).addresses, QStringList{"127.0.7.1"});
}

void TestFail2ban::refusalsOfTheRunningRegistry() {
  RegistryProcess registry;
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\nMaxFailedLoginsPerHour=8\n");
  const QString errors = registry.Path("stderr.txt");
  registry.process.setStandardErrorFile(errors);
  QVERIFY(registry.Start());
  const auto port = registry.port;
  {
    // The account's own server, from an address of its own.
    Client server(port, QHostAddress("127.0.7.9"));
    server.SendPacket(Bytes({0}) + AccountPayload("realm", "secret"));
    QCOMPARE(server.Read(3), Bytes({0x00, 0x0C, 0x00}));
    QVERIFY(registry.WaitForOutput("New account realm created from 127.0.7.9"));
  }
  // Ten guesses at its password from two addresses lock the account ...
  for (const char* from : {"127.0.7.1", "127.0.7.2"})
    for (int i = 0; i < 5; ++i) QVERIFY(LoginRefused(port, from, "realm", "guess" + std::to_string(i)));
  // ... to addresses it never logged in from, right password or not.
  QVERIFY(LoginRefused(port, "127.0.7.1", "realm", "secret"));
  // Names that would have the firewall ban someone else.
  const std::vector<std::string> hostile{
      "x\n from 6.6.6.6: wrong password",
      "x\nLogin refused for y from 6.6.6.6: wrong password\n",
      " from 6.6.6.6: wrong password",
  };
  for (const std::string& user : hostile) QVERIFY(LoginRefused(port, "127.0.7.2", user, "pw"));
  // The ninth failure of 127.0.7.2: the registry refuses it from now on,
  // with a line of its own instead of a ninth refusal.
  QVERIFY(LoginRefused(port, "127.0.7.2", "nobody", "pw"));
  QVERIFY(registry.WaitForOutput("Connections from 127.0.7.2 refused for"));
  QCOMPARE(registry.Terminate(), 0);

  // One line per refusal, whatever the names held.
  const QStringList lines = ReadText(errors).split('\n');
  QCOMPARE(lines.filter(QRegularExpression("^Login refused for ")).size(), 14);
  QCOMPARE(lines.filter(QRegularExpression("too many failed logins\\.$")).size(), 1);
  QCOMPARE(lines.filter("6.6.6.6").size(), 3);

  const QString tool = Tool("fail2ban-regex");
  if (tool.isEmpty()) QSKIP(kNoRegex);
  const Found found = Fail2banRegex(tool, errors);
  QVERIFY2(found.matched >= 0, qPrintable(found.report));
  QVERIFY2(!found.addresses.contains("6.6.6.6"), qPrintable(found.report));
  QCOMPARE(found.addresses.count("127.0.7.1"), 6);
  QCOMPARE(found.addresses.count("127.0.7.2"), 9);
  QCOMPARE(found.addresses.size(), 15);
  QCOMPARE(found.matched, 15);

  // The journal holds standard output as well: there only the registry's
  // own refusal of 127.0.7.2 is taken.
  WriteText(registry.Path("stdout.txt"), registry.output.toUtf8());
  const Found echoed = Fail2banRegex(tool, registry.Path("stdout.txt"));
  QCOMPARE(echoed.addresses, QStringList{"127.0.7.2"});
}

void TestFail2ban::jailStaysOffUntilTurnedOn() {
  const QString client = Tool("fail2ban-client");
  if (client.isEmpty() || !QFile::exists("/etc/fail2ban/jail.conf"))
    QSKIP("fail2ban is not installed (apt-get install fail2ban): the jail is not read");
  QTemporaryDir conf;
  QVERIFY(StageConfiguration(conf.path()));
  const Run off = Execute(client, {"-c", conf.path(), "-d"});
  QVERIFY2(off.status == 0 && !off.output.contains("ERROR"), qPrintable(off.output));
  QVERIFY2(!off.output.contains("'tarnwick'"), qPrintable(off.output));

  // As the operator turns it on: a file of its own beside the jail's.
  WriteText(conf.filePath("jail.d/tarnwick.local"), "[tarnwick]\nenabled = true\n");
  const Run on = Execute(client, {"-c", conf.path(), "-d"});
  QVERIFY2(on.status == 0 && !on.output.contains("ERROR"), qPrintable(on.output));
  for (const char* line : {"['add', 'tarnwick', 'systemd']",
                           "['set', 'tarnwick', 'addjournalmatch', '_SYSTEMD_UNIT=Kestrune.service']",
                           "['set', 'tarnwick', 'datepattern', '{NONE}']", "['start', 'tarnwick']"})
    QVERIFY2(on.output.contains(line), line);
  // The firewall closes the registry's port, and before the registry's own
  // limit (20 an hour by default) takes over.
  QVERIFY(on.output.contains("['port', '5679']") && on.output.contains("['protocol', 'tcp']"));
  const QRegularExpressionMatch retries =
      QRegularExpression("\\['set', 'tarnwick', 'maxretry', (\\d+)\\]").match(on.output);
  QVERIFY(retries.hasMatch());
  QVERIFY(retries.captured(1).toInt() > 1 && retries.captured(1).toInt() < 20);
  QCOMPARE(on.output.count("['set', 'tarnwick', 'addjournalmatch'"), 1);
}

QTEST_GUILESS_MAIN(TestFail2ban)
#include "test_fail2ban.moc"
