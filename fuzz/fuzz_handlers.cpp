// Fuzz target: the packet framing and every handler of both modes, over the
// in-memory transport: no sockets, no event loop, a fresh registry per
// input (so the flood limits start from nothing each time), against a
// throw-away database holding one account. Peers connect, send, stop and
// start reading and close; the clock moves and the client scan runs.
//
// Input layout:
//   byte 0       bit 0: new accounts allowed; bit 1: the first line of the
//                server list is selected (the information labels follow it);
//                bit 2: the flood limits on (their defaults) instead of off
//   then steps, each starting with a byte s, for peer s % 4 of those
//   connected so far (three connect at the start):
//     s < 0x80   the peer sends: the next byte is a length n, then n bytes
//                (fewer at the end of the input)
//     s < 0xA0   a new peer connects from 127.0.0.x, x the next byte
//     s < 0xC0   the peer stops reading, or reads again
//     s < 0xE0   the clock moves on by the next byte times 512 ms, then the
//                time-out and keep-alive scan runs
//     otherwise  the peer closes its side
//
// Built with libFuzzer by `make fuzz`; the same file, built with
// fuzz/replay_main.cpp, replays the seeds and every input that ever failed.
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/MemoryTransport.h"
#include "core/Registry.h"
#include "fuzz/Check.h"
#include "fuzz/Stubs.h"
#include "storage/Database.h"

#include <QDir>
#include <QTemporaryDir>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

struct World {
  // In memory when the machine has /dev/shm: the database syncs every
  // commit, and a disk would make each input wait for it.
  QTemporaryDir dir{(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath()) +
                    "/fuzz_handlers-XXXXXX"};
  Database db;

  World() {
    if (!dir.isValid()) {
      std::fprintf(stderr, "fuzz_handlers: no temporary folder\n");
      std::abort();
    }
    db.Open(dir.path(), dir.path());
  }

  // Every input starts from the same database: one account.
  void ResetDatabase() {
    ResetToOneAccount(db);
  }
};

World& TheWorld() {
  // Lives until the process ends; only its throw-away folder is removed then.
  static World* world = [] {
    auto* w = new World();
    static const std::string folder = w->dir.path().toStdString();
    std::atexit([] { std::filesystem::remove_all(folder); });
    return w;
  }();
  return *world;
}

// The records of slots 1..255, looked up once per input: each stays where
// it is for the registry's life, and asking the registry for every one
// after every step (each call type-checked by UBSan) took longer than the
// step itself.
using Records = std::array<const ClientRecord*, kRegularSlots + 1>;

Records RecordsOf(const Registry& registry) {
  Records records{};
  for (int slot = 1; slot <= kRegularSlots; ++slot) records[std::size_t(slot)] = &registry.Client(slot);
  return records;
}

// Whatever the peers did, the table stays consistent with its transport.
FUZZ_UNCOVERED void CheckTable(const Registry& registry, const Records& records, MemoryTransport& transport) {
  int inUse = 0;
  for (int slot = 1; slot <= kRegularSlots; ++slot) {
    const ClientRecord& c = *records[std::size_t(slot)];
    inUse += c.InUse;
    if (!c.InUse) FUZZ_CHECK(c.Mode == kModeConnected && c.Buffer.empty() && c.User.empty());
    FUZZ_CHECK(c.Buffer.size() <= std::size_t(kMaxIncomingBody) + 2);
    if (c.Mode == kModeServer) FUZZ_CHECK(registry.FindClientByUser(c.User) == slot);
    if (c.InUse && !c.Refused) FUZZ_CHECK(transport.HasSocket(slot));
  }
  FUZZ_CHECK(inUse == registry.ConnectionCount());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  World& w = TheWorld();
  w.ResetDatabase();
  ConsoleState console;
  DiscardLog log;
  SteppedClock clock;
  FixedCalendar calendar;
  clock.now = 1000;
  MemoryTransport* transport = nullptr;
  Registry registry(w.db, console, log, clock, calendar, [&](SocketEvents& events) {
    auto made = std::make_unique<MemoryTransport>(events);
    transport = made.get();
    return made;
  });
  registry.SetFloodLimits(data[0] & 4 ? FloodLimits{} : FloodLimits::Off());
  registry.StartAccessTimes();
  registry.Listen(kRegistryPort, nullptr);
  console.SetAllowNewAccounts(data[0] & 1);
  // Selecting needs a line, so the account is logged in on no slot but the
  // list holds its name: a stale selection is what the core must survive.
  if (data[0] & 2) {
    console.AppendServer("alpha");
    console.SelectServer(0);
  }

  const Records records = RecordsOf(registry);

  constexpr std::uint32_t kLoopback = 0x7F000001;
  std::vector<int> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(transport->Connect(kLoopback));
  std::size_t i = 1;
  while (i < size) {
    const std::uint8_t step = data[i++];
    const int peer = peers[step % 4 % peers.size()];
    if (step < 0x80) {
      const std::size_t n = i < size ? data[i++] : 0;
      const std::size_t take = std::min(n, size - i);
      transport->Write(peer, std::string_view(reinterpret_cast<const char*>(data + i), take));
      i += take;
    } else if (step < 0xA0) {
      const std::uint32_t host = i < size ? data[i++] : 1;
      if (peers.size() < 64) peers.push_back(transport->Connect((kLoopback & 0xFFFFFF00u) | host));
    } else if (step < 0xC0) {
      transport->SetReading(peer, !transport->Peer(peer).reading);
    } else if (step < 0xE0) {
      clock.now += i < size ? std::uint32_t(data[i++]) * 512u : 0u;
      registry.OnClientTimer();
      transport->Settle();
    } else {
      transport->CloseFromPeer(peer);
    }
    CheckTable(registry, records, *transport);
  }
  registry.DisconnectAll();
  transport->Settle();
  return 0;
}
