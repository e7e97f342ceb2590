#include "bench/Proc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace bench {

Child Spawn(const SpawnOptions& o) {
  int pipeFds[2] = {-1, -1};
  if (o.pipeStdout && pipe2(pipeFds, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (o.cpu >= 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(o.cpu, &set);
      sched_setaffinity(0, sizeof set, &set);
    }
    if (o.favoured) FavourSelf();
    if (!o.workDir.empty() && chdir(o.workDir.c_str()) < 0) _exit(127);
    for (const auto& name : o.unsetEnv) unsetenv(name.c_str());
    for (const auto& [name, value] : o.setEnv) setenv(name.c_str(), value.c_str(), 1);
    if (o.pipeStdout) {
      dup2(pipeFds[1], STDOUT_FILENO);
      const int fd = o.stdoutPath.empty() ? -1 : open(o.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) dup2(fd, STDERR_FILENO);
    } else if (!o.stdoutPath.empty()) {
      const int fd = open(o.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
      }
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(o.program.c_str()));
    for (const auto& a : o.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(o.program.c_str(), argv.data());  // a bare name is looked up in PATH
    _exit(127);
  }
  Child child;
  child.pid = pid;
  if (o.pipeStdout) {
    close(pipeFds[1]);
    child.out = pipeFds[0];
  }
  return child;
}

bool Ended(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

int Stop(pid_t pid, double timeoutSeconds) {
  if (pid <= 0) return 0;
  kill(pid, SIGTERM);
  int status = 0;
  const auto step = std::chrono::milliseconds(5);
  for (double waited = 0; waited < timeoutSeconds; waited += 0.005) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(step);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return status;
}

double CpuSeconds(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold spaces; fields are counted after its ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

namespace {
long StatusField(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::size_t len = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':')
      return std::atol(line.c_str() + len + 1);
  }
  return 0;
}
}  // namespace

long RssKib(pid_t pid) { return StatusField(pid, "VmRSS"); }
long PeakRssKib(pid_t pid) { return StatusField(pid, "VmHWM"); }

int OpenDescriptors(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

long KernelTcpKib() {
  std::ifstream in("/proc/net/sockstat");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TCP:", 0) != 0) continue;
    const std::size_t at = line.find(" mem ");
    if (at == std::string::npos) return 0;
    return std::atol(line.c_str() + at + 5) * (sysconf(_SC_PAGESIZE) / 1024);
  }
  return 0;
}

CoreSpinners::CoreSpinners(int cores) {
  const pid_t parent = getpid();
  for (int cpu = 0; cpu < cores; ++cpu) {
    const pid_t pid = fork();
    if (pid < 0) break;
    if (pid == 0) {
      // Ends with the load generator, however that ends.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(0);
      PinSelf(cpu);
      sched_param none{};
      if (sched_setscheduler(0, SCHED_IDLE, &none) != 0) _exit(1);  // never above anybody
      volatile unsigned long n = 0;
      for (;;) n = n + 1;
    }
    pids_.push_back(pid);
  }
}

CoreSpinners::~CoreSpinners() {
  for (const pid_t pid : pids_) kill(pid, SIGKILL);
  for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
}

void PinSelf(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

bool FavourSelf() { return setpriority(PRIO_PROCESS, 0, -20) == 0; }

int Cores() {
  // Taken once, before this process pins itself to one of them.
  static const int cores = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    return int(sysconf(_SC_NPROCESSORS_ONLN));
  }();
  return cores;
}

// A port below the kernel's range of ephemeral ports (32768 and up), free
// on every address: the load's many connections from 127.x.y.z take their
// source ports from that range, and a server's wildcard bind clashes with
// any of them.
std::uint16_t FreePort() {
  static std::uint16_t next = std::uint16_t(20000 + getpid() % 6000);
  for (int tries = 0; tries < 12000; ++tries) {
    const std::uint16_t port = next;
    next = next >= 31999 ? 20000 : std::uint16_t(next + 1);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free) return port;
  }
  throw std::runtime_error("no free port between 20000 and 31999");
}

std::string MakeTempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwick-bench-" + tag + "-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace bench
