// The live list shared through a real PostgreSQL server of the test's own:
// two registries (two SharedList objects with their own connections) on one
// database, claims, releases and updates seen across them, dead and cut-off
// registries, the database going away and coming back, and the race of two
// claims of one account.
#include "common/PgServer.h"
#include "storage/Cp1252.h"
#include "storage/PgConnection.h"
#include "storage/SharedList.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <array>
#include <barrier>
#include <memory>

namespace {

using Claim = SharedList::Claim;

const std::string kA = "north-\xE9";  // code page 1252 text in the name too
const std::string kB = "south";
constexpr int kShortDead = 1500;

SharedServer Server(const std::string& user, std::uint8_t players = 0) {
  SharedServer s;
  s.user = user;
  s.ip = "10.0.0.5";
  s.listedIp = "203.0.113.5";
  s.players = players;
  s.name = "Caf\xE9 \x80 " + user;
  s.official = 1;
  s.description = "\xA9 a description";
  s.updateUrl = "http://example.org/\xE9";
  return s;
}

std::vector<std::string> Users(const SharedList& list) {
  std::vector<std::string> users;
  for (const SharedServer& s : list.Others()) users.push_back(s.user);
  return users;
}

std::vector<int> Indexes(const SharedList& list) {
  std::vector<int> indexes;
  for (const SharedServer& s : list.Others()) indexes.push_back(s.index);
  return indexes;
}

}  // namespace

class TestSharedList : public QObject {
  Q_OBJECT

 private:
  PgServer pg_;
  std::unique_ptr<PgConnection> admin_;
  std::string conninfo_;
  int databases_ = 0;

  std::string ConnInfo(const std::string& dbname, const std::string& user = "registry") const {
    return "host=" + pg_.SocketDir().toStdString() + " dbname=" + dbname + " user=" + user;
  }
  std::string Database() const { return "shared" + std::to_string(databases_); }

 private slots:
  void initTestCase() {
    QVERIFY2(pg_.Start(), qPrintable(pg_.error()));
    admin_ = std::make_unique<PgConnection>(ConnInfo("postgres"));
    // A role that can be barred from logging in: a registry cut off from
    // a database that the others still reach.
    admin_->Exec("CREATE ROLE cutoff LOGIN SUPERUSER");
  }

  // A database of its own for every case.
  void init() {
    ++databases_;
    admin_->Exec("CREATE DATABASE " + Database());
    conninfo_ = ConnInfo(Database());
  }

  void claimIsSeenElsewhereThroughNotify() {
    SharedList a(conninfo_, kA);
    SharedList b(conninfo_, kB);
    QVERIFY(a.Available());
    QVERIFY(a.Problem().empty());
    QSignalSpy changed(&b, &SharedList::othersChanged);
    SharedServer s = Server("\xC9mile", 7);
    std::string held;
    QCOMPARE(a.TakeEntry(s, &held), Claim::Claimed);
    QCOMPARE(s.index, 1);
    QCOMPARE(s.instance, kA);
    // Far sooner than the five-second safety read: the notification did it.
    QTRY_COMPARE_WITH_TIMEOUT(b.Others().size(), std::size_t(1), 1000);
    QVERIFY(b.Others()[0] == s);
    QVERIFY(a.Others().empty());
    QCOMPARE(changed.count(), 1);
  }

  void sameAccountInAnyCaseIsOnlineOnce() {
    SharedList a(conninfo_, kA);
    SharedList b(conninfo_, kB);
    SharedServer s = Server("\xC9mile");
    QCOMPARE(a.TakeEntry(s, nullptr), Claim::Claimed);
    std::string held;
    SharedServer other = Server("\xE9MILE");
    QCOMPARE(b.TakeEntry(other, &held), Claim::AlreadyOnline);
    QCOMPARE(held, kA);
    held.clear();
    SharedServer again = Server("\xE9mile");
    QCOMPARE(a.TakeEntry(again, &held), Claim::AlreadyOnline);
    QCOMPARE(held, kA);
    SharedServer ascii = Server("Foo");
    QCOMPARE(a.TakeEntry(ascii, nullptr), Claim::Claimed);
    SharedServer asciiOther = Server("fOO");
    QCOMPARE(b.TakeEntry(asciiOther, &held), Claim::AlreadyOnline);
    // The program's folding, not the database's: the division sign is no
    // small multiplication sign, and y diaeresis has its capital at 0x9F.
    SharedServer divide = Server("a\xF7");
    QCOMPARE(a.TakeEntry(divide, nullptr), Claim::Claimed);
    SharedServer times = Server("A\xD7");
    QCOMPARE(b.TakeEntry(times, nullptr), Claim::Claimed);
    SharedServer y = Server("\xFF");
    QCOMPARE(a.TakeEntry(y, nullptr), Claim::Claimed);
    SharedServer capitalY = Server("\x9F");
    QCOMPARE(b.TakeEntry(capitalY, &held), Claim::AlreadyOnline);
    // The database itself refuses a second entry of a name, whoever writes.
    try {
      PgConnection raw(conninfo_);
      raw.Exec("INSERT INTO tarnwick_online (list_index, user_key, instance) VALUES (200, $1, 'x')",
               {cp1252::ToUtf8("\xC9MILE")});
      QFAIL("a second entry of one name was taken");
    } catch (const PgError& e) {
      QCOMPARE(e.state(), std::string("23505"));
    }
  }

