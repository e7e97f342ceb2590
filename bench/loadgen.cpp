// The registry's benchmarks: one process that prepares registry folders,
// starts the registry and the reference server pinned to one core, puts load
// on them from the other core over loopback TCP, and reports a table on
// standard output, a JSON file and the table in BENCHMARKS.md.
//
//   loadgen --registry build/tarnwick --refserver build/bench/refserver
//           [--seconds 5] [--servers 50] [--clients 32] [--rounds 2] [--reference-idle N]
//           [--list-connections 1,8,32] [--only list,churn,login,newaccount,startup,idle,display,siege,web,shared]
//           [--attackers connections,servers,readers] [--settle 60]
//           [--json FILE] [--markdown FILE] [--command TEXT]
//
// The scenarios are run from here; the command line is Options.h's, the
// registry folders and the servers' processes Fixtures.h's, the loads
// Scenarios.h's and WebBench.h's, the table and its reports Report.h's.

#include "bench/Fixtures.h"
#include "bench/Fleet.h"
#include "bench/Loop.h"
#include "bench/Options.h"
#include "bench/Proc.h"
#include "bench/Report.h"
#include "bench/Scenarios.h"
#include "bench/SharedBench.h"
#include "bench/WebBench.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

double CpuPercent(double cpuSeconds, double seconds) { return seconds > 0 ? 100.0 * cpuSeconds / seconds : 0; }

void AddComparison(std::vector<Row>& rows, std::vector<std::string>& notes, const std::string& name,
                   const std::string& rateMeasure, const Throughput& reg, const Throughput& ref,
                   double rateTarget, std::optional<double> p99Target,
                   std::optional<double> costTarget = std::nullopt) {
  Row rate{name, rateMeasure, reg.Rate(), ref.Rate(), reg.Rate() / ref.Rate()};
  rate.target = ">= " + Fixed(rateTarget, 2) + " x reference";
  rate.met = rate.ratio >= rateTarget;
  rows.push_back(rate);
  Row p50{name, "p50 latency (ms)", reg.Percentile(50), ref.Percentile(50)};
  p50.ratio = p50.registry / p50.reference;
  p50.decimals = 2;
  rows.push_back(p50);
  Row p99{name, "p99 latency (ms)", reg.Percentile(99), ref.Percentile(99)};
  p99.ratio = p99.registry / p99.reference;
  p99.decimals = 2;
  if (p99Target) {
    p99.target = "<= " + Fixed(*p99Target, 1) + " x reference";
    p99.met = p99.ratio <= *p99Target;
  }
  rows.push_back(p99);
  Row cpu{name, "server CPU (% of a core)", CpuPercent(reg.serverCpu, reg.seconds),
          CpuPercent(ref.serverCpu, ref.seconds)};
  rows.push_back(cpu);
  // What one operation costs the server, whoever limited the rate.
  Row cost{name, "server CPU per operation (us)", 1e6 * reg.serverCpu / double(std::max<std::uint64_t>(reg.done, 1)),
           1e6 * ref.serverCpu / double(std::max<std::uint64_t>(ref.done, 1))};
  cost.ratio = cost.registry / cost.reference;
  cost.decimals = 1;
  if (costTarget) {
    cost.target = "<= " + Fixed(*costTarget, 1) + " x reference";
    cost.met = cost.ratio <= *costTarget;
  }
  rows.push_back(cost);
  Row load{name, "load generator CPU (%)", CpuPercent(reg.loadCpu, reg.seconds), CpuPercent(ref.loadCpu, ref.seconds)};
  rows.push_back(load);
  if (reg.ErrorCount()) notes.push_back(name + " on the registry: " + ErrorsText(reg));
  if (ref.ErrorCount()) notes.push_back(name + " on the reference: " + ErrorsText(ref));
}

void AddSingle(std::vector<Row>& rows, std::vector<std::string>& notes, const std::string& name,
               const std::string& rateMeasure, const Throughput& t) {
  rows.push_back(Row{name, rateMeasure, t.Rate()});
  Row p99{name, "p99 latency (ms)", t.Percentile(99)};
  p99.decimals = 2;
  rows.push_back(p99);
  if (t.ErrorCount()) notes.push_back(name + ": " + ErrorsText(t));
}

void Say(const std::string& text) {
  std::cerr << "[bench] " << text << std::endl;
}

