#include "storage/Database.h"

#include "storage/FileOps.h"
#include "storage/Sqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// The file is kept in WAL mode with synchronous=FULL: a commit is one append
// to zvlt.dat-wal and one fsync, and it survives a kill of the process (or a
// power cut) the moment it returns. The hot paths write a row per packet, and
// the rollback journal would cost several syncs per commit. The -wal file also
// exists exactly while some connection has the database open, which lets the
// start-up tell a killed run's leftovers (applied when the file is opened)
// from a second program still using it.

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr mode_t kNewDatabaseMode = 0640;

// Names of the files of one start-up.
struct Paths {
  QString folder;   // the program folder, or the folder a linked zvlt.dat points into
  QString dat;      // folder/zvlt.dat, or the file it links to
  QString tmp;      // workDir/zvlt.tmp (beside a linked file), the compacted copy
  QString staging;  // folder/zvlt.new: a copy of zvlt.tmp on its way to zvlt.dat
};

QString Shown(const QString& path) { return QDir::toNativeSeparators(path); }

std::string InFile(const QString& path, const std::string& message) {
  return Shown(path).toStdString() + ": " + message;
}

// The size check of a text column of `size` characters. length() stops at a
// 0x00 character, so it is not used: instr() counts characters up to its
// match over the whole text, and the byte 0xFF, which UTF-8 never holds, put
// at the end is found after every character of the text, 0x00 included.
// A text no longer in bytes than its size is within it in characters too,
// and that cheap test comes first: the check of every row at each start
// then seldom builds the longer text.
std::string SizeCheck(const std::string& column, const std::string& size) {
  return "CHECK(length(CAST(" + column + " AS BLOB)) <= " + size + " OR instr(" + column +
         " || x'FF', x'FF') - 1 <= " + size + ")";
}

// The size check of the files made by earlier versions: it measured a text
// that holds a 0x00 in bytes, and so refused one within its size that also
// held letters above 127 (two or three bytes each).
std::string ByteCountingSizeCheck(const std::string& c, const std::string& n) {
  return "CHECK(length(CAST(" + c + " AS BLOB)) <= " + n + " OR (length(" + c + ") <= " + n +
         " AND instr(CAST(" + c + " AS BLOB), x'00') = 0))";
}

using SizeCheckSql = std::string (*)(const std::string& column, const std::string& size);

std::string TextColumn(const char* table, const char* column, int size, SizeCheckSql check) {
  const std::string c = column;
  const std::string n = std::to_string(size);
  return c + " TEXT COLLATE NOCASE CONSTRAINT \"" + table + "." + c + " longer than " + n +
         " characters\" " + check(c, n);
}

// One column a line, so ".schema" in the sqlite3 shell stays readable.
std::string ServersSql(SizeCheckSql check) {
  return "CREATE TABLE Servers(\n  " + TextColumn("Servers", "User", 15, check) +
         " NOT NULL PRIMARY KEY,\n  " + TextColumn("Servers", "Password", 15, check) + ",\n  " +
         TextColumn("Servers", "Name", 50, check) + ",\n  " +
         TextColumn("Servers", "Description", 255, check) + ",\n  " +
         TextColumn("Servers", "UpdateURL", 255, check) +
         ",\n  Official INTEGER CONSTRAINT \"Servers.Official outside 0..255\" "
         "CHECK(typeof(Official) IN ('integer', 'null') AND Official BETWEEN 0 AND 255))";
}

std::string BansSql(SizeCheckSql check) {
  return "CREATE TABLE Bans(\n  Number INTEGER PRIMARY KEY CONSTRAINT \"Bans.Number outside "
         "0..255\" CHECK(Number BETWEEN 0 AND 255),\n  " +
         TextColumn("Bans", "Name", 15, check) + ",\n  " + TextColumn("Bans", "IP", 15, check) +
         ",\n  " + TextColumn("Bans", "Reason", 255, check) +
         ",\n  UnbanDate TEXT CONSTRAINT \"Bans.UnbanDate not a date\" CHECK(UnbanDate GLOB "
         "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'))";
}

std::string SchemaSql() { return ServersSql(SizeCheck) + ";\n" + BansSql(SizeCheck) + ";\n"; }

