#pragma once
// The live list shared by the registries of one game through PostgreSQL.
// Each registry (its instance name) publishes the game servers logged in
// at it, keeps a heartbeat, and learns the others' changes through
// LISTEN/NOTIFY, keeping their servers in memory so that a list request
// never waits on the database.
//
// Every entry has a list index, 1..255, given by the database at the claim
// and the same at every registry: the merged list is read in index order
// exactly as one registry's list is read in slot order, so a ListMore's
// index means the same whichever registry the player asks next. The
// database holds at most 255 entries: a claim beyond them is ListFull.
//
// An account is online at most once across all registries: the claim is
// one transaction against a unique key of the folded user name, so of two
// logins at two registries at the same moment exactly one is Claimed.
// A registry whose heartbeat is older than kDeadAfterMs has its entries
// removed by the next registry that looks.
//
// Text crosses this class as code page 1252 bytes, as everywhere else in
// the program; PostgreSQL holds UTF-8.
#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class PgConnection;
class QSocketNotifier;
class QTimer;

struct SharedServer {
  int index = 0;          // 1..255, set by Claim
  std::string instance;   // the registry it is logged in at
  std::string user;       // as sent at login
  std::string ip;         // its own address
  std::string listedIp;   // the address players on the internet are given
  std::uint8_t players = 0;
  std::string name;
  std::uint8_t official = 0;
  std::string description;
  std::string updateUrl;

  bool operator==(const SharedServer&) const = default;
};

class SharedList : public QObject {
  Q_OBJECT
 public:
  static constexpr int kDeadAfterMs = 20000;

  // Connects at once (never throws, and waits no longer than one connect
  // time-out when the server is away; connecting is then tried again every
  // second with back-off). At the first connect the entries a former run
  // under this instance name left are removed: the name must be unique
  // among the registries running. deadAfterMs: tests may use less than the
  // default.
  SharedList(const std::string& conninfo, const std::string& instance,
             int deadAfterMs = kDeadAfterMs, QObject* parent = nullptr);
  ~SharedList() override;

  const std::string& Instance() const { return instance_; }

  enum class Claim { Claimed, AlreadyOnline, ListFull, Unavailable };
  // Takes the account's entry for this registry and sets server.index. On
  // AlreadyOnline, *heldBy names the registry it is online at.
  Claim TakeEntry(SharedServer& server, std::string* heldBy);
  // The server left: its entry goes at once, or at the catch-up after the
  // database comes back.
  void Release(const std::string& user);
  // The server reported a new name, description or player count: written
  // within a second.
  void Update(const SharedServer& server);

  // The servers logged in at the other registries, in index order.
  const std::vector<SharedServer>& Others() const { return others_; }

  bool Available() const;
  std::string Problem() const;

  // This registry's own servers as they are now; asked at each catch-up
  // after the database was away, to write the truth back. Without it the
  // entries this object claimed and has not released stand for them.
  void SetOwnServers(std::function<std::vector<SharedServer>()> own) { own_ = std::move(own); }

  // The clean stop: this registry's entries and its heartbeat row go at
  // once, so the others drop its servers now rather than when it is found
  // dead. Nothing is claimed or written afterwards. The destructor calls it;
  // calling it again does nothing.
  void Close();

 signals:
  // The user names in these signals are the code page 1252 bytes made
  // Unicode (cp1252::ToUnicode); cp1252::FromUnicode gives them back.
  // Others() changed.
  void othersChanged();
  // The database became unreachable (reason) or reachable again (empty).
  void availabilityChanged(bool available, const QString& reason);
  // At the catch-up, one of this registry's servers was found online at
  // another registry meanwhile (or the 255 entries were all taken): the
  // database decides, so it is to be disconnected here. Its entry is not
  // this registry's; a Release of it changes nothing.
  void entryLost(const QString& user);
  // At the catch-up, one of this registry's servers was given another list
  // index, its old one being taken meanwhile (or the index SetOwnServers
  // gave was 0): the index to use from now on.
  void indexChanged(const QString& user, int index);

 private:
  // The heartbeat, the flush of updates, the removal of dead registries
  // and the reconnect; every second.
  void Tick();
  void ReadOthers();
  void OnNotification();

  void Prepare(PgConnection& connection);
  Claim ClaimIn(SharedServer& server, std::string* heldBy);
  bool Beat();
  void CatchUp();
  struct CatchUpResult {
    std::map<std::string, SharedServer> kept;
    std::vector<std::string> lost;
    std::vector<std::pair<std::string, int>> moved;
  };
  CatchUpResult ClaimAgain(const std::vector<SharedServer>& own);
  int RemoveDead();
  int FreeIndex(int preferred);
  void Insert(const SharedServer& server, const std::string& key, int index);
  bool WriteBack(const SharedServer& server, const std::string& key);
  void UpsertInstance();
  void Notify();
  void Drain();
  void AfterUse();
  void SyncNotifier();
  void ReportAvailability();

  std::string instance_;
  int deadAfterMs_;
  std::unique_ptr<PgConnection> db_;
  std::function<std::vector<SharedServer>()> own_;
  std::vector<SharedServer> others_;
  QTimer* timer_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
  struct Pending;
  std::unique_ptr<Pending> pending_;
};
