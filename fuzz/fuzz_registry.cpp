// Fuzz target: arbitrary byte streams, cut at arbitrary points, through
// Registry::ProcessData and so through every handler of both modes, against
// a throw-away database. The registry's three clients are real loopback
// connections, so replies, refusals with their send-complete, closes and the
// time-out scan all run as in the program.
//
// Input layout:
//   byte 0       bit 0: new accounts allowed; bit 1: the first line of the
//                server list is selected (the information labels follow it)
//   then steps, each starting with a byte s:
//     s < 0x80   data for slot s % 3 + 1: the next byte is a length n, then
//                n bytes (fewer at the end of the input) go to ProcessData
//     s < 0xC0   the event loop runs once (sends complete, closes are seen)
//     s < 0xE0   the clock moves on by the next byte times 512 ms, then the
//                time-out and keep-alive scan runs
//     otherwise  the peer of slot s % 3 + 1 closes its side
//
// Built with libFuzzer by `make fuzz`; the same file, built with
// fuzz/replay_main.cpp, replays the seeds and every input that ever failed
// as a test.
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Registry.h"
#include "fuzz/Stubs.h"
#include "storage/Database.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

constexpr int kClients = 3;

struct World {
  int argc = 1;
  char name[16] = "fuzz_registry";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};
  // In memory when the machine has /dev/shm: the database syncs every
  // commit, and a disk would make each input wait for it.
  QTemporaryDir dir{(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath()) +
                    "/fuzz_registry-XXXXXX"};
  Database db;
  ConsoleState console;
  DiscardLog log;
  SteppedClock clock;
  FixedCalendar calendar;
  std::unique_ptr<Registry> registry;
  std::uint16_t port = 0;
  std::array<int, kClients + 1> peers{};  // our end of slots 1..3

  World() {
    if (!dir.isValid()) Die("no temporary folder");
    db.Open(dir.path(), dir.path());
    registry = std::make_unique<Registry>(db, console, log, clock, calendar);
    // Every input connects again from the same address with the clock set
    // back: with the flood limits on, the address would soon be cooling down
    // for good and the inputs would reach no handler at all.
    registry->SetFloodLimits(FloodLimits::Off());
    registry->StartAccessTimes();
    QString error;
    if (!registry->Listen(0, &error)) Die("cannot listen");
    port = registry->ListeningPort();
    peers.fill(-1);
  }

  [[noreturn]] static void Die(const char* why) {
    std::fprintf(stderr, "fuzz_registry: %s\n", why);
    std::abort();
  }

  void RunLoop() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // Every input starts from the same state: no connection, one account.
  void Reset(bool allowNew, bool selectFirst) {
    for (int& fd : peers) {
      if (fd < 0) continue;
      // A reset, not a close: no TIME_WAIT left behind per input.
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      close(fd);
      fd = -1;
    }
    registry->DisconnectAll();
    if (registry->Client(kOverflowSlot).InUse) registry->DisconnectClient(kOverflowSlot);
    RunLoop();
    console.SelectServer(-1);
    while (!console.ServerLines().empty()) console.RemoveServer(console.ServerLines().front());
    ResetToOneAccount(db);
    clock.now = 1000;
    console.SetAllowNewAccounts(allowNew);

    for (int slot = 1; slot <= kClients; ++slot) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd < 0 || !Connect(fd, to)) {
        std::perror("connect");
        Die("cannot connect");
      }
      peers[std::size_t(slot)] = fd;
      // Accepted in order, so this connection takes slot `slot`.
      for (int i = 0; i < 2000 && !registry->Client(slot).InUse; ++i) {
        RunLoop();
        if (i > 10) QThread::usleep(100);
      }
      if (!registry->Client(slot).InUse) Die("the registry did not accept a connection");
    }
    // Selecting needs a line, so the account is logged in on no slot but
    // the list holds its name: a stale selection is what the core must
    // survive anyway.
    if (selectFirst) {
      console.AppendServer("alpha");
      console.SelectServer(0);
    }
  }

  // A blocking connect. libFuzzer's timer signal may interrupt it; the
  // connection then completes on its own and is waited for.
  static bool Connect(int fd, const sockaddr_in& to) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
    if (errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, 5000) < 0)
      if (errno != EINTR) return false;
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    errno = error;
    return error == 0 && (p.revents & POLLOUT);
  }

  void Shutdown(int slot) {
    int& fd = peers[std::size_t(slot)];
    if (fd >= 0) shutdown(fd, SHUT_WR);
  }
};

World& TheWorld() {
  // Lives until the process ends; only its throw-away folder is removed then
  // (libFuzzer ends with exit(), which still runs this).
  static World* world = [] {
    auto* w = new World();
    static const std::string folder = w->dir.path().toStdString();
    std::atexit([] { std::filesystem::remove_all(folder); });
    return w;
  }();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = TheWorld();
  if (size == 0) return 0;
  w.Reset(data[0] & 1, data[0] & 2);
  std::size_t i = 1;
  while (i < size) {
    const std::uint8_t step = data[i++];
    const int slot = step % kClients + 1;
    if (step < 0x80) {
      const std::size_t n = i < size ? data[i++] : 0;
      const std::size_t take = std::min(n, size - i);
      w.registry->ProcessData(slot, std::string_view(reinterpret_cast<const char*>(data + i), take));
      i += take;
    } else if (step < 0xC0) {
      w.RunLoop();
    } else if (step < 0xE0) {
      const std::uint32_t by = i < size ? std::uint32_t(data[i++]) * 512u : 0u;
      w.clock.now += by;
      w.registry->OnClientTimer();
    } else {
      w.Shutdown(slot);
      w.RunLoop();
    }
  }
  return 0;
}
