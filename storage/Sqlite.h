#pragma once
// Thin layer over the sqlite3 C API used inside storage/: errors become
// DatabaseError with the engine's own message, statements are prepared once
// per connection and reused, and every value is bound, never pasted into SQL.
// Text goes in and out as code page 1252 bytes; the file holds UTF-8.
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Throws DatabaseError carrying the engine's message for the last failure on db.
[[noreturn]] void ThrowSqliteError(sqlite3* db);

// Runs SQL without parameters or results (pragmas, BEGIN, COMMIT, DDL).
void ExecSql(sqlite3* db, const char* sql);

// One use of a prepared statement. Bindings and the statement's position are
// cleared when it goes out of scope, so the cached statement is ready for the
// next user and never holds a read open on the file.
class Query {
 public:
  explicit Query(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  Query(Query&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  Query& operator=(Query&&) = delete;

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
