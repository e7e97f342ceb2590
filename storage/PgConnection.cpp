#include "storage/PgConnection.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <utility>

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLastBackoff{30000};
constexpr std::chrono::milliseconds kConnectTimeout{3000};
constexpr std::chrono::milliseconds kConnectSlice{250};

std::string Trimmed(const char* message) {
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  // libpq's messages may run over lines ("connection to server ... failed:
  // ...\n\tIs the server running..."): one line for the operator.
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\t', ' ');
  s.erase(std::unique(s.begin(), s.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
          s.end());
  return s;
}

}  // namespace

PgResult::PgResult(pg_result* result) : result_(result, PQclear) {}
int PgResult::Rows() const { return result_ ? PQntuples(result_.get()) : 0; }
bool PgResult::IsNull(int row, int column) const {
  return !result_ || PQgetisnull(result_.get(), row, column);
}
std::string PgResult::Text(int row, int column) const {
  if (IsNull(row, column)) return {};
  return std::string(PQgetvalue(result_.get(), row, column),
                     std::size_t(PQgetlength(result_.get(), row, column)));
}
std::optional<std::string> PgResult::OptionalText(int row, int column) const {
  if (IsNull(row, column)) return std::nullopt;
  return Text(row, column);
}
long long PgResult::Int(int row, int column) const {
  return IsNull(row, column) ? 0 : std::atoll(PQgetvalue(result_.get(), row, column));
}
int PgResult::Affected() const {
  const char* n = result_ ? PQcmdTuples(result_.get()) : "";
  return *n ? std::atoi(n) : 0;
}

std::string PgResult::CommandTag() const { return result_ ? PQcmdStatus(result_.get()) : ""; }

PgConnection::PgConnection(std::string conninfo) : conninfo_(std::move(conninfo)) {}

PgConnection::~PgConnection() {
  if (conn_) PQfinish(conn_);
  if (connecting_) PQfinish(connecting_);
}

bool PgConnection::Poll() {
  if (conn_) return true;
  if (!connecting_) {
    if (std::chrono::steady_clock::now() < nextAttempt_) return false;
    if (!StartConnect()) return false;
  }
  return GoOnConnecting();
}

// The registry's defaults come first, so that the operator's connection
// string, expanded last, overrides any of them. The connect itself runs
// without blocking (PQconnectStart): a server that does not answer, as
// behind a cut network, must not stop the registry's thread, which goes on
// serving lists meanwhile. A statement on a connection that stops
// answering gives up after tcp_user_timeout, and one the server keeps
// waiting after statement_timeout.
bool PgConnection::StartConnect() {
  const char* keys[] = {"client_encoding", "application_name", "keepalives_idle",
                        "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                        "options", "dbname", nullptr};
  const char* values[] = {"UTF8", "tarnwick", "10", "5", "3", "5000",
                          "-c statement_timeout=10000", conninfo_.c_str(), nullptr};
  connecting_ = PQconnectStartParams(keys, values, 1);
  if (!connecting_ || PQstatus(connecting_) == CONNECTION_BAD) {
    Drop(connecting_ ? Trimmed(PQerrorMessage(connecting_)) : "out of memory");
    return false;
  }
  connectDeadline_ = std::chrono::steady_clock::now() + kConnectTimeout;
  polling_ = PGRES_POLLING_WRITING;
  return true;
}

// Takes the connect on for at most kConnectSlice: a server on this machine
// is connected to within one call, one far away over a few.
bool PgConnection::GoOnConnecting() {
  using std::chrono::steady_clock;
  const auto sliceEnd = std::min(steady_clock::now() + kConnectSlice, connectDeadline_);
  while (polling_ != PGRES_POLLING_OK) {
    if (polling_ == PGRES_POLLING_FAILED) {
      Drop(Trimmed(PQerrorMessage(connecting_)));
      return false;
    }
    const auto now = steady_clock::now();
    if (now >= connectDeadline_) {
      Drop("no answer within " + std::to_string(kConnectTimeout.count() / 1000) + " seconds");
      return false;
    }
    if (now >= sliceEnd) return false;
    pollfd fd{PQsocket(connecting_), short(polling_ == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(sliceEnd - now);
    // EINTR or a timeout: look again; the deadlines bound the loop.
    if (poll(&fd, 1, int(wait.count()) + 1) > 0) polling_ = PQconnectPoll(connecting_);
  }
  return Established(std::exchange(connecting_, nullptr));
}

bool PgConnection::Established(pg_conn* conn) {
  // libpq prints the server's notices (and its message as a session is
  // ended) on standard error by itself; storage/ reports by its errors
  // alone, so they are dropped here.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  conn_ = conn;
  try {
    if (onConnected_) onConnected_(*this);
  } catch (const DatabaseError& e) {
    Drop(e.what());
    return false;
  }
  backoff_ = std::chrono::milliseconds(0);
  lastError_.clear();
  return true;
}

void PgConnection::Drop(const std::string& why) {
  if (conn_) PQfinish(conn_);
  if (connecting_) PQfinish(connecting_);
  conn_ = connecting_ = nullptr;
  lastError_ = why;
  backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(backoff_ * 2, kLastBackoff);
  nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
}

void PgConnection::ThrowUnreachable() {
  const std::string why = connecting_ ? "still connecting" : lastError_;
  throw DatabaseError("the database server is unreachable (" + Shown() + "): " + why, kUnreachable);
}

PgResult PgConnection::Exec(const std::string& sql, std::initializer_list<Param> params) {
  return Exec(sql, std::vector<Param>(params));
}

PgResult PgConnection::Exec(const std::string& sql, const std::vector<Param>& params) {
  if (!conn_ && !Poll()) ThrowUnreachable();
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
  pg_result* r = PQexecParams(conn_, sql.c_str(), int(values.size()), nullptr, values.data(),
                              nullptr, nullptr, 0);
  PgResult result(r);
  if (PQstatus(conn_) != CONNECTION_OK) {
    Drop(Trimmed(PQerrorMessage(conn_)));
    ThrowUnreachable();
  }
  const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
  {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    throw PgError(primary ? Trimmed(primary) : Trimmed(PQerrorMessage(conn_)), state ? state : "");
  }
  return result;
}

int PgConnection::Socket() const { return conn_ ? PQsocket(conn_) : -1; }

std::vector<PgConnection::Notification> PgConnection::TakeNotifications() {
  std::vector<Notification> out;
  if (!conn_) return out;
  if (!PQconsumeInput(conn_) || PQstatus(conn_) != CONNECTION_OK) {
    Drop(Trimmed(PQerrorMessage(conn_)));
    return out;
  }
  while (PGnotify* n = PQnotifies(conn_)) {
    out.push_back({n->relname, n->extra ? n->extra : ""});
    PQfreemem(n);
  }
  return out;
}

std::string PgConnection::Shown() const {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo_.c_str(), &error);
  if (!options) {
    if (error) PQfreemem(error);
    return "an unreadable connection string";
  }
  std::string shown;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    const std::string key = o->keyword;
    if (!o->val || !*o->val) continue;
    if (key != "host" && key != "hostaddr" && key != "port" && key != "dbname" && key != "user")
      continue;
    if (!shown.empty()) shown += ' ';
    shown += key + "=" + o->val;
  }
  PQconninfoFree(options);
  return shown.empty() ? "the default server" : shown;
}
