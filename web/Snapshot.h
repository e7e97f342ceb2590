#pragma once
// What the HTTP side serves, as immutable snapshots that the registry
// thread publishes and the HTTP thread reads. A snapshot is never changed
// once published: the registry thread builds a new one and swaps it in, and
// the HTTP thread keeps whichever it loaded for as long as it sends from it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// One body in both forms the HTTP side sends it, with its validators.
struct Representation {
  std::string plain;
  std::string gzip;
  std::string etag;      // of the plain form, quotes included
  std::string gzipEtag;  // of the gzip form
};

// The list and the page, rebuilt only when a server list shows something
// new.
struct ListSnapshot {
  Representation json;
  // The page in the game's order, sorted by players and by name.
  Representation page, pageByPlayers, pageByName;
  int servers = 0;
  int players = 0;
};

struct WebSnapshot {
  std::shared_ptr<const ListSnapshot> list;
  // What /metrics and /healthz show besides the counters.
  int connections = 0;
  long long accounts = 0;
  long long bans = 0;
  long long accessesPerHour = 0;
  bool newAccountsAllowed = false;
  long long databaseBytes = 0;
  bool listening = false;  // on the game port
  // Why logins cannot be served while the shared database or list is away;
  // empty when they can (and always without sharing).
  std::string sharingProblem;
};

// The one place a snapshot passes between the threads. The registry thread
// also stamps each pass of its loop here, so the HTTP side can tell a
// registry whose loop has stopped turning.
class SnapshotBox {
 public:
  void Publish(std::shared_ptr<const WebSnapshot> snapshot) {
    current_.store(std::move(snapshot), std::memory_order_release);
  }
  std::shared_ptr<const WebSnapshot> Load() const { return current_.load(std::memory_order_acquire); }

  // Milliseconds of a monotonic clock.
  void Beat(std::int64_t nowMs) { heartbeat_.store(nowMs, std::memory_order_relaxed); }
  std::int64_t LastBeat() const { return heartbeat_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::shared_ptr<const WebSnapshot>> current_;
  std::atomic<std::int64_t> heartbeat_{0};
};

// The monotonic clock of the heartbeat.
std::int64_t MonotonicMs();
