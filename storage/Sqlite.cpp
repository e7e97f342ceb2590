#include "storage/Sqlite.h"

#include "storage/Cp1252.h"
#include "storage/Database.h"

void ThrowSqliteError(sqlite3* db) {
  throw DatabaseError(db ? sqlite3_errmsg(db) : "out of memory");
}

void ThrowSqliteError(sqlite3* db, std::string_view context) {
  std::string message(context);
  message += ": ";
  message += db ? sqlite3_errmsg(db) : "out of memory";
  throw DatabaseError(message);
}

void ExecSql(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) ThrowSqliteError(db);
}

Query::~Query() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

namespace {
void CheckBind(sqlite3_stmt* stmt, int rc) {
  if (rc != SQLITE_OK) ThrowSqliteError(sqlite3_db_handle(stmt));
}
}  // namespace

Query& Query::BindOptional(int index, const std::optional<std::string>& cp1252) {
  if (!cp1252) {
    CheckBind(stmt_, sqlite3_bind_null(stmt_, index));
    return *this;
  }
  return BindText(index, std::string_view(*cp1252));
}

Query& Query::BindText(int index, std::string_view cp1252) {
  return BindUtf8(index, cp1252::ToUtf8(cp1252));
}

Query& Query::BindUtf8(int index, std::string_view utf8) {
  // Explicit length: a 0x00 byte is part of the text, not its end.
  CheckBind(stmt_, sqlite3_bind_text64(stmt_, index, utf8.data(), utf8.size(), SQLITE_TRANSIENT,
                                       SQLITE_UTF8));
  return *this;
}

Query& Query::BindInt(int index, std::optional<int> value) {
  CheckBind(stmt_, value ? sqlite3_bind_int(stmt_, index, *value) : sqlite3_bind_null(stmt_, index));
  return *this;
}

Query& Query::BindInt64(int index, std::int64_t value) {
  CheckBind(stmt_, sqlite3_bind_int64(stmt_, index, value));
  return *this;
}

bool Query::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  // Take the message now: resetting the statement may replace it.
  sqlite3* db = sqlite3_db_handle(stmt_);
  std::string message = sqlite3_errmsg(db);
  sqlite3_reset(stmt_);
  throw DatabaseError(message);
}

int Query::Run() {
  while (Step()) {
  }
  return sqlite3_changes(sqlite3_db_handle(stmt_));
}

bool Query::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::string Query::Utf8(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  return text ? std::string(text, std::size_t(size)) : std::string();
}

std::optional<std::string> Query::Text(int column) const {
  if (IsNull(column)) return std::nullopt;
  return cp1252::FromUtf8(Utf8(column));
}

std::optional<int> Query::Int(int column) const {
  if (IsNull(column)) return std::nullopt;
  return sqlite3_column_int(stmt_, column);
}

std::int64_t Query::Int64(int column) const { return sqlite3_column_int64(stmt_, column); }

Query StatementCache::Get(const char* sql) {
  if (!db_) throw DatabaseError("the database is not open");
  auto it = statements_.find(std::string_view(sql));
  if (it == statements_.end()) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      ThrowSqliteError(db_);
    }
    it = statements_.emplace(sql, stmt).first;
  }
  return Query(it->second);
}

void StatementCache::Clear() noexcept {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  statements_.clear();
}