// One connection; closed when it goes out of scope.
class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(Connection&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
  Connection& operator=(Connection&& other) noexcept {
    if (this != &other) {
      Close();
      db_ = other.db_;
      other.db_ = nullptr;
    }
    return *this;
  }

  void Open(const QString& path, int flags) {
    Close();
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
      const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      Close();
      throw DatabaseError(InFile(path, message));
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  }
  // The last connection to close checkpoints the -wal file into the
  // database and removes it.
  void Close() noexcept {
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
  }
  sqlite3* get() const { return db_; }
  sqlite3* Release() {
    sqlite3* db = db_;
    db_ = nullptr;
    return db;
  }

 private:
  sqlite3* db_ = nullptr;
};

// A statement used once, outside the cache.
class OneShot {
 public:
  OneShot(sqlite3* db, const char* sql) : db_(db) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (rc_ != SQLITE_OK) message_ = sqlite3_errmsg(db);
  }
  ~OneShot() { sqlite3_finalize(stmt_); }
  OneShot(const OneShot&) = delete;
  OneShot& operator=(const OneShot&) = delete;

  bool ok() const { return rc_ == SQLITE_OK || rc_ == SQLITE_ROW || rc_ == SQLITE_DONE; }
  int rc() const { return rc_; }
  const std::string& message() const { return message_; }
  sqlite3_stmt* stmt() const { return stmt_; }
  // Steps once; false at the end or on error (see ok()).
  bool Step() {
    if (!stmt_ || !ok()) return false;
    rc_ = sqlite3_step(stmt_);
    if (rc_ == SQLITE_ROW) return true;
    if (rc_ != SQLITE_DONE) message_ = sqlite3_errmsg(db_);
    return false;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
  std::string message_;
};

enum class State { Missing, Empty, Sound, Damaged };

struct Inspection {
  State state = State::Missing;
  std::string problem;  // why it is damaged, in the engine's words
  Connection connection;
  std::int64_t servers = 0;
  std::int64_t bans = 0;
};

bool IsDamage(int rc) {
  rc &= 0xFF;
  return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

// Opens the file and decides whether it holds a sound copy of the data. A
// file the engine calls corrupt or not a database is Damaged; every other
// failure (locked, unreadable, out of space) throws, because it says nothing
// about the data and must not lead to any file being replaced.
Inspection Inspect(const QString& path) {
  Inspection result;
  if (!fileops::Exists(path)) return result;
  result.connection.Open(path, SQLITE_OPEN_READWRITE);
  sqlite3* db = result.connection.get();

  auto damaged = [&](std::string problem) {
    result.state = State::Damaged;
    result.problem = std::move(problem);
    return std::move(result);
  };
  auto fault = [&](const OneShot& q) -> Inspection {
    if (IsDamage(q.rc())) return damaged(q.message());
    throw DatabaseError(InFile(path, q.message()));
  };

  {
    OneShot check(db, "PRAGMA quick_check(5)");
    std::string problems;
    while (check.Step()) {
      const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(check.stmt(), 0));
      const std::string text = line ? line : "";
      if (text == "ok") continue;
      if (!problems.empty()) problems += "; ";
      problems += text;
    }
    if (!check.ok()) return fault(check);
    if (!problems.empty()) return damaged(problems);
  }
  {
    OneShot tables(db,
                   "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE "
                   "'sqlite!_%' ESCAPE '!'");
    if (!tables.Step()) return fault(tables);
    if (sqlite3_column_int64(tables.stmt(), 0) == 0) {
      result.state = State::Empty;
      return result;
    }
  }
  // Both tables with every column the program reads; the counts let the
  // compacted copy be compared with its source.
  OneShot counts(db,
                 "SELECT (SELECT count(*) FROM (SELECT User, Password, Name, Description, "
                 "UpdateURL, Official FROM Servers)), (SELECT count(*) FROM (SELECT Number, "
                 "Name, IP, Reason, UnbanDate FROM Bans))");
  if (counts.rc() == SQLITE_ERROR) return damaged(counts.message());  // no such table/column
  if (!counts.Step()) return fault(counts);
  result.servers = sqlite3_column_int64(counts.stmt(), 0);
  result.bans = sqlite3_column_int64(counts.stmt(), 1);
  result.state = State::Sound;
  return result;
}

