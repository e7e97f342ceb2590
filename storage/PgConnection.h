#pragma once
// One libpq connection to the PostgreSQL server of the shared back end,
// kept open by itself: a lost connection is noticed at the statement that
// fails, and connecting again is tried at that statement or at Poll() once
// its back-off has passed (half a second, doubling to 30 seconds). A
// connect never blocks for more than a quarter of a second at a time: one
// that takes longer goes on at the next Poll(), and fails after 3 seconds.
// While it is down every statement throws DatabaseError at once with the
// reason, so nothing waits on a database that is away.
//
// Error style: as the rest of storage/, DatabaseError with the server's
// message; kUnreachable as its code when the connection itself failed, so a
// caller can tell "the database is away" from "the database refused".
// Text crosses this class as UTF-8; the callers convert code page 1252.
#include "storage/Database.h"

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A statement the server refused, with its five-character SQLSTATE
// ("23505": a unique key broken, "40001": a serialization failure).
class PgError : public DatabaseError {
 public:
  PgError(const std::string& what, std::string state) : DatabaseError(what, 1), state_(std::move(state)) {}
  const std::string& state() const { return state_; }

 private:
  std::string state_;
};

struct pg_conn;
struct pg_result;

class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(pg_result* result);
  int Rows() const;
  bool IsNull(int row, int column) const;
  // The value as UTF-8 text; empty for NULL.
  std::string Text(int row, int column) const;
  std::optional<std::string> OptionalText(int row, int column) const;
  long long Int(int row, int column) const;
  // Rows a write changed.
  int Affected() const;
  // The command tag ("COMMIT", or "ROLLBACK" for a COMMIT of a transaction
  // that had already failed).
  std::string CommandTag() const;

 private:
  std::shared_ptr<pg_result> result_;
};

class PgConnection {
 public:
  // The code of DatabaseError when the server could not be reached or the
  // connection broke.
  static constexpr int kUnreachable = DatabaseError::kUnreachable;

  explicit PgConnection(std::string conninfo);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connects if not connected and the back-off allows. True when connected.
  bool Poll();
  bool Connected() const { return conn_ != nullptr; }
  // Why the last connect or statement failed; empty after a success.
  const std::string& LastError() const { return lastError_; }

  // Runs one statement with its parameters bound as text (nullopt is NULL).
  // Throws DatabaseError with code kUnreachable when the connection is
  // down or broke during it (it is then closed, to be made again), and
  // PgError with the server's message when the server refused it.
  using Param = std::optional<std::string>;
  PgResult Exec(const std::string& sql, std::initializer_list<Param> params = {});
  PgResult Exec(const std::string& sql, const std::vector<Param>& params);

  // Called after every successful connect, before any other statement: the
  // place to create tables and to LISTEN again. When it throws, the
  // connection is closed and counts as failed.
  void OnConnected(std::function<void(PgConnection&)> f) { onConnected_ = std::move(f); }

  // The socket to watch for notifications, -1 when not connected.
  int Socket() const;
  struct Notification {
    std::string channel;
    std::string payload;
  };
  // Reads what the server has sent and returns the notifications received
  // since the last call; a broken connection is closed here.
  std::vector<Notification> TakeNotifications();

  // The connection string with any password left out, for messages.
  std::string Shown() const;

 private:
  bool StartConnect();
  bool GoOnConnecting();
  bool Established(pg_conn* conn);
  void Drop(const std::string& why);
  [[noreturn]] void ThrowUnreachable();

  std::string conninfo_;
  pg_conn* conn_ = nullptr;
  // A connect under way, and how far it has got (a PostgresPollingStatusType).
  pg_conn* connecting_ = nullptr;
  int polling_ = 0;
  std::chrono::steady_clock::time_point connectDeadline_{};
  std::function<void(PgConnection&)> onConnected_;
  std::string lastError_;
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::chrono::milliseconds backoff_{0};
};
