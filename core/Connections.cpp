// The client table and the life of a connection: choosing a slot, the
// table-full refusal, the accept with its ban check and counters, the one way
// a connection ends (DisconnectClient), and the time-out and keep-alive scan.
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Registry.h"
#include "core/Text.h"
#include "storage/Database.h"

#include <QTimer>

#include <algorithm>
#include <tuple>

namespace {

constexpr int kClientTimerMs = 10;
// The scan runs at least this often, to drop a socket that left the
// connected state without an error (errors end a connection at once).
constexpr std::uint32_t kScanAtLeastEveryMs = 1000;
constexpr std::uint32_t kSilence = 30000;       // ping (servers) or drop (others)
constexpr std::uint32_t kPingWindowEnd = 35000;
constexpr std::uint32_t kDeadline = 60000;      // drop whatever the mode
// What makes room in a full table spares a connection this new, and a
// player who was sent a ListMore this recently (it is asking for the rest).
constexpr std::uint32_t kEvictionGraceMs = 1000;
constexpr std::uint32_t kFetchingGraceMs = 2000;
// Connections taken from the backlog per wake-up of the event loop: few
// enough that a player's request waiting beside a flood of connections is
// not held up behind all of them (at 64, list p99 under siege was 4x that
// without attackers; at 16, 2.5x), while the backlog still drains at every
// round of events.
constexpr int kAcceptsPerPass = 16;

const char kServerFullPacket[] = {0x00, 0x02, 0x00, 0x04};
const std::string kCaption = "The Velkarin Server Registry";

}  // namespace

Registry::Registry(Database& db, ConsoleState& console, LogSink& log, TickClock& clock,
                   Calendar& calendar, QObject* parent)
    : Registry(db, console, log, clock, calendar,
               [](SocketEvents& events) { return std::make_unique<SocketArray>(events); }, parent) {}

Registry::Registry(Database& db, ConsoleState& console, LogSink& log, TickClock& clock,
                   Calendar& calendar, const TransportFactory& transport, QObject* parent)
    : QObject(parent),
      db_(db),
      console_(console),
      log_(log),
      clock_(clock),
      calendar_(calendar),
      transport_(transport(*this)),
      sockets_(*transport_),
      flood_(clock, log) {
  clientTimer_ = new QTimer(this);
  clientTimer_->setSingleShot(true);
  clientTimer_->setTimerType(Qt::PreciseTimer);
  connect(clientTimer_, &QTimer::timeout, this, &Registry::OnClientTimer);
}

Registry::~Registry() = default;

void Registry::StartAccessTimes() { accessTimes_.fill(clock_.Ticks()); }

bool Registry::Listen(std::uint16_t port, QString* error) {
  std::string reason;
  if (sockets_.Listen(port, &reason)) return true;
  if (error)
    *error = QStringLiteral("Cannot listen on port %1: %2").arg(port).arg(QString::fromStdString(reason));
  return false;
}

std::uint16_t Registry::ListeningPort() const { return sockets_.LocalPort(); }

void Registry::StartClientTimer() {
  scanScheduled_ = true;
  clientTimer_->start(kClientTimerMs);
}

void Registry::StopClientTimer() {
  scanScheduled_ = false;
  clientTimer_->stop();
}

// The scan acts only when a slot's silence reaches 30 s (ping or drop) or
// 60 s (drop), so between those moments it has nothing to do: the timer
// sleeps until the first of them is due, in steps of 10 ms at the least and
// a second at the most. An idle registry with every slot taken then wakes
// about once a second instead of a hundred times, each wake-up costing a
// poll of every socket. New connections and arrivals only push the moments
// later (a new slot's first one is 30 s away), so none is ever passed over.
void Registry::ScheduleScan() {
  if (!scanScheduled_) return;
  const std::uint32_t now = clock_.Ticks();
  std::uint32_t wait = kScanAtLeastEveryMs;
  for (int slot = 1; slot <= kRegularSlots; ++slot) {
    const ClientRecord& c = Clients[slot];
    if (!c.InUse) continue;
    if (c.Refused)
      wait = std::min(wait, kRefusalGraceMs - std::min(Elapsed(now, c.RefusedTick), kRefusalGraceMs));
    const std::uint32_t elapsed = Elapsed(now, c.LastTick);
    if (elapsed < kSilence)
      wait = std::min(wait, kSilence - elapsed);
    else if (elapsed < kDeadline)
      wait = std::min(wait, kDeadline - elapsed);
    else
      wait = 0;
  }
  clientTimer_->start(int(std::max<std::uint32_t>(wait, kClientTimerMs)));
}

int Registry::FindFreeSlot() const {
  for (int slot = 1; slot <= kRegularSlots; ++slot)
    if (!Clients[slot].InUse) return slot;
  return 0;
}

int Registry::FindClientByUser(std::string_view user) const {
  for (int slot = 1; slot <= kRegularSlots; ++slot) {
    const ClientRecord& c = Clients[slot];
    if (c.Mode == kModeServer && EqualsIgnoringCase(c.User, user)) return slot;
  }
  return 0;
}

