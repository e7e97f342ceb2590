#pragma once
// The database file zvlt.dat (SQLite) and its two tables, or the same two
// tables on a PostgreSQL server shared by several registries (OpenShared). Open() is the
// database step of start-up: recover an interrupted start, check, compact and
// reopen an existing file, or create a new one. All text passes in and out as
// code page 1252 bytes; the file holds UTF-8 so any SQLite tool can read it.
#include "storage/Accounts.h"
#include "storage/Bans.h"

#include <QString>
#include <memory>
#include <stdexcept>
#include <string>

struct sqlite3;

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  DatabaseError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  // The engine's result code when the engine reported it, otherwise 0;
  // kUnreachable when the database server of the shared back end could not
  // be reached (nothing was written); kDuplicate when a new account's user
  // name is taken already, with either back end (with PostgreSQL perhaps
  // by an account made at the same moment at another registry).
  int code() const { return code_; }
  static constexpr int kUnreachable = -1;
  static constexpr int kDuplicate = -2;
  bool Unreachable() const { return code_ == kUnreachable; }
  bool Duplicate() const { return code_ == kDuplicate; }

 private:
  int code_ = 0;
};

class Database {
 public:
  Database();
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // programFolder holds zvlt.dat; workDir is where the temporary copy
  // "zvlt.tmp" is made. Throws DatabaseError with a message fit for the
  // operator when the file cannot be opened, recovered or created.
  void Open(const QString& programFolder, const QString& workDir);
  // The shared back end instead: the PostgreSQL server named by a libpq
  // connection string (the Database= key). Never throws for a server that
  // is away: the database is then open but unreachable, every use throws
  // DatabaseError with kUnreachable, and connecting is tried again with
  // back-off (Poll()); the tables are made or brought up to date at the
  // first connect.
  void OpenShared(const std::string& conninfo);
  // True while the shared back end is in use.
  bool Shared() const;
  // Whether the database can be used now, and when not, why (one line for
  // the operator). The file back end is always reachable once open.
  bool Reachable() const;
  std::string Problem() const;
  // Connects again when the back-off allows and takes in what other
  // registries changed (bans); the registry calls it every second. (A ban
  // changed elsewhere is also taken in as soon as its notice arrives, while
  // the program's event loop runs.)
  void Poll();
  // The shared back end's connection string without a password, for
  // messages; empty for the file.
  std::string Shown() const;
  // Closes both tables and the file. Never throws; safe to call twice.
  // Returns a line for the operator when something is left for the next
  // start (the write-ahead log could not be folded back), else empty text:
  // the storage layer reports by return value or DatabaseError, never on
  // standard error.
  std::string Close();
  bool IsOpen() const;

  Accounts& accounts();
  Bans& bans();

  // For tests: while on, every commit fails as on a full disk, whether of a
  // transaction or of a single statement, and nothing is written.
  void FailCommits(bool on);

  // Writes a consistent copy of the open database into `fd`, a regular file
  // the caller opened for writing, from its current offset, with SQLite's
  // online backup into memory, in one step on the calling thread. The copy
  // is a plain single file (no -wal). Nothing is opened by name: the only
  // file written is the one behind `fd`. Throws DatabaseError with the
  // reason when `fd` is not a regular file open for writing or a write
  // fails; the file may then hold part of a copy. The shared back end is
  // backed up on its server (pg_dump): Backup throws DatabaseError saying
  // so and writes nothing.
  void Backup(int fd);

  // Groups the writes made while it lives into one commit. Nested use is
  // allowed (inner scopes join the outer transaction). Rolls back unless
  // Commit() was called.
  class Transaction {
   public:
    explicit Transaction(Database& db);
    ~Transaction();
    void Commit();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

   private:
    Database* db_;
    bool outer_ = false;
    bool done_ = false;
  };

  // What the database holds; defined inside storage/ alone.
  struct Impl;

 private:
  // The open connection, or null.
  sqlite3* Handle() const;

  std::unique_ptr<Impl> impl_;
  int transactionDepth_ = 0;
};
