#include "storage/Database.h"

#include "storage/DatabaseImpl.h"

#include "storage/FileOps.h"
#include "storage/Recovery.h"
#include "storage/Schema.h"
#include "storage/Sqlite.h"

#include <QDir>
#include <QFile>

#include "storage/Cp1252.h"

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

Database::Database() : impl_(std::make_unique<Impl>()) {
  impl_->accounts.reset(new Accounts());
  impl_->bans.reset(new Bans());
}

Database::~Database() { Close(); }

void Database::Open(const QString& programFolder, const QString& workDir) {
  Close();
  const recovery::Paths p = recovery::PathsFor(programFolder, workDir);
  recovery::PrepareFile(p);

  Connection db;
  db.Open(p.dat, SQLITE_OPEN_READWRITE);
  try {
    ExecSql(db.get(), "PRAGMA journal_mode=WAL");
    ExecSql(db.get(), "PRAGMA synchronous=FULL");
    // A first read opens the -wal file now rather than at the first use, so
    // from here on another start sees that the database is in use.
    ExecSql(db.get(), "SELECT count(*) FROM sqlite_schema");
    // The compaction keeps a file's schema: a file of an earlier version is
    // brought up to date here.
    schema::Migrate(db.get());
  } catch (const DatabaseError& e) {
    throw DatabaseError(recovery::InFile(p.dat, e.what()), e.code());
  }
  impl_->db = db.Release();
  impl_->statements = std::make_unique<StatementCache>(impl_->db);
  impl_->accounts->statements_ = impl_->statements.get();
  impl_->bans->statements_ = impl_->statements.get();
  FailCommits(impl_->failCommits);
}

void Database::FailCommits(bool on) {
  impl_->failCommits = on;
  if (impl_->pg) impl_->pg->FailCommits(on);
  // A commit hook that answers non-zero turns the commit into a rollback.
  if (impl_->db)
    sqlite3_commit_hook(impl_->db, on ? +[](void*) -> int { return 1; } : nullptr, nullptr);
}

std::string Database::Close() {
  if (!impl_) return {};
  std::string left;
  impl_->accounts->pg_ = nullptr;
  impl_->bans->pg_ = nullptr;
  impl_->CloseShared();
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
    if (!reason.empty() && fileops::Exists(wal))
      left = "Tarnwick: " + cp1252::FromUnicode(QDir::toNativeSeparators(wal)) +
             " was not folded back into the database at the stop (" + reason +
             "); nothing is lost: the next start folds it.";
  }
  transactionDepth_ = 0;
  return left;
}

bool Database::IsOpen() const { return impl_->db != nullptr || impl_->pg != nullptr; }

sqlite3* Database::Handle() const { return impl_->db; }

Accounts& Database::accounts() { return *impl_->accounts; }

Bans& Database::bans() { return *impl_->bans; }

// The outer scope owns the SQLite transaction. An inner scope is a savepoint
// inside it: its writes are committed only with the outer scope, and an
// inner scope left without Commit() undoes just its own writes. The shared
// back end does the same with its own statements (PgStore).
Database::Transaction::Transaction(Database& db) : db_(&db) {
  if (PgStore* pg = db.impl_->pg.get()) {
    outer_ = pg->Begin();
    return;
  }
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
  if (PgStore* pg = db_->impl_->pg.get()) {
    if (!done_) pg->Rollback(outer_);
    return;
  }
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
  if (PgStore* pg = db_->impl_->pg.get()) {
    done_ = true;
    pg->Commit(outer_);
    return;
  }
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
