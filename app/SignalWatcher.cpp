#include "app/SignalWatcher.h"

#include "core/LogSink.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  // Nothing else is safe in a signal handler; a full pipe already wakes us.
  [[maybe_unused]] auto written = ::write(g_pipe[0], &byte, 1);
}
}  // namespace

SignalWatcher::SignalWatcher(LogSink& log, QObject* parent) : QObject(parent) {
  // Without the watcher SIGTERM and SIGINT keep their default action: the
  // process ends at once, without StopRegistry. The registry still serves,
  // so this is said, not fatal.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
    log.Warning(std::string("SIGTERM and SIGINT will end the registry at once, without its orderly "
                            "stop: socketpair failed: ") +
                std::strerror(errno));
    return;
  }
  notifier_ = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    // Drained to EAGAIN; any other end of the reads leaves nothing to do.
    while (::read(g_pipe[1], buf, sizeof buf) > 0) {
    }
    emit stopRequested();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const auto& [number, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
    if (sigaction(number, &action, nullptr) != 0) {
      log.Warning(std::string(name) + " will end the registry at once, without its orderly stop: "
                                      "sigaction failed: " + std::strerror(errno));
    }
  }
}

SignalWatcher::~SignalWatcher() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  delete notifier_;
  for (int& fd : g_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}
