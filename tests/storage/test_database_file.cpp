// The database step of start-up: first start, compaction on every later
// start, recovery of an interrupted start, refusal to guess when neither
// copy is sound, and survival of kills at any moment.
#include "storage/Database.h"
#include "storage/Schema.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& data) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

QByteArray Garbage() { return QByteArray(8192, 'G'); }

// A database holding `accounts` accounts and one ban, closed again.
void MakeDatabase(const QString& folder, int accounts = 3) {
  Database db;
  db.Open(folder, folder);
  Database::Transaction t(db);
  for (int i = 0; i < accounts; ++i) {
    AccountRecord r;
    r.User = "user" + std::to_string(i);
    r.Password = "pw";
    db.accounts().Add(r);
  }
  BanRecord b;
  b.Number = 1;
  b.Name = "ban";
  b.IP = "10.0.0.1";
  db.bans().Add(b);
  t.Commit();
}

// Opens the database the way start-up does and reports what it holds.
struct Opened {
  int accounts = -1;
  int bans = -1;
};
Opened OpenAndCount(const QString& folder, const QString& workDir) {
  Database db;
  db.Open(folder, workDir);
  return {db.accounts().Count(), db.bans().Count()};
}

// Dangling links included.
QStringList Files(const QString& folder) {
  return QDir(folder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

struct stat StatOf(const QString& path) {
  struct stat st {};
  stat(QFile::encodeName(path).constData(), &st);
  return st;
}
mode_t ModeOf(const QString& path) { return StatOf(path).st_mode & 07777; }

// Sets the umask for as long as it lives.
struct Umask {
  explicit Umask(mode_t mask) : old(umask(mask)) {}
  ~Umask() { umask(old); }
  mode_t old;
};

QStringList Columns(const QString& dat, const char* table) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(QFile::encodeName(dat).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  QStringList names;
  const std::string sql = std::string("SELECT name FROM pragma_table_info('") + table + "')";
  sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    names << reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return names;
}

// The tables as earlier versions made them: their size check measured a
// text holding a 0x00 in bytes.
const char* const kByteCountingSchema = R"sql(CREATE TABLE Servers(
  User TEXT COLLATE NOCASE CONSTRAINT "Servers.User longer than 15 characters" CHECK(length(CAST(User AS BLOB)) <= 15 OR (length(User) <= 15 AND instr(CAST(User AS BLOB), x'00') = 0)) NOT NULL PRIMARY KEY,
  Password TEXT COLLATE NOCASE CONSTRAINT "Servers.Password longer than 15 characters" CHECK(length(CAST(Password AS BLOB)) <= 15 OR (length(Password) <= 15 AND instr(CAST(Password AS BLOB), x'00') = 0)),
  Name TEXT COLLATE NOCASE CONSTRAINT "Servers.Name longer than 50 characters" CHECK(length(CAST(Name AS BLOB)) <= 50 OR (length(Name) <= 50 AND instr(CAST(Name AS BLOB), x'00') = 0)),
  Description TEXT COLLATE NOCASE CONSTRAINT "Servers.Description longer than 255 characters" CHECK(length(CAST(Description AS BLOB)) <= 255 OR (length(Description) <= 255 AND instr(CAST(Description AS BLOB), x'00') = 0)),
  UpdateURL TEXT COLLATE NOCASE CONSTRAINT "Servers.UpdateURL longer than 255 characters" CHECK(length(CAST(UpdateURL AS BLOB)) <= 255 OR (length(UpdateURL) <= 255 AND instr(CAST(UpdateURL AS BLOB), x'00') = 0)),
  Official INTEGER CONSTRAINT "Servers.Official outside 0..255" CHECK(typeof(Official) IN ('integer', 'null') AND Official BETWEEN 0 AND 255));
CREATE TABLE Bans(
  Number INTEGER PRIMARY KEY CONSTRAINT "Bans.Number outside 0..255" CHECK(Number BETWEEN 0 AND 255),
  Name TEXT COLLATE NOCASE CONSTRAINT "Bans.Name longer than 15 characters" CHECK(length(CAST(Name AS BLOB)) <= 15 OR (length(Name) <= 15 AND instr(CAST(Name AS BLOB), x'00') = 0)),
  IP TEXT COLLATE NOCASE CONSTRAINT "Bans.IP longer than 15 characters" CHECK(length(CAST(IP AS BLOB)) <= 15 OR (length(IP) <= 15 AND instr(CAST(IP AS BLOB), x'00') = 0)),
  Reason TEXT COLLATE NOCASE CONSTRAINT "Bans.Reason longer than 255 characters" CHECK(length(CAST(Reason AS BLOB)) <= 255 OR (length(Reason) <= 255 AND instr(CAST(Reason AS BLOB), x'00') = 0)),
  UnbanDate TEXT CONSTRAINT "Bans.UnbanDate not a date" CHECK(UnbanDate GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'));
)sql";

// The checks of a text column as the releases before version stamps wrote
// them, oldest first; all three files are stamped 0.
std::string InstrSizeCheck(const std::string& c, const std::string& n) {
  return "CHECK(instr(" + c + " || x'FF', x'FF') - 1 <= " + n + ")";
}
std::string LengthFirstSizeCheck(const std::string& c, const std::string& n) {
  return "CHECK(length(CAST(" + c + " AS BLOB)) <= " + n + " OR instr(" + c +
         " || x'FF', x'FF') - 1 <= " + n + ")";
}
std::string UnstampedSchema(std::string (*check)(const std::string&, const std::string&)) {
  auto text = [&](const char* table, const char* c, int size) {
    const std::string n = std::to_string(size);
    return std::string(c) + " TEXT COLLATE NOCASE CONSTRAINT \"" + table + "." + c +
           " longer than " + n + " characters\" " + check(c, n);
  };
  return "CREATE TABLE Servers(\n  " + text("Servers", "User", 15) + " NOT NULL PRIMARY KEY,\n  " +
         text("Servers", "Password", 15) + ",\n  " + text("Servers", "Name", 50) + ",\n  " +
         text("Servers", "Description", 255) + ",\n  " + text("Servers", "UpdateURL", 255) +
         ",\n  Official INTEGER CONSTRAINT \"Servers.Official outside 0..255\" "
         "CHECK(typeof(Official) IN ('integer', 'null') AND Official BETWEEN 0 AND 255));\n"
         "CREATE TABLE Bans(\n  Number INTEGER PRIMARY KEY CONSTRAINT \"Bans.Number outside "
         "0..255\" CHECK(Number BETWEEN 0 AND 255),\n  " +
         text("Bans", "Name", 15) + ",\n  " + text("Bans", "IP", 15) + ",\n  " +
         text("Bans", "Reason", 255) +
         ",\n  UnbanDate TEXT CONSTRAINT \"Bans.UnbanDate not a date\" CHECK(UnbanDate GLOB "
         "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'));\n";
}

// Runs SQL on the file directly, as another SQLite tool would; "" when it
// succeeds, the engine's message otherwise.
QString Raw(const QString& file, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open(QFile::encodeName(file).constData(), &raw);
  char* error = nullptr;
  sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &error);
  const QString message = error ? QString::fromUtf8(error) : QString();
  sqlite3_free(error);
  sqlite3_close(raw);
  return message;
}

// One value read from the file directly.
QString RawValue(const QString& file, const char* sql) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(QFile::encodeName(file).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  QString value = QStringLiteral("<no row>");
  if (sqlite3_prepare_v2(raw, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
    value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  sqlite3_finalize(stmt);
  sqlite3_close(raw);
  return value;
}

// Runs the sqlite3 shell on a file, as an operator would, and returns what
// it printed (standard output and error together).
QString Shell(const QString& file, const QString& sql) {
  QProcess shell;
  shell.setProcessChannelMode(QProcess::MergedChannels);
  shell.start(QStringLiteral("sqlite3"), {file, sql});
  if (!shell.waitForFinished(10000)) return QStringLiteral("<sqlite3 did not run>");
  return QString::fromUtf8(shell.readAll()).trimmed();
}

}  // namespace

class TestDatabaseFile : public QObject {
  Q_OBJECT

  QTemporaryDir prog_;
  QTemporaryDir work_;
  QString dat() const { return prog_.path() + "/zvlt.dat"; }
  QString tmp() const { return work_.path() + "/zvlt.tmp"; }

 private slots:
  void init() {
    QVERIFY(prog_.isValid() && work_.isValid());
    for (const QString& f : Files(prog_.path())) QFile::remove(prog_.path() + "/" + f);
    for (const QString& f : Files(work_.path())) QFile::remove(work_.path() + "/" + f);
  }

  void firstStartCreatesBothTablesEmpty() {
    const Opened o = OpenAndCount(prog_.path(), work_.path());
    QCOMPARE(o.accounts, 0);
    QCOMPARE(o.bans, 0);
    QCOMPARE(Files(prog_.path()), QStringList{"zvlt.dat"});
    QVERIFY(Files(work_.path()).isEmpty());
    QCOMPARE(Columns(dat(), "Servers"),
             (QStringList{"User", "Password", "Name", "Description", "UpdateURL", "Official"}));
    QCOMPARE(Columns(dat(), "Bans"), (QStringList{"Number", "Name", "IP", "Reason", "UnbanDate"}));
  }

  void interruptedFirstStartIsFinished() {
    WriteAll(dat(), QByteArray());  // created, killed before the tables were made
    QCOMPARE(OpenAndCount(prog_.path(), work_.path()).accounts, 0);
    QCOMPARE(Files(prog_.path()), QStringList{"zvlt.dat"});
  }

  void laterStartKeepsRowsAndCompacts() {
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      Database::Transaction t(db);
      for (int i = 0; i < 3000; ++i) {
        AccountRecord r;
        r.User = "u" + std::to_string(i);
        r.Description = std::string(200, 'd');
        db.accounts().Add(r);
      }
      t.Commit();
    }
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      QCOMPARE(db.accounts().Count(), 3000);
      Database::Transaction t(db);
      for (int i = 10; i < 3000; ++i) db.accounts().Delete("U" + std::to_string(i));
      t.Commit();
    }
    const qint64 before = QFileInfo(dat()).size();
    const Opened o = OpenAndCount(prog_.path(), work_.path());
    QCOMPARE(o.accounts, 10);
    QVERIFY2(QFileInfo(dat()).size() < before / 4, "the file was not compacted");
    QVERIFY(!QFile::exists(tmp()));
    QCOMPARE(Files(prog_.path()), QStringList{"zvlt.dat"});
  }

  // Compaction keeps a file's schema, so the start itself gives such a file
  // the present size check, keeping every row where it was.
  void earlierSizeCheckIsUpdated() {
    sqlite3* raw = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(dat()).constData(), &raw), SQLITE_OK);
    QCOMPARE(sqlite3_exec(raw, kByteCountingSchema, nullptr, nullptr, nullptr), SQLITE_OK);
    QCOMPARE(sqlite3_exec(raw,
                          "INSERT INTO Servers(rowid, User, Description) VALUES(7, 'old', 'kept');"
                          "INSERT INTO Bans(Number, Name, IP) VALUES(9, 'b', '10.0.0.9')",
                          nullptr, nullptr, nullptr),
             SQLITE_OK);
    sqlite3_close(raw);
    const std::string description = std::string("x\0", 2) + std::string(200, '\xE9');
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      const auto old = db.accounts().Seek("OLD");
      QCOMPARE(old->Position, Bookmark(7));
      QCOMPARE(old->Description, std::optional<std::string>("kept"));
      QVERIFY(db.accounts().WriteServerInfo(7, "old", "Name", description));
      BanRecord ban;
      ban.Number = 10;
      ban.Reason = description;
      db.bans().Add(ban);
      QCOMPARE(db.bans().FindByIP("10.0.0.9")->Number, std::optional<int>(9));
      AccountRecord over;
      over.User = "over";
      over.Description = description + std::string(55, '\xE9');
      QVERIFY_THROWS_EXCEPTION(DatabaseError, db.accounts().Add(over));
    }
    Database db;
    db.Open(prog_.path(), work_.path());
    QCOMPARE(db.accounts().Seek("old")->Description, std::optional<std::string>(description));
    QCOMPARE(db.bans().Count(), 2);
    QCOMPARE(Columns(dat(), "Servers"),
             (QStringList{"User", "Password", "Name", "Description", "UpdateURL", "Official"}));
    QCOMPARE(Columns(dat(), "Bans"), (QStringList{"Number", "Name", "IP", "Reason", "UnbanDate"}));
  }

  // Every file made before versions were stamped is brought to the present
  // version whatever its SQL text looks like (one a tool rewrote on one
  // line included): rows and rowids stay, the present checks hold after,
  // and the stamp keeps the next start from doing it again.
  void everyEarlierVersionIsMigrated_data() {
    QTest::addColumn<QString>("sql");
    QTest::newRow("byte-counting checks") << QString(kByteCountingSchema);
    QTest::newRow("byte-counting checks, rewritten on one line")
        << QString(kByteCountingSchema).simplified();
    QTest::newRow("character checks") << QString::fromStdString(UnstampedSchema(InstrSizeCheck));
    QTest::newRow("length-first checks, unstamped")
        << QString::fromStdString(UnstampedSchema(LengthFirstSizeCheck));
  }
  void everyEarlierVersionIsMigrated() {
    QFETCH(QString, sql);
    QCOMPARE(Raw(dat(), sql.toStdString() +
                            ";INSERT INTO Servers(rowid, User, Description, Official) VALUES(7, 'old', 'kept', 3);"
                            "INSERT INTO Bans(Number, Name, IP, UnbanDate) "
                            "VALUES(9, 'b', '10.0.0.9', '2030-01-02 03:04:05')"),
             QString());
    const std::string description = std::string("x\0", 2) + std::string(200, '\xE9');
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      const auto old = db.accounts().Seek("OLD");
      QVERIFY(old);
      QCOMPARE(old->Position, Bookmark(7));
      QCOMPARE(old->Official, std::optional<int>(3));
      QVERIFY(db.accounts().WriteServerInfo(7, "old", "Name", description));
      QCOMPARE(db.bans().FindByIP("10.0.0.9")->UnbanDate->date(), QDate(2030, 1, 2));
    }
    QCOMPARE(RawValue(dat(), "PRAGMA user_version"), QString::number(schema::kVersion));
    QCOMPARE(RawValue(dat(), "SELECT sql FROM sqlite_schema WHERE name = 'Servers'"),
             QString::fromStdString(schema::CreateSql(schema::kServers)));
    QCOMPARE(RawValue(dat(), "SELECT sql FROM sqlite_schema WHERE name = 'Bans'"),
             QString::fromStdString(schema::CreateSql(schema::kBans)));
    QVERIFY(Raw(dat(), "INSERT INTO Servers(User) VALUES('" + std::string(16, 'u') + "')")
                .contains("Servers.User longer than 15 characters"));
    // Stamped: a later start leaves the tables alone, even one changed by hand.
    QCOMPARE(Raw(dat(), "CREATE INDEX ByName ON Servers(Name)"), QString());
    Database db;
    db.Open(prog_.path(), work_.path());
    QCOMPARE(db.accounts().Seek("old")->Description, std::optional<std::string>(description));
    QCOMPARE(RawValue(dat(), "SELECT count(*) FROM sqlite_schema WHERE name = 'ByName'"), QString("1"));
  }

  // A new file carries the present stamp; one stamped by a later version is
  // opened as it is.
  void versionStamps() {
    OpenAndCount(prog_.path(), work_.path());
    QCOMPARE(RawValue(dat(), "PRAGMA user_version"), QString::number(schema::kVersion));
    QCOMPARE(Raw(dat(), "PRAGMA user_version = 99; ALTER TABLE Servers ADD COLUMN Later TEXT"), QString());
    OpenAndCount(prog_.path(), work_.path());
    QCOMPARE(RawValue(dat(), "PRAGMA user_version"), QString("99"));
    QCOMPARE(Columns(dat(), "Servers").size(), 7);
  }

  // The file stays an ordinary SQLite file: the shell checks it, reads and
  // writes accented names in it, and the program finds what it wrote.
  void sqliteShellKeepsUsingTheFile() {
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      AccountRecord r;
      r.User = "\xE9t\xE9";  // été
      r.Description = std::string("a\0", 2) + std::string(253, '\xC9');
      db.accounts().Add(r);
      r.User = "\xC9va";
      db.accounts().Add(r);
      BanRecord b;
      b.Number = 1;
      b.Name = "\xE9l";
      b.IP = "10.0.0.1";
      db.bans().Add(b);
    }
    QCOMPARE(Shell(dat(), "PRAGMA integrity_check"), QStringLiteral("ok"));
    QCOMPARE(Shell(dat(), "SELECT User FROM Servers WHERE User = 'ÉTÉ' OR User = 'été'"),
             QString::fromUtf8("été"));
    QCOMPARE(Shell(dat(), "INSERT INTO Servers(User) VALUES('Ōno')"), QString());
    QCOMPARE(Shell(dat(), "INSERT INTO Bans(Number, Name, IP) VALUES(2, 'Ça', '10.0.0.2')"),
             QString());
    QVERIFY(Shell(dat(), "INSERT INTO Servers(User) VALUES('" + QString(16, QChar(0xE9)) + "')")
                .contains("longer than 15 characters"));
    Database db;
    db.Open(prog_.path(), work_.path());
    QCOMPARE(db.bans().FindByName("\xE7" "A")->Number, std::optional<int>(2));
    QCOMPARE(db.accounts().Count(), 3);
    QCOMPARE(Shell(dat(), "PRAGMA integrity_check"), QStringLiteral("ok"));
  }

  void committedRowsSurviveAKilledRun() {
    MakeDatabase(prog_.path());
    const pid_t child = fork();
    if (child == 0) {
      try {
        Database db;
        db.Open(prog_.path(), work_.path());
        AccountRecord r;
        r.User = "lastwords";
        db.accounts().Add(r);
        db.bans().Delete(1);
        raise(SIGKILL);  // with the database still open
      } catch (...) {
        _exit(2);
      }
      _exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    QVERIFY(WIFSIGNALED(status));
    QVERIFY2(QFile::exists(dat() + "-wal"), "the killed run left no -wal to apply");

    Database db;
    db.Open(prog_.path(), work_.path());
    QVERIFY(db.accounts().Seek("LastWords"));
    QCOMPARE(db.accounts().Count(), 4);
    QVERIFY(db.bans().Empty());
    QVERIFY(!QFile::exists(tmp()));
  }

  void startUpKilledAtAnyMomentLosesNothing() {
    MakeDatabase(prog_.path(), 2000);
    // Time one undisturbed start to spread the kills over its length.
    QElapsedTimer timer;
    timer.start();
    OpenAndCount(prog_.path(), work_.path());
    const qint64 span = std::max<qint64>(timer.nsecsElapsed() / 1000, 1000);

    for (int round = 0; round < 50; ++round) {
      const pid_t child = fork();
      if (child == 0) {
        try {
          Database db;
          db.Open(prog_.path(), work_.path());
        } catch (...) {
          _exit(2);
        }
        _exit(0);
      }
      usleep(useconds_t(QRandomGenerator::global()->bounded(span)));
      kill(child, SIGKILL);
      int status = 0;
      waitpid(child, &status, 0);
      QVERIFY(!WIFEXITED(status) || WEXITSTATUS(status) == 0);
      const Opened o = OpenAndCount(prog_.path(), work_.path());
      QCOMPARE(o.accounts, 2000);
      QCOMPARE(o.bans, 1);
    }
    QVERIFY(!QFile::exists(tmp()));
  }

  // What an interrupted start may leave: each file sound, damaged or gone.
  void leftoverTmp_data() {
    QTest::addColumn<QString>("datFile");
    QTest::addColumn<QString>("tmpFile");
    QTest::newRow("lone sound tmp is recovered") << "missing" << "sound";
    QTest::newRow("sound dat wins over damaged tmp") << "sound" << "garbage";
    QTest::newRow("damaged dat gives way to sound tmp") << "garbage" << "sound";
  }
  void leftoverTmp() {
    QFETCH(QString, datFile);
    QFETCH(QString, tmpFile);
    MakeDatabase(prog_.path());
    if (tmpFile == "sound") QVERIFY(QFile::rename(dat(), tmp()));
    if (tmpFile == "garbage") WriteAll(tmp(), Garbage());
    if (datFile == "garbage") WriteAll(dat(), Garbage());

    const Opened o = OpenAndCount(prog_.path(), work_.path());
    QCOMPARE(o.accounts, 3);
    QCOMPARE(o.bans, 1);
    QVERIFY(!QFile::exists(tmp()));
    if (datFile == "garbage") QCOMPARE(ReadAll(prog_.path() + "/zvlt.damaged"), Garbage());
  }

  void noSoundCopyFailsAndTouchesNothing_data() {
    QTest::addColumn<QByteArray>("datBytes");  // empty: no file
    QTest::addColumn<QByteArray>("tmpBytes");
    QTest::addColumn<QString>("message");
    QTest::newRow("both damaged") << Garbage() << Garbage() + "tmp" << "zvlt.dat: file is not a database";
    QTest::newRow("dat missing, tmp damaged") << QByteArray() << Garbage() << "zvlt.tmp";
    QTest::newRow("dat damaged, no tmp") << Garbage() << QByteArray() << "zvlt.dat: file is not a database";
  }
  void noSoundCopyFailsAndTouchesNothing() {
    QFETCH(QByteArray, datBytes);
    QFETCH(QByteArray, tmpBytes);
    QFETCH(QString, message);
    if (!datBytes.isEmpty()) WriteAll(dat(), datBytes);
    if (!tmpBytes.isEmpty()) WriteAll(tmp(), tmpBytes);
    const QStringList progBefore = Files(prog_.path());
    const QStringList workBefore = Files(work_.path());
    try {
      OpenAndCount(prog_.path(), work_.path());
      QFAIL("started without a sound database");
    } catch (const DatabaseError& e) {
      QVERIFY2(QString(e.what()).contains(message), e.what());
    }
    QCOMPARE(Files(prog_.path()), progBefore);
    QCOMPARE(Files(work_.path()), workBefore);
    if (!datBytes.isEmpty()) QCOMPARE(ReadAll(dat()), datBytes);
    if (!tmpBytes.isEmpty()) QCOMPARE(ReadAll(tmp()), tmpBytes);
  }

  void malformedDatWithoutTmpFails() {
    MakeDatabase(prog_.path(), 500);
    QByteArray bytes = ReadAll(dat());
    QVERIFY(bytes.size() > 4 * 4096);
    bytes.replace(4096, 4096, QByteArray(4096, '\xAB'));  // the Servers table's root page
    WriteAll(dat(), bytes);
    try {
      OpenAndCount(prog_.path(), work_.path());
      QFAIL("started on a malformed file");
    } catch (const DatabaseError& e) {
      QVERIFY2(QString(e.what()).contains("zvlt.dat: "), e.what());
      QVERIFY2(QString(e.what()).contains("malformed"), e.what());
    }
    QCOMPARE(ReadAll(dat()), bytes);
    QVERIFY(Files(work_.path()).isEmpty());
  }

  void readableDamageIsRepaired() {
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      AccountRecord r;
      r.Description = std::string(200, 'd');
      for (int i = 0; i < 200; ++i) {
        r.User = "user" + std::to_string(i);
        db.accounts().Add(r);
      }
      for (int i = 100; i < 200; ++i) db.accounts().Delete("user" + std::to_string(i));
    }
    // The deleted rows' pages are free; losing the list of free pages leaves
    // them unaccounted for, which the check reports and a copy cures.
    sqlite3* raw = nullptr;
    sqlite3_open(QFile::encodeName(dat()).constData(), &raw);
    sqlite3_exec(raw, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    QByteArray bytes = ReadAll(dat());
    QVERIFY(bytes.mid(36, 4) != QByteArray(4, '\0'));  // there are free pages
    bytes.replace(32, 8, QByteArray(8, '\0'));
    WriteAll(dat(), bytes);

    const Opened o = OpenAndCount(prog_.path(), work_.path());
    QCOMPARE(o.accounts, 100);
    QCOMPARE(ReadAll(prog_.path() + "/zvlt.damaged"), bytes);
    QVERIFY(!QFile::exists(tmp()));
  }

  void secondProgramOnTheSameFileIsRefused() {
    MakeDatabase(prog_.path());
    Database first;
    first.Open(prog_.path(), work_.path());
    Database second;
    QVERIFY_THROWS_EXCEPTION(DatabaseError, second.Open(prog_.path(), work_.path()));
    AccountRecord r;
    r.User = "stillhere";
    first.accounts().Add(r);
    first.Close();
    QCOMPARE(OpenAndCount(prog_.path(), work_.path()).accounts, 4);
    QVERIFY(!QFile::exists(tmp()));
  }

  void workDirOnAnotherFileSystem() {
    struct stat a, b;
    QTemporaryDir shm("/dev/shm/tarnwick-test-XXXXXX");
    if (!shm.isValid() || stat(QFile::encodeName(prog_.path()), &a) != 0 ||
        stat(QFile::encodeName(shm.path()), &b) != 0 || a.st_dev == b.st_dev) {
      QSKIP("no second file system to put the working directory on");
    }
    MakeDatabase(prog_.path());
    QCOMPARE(OpenAndCount(prog_.path(), shm.path()).accounts, 3);
    QVERIFY(Files(shm.path()).isEmpty());
    QCOMPARE(Files(prog_.path()), QStringList{"zvlt.dat"});

    // Recovery across file systems too.
    QVERIFY(QFile::copy(dat(), shm.path() + "/zvlt.tmp"));
    QVERIFY(QFile::remove(dat()));
    QCOMPARE(OpenAndCount(prog_.path(), shm.path()).accounts, 3);
    QVERIFY(Files(shm.path()).isEmpty());
  }

  // zvlt.dat holds passwords: a new one is for its owner and group only,
  // whatever the umask, and SQLite's -wal and -shm follow it.
  void newDatabaseIsNotForOthers() {
    for (const mode_t mask : {mode_t(0), mode_t(022)}) {
      init();
      Umask umask(mask);
      Database db;
      db.Open(prog_.path(), work_.path());
      QCOMPARE(ModeOf(dat()), mode_t(0640));
      QVERIFY(QFile::exists(dat() + "-wal"));
      QCOMPARE(ModeOf(dat() + "-wal"), mode_t(0640));
      QCOMPARE(ModeOf(dat() + "-shm"), mode_t(0640));
    }
  }

  // Every start replaces zvlt.dat with its compacted copy; the copy keeps
  // the mode, owner and group an operator gave the file.
  void compactedCopyKeepsModeAndOwner() {
    MakeDatabase(prog_.path());
    QVERIFY(chmod(QFile::encodeName(dat()).constData(), 0600) == 0);
    const bool root = geteuid() == 0;
    if (root) QVERIFY(chown(QFile::encodeName(dat()).constData(), 65534, 65534) == 0);
    const struct stat before = StatOf(dat());
    for (int start = 0; start < 2; ++start) {
      Umask umask(0);
      Database db;
      db.Open(prog_.path(), work_.path());
      QVERIFY(StatOf(dat()).st_ino != before.st_ino || start > 0);  // really replaced
      QCOMPARE(ModeOf(dat()), mode_t(0600));
      QCOMPARE(StatOf(dat()).st_uid, before.st_uid);
      QCOMPARE(StatOf(dat()).st_gid, before.st_gid);
      QCOMPARE(ModeOf(dat() + "-wal"), mode_t(0600));
      if (root) QCOMPARE(StatOf(dat() + "-wal").st_uid, before.st_uid);
      QCOMPARE(db.accounts().Count(), 3);
    }
    if (!root) QSKIP("owner kept only as far as a test not run as root can give it away");
  }

  // A zvlt.dat that is a symbolic link stays one; its target is compacted
  // beside itself and receives every write.
  void linkedDatabaseStaysALink() {
    QTemporaryDir elsewhere;
    const QString target = elsewhere.path() + "/accounts.db";
    // A chain of two links, the first one relative.
    QVERIFY(QFile::link(target, elsewhere.path() + "/current"));
    QVERIFY(symlink(QFile::encodeName(QDir(prog_.path()).relativeFilePath(elsewhere.path() + "/current")).constData(),
                    QFile::encodeName(dat()).constData()) == 0);
    MakeDatabase(prog_.path());  // the link dangles: the target is made
    QVERIFY(QFileInfo(target).isFile());
    QCOMPARE(ModeOf(target), mode_t(0640));
    for (int start = 0; start < 2; ++start) {
      Database db;
      db.Open(prog_.path(), work_.path());
      QCOMPARE(db.accounts().Count(), 3 + start);
      AccountRecord r;
      r.User = "new" + std::to_string(start);
      db.accounts().Add(r);
      QVERIFY(QFileInfo(dat()).isSymLink());
      QVERIFY(QFile::exists(target + "-wal"));
    }
    QVERIFY(QFileInfo(dat()).isSymLink());
    QVERIFY(QFileInfo(elsewhere.path() + "/current").isSymLink());
    QCOMPARE(QFileInfo(dat()).canonicalFilePath(), QFileInfo(target).canonicalFilePath());
    QCOMPARE(Files(prog_.path()), QStringList{"zvlt.dat"});
    QCOMPARE(Files(elsewhere.path()), (QStringList{"accounts.db", "current"}));
    QVERIFY(Files(work_.path()).isEmpty());
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open_v2(QFile::encodeName(target).constData(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM Servers", -1, &count, nullptr);
    QCOMPARE(sqlite3_step(count), SQLITE_ROW);
    const int rows = sqlite3_column_int(count, 0);
    sqlite3_finalize(count);
    sqlite3_close(db);
    QCOMPARE(rows, 5);
  }

  void linkedDatabaseOnAnotherFileSystem() {
    QTemporaryDir shm("/dev/shm/tarnwick-test-XXXXXX");
    struct stat a, b;
    if (!shm.isValid() || stat(QFile::encodeName(prog_.path()), &a) != 0 ||
        stat(QFile::encodeName(shm.path()), &b) != 0 || a.st_dev == b.st_dev) {
      QSKIP("no second file system to put the linked database on");
    }
    QVERIFY(QFile::link(shm.path() + "/zvlt.dat", dat()));
    MakeDatabase(prog_.path());
    QCOMPARE(OpenAndCount(prog_.path(), work_.path()).accounts, 3);
    QVERIFY(QFileInfo(dat()).isSymLink());
    QCOMPARE(Files(shm.path()), QStringList{"zvlt.dat"});
    QVERIFY(Files(work_.path()).isEmpty());
  }

  // How long it takes is measured by the benchmarks (make bench), not here.
  void startWithManyAccountsKeepsThemAll() {
    {
      Database db;
      db.Open(prog_.path(), work_.path());
      Database::Transaction t(db);
      AccountRecord r;
      r.Password = "password";
      r.Name = "A game server with a name";
      r.Description = std::string(100, 'd');
      r.UpdateURL = "http://updates.example.org/game";
      r.Official = 0;
      for (int i = 0; i < 100000; ++i) {
        r.User = "server" + std::to_string(i);
        db.accounts().Add(r);
      }
      t.Commit();
    }
    QElapsedTimer timer;
    timer.start();
    const Opened o = OpenAndCount(prog_.path(), work_.path());
    const qint64 ms = timer.elapsed();
    qInfo("start with 100000 accounts: %lld ms", ms);
    QCOMPARE(o.accounts, 100000);
  }
};

QTEST_GUILESS_MAIN(TestDatabaseFile)
#include "test_database_file.moc"
