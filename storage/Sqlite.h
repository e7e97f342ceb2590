#pragma once
// Thin layer over the sqlite3 C API used inside storage/: errors become
// DatabaseError with the engine's own message and result code, statements
// are prepared once per connection and reused, and every value is bound,
// never pasted into SQL. Text goes in and out as code page 1252 bytes; the
// file holds UTF-8.
#include <sqlite3.h>

#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Throws DatabaseError carrying the engine's message and result code for the
// last failure on db.
[[noreturn]] void ThrowSqliteError(sqlite3* db);

// True for the result codes that say the file's contents are damaged (as
// opposed to locked, unreadable or out of space).
bool IsDamage(int code);

// Runs SQL without parameters or results (pragmas, BEGIN, COMMIT, DDL).
void ExecSql(sqlite3* db, const char* sql);

// One use of a prepared statement, the only way storage/ runs one. A
// statement of the cache has its bindings and position cleared when the
// Query goes out of scope, so it is ready for the next user and never holds
// a read open on the file; one made by Prepare is finalized instead.
class Query {
 public:
  explicit Query(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  Query(Query&& other) noexcept : stmt_(other.stmt_), owned_(other.owned_) { other.stmt_ = nullptr; }
  Query& operator=(Query&&) = delete;

  // A statement of its own, for what runs once (the checks and migrations at
  // start, VACUUM INTO). Throws when the SQL does not compile.
  static Query Prepare(sqlite3* db, const char* sql);

  // Parameters are numbered from 1. nullopt binds SQL NULL.
  Query& BindOptional(int index, const std::optional<std::string>& cp1252);
  Query& BindText(int index, std::string_view cp1252);
  Query& BindUtf8(int index, std::string_view utf8);
  Query& BindInt(int index, std::optional<int> value);
  Query& BindInt64(int index, std::int64_t value);
  // Binds ?index and ?index+1 to the first and the last spelling, in the
  // NOCASE order of the file, of the names that equal `name` without regard
  // to code page 1252 case; "col BETWEEN ?index AND ?index+1" then holds
  // every one of them (and some others, which HoldsName tells apart).
  Query& BindLookAlikes(int index, std::string_view name);

  // Steps once: true when a row is ready, false when done. Throws on error.
  bool Step();
  // Steps to the end; returns the number of rows it changed.
  int Run();

  bool IsNull(int column) const;
  std::optional<std::string> Text(int column) const;  // as code page 1252
  std::string Utf8(int column) const;
  std::optional<int> Int(int column) const;
  std::int64_t Int64(int column) const;
  // True when the column holds `name` without regard to code page 1252
  // case. Text the code page cannot hold never matches.
  bool HoldsName(int column, std::string_view name) const;

 private:
  sqlite3_stmt* stmt_;
  bool owned_ = false;
};

// One connection to a database file; closed when it goes out of scope.
class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(Connection&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Throws DatabaseError naming the file.
  void Open(const QString& path, int flags);
  // The last connection to close checkpoints the -wal file into the
  // database and removes it.
  void Close() noexcept;
  sqlite3* get() const { return db_; }
  sqlite3* Release() {
    sqlite3* db = db_;
    db_ = nullptr;
    return db;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The prepared statements of one connection, keyed by their SQL text.
class StatementCache {
 public:
  explicit StatementCache(sqlite3* db) : db_(db) {}
  ~StatementCache() { Clear(); }
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  Query Get(const char* sql);
  // Finalizes every statement; the connection can then be closed.
  void Clear() noexcept;
  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_;
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};
