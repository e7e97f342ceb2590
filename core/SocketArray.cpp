#include "core/SocketArray.h"

#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
// A connection that is ended with bytes still queued gets this long to take
// them; a refusal sent on a socket of its own the same.
constexpr std::int64_t kLingerMs = 10000;
// Sockets without a slot kept at most; beyond, an ending connection is
// closed at once and what it had queued is dropped.
constexpr std::size_t kMaxLoose = 512;
// When no descriptor is left even for a moment, accepting pauses this long.
constexpr int kAcceptPauseMs = 100;

enum Kind : std::uint64_t { kListener = 0, kSlot = 1, kLoose = 2 };

std::uint64_t Tag(Kind kind, std::size_t index, std::uint32_t generation) {
  return (std::uint64_t(generation) << 32) | (std::uint64_t(kind) << 24) | std::uint64_t(index);
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Reads and drops what the peer has sent, so that closing the socket sends
// an orderly end rather than a reset that could overtake the last reply.
void DrainInput(int fd) {
  char scratch[4096];
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n <= 0) break;
  }
}

}  // namespace

SocketArray::SocketArray(SocketEvents& events, QObject* parent) : QObject(parent), events_(events) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  readBuffer_.resize(kReadSlice);
  noticeTimer_ = new QTimer(this);
  noticeTimer_->setSingleShot(true);
  noticeTimer_->setInterval(0);
  connect(noticeTimer_, &QTimer::timeout, this, &SocketArray::DeliverNotices);
  resumeTimer_ = new QTimer(this);
  resumeTimer_->setSingleShot(true);
  resumeTimer_->setInterval(kAcceptPauseMs);
  connect(resumeTimer_, &QTimer::timeout, this,
          [this] { Watch(listener_, Tag(kListener, 0, 0), false); });
  lingerTimer_ = new QTimer(this);
  lingerTimer_->setInterval(1000);
  connect(lingerTimer_, &QTimer::timeout, this, &SocketArray::ExpireLoose);
  if (epoll_ >= 0) {
    notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SocketArray::OnEpollReady);
  }
}

SocketArray::~SocketArray() {
  for (Socket& s : slots_)
    if (s.fd >= 0) ::close(s.fd);
  for (Loose& l : loose_)
    if (l.fd >= 0) ::close(l.fd);
  for (int fd : {listener_, spare_, epoll_})
    if (fd >= 0) ::close(fd);
}

bool SocketArray::Listen(std::uint16_t port, std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    return false;
  };
  if (epoll_ < 0) return fail("epoll_create1");
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return fail("socket");
  // A restart does not wait for the connections of the previous run that
  // are still in TIME_WAIT.
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return fail("bind");
  if (::listen(listener_, SOMAXCONN) != 0) return fail("listen");
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = Tag(kListener, 0, 0);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &ev) != 0) return fail("epoll_ctl");
  return true;
}

// --- Accepting -------------------------------------------------------------

std::optional<SocketArray::Request> SocketArray::Accept() {
  if (listener_ < 0) return std::nullopt;
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return Request{fd, ntohl(peer.sin_addr.s_addr)};
    }
    if (!AcceptFailed(errno)) return std::nullopt;
  }
}

// True when accepting should simply be tried again.
bool SocketArray::AcceptFailed(int error) {
  if (error == EINTR || error == ECONNABORTED || error == EPROTO) return true;
  if (error == EMFILE || error == ENFILE) {
    // Out of descriptors: the waiting connection would stay in the backlog
    // and wake the loop again at once, for ever. The spare descriptor makes
    // room to take it and close it, so the backlog drains; the peer sees
    // its connection closed.
    if (spare_ >= 0) {
      ::close(spare_);
      spare_ = -1;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) ::close(fd);
      spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd >= 0) return true;
    }
    PauseAccepting();
    return false;
  }
  if (error == ENOBUFS || error == ENOMEM) PauseAccepting();
  return false;  // EAGAIN: nothing waits
}

