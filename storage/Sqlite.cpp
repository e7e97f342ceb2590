#include "storage/Sqlite.h"

#include "storage/Cp1252.h"
#include "storage/Database.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <array>

namespace {
constexpr int kBusyTimeoutMs = 5000;
}  // namespace

void ThrowSqliteError(sqlite3* db) {
  if (!db) throw DatabaseError("out of memory", SQLITE_NOMEM);
  throw DatabaseError(sqlite3_errmsg(db), sqlite3_extended_errcode(db));
}

bool IsDamage(int code) {
  code &= 0xFF;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

void ExecSql(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) ThrowSqliteError(db);
}

Query::~Query() {
  if (!stmt_) return;
  if (owned_) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Query Query::Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    ThrowSqliteError(db);
  }
  Query q(stmt);
  q.owned_ = true;
  return q;
}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    Close();
    db_ = other.db_;
    other.db_ = nullptr;
  }
  return *this;
}

void Connection::Open(const QString& path, int flags) {
  Close();
  const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    Close();
    throw DatabaseError(QDir::toNativeSeparators(path).toStdString() + ": " + message, rc);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

void Connection::Close() noexcept {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

namespace {

void CheckBind(sqlite3_stmt* stmt, int rc) {
  if (rc != SQLITE_OK) ThrowSqliteError(sqlite3_db_handle(stmt));
}

// The same letter in the other case, or the character itself when it has
// no other case.
char OtherCase(char c) {
  static const auto table = [] {
    std::array<char, 256> other{};
    for (int b = 0; b < 256; ++b) other[std::size_t(b)] = char(b);
    for (int b = 0; b < 256; ++b) {
      const char upper = cp1252::UpperChar(char(b));
      if (upper != char(b)) {
        other[std::size_t(b)] = upper;
        other[static_cast<unsigned char>(upper)] = char(b);
      }
    }
    return other;
  }();
  return table[static_cast<unsigned char>(c)];
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

// NOCASE folds A to Z itself, so ASCII letters stay as given. Both cases of
// every letter above 127 are two bytes in UTF-8, so the names that differ
// from `name` only in the case of such letters have the same length in
// bytes and differ only there: choosing the smaller case at each of those
// places gives the first of them, the larger the last.
Query& Query::BindLookAlikes(int index, std::string_view name) {
  std::string first, last;
  for (const char c : name) {
    const char other = static_cast<unsigned char>(c) < 0x80 ? c : OtherCase(c);
    const std::string mine = cp1252::ToUtf8(std::string_view(&c, 1));
    const std::string theirs = cp1252::ToUtf8(std::string_view(&other, 1));
    first += std::min(mine, theirs);
    last += std::max(mine, theirs);
  }
  BindUtf8(index, first);
  return BindUtf8(index + 1, last);
}

bool Query::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  // Take the message now: resetting the statement may replace it.
  sqlite3* db = sqlite3_db_handle(stmt_);
  std::string message = sqlite3_errmsg(db);
  const int code = sqlite3_extended_errcode(db);
  sqlite3_reset(stmt_);
  throw DatabaseError(message, code);
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

bool Query::HoldsName(int column, std::string_view name) const {
  if (IsNull(column)) return false;
  const std::string utf8 = Utf8(column);
  const std::string text = cp1252::FromUtf8(utf8);
  return cp1252::EqualsIgnoringCase(text, name) && cp1252::ToUtf8(text) == utf8;
}

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
