#pragma once
// Processes of a benchmark run: starting the registry and the reference
// server pinned to a core, stopping them, and reading their CPU time and
// resident memory from /proc.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct SpawnOptions {
  std::string program;
  std::vector<std::string> args;
  std::string workDir;
  std::vector<std::pair<std::string, std::string>> setEnv;
  std::vector<std::string> unsetEnv;
  int cpu = -1;             // pinned to this core (as taskset -c would) when >= 0
  bool favoured = false;    // nice -20, when allowed
  std::string stdoutPath;   // standard output and error appended to this file
  bool pipeStdout = false;  // or standard output into a pipe (Child::out),
                            // standard error then to stdoutPath if given
};

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of the pipe, when asked for
};

Child Spawn(const SpawnOptions& options);
// SIGTERM, then SIGKILL when it has not ended within the time. Returns the
// wait status.
int Stop(pid_t pid, double timeoutSeconds = 10);
// Whether the process has ended (and reaps it).
bool Ended(pid_t pid);

// User plus system time of a process, in seconds.
double CpuSeconds(pid_t pid);
// VmRSS and VmHWM of a process, in KiB (0 when unreadable).
long RssKib(pid_t pid);
long PeakRssKib(pid_t pid);
int OpenDescriptors(pid_t pid);
// What the kernel holds in TCP buffers, all sockets of the machine together
// (the "mem" pages of /proc/net/sockstat), in KiB; 0 when unreadable.
long KernelTcpKib();

// A process on each core that spins at the lowest priority there is
// (SCHED_IDLE) while the object lives, so that no core ever idles. On a
// virtual machine an idle core is handed back to the host, and the wake-up
// that follows can take milliseconds, far more than the answer being
// measured; anything else that wants a core takes it from the spinner at once.
class CoreSpinners {
 public:
  explicit CoreSpinners(int cores);
  ~CoreSpinners();
  CoreSpinners(const CoreSpinners&) = delete;
  CoreSpinners& operator=(const CoreSpinners&) = delete;
  bool Running() const { return !pids_.empty(); }

 private:
  std::vector<pid_t> pids_;
};

void PinSelf(int cpu);
// nice -20 for this process; false when not allowed. The machine may be
// shared: a server that other work pushes off its core measures that work.
bool FavourSelf();
int Cores();
std::uint16_t FreePort();
// A new empty folder under $TMPDIR (or /tmp).
std::string MakeTempDir(const std::string& tag);
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);

}  // namespace bench
