#include "core/LingeringCloses.h"

#include "core/Clock.h"
#include "core/EpollTag.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

LingeringCloses::LingeringCloses(int epoll, TickClock& clock) : epoll_(epoll), clock_(clock) {
  // Expiry is looked at once a second: a peer gets between kLingerMs and a
  // second more, which is all the precision a last reply needs.
  timer_.setInterval(1000);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Expire(); });
}

LingeringCloses::~LingeringCloses() {
  for (Entry& e : entries_)
    if (e.fd >= 0) ::close(e.fd);
}

std::size_t LingeringCloses::BytesHeld() const {
  std::size_t n = 0;
  for (const Entry& e : entries_) n += e.out.Held();
  return n;
}

std::size_t LingeringCloses::TakeReleased() {
  const std::size_t n = released_;
  released_ = 0;
  return n;
}

std::size_t LingeringCloses::FreeIndex() {
  if (!free_.empty()) {
    const std::size_t index = free_.back();
    free_.pop_back();
    return index;
  }
  entries_.emplace_back();
  return entries_.size() - 1;
}

void LingeringCloses::Add(int fd, std::string_view pending) {
  if (count_ >= kMaxSockets || bytes_ + pending.size() > kMaxBytes) {
    ::close(fd);
    return;
  }
  const std::size_t index = FreeIndex();
  Entry& e = entries_[index];
  e.fd = fd;
  e.generation = nextGeneration_++;
  e.out.Assign(pending);
  bytes_ += e.out.Held();
  e.counted = e.out.Held();
  e.since = clock_.Ticks();
  ++count_;
  // A closed slot's socket is in the epoll set already and is re-tagged; a
  // refusal's socket is not and is added.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLOUT;
  ev.data.u64 = epolltag::Make(epolltag::kLingering, index, e.generation);
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) != 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    CloseEntry(index);
    return;
  }
  if (!timer_.isActive()) timer_.start();
}

void LingeringCloses::OnReady(std::size_t index, std::uint32_t generation, std::uint32_t events,
                              char* scratch, std::size_t size) {
  if (index >= entries_.size() || entries_[index].fd < 0 || entries_[index].generation != generation)
    return;
  Entry& e = entries_[index];
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    // What it sends is never looked at.
    const ssize_t n = ::recv(e.fd, scratch, size, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && !sockio::WouldBlock(errno) && errno != EINTR)) return CloseEntry(index);
  }
  if (!e.out.Flush(e.fd) || e.out.Empty()) CloseEntry(index);
}

void LingeringCloses::CloseEntry(std::size_t index) {
  Entry& e = entries_[index];
  if (e.fd < 0) return;
  sockio::DrainInput(e.fd);
  ::close(e.fd);
  bytes_ -= e.counted;
  if (e.out.Capacity() > SendQueue::kKeptCapacity) released_ += e.out.Capacity();
  e = Entry{};
  free_.push_back(index);
  --count_;
  if (count_ == 0) timer_.stop();
}

void LingeringCloses::Expire() {
  const std::uint32_t now = clock_.Ticks();
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].fd >= 0 && Elapsed(now, entries_[i].since) >= kLingerMs) CloseEntry(i);
}
