#pragma once
// The shared back end's side of the database: one PostgreSQL connection,
// the transaction scopes over it and the rules every statement of the
// accounts and bans goes by.
//
// A statement never waits on a server that is away: while the connection
// is down it throws DatabaseError kUnreachable at once, and connecting
// again is left to Poll(). A transaction belongs to the connection it
// began on: once that connection is lost, every further statement of the
// transaction throws kUnreachable, so writes made after a reconnect can
// never be committed in place of the ones the lost connection took with it.
//
// As in SQLite, a statement that fails inside a transaction undoes only
// itself (each write runs under a savepoint of its own); PostgreSQL would
// otherwise refuse the rest of the transaction.
#include "storage/PgConnection.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class PgStore {
 public:
  explicit PgStore(std::string conninfo);

  PgConnection& connection() { return connection_; }
  bool Connected() const { return connection_.Connected(); }
  // "The database host=... is unreachable: reason", or empty when connected.
  std::string Problem() const;

  using Params = std::vector<PgConnection::Param>;
  PgResult Exec(const std::string& sql, const Params& params = {});

  // The scopes of Database::Transaction. Begin returns true for the outer
  // scope, which owns the PostgreSQL transaction.
  bool Begin();
  void Commit(bool outer);
  void Rollback(bool outer) noexcept;
  int Depth() const { return depth_; }
  void FailCommits(bool on) { failCommits_ = on; }

  // One write of accounts or bans: inside a transaction a savepoint, which
  // its failure rolls back to; outside one, a transaction of its own when
  // it needs one (a NOTIFY that must go with it, commits made to fail),
  // otherwise the statement commits by itself.
  class Write {
   public:
    Write(PgStore& store, bool ownTransaction);
    ~Write();
    void Done();
    Write(const Write&) = delete;
    Write& operator=(const Write&) = delete;

   private:
    PgStore& store_;
    bool active_ = false;
    bool outer_ = false;
    bool done_ = false;
  };

  // Runs after the outermost scope ends, committed or not, when a write in
  // it asked for it (MarkBansWritten): the bans in memory are read again.
  void OnBansWritten(std::function<void()> f) { onBansWritten_ = std::move(f); }
  void MarkBansWritten();

  // Called when a statement finds the connection lost (it is closed then).
  void OnLost(std::function<void()> f) { onLost_ = std::move(f); }

  // Connections made so far; a transaction holds the number it began under.
  std::uint64_t Generation() const { return generation_; }
  void CountConnect() { ++generation_; }

  // Text crosses to PostgreSQL as UTF-8. It cannot hold the character
  // 0x00: such text is refused rather than cut short at it.
  static PgConnection::Param Text(const std::optional<std::string>& cp1252);
  static std::optional<std::string> FromText(const std::optional<std::string>& utf8);

 private:
  [[noreturn]] void ThrowUnreachable(const std::string& why) const;
  PgResult Run(const std::string& sql, const Params& params = {});
  void EndOuter();

  PgConnection connection_;
  int depth_ = 0;
  bool failCommits_ = false;
  std::uint64_t generation_ = 0;
  std::uint64_t transactionGeneration_ = 0;
  bool bansWritten_ = false;
  std::function<void()> onBansWritten_;
  std::function<void()> onLost_;
};