// Writes a compacted copy of the open database to `target`, which must not
// exist or be empty. SQLite does not sync the copy; the caller does before
// using it. The caller makes `target` beforehand with the mode, owner and
// group of the file the copy replaces, so it never holds the passwords
// under looser permissions, and zvlt.dat keeps an operator's chmod and
// chown from one start to the next.
void VacuumInto(sqlite3* db, const QString& target) {
  OneShot vacuum(db, "VACUUM INTO ?1");
  if (!vacuum.ok()) throw DatabaseError(vacuum.message());
  const QByteArray name = QFile::encodeName(target);
  sqlite3_bind_text(vacuum.stmt(), 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
  vacuum.Step();
  if (!vacuum.ok()) throw DatabaseError(vacuum.message());
}

// The database file and the engine's companion files beside it.
void RemoveWithCompanions(const QString& path) {
  fileops::Remove(path + "-journal");
  fileops::Remove(path + "-wal");
  fileops::Remove(path + "-shm");
  fileops::Remove(path);
}

// Puts a zvlt.dat that is about to be replaced, with its -wal and -journal,
// under a name no start reads, so nothing of it is lost and none of its
// companion files can be applied to the file that replaces it.
void SetAside(const Paths& p) {
  const QString base = p.folder + "/zvlt.damaged";
  QString aside = base;
  for (int i = 2; fileops::Exists(aside) || fileops::Exists(aside + "-wal") ||
                  fileops::Exists(aside + "-journal");
       ++i) {
    aside = base + "." + QString::number(i);
  }
  for (const char* suffix : {"-wal", "-journal", ""}) {
    if (fileops::Exists(p.dat + suffix)) fileops::Rename(p.dat + suffix, aside + suffix);
  }
  fileops::Remove(p.dat + "-shm");
}

// Makes the compacted copy zvlt.dat, in one rename that is on disk before
// the start goes on.
void Install(const Paths& p) { fileops::MoveReplacing(p.tmp, p.dat, p.staging); }

// The usual start: zvlt.dat is sound. A compacted copy is written to
// zvlt.tmp, checked against the source, synced and renamed over zvlt.dat;
// until that rename zvlt.dat stays complete where it is.
void Compact(Inspection& dat, const Paths& p) {
  RemoveWithCompanions(p.tmp);
  try {
    fileops::CreateLike(p.tmp, p.dat);
    VacuumInto(dat.connection.get(), p.tmp);
  } catch (const DatabaseError& e) {
    dat.connection.Close();
    RemoveWithCompanions(p.tmp);
    throw DatabaseError("compacting " + Shown(p.dat).toStdString() + " into " +
                        Shown(p.tmp).toStdString() + " failed: " + e.what());
  }
  // Closing the last connection folds a killed run's -wal into zvlt.dat
  // (the copy already read through it) and deletes it. If the -wal is
  // still there, another program has the database open and may write to
  // it after the copy was taken: replacing the file would lose that.
  dat.connection.Close();
  if (fileops::Exists(p.dat + "-wal")) {
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(Shown(p.dat).toStdString() +
                        " is in use by another program; close it and start again");
  }
  Inspection copy = Inspect(p.tmp);
  if (copy.state != State::Sound || copy.servers != dat.servers || copy.bans != dat.bans) {
    copy.connection.Close();
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(InFile(p.dat, "compacting failed, the copy did not match: " +
                                          (copy.problem.empty() ? "row counts differ"
                                                                : copy.problem)));
  }
  copy.connection.Close();
  Install(p);
}

// zvlt.dat fails its check and no leftover copy can stand in for it. What
// the engine can still read is copied into a fresh file; when that copy is
// sound it becomes zvlt.dat and the damaged file is kept aside. When the
// engine cannot read it, the start ends and every file stays as it is.
void Repair(Inspection& dat, const Paths& p) {
  const std::string failure = InFile(p.dat, dat.problem);
  RemoveWithCompanions(p.tmp);
  if (!dat.connection.get()) throw DatabaseError(failure);
  try {
    fileops::CreateLike(p.tmp, p.dat);
    VacuumInto(dat.connection.get(), p.tmp);
  } catch (const DatabaseError& e) {
    dat.connection.Close();
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(InFile(p.dat, e.what()));
  }
  dat.connection.Close();
  Inspection copy = Inspect(p.tmp);
  copy.connection.Close();
  if (copy.state != State::Sound) {
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(failure);
  }
  fileops::SyncFile(p.tmp);  // on disk before zvlt.dat makes way for it
  SetAside(p);
  Install(p);
}

// First start, or a file an interrupted first start left without tables.
// The tables are made in one transaction, so a crash leaves either both or
// none, and a file without tables is simply made again.
void Create(Inspection& dat, const Paths& p) {
  dat.connection.Close();
  if (dat.state == State::Missing) {
    SetAside(p);  // an orphaned -wal must not meet the new file
    // The file will hold passwords: readable by its owner and group only,
    // under any umask. SQLite gives its -wal and -shm the same mode.
    fileops::CreateWithMode(p.dat, kNewDatabaseMode);
  }
  Connection db;
  db.Open(p.dat, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  try {
    ExecSql(db.get(), "PRAGMA journal_mode=WAL");
    ExecSql(db.get(), "PRAGMA synchronous=FULL");
    ExecSql(db.get(), "BEGIN IMMEDIATE");
    ExecSql(db.get(), SchemaSql().c_str());
    ExecSql(db.get(), "COMMIT");
  } catch (const DatabaseError& e) {
    throw DatabaseError(InFile(p.dat, e.what()));
  }
  db.Close();
  fileops::SyncDirectory(p.folder);
}

// The text of a table's CREATE statement as the file holds it.
std::string StoredSql(sqlite3* db, const char* table) {
  OneShot q(db, "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?1");
  sqlite3_bind_text(q.stmt(), 1, table, -1, SQLITE_STATIC);
  if (!q.Step()) return std::string();
  const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(q.stmt(), 0));
  return sql ? sql : "";
}

// A file made by an earlier version gets the present size checks; the
// compaction at start keeps a file's schema, so without this step it would
// keep refusing what it should store. A table is made anew with its rows
// (rowids kept) only when it is exactly as such a version made it, so a
// schema changed by hand is left alone. One transaction: a start killed
// halfway leaves the old tables, and the next start does it again.
void UpdateSizeChecks(sqlite3* db) {
  struct Table {
    const char* name;
    const char* columns;
    std::string (*sql)(SizeCheckSql);
  };
  const Table tables[] = {
      {"Servers", "User, Password, Name, Description, UpdateURL, Official", ServersSql},
      {"Bans", "Number, Name, IP, Reason, UnbanDate", BansSql},
  };
  bool begun = false;
  for (const Table& t : tables) {
    if (StoredSql(db, t.name) != t.sql(ByteCountingSizeCheck)) continue;
    if (!begun) ExecSql(db, "BEGIN IMMEDIATE");
    begun = true;
    const std::string name = t.name, old = name + "_before_update";
    ExecSql(db, ("ALTER TABLE " + name + " RENAME TO " + old).c_str());
    ExecSql(db, t.sql(SizeCheck).c_str());
    ExecSql(db, ("INSERT INTO " + name + "(rowid, " + t.columns + ") SELECT rowid, " + t.columns +
                 " FROM " + old)
                    .c_str());
    ExecSql(db, ("DROP TABLE " + old).c_str());
  }
  if (begun) ExecSql(db, "COMMIT");
}

// Leaves a sound zvlt.dat in the program folder and no zvlt.tmp.
void PrepareFile(const Paths& p) {
  // Only ever a partial copy whose source still exists.
  fileops::Remove(p.staging);

  Inspection dat = Inspect(p.dat);
  if (dat.state == State::Sound) {
    // zvlt.dat is complete, so a leftover zvlt.tmp can hold nothing newer:
    // this program only leaves one behind before its rename over zvlt.dat.
    RemoveWithCompanions(p.tmp);
    Compact(dat, p);
    return;
  }

  Inspection tmp = Inspect(p.tmp);
  if (tmp.state == State::Sound) {
    // An interrupted start: the data survives in zvlt.tmp.
    tmp.connection.Close();
    dat.connection.Close();
    fileops::SyncFile(p.tmp);  // on disk before zvlt.dat makes way for it
    SetAside(p);
    Install(p);
    Inspection recovered = Inspect(p.dat);
    if (recovered.state != State::Sound) {
      throw DatabaseError(InFile(p.dat, "the copy recovered from zvlt.tmp fails its check"));
    }
    Compact(recovered, p);
    return;
  }
  if (tmp.state == State::Damaged) {
    const std::string tmpProblem = InFile(p.tmp, tmp.problem);
    if (dat.state == State::Damaged) {
      throw DatabaseError(InFile(p.dat, dat.problem) + "; " + tmpProblem +
                          ". Neither file was changed.");
    }
    throw DatabaseError(Shown(p.dat).toStdString() +
                        " is missing and the copy left by an interrupted start is damaged (" +
                        tmpProblem + "). Nothing was changed; move " + Shown(p.tmp).toStdString() +
                        " away to start with an empty database.");
  }
  // No zvlt.tmp, or one without tables: nothing in it to keep.
  tmp.connection.Close();
  RemoveWithCompanions(p.tmp);

  if (dat.state == State::Damaged) {
    Repair(dat, p);
  } else {
    Create(dat, p);
  }
}

}  // namespace

