// The two tables as the registry uses them: case-insensitive keys, column
// sizes enforced by the engine, NULL kept apart from empty text, bookmarks
// that never reach another account, ban numbering and transactions. The
// same cases run against the file and, as a second test, against a
// PostgreSQL server (TARNWICK_TEST_BACKEND=postgresql); what only one back
// end can do is checked for that one.
#include "common/TestBackend.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"

#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

namespace {

AccountRecord Account(const std::string& user) {
  AccountRecord r;
  r.User = user;
  r.Password = "secret";
  r.Name = "Name of " + user;
  r.Description = "Description";
  r.UpdateURL = "http://example.org/";
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

// Reads one value straight from the file, as another SQLite tool would.
std::string RawText(const QString& folder, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(QFile::encodeName(folder + "/zvlt.dat").constData(), &db, SQLITE_OPEN_READONLY,
                  nullptr);
  sqlite3_stmt* stmt = nullptr;
  std::string result = "<no row>";
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    result = text ? std::string(text, std::size_t(sqlite3_column_bytes(stmt, 0))) : "<null>";
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

}  // namespace

class TestDatabase : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<Database> db_;
  std::string conninfo_;  // the shared back end's database, empty for the file

  // One value as another tool reads it: the SQL for the file, or for
  // PostgreSQL.
  std::string Raw(const char* sqlite, const std::string& postgres) const {
    return testbackend::Postgres() ? testbackend::Raw(conninfo_, postgres) : RawText(dir_->path(), sqlite);
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    db_ = std::make_unique<Database>();
    conninfo_ = testbackend::Open(*db_, dir_->path());
  }
  void cleanup() {
    db_.reset();
    dir_.reset();
  }

  void seekIgnoresCaseAndDuplicateIsRefused() {
    Accounts& a = db_->accounts();
    a.Add(Account("Alpha"));
    const auto found = a.Seek("ALPHA");
    QVERIFY(found);
    QCOMPARE(*found->User, std::string("Alpha"));
    QVERIFY(!a.Seek("Alph"));
    try {
      a.Add(Account("alpha"));
      QFAIL("a second alpha was stored");
    } catch (const DatabaseError& e) {
      QCOMPARE(QString(e.what()), QString("UNIQUE constraint failed: Servers.User"));
      QVERIFY(e.Duplicate());
    }
    QCOMPARE(a.Count(), 1);
  }

  void textSizesAreEnforcedInCharacters_data() {
    QTest::addColumn<QString>("column");
    QTest::addColumn<int>("size");
    QTest::newRow("Servers.User") << "User" << 15;
    QTest::newRow("Servers.Password") << "Password" << 15;
    QTest::newRow("Servers.Name") << "Name" << 50;
    QTest::newRow("Servers.Description") << "Description" << 255;
    QTest::newRow("Servers.UpdateURL") << "UpdateURL" << 255;
    QTest::newRow("Bans.Name") << "Bans.Name" << 15;
    QTest::newRow("Bans.IP") << "Bans.IP" << 15;
    QTest::newRow("Bans.Reason") << "Bans.Reason" << 255;
  }
  void textSizesAreEnforcedInCharacters() {
    QFETCH(QString, column);
    QFETCH(int, size);
    auto store = [&](int n, const std::string& text) {
      if (column.startsWith("Bans.")) {
        BanRecord b = Ban(n, "ban" + std::to_string(n), "10.0.0." + std::to_string(n));
        if (column == "Bans.Name") b.Name = text;
        if (column == "Bans.IP") b.IP = text;
        if (column == "Bans.Reason") b.Reason = text;
        db_->bans().Add(b);
      } else {
        AccountRecord r = Account("user" + std::to_string(n));
        if (column == "User") r.User = text;
        if (column == "Password") r.Password = text;
        if (column == "Name") r.Name = text;
        if (column == "Description") r.Description = text;
        if (column == "UpdateURL") r.UpdateURL = text;
        db_->accounts().Add(r);
      }
    };
    auto rows = [&] { return db_->accounts().Count() + db_->bans().Count(); };

    // '\x80' is the euro sign, three bytes in the file: the size counts it once.
    store(1, std::string(std::size_t(size), 'x'));
    store(2, std::string(std::size_t(size), '\x80'));
    QCOMPARE(rows(), 2);
    QVERIFY_THROWS_EXCEPTION(DatabaseError, store(3, std::string(std::size_t(size) + 1, 'y')));
    QVERIFY_THROWS_EXCEPTION(DatabaseError, store(4, std::string(std::size_t(size) + 1, '\xE9')));
    // A 0x00 byte must not hide the rest of the text from the size check,
    // nor make accented letters (two bytes in the file) count twice.
    std::string withZero(std::size_t(size) + 1, 'z');
    withZero[1] = '\0';
    QVERIFY_THROWS_EXCEPTION(DatabaseError, store(5, withZero));
    std::string zeroAndAccents = std::string("x\0", 2) + std::string(std::size_t(size) - 2, '\xE9');
    if (testbackend::Postgres()) {
      // PostgreSQL's text cannot hold 0x00: refused, never cut short.
      QVERIFY_THROWS_EXCEPTION(DatabaseError, store(6, zeroAndAccents));
      QCOMPARE(rows(), 2);
      return;
    }
    store(6, zeroAndAccents);
    QCOMPARE(rows(), 3);
    QVERIFY_THROWS_EXCEPTION(DatabaseError, store(7, zeroAndAccents + "\xE9"));
    QVERIFY_THROWS_EXCEPTION(DatabaseError, store(8, zeroAndAccents + std::string(1, '\0')));
    QCOMPARE(rows(), 3);
  }

  // é and É are one letter, as everywhere else in the registry: in look-ups,
  // in the uniqueness of a new account and in the order of the list.
  void accentedAccountNamesIgnoreCase() {
    Accounts& a = db_->accounts();
    a.Add(Account("\xE9t\xE9"));      // été
    a.Add(Account("\xCBt\xEB"));      // Ëtë: between É and é in the file's order
    a.Add(Account("\xE9t\xE0"));      // étà
    const auto found = a.Seek("\xC9T\xC9");  // ÉTÉ
    QVERIFY(found);
    QCOMPARE(*found->User, std::string("\xE9t\xE9"));
    QCOMPARE(*a.Seek("\xC9t\xE9")->User, std::string("\xE9t\xE9"));
    QCOMPARE(*a.Seek("\xEBT\xCB")->User, std::string("\xCBt\xEB"));
    QVERIFY(!a.Seek("ete"));
    QVERIFY(!a.Seek("\xC9T"));
    QCOMPARE(a.Users().size(), std::size_t(3));
    try {
      a.Add(Account("\xC9T\xC9"));
      QFAIL("a second \xE9t\xE9 was stored");
    } catch (const DatabaseError& e) {
      QCOMPARE(QString(e.what()), QString("UNIQUE constraint failed: Servers.User"));
      QVERIFY(e.Duplicate());
    }
    QCOMPARE(a.Count(), 3);

    // Writes find the row under any spelling of its name.
    AccountRecord change = Account("\xC9T\xC9");
    change.Name = "Changed";
    QVERIFY(a.Edit(change));
    QCOMPARE(*a.Seek("\xE9t\xE9")->Name, std::string("Changed"));
    QCOMPARE(*a.Seek("\xE9t\xE9")->User, std::string("\xE9t\xE9"));
    const Bookmark at = a.Seek("\xE9t\xE9")->Position;
    QVERIFY(a.WriteServerInfo(at, "\xC9T\xC9", "Info", "Text"));
    QVERIFY(a.WritePassword(at, "\xC9t\xC9", "PW"));
    QVERIFY(!a.WriteServerInfo(at, "\xC9T\xC0", "x", "x"));  // étà is another account
    QCOMPARE(*a.Seek("\xE9t\xE9")->Description, std::string("Text"));
    QCOMPARE(*a.Seek("\xE9t\xE9")->Password, std::string("PW"));
    QVERIFY(a.Delete("\xC9T\xC9"));
    QVERIFY(!a.Seek("\xE9t\xE9"));
    QVERIFY(a.Seek("\xC9T\xC0"));
    QVERIFY(!a.Delete("\xC9T\xC9"));
  }

  void accentedNamesSortWithTheirCapitals() {
    // The file's NOCASE order puts Éva (C3 89) before été (C3 A9).
    for (const char* u : {"\xC9va", "zed", "\xE9t\xE9", "_under", "Alpha"})
      db_->accounts().Add(Account(u));
    const std::vector<std::string> expected = {"_under", "Alpha", "zed", "\xE9t\xE9", "\xC9va"};
    QCOMPARE(db_->accounts().Users(), expected);
  }

  void accentedBanNamesIgnoreCase() {
    Bans& b = db_->bans();
    b.Add(Ban(4, "\xE9l", "10.0.0.4"));  // él
    b.Add(Ban(2, "\xCBl", "10.0.0.2"));  // Ël
    b.Add(Ban(6, "\xC9L", "10.0.0.6"));  // ÉL: ban names need not differ
    QCOMPARE(b.FindByName("\xC9L")->Number, std::optional<int>(4));
    QCOMPARE(b.FindByName("\xEBL")->Number, std::optional<int>(2));
    QVERIFY(!b.FindByName("el"));
    QVERIFY(!b.FindByName("\xC9"));
    b.Add(Ban(7, "x", "10.0.0.\xE9"));
    QCOMPARE(b.FindByIP("10.0.0.\xC9")->Number, std::optional<int>(7));
  }

  // A name the code page cannot hold (written by another tool) reads as
  // '?' but is not the name with '?' in its place.
  void foreignLettersNeverMatch() {
    db_->accounts().Add(Account("\xE9x"));
    if (testbackend::Postgres()) {
      testbackend::Raw(conninfo_, "INSERT INTO \"Servers\"(\"UserKey\", \"User\") "
                                  "VALUES('\xC3\x89\xCE\xA9', '\xC3\x89\xCE\xA9')");
      QVERIFY(!db_->accounts().Seek("\xE9?"));
      QCOMPARE(*db_->accounts().Seek("\xC9X")->User, std::string("\xE9x"));
      return;
    }
    sqlite3* raw = nullptr;
    sqlite3_open_v2(QFile::encodeName(dir_->path() + "/zvlt.dat").constData(), &raw,
                    SQLITE_OPEN_READWRITE, nullptr);
    QCOMPARE(sqlite3_exec(raw, "INSERT INTO Servers(User) VALUES('\xC3\x89\xCE\xA9')", nullptr,
                          nullptr, nullptr),
             SQLITE_OK);  // ÉΩ
    sqlite3_close(raw);
    QVERIFY(!db_->accounts().Seek("\xE9?"));
    QCOMPARE(*db_->accounts().Seek("\xC9X")->User, std::string("\xE9x"));
  }

  void numberRangesAreEnforced() {
    AccountRecord r = Account("low");
    r.Official = 0;
    db_->accounts().Add(r);
    r = Account("high");
    r.Official = 255;
    db_->accounts().Add(r);
    r = Account("over");
    r.Official = 256;
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->accounts().Add(r));
    r.Official = -1;
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->accounts().Add(r));
    QCOMPARE(db_->accounts().Count(), 2);

