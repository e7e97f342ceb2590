#include "web/Metrics.h"

#include "core/Counters.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const char* name, double value, const std::string& labels = {}) {
    char number[40];
    std::snprintf(number, sizeof number, "%.17g", value);
    out_ += name;
    if (!labels.empty()) out_ += "{" + labels + "}";
    out_ += " ";
    out_ += number;
    out_ += "\n";
  }
  void Single(const char* name, const char* type, const char* help, double value) {
    Family(name, type, help);
    Sample(name, value);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

double Get(const std::atomic<std::uint64_t>& c) { return double(c.load(std::memory_order_relaxed)); }

void WriteGauges(Writer& w, const WebSnapshot& s) {
  const int servers = s.list ? s.list->servers : 0;
  const int players = s.list ? s.list->players : 0;
  w.Single("tarnwick_connections", "gauge", "Client slots in use.", s.connections);
  w.Single("tarnwick_servers_online", "gauge", "Game servers logged in.", servers);
  w.Single("tarnwick_players_online", "gauge", "Sum of the player counts the servers online report.", players);
  w.Single("tarnwick_accounts", "gauge", "Server accounts in the database.", double(s.accounts));
  w.Single("tarnwick_bans", "gauge", "IP bans in the database.", double(s.bans));
  w.Single("tarnwick_accesses_per_hour", "gauge", "Connections per hour over the last 100 accepted.",
           double(s.accessesPerHour));
  w.Single("tarnwick_new_accounts_allowed", "gauge", "1 when game servers may create accounts.",
           s.newAccountsAllowed ? 1 : 0);
  w.Single("tarnwick_database_size_bytes", "gauge", "Size of the database file.", double(s.databaseBytes));
}

void WriteCounters(Writer& w, const Counters& c) {
  w.Single("tarnwick_connections_accepted_total", "counter", "Connections given a slot.", Get(c.connectionsAccepted));
  w.Family("tarnwick_connections_refused_total", "counter", "Connections refused before they got a slot, by reason.");
  w.Sample("tarnwick_connections_refused_total", Get(c.refusedBanned), "reason=\"banned\"");
  w.Sample("tarnwick_connections_refused_total", Get(c.refusedTableFull), "reason=\"table_full\"");
  w.Sample("tarnwick_connections_refused_total", Get(c.refusedPerAddress), "reason=\"per_address\"");
  w.Sample("tarnwick_connections_refused_total", Get(c.refusedCoolingDown), "reason=\"cooling_down\"");
  w.Family("tarnwick_connections_ended_total", "counter", "Connections the registry ended, by reason.");
  w.Sample("tarnwick_connections_ended_total", Get(c.evictions), "reason=\"eviction\"");
  w.Sample("tarnwick_connections_ended_total", Get(c.silenceDrops), "reason=\"silence\"");
  w.Single("tarnwick_list_requests_total", "counter", "List requests answered.", Get(c.listRequests));
  w.Single("tarnwick_list_sent_bytes_total", "counter", "Bytes of list replies sent.", Get(c.listBytes));
  w.Family("tarnwick_logins_total", "counter", "Logins of game servers, by result.");
  w.Sample("tarnwick_logins_total", Get(c.loginsAccepted), "result=\"accepted\"");
  w.Sample("tarnwick_logins_total", Get(c.loginsRefused), "result=\"refused\"");
  w.Sample("tarnwick_logins_total", Get(c.loginsAlreadyOnline), "result=\"already_online\"");
  w.Sample("tarnwick_logins_total", Get(c.loginsTableFull), "result=\"table_full\"");
  w.Family("tarnwick_account_creations_total", "counter", "Accounts asked for over the wire, by result.");
  w.Sample("tarnwick_account_creations_total", Get(c.accountsCreated), "result=\"accepted\"");
  w.Sample("tarnwick_account_creations_total", Get(c.accountsRefused), "result=\"refused\"");
  w.Sample("tarnwick_account_creations_total", Get(c.accountsNameTaken), "result=\"name_taken\"");
  w.Sample("tarnwick_account_creations_total", Get(c.accountsTableFull), "result=\"table_full\"");
  w.Single("tarnwick_database_write_failures_total", "counter", "Database writes the engine refused.",
           Get(c.databaseWriteFailures));
}

void WriteHttp(Writer& w, const HttpCounters& http) {
  w.Family("tarnwick_http_requests_total", "counter", "HTTP requests answered, by path and status.");
  for (std::size_t p = 0; p < HttpCounters::kPaths.size(); ++p)
    for (std::size_t s = 0; s < HttpCounters::kStatuses.size(); ++s)
      if (const std::uint64_t n = http.Get(p, s))
        w.Sample("tarnwick_http_requests_total", double(n),
                 std::string("path=\"") + HttpCounters::kPaths[p] + "\",status=\"" +
                     std::to_string(HttpCounters::kStatuses[s]) + "\"");
}

void WriteProcess(Writer& w, const ProcessStats& p) {
  w.Single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", p.residentBytes);
  w.Single("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", p.virtualBytes);
  w.Single("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", p.cpuSeconds);
  w.Single("process_open_fds", "gauge", "Number of open file descriptors.", p.openFds);
  w.Single("process_max_fds", "gauge", "Maximum number of open file descriptors.", p.maxFds);
  w.Single("process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.",
           p.startTimeSeconds);
}

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace

void HttpCounters::Count(std::string_view path, int status) {
  std::size_t p = kPaths.size() - 1;
  for (std::size_t i = 0; i + 1 < kPaths.size(); ++i)
    if (path == kPaths[i]) p = i;
  for (std::size_t s = 0; s < kStatuses.size(); ++s)
    if (kStatuses[s] == status) counts_[p][s].fetch_add(1, std::memory_order_relaxed);
}

ProcessStats ReadProcessStats() {
  ProcessStats p;
  const double page = double(sysconf(_SC_PAGESIZE));
  const double ticks = double(sysconf(_SC_CLK_TCK));
  if (std::ifstream statm("/proc/self/statm"); statm) {
    double size = 0, resident = 0;
    statm >> size >> resident;
    p.virtualBytes = size * page;
    p.residentBytes = resident * page;
  }
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0)
    p.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (DIR* fds = opendir("/proc/self/fd")) {
    int n = 0;
    while (const dirent* e = readdir(fds)) n += e->d_name[0] != '.';
    closedir(fds);
    p.openFds = n - 1;  // the directory's own descriptor
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) p.maxFds = double(limit.rlim_cur);
  // Field 22 of /proc/self/stat is the start in ticks since boot; the
  // command name (field 2) may hold spaces, so fields count from its ')'.
  if (std::ifstream stat("/proc/self/stat"); stat) {
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close != std::string::npos) {
      std::istringstream fields(text.substr(close + 2));
      std::string field;
      for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) {
          const double sinceBoot = std::stod(field) / ticks;
          p.startTimeSeconds = Seconds(CLOCK_REALTIME) - (Seconds(CLOCK_BOOTTIME) - sinceBoot);
        }
    }
  }
  return p;
}

std::string RenderMetrics(const WebSnapshot& snapshot, const Counters& counters, const HttpCounters& http,
                          const ProcessStats& process, const std::string& version) {
  Writer w;
  WriteGauges(w, snapshot);
  WriteCounters(w, counters);
  WriteHttp(w, http);
  w.Family("tarnwick_build_info", "gauge", "The registry's version.");
  w.Sample("tarnwick_build_info", 1, "version=\"" + version + "\"");
  WriteProcess(w, process);
  return w.Take();
}
