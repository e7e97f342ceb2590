#include "bench/SharedBench.h"

#include "bench/Fixtures.h"
#include "bench/Scenarios.h"
#include "storage/PgConnection.h"
#include "tests/common/PgServer.h"

#include <chrono>
#include <ctime>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

void Say(const std::string& text) { std::cerr << "[bench] " << text << std::endl; }

// The ListEntry packets of a complete list.
int Entries(const std::string& list) {
  int entries = 0;
  for (std::size_t at = 0; at + 3 <= list.size();) {
    const std::size_t n = std::size_t(std::uint8_t(list[at])) * 256 + std::uint8_t(list[at + 1]);
    if (list[at + 2] == 4) ++entries;
    at += n + 2;
  }
  return entries;
}

// What one registry did under each load.
struct Figures {
  Throughput list, churn, login, newAccount;
};

// The fleet is logged in (at one registry or spread over two) and the
// registry at `port` lists all of it; then each load in turn.
Figures Measure(const Config& config, Loop& loop, Fleet& fleet, std::uint16_t port, pid_t pid,
                const std::string& what) {
  const double deadline = Now() + 10;
  while (Entries(FetchList(loop, &fleet, port)) < config.servers) {
    if (Now() > deadline) throw std::runtime_error(what + " does not list every game server");
    RunIdle(loop, fleet, 0.1);
  }
  RunIdle(loop, fleet, 0.3);
  LoadOptions o;
  o.port = port;
  o.server = pid;
  o.seconds = config.seconds;
  o.connections = config.clients;
  Figures f;
  Say("shared: lists on " + what);
  f.list = RunList(loop, &fleet, o);
  Say("shared: churn on " + what);
  f.churn = RunChurn(loop, &fleet, o);
  Say("shared: logins on " + what);
  o.loginPool = config.loginPool;
  f.login = RunLogin(loop, &fleet, o);
  Say("shared: new accounts on " + what);
  o.namePrefix = "sh" + std::to_string(std::time(nullptr) % 10000) + "_";
  f.newAccount = RunNewAccount(loop, &fleet, o);
  return f;
}

Figures OnSqlite(const Config& config) {
  RunningRegistry registry;
  registry.folder = MakeTempDir("shared-sqlite");
  Contents contents;
  contents.fleet = config.servers;
  contents.loginPool = config.loginPool;
  MakeFolder(registry.folder, contents);
  registry.Start(config);
  Loop loop;
  Fleet fleet(loop);
  if (!fleet.LogIn(registry.port, 1, config.servers)) throw std::runtime_error("the game servers could not log in");
  const Figures f = Measure(config, loop, fleet, registry.port, registry.pid, "the registry on SQLite");
  loop.CloseAll();
  registry.Stop();
  RemoveTree(registry.folder);
  return f;
}

// Registry a holds the first half of the fleet, b the rest; a is asked.
Figures OnPostgres(const Config& config, std::vector<std::string>& notes) {
  PgServer pg;
  if (!pg.Start()) throw std::runtime_error("PostgreSQL did not start: " + pg.error().toStdString());
  PgConnection(pg.ConnInfo().toStdString()).Exec("CREATE DATABASE bench");
  const std::string conninfo = "host=" + pg.SocketDir().toStdString() + " dbname=bench user=registry";
  RunningRegistry a, b;
  for (RunningRegistry* r : {&a, &b}) {
    r->folder = MakeTempDir("shared-pg");
    Contents contents;
    contents.fleet = config.servers;
    contents.loginPool = config.loginPool;
    contents.database = conninfo;
    contents.instance = r == &a ? "a" : "b";
    contents.writeAccounts = r == &a;
    MakeFolder(r->folder, contents);
    r->Start(config);
  }
  Loop loop;
  Fleet fleet(loop);
  const int half = config.servers / 2;
  if (!fleet.LogIn(a.port, 1, half) || !fleet.LogIn(b.port, half + 1, config.servers))
    throw std::runtime_error("the game servers could not log in at the two registries");
  const Figures f = Measure(config, loop, fleet, a.port, a.pid, "registry a of two sharing PostgreSQL");
  notes.push_back("shared: " + std::to_string(half) + " game servers logged in at registry a, " +
                  std::to_string(config.servers - half) +
                  " at registry b; every load asked of a (PostgreSQL 15 of its own, fsync off, on a Unix socket).");
  loop.CloseAll();
  a.Stop();
  b.Stop();
  RemoveTree(a.folder);
  RemoveTree(b.folder);
  return f;
}

void AddPair(std::vector<Row>& rows, std::vector<std::string>& notes, const std::string& name,
             const std::string& measure, const Throughput& shared, const Throughput& sqlite,
             std::optional<double> target) {
  Row rate{name, measure, shared.Rate(), sqlite.Rate(), shared.Rate() / sqlite.Rate()};
  if (target) {
    rate.target = ">= " + Fixed(*target, 2) + " x SQLite";
    rate.met = rate.ratio >= *target;
  }
  rows.push_back(rate);
  Row p99{name, "p99 latency (ms)", shared.Percentile(99), sqlite.Percentile(99)};
  p99.ratio = p99.registry / p99.reference;
  p99.decimals = 2;
  rows.push_back(p99);
  if (shared.ErrorCount()) notes.push_back(name + " on PostgreSQL: " + ErrorsText(shared));
  if (sqlite.ErrorCount()) notes.push_back(name + " on SQLite: " + ErrorsText(sqlite));
}

}  // namespace

void RunSharedScenario(const Config& config, std::vector<Row>& rows, std::vector<std::string>& notes) {
  if (PgServer::BinDir().isEmpty()) {
    notes.push_back("shared: not run, PostgreSQL's programs are not installed.");
    return;
  }
  const Figures sqlite = OnSqlite(config);
  const Figures shared = OnPostgres(config, notes);
  const std::string clients = std::to_string(config.clients);
  AddPair(rows, notes, "shared list " + clients, "complete lists/s", shared.list, sqlite.list, 0.90);
  AddPair(rows, notes, "shared churn", "connections/s", shared.churn, sqlite.churn, 0.90);
  AddPair(rows, notes, "shared login", "logins/s", shared.login, sqlite.login, std::nullopt);
  AddPair(rows, notes, "shared newaccount", "accounts/s (each committed)", shared.newAccount, sqlite.newAccount,
          std::nullopt);
  notes.push_back("shared: the registry column is registry a of two sharing PostgreSQL, the reference column "
                  "one registry on SQLite with the same fleet, in the same run.");
}

}  // namespace bench