// Both servers must send the same bytes for the comparison to mean anything.
void CheckSameList(Loop& loop, Fleet& fleet, std::uint16_t registryPort, std::uint16_t refPort,
                   std::vector<std::string>& notes, const std::string& what) {
  const std::string fromRegistry = FetchList(loop, &fleet, registryPort);
  const std::string fromReference = FetchList(loop, &fleet, refPort);
  if (fromRegistry != fromReference || fromRegistry.empty()) {
    std::size_t at = 0;
    while (at < fromRegistry.size() && at < fromReference.size() && fromRegistry[at] == fromReference[at]) ++at;
    throw std::runtime_error("the registry and the reference server send different lists (" +
                             std::to_string(fromRegistry.size()) + " and " + std::to_string(fromReference.size()) +
                             " bytes, first difference at byte " + std::to_string(at) + ")");
  }
  int replies = 0;
  for (std::size_t at = 0; at + 4 <= fromRegistry.size();) {
    const std::size_t n = std::size_t(std::uint8_t(fromRegistry[at])) * 256 + std::uint8_t(fromRegistry[at + 1]);
    if (n >= 2 && fromRegistry[at + 2] == '\xFF') ++replies;
    at += n + 2;
  }
  notes.push_back("A complete list of " + what + " is " + std::to_string(fromRegistry.size()) + " bytes in " +
                  std::to_string(replies) + " replies, the same from both servers.");
}

// Runs a measure on the registry and on the reference server in alternating
// rounds, so a drift of the machine's load weighs on both.
template <class Run>
std::pair<Throughput, Throughput> Alternate(const Config& config, Loop& loop, Fleet& fleet, LoadOptions o,
                                            const RunningRegistry& registry, pid_t refPid, std::uint16_t refPort,
                                            const std::string& name, Run run) {
  Throughput reg, refd;
  o.seconds = config.seconds / config.rounds;
  for (int round = 0; round < config.rounds; ++round) {
    for (int k = 0; k < 2; ++k) {
      const bool onRegistry = (round + k) % 2 == 1;
      o.port = onRegistry ? registry.port : refPort;
      o.server = onRegistry ? registry.pid : refPid;
      Say(name + " round " + std::to_string(round + 1) + " on the " + (onRegistry ? "registry" : "reference"));
      (onRegistry ? reg : refd).Merge(run(loop, &fleet, o));
    }
  }
  return {reg, refd};
}

// Lists at each connection count, for one shape of list: the registry with
// that fleet logged in against the reference server sending the same bytes.
// Returns the registry's rate at the largest connection count.
double CompareLists(const Config& config, const RunningRegistry& registry, fleet::Shape shape,
                    std::vector<Row>& rows, std::vector<std::string>& notes, bool churnToo) {
  RunningRef ref;
  ref.Start(config, registry.folder, shape);
  Loop loop;
  Fleet fleet(loop, shape);
  if (!fleet.LogIn(registry.port, 1, config.servers)) throw std::runtime_error("the game servers could not log in");
  RunIdle(loop, fleet, 0.3);  // their player counts arrive
  const std::string shapeName = fleet::ShapeName(shape);
  CheckSameList(loop, fleet, registry.port, ref.port, notes,
                "the " + std::to_string(config.servers) + " " + shapeName + " servers");
  // Connections that only sit there, as the game servers do on the registry.
  for (int i = 0; i < config.referenceIdle; ++i) {
    if (Conn* c = loop.Connect(ref.port)) c->role = kIdle;
  }
  LoadOptions o;
  double last = 0;
  for (int connections : config.listConnections) {
    o.connections = connections;
    const std::string name = "list " + shapeName + " " + std::to_string(connections);
    const auto [reg, refd] = Alternate(config, loop, fleet, o, registry, ref.pid, ref.port, name, RunList);
    // What a list costs is held to a target under load; one connection
    // leaves both servers idle between requests, and the cost of waking
    // them then depends more on the load generator than on the server.
    AddComparison(rows, notes, name, "complete lists/s", reg, refd, 0.90, 1.2,
                  connections > 1 ? std::optional<double>(1.2) : std::nullopt);
    last = reg.Rate();
  }
  if (churnToo) {
    o.connections = config.clients;
    const auto [reg, refd] = Alternate(config, loop, fleet, o, registry, ref.pid, ref.port, "churn", RunChurn);
    AddComparison(rows, notes, "churn", "connections/s", reg, refd, 0.90, std::nullopt, 1.2);
  }
  if (fleet.dropped) notes.push_back(std::to_string(fleet.dropped) + " " + shapeName + " game servers were dropped.");
  loop.CloseAll();
  ref.Stop();
  // The registry sees the fleet go before the next one logs in.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return last;
}

