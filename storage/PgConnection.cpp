#include "storage/PgConnection.h"

#include <libpq-fe.h>

#include <algorithm>

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLastBackoff{30000};

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
}

bool PgConnection::Poll() {
  if (conn_) return true;
  if (std::chrono::steady_clock::now() < nextAttempt_) return false;
  return Connect();
}

// The registry's defaults come first, so that the operator's connection
// string, expanded last, overrides any of them.
bool PgConnection::Connect() {
  const char* keys[] = {"connect_timeout", "client_encoding", "application_name",
                        "keepalives_idle", "keepalives_interval", "keepalives_count",
                        "dbname", nullptr};
  const char* values[] = {"3", "UTF8", "tarnwick", "10", "5", "3", conninfo_.c_str(), nullptr};
  pg_conn* conn = PQconnectdbParams(keys, values, 1);
  if (!conn || PQstatus(conn) != CONNECTION_OK) {
    const std::string why = conn ? Trimmed(PQerrorMessage(conn)) : "out of memory";
    if (conn) PQfinish(conn);
    Drop(why);
    return false;
  }
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
  conn_ = nullptr;
  lastError_ = why;
  backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(backoff_ * 2, kLastBackoff);
  nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
}

void PgConnection::ThrowUnreachable() {
  throw DatabaseError("the database server is unreachable (" + Shown() + "): " + lastError_,
                      kUnreachable);
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