void SocketArray::PauseAccepting() {
  if (resumeTimer_->isActive()) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
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
  ev.data.u64 = Tag(kSlot, std::size_t(slot), s.generation);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev) != 0) Fail(slot);
}

void SocketArray::Refuse(Request request, std::string_view bytes) {
  if (bytes.empty()) {
    ::close(request.fd);
    return;
  }
  const ssize_t sent = ::send(request.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent == ssize_t(bytes.size()) || (sent < 0 && !WouldBlock(errno))) {
    DrainInput(request.fd);
    ::close(request.fd);
    return;
  }
  AddLoose(request.fd, bytes.substr(sent > 0 ? std::size_t(sent) : 0));
}

// --- Sending ---------------------------------------------------------------

bool SocketArray::Connected(int slot) const {
  const Socket& s = slots_[std::size_t(slot)];
  return s.fd >= 0 && s.connected;
}

bool SocketArray::Flush(int fd, std::string& out, std::size_t& outStart) {
  while (outStart < out.size()) {
    const ssize_t n =
        ::send(fd, out.data() + outStart, out.size() - outStart, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (WouldBlock(errno)) break;
      return false;
    }
    outStart += std::size_t(n);
  }
  if (outStart == out.size()) {
    out.clear();
    outStart = 0;
  }
  return true;
}

// A queue that grew is given back, not kept at its size for the slot's next
// peer.
void SocketArray::ClearQueue(Socket& s) {
  if (s.out.capacity() > 64 * 1024) {
    released_ += s.out.capacity();
    std::string().swap(s.out);
  } else {
    s.out.clear();
  }
  s.outStart = 0;
}

std::size_t SocketArray::SlotBytes() const {
  std::size_t n = 0;
  for (const Socket& s : slots_) n += s.out.size();
  return n;
}

void SocketArray::ReleaseMemory() {
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
  if (!s.out.empty()) {
    if (s.out.size() - s.outStart + bytes.size() > kMaxQueued) return Fail(slot);
    // Only peers that are not keeping up get here, so the sum is taken
    // only then.
    if (SlotBytes() + bytes.size() > kMaxQueuedTotal) return Fail(slot);
    // What the kernel has taken goes once it is half the queue: a peer that
    // reads slowly but never lets the queue run empty must not make it grow
    // without end.
    if (s.outStart >= s.out.size() / 2) {
      s.out.erase(0, s.outStart);
      s.outStart = 0;
    }
    s.out.append(bytes);
    return;
  }
  // The usual case: the kernel takes the whole reply at once.
  const ssize_t sent = ::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent == ssize_t(bytes.size())) return PostNotice(slot, false);
  if (sent < 0 && !WouldBlock(errno) && errno != EINTR) return Fail(slot);
  s.out.assign(bytes.substr(sent > 0 ? std::size_t(sent) : 0));
  s.outStart = 0;
  s.watchingOut = true;
  Watch(s.fd, Tag(kSlot, std::size_t(slot), s.generation), true);
}

void SocketArray::Watch(int fd, std::uint64_t tag, bool out) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | (out ? EPOLLOUT : 0u);
  ev.data.u64 = tag;
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) != 0 && errno == ENOENT)
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
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
  if (s.connected && s.out.size() > s.outStart) {
    // Moves over with its queue; its epoll entry is re-tagged there.
    AddLoose(s.fd, std::string_view(s.out).substr(s.outStart));
  } else {
    if (s.connected) DrainInput(s.fd);
    ::close(s.fd);
  }
  if (s.out.capacity() > 64 * 1024) released_ += s.out.capacity();
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
      else if (s.out.empty())
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
  for (int i = 0; i < count; ++i) {
    const std::uint64_t tag = ready[i].data.u64;
    const auto kind = Kind((tag >> 24) & 0xFF);
    const std::size_t index = tag & 0xFFFFFF;
    const auto generation = std::uint32_t(tag >> 32);
    const std::uint32_t events = ready[i].events;
    if (kind == kListener) {
      events_.OnConnectionRequest();
    } else if (kind == kLoose) {
      OnLooseReady(index, generation, events);
    } else if (index >= 1 && index <= std::size_t(kSlots) &&
               slots_[index].generation == generation && slots_[index].fd >= 0) {
      const int slot = int(index);
      if (events & EPOLLOUT) OnWritable(slot);
      if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) &&
          slots_[index].generation == generation && slots_[index].connected)
        OnReadable(slot);
    }
  }
  DeliverNotices();
  dispatching_ = false;
  return count;
}

