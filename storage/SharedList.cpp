#include "storage/SharedList.h"

#include "storage/Cp1252.h"
#include "storage/PgConnection.h"

#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <map>
#include <set>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTickMs = 1000;
// The others are read again this often even without a notification, in
// case one was lost with a connection.
constexpr auto kReadAnyway = std::chrono::seconds(5);
// A claim that broke a unique key although it held the claim lock (a
// registry of another make writing without it) looks again this many times.
constexpr int kClaimAttempts = 3;
constexpr const char* kChannel = "tarnwick_online";

// Advisory locks; the first number ("tarn") sets them apart from other
// users of the same database.
constexpr const char* kLockSchema = "SELECT pg_advisory_xact_lock(1952543342, 1)";
// Serializes the claims, catch-ups and clean-ups of every registry, so the
// lowest free index is looked up and taken in one step.
constexpr const char* kLockClaims = "SELECT pg_advisory_xact_lock(1952543342, 2)";

constexpr const char* kCreateInstances =
    "CREATE TABLE IF NOT EXISTS tarnwick_instances ("
    " name text PRIMARY KEY,"
    " heartbeat timestamptz NOT NULL)";
constexpr const char* kCreateOnline =
    "CREATE TABLE IF NOT EXISTS tarnwick_online ("
    " list_index smallint PRIMARY KEY CHECK (list_index BETWEEN 1 AND 255),"
    " user_key text NOT NULL UNIQUE,"
    " instance text NOT NULL,"
    " \"user\" text, ip text, listed_ip text, players smallint, name text,"
    " official smallint, description text, update_url text)";

constexpr const char* kColumns =
    "list_index, instance, \"user\", ip, listed_ip, players, name, official, description, "
    "update_url";

// The folded name the unique key is on: the program's own case rules, not
// the database's lower(), so that é and É are one name as everywhere else.
std::string Key(const std::string& user) { return cp1252::ToUtf8(cp1252::UpperCase(user)); }

// BEGIN now, ROLLBACK when left without Commit(). A connection that broke
// has lost its transaction with it: nothing to roll back then.
class Transaction {
 public:
  explicit Transaction(PgConnection& db) : db_(db) { db_.Exec("BEGIN"); }
  ~Transaction() {
    if (done_ || !db_.Connected()) return;
    try {
      db_.Exec("ROLLBACK");
    } catch (const DatabaseError&) {
    }
  }
  void Commit() {
    db_.Exec("COMMIT");
    done_ = true;
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

 private:
  PgConnection& db_;
  bool done_ = false;
};

std::vector<PgConnection::Param> Fields(const SharedServer& s, const std::string& key,
                                        const std::string& instance) {
  return {key,
          instance,
          cp1252::ToUtf8(s.user),
          cp1252::ToUtf8(s.ip),
          cp1252::ToUtf8(s.listedIp),
          std::to_string(int(s.players)),
          cp1252::ToUtf8(s.name),
          std::to_string(int(s.official)),
          cp1252::ToUtf8(s.description),
          cp1252::ToUtf8(s.updateUrl)};
}

SharedServer FromRow(const PgResult& r, int row) {
  SharedServer s;
  s.index = int(r.Int(row, 0));
  s.instance = cp1252::FromUtf8(r.Text(row, 1));
  s.user = cp1252::FromUtf8(r.Text(row, 2));
  s.ip = cp1252::FromUtf8(r.Text(row, 3));
  s.listedIp = cp1252::FromUtf8(r.Text(row, 4));
  s.players = std::uint8_t(r.Int(row, 5));
  s.name = cp1252::FromUtf8(r.Text(row, 6));
  s.official = std::uint8_t(r.Int(row, 7));
  s.description = cp1252::FromUtf8(r.Text(row, 8));
  s.updateUrl = cp1252::FromUtf8(r.Text(row, 9));
  return s;
}

QString Shown(const std::string& user) { return cp1252::ToUnicode(user); }

}  // namespace

