#include "ctl/Terminal.h"

#include "ctl/Failure.h"

#include <QByteArray>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace ctl {

namespace {

// What a signal handler needs to put the terminal back: nothing else may run
// there.
int g_tty = -1;
termios g_saved{};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreAndRaise(int signal) {
  if (g_tty >= 0) ::tcsetattr(g_tty, TCSAFLUSH, &g_saved);
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}

void Write(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += n;
  }
}

// Echo off for as long as it lives.
class Quiet {
 public:
  explicit Quiet(int tty) {
    g_tty = tty;
    ::tcgetattr(tty, &g_saved);
    struct sigaction action {};
    action.sa_handler = RestoreAndRaise;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &old_[i]);
    termios quiet = g_saved;
    quiet.c_lflag &= tcflag_t(~(ECHO | ECHOE | ECHOK | ECHONL));
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  ~Quiet() {
    ::tcsetattr(g_tty, TCSAFLUSH, &g_saved);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
    g_tty = -1;
  }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  struct sigaction old_[std::size(kSignals)] {};
};

}  // namespace

QString AskHidden(const QString& prompt) {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios probe{};
  if (tty < 0 || ::tcgetattr(tty, &probe) != 0) {
    if (tty >= 0) ::close(tty);
    throw Failure{kFailed, QStringLiteral("there is no terminal to ask for the password on; give it "
                                          "with --password")};
  }
  QByteArray line;
  bool ended = false;
  {
    Quiet quiet(tty);
    Write(tty, prompt.toUtf8());
    char c = 0;
    for (;;) {
      const ssize_t n = ::read(tty, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (c == '\n') {
        ended = true;
        break;
      }
      line += c;
    }
  }
  Write(tty, "\n");  // the operator's Enter was not echoed
  ::close(tty);
  if (!ended) throw Failure{kFailed, QStringLiteral("no password was entered")};
  if (line.endsWith('\r')) line.chop(1);
  return QString::fromLocal8Bit(line);
}

}  // namespace ctl