void SocketArray::OnReadable(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  const ssize_t n = ::recv(s.fd, readBuffer_.data(), readBuffer_.size(), 0);
  if (n > 0) {
    events_.OnDataArrival(slot, std::string_view(readBuffer_.data(), std::size_t(n)));
    return;
  }
  if (n < 0 && (WouldBlock(errno) || errno == EINTR)) return;
  // The peer closed its side or reset the connection. Stop watching it, so
  // the end is reported once, not at every pass until the slot is freed.
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
  Fail(slot);
}

void SocketArray::OnWritable(int slot) {
  Socket& s = slots_[std::size_t(slot)];
  if (!Flush(s.fd, s.out, s.outStart)) return Fail(slot);
  if (!s.out.empty()) return;
  ClearQueue(s);
  s.watchingOut = false;
  Watch(s.fd, Tag(kSlot, std::size_t(slot), s.generation), false);
  PostNotice(slot, false);
}

// --- Sockets without a slot -----------------------------------------------

std::size_t SocketArray::Lingering() const { return looseCount_; }

std::size_t SocketArray::BytesHeld() const {
  std::size_t n = 0;
  for (const Socket& s : slots_) n += s.out.size();
  for (const Loose& l : loose_) n += l.out.size();
  return n;
}

void SocketArray::AddLoose(int fd, std::string_view pending) {
  if (looseCount_ >= kMaxLoose || looseBytes_ + pending.size() > kMaxLingeringBytes) {
    ::close(fd);
    return;
  }
  std::size_t index;
  if (!freeLoose_.empty()) {
    index = freeLoose_.back();
    freeLoose_.pop_back();
  } else {
    index = loose_.size();
    loose_.emplace_back();
  }
  Loose& l = loose_[index];
  l.fd = fd;
  l.generation = nextGeneration_++;
  l.out.assign(pending);
  l.outStart = 0;
  looseBytes_ += l.out.size();
  l.counted = l.out.size();
  l.deadlineMs = NowMs() + kLingerMs;
  ++looseCount_;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT;
  ev.data.u64 = Tag(kLoose, index, l.generation);
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) != 0 &&
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    CloseLoose(index);
    return;
  }
  if (!lingerTimer_->isActive()) lingerTimer_->start();
}

void SocketArray::OnLooseReady(std::size_t index, std::uint32_t generation, std::uint32_t events) {
  if (index >= loose_.size() || loose_[index].fd < 0 || loose_[index].generation != generation)
    return;
  Loose& l = loose_[index];
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    // What it sends is never looked at.
    const ssize_t n = ::recv(l.fd, readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && !WouldBlock(errno) && errno != EINTR)) return CloseLoose(index);
  }
  if (!Flush(l.fd, l.out, l.outStart) || l.out.empty()) CloseLoose(index);
}

void SocketArray::CloseLoose(std::size_t index) {
  Loose& l = loose_[index];
  if (l.fd < 0) return;
  DrainInput(l.fd);
  ::close(l.fd);
  looseBytes_ -= l.counted;
  if (l.out.capacity() > 64 * 1024) released_ += l.out.capacity();
  l = Loose{};
  freeLoose_.push_back(index);
  --looseCount_;
  if (looseCount_ == 0) lingerTimer_->stop();
}

void SocketArray::ExpireLoose() {
  const std::int64_t now = NowMs();
  for (std::size_t i = 0; i < loose_.size(); ++i)
    if (loose_[i].fd >= 0 && now >= loose_[i].deadlineMs) CloseLoose(i);
}

std::string SocketArray::AddressText(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
         std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}
