// The shared back end as two registries on one PostgreSQL server see it:
// one account per name whichever registry makes it, bans of one seen by the
// other within a second, and what each does while the server is away:
// ban checks from memory, every other use refused at once, no transaction
// carried over a lost connection, and working again once it is back.
#include "common/TestBackend.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"

#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <thread>

namespace {

AccountRecord Account(const std::string& user) {
  AccountRecord r;
  r.User = user;
  r.Password = "secret";
  r.Name = "Name of " + user;
  r.Official = 0;
  return r;
}

BanRecord Ban(int number, const std::string& name, const std::string& ip) {
  BanRecord b;
  b.Number = number;
  b.Name = name;
  b.IP = ip;
  return b;
}

// The code a call threw with, or 0 when it did not throw.
template <typename F>
int ThrownCode(F f) {
  try {
    f();
  } catch (const DatabaseError& e) {
    return e.code() == 0 ? 1 : e.code();
  }
  return 0;
}

}  // namespace

class TestSharedDatabase : public QObject {
  Q_OBJECT

  std::string conninfo_;
  std::unique_ptr<Database> a_, b_;  // two registries

  // Connects again as the registry's timer would, for at most ten seconds.
  static bool PollUntilReachable(Database& db) {
    return QTest::qWaitFor([&] {
      db.Poll();
      return db.Reachable();
    }, 10000);
  }

 private slots:
  void initTestCase() { testbackend::Server(); }
  void init() {
    conninfo_ = testbackend::FreshDatabase();
    a_ = std::make_unique<Database>();
    b_ = std::make_unique<Database>();
    a_->OpenShared(conninfo_);
    b_->OpenShared(conninfo_);
    QVERIFY2(a_->Reachable() && b_->Reachable(), a_->Problem().c_str());
    QVERIFY(a_->Shared() && a_->IsOpen());
  }
  void cleanup() {
    a_.reset();
    b_.reset();
    // A test that stopped the server leaves it running for the next.
    if (!testbackend::Server().Running()) QVERIFY(testbackend::Server().StartServer());
  }

  void tablesFollowTheSchema() {
    auto column = [&](const char* table, const char* name) {
      return testbackend::Raw(conninfo_,
                              std::string("SELECT data_type || coalesce('(' || "
                                          "character_maximum_length || ')', '') FROM "
                                          "information_schema.columns WHERE table_name = '") +
                                  table + "' AND column_name = '" + name + "'");
    };
    QCOMPARE(column("Servers", "User"), std::string("character varying(15)"));
    QCOMPARE(column("Servers", "Description"), std::string("character varying(255)"));
    QCOMPARE(column("Servers", "Official"), std::string("smallint"));
    QCOMPARE(column("Bans", "IP"), std::string("character varying(15)"));
    QCOMPARE(column("Bans", "UnbanDate"), std::string("timestamp without time zone"));
    QCOMPARE(column("Servers", "Id"), std::string("bigint"));
    QCOMPARE(testbackend::Raw(conninfo_, "SELECT version FROM tarnwick_schema"), std::string("1"));
    QCOMPARE(testbackend::Raw(conninfo_, "SELECT count(*) FROM tarnwick_schema"), std::string("1"));
  }

  // The unique key is on the program's folding: é and É are one letter,
  // whichever registry makes the second account.
  void oneAccountPerFoldedName() {
    a_->accounts().Add(Account("\xE9t\xE9"));  // été
    try {
      b_->accounts().Add(Account("\xC9T\xC9"));  // ÉTÉ
      QFAIL("a second \xE9t\xE9 was stored");
    } catch (const DatabaseError& e) {
      QVERIFY(e.Duplicate());
    }
    b_->accounts().Add(Account("\xE9t\xE0"));  // étà is another name
    QCOMPARE(a_->accounts().Count(), 2);
    QCOMPARE(*b_->accounts().Seek("\xC9T\xC9")->User, std::string("\xE9t\xE9"));
    QCOMPARE(testbackend::Raw(conninfo_, "SELECT \"UserKey\" FROM \"Servers\" ORDER BY \"Id\""),
             cp1252::ToUtf8("\xC9t\xC9"));  // A to Z in small letters, the rest in capitals
    // Ban names, unlike user names, need not differ.
    a_->bans().Add(Ban(1, "\xE9l", "10.0.0.1"));
    b_->bans().Add(Ban(2, "\xC9L", "10.0.0.2"));
    QCOMPARE(b_->bans().FindByName("\xC9l")->Number, std::optional<int>(1));
  }