struct Database::Impl {
  sqlite3* db = nullptr;
  bool failCommits = false;
  std::unique_ptr<StatementCache> statements;
  std::unique_ptr<Accounts> accounts;
  std::unique_ptr<Bans> bans;
};

Database::Database() : impl_(std::make_unique<Impl>()) {
  impl_->accounts.reset(new Accounts());
  impl_->bans.reset(new Bans());
}

Database::~Database() { Close(); }

void Database::Open(const QString& programFolder, const QString& workDir) {
  Close();
  Paths p;
  p.folder = QDir(programFolder).absolutePath();
  p.dat = p.folder + "/zvlt.dat";
  p.tmp = QDir(workDir).absoluteFilePath("zvlt.tmp");
  // A zvlt.dat that is a symbolic link stays one: the registry works on the
  // file it points to and makes every copy beside that file, so the final
  // rename replaces the target, on the target's own file system.
  const QString target = fileops::ResolveLinks(p.dat);
  if (target != p.dat) {
    p.dat = target;
    p.folder = QFileInfo(target).absolutePath();
    p.tmp = p.folder + "/zvlt.tmp";
  }
  p.staging = p.folder + "/zvlt.new";

  PrepareFile(p);

  Connection db;
  db.Open(p.dat, SQLITE_OPEN_READWRITE);
  try {
    ExecSql(db.get(), "PRAGMA journal_mode=WAL");
    ExecSql(db.get(), "PRAGMA synchronous=FULL");
    // A first read opens the -wal file now rather than at the first use, so
    // from here on another start sees that the database is in use.
    ExecSql(db.get(), "SELECT count(*) FROM sqlite_schema");
    UpdateSizeChecks(db.get());
  } catch (const DatabaseError& e) {
    throw DatabaseError(InFile(p.dat, e.what()));
  }
  impl_->db = db.Release();
  impl_->statements = std::make_unique<StatementCache>(impl_->db);
  impl_->accounts->statements_ = impl_->statements.get();
  impl_->bans->statements_ = impl_->statements.get();
  FailCommits(impl_->failCommits);
}

