#pragma once
// The load scenarios, each a closed loop of connections on the load
// generator's event loop: complete server lists on kept connections (list),
// a connection per complete list (churn), logins, new accounts, and game
// servers that stay logged in and answer pings (the fleet).
#include "bench/Fleet.h"
#include "bench/Loop.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// kIdle: connected and silent; whatever happens to it is ignored.
enum Role {
  kFleet = 1, kPlayer, kChurn, kLogin, kNewAccount, kFetch, kIdle, kAttacker, kSiegeServer,
  kServerFlood, kNeverReader, kSiegePlayer
};

// What one measured window produced.
struct Throughput {
  double seconds = 0;
  std::uint64_t done = 0;
  std::vector<float> latencyMs;
  std::map<std::string, std::uint64_t> errors;
  double serverCpu = 0;  // CPU seconds of the server under load
  double loadCpu = 0;    // CPU seconds of the load generator
  double Rate() const { return seconds > 0 ? double(done) / seconds : 0; }
  double Percentile(double p) const;
  std::uint64_t ErrorCount() const;
  void Merge(const Throughput& other);
};

// Game servers that log in and then stay, answering every ping. They live
// on the same loop as the scenario running beside them.
class Fleet {
 public:
  explicit Fleet(Loop& loop, fleet::Shape shape = fleet::Shape::Realistic)
      : loop_(loop), shape_(shape) {}
  // Logs servers first..last of the bench fleet in, one after the other so
  // that server i takes slot i of an empty registry. False when one fails.
  bool LogIn(std::uint16_t port, int first, int last, double timeoutSeconds = 30);
  int LoggedIn() const { return loggedIn_; }
  std::uint64_t pings = 0;
  std::uint64_t dropped = 0;

  void OnConnected(Conn& c);
  void OnPacket(Conn& c, std::string_view body);
  void OnClosed(Conn& c);

 private:
  Loop& loop_;
  fleet::Shape shape_;
  int loggedIn_ = 0;
};

// The loopback address connection k (from 1) of a scenario comes from: each
// scenario has a range of its own and takes one address after the other, so
// no address comes near the registry's per-address limits and no address
// runs out of ephemeral ports.
std::uint32_t SourceFor(Role role, int k);

struct LoadOptions {
  std::uint16_t port = 0;
  pid_t server = -1;  // whose CPU time is read
  int connections = 32;
  double warmup = 0.5;
  double seconds = 5;
  // login: accounts 1..loginPool of fleet::LoginUser
  int loginPool = 0;
  // newaccount: a prefix that makes the names of this run new
  std::string namePrefix = "na";
};

// Every scenario keeps the fleet (if any) served while it runs.
Throughput RunList(Loop& loop, Fleet* fleet, const LoadOptions& o);
Throughput RunChurn(Loop& loop, Fleet* fleet, const LoadOptions& o);
Throughput RunLogin(Loop& loop, Fleet* fleet, const LoadOptions& o);
Throughput RunNewAccount(Loop& loop, Fleet* fleet, const LoadOptions& o);
// Serves the fleet only, for the given time.
void RunIdle(Loop& loop, Fleet& fleet, double seconds);

// The siege: three kinds of attacker, in a process of their own, while game
// servers (accounts of the realistic fleet, each from an address of its
// own) log in, and again when dropped, and players fetch the whole list.
//  - connection flood, 127.0.1.1 to 127.0.1.32: each address tries to hold
//    more connections than it may, keeps them alive with Pong and reconnects
//    as fast as it can;
//  - logged-in flood, 127.0.4.1 to 127.0.4.32: each address keeps more
//    NewAccount attempts going than it may hold servers, each with a new
//    name; an account it gets stays logged in and answers pings; refused,
//    dropped or closed, it tries again at once with another name;
//  - never-reading peers, 127.0.5.1 to 127.0.5.32, several per address: a
//    small receive buffer, a burst of ListRequests and more every 50 ms,
//    and never a byte read, so the replies pile up in the
//    registry; reconnected at once when dropped.
struct SiegeOptions {
  std::uint16_t port = 0;
  pid_t server = -1;
  double seconds = 5;
  int servers = 50;
  int players = 8;
  // Each player starts a list every this many seconds (8 players: 1000
  // lists/s); see Defenders in Scenarios.cpp for why they are paced.
  double listEvery = 0.008;
  bool attack = true;
  bool connectionFlood = true;
  bool serverFlood = true;
  bool neverReaders = true;
  double siegeHead = 2;  // the attackers' head start before the measure
  // After the attackers stop: how long to wait at most for the registry's
  // resident memory to come back to within settleWithinKib of where it was
  // before they started.
  double settleSeconds = 60;
  long settleWithinKib = 20 * 1024;
  // Where memory must come back to; 0: as at the start of this run.
  long baselineKib = 0;
};

// What the attackers' process did, over the head start and the measure.
struct AttackCounts {
  std::uint64_t floodConnects = 0;
  std::uint64_t serverConnects = 0;
  std::uint64_t accountsCreated = 0;
  std::uint64_t serverRefusals = 0;  // LoginRefused, AccountExists, ServerFull
  std::uint64_t serversHeldPeak = 0;  // logged in at once
  std::uint64_t readerConnects = 0;
  std::uint64_t readerRequests = 0;  // ListRequests handed to the kernel
};

struct SiegeResult {
  double seconds = 0;
  std::uint64_t loginAttempts = 0;
  std::uint64_t logins = 0;
  std::uint64_t listsStarted = 0;
  std::uint64_t lists = 0;
  std::uint64_t listRequests = 0;  // of completed lists, ListMore follow-ups included
  std::uint64_t playerAddresses = 0;
  std::uint64_t playerDrops = 0;  // closed or refused by the registry
  // Seconds from the start until every game server was logged in (the
  // longest of the rounds); negative when they never all were.
  double allLoggedInAfter = -1;
  std::vector<float> listMs;
  // What went wrong, by whom and how ("player: server full").
  std::map<std::string, std::uint64_t> failures;
  double serverCpu = 0;
  double loadCpu = 0;  // of the measuring process
  AttackCounts attack;
  // The registry's resident memory (KiB): before the run, its peak during
  // the run (VmHWM after resetting it, else the highest of samples every
  // 50 ms), right after the run, and, when attacked, once it has come back
  // to within settleWithinKib of before (or the settle time is over).
  long rssBeforeKib = 0;
  long rssPeakKib = 0;
  bool peakFromKernel = false;
  long rssEndKib = 0;
  long rssSettledKib = 0;
  double settledAfter = 0;  // seconds after the attackers stopped
  bool settled = false;
  // The kernel's TCP buffers of the whole machine (KiB): before the run and
  // the highest sampled during it. The replies a peer does not read wait
  // there first, in the registry's socket send buffers.
  long tcpBeforeKib = 0;
  long tcpPeakKib = 0;
  double ListPercentile(double p) const;
  // Adds a later run of the same kind: counts and samples add up, peaks
  // take the higher, memory before from the first and after from the later.
  void Merge(const SiegeResult& later);
  double RequestsPerList() const { return lists ? double(listRequests) / double(lists) : 0; }
};

SiegeResult RunSiege(const SiegeOptions& o);

// One complete server list (every reply through ListEnd), as raw bytes.
// Empty when it could not be had.
std::string FetchList(Loop& loop, Fleet* fleet, std::uint16_t port);

}  // namespace bench