  // Both registries looked and found no such account; the one whose insert
  // comes second waits for the first one's transaction and is refused.
  void duplicateMadeAtTheSameMoment() {
    Database::Transaction first(*b_);
    b_->accounts().Add(Account("Racer"));
    std::thread commit([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      first.Commit();
    });
    QVERIFY(!a_->accounts().Seek("racer"));
    const int code = ThrownCode([&] { a_->accounts().Add(Account("RACER")); });
    commit.join();
    QCOMPARE(code, DatabaseError::kDuplicate);
    QCOMPARE(a_->accounts().Count(), 1);
  }

  // No Poll: the notice of the change arrives on the connection's socket.
  void banOfOneRegistryReachesTheOtherWithinASecond() {
    QVERIFY(b_->bans().Empty());
    a_->bans().Add(Ban(1, "flooder", "127.8.0.0"));
    QVERIFY(a_->bans().FindByIP("127.8.0.0"));  // its own write, at once
    QTRY_VERIFY_WITH_TIMEOUT(b_->bans().FindByIP("127.8.0.0").has_value(), 1000);
    BanRecord change;
    change.IP = "127.9.0.0";
    QVERIFY(b_->bans().Edit(1, change));
    QTRY_VERIFY_WITH_TIMEOUT(a_->bans().FindByIP("127.9.0.0").has_value(), 1000);
    QVERIFY(!a_->bans().FindByIP("127.8.0.0"));
    QVERIFY(a_->bans().Delete(1));
    QTRY_VERIFY_WITH_TIMEOUT(b_->bans().Empty(), 1000);
    // A ban added in a transaction that rolls back is not seen anywhere.
    {
      Database::Transaction t(*a_);
      a_->bans().Add(Ban(2, "dropped", "127.7.7.7"));
    }
    QTest::qWait(200);
    QVERIFY(!a_->bans().FindByIP("127.7.7.7"));
    QVERIFY(!b_->bans().FindByIP("127.7.7.7"));
  }

  // While the server is away, a banned address stays refused; every other
  // read and write is refused at once; everything works again after.
  void serverAwayAndBack() {
    PgServer& server = testbackend::Server();
    a_->bans().Add(Ban(1, "kept", "127.6.0.1"));
    a_->accounts().Add(Account("before"));
    QVERIFY(server.StopServer());

    QVERIFY(a_->bans().FindByIP("127.6.0.1"));
    QVERIFY(!a_->bans().Empty());
    QCOMPARE(ThrownCode([&] { a_->accounts().Seek("before"); }), DatabaseError::kUnreachable);
    QVERIFY(!a_->Reachable());
    QVERIFY2(QString::fromStdString(a_->Problem()).contains("is unreachable"), a_->Problem().c_str());
    QCOMPARE(ThrownCode([&] { a_->accounts().Add(Account("during")); }), DatabaseError::kUnreachable);
    QCOMPARE(ThrownCode([&] { a_->bans().Add(Ban(2, "during", "1.2.3.4")); }), DatabaseError::kUnreachable);
    QCOMPARE(ThrownCode([&] { a_->bans().Delete(1); }), DatabaseError::kUnreachable);
    QCOMPARE(ThrownCode([&] { a_->bans().All(); }), DatabaseError::kUnreachable);
    QCOMPARE(ThrownCode([&] { Database::Transaction t(*a_); }), DatabaseError::kUnreachable);
    a_->Poll();  // nothing to connect to: no throw
    QVERIFY(a_->bans().FindByIP("127.6.0.1"));  // the expired-ban path could not delete it

    QVERIFY(server.StartServer());
    QVERIFY2(PollUntilReachable(*a_), a_->Problem().c_str());
    QVERIFY(a_->Problem().empty());
    QVERIFY(a_->accounts().Seek("before"));
    QVERIFY(!a_->accounts().Seek("during"));
    a_->accounts().Add(Account("after"));
    QCOMPARE(a_->bans().Count(), 1);
    // The other registry's lost connection is noticed at its next use or
    // poll, and it too comes back.
    QVERIFY(PollUntilReachable(*b_));
    QVERIFY(b_->accounts().Seek("after"));
  }

