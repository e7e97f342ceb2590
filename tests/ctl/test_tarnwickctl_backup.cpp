// tarnwickctl backup: the copy it has the registry write while game servers
// write too, a file replaced only by a whole copy, and what it refuses to
// write through (links, other kinds of file), against the built registry and
// against a stand-in that answers as told.
#include "common/TestBackend.h"
#include "ctl/CtlHarness.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

class TestTarnwickctlBackup : public QObject {
  Q_OBJECT
 private slots:
  void backupWhileServersWrite();
  void backupReplacesOnlyOnSuccess();
  void backupRefusesLinksAndOddFiles();
  void backupOfASharedDatabaseSaysPgDump();
};

// With Database= the accounts are on a PostgreSQL server: the registry
// writes no copy and says how to make one; tarnwickctl makes no file.
void TestTarnwickctlBackup::backupOfASharedDatabaseSaysPgDump() {
  const std::string conninfo = testbackend::FreshDatabase();
  RegistryProcess registry;
  registry.keepSessionBus = true;
  registry.WriteSettings("[Kestrune]\nDatabase=" + QByteArray::fromStdString(conninfo) + "\n" + kLimitsOff);
  QVERIFY(registry.Start());
  QVERIFY(QTest::qWaitFor([] { return Ctl({"status"}).status == 0; }, 10000));
  QTemporaryDir target;
  const Run run = Ctl({"backup", target.filePath("copy.dat")});
  QCOMPARE(run.status, 1);
  QVERIFY2(run.err.contains("back it up there with pg_dump"), qPrintable(run.err));
  QVERIFY2(run.err.contains("was left as it was"), qPrintable(run.err));
  QCOMPARE(Entries(target.path()), QStringList());
}

void TestTarnwickctlBackup::backupWhileServersWrite() {
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
void TestTarnwickctlBackup::backupReplacesOnlyOnSuccess() {
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
void TestTarnwickctlBackup::backupRefusesLinksAndOddFiles() {
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

QTEST_MAIN(TestTarnwickctlBackup)
#include "test_tarnwickctl_backup.moc"