void Database::FailCommits(bool on) {
  impl_->failCommits = on;
  // A commit hook that answers non-zero turns the commit into a rollback.
  if (impl_->db)
    sqlite3_commit_hook(impl_->db, on ? +[](void*) -> int { return 1; } : nullptr, nullptr);
}

void Database::Close() {
  if (!impl_) return;
  impl_->accounts->statements_ = nullptr;
  impl_->bans->statements_ = nullptr;
  impl_->statements.reset();  // finalizes every statement first
  if (impl_->db) {
    sqlite3* db = impl_->db;
    impl_->db = nullptr;
    const QString wal = QFile::decodeName(sqlite3_db_filename(db, "main")) + "-wal";
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    // Closing the last connection folds the -wal into zvlt.dat and removes
    // it, but says nothing when it cannot: the fold is tried here first, to
    // learn why. On a full disk it fails as soon as zvlt.dat has to grow to
    // take the log's pages; nothing is lost, as the -wal stays and the next
    // start folds it.
    std::string reason;
    if (sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) != SQLITE_OK) {
      const int error = sqlite3_system_errno(db);
      reason = error ? std::strerror(error) : sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    if (!reason.empty() && fileops::Exists(wal)) {
      std::fprintf(stderr,
                   "Tarnwick: %s was not folded back into the database at the stop (%s); "
                   "nothing is lost: the next start folds it.\n",
                   qPrintable(Shown(wal)), reason.c_str());
      std::fflush(stderr);
    }
  }
  transactionDepth_ = 0;
}

bool Database::IsOpen() const { return impl_->db != nullptr; }