// The listening socket stays open while requests are accepted: closing it
// would drop the connections waiting in its backlog.
void Registry::OnConnectionRequest() {
  for (int n = 0; n < kAcceptsPerPass; ++n) {
    const auto request = sockets_.Accept();
    if (!request) return;
    AcceptConnection(*request);
  }
}

// Before a connection gets a slot: an address that opens too many
// connections is refused at once with nothing sent, like a ban, and one that
// already holds its share of connections that have not logged in gets the
// table-full refusal on a socket of its own. When the table is full, the
// most silent connection that has not logged in makes room.
void Registry::AcceptConnection(SocketArray::Request request) {
  const std::string ip = SocketArray::AddressText(request.address);
  if (!flood_.AdmitConnection(request.address, ip)) {
    Counters::Add(counters_.refusedCoolingDown);
    return sockets_.Refuse(request, {});
  }
  const int cap = flood_.Limits().MaxClientsPerIP;
  if (cap > 0 && WaitingFrom(request.address) >= cap) {
    Counters::Add(counters_.refusedPerAddress);
    return sockets_.Refuse(request, std::string_view(kServerFullPacket, sizeof kServerFullPacket));
  }
  int slot = FindFreeSlot();
  if (slot == 0 && flood_.Limits().EvictIdleClients) slot = EvictIdleClient();
  if (slot == 0) return RefuseTableFull(request);
  sockets_.AcceptOn(slot, request);
  addresses_[slot] = request.address;
  ClientRecord& c = Clients[slot];
  c.IP = ip;
  const bool refused = RefusedByBan(c.IP);
  ++connectionCount_;
  if (refused) {
    Counters::Add(counters_.refusedBanned);
    c.InUse = true;
    DisconnectClient(slot);
    return;
  }
  Counters::Add(counters_.connectionsAccepted);
  RecordAccess();
  c.InUse = true;
  c.Mode = kModeConnected;
  c.Buffer.clear();
  c.PlayerCount = 0;
  c.ConnectTick = clock_.Ticks();
  c.LastTick = c.ConnectTick - 50;
  ShowConnectionCount();
}

int Registry::WaitingFrom(std::uint32_t address) const {
  int n = 0;
  for (int slot = 1; slot <= kRegularSlots; ++slot)
    n += Clients[slot].InUse && Clients[slot].Mode == kModeConnected && addresses_[slot] == address;
  return n;
}

// A player's client has nothing more to wait for once it has its list, and
// one that is talking is never the most silent, so nothing of use is lost.
// Never chosen: a player between two parts of the list and a connection that
// has had no time to speak yet (unless every candidate is one of those), and
// logged-in game servers. First go
// connections whose login was refused, then those that never asked for
// anything but keep-alives; then the room is taken from the address that
// holds the most waiting connections (a peer that keeps many connections
// alive cannot make a newcomer the most silent one), its most silent first.
int Registry::EvictIdleClient() {
  std::array<std::uint32_t, kRegularSlots> waiting;
  std::size_t count = 0;
  for (int slot = 1; slot <= kRegularSlots; ++slot)
    if (Clients[slot].InUse && Clients[slot].Mode == kModeConnected) waiting[count++] = addresses_[slot];
  std::sort(waiting.begin(), waiting.begin() + std::ptrdiff_t(count));
  const auto heldBy = [&](std::uint32_t address) {
    const auto range = std::equal_range(waiting.begin(), waiting.begin() + std::ptrdiff_t(count), address);
    return std::uint32_t(range.second - range.first);
  };
  const std::uint32_t now = clock_.Ticks();
  // Refused, keep-alives only, connections its address holds, silence:
  // the highest goes.
  using Rank = std::tuple<bool, bool, std::uint32_t, std::uint32_t>;
  const auto choose = [&](bool spareYoung) {
    int chosen = 0;
    Rank best{};
    for (int slot = 1; slot <= kRegularSlots; ++slot) {
      const ClientRecord& c = Clients[slot];
      if (!c.InUse || c.Mode != kModeConnected) continue;
      const std::uint32_t held = heldBy(addresses_[slot]);
      const bool young = Elapsed(now, c.ConnectTick) < kEvictionGraceMs ||
                         (c.WaitsForMore && Elapsed(now, c.ListMoreTick) < kFetchingGraceMs);
      if (young && !c.Refused && (spareYoung || held < 2)) continue;
      const Rank rank{c.Refused, !c.AskedSomething, held, Elapsed(now, c.LastTick)};
      if (chosen == 0 || rank > best) {
        chosen = slot;
        best = rank;
      }
    }
    return chosen;
  };
  // A flood that reconnects faster than connections age can keep every
  // slot younger than the grace; the grace then stops shielding addresses
  // that hold several connections, or no game server would get in at all.
  int chosen = choose(true);
  if (!chosen) chosen = choose(false);
  if (chosen) {
    Counters::Add(counters_.evictions);
    DisconnectClient(chosen);
  }
  return chosen;
}