struct SharedList::Pending {
  std::string instanceUtf8;
  // The entries this object claimed and has not released, by key.
  std::map<std::string, SharedServer> mine;
  // The latest fields of each server reported since the last tick.
  std::map<std::string, SharedServer> updates;
  // Releases the database did not take (it was away).
  std::set<std::string> releases;
  // A connection was made since the last catch-up / the notifier was made.
  bool catchUp = false;
  bool freshSocket = false;
  // Another registry notified a change not yet read.
  bool notified = false;
  bool drainQueued = false;
  Clock::time_point lastRead{};
  // What availabilityChanged last said; nothing is said before the event
  // loop first runs, when the creator has connected to the signals.
  bool reported = true;
  bool announced = false;
  bool closed = false;
};

SharedList::SharedList(const std::string& conninfo, const std::string& instance,
                       int deadAfterMs, QObject* parent)
    : QObject(parent),
      instance_(instance),
      deadAfterMs_(deadAfterMs),
      db_(std::make_unique<PgConnection>(conninfo)),
      pending_(std::make_unique<Pending>()) {
  pending_->instanceUtf8 = cp1252::ToUtf8(instance_);
  db_->OnConnected([this](PgConnection& c) { Prepare(c); });
  timer_ = new QTimer(this);
  timer_->setInterval(kTickMs);
  connect(timer_, &QTimer::timeout, this, &SharedList::Tick);
  timer_->start();
  Tick();
  QTimer::singleShot(0, this, [this] {
    pending_->announced = true;
    ReportAvailability();
    if (!others_.empty()) emit othersChanged();
  });
}

SharedList::~SharedList() { Close(); }

bool SharedList::Available() const { return !pending_->closed && db_->Connected(); }

std::string SharedList::Problem() const {
  if (Available()) return {};
  if (pending_->closed) return "the shared list is closed";
  return "the database server is unreachable (" + db_->Shown() + "): " + db_->LastError();
}

// After every connect, before anything else runs on it: the tables exist
// (made by whichever registry comes first, under a lock so two starting at
// once do not both try), notifications are listened for, and the catch-up
// is due.
void SharedList::Prepare(PgConnection& c) {
  c.Exec("BEGIN");
  // "already exists, skipping" is no news at every start but the first.
  c.Exec("SET LOCAL client_min_messages = warning");
  c.Exec(kLockSchema);
  c.Exec(kCreateInstances);
  c.Exec(kCreateOnline);
  c.Exec("COMMIT");
  c.Exec(std::string("LISTEN ") + kChannel);
  pending_->catchUp = true;
  pending_->freshSocket = true;
}

SharedList::Claim SharedList::TakeEntry(SharedServer& server, std::string* heldBy) {
  // Connecting again is the tick's work: a login never waits on a
  // database that is away.
  if (pending_->closed || !db_->Connected()) return Claim::Unavailable;
  server.instance = instance_;
  Claim claim = Claim::Unavailable;
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    try {
      Transaction t(*db_);
      claim = ClaimIn(server, heldBy);
      t.Commit();
      break;
    } catch (const PgError& e) {
      claim = Claim::Unavailable;
      if (e.state() != "23505") break;
    } catch (const DatabaseError&) {
      claim = Claim::Unavailable;
      break;
    }
  }
  if (claim == Claim::Claimed) pending_->mine[Key(server.user)] = server;
  AfterUse();
  return claim;
}