Accounts& Database::accounts() { return *impl_->accounts; }

Bans& Database::bans() { return *impl_->bans; }

// The outer scope owns the SQLite transaction. An inner scope is a savepoint
// inside it: its writes are committed only with the outer scope, and an
// inner scope left without Commit() undoes just its own writes.
Database::Transaction::Transaction(Database& db) : db_(&db) {
  sqlite3* handle = db.impl_->db;
  if (!handle) throw DatabaseError("the database is not open");
  if (db.transactionDepth_ == 0) {
    ExecSql(handle, "BEGIN IMMEDIATE");
    outer_ = true;
  } else {
    ExecSql(handle, "SAVEPOINT nested");
  }
  ++db.transactionDepth_;
}

Database::Transaction::~Transaction() {
  if (db_->transactionDepth_ > 0) --db_->transactionDepth_;
  sqlite3* handle = db_->impl_->db;
  if (done_ || !handle) return;
  if (outer_) {
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
  } else {
    sqlite3_exec(handle, "ROLLBACK TO nested; RELEASE nested", nullptr, nullptr, nullptr);
  }
}

void Database::Transaction::Commit() {
  if (done_) return;
  sqlite3* handle = db_->impl_->db;
  if (!handle) throw DatabaseError("the database is not open");
  done_ = true;
  if (!outer_) {
    ExecSql(handle, "RELEASE nested");
    return;
  }
  if (sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    // A commit that fails (disk full, I/O error) leaves nothing behind.
    const std::string message = sqlite3_errmsg(handle);
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    throw DatabaseError(message);
  }
}

// --- Online backup ---------------------------------------------------------

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void BackupFails(const std::string& reason) {
  throw DatabaseError("cannot write the copy: " + reason);
}

// The descriptor must be a regular file open for writing. A pipe or a socket
// is refused: writing into one blocks the registry's one thread for as long
// as nobody reads at the other end.
void CheckDescriptor(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) BackupFails("the descriptor passed is not open (" + std::string(std::strerror(errno)) + ")");
  const int access = flags & O_ACCMODE;
  if (access != O_WRONLY && access != O_RDWR) BackupFails("the descriptor passed is not open for writing");
  struct stat info {};
  if (::fstat(fd, &info) != 0) BackupFails(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) BackupFails("the descriptor passed is not a regular file");
}

// Writes every byte, or throws naming the reason and how far it got.
void WriteAll(int fd, const unsigned char* data, std::int64_t size) {
  std::int64_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, std::size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string reason = n < 0 ? std::strerror(errno) : "nothing more could be written";
      BackupFails(reason + " after " + std::to_string(done) + " of " + std::to_string(size) + " bytes");
    }
    done += n;
  }
}

}  // namespace

// The copy is made in memory (SQLite's memdb), never in a file: the bytes
// reach the file system only through the caller's descriptor, with the
// rights the caller opened it with. Its pages are the database's own,
// taken in one read transaction, so the copy is what the last commit left.
void Database::Backup(int fd) {
  if (!impl_->db) throw DatabaseError("the database is not open");
  CheckDescriptor(fd);
  // A name without a leading "/" is a memdb of this connection alone.
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2("backup", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "memdb") != SQLITE_OK) {
    const std::string message = raw ? sqlite3_errmsg(raw) : "out of memory";
    sqlite3_close(raw);
    BackupFails("the copy in memory cannot be made: " + message);
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> memory(raw, sqlite3_close);
  sqlite3_backup* backup = sqlite3_backup_init(raw, "main", impl_->db, "main");
  if (!backup) BackupFails(sqlite3_errmsg(raw));
  const int stepped = sqlite3_backup_step(backup, -1);
  const int finished = sqlite3_backup_finish(backup);
  if (stepped != SQLITE_DONE || finished != SQLITE_OK) BackupFails(sqlite3_errmsg(raw));
  sqlite3_int64 size = 0;
  unsigned char* image = sqlite3_serialize(raw, "main", &size, SQLITE_SERIALIZE_NOCOPY);
  if (!image || size < 100) BackupFails("the copy in memory cannot be read");
  // The pages came from a database in WAL mode, and page 1 says so (file
  // format versions 2). The copy is a single self-contained file: legacy
  // versions 1, which any reader opens without a -wal beside it.
  image[18] = 1;
  image[19] = 1;
  WriteAll(fd, image, size);
}