  void indexesAreTheLowestFreeAndReused() {
    SharedList a(conninfo_, kA);
    SharedList b(conninfo_, kB);
    std::vector<SharedServer> s;
    for (const char* user : {"one", "two", "three"}) {
      s.push_back(Server(user));
      QCOMPARE(a.TakeEntry(s.back(), nullptr), Claim::Claimed);
    }
    QCOMPARE(s[0].index, 1);
    QCOMPARE(s[1].index, 2);
    QCOMPARE(s[2].index, 3);
    SharedServer atB = Server("four");
    QCOMPARE(b.TakeEntry(atB, nullptr), Claim::Claimed);
    QCOMPARE(atB.index, 4);
    a.Release("TWO");
    SharedServer reuse = Server("five");
    QCOMPARE(b.TakeEntry(reuse, nullptr), Claim::Claimed);
    QCOMPARE(reuse.index, 2);
    SharedServer next = Server("six");
    QCOMPARE(a.TakeEntry(next, nullptr), Claim::Claimed);
    QCOMPARE(next.index, 5);
    // A released account may log in again, at the other registry too.
    SharedServer back = Server("Two");
    QCOMPARE(b.TakeEntry(back, nullptr), Claim::Claimed);
    QCOMPARE(back.index, 6);
    QTRY_COMPARE_WITH_TIMEOUT(Indexes(b), (std::vector<int>{1, 3, 5}), 1000);
    QCOMPARE(Users(b), (std::vector<std::string>{"one", "three", "six"}));
    QCOMPARE(Indexes(a), (std::vector<int>{2, 4, 6}));
  }

  void theListHoldsAtMost255() {
    SharedList a(conninfo_, kA);
    SharedList b(conninfo_, kB);
    for (int i = 1; i <= 255; ++i) {
      SharedServer s = Server("u" + std::to_string(i));
      QCOMPARE((i % 2 ? a : b).TakeEntry(s, nullptr), Claim::Claimed);
      QCOMPARE(s.index, i);
    }
    SharedServer extra = Server("extra");
    QCOMPARE(a.TakeEntry(extra, nullptr), Claim::ListFull);
    QCOMPARE(b.TakeEntry(extra, nullptr), Claim::ListFull);
    b.Release("u100");
    QCOMPARE(a.TakeEntry(extra, nullptr), Claim::Claimed);
    QCOMPARE(extra.index, 100);
    // A's 128 of the odd indexes, and the one taken last.
    QTRY_COMPARE_WITH_TIMEOUT(b.Others().size(), std::size_t(129), 1000);
    QCOMPARE(b.Others()[49].index, 99);
    QCOMPARE(b.Others()[50].index, 100);
  }

