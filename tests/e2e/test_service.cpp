// The registry as a service runs it: zvlt.dat keeps the mode and owner the
// operator gave it and stays a symbolic link if it is one, an updater that
// others could have put there is not started, and systemd hears READY only
// once the port is taken and the remote control is on the bus.
#include "common/Peer.h"
#include "common/RegistryProcess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QtTest>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct stat StatOf(const QString& path) {
  struct stat st {};
  lstat(QFile::encodeName(path).constData(), &st);
  return st;
}

std::string NewAccount(const std::string& user) { return Bytes({0}) + AccountPayload(user, "pw1"); }

// Creates an account over TCP and waits for the registry to log it.
bool CreateAccount(RegistryProcess& registry, const std::string& user) {
  Client server(registry.port);
  server.SendPacket(NewAccount(user));
  return server.Read(3) == Bytes({0x00, 0x0C, 0x00}) &&
         registry.WaitForOutput(QString::fromStdString("New account " + user + " created"));
}

int AccountCount(const QString& path) {
  sqlite3* db = nullptr;
  int rows = -1;
  if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM Servers", -1, &st, nullptr);
    if (st && sqlite3_step(st) == SQLITE_ROW) rows = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return rows;
}

// A unix datagram socket standing in for systemd's notification socket.
struct FakeNotifySocket {
  int fd = -1;
  std::vector<int> fillers;
  QString path;

  explicit FakeNotifySocket(const QString& where) : path(where) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = Address();
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~FakeNotifySocket() {
    for (int f : fillers) close(f);
    if (fd >= 0) close(fd);
  }
  sockaddr_un Address() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), std::min<std::size_t>(name.size(), sizeof address.sun_path - 1));
    return address;
  }
  // Fills the socket's queue, so that the next sender waits until the test
  // reads: a message that arrives is then held at the sender. A fresh
  // sender that cannot send means the queue, not its own buffer, is full.
  bool Fill() {
    const sockaddr_un address = Address();
    for (int senders = 0; senders < 64; ++senders) {
      const int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      fillers.push_back(filler);
      int sent = 0;
      while (sendto(filler, "X", 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 1)
        ++sent;
      if (errno != EAGAIN) return false;
      if (sent == 0) return true;
    }
    return false;
  }
  // Reads what has arrived until `text` comes or the time is up.
  bool Receive(const QByteArray& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (!deadline.hasExpired()) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0 && QByteArray(buffer, int(n)).split('\n').contains(text)) return true;
      if (n < 0) QTest::qWait(10);
    }
    return false;
  }
};

}  // namespace

class TestService : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { umask(022); }
  void databaseKeepsItsModeAndOwner();
  void linkedDatabaseStaysALink();
  void updaterOthersCouldWriteIsNotStarted();
  void readyComesOnceTheRemoteControlIsOnTheBus();
  void watchdogHearsTheLoopOnlyWhenTheUnitAsks();
};

void TestService::databaseKeepsItsModeAndOwner() {
  RegistryProcess registry;
  QVERIFY(registry.Start());
  const QString dat = registry.Path("zvlt.dat");
  QCOMPARE(StatOf(dat).st_mode & 0777, mode_t(0640));  // new, under umask 022
  QCOMPARE(registry.Terminate(), 0);

  // The operator's choice: readable by the owner alone (and, as root, the
  // file given to another user).
  QVERIFY(chmod(QFile::encodeName(dat).constData(), 0600) == 0);
  const bool root = geteuid() == 0;
  if (root) QVERIFY(chown(QFile::encodeName(dat).constData(), 65534, 65534) == 0);
  const struct stat chosen = StatOf(dat);
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n");
  for (int start = 1; start <= 2; ++start) {
    QVERIFY(registry.Start());
    QVERIFY(CreateAccount(registry, "keeper" + std::to_string(start)));
    for (const char* file : {"zvlt.dat", "zvlt.dat-wal", "zvlt.dat-shm"}) {
      const struct stat now = StatOf(registry.Path(file));
      QVERIFY2((now.st_mode & 0777) == 0600, file);
      QVERIFY2(now.st_uid == chosen.st_uid && now.st_gid == chosen.st_gid, file);
    }
    QCOMPARE(registry.Terminate(), 0);
    QCOMPARE(AccountCount(dat), start);
  }
  if (!root) QSKIP("the owner was the test's own: only root can give the file to another user");
}

