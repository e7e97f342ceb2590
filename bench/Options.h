#pragma once
// loadgen's command line: what to run, for how long and with how much load,
// and where the reports go.
#include <set>
#include <string>
#include <vector>

namespace bench {

// The servers run pinned to one core, the load generator to the other.
constexpr int kServerCore = 0;
constexpr int kLoadCore = 1;

struct Config {
  std::string registry;
  std::string refserver;
  double seconds = 5;
  int servers = 50;
  int clients = 32;
  int rounds = 2;
  int loginPool = 2000;
  int referenceIdle = 0;  // idle connections held open on the reference server
  std::vector<int> listConnections = {1, 8, 32};
  std::set<std::string> only;
  // The siege's kinds of attacker, and how long it waits at most for the
  // registry's memory to come back after them.
  std::set<std::string> attackers = {"connections", "servers", "readers"};
  double settle = 60;
  std::string json;
  std::string markdown;
  std::string command;
  bool Wants(const std::string& scenario) const { return only.empty() || only.count(scenario); }
};

// Long enough in longer runs to take in a round of pings (30 s of silence).
double IdleWindow(const Config& config);
// The siege's p99 is that of some ten thousand lists at least (over all
// rounds, with and as many without attackers): on a shared machine a pause
// of a few tens of milliseconds weighs on the p99 of a shorter window by
// itself.
double SiegeWindow(const Config& config);

// The options of argv; a wrong or incomplete command line prints the usage
// and exits with status 2. Without --command the command is argv itself.
Config ParseOptions(int argc, char** argv);

}  // namespace bench
