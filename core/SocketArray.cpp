#include "core/SocketArray.h"

#include "core/Clock.h"
#include "core/EpollTag.h"

#include <QSocketNotifier>
#include <QTimer>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <malloc.h>

namespace {

// Events taken from the kernel at a time, and rounds of them per wake-up:
// while the peers keep the registry busy, one pass of the event loop serves
// several rounds, so its own cost (polling every descriptor it watches,
// flushing the event log) is shared by more requests. Beyond that the rest
// waits for the next pass, so timers and windows are never starved.
constexpr int kEventsPerRound = 64;
constexpr int kRoundsPerPass = 8;
// When no descriptor is left even for a moment, accepting pauses this long.
constexpr int kAcceptPauseMs = 100;

using epolltag::Make;

}  // namespace

SocketArray::SocketArray(SocketEvents& events, QObject* parent) : SocketArray(events, nullptr, parent) {}

SocketArray::SocketArray(SocketEvents& events, TickClock& clock, QObject* parent)
    : SocketArray(events, &clock, parent) {}

SocketArray::SocketArray(SocketEvents& events, TickClock* clock, QObject* parent)
    : QObject(parent),
      events_(events),
      ownClock_(clock ? nullptr : std::make_unique<SystemTickClock>()),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      lingering_(epoll_, clock ? *clock : *ownClock_) {
  readBuffer_.resize(kReadSlice);
  noticeTimer_ = new QTimer(this);
  noticeTimer_->setSingleShot(true);
  noticeTimer_->setInterval(0);
  connect(noticeTimer_, &QTimer::timeout, this, &SocketArray::DeliverNotices);
  resumeTimer_ = new QTimer(this);
  resumeTimer_->setSingleShot(true);
  resumeTimer_->setInterval(kAcceptPauseMs);
  connect(resumeTimer_, &QTimer::timeout, this,
          [this] { Watch(listener_.Fd(), Make(epolltag::kListener, 0, 0), false); });
  if (epoll_ >= 0) {
    notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SocketArray::OnEpollReady);
  }
}

SocketArray::~SocketArray() {
  for (Socket& s : slots_)
    if (s.fd >= 0) ::close(s.fd);
  if (epoll_ >= 0) ::close(epoll_);
}

bool SocketArray::Listen(std::uint16_t port, std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    listener_.Close();
    return false;
  };
  if (epoll_ < 0) return fail("epoll_create1");
  if (!listener_.Open(port, error)) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = Make(epolltag::kListener, 0, 0);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.Fd(), &ev) != 0) return fail("epoll_ctl");
  return true;
}

// --- Accepting -------------------------------------------------------------

std::optional<SocketArray::Request> SocketArray::Accept() {
  bool pause = false;
  std::optional<Request> request = listener_.Accept(&pause);
  if (pause) PauseAccepting();
  return request;
}

// The listener leaves the epoll set for a while; a failure to take it out
// only means the loop is woken for it meanwhile, as without the pause.
void SocketArray::PauseAccepting() {
  if (resumeTimer_->isActive()) return;
  (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_.Fd(), nullptr);
  resumeTimer_->start();
}

void SocketArray::AcceptOn(int slot, Request request) {
  Socket& s = slots_[std::size_t(slot)];
  if (s.fd >= 0) Close(slot);
  s.fd = request.fd;
  s.address = request.address;
  s.connected = true;
  s.generation = nextGeneration_++;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = Make(epolltag::kSlot, std::size_t(slot), s.generation);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev) != 0) Fail(slot);
}

void SocketArray::Refuse(Request request, std::string_view bytes) {
  if (bytes.empty()) {
    ::close(request.fd);
    return;
  }
  const ssize_t sent = ::send(request.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent == ssize_t(bytes.size()) || (sent < 0 && !sockio::WouldBlock(errno))) {
    sockio::DrainInput(request.fd);
    ::close(request.fd);
    return;
  }
  lingering_.Add(request.fd, bytes.substr(sent > 0 ? std::size_t(sent) : 0));
}

// --- Sending ---------------------------------------------------------------

bool SocketArray::Connected(int slot) const {
  const Socket& s = slots_[std::size_t(slot)];
  return s.fd >= 0 && s.connected;
}

// A queue that grew is given back, not kept at its size for the slot's next
// peer.
void SocketArray::ClearQueue(Socket& s) { released_ += s.out.Clear(); }

std::size_t SocketArray::SlotBytes() const {
  std::size_t n = 0;
  for (const Socket& s : slots_) n += s.out.Held();
  return n;
}

void SocketArray::ReleaseMemory() {
  released_ += lingering_.TakeReleased();
  if (released_ < 1024 * 1024) return;
  released_ = 0;
  ::malloc_trim(0);
}

void SocketArray::Discard(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  if (s.fd >= 0) ClearQueue(s);
}

