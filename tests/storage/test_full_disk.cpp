// The registry stopped while the disk that holds zvlt.dat is full: the
// write-ahead log is folded back into zvlt.dat, or standard error says in
// one line that it was not, and the next start folds it without losing an
// account. The disk is a small file system of the test's own (tmpfs, which
// needs root); zvlt.dat is a link into it, so the registry's executable
// stays outside.
#include "common/RegistryProcess.h"
#include "storage/Database.h"

#include <QtTest>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/mount.h>
#include <unistd.h>

namespace {

constexpr int kPrefilledAccounts = 2000;
// Enough new rows to split pages of the compacted file: folding them back
// then has to make zvlt.dat longer, which a full disk refuses.
constexpr int kNewAccounts = 200;

// A tmpfs of `size` mounted on a folder of its own, unmounted at the end.
class SmallDisk {
 public:
  explicit SmallDisk(const char* size) {
    const std::string options = std::string("size=") + size + ",mode=0755";
    if (::mount("tmpfs", QFile::encodeName(folder.path()).constData(), "tmpfs", 0, options.c_str()) == 0)
      mounted = true;
    else
      error = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted) ::umount2(QFile::encodeName(folder.path()).constData(), MNT_DETACH);
  }
  QString Path(const QString& name) const { return folder.filePath(name); }

  // Writes a file until the file system has no byte left; false if it
  // never reported itself full.
  bool Fill() {
    const int fd = ::open(QFile::encodeName(Path("filler")).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    static const char zeros[65536] = {};
    bool full = false;
    for (std::size_t chunk = sizeof zeros; chunk > 0; chunk /= 2) {
      while (true) {
        const ssize_t n = ::write(fd, zeros, chunk);
        if (n < 0 && errno == ENOSPC) {
          full = true;
          break;
        }
        if (n <= 0) break;
      }
    }
    ::close(fd);
    return full;
  }
  void Free() { QFile::remove(Path("filler")); }

  QTemporaryDir folder;
  bool mounted = false;
  std::string error;
};

std::set<std::string> Users(const QString& path, QString* integrity) {
  std::set<std::string> users;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *integrity = QString("cannot open: %1").arg(sqlite3_errmsg(db));
    sqlite3_close(db);
    return users;
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
  while (st && sqlite3_step(st) == SQLITE_ROW)
    *integrity += QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_prepare_v2(db, "SELECT User FROM Servers", -1, &st, nullptr);
  while (st && sqlite3_step(st) == SQLITE_ROW)
    users.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return users;
}

// NewAccount over TCP; true once LoginAccepted came back.
bool CreateAccount(std::uint16_t port, const std::string& user) {
  Client client(port);
  if (!client.connected) return false;
  std::string body{char(0)};
  body += user;
  body += '\0';
  body += "pw";
  client.SendPacket(body);
  const std::string length = client.Read(2);
  if (length.size() < 2) return false;
  const std::string reply = client.Read(std::size_t(std::uint8_t(length[0])) * 256 + std::uint8_t(length[1]));
  return !reply.empty() && reply[0] == 0;
}

// The lines of standard error that speak of the write-ahead log.
QStringList LinesAboutTheLog(const QString& errors) {
  QStringList lines;
  for (const QString& line : errors.split('\n'))
    if (line.contains("zvlt.dat-wal")) lines << line;
  return lines;
}

}  // namespace

class TestFullDisk : public QObject {
  Q_OBJECT
 private slots:
  void stopOnAFullDiskSaysWhatIsLeftAndTheNextStartFoldsIt();
};

void TestFullDisk::stopOnAFullDiskSaysWhatIsLeftAndTheNextStartFoldsIt() {
  if (::geteuid() != 0) QSKIP("a full disk is made with a tmpfs of the test's own, which needs root");
  SmallDisk disk("8m");
  if (!disk.mounted) QSKIP(qPrintable("a tmpfs cannot be mounted here (" + QString::fromStdString(disk.error) + ")"));

  RegistryProcess registry;
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff);
  {
    Database db;
    db.Open(disk.folder.path(), disk.folder.path());
    Database::Transaction t(db);
    for (int i = 0; i < kPrefilledAccounts; ++i) {
      AccountRecord a;
      a.User = "pre" + std::to_string(i);
      a.Password = "PW";
      a.Name = "A server made before the test";
      a.Description = "Its row takes room on the small disk.";
      db.accounts().Add(a);
    }
    t.Commit();
  }
  QVERIFY(QFile::link(disk.Path("zvlt.dat"), registry.Path("zvlt.dat")));
  QVERIFY2(registry.Start(), qPrintable(registry.output));
  std::vector<std::string> created;
  for (int i = 0; i < kNewAccounts; ++i) {
    const std::string user = "fd" + std::to_string(i);
    QVERIFY2(CreateAccount(registry.port, user), user.c_str());
    created.push_back(user);
  }
  const QString wal = disk.Path("zvlt.dat-wal");
  QVERIFY(QFileInfo(wal).size() > 0);

  QVERIFY2(disk.Fill(), "the small disk never reported itself full");
  QCOMPARE(registry.Terminate(), 0);
  const QString errors = QString::fromLocal8Bit(registry.process.readAllStandardError());
  const QStringList said = LinesAboutTheLog(errors);
  const bool left = QFileInfo::exists(wal);
  qInfo("after the stop on the full disk the log is %s%s", left ? "left beside zvlt.dat: " : "folded back",
        qPrintable(said.value(0)));
  // Left behind, it is named in exactly one line, with the reason and what
  // becomes of it; folded back, nothing is said about it.
  QVERIFY2(said.size() == (left ? 1 : 0), qPrintable(errors));
  if (left) {
    QVERIFY2(said[0].contains("No space left on device") || said[0].contains("full"), qPrintable(said[0]));
    QVERIFY2(said[0].contains("next start"), qPrintable(said[0]));
  }

  // With room again, the next start folds it, and every account is there.
  disk.Free();
  QVERIFY2(registry.Start(), qPrintable(registry.output + registry.process.readAllStandardError()));
  QCOMPARE(registry.Terminate(), 0);
  QVERIFY(!QFileInfo::exists(wal));
  QVERIFY(LinesAboutTheLog(QString::fromLocal8Bit(registry.process.readAllStandardError())).isEmpty());
  QString integrity;
  const std::set<std::string> users = Users(disk.Path("zvlt.dat"), &integrity);
  QCOMPARE(integrity, QString("ok"));
  QCOMPARE(int(users.size()), kPrefilledAccounts + kNewAccounts);
  for (const std::string& user : created) QVERIFY2(users.count(user), user.c_str());
}

QTEST_GUILESS_MAIN(TestFullDisk)
#include "test_full_disk.moc"