// Login and account creation, on the registry alone.
void RunAccountScenarios(const Config& config, const RunningRegistry& registry, std::vector<Row>& rows,
                         std::vector<std::string>& notes) {
  Loop loop;
  LoadOptions o;
  o.port = registry.port;
  o.server = registry.pid;
  o.seconds = config.seconds;
  o.connections = config.clients;
  if (config.Wants("login")) {
    Say("login on the registry");
    o.loginPool = config.loginPool;
    AddSingle(rows, notes, "login", "logins/s", RunLogin(loop, nullptr, o));
  }
  if (config.Wants("newaccount")) {
    Say("newaccount on the registry");
    o.namePrefix = "na" + std::to_string(std::time(nullptr) % 100000) + "_";
    AddSingle(rows, notes, "newaccount", "accounts/s (each committed)", RunNewAccount(loop, nullptr, o));
  }
  loop.CloseAll();
}

// An X server for the run with the main window shown; empty when none can
// be started here.
struct VirtualDisplay {
  pid_t pid = -1;
  std::string name;
  bool Start(const std::string& folder) {
    for (int n = 90; n < 100 && name.empty(); ++n) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) continue;
      SpawnOptions o;
      o.program = "Xvfb";
      o.args = {":" + std::to_string(n), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"};
      o.stdoutPath = folder + "/xvfb.log";
      pid = Spawn(o).pid;
      const double deadline = Now() + 10;
      while (Now() < deadline && !Ended(pid)) {
        if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) {
          name = ":" + std::to_string(n);
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      pid = -1;
    }
    return false;
  }
  ~VirtualDisplay() {
    if (pid > 0) bench::Stop(pid);
  }
};

// The main window shown on a virtual display with its event view, which
// follows every answered list request: lists/s at the largest connection
// count against the headless figure of the same run.
void RunDisplayed(const Config& config, double headless, std::vector<Row>& rows, std::vector<std::string>& notes) {
  RunningRegistry registry;
  registry.folder = MakeTempDir("display");
  VirtualDisplay display;
  if (!display.Start(registry.folder)) {
    notes.push_back("display: no virtual X display could be started (Xvfb), so the run with the window was skipped.");
    RemoveTree(registry.folder);
    return;
  }
  registry.display = display.name;
  Contents contents;
  contents.fleet = config.servers;
  MakeFolder(registry.folder, contents);
  registry.Start(config);
  Loop loop;
  Fleet fleet(loop);
  if (!fleet.LogIn(registry.port, 1, config.servers)) throw std::runtime_error("the game servers could not log in");
  RunIdle(loop, fleet, 0.5);
  LoadOptions o;
  o.port = registry.port;
  o.server = registry.pid;
  o.seconds = config.seconds;
  o.connections = config.listConnections.back();
  Say("list with the window shown on " + display.name);
  const Throughput shown = RunList(loop, &fleet, o);
  Row rate{"display", "complete lists/s, " + std::to_string(o.connections) + " connections, window shown",
           shown.Rate(), headless, shown.Rate() / headless};
  rate.target = ">= 0.80 x headless";
  rate.met = rate.ratio >= 0.8;
  rows.push_back(rate);
  notes.push_back("display: the reference column of that row is the registry's own headless rate in this run.");
  loop.CloseAll();
  registry.Stop();
  RemoveTree(registry.folder);
}

// list (both shapes, each connection count), churn, login and newaccount on
// one registry, list and churn also on the reference server.
void RunLoadScenarios(const Config& config, std::vector<Row>& rows, std::vector<std::string>& notes) {
  const bool list = config.Wants("list"), churn = config.Wants("churn"),
             accounts = config.Wants("login") || config.Wants("newaccount");
  if (!list && !churn && !accounts) return;
  RunningRegistry registry;
  registry.folder = MakeTempDir("load");
  Contents contents;
  contents.fleet = config.servers;
  contents.loginPool = config.loginPool;
  MakeFolder(registry.folder, contents);
  registry.Start(config);
  Say("registry pid " + std::to_string(registry.pid) + " port " + std::to_string(registry.port));
  if (config.referenceIdle)
    notes.push_back(std::to_string(config.referenceIdle) + " idle connections held open on the reference server.");
  double headless = 0;
  if (list || churn) headless = CompareLists(config, registry, fleet::Shape::Realistic, rows, notes, churn);
  if (list) CompareLists(config, registry, fleet::Shape::Short, rows, notes, false);
  if (accounts) RunAccountScenarios(config, registry, rows, notes);
  registry.Stop();
  RemoveTree(registry.folder);
  if (list && config.Wants("display")) RunDisplayed(config, headless, rows, notes);
}