// The claim, inside its transaction. The unique key on user_key is what
// keeps an account online once; the lock only saves the loser of a race
// from a refused INSERT.
SharedList::Claim SharedList::ClaimIn(SharedServer& server, std::string* heldBy) {
  db_->Exec(kLockClaims);
  const bool removed = RemoveDead() > 0;
  const std::string key = Key(server.user);
  const PgResult held = db_->Exec("SELECT instance FROM tarnwick_online WHERE user_key = $1", {key});
  Claim claim = Claim::Claimed;
  if (held.Rows() > 0) {
    if (heldBy) *heldBy = cp1252::FromUtf8(held.Text(0, 0));
    claim = Claim::AlreadyOnline;
  } else if (const int index = FreeIndex(0); index == 0) {
    claim = Claim::ListFull;
  } else {
    UpsertInstance();
    Insert(server, key, index);
    server.index = index;
  }
  if (removed || claim == Claim::Claimed) Notify();
  return claim;
}

void SharedList::Release(const std::string& user) {
  const std::string key = Key(user);
  pending_->mine.erase(key);
  pending_->updates.erase(key);
  if (pending_->closed) return;
  if (!db_->Connected()) {
    pending_->releases.insert(key);
    return;
  }
  try {
    db_->Exec("WITH gone AS (DELETE FROM tarnwick_online WHERE user_key = $1 AND instance = $2"
              " RETURNING 1) SELECT pg_notify($3, $2) FROM gone LIMIT 1",
              {key, pending_->instanceUtf8, std::string(kChannel)});
  } catch (const DatabaseError&) {
    pending_->releases.insert(key);
  }
  AfterUse();
}

void SharedList::Update(const SharedServer& server) {
  if (pending_->closed) return;
  const std::string key = Key(server.user);
  SharedServer s = server;
  s.instance = instance_;
  if (auto it = pending_->mine.find(key); it != pending_->mine.end()) {
    s.index = it->second.index;
    it->second = s;
  }
  pending_->updates[key] = std::move(s);
}

void SharedList::Close() {
  if (pending_->closed) return;
  pending_->closed = true;
  timer_->stop();
  if (notifier_) {
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
  }
  if (!db_->Connected()) return;
  try {
    Transaction t(*db_);
    db_->Exec("DELETE FROM tarnwick_online WHERE instance = $1", {pending_->instanceUtf8});
    db_->Exec("DELETE FROM tarnwick_instances WHERE name = $1", {pending_->instanceUtf8});
    Notify();
    t.Commit();
  } catch (const DatabaseError&) {
    // Away: the others drop the entries when the heartbeat is found stale.
  }
}

void SharedList::Tick() {
  if (pending_->closed) return;
  try {
    if (db_->Poll()) {
      SyncNotifier();
      if (pending_->catchUp) CatchUp();
      if (!Beat()) CatchUp();
      Drain();
      if (pending_->notified || Clock::now() - pending_->lastRead >= kReadAnyway) ReadOthers();
    }
  } catch (const DatabaseError&) {
    // Unreachable: said once by ReportAvailability; refused: tried again
    // at the next tick, the pending work being kept.
  }
  SyncNotifier();
  ReportAvailability();
}

// The heartbeat, the flush of updates and releases, and the removal of
// dead registries, in one transaction. False when this registry's own row
// was gone: it was taken for dead, its entries removed, and a catch-up
// must put them back.
bool SharedList::Beat() {
  Pending& p = *pending_;
  Transaction t(*db_);
  db_->Exec(kLockClaims);
  const bool alive =
      db_->Exec("UPDATE tarnwick_instances SET heartbeat = now() WHERE name = $1", {p.instanceUtf8})
          .Affected() > 0;
  if (!alive) UpsertInstance();
  const bool removed = RemoveDead() > 0;
  bool changed = removed;
  for (const std::string& key : p.releases)
    changed |= db_->Exec("DELETE FROM tarnwick_online WHERE user_key = $1 AND instance = $2",
                         {key, p.instanceUtf8})
                   .Affected() > 0;
  for (const auto& [key, server] : p.updates) changed |= WriteBack(server, key);
  if (changed) Notify();
  t.Commit();
  p.releases.clear();
  p.updates.clear();
  if (removed) p.notified = true;
  return alive;
}