void TestService::linkedDatabaseStaysALink() {
  QTemporaryDir data;
  const QString target = data.filePath("accounts.db");
  RegistryProcess registry;
  QVERIFY(QFile::link(target, registry.Path("zvlt.dat")));
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n");
  for (int start = 1; start <= 2; ++start) {
    QVERIFY(registry.Start());
    QVERIFY(CreateAccount(registry, "linked" + std::to_string(start)));
    QCOMPARE(registry.Terminate(), 0);
    QVERIFY(QFileInfo(registry.Path("zvlt.dat")).isSymLink());
    QCOMPARE(QFileInfo(registry.Path("zvlt.dat")).symLinkTarget(), target);
    // Compacted beside the target, nothing left there or in the folder.
    QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::System), QStringList{"accounts.db"});
    QVERIFY(!QFile::exists(registry.Path("zvlt.tmp")));
    QCOMPARE(AccountCount(target), start);
  }
}

void TestService::updaterOthersCouldWriteIsNotStarted() {
  RegistryProcess registry;
  const QString marker = registry.Path("updater-ran");
  {
    QFile update(registry.Path("regupdate.exe"));
    QVERIFY(update.open(QIODevice::WriteOnly));
    update.write("the next registry");
    QFile updater(registry.Path("updater.exe"));
    QVERIFY(updater.open(QIODevice::WriteOnly));
    updater.write("#!/bin/sh\ntouch '" + marker.toUtf8() + "'\n");
    updater.close();
    QVERIFY(chmod(QFile::encodeName(updater.fileName()).constData(), 0775) == 0);  // group may write
  }
  QVERIFY(registry.Start());
  QVERIFY(registry.WaitForOutput("The update was not started: updater.exe may be written by group or others."));
  QTest::qWait(1500);  // three ticks of the general timer more
  QCOMPARE(registry.process.state(), QProcess::Running);
  QVERIFY(!QFile::exists(marker));
  QCOMPARE(registry.output.count("The update was not started"), 1);
  // Still serving.
  Client player(registry.port);
  player.SendPacket(Bytes({3, 1}));
  QVERIFY(player.ClosedByPeer());  // no server online: the list request closes
  QCOMPARE(registry.Terminate(), 0);
}

void TestService::readyComesOnceTheRemoteControlIsOnTheBus() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) QSKIP("no session bus (run under dbus-run-session)");
  RegistryProcess registry;
  FakeNotifySocket notify(registry.Path("notify"));
  QVERIFY(notify.fd >= 0);
  // The registry's READY will wait at a full queue until the test reads:
  // whatever the registry does before it has happened by then, whatever it
  // does after has not.
  QVERIFY(notify.Fill());
  registry.keepSessionBus = true;
  registry.extraEnvironment.insert("NOTIFY_SOCKET", notify.path);
  QVERIFY(registry.Launch());
  QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered("Tarnwick.clsControl"), 15000);
  Client early(registry.port);
  QVERIFY(early.connected);  // the port was taken before
  QVERIFY(notify.Receive("READY=1", 10000));
  QVERIFY(registry.WaitForOutput("has loaded and is listening on port"));
  QCOMPARE(registry.Terminate(), 0);
}

// WatchdogSec= in the unit reaches the process as WATCHDOG_USEC; the
// registry then pings from its event loop, several times per interval.
void TestService::watchdogHearsTheLoopOnlyWhenTheUnitAsks() {
  RegistryProcess watched;
  FakeNotifySocket notify(watched.Path("notify"));
  QVERIFY(notify.fd >= 0);
  watched.extraEnvironment.insert("NOTIFY_SOCKET", notify.path);
  watched.extraEnvironment.insert("WATCHDOG_USEC", "3000000");
  QVERIFY(watched.Start());
  QElapsedTimer since;
  since.start();
  QVERIFY(notify.Receive("WATCHDOG=1", 5000));
  QVERIFY(notify.Receive("WATCHDOG=1", 2000));
  QVERIFY(notify.Receive("WATCHDOG=1", 2000));
  QVERIFY2(since.elapsed() < 3000, "three pings take less than one interval");
  QCOMPARE(watched.Terminate(), 0);

  RegistryProcess unwatched;
  FakeNotifySocket quiet(unwatched.Path("notify"));
  unwatched.extraEnvironment.insert("NOTIFY_SOCKET", quiet.path);
  QVERIFY(unwatched.Start());
  QVERIFY(!quiet.Receive("WATCHDOG=1", 1500));
  QCOMPARE(unwatched.Terminate(), 0);
}

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