// The overflow slot only ever refuses: whatever its peer sends is dropped
// (see OnDataArrival), and it is closed once the refusal has gone out.
void Registry::RefuseTableFull(SocketArray::Request request) {
  Counters::Add(counters_.refusedTableFull);
  const std::string_view packet(kServerFullPacket, sizeof kServerFullPacket);
  if (Clients[kOverflowSlot].InUse) {
    // Still delivering an earlier refusal: this one gets the same four
    // bytes on a socket of its own.
    return sockets_.Refuse(request, packet);
  }
  sockets_.AcceptOn(kOverflowSlot, request);
  Clients[kOverflowSlot].InUse = true;
  Clients[kOverflowSlot].CloseAfterSend = true;
  SendRaw(kOverflowSlot, packet);
}

void Registry::OnDataArrival(int slot, std::string_view data) {
  if (slot == kOverflowSlot) return;
  ProcessData(slot, data);
}

void Registry::OnSocketError(int slot) { DisconnectClient(slot); }

void Registry::RecordAccess() {
  accessCount_ = std::min(accessCount_ + 1, 100);
  std::copy(accessTimes_.begin() + 2, accessTimes_.end(), accessTimes_.begin() + 1);
  accessTimes_[100] = clock_.Ticks();
  // Accesses over the span they cover, scaled to one hour. Within one tick
  // the span is zero; count it as one millisecond rather than divide by 0.
  const std::uint32_t span = std::max<std::uint32_t>(Elapsed(accessTimes_[100], accessTimes_[1]), 1);
  accessesPerHour_ = int(static_cast<long long>(accessCount_) * 3600000LL / span);
  console_.SetStatus("Accesses/Hour = " + std::to_string(accessesPerHour_));
}

void Registry::ShowConnectionCount() {
  const std::string count = std::to_string(connectionCount_);
  console_.SetCaption(kCaption + " [" + count + "]");
  console_.SetTrayTip("Kestrune [" + count + "]");
}

void Registry::DisconnectClient(int slot) {
  if (slot < 1 || slot > kOverflowSlot) return;
  ClientRecord& c = Clients[slot];
  if (!c.InUse) return;
  if (slot != kOverflowSlot) --connectionCount_;
  ShowConnectionCount();
  sockets_.Close(slot);
  if (slot == heldSlot_) held_.clear();
  ReleaseEntry(c);
  if (c.Mode == kModeServer) {
    InvalidateLists();
    log_.AddLogLine(c.User + " has disconnected from " + c.IP);
    console_.RemoveServer(c.User);
  }
  addresses_[slot] = 0;
  c.IP.clear();
  c.Buffer.clear();
  c.User.clear();
  c.Name.clear();
  c.InUse = false;
  c.Mode = kModeConnected;
  c.CloseAfterSend = false;
  c.WaitsForMore = false;
  c.AskedSomething = false;
  c.Refused = false;
}

void Registry::DisconnectAll() {
  for (int slot = 1; slot <= kRegularSlots; ++slot)
    if (Clients[slot].InUse) DisconnectClient(slot);
}

void Registry::OnSendComplete(int slot) {
  if (Clients[slot].CloseAfterSend) DisconnectClient(slot);
}

void Registry::OnClientTimer() {
  flood_.ForgetStale();
  sockets_.ReleaseMemory();
  for (int slot = 1; slot <= kRegularSlots; ++slot) {
    ClientRecord& c = Clients[slot];
    if (!c.InUse) continue;
    // A refusal its peer does not read ends the connection all the same,
    // without lingering to deliver it.
    if (c.Refused && Elapsed(clock_.Ticks(), c.RefusedTick) >= kRefusalGraceMs) {
      sockets_.Discard(slot);
      DisconnectClient(slot);
      continue;
    }
    if (!SocketConnected(slot)) DisconnectClient(slot);
    if (c.InUse) {
      const std::uint32_t now = clock_.Ticks();
      const std::uint32_t elapsed = Elapsed(now, c.LastTick);
      if (elapsed >= kSilence && elapsed <= kPingWindowEnd) {
        if (c.Mode != kModeConnected) {
          // The keep-alive's body is its type byte and one 0xFF.
          SendPacket(slot, std::string{char(packet::Ping), char(0xFF)});
          c.LastTick = now - kPingWindowEnd;
        } else {
          Counters::Add(counters_.silenceDrops);
          DisconnectClient(slot);
        }
      }
    }
    if (c.InUse) {
      const bool silent = Elapsed(clock_.Ticks(), c.LastTick) >= kDeadline;
      if (silent) Counters::Add(counters_.silenceDrops);
      if (silent || !SocketConnected(slot)) DisconnectClient(slot);
    }
  }
  ScheduleScan();
}

void Registry::ShowServerInfo(int slot) {
  const ClientRecord& c = Clients[slot];
  ServerInfoLabels labels;
  labels.ID = c.User;
  labels.Name = c.Name;
  labels.IP = c.IP;
  labels.Count = std::to_string(c.PlayerCount);
  labels.Official = c.Official == 1 ? "Yes" : "No";
  console_.SetInfo(labels);
}