    db_->bans().Add(Ban(255, "top", "1.1.1.1"));
    db_->bans().Add(Ban(0, "zero", "1.1.1.2"));
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->bans().Add(Ban(256, "over", "1.1.1.3")));
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->bans().Add(Ban(-1, "under", "1.1.1.4")));
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->bans().Add(Ban(255, "again", "1.1.1.5")));
    BanRecord noNumber = Ban(1, "none", "1.1.1.6");
    noNumber.Number.reset();
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->bans().Add(noNumber));
    QCOMPARE(db_->bans().Count(), 2);
  }

  void nullStaysApartFromEmptyText() {
    AccountRecord r;
    r.User = "nulls";
    r.Name = "";
    db_->accounts().Add(r);
    const auto a = db_->accounts().Seek("nulls");
    QVERIFY(a);
    QVERIFY(!a->Password);
    QCOMPARE(a->Name, std::optional<std::string>(""));
    QVERIFY(!a->Description);
    QVERIFY(!a->UpdateURL);
    QVERIFY(!a->Official);

    BanRecord b = Ban(1, "", "2.2.2.2");
    db_->bans().Add(b);
    const auto ban = db_->bans().FindByIP("2.2.2.2");
    QVERIFY(ban);
    QCOMPARE(ban->Name, std::optional<std::string>(""));
    QVERIFY(!ban->Reason);
    QVERIFY(!ban->UnbanDate);
    QCOMPARE(Raw("SELECT typeof(UnbanDate) FROM Bans",
                 "SELECT CASE WHEN \"UnbanDate\" IS NULL THEN 'null' END FROM \"Bans\""),
             std::string("null"));

    AccountRecord nameless = Account("x");
    nameless.User.reset();
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->accounts().Add(nameless));
  }

  void unbanDateIsLocalTimeText() {
    BanRecord b = Ban(1, "dated", "3.3.3.3");
    b.UnbanDate = QDateTime(QDate(2031, 5, 6), QTime(7, 8, 9), Qt::LocalTime);
    db_->bans().Add(b);
    QCOMPARE(Raw("SELECT UnbanDate FROM Bans", "SELECT \"UnbanDate\"::text FROM \"Bans\""),
             std::string("2031-05-06 07:08:09"));
    const auto read = db_->bans().FindByName("DATED");
    QVERIFY(read && read->UnbanDate);
    QCOMPARE(*read->UnbanDate, *b.UnbanDate);
    QCOMPARE(read->UnbanDate->timeSpec(), Qt::LocalTime);

    BanRecord edit;
    edit.IP = "3.3.3.4";
    QVERIFY(db_->bans().Edit(1, edit));
    const auto cleared = db_->bans().FindByName("dated");
    QVERIFY(cleared);
    QVERIFY(!cleared->UnbanDate);
    QCOMPARE(cleared->IP, std::optional<std::string>("3.3.3.4"));
    QCOMPARE(cleared->Name, std::optional<std::string>("dated"));
    QVERIFY(!db_->bans().Edit(2, edit));
  }

  void quotesAreFoundAsThemselves() {
    db_->bans().Add(Ban(1, "O'Brien", "10.0.0.'1"));
    db_->bans().Add(Ban(2, "other", "10.0.0.2"));
    QCOMPARE(db_->bans().FindByName("o'brien")->Number, std::optional<int>(1));
    QCOMPARE(db_->bans().FindByIP("10.0.0.'1")->Number, std::optional<int>(1));
    QVERIFY(!db_->bans().FindByIP("x' OR '1'='1"));
    QVERIFY(!db_->bans().FindByName("O'Brien' --"));
  }

  void firstBanIsTheLowestNumber() {
    db_->bans().Add(Ban(7, "seven", "10.1.2.0"));
    db_->bans().Add(Ban(3, "three", "10.1.2.0"));
    db_->bans().Add(Ban(5, "five", "10.1.2.0"));
    QCOMPARE(db_->bans().FindByIP("10.1.2.0")->Number, std::optional<int>(3));
    const auto all = db_->bans().All();
    QCOMPARE(int(all.size()), 3);
    QCOMPARE(all[0].Number, std::optional<int>(3));
    QCOMPARE(all[2].Number, std::optional<int>(7));
    QVERIFY(!db_->bans().Empty());
    QVERIFY(db_->bans().Delete(3));
    QVERIFY(!db_->bans().Delete(3));
    QCOMPARE(db_->bans().Count(), 2);
  }

  void bookmarkWritesOnlyItsOwnAccount() {
    Accounts& a = db_->accounts();
    a.Add(Account("keep"));
    a.Add(Account("alpha"));
    const Bookmark at = a.Seek("alpha")->Position;

    QVERIFY(a.WriteServerInfo(at, "ALPHA", "New name", "New description"));
    QVERIFY(a.WritePassword(at, "alpha", "changed"));
    auto alpha = a.Seek("alpha");
    QCOMPARE(alpha->Name, std::optional<std::string>("New name"));
    QCOMPARE(alpha->Description, std::optional<std::string>("New description"));
    QCOMPARE(alpha->Password, std::optional<std::string>("changed"));

    QVERIFY(!a.WriteServerInfo(at, "keep", "x", "x"));  // another user's name
    QVERIFY(a.Delete("Alpha"));
    QVERIFY(!a.WriteServerInfo(at, "alpha", "x", "x"));
    // The freed rowid goes to the next account added: the stale bookmark
    // now points at beta's row and must not touch it.
    a.Add(Account("beta"));
    // PostgreSQL never gives a row id out twice; the file does.
    if (testbackend::Postgres())
      QVERIFY(a.Seek("beta")->Position != at);
    else
      QCOMPARE(a.Seek("beta")->Position, at);
    QVERIFY(!a.WriteServerInfo(at, "alpha", "hijacked", "hijacked"));
    QVERIFY(!a.WritePassword(at, "alpha", "hijacked"));
    const auto beta = a.Seek("beta");
    QCOMPARE(beta->Name, std::optional<std::string>("Name of beta"));
    QCOMPARE(beta->Password, std::optional<std::string>("secret"));
  }

  void editChangesEverythingButTheUser() {
    Accounts& a = db_->accounts();
    a.Add(Account("Editor"));
    AccountRecord change;
    change.User = "EDITOR";
    change.Password = "pw";
    change.Official = 1;
    QVERIFY(a.Edit(change));
    const auto e = a.Seek("editor");
    QCOMPARE(e->User, std::optional<std::string>("Editor"));
    QCOMPARE(e->Password, std::optional<std::string>("pw"));
    QVERIFY(!e->Name);
    QCOMPARE(e->Official, std::optional<int>(1));

    change.User = "nobody";
    QVERIFY(!a.Edit(change));
    QVERIFY(!a.Delete("nobody"));

    // A refused write leaves the row as it was.
    change.User = "editor";
    change.Name = std::string(51, 'n');
    QVERIFY_THROWS_EXCEPTION(DatabaseError, a.Edit(change));
    QVERIFY(!a.Seek("editor")->Name);
  }

  void usersAreInNameOrderIgnoringCase() {
    for (const char* u : {"charlie", "Alpha", "bravo", "ALPHA2", "_under"}) db_->accounts().Add(Account(u));
    const std::vector<std::string> expected = {"_under", "Alpha", "ALPHA2", "bravo", "charlie"};
    QCOMPARE(db_->accounts().Users(), expected);
  }

  void nextBanNumber() {
    Bans& b = db_->bans();
    QCOMPARE(b.NextBanNumber(), std::optional<int>(1));
    for (int n = 1; n <= 3; ++n) b.Add(Ban(n, "b" + std::to_string(n), "ip"));
    QCOMPARE(b.NextBanNumber(), std::optional<int>(4));
    b.Delete(2);  // count 2, and 3 is taken
    QCOMPARE(b.NextBanNumber(), std::optional<int>(2));
    b.Delete(1);  // count 1: 2 is free
    QCOMPARE(b.NextBanNumber(), std::optional<int>(2));

    for (int n = 1; n <= 255; ++n) {
      if (n != 3) b.Add(Ban(n, "n" + std::to_string(n), "ip"));
    }
    QCOMPARE(b.NextBanNumber(), std::optional<int>(0));
    b.Add(Ban(0, "n0", "ip"));
    QCOMPARE(b.Count(), 256);
    QCOMPARE(b.NextBanNumber(), std::nullopt);
    b.Delete(200);
    QCOMPARE(b.NextBanNumber(), std::optional<int>(200));
  }

  void everyByteSurvivesTheFile() {
    std::string high;  // 0x01..0xFF: 255 characters, one column's worth
    for (int c = 1; c <= 255; ++c) high += char(c);
    AccountRecord r = Account("bytes");
    r.Description = high;
    r.Name = std::string("a\0b", 3);
    if (testbackend::Postgres()) {
      QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->accounts().Add(r));
      QCOMPARE(db_->accounts().Count(), 0);
      r.Name = "ab";
    }
    db_->accounts().Add(r);
    const auto back = db_->accounts().Seek("BYTES");
    QCOMPARE(back->Description, std::optional<std::string>(high));
    QCOMPARE(back->Name, testbackend::Postgres() ? std::optional<std::string>("ab")
                                                 : std::optional<std::string>(std::string("a\0b", 3)));
    // The file holds UTF-8, so other tools read the text correctly.
    QCOMPARE(Raw("SELECT Description FROM Servers WHERE User = 'bytes'",
                 "SELECT \"Description\" FROM \"Servers\" WHERE \"User\" = 'bytes'"),
             cp1252::ToUtf8(high));
    QCOMPARE(Raw("SELECT substr(Description, 128, 1) FROM Servers",
                 "SELECT substr(\"Description\", 128, 1) FROM \"Servers\""),
             std::string("\xE2\x82\xAC"));  // byte 0x80, the euro sign
  }

  void transactions() {
    Accounts& a = db_->accounts();
    {
      Database::Transaction t(*db_);
      a.Add(Account("dropped"));
    }
    QVERIFY(!a.Seek("dropped"));
    {
      Database::Transaction outer(*db_);
      a.Add(Account("kept"));
      {
        Database::Transaction inner(*db_);
        a.Add(Account("innerdropped"));
      }
      {
        Database::Transaction inner(*db_);
        a.Add(Account("innerkept"));
        inner.Commit();
      }
      outer.Commit();
    }
    QVERIFY(a.Seek("kept"));
    QVERIFY(a.Seek("innerkept"));
    QVERIFY(!a.Seek("innerdropped"));
    {
      Database::Transaction outer(*db_);
      {
        Database::Transaction inner(*db_);
        a.Add(Account("joined"));
        inner.Commit();
      }
    }
    QVERIFY(!a.Seek("joined"));  // committed only with the outer scope
    // After all scopes are gone, writes commit on their own again.
    a.Add(Account("later"));
    QVERIFY(a.Seek("later"));
  }

  void closeIsIdempotent() {
    db_->accounts().Add(Account("closing"));
    db_->Close();
    db_->Close();
    QVERIFY(!db_->IsOpen());
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->accounts().Count());
    QVERIFY_THROWS_EXCEPTION(DatabaseError, db_->bans().All());
    QVERIFY_THROWS_EXCEPTION(DatabaseError, [&] { Database::Transaction t(*db_); }());
    if (testbackend::Postgres())
      db_->OpenShared(conninfo_);
    else
      db_->Open(dir_->path(), dir_->path());
    QVERIFY(db_->accounts().Seek("closing"));
  }
};

QTEST_GUILESS_MAIN(TestDatabase)
#include "test_database.moc"