// After a new connection, or after this registry was taken for dead: the
// database is made to hold exactly this registry's servers as they are
// here. Entries released meanwhile go, the others are claimed again; one
// claimed meanwhile at another registry is lost here, as the database
// decides. The signals go out after the commit, when the state here is
// whole, since their receivers call back (a lost server is released).
void SharedList::CatchUp() {
  Pending& p = *pending_;
  std::vector<SharedServer> own;
  if (own_) {
    own = own_();
  } else {
    for (const auto& [key, server] : p.mine) own.push_back(server);
  }
  CatchUpResult result;
  {
    Transaction t(*db_);
    db_->Exec(kLockClaims);
    RemoveDead();
    UpsertInstance();
    result = ClaimAgain(own);
    Notify();
    t.Commit();
  }
  p.mine = std::move(result.kept);
  p.updates.clear();
  p.releases.clear();
  p.catchUp = false;
  ReadOthers();
  for (const std::string& user : result.lost) emit entryLost(Shown(user));
  for (const auto& [user, index] : result.moved) emit indexChanged(Shown(user), index);
}

SharedList::CatchUpResult SharedList::ClaimAgain(const std::vector<SharedServer>& own) {
  const std::string& me = pending_->instanceUtf8;
  CatchUpResult result;
  std::set<std::string> keys;
  for (const SharedServer& s : own) keys.insert(Key(s.user));
  const PgResult rows = db_->Exec("SELECT user_key FROM tarnwick_online WHERE instance = $1", {me});
  for (int row = 0; row < rows.Rows(); ++row)
    if (!keys.count(rows.Text(row, 0)))
      db_->Exec("DELETE FROM tarnwick_online WHERE user_key = $1 AND instance = $2",
                {rows.Text(row, 0), me});
  for (SharedServer s : own) {
    const std::string key = Key(s.user);
    if (result.kept.count(key)) continue;
    s.instance = instance_;
    const PgResult held =
        db_->Exec("SELECT instance, list_index FROM tarnwick_online WHERE user_key = $1", {key});
    int index = 0;
    if (held.Rows() > 0) {
      if (held.Text(0, 0) == me && WriteBack(s, key)) index = int(held.Int(0, 1));
    } else if ((index = FreeIndex(s.index)) != 0) {
      Insert(s, key, index);
    }
    if (index == 0) {
      result.lost.push_back(s.user);
      continue;
    }
    if (index != s.index) result.moved.emplace_back(s.user, index);
    s.index = index;
    result.kept[key] = s;
  }
  return result;
}

// Removes the entries of registries whose heartbeat is older than
// deadAfterMs by the database's clock, and entries of no registry at all.
// Returns the number of entries removed.
int SharedList::RemoveDead() {
  return db_
      ->Exec("WITH dead AS (DELETE FROM tarnwick_instances WHERE name <> $1"
             " AND heartbeat < now() - make_interval(secs => $2::double precision / 1000)"
             " RETURNING name)"
             " DELETE FROM tarnwick_online o WHERE o.instance <> $1"
             " AND (o.instance IN (SELECT name FROM dead)"
             " OR NOT EXISTS (SELECT 1 FROM tarnwick_instances i WHERE i.name = o.instance))",
             {pending_->instanceUtf8, std::to_string(deadAfterMs_)})
      .Affected();
}

// The index to give a new entry: `preferred` when it is free, else the
// lowest free one; 0 when all 255 are taken.
int SharedList::FreeIndex(int preferred) {
  const PgResult r = db_->Exec(
      "SELECT s.i FROM generate_series(1, 255) AS s(i)"
      " WHERE NOT EXISTS (SELECT 1 FROM tarnwick_online WHERE list_index = s.i)"
      " ORDER BY s.i = $1::int DESC, s.i LIMIT 1",
      {std::to_string(preferred)});
  return r.Rows() > 0 ? int(r.Int(0, 0)) : 0;
}