void SocketArray::Send(int slot, std::string_view bytes) {
  Socket& s = slots_[std::size_t(slot)];
  if (s.fd < 0 || !s.connected) return;
  if (!s.out.Empty()) {
    if (s.out.Pending() + bytes.size() > kMaxQueued) return Fail(slot);
    // Only peers that are not keeping up get here, so the sum is taken
    // only then.
    if (SlotBytes() + bytes.size() > kMaxQueuedTotal) return Fail(slot);
    s.out.Append(bytes);
    return;
  }
  // The usual case: the kernel takes the whole reply at once.
  const ssize_t sent = ::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent == ssize_t(bytes.size())) return PostNotice(slot, false);
  if (sent < 0 && !sockio::WouldBlock(errno) && errno != EINTR) return Fail(slot);
  s.out.Assign(bytes.substr(sent > 0 ? std::size_t(sent) : 0));
  Watch(s.fd, Make(epolltag::kSlot, std::size_t(slot), s.generation), true);
}

// A socket that cannot be watched for sending fails its next send or read
// instead, so the result is not looked at beyond re-adding a lost entry.
void SocketArray::Watch(int fd, std::uint64_t tag, bool out) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | (out ? EPOLLOUT : 0u);
  ev.data.u64 = tag;
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) != 0 && errno == ENOENT)
    (void)::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
}

// The socket has left the connected state; the client table hears of it
// once the current event is handled.
void SocketArray::Fail(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  if (!s.connected) return;
  s.connected = false;
  ClearQueue(s);
  PostNotice(slot, true);
}

void SocketArray::Close(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  if (s.fd < 0) return;
  if (s.connected && s.out.Pending() > 0) {
    // Moves over with its queue; its epoll entry is re-tagged there.
    lingering_.Add(s.fd, s.out.PendingBytes());
  } else {
    if (s.connected) sockio::DrainInput(s.fd);
    ::close(s.fd);
  }
  if (s.out.Capacity() > SendQueue::kKeptCapacity) released_ += s.out.Capacity();
  s = Socket{};
}

// --- Notices ---------------------------------------------------------------

void SocketArray::PostNotice(int slot, bool error) {
  notices_.push_back({slot, slots_[std::size_t(slot)].generation, error});
  if (!dispatching_ && !noticeTimer_->isActive()) noticeTimer_->start();
}

void SocketArray::DeliverNotices() {
  while (!notices_.empty()) {
    delivering_.swap(notices_);
    for (const Notice& n : delivering_) {
      const Socket& s = slots_[std::size_t(n.slot)];
      // A notice for a socket that is gone, or for an earlier connection on
      // the same slot, is dropped.
      if (s.fd < 0 || s.generation != n.generation) continue;
      if (n.error)
        events_.OnSocketError(n.slot);
      else if (s.out.Empty())
        events_.OnSendComplete(n.slot);
    }
    delivering_.clear();
  }
}

// --- Events ----------------------------------------------------------------

// A round that found a single event means the peers are not keeping the
// registry busy: back to the event loop at once, without asking the kernel
// again for nothing.
void SocketArray::OnEpollReady() {
  for (int round = 0; round < kRoundsPerPass; ++round)
    if (DispatchRound() < 2) break;
}

// One epoll_wait's worth of events; how many there were.
int SocketArray::DispatchRound() {
  epoll_event ready[kEventsPerRound];
  const int count = ::epoll_wait(epoll_, ready, kEventsPerRound, 0);
  if (count <= 0) return 0;
  dispatching_ = true;
  for (int i = 0; i < count; ++i) Dispatch(ready[i].data.u64, ready[i].events);
  DeliverNotices();
  dispatching_ = false;
  return count;
}

void SocketArray::Dispatch(std::uint64_t tag, std::uint32_t events) {
  const epolltag::Kind kind = epolltag::KindOf(tag);
  const std::size_t index = epolltag::IndexOf(tag);
  const std::uint32_t generation = epolltag::GenerationOf(tag);
  if (kind == epolltag::kListener) {
    events_.OnConnectionRequest();
  } else if (kind == epolltag::kLingering) {
    lingering_.OnReady(index, generation, events, readBuffer_.data(), readBuffer_.size());
  } else if (index >= 1 && index <= std::size_t(kSlots) && slots_[index].generation == generation &&
             slots_[index].fd >= 0) {
    const int slot = int(index);
    if (events & EPOLLOUT) OnWritable(slot);
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && slots_[index].generation == generation &&
        slots_[index].connected)
      OnReadable(slot);
  }
}

void SocketArray::OnReadable(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  const ssize_t n = ::recv(s.fd, readBuffer_.data(), readBuffer_.size(), 0);
  if (n > 0) {
    events_.OnDataArrival(slot, std::string_view(readBuffer_.data(), std::size_t(n)));
    return;
  }
  if (n < 0 && (sockio::WouldBlock(errno) || errno == EINTR)) return;
  // The peer closed its side or reset the connection. Stop watching it, so
  // the end is reported once, not at every pass until the slot is freed.
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
  Fail(slot);
}

void SocketArray::OnWritable(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  if (!s.out.Flush(s.fd)) return Fail(slot);
  if (!s.out.Empty()) return;
  ClearQueue(s);
  Watch(s.fd, Make(epolltag::kSlot, std::size_t(slot), s.generation), false);
  PostNotice(slot, false);
}

// --- Sockets without a slot -----------------------------------------------

std::size_t SocketArray::BytesHeld() const { return SlotBytes() + lingering_.BytesHeld(); }

std::string SocketArray::AddressText(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
         std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}
