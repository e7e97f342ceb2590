// The registry killed at a random moment, start-up compaction included:
// every account whose LoginAccepted arrived survives, and the database file
// passes SQLite's integrity check after the next start.
#include "common/Peer.h"
#include "common/RegistryProcess.h"
#include "storage/Database.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>
#include <QtTest>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <set>

namespace {

constexpr int kRounds = 9;
constexpr int kPrefilledAccounts = 50000;  // so compaction takes a while
constexpr int kConcurrentCreators = 4;

// Creates accounts over TCP, a few at a time, and remembers each one whose
// LoginAccepted arrived. Connections that fail (registry not listening yet,
// or killed) are simply tried again.
class AccountMaker {
 public:
  AccountMaker(std::uint16_t port, std::string prefix) : port_(port), prefix_(std::move(prefix)) {
    for (int i = 0; i < kConcurrentCreators; ++i) StartOne();
  }
  ~AccountMaker() {
    stopped_ = true;
    onConfirmed = nullptr;
    for (auto& s : sockets_) {
      QObject::disconnect(s.get(), nullptr, nullptr, nullptr);
      s->abort();
    }
  }
  std::vector<std::string> confirmed;
  int attempts = 0;
  std::function<void()> onConfirmed;  // called the moment one arrives

 private:
  void StartOne() {
    if (stopped_) return;
    auto* socket = new QTcpSocket();
    sockets_.emplace_back(socket);
    const std::string user = prefix_ + std::to_string(++attempts);
    auto received = std::make_shared<std::string>();
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, user] {
      const std::string body = Bytes({0}) + AccountPayload(user, "pw");
      const std::string packet = std::string{char(0), char(body.size())} + body;
      socket->write(packet.data(), qint64(packet.size()));
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, user, received] {
      if (stopped_) return;
      const QByteArray data = socket->readAll();
      received->append(data.constData(), std::size_t(data.size()));
      if (received->size() < 3) return;
      const std::size_t n = std::size_t(std::uint8_t((*received)[0])) * 256 + std::uint8_t((*received)[1]);
      if (received->size() < n + 2) return;
      if ((*received)[2] == 0) {
        confirmed.push_back(user);
        if (onConfirmed) onConfirmed();
      }
      Retire(socket);
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this, socket] { Retire(socket); });
    socket->connectToHost(QHostAddress::LocalHost, port_);
  }

  void Retire(QTcpSocket* socket) {
    if (stopped_) return;
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    socket->abort();
    for (auto& s : sockets_) {
      if (s.get() == socket) {
        s.release()->deleteLater();
        break;
      }
    }
    std::erase_if(sockets_, [](const auto& s) { return !s; });
    QTimer::singleShot(5, &context_, [this] { StartOne(); });
  }

  std::uint16_t port_;
  std::string prefix_;
  bool stopped_ = false;
  QObject context_;  // its timers end with the maker
  std::vector<std::unique_ptr<QTcpSocket>> sockets_;
};

struct FileCheck {
  QStringList integrity;  // "ok" when sound
  std::set<std::string> users;
};

FileCheck Inspect(const QString& path) {
  FileCheck check;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    check.integrity << QString("cannot open: %1").arg(sqlite3_errmsg(db));
    sqlite3_close(db);
    return check;
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
  while (st && sqlite3_step(st) == SQLITE_ROW)
    check.integrity << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_prepare_v2(db, "SELECT User FROM Servers", -1, &st, nullptr);
  while (st && sqlite3_step(st) == SQLITE_ROW)
    check.users.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return check;
}

}  // namespace

class TestKill : public QObject {
  Q_OBJECT
 private slots:
  void killedAtRandomLosesNoConfirmedAccount();
};

void TestKill::killedAtRandomLosesNoConfirmedAccount() {
  const quint32 seed = qEnvironmentVariableIsSet("TARNWICK_KILL_SEED")
                           ? quint32(qEnvironmentVariableIntValue("TARNWICK_KILL_SEED"))
                           : QRandomGenerator::global()->generate();
  qInfo("kill moments drawn with TARNWICK_KILL_SEED=%u", seed);
  QRandomGenerator random(seed);

  RegistryProcess registry;
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n");
  const QString folder = registry.folder.path();
  {
    Database db;
    db.Open(folder, folder);
    Database::Transaction t(db);
    for (int i = 0; i < kPrefilledAccounts; ++i) {
      AccountRecord a;
      a.User = "pre" + std::to_string(i);
      a.Password = "PW";
      a.Name = "A server made before the test";
      a.Description = "Long enough that compacting the file at start-up takes a moment.";
      a.UpdateURL = "http://update.example.net/";
      a.Official = 0;
      db.accounts().Add(a);
    }
    t.Commit();
  }

  // How long a start takes here, so that kills fall both into the start-up
  // (compaction) and into the time of account creation after it.
  QElapsedTimer clock;
  clock.start();
  QVERIFY(registry.Start());
  const qint64 startMs = clock.elapsed();
  QCOMPARE(registry.Terminate(), 0);

  std::vector<std::string> confirmed;
  int killedDuringStart = 0, killedWhileCompacting = 0;
  for (int round = 1; round <= kRounds; ++round) {
    // In turn: killed while starting, at a random moment while accounts
    // are made, and the instant a LoginAccepted arrives (when a reply that
    // left before its commit would be lost).
    const int kind = round % 3;
    const qint64 killAt = kind == 1 ? qint64(random.bounded(quint32(startMs))) + 1
                        : kind == 2 ? startMs + qint64(random.bounded(400u))
                                    : startMs + 2000;
    clock.restart();
    QVERIFY(registry.Launch());
    bool killed = false;
    {
      AccountMaker maker(registry.port, "k" + std::to_string(round) + "_");
      if (kind == 0) {
        const int after = int(random.bounded(20u));
        maker.onConfirmed = [&, after] {
          if (!killed && int(maker.confirmed.size()) > after) {
            registry.process.kill();
            killed = true;
          }
        };
      }
      while (!killed && clock.elapsed() < killAt) QTest::qWait(1);
      // A kill from the callback may already have been reaped while the
      // loop ran, and waitForFinished is false for a finished process.
      registry.process.kill();
      QVERIFY(registry.WaitForExit(5000));
      registry.output += QString::fromUtf8(registry.process.readAllStandardOutput());
      if (!registry.output.contains("has loaded")) ++killedDuringStart;
      if (QFile::exists(registry.Path("zvlt.tmp"))) ++killedWhileCompacting;
      confirmed.insert(confirmed.end(), maker.confirmed.begin(), maker.confirmed.end());
    }

    // The next start recovers whatever the kill left behind.
    QVERIFY2(registry.Start(), qPrintable("round " + QString::number(round) + ":\n" + registry.output +
                                          registry.process.readAllStandardError()));
    QCOMPARE(registry.Terminate(), 0);
    const FileCheck check = Inspect(registry.Path("zvlt.dat"));
    QCOMPARE(check.integrity, QStringList{"ok"});
    for (const std::string& user : confirmed)
      QVERIFY2(check.users.count(user), ("round " + std::to_string(round) + ": lost " + user).c_str());
    QCOMPARE(int(check.users.size()) >= kPrefilledAccounts + int(confirmed.size()), true);
  }
  qInfo("%d rounds, %d killed during start-up (%d while compacting), %zu accounts confirmed and kept",
        kRounds, killedDuringStart, killedWhileCompacting, confirmed.size());
}

QTEST_GUILESS_MAIN(TestKill)
#include "test_kill.moc"