void SharedList::Insert(const SharedServer& server, const std::string& key, int index) {
  std::vector<PgConnection::Param> params = Fields(server, key, pending_->instanceUtf8);
  params.push_back(std::to_string(index));
  db_->Exec("INSERT INTO tarnwick_online (user_key, instance, \"user\", ip, listed_ip, players,"
            " name, official, description, update_url, list_index)"
            " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
            params);
}

// Writes the server's fields into its entry; false when this registry
// holds no entry for it.
bool SharedList::WriteBack(const SharedServer& server, const std::string& key) {
  return db_->Exec("UPDATE tarnwick_online SET \"user\" = $3, ip = $4, listed_ip = $5,"
                   " players = $6, name = $7, official = $8, description = $9, update_url = $10"
                   " WHERE user_key = $1 AND instance = $2",
                   Fields(server, key, pending_->instanceUtf8))
             .Affected() > 0;
}

void SharedList::UpsertInstance() {
  db_->Exec("INSERT INTO tarnwick_instances (name, heartbeat) VALUES ($1, now())"
            " ON CONFLICT (name) DO UPDATE SET heartbeat = now()",
            {pending_->instanceUtf8});
}

// Sent at the commit of the transaction it is in.
void SharedList::Notify() {
  db_->Exec("SELECT pg_notify($1, $2)", {std::string(kChannel), pending_->instanceUtf8});
}

void SharedList::ReadOthers() {
  const PgResult r = db_->Exec(std::string("SELECT ") + kColumns +
                                   " FROM tarnwick_online WHERE instance <> $1 ORDER BY list_index",
                               {pending_->instanceUtf8});
  std::vector<SharedServer> now;
  now.reserve(std::size_t(r.Rows()));
  for (int row = 0; row < r.Rows(); ++row) now.push_back(FromRow(r, row));
  pending_->lastRead = Clock::now();
  pending_->notified = false;
  if (now == others_) return;
  others_ = std::move(now);
  emit othersChanged();
}

// Takes in the notifications libpq has read, whether from the socket now
// or along with the results of earlier statements.
void SharedList::Drain() {
  for (const PgConnection::Notification& n : db_->TakeNotifications())
    if (n.channel == kChannel && n.payload != pending_->instanceUtf8) pending_->notified = true;
}

void SharedList::OnNotification() {
  pending_->drainQueued = false;
  if (pending_->closed) return;
  Drain();
  SyncNotifier();
  if (pending_->notified && db_->Connected() && !pending_->catchUp) {
    try {
      ReadOthers();
    } catch (const DatabaseError&) {
    }
    SyncNotifier();
  }
  ReportAvailability();
}

// After a call from the registry: the notifier follows the connection now
// (its socket may be closed before the event loop polls it again); what
// came in meanwhile is read, and availability reported, from the event
// loop, so that no signal is emitted inside the caller's call.
void SharedList::AfterUse() {
  SyncNotifier();
  if (pending_->drainQueued) return;
  pending_->drainQueued = true;
  QMetaObject::invokeMethod(this, &SharedList::OnNotification, Qt::QueuedConnection);
}

// One notifier per connection: made when a connection is, dropped when it
// breaks (a new connection may reuse the number of the old socket).
void SharedList::SyncNotifier() {
  const int fd = pending_->closed ? -1 : db_->Socket();
  if (notifier_ && (pending_->freshSocket || int(notifier_->socket()) != fd)) {
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
  }
  pending_->freshSocket = false;
  if (notifier_ || fd < 0) return;
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &SharedList::OnNotification);
}

void SharedList::ReportAvailability() {
  Pending& p = *pending_;
  if (!p.announced || p.closed) return;
  const bool now = db_->Connected();
  if (now == p.reported) return;
  p.reported = now;
  emit availabilityChanged(now, now ? QString() : QString::fromUtf8(Problem()));
}
