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
enum Role { kFleet = 1, kPlayer, kChurn, kLogin, kNewAccount, kFetch, kIdle, kAttacker, kSiegeServer };

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

// The siege: attackers from 32 loopback addresses (127.0.1.1 to 127.0.1.32)
// each try to hold more connections than they may, keep them alive with
// Pong and reconnect as fast as they can, while game servers (accounts of
// the realistic fleet, each from an address of its own) log in, and again
// when dropped, and players keep fetching the whole list.
struct SiegeOptions {
  std::uint16_t port = 0;
  pid_t server = -1;
  double seconds = 5;
  int servers = 50;
  int players = 8;
  bool attack = true;
  double siegeHead = 2;  // the attackers' head start before the measure
};

struct SiegeResult {
  double seconds = 0;
  std::uint64_t loginAttempts = 0;
  std::uint64_t logins = 0;
  std::uint64_t listsStarted = 0;
  std::uint64_t lists = 0;
  std::vector<float> listMs;
  double serverCpu = 0;
  std::uint64_t attackerConnects = 0;  // over the head start and the measure
  double ListPercentile(double p) const;
};

SiegeResult RunSiege(const SiegeOptions& o);

// One complete server list (every reply through ListEnd), as raw bytes.
// Empty when it could not be had.
std::string FetchList(Loop& loop, Fleet* fleet, std::uint16_t port);

}  // namespace bench
