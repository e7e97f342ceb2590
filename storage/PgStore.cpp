#include "storage/PgStore.h"

#include "storage/Cp1252.h"

PgStore::PgStore(std::string conninfo) : connection_(std::move(conninfo)) {}

std::string PgStore::Problem() const {
  if (Connected()) return {};
  const std::string& why = connection_.LastError();
  return "The database " + connection_.Shown() + " is unreachable: " +
         (why.empty() ? std::string("not connected yet") : why);
}

void PgStore::ThrowUnreachable(const std::string& why) const {
  throw DatabaseError(why, DatabaseError::kUnreachable);
}

PgResult PgStore::Exec(const std::string& sql, const Params& params) {
  if (!Connected()) ThrowUnreachable(Problem());
  if (depth_ > 0 && transactionGeneration_ != generation_)
    ThrowUnreachable("The connection to the database was lost during the transaction; nothing of "
                     "it was written");
  return Run(sql, params);
}

PgResult PgStore::Run(const std::string& sql, const Params& params) {
  try {
    return connection_.Exec(sql, params);
  } catch (const DatabaseError& e) {
    if (e.Unreachable() && onLost_) onLost_();
    throw;
  }
}

bool PgStore::Begin() {
  if (depth_ == 0) {
    if (!Connected()) ThrowUnreachable(Problem());
    transactionGeneration_ = generation_;
    Run("BEGIN");
  } else {
    Exec("SAVEPOINT nested");
  }
  ++depth_;
  return depth_ == 1;
}

void PgStore::Commit(bool outer) {
  if (!outer) {
    // Counted out first: a RELEASE that fails leaves the savepoint to the
    // outer scope's end.
    --depth_;
    Exec("RELEASE nested");
    return;
  }
  // The scope is over whatever happens below: the transaction either
  // commits or is gone.
  struct End {
    PgStore& s;
    ~End() { s.EndOuter(); }
  } end{*this};
  if (failCommits_) {
    Rollback(true);
    throw DatabaseError("the commit failed: commits are made to fail for the test");
  }
  const PgResult r = Exec("COMMIT");
  // COMMIT of a transaction that an error ended answers ROLLBACK.
  if (r.CommandTag() != "COMMIT")
    throw DatabaseError("the transaction was rolled back by the database server");
}

void PgStore::Rollback(bool outer) noexcept {
  try {
    if (transactionGeneration_ == generation_ && Connected()) {
      if (outer) {
        Run("ROLLBACK");
      } else {
        Run("ROLLBACK TO nested");
        Run("RELEASE nested");
      }
    }
  } catch (const DatabaseError&) {
    // A lost connection has rolled back by itself.
  }
  if (outer)
    EndOuter();
  else
    --depth_;
}

void PgStore::EndOuter() {
  depth_ = 0;
  if (!bansWritten_) return;
  bansWritten_ = false;
  if (onBansWritten_) onBansWritten_();
}

void PgStore::MarkBansWritten() {
  if (depth_ > 0)
    bansWritten_ = true;
  else if (onBansWritten_)
    onBansWritten_();
}

PgStore::Write::Write(PgStore& store, bool ownTransaction) : store_(store) {
  if (store.depth_ == 0 && !ownTransaction && !store.failCommits_) return;
  outer_ = store.Begin();
  active_ = true;
}

PgStore::Write::~Write() {
  if (active_ && !done_) store_.Rollback(outer_);
}

void PgStore::Write::Done() {
  if (!active_ || done_) return;
  done_ = true;
  store_.Commit(outer_);
}

PgConnection::Param PgStore::Text(const std::optional<std::string>& cp1252) {
  if (!cp1252) return std::nullopt;
  if (cp1252->find('\0') != std::string::npos)
    throw DatabaseError("the text holds the character 0x00, which PostgreSQL cannot store");
  return cp1252::ToUtf8(*cp1252);
}

std::optional<std::string> PgStore::FromText(const std::optional<std::string>& utf8) {
  if (!utf8) return std::nullopt;
  return cp1252::FromUtf8(*utf8);
}