  void updatesAreSeenWithinASecondAndCoalesced() {
    SharedList a(conninfo_, kA);
    SharedList b(conninfo_, kB);
    PgConnection listener(conninfo_);
    listener.Exec("LISTEN tarnwick_online");
    SharedServer s = Server("busy");
    QCOMPARE(a.TakeEntry(s, nullptr), Claim::Claimed);
    QTRY_COMPARE_WITH_TIMEOUT(b.Others().size(), std::size_t(1), 1000);
    QTest::qWait(50);
    listener.TakeNotifications();
    for (int players = 1; players <= 100; ++players) {
      s.players = std::uint8_t(players);
      a.Update(s);
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(b.Others()[0].players), 100, 1500);
    QCOMPARE(b.Others()[0].index, 1);
    QTest::qWait(50);
    auto fromA = [&] {
      int n = 0;
      for (const auto& note : listener.TakeNotifications()) n += note.payload == cp1252::ToUtf8(kA);
      return n;
    };
    QCOMPARE(fromA(), 1);
    // Changes spread over two seconds: one write a tick, not one a change.
    for (int i = 0; i < 20; ++i) {
      s.players = std::uint8_t(i);
      s.name = "name " + std::to_string(i);
      a.Update(s);
      QTest::qWait(100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(b.Others()[0].name, std::string("name 19"), 1500);
    QTest::qWait(50);
    const int writes = fromA();
    QVERIFY2(writes >= 2 && writes <= 4, qPrintable(QString::number(writes)));
  }

  void aStoppedRegistrysServersGoAtOnce() {
    auto a = std::make_unique<SharedList>(conninfo_, kA, 60000);
    SharedList b(conninfo_, kB, 60000);
    SharedServer one = Server("one"), two = Server("two");
    QCOMPARE(a->TakeEntry(one, nullptr), Claim::Claimed);
    QCOMPARE(a->TakeEntry(two, nullptr), Claim::Claimed);
    QTRY_COMPARE_WITH_TIMEOUT(b.Others().size(), std::size_t(2), 1000);
    a.reset();
    QTRY_VERIFY_WITH_TIMEOUT(b.Others().empty(), 1000);
    PgConnection raw(conninfo_);
    QCOMPARE(raw.Exec("SELECT name FROM tarnwick_instances").Rows(), 1);
  }

  // A registry that was killed and starts again under its name takes back
  // its name at once: what its last run left goes, without waiting for the
  // heartbeat to grow old.
  void aRestartedRegistryClearsWhatItsLastRunLeft() {
    {
      SharedList a(conninfo_, kA, 60000);
      SharedList b(conninfo_, kB, 60000);
      SharedServer s = Server("left"), t = Server("kept");
      QCOMPARE(a.TakeEntry(s, nullptr), Claim::Claimed);
      QCOMPARE(b.TakeEntry(t, nullptr), Claim::Claimed);
    }
    PgConnection raw(conninfo_);
    raw.Exec("INSERT INTO tarnwick_instances VALUES ($1, now()), ($2, now())",
             {cp1252::ToUtf8(kA), kB});
    raw.Exec("INSERT INTO tarnwick_online (list_index, user_key, instance, \"user\")"
             " VALUES (1, 'LEFT', $1, 'left'), (2, 'KEPT', $2, 'kept')",
             {cp1252::ToUtf8(kA), kB});
    SharedList a(conninfo_, kA, 60000);
    QCOMPARE(Users(a), std::vector<std::string>{"kept"});
    QCOMPARE(raw.Exec("SELECT 1 FROM tarnwick_online WHERE instance = $1", {cp1252::ToUtf8(kA)})
                 .Rows(),
             0);
    SharedServer again = Server("LEFT");
    QCOMPARE(a.TakeEntry(again, nullptr), Claim::Claimed);
    QCOMPARE(again.index, 1);
  }

  // A loses the database while B keeps it: B drops A's servers once A's
  // heartbeat is older than deadAfterMs; when A is back, its catch-up puts
  // back what it still has, loses what another registry took meanwhile and
  // moves what lost its index.
  void aCutOffRegistryIsDroppedAndCatchesUp() {
    SharedList a(ConnInfo(Database(), "cutoff"), kA, kShortDead);
    SharedList b(conninfo_, kB, kShortDead);
    std::vector<SharedServer> own;
    a.SetOwnServers([&own] { return own; });
    QSignalSpy lost(&a, &SharedList::entryLost);
    QSignalSpy moved(&a, &SharedList::indexChanged);
    for (const char* user : {"X", "Y", "Z"}) {
      own.push_back(Server(user));
      QCOMPARE(a.TakeEntry(own.back(), nullptr), Claim::Claimed);
    }
    QTRY_COMPARE_WITH_TIMEOUT(b.Others().size(), std::size_t(3), 1000);

    admin_->Exec("ALTER ROLE cutoff NOLOGIN");
    admin_->Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = 'cutoff'");
    QTRY_VERIFY_WITH_TIMEOUT(!a.Available(), 2000);
    a.Release("Z");
    own.pop_back();
    QTRY_VERIFY_WITH_TIMEOUT(b.Others().empty(), kShortDead + 3000);
    SharedServer x = Server("x"), w = Server("W");
    QCOMPARE(b.TakeEntry(x, nullptr), Claim::Claimed);
    QCOMPARE(x.index, 1);
    QCOMPARE(b.TakeEntry(w, nullptr), Claim::Claimed);
    QCOMPARE(w.index, 2);

    admin_->Exec("ALTER ROLE cutoff LOGIN");
    QTRY_VERIFY_WITH_TIMEOUT(a.Available(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 2000);
    QCOMPARE(lost[0][0].toString(), QString("X"));
    QTRY_COMPARE_WITH_TIMEOUT(moved.count(), 1, 2000);
    QCOMPARE(moved[0][0].toString(), QString("Y"));
    QCOMPARE(moved[0][1].toInt(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(Users(b), std::vector<std::string>{"Y"}, 2000);
    QCOMPARE(Indexes(b), std::vector<int>{3});
    QCOMPARE(Users(a), (std::vector<std::string>{"x", "W"}));
  }

  // Two registries claim one account at the same moment, round after
  // round: the database lets exactly one have it.
  void ofTwoClaimsAtOnceExactlyOneWins() {
    constexpr int kRounds = 60;
    std::array<std::array<Claim, kRounds>, 2> results{};
    std::barrier step(2);
    auto worker = [&](int me) {
      SharedList list(conninfo_, me ? kB : kA);
      for (int round = 0; round < kRounds; ++round) {
        SharedServer s = Server(me ? "Racer" : "rACER");
        step.arrive_and_wait();
        results[me][round] = list.TakeEntry(s, nullptr);
        step.arrive_and_wait();
        list.Release("racer");
        step.arrive_and_wait();
      }
    };
    std::unique_ptr<QThread> first(QThread::create(worker, 0));
    std::unique_ptr<QThread> second(QThread::create(worker, 1));
    first->start();
    second->start();
    QVERIFY(first->wait(60000));
    QVERIFY(second->wait(60000));
    for (int round = 0; round < kRounds; ++round) {
      const int claimed = (results[0][round] == Claim::Claimed) + (results[1][round] == Claim::Claimed);
      const int refused =
          (results[0][round] == Claim::AlreadyOnline) + (results[1][round] == Claim::AlreadyOnline);
      QVERIFY2(claimed == 1 && refused == 1, qPrintable(QString("round %1").arg(round)));
    }
  }

  // Last: it stops the server that every case shares.
  void theDatabaseAwayAndBack() {
    SharedList a(conninfo_, kA);
    SharedList b(conninfo_, kB);
    QSignalSpy availability(&a, &SharedList::availabilityChanged);
    SharedServer x = Server("X"), y = Server("Y");
    QCOMPARE(a.TakeEntry(x, nullptr), Claim::Claimed);
    QCOMPARE(a.TakeEntry(y, nullptr), Claim::Claimed);
    QTRY_COMPARE_WITH_TIMEOUT(b.Others().size(), std::size_t(2), 1000);

    QVERIFY(pg_.StopServer());
    QTRY_COMPARE_WITH_TIMEOUT(availability.count(), 1, 3000);
    QCOMPARE(availability[0][0].toBool(), false);
    QVERIFY(!availability[0][1].toString().isEmpty());
    QVERIFY(!a.Available());
    QVERIFY(!a.Problem().empty());
    QElapsedTimer clock;
    clock.start();
    SharedServer late = Server("late");
    QCOMPARE(a.TakeEntry(late, nullptr), Claim::Unavailable);
    QVERIFY(clock.elapsed() < 2000);
    a.Release("y");
    x.players = 9;
    a.Update(x);
    // A registry starting now does not wait for the database, and says so.
    clock.restart();
    SharedList c(conninfo_, "late");
    QVERIFY(clock.elapsed() < 2000);
    QSignalSpy cAvailability(&c, &SharedList::availabilityChanged);
    QTRY_COMPARE_WITH_TIMEOUT(cAvailability.count(), 1, 1000);
    QCOMPARE(cAvailability[0][0].toBool(), false);
    QTest::qWait(2500);
    QCOMPARE(availability.count(), 1);
    QCOMPARE(cAvailability.count(), 1);

    QVERIFY(pg_.StartServer());
    QTRY_COMPARE_WITH_TIMEOUT(availability.count(), 2, 20000);
    QCOMPARE(availability[1][0].toBool(), true);
    QVERIFY(availability[1][1].toString().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(Users(b), std::vector<std::string>{"X"}, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(int(b.Others()[0].players), 9, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(cAvailability.count(), 2, 20000);
    QCOMPARE(Users(c), std::vector<std::string>{"X"});
  }

  void cleanupTestCase() {
    admin_.reset();
    pg_.Stop();
  }
};

QTEST_GUILESS_MAIN(TestSharedList)
#include "test_shared_list.moc"