  // A transaction whose connection was lost stays lost, even once the
  // registry is connected again: nothing of it is committed.
  void noTransactionOutlivesItsConnection() {
    PgServer& server = testbackend::Server();
    {
      Database::Transaction t(*a_);
      a_->accounts().Add(Account("first"));
      QVERIFY(server.StopServer());
      QVERIFY(server.StartServer());
      QCOMPARE(ThrownCode([&] { a_->accounts().Add(Account("second")); }), DatabaseError::kUnreachable);
      QVERIFY(PollUntilReachable(*a_));
      QCOMPARE(ThrownCode([&] { a_->accounts().Add(Account("third")); }), DatabaseError::kUnreachable);
      QCOMPARE(ThrownCode([&] { t.Commit(); }), DatabaseError::kUnreachable);
    }
    QCOMPARE(a_->accounts().Count(), 0);
    a_->accounts().Add(Account("fourth"));
    QCOMPARE(a_->accounts().Users(), std::vector<std::string>{"fourth"});
  }

  // As in the file, a refused statement undoes only itself.
  void refusedWriteKeepsTheTransaction() {
    {
      Database::Transaction t(*a_);
      a_->accounts().Add(Account("one"));
      QCOMPARE(ThrownCode([&] { a_->accounts().Add(Account("ONE")); }), DatabaseError::kDuplicate);
      AccountRecord tooLong = Account("two");
      tooLong.Name = std::string(51, 'n');
      QVERIFY(ThrownCode([&] { a_->accounts().Add(tooLong); }) != 0);
      a_->accounts().Add(Account("three"));
      t.Commit();
    }
    QCOMPARE(a_->accounts().Users(), (std::vector<std::string>{"one", "three"}));
  }

  void failedCommitsWriteNothing() {
    a_->FailCommits(true);
    QVERIFY(ThrownCode([&] { a_->accounts().Add(Account("single")); }) != 0);
    QVERIFY(ThrownCode([&] { a_->bans().Add(Ban(1, "single", "1.1.1.1")); }) != 0);
    QVERIFY(ThrownCode([&] {
      Database::Transaction t(*a_);
      a_->accounts().Add(Account("grouped"));
      t.Commit();
    }) != 0);
    a_->FailCommits(false);
    QCOMPARE(a_->accounts().Count(), 0);
    QCOMPARE(a_->bans().Count(), 0);
    QVERIFY(a_->bans().Empty());
    a_->accounts().Add(Account("later"));
    QCOMPARE(b_->accounts().Count(), 1);
  }

  void backupSaysToUsePgDump() {
    QTemporaryFile file;
    QVERIFY(file.open());
    try {
      a_->Backup(file.handle());
      QFAIL("a backup was claimed");
    } catch (const DatabaseError& e) {
      QVERIFY2(QString(e.what()).contains("pg_dump"), e.what());
    }
    QCOMPARE(file.size(), 0);
  }

  // A registry that starts before its database server waits for it.
  void openedBeforeTheServerRuns() {
    a_.reset();
    b_.reset();
    const std::string conninfo = testbackend::FreshDatabase();
    PgServer& server = testbackend::Server();
    QVERIFY(server.StopServer());
    Database db;
    db.OpenShared(conninfo);
    QVERIFY(db.IsOpen() && db.Shared() && !db.Reachable());
    QVERIFY(!db.Problem().empty());
    QCOMPARE(ThrownCode([&] { db.accounts().Count(); }), DatabaseError::kUnreachable);
    QVERIFY(!db.bans().FindByIP("1.2.3.4"));
    QVERIFY(server.StartServer());
    QVERIFY2(PollUntilReachable(db), db.Problem().c_str());
    db.accounts().Add(Account("late"));
    QCOMPARE(db.accounts().Count(), 1);
  }

  // Two registries making the tables of a new database at one moment take
  // turns: both start, and the tables are made once.
  void twoFirstStartsAtOnce() {
    const std::string conninfo = testbackend::FreshDatabase();
    bool reachable[2] = {false, false};
    std::string problem[2];
    QThread* threads[2];
    for (int i = 0; i < 2; ++i) {
      threads[i] = QThread::create([&, i] {
        Database db;
        db.OpenShared(conninfo);
        reachable[i] = db.Reachable();
        problem[i] = db.Problem();
      });
      threads[i]->start();
    }
    for (QThread* t : threads) {
      QVERIFY(t->wait(30000));
      delete t;
    }
    QVERIFY2(reachable[0], problem[0].c_str());
    QVERIFY2(reachable[1], problem[1].c_str());
    QCOMPARE(testbackend::Raw(conninfo, "SELECT count(*) FROM tarnwick_schema"), std::string("1"));
  }
};

QTEST_GUILESS_MAIN(TestSharedDatabase)
#include "test_shared_database.moc"