void RunStartup(const Config& config, std::vector<Row>& rows) {
  for (int accounts : {0, 10000, 100000}) {
    const std::string folder = MakeTempDir("startup");
    Contents contents;
    contents.filler = accounts;
    contents.bans = 255;
    Say("startup with " + std::to_string(accounts) + " accounts: making zvlt.dat");
    MakeFolder(folder, contents);
    const std::string exe = CopyRegistry(config, folder);
    std::vector<double> ms;
    for (int run = 0; run < 3; ++run) {
      SpawnOptions o = RegistryOptions(exe, folder, FreePort());
      o.pipeStdout = true;
      o.stdoutPath = folder + "/stderr.log";
      const double t0 = Now();
      const Child child = Spawn(o);
      std::string out;
      char buf[4096];
      double t1 = NAN;
      for (;;) {
        const ssize_t n = read(child.out, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, std::size_t(n));
        if (out.find(kLoadedLine) != std::string::npos) {
          t1 = Now();
          break;
        }
      }
      bench::Stop(child.pid);
      close(child.out);
      if (std::isnan(t1)) throw std::runtime_error("the registry did not start with " + std::to_string(accounts) + " accounts:\n" + out);
      ms.push_back((t1 - t0) * 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    char label[64];
    std::snprintf(label, sizeof label, "%d accounts, 255 bans: ms to loaded (median)", accounts);
    Row median{"startup", label, ms[1]};
    rows.push_back(median);
    std::snprintf(label, sizeof label, "%d accounts, 255 bans: ms to loaded (worst of 3)", accounts);
    Row worst{"startup", label, ms.back()};
    if (accounts == 100000) {
      worst.target = "<= 1000 ms";
      worst.met = worst.registry <= 1000;
    }
    rows.push_back(worst);
    RemoveTree(folder);
  }
}

// The HTTP side beside nginx, and the game protocol beside HTTP, with the
// fleet logged in.
void RunWebScenario(const Config& config, std::vector<Row>& rows, std::vector<std::string>& notes) {
  RunningRegistry registry;
  registry.folder = MakeTempDir("web");
  const std::uint16_t http = FreePort();
  registry.httpListen = "127.0.0.1:" + std::to_string(http);
  Contents contents;
  contents.fleet = config.servers;
  MakeFolder(registry.folder, contents);
  registry.Start(config);
  Loop loop;
  Fleet fleet(loop);
  if (!fleet.LogIn(registry.port, 1, config.servers)) throw std::runtime_error("the game servers could not log in");
  RunIdle(loop, fleet, 1.2);  // their counts arrive and the list is published
  WebOptions o;
  o.gamePort = registry.port;
  o.httpPort = http;
  o.registry = registry.pid;
  o.folder = registry.folder;
  o.serverCore = Cores() > 1 ? kServerCore : -1;
  o.loadCore = Cores() > 1 ? kLoadCore : -1;
  o.seconds = config.seconds;
  o.connections = config.listConnections.size() > 1 ? config.listConnections[1] : config.listConnections.back();
  Say("web: wrk on the registry and on nginx, then lists beside HTTP");
  const WebResult r = RunWeb(loop, fleet, o);
  Row wrk{"web", "GET /servers.json/s (wrk, 8 connections: the per-address cap; reference: nginx, same bytes)", r.registryRequests,
          r.nginxRequests, r.nginxRequests > 0 ? r.registryRequests / r.nginxRequests : NAN};
  wrk.target = ">= 0.50 x nginx";
  wrk.met = wrk.ratio >= 0.5;
  rows.push_back(wrk);
  Row game{"web", "complete lists/s, " + std::to_string(o.connections) + " connections, HTTP fetched " +
                      std::to_string(int(r.fetchRate + 0.5)) + "/s (reference: HTTP quiet)",
           r.listRateFetched, r.listRate, r.listRate > 0 ? r.listRateFetched / r.listRate : NAN};
  game.target = ">= 0.90 x quiet";
  game.met = game.ratio >= 0.9;
  rows.push_back(game);
  notes.push_back("web: /servers.json of " + std::to_string(config.servers) + " servers is " +
                  std::to_string(r.bytes) + " bytes, uncompressed; nginx-light serves it from a file, one worker on "
                  "the registry's core.");
  if (!r.problem.empty()) notes.push_back("web: " + r.problem + ".");
  loop.CloseAll();
  registry.Stop();
  RemoveTree(registry.folder);
}

void RunIdleScenario(const Config& config, std::vector<Row>& rows, std::vector<std::string>& notes) {
  RunningRegistry registry;
  registry.folder = MakeTempDir("idle");
  Contents contents;
  contents.fleet = 255;
  MakeFolder(registry.folder, contents);
  registry.Start(config);
  Loop loop;
  Fleet fleet(loop);
  Say("idle: logging in 255 game servers");
  if (!fleet.LogIn(registry.port, 1, 255)) throw std::runtime_error("255 game servers could not log in");
  RunIdle(loop, fleet, 1.0);
  const double window = IdleWindow(config);
  Say("idle: measuring for " + Fixed(window, 0) + " s");
  const double cpu0 = CpuSeconds(registry.pid), t0 = Now();
  RunIdle(loop, fleet, window);
  const double cpu = CpuSeconds(registry.pid) - cpu0, seconds = Now() - t0;
  Row share{"idle", "255 servers: CPU (% of a core)", CpuPercent(cpu, seconds)};
  share.decimals = 2;
  share.target = "< 0.1 %";
  share.met = share.registry < 0.1;
  rows.push_back(share);
  Row rss{"idle", "255 servers: resident memory (MB)", double(RssKib(registry.pid)) / 1024.0};
  rss.decimals = 1;
  rss.target = "< 40 MB";
  rss.met = rss.registry < 40.0;
  rows.push_back(rss);
  notes.push_back("idle: " + std::to_string(fleet.LoggedIn()) + " servers logged in, " +
                  std::to_string(fleet.pings) + " pings answered over " + Fixed(seconds, 0) + " s; peak resident " +
                  Fixed(double(PeakRssKib(registry.pid)) / 1024.0, 1) + " MB, " +
                  std::to_string(OpenDescriptors(registry.pid)) + " open descriptors.");
  loop.CloseAll();
  registry.Stop();
  RemoveTree(registry.folder);
}

// The siege, with the flood limits at their defaults and again with every
// limit off: the share of game servers' logins that succeed and of players'
// lists that complete, list latency against the same load without
// attackers, the registry's CPU, and its resident memory during the siege
// and once the attackers have gone.
void RunSiegeScenario(const Config& config, std::vector<Row>& rows, std::vector<std::string>& notes) {
  constexpr double kP99Target = 3.0;
  constexpr long kSettleWithinKib = 20 * 1024;
  auto mb = [](long kib) { return double(kib) / 1024.0; };
  // The players are a light load, so without attackers both cores would
  // idle between their requests, and each wake-up of an idle virtual core
  // would be in the measure.
  CoreSpinners awake(Cores());
  notes.push_back(std::string("siege: ") +
                  (awake.Running() ? "both cores kept from idling by a spinner at SCHED_IDLE during the siege."
                                   : "the spinners that keep the cores from idling could not be started."));
  for (const bool limitsOn : {true, false}) {
    const std::string name = limitsOn ? "siege (defaults)" : "siege (all off)";
    RunningRegistry registry;
    registry.folder = MakeTempDir("siege");
    Contents contents;
    contents.fleet = config.servers;
    contents.autoAllow = true;  // the logged-in flood creates accounts
    contents.rationed = true;   // the defaults, or all off below
    MakeFolder(registry.folder, contents);
    if (!limitsOn)
      std::ofstream(registry.folder + "/server.ini", std::ios::app)
          << "MaxClientsPerIP=0\r\nEvictIdleClients=False\r\nMaxConnectsPerMinute=0\r\n"
             "MaxNewAccountsPerHour=0\r\nMaxFailedLoginsPerHour=0\r\nMaxServersPerIP=0\r\n"
             "ReservedPlayerSlots=0\r\nMaxNewAccountsPerHourTotal=0\r\nMaxListRequestsPerMinute=0\r\n";
    registry.Start(config);
    SiegeOptions o;
    o.port = registry.port;
    o.server = registry.pid;
    o.servers = config.servers;
    o.connectionFlood = config.attackers.count("connections") > 0;
    o.serverFlood = config.attackers.count("servers") > 0;
    o.neverReaders = config.attackers.count("readers") > 0;
    o.settleWithinKib = kSettleWithinKib;
    // In alternating rounds, so that a pause of the shared machine or a
    // drift of its load weighs on both measures alike. The attackers start
    // afresh each round (with their head start); what the registry keeps of
    // them from one round to the next (accounts created, cooling addresses)
    // is what it would keep under a siege that goes on.
    o.seconds = SiegeWindow(config) / config.rounds;
    SiegeResult calm, siege;
    for (int round = 1; round <= config.rounds; ++round) {
      const std::string of = " (round " + std::to_string(round) + " of " + std::to_string(config.rounds) + ")";
      o.attack = false;
      Say(name + ": without attackers" + of);
      calm.Merge(RunSiege(o));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      o.attack = true;
      // Memory is waited for once, after the last round, against where it
      // was before the first.
      o.settleSeconds = round == config.rounds ? config.settle : 0;
      Say(name + ": under siege" + of);
      siege.Merge(RunSiege(o));
      if (round == 1) o.baselineKib = siege.rssBeforeKib;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    registry.Stop();
    RemoveTree(registry.folder);
    auto share = [](std::uint64_t part, std::uint64_t whole) { return whole ? 100.0 * double(part) / double(whole) : 0.0; };
    Row logins{name, "game-server logins that succeed (%)", share(siege.logins, siege.loginAttempts),
               share(calm.logins, calm.loginAttempts)};
    logins.decimals = 1;
    Row loginsServed{name, "game-server logins served", double(siege.logins), double(calm.logins)};
    Row lists{name, "player lists that complete (%)", share(siege.lists, siege.listsStarted),
              share(calm.lists, calm.listsStarted)};
    lists.decimals = 1;
    Row listsServed{name, "player lists served", double(siege.lists), double(calm.lists)};
    if (limitsOn) {
      logins.target = "100 %";
      logins.met = siege.loginAttempts > 0 && siege.logins == siege.loginAttempts;
      lists.target = ">= 99 %";
      lists.met = lists.registry >= 99.0;
    }
    rows.push_back(logins);
    rows.push_back(loginsServed);
    rows.push_back(lists);
    rows.push_back(listsServed);
    for (const double p : {50.0, 99.0}) {
      Row latency{name, "list p" + Fixed(p, 0) + " latency (ms)", siege.ListPercentile(p), calm.ListPercentile(p)};
      latency.ratio = latency.registry / latency.reference;
      latency.decimals = 2;
      if (limitsOn && p == 99.0) {
        latency.target = "<= " + Fixed(kP99Target, 1) + " x without attackers";
        latency.met = siege.lists > 0 && latency.ratio <= kP99Target;
      }
      rows.push_back(latency);
    }
    Row cpu{name, "registry CPU (% of a core)", CpuPercent(siege.serverCpu, siege.seconds),
            CpuPercent(calm.serverCpu, calm.seconds)};
    rows.push_back(cpu);
    Row peak{name, "registry resident memory, peak (MB)", mb(siege.rssPeakKib), mb(calm.rssPeakKib)};
    peak.decimals = 1;
    rows.push_back(peak);
    // Read once it is back within the margin, or when the settle time is
    // over; the note says how long that took.
    Row after{name, "resident memory after the attackers stop (MB)",
              mb(siege.rssSettledKib), mb(siege.rssBeforeKib)};
    after.decimals = 1;
    if (limitsOn) {
      after.target = "<= before + " + Fixed(mb(kSettleWithinKib), 0) + " MB within " + Fixed(config.settle, 0) + " s";
      after.met = siege.settled;
    }
    rows.push_back(after);
    Row tcp{name, "kernel TCP buffers, peak (MB, whole machine)", mb(siege.tcpPeakKib), mb(calm.tcpPeakKib)};
    tcp.decimals = 1;
    rows.push_back(tcp);

    for (const SiegeResult* r : {&siege, &calm}) {
      if (r->failures.empty()) continue;
      std::string text;
      for (const auto& [kind, count] : r->failures)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
      notes.push_back(name + (r == &siege ? " failures under siege: " : " failures without attackers: ") + text + ".");
    }
    notes.push_back(name + " list latency under siege and without attackers (ms): p90 " +
                    Fixed(siege.ListPercentile(90), 2) + " and " + Fixed(calm.ListPercentile(90), 2) + ", p99.9 " +
                    Fixed(siege.ListPercentile(99.9), 2) + " and " + Fixed(calm.ListPercentile(99.9), 2) +
                    ", highest " + Fixed(siege.ListPercentile(100), 2) + " and " + Fixed(calm.ListPercentile(100), 2) +
                    ".");
    const AttackCounts& a = siege.attack;
    auto allIn = [](const SiegeResult& r) {
      return r.allLoggedInAfter < 0 ? std::string("not all logged in")
                                    : "all logged in after " + Fixed(r.allLoggedInAfter, 2) + " s";
    };
    notes.push_back(name + ": " + std::to_string(siege.logins) + " of " + std::to_string(siege.loginAttempts) +
                    " logins (" + allIn(siege) + "; without attackers " + allIn(calm) + ") and " +
                    std::to_string(siege.lists) + " of " + std::to_string(siege.listsStarted) +
                    " lists under siege (" + std::to_string(calm.lists) + " of " +
                    std::to_string(calm.listsStarted) + " without attackers); a complete list took " +
                    Fixed(siege.RequestsPerList(), 1) + " requests under siege and " +
                    Fixed(calm.RequestsPerList(), 1) + " without; the players used " +
                    std::to_string(calm.playerAddresses + siege.playerAddresses) + " addresses and were dropped " +
                    std::to_string(calm.playerDrops + siege.playerDrops) +
                    " times. The reference column is the same load without attackers (for the memory after the "
                    "attackers: the registry's resident memory before the siege).");
    notes.push_back(name + " attackers: connection flood " + std::to_string(a.floodConnects) +
                    " connections; logged-in flood " + std::to_string(a.serverConnects) + " connections, " +
                    std::to_string(a.accountsCreated) + " accounts created, at most " +
                    std::to_string(a.serversHeldPeak) + " logged in at once, " + std::to_string(a.serverRefusals) +
                    " refusals; never-readers " + std::to_string(a.readerConnects) + " connections, " +
                    std::to_string(a.readerRequests) + " list requests sent.");
    notes.push_back(name + " memory: resident " + Fixed(mb(siege.rssBeforeKib), 1) + " MB before the siege, peak " +
                    Fixed(mb(siege.rssPeakKib), 1) + " MB (" +
                    (siege.peakFromKernel ? "VmHWM reset before the siege" : "highest VmRSS sampled every 50 ms") +
                    "), " + Fixed(mb(siege.rssEndKib), 1) + " MB when the attackers stopped, " +
                    Fixed(mb(siege.rssSettledKib), 1) + " MB " + Fixed(siege.settledAfter, 1) + " s later" +
                    (siege.settled ? "" : " (not back within " + Fixed(mb(kSettleWithinKib), 0) + " MB)") + ".");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Config config = ParseOptions(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  // The siege's attackers alone hold some three thousand connections.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  if (Cores() > 1) PinSelf(kLoadCore);
  const bool favoured = FavourSelf();

  Machine machine = DescribeMachine();
  machine.favoured = favoured;
  std::vector<Row> rows;
  std::vector<std::string> notes;
  try {
    RunLoadScenarios(config, rows, notes);
    if (config.Wants("startup")) RunStartup(config, rows);
    if (config.Wants("idle")) RunIdleScenario(config, rows, notes);
    if (config.Wants("siege")) RunSiegeScenario(config, rows, notes);
    if (config.Wants("web")) RunWebScenario(config, rows, notes);
    if (config.Wants("shared")) RunSharedScenario(config, rows, notes);
  } catch (const std::exception& e) {
    std::cerr << "loadgen: " << e.what() << "\n";
    return 1;
  }
  machine.loadAfter = LoadAverage();

  std::cout << Table(rows, false);
  for (const auto& n : notes) std::cout << "  " << n << "\n";
  if (!config.json.empty()) WriteJson(config.json, config, machine, rows, notes);
  if (!config.markdown.empty()) WriteMarkdown(config.markdown, config, machine, rows, notes);
  bool allMet = true;
  for (const Row& r : rows)
    if (r.met && !*r.met) allMet = false;
  std::cout << (allMet ? "Every target met.\n" : "Some targets missed (see MISSED above).\n");
  return 0;
}
