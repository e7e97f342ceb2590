#include "bench/Loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

namespace bench {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string ListRequestBody(int start) { return {char(3), char(start)}; }

std::string AccountBody(int type, std::string_view user, std::string_view password) {
  std::string body(1, char(type));
  body.append(user);
  body.push_back('\0');
  body.append(password);
  return body;
}

Loop::Loop() : ep_(epoll_create1(EPOLL_CLOEXEC)) {
  if (ep_ < 0) throw std::runtime_error("epoll_create1 failed");
}

Loop::~Loop() {
  for (auto& [fd, c] : conns_) close(fd);
  close(ep_);
}

namespace {
std::uint32_t EventsFor(const Conn& c, bool out) {
  const std::uint32_t in = c.reads ? EPOLLIN : EPOLLRDHUP;
  return out ? (in | EPOLLOUT) : in;
}
}  // namespace

Conn* Loop::Connect(std::uint16_t port, std::uint32_t fromHostOrder, int neverReadBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ++connectFailures;
    return nullptr;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Before connect, so that the window offered in the handshake is small.
  if (neverReadBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &neverReadBuffer, sizeof neverReadBuffer);
  if (fromHostOrder) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(fromHostOrder);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) < 0) {
      close(fd);
      ++connectFailures;
      return nullptr;
    }
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 && errno != EINPROGRESS) {
    close(fd);
    ++connectFailures;
    return nullptr;
  }
  auto conn = std::make_unique<Conn>();
  conn->fd = fd;
  conn->reads = neverReadBuffer <= 0;
  Conn* c = conn.get();
  epoll_event ev{};
  ev.events = EventsFor(*c, true);
  ev.data.ptr = c;
  epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
  conns_.emplace(fd, std::move(conn));
  return c;
}

void Loop::Watch(Conn& c, bool out) {
  if (c.watchingOut == out) return;
  c.watchingOut = out;
  epoll_event ev{};
  ev.events = EventsFor(c, out);
  ev.data.ptr = &c;
  epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Loop::Flush(Conn& c) {
  while (!c.out.empty()) {
    const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n <= 0) break;  // EAGAIN waits for EPOLLOUT; an error shows as EPOLLERR
    c.out.erase(0, std::size_t(n));
  }
  Watch(c, !c.out.empty());
}

void Loop::Send(Conn& c, std::string_view bytes) {
  if (c.closed) return;
  const bool idle = c.out.empty();
  c.out.append(bytes);
  if (!c.connecting && idle) Flush(c);
}

void Loop::SendPacket(Conn& c, std::string_view body) {
  std::string packet{char(body.size() >> 8), char(body.size() & 0xFF)};
  packet.append(body);
  Send(c, packet);
}

void Loop::Close(Conn& c) {
  if (c.closed) return;
  c.closed = true;
  epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
  close(c.fd);
  auto it = conns_.find(c.fd);
  if (it != conns_.end()) {
    dead_.push_back(std::move(it->second));
    conns_.erase(it);
  }
}

void Loop::CloseAll() {
  std::vector<Conn*> all;
  for (auto& [fd, c] : conns_) all.push_back(c.get());
  for (Conn* c : all) Close(*c);
  Reap();
}

void Loop::Fail(Driver& driver, Conn& c) {
  Close(c);
  driver.OnClosed(c);
}

void Loop::Reap() { dead_.clear(); }

void Loop::Step(Driver& driver, double deadline) {
  epoll_event events[256];
  const double left = deadline - Now();
  const int timeoutMs = int(std::clamp(left * 1000.0, 0.0, longestWait_ * 1000.0));
  const int ready = epoll_wait(ep_, events, 256, timeoutMs);
  static thread_local char buf[65536];
  for (int i = 0; i < ready; ++i) {
    Conn& c = *static_cast<Conn*>(events[i].data.ptr);
    if (c.closed) continue;
    const std::uint32_t what = events[i].events;
    if (c.connecting) {
      if (!(what & (EPOLLOUT | EPOLLERR | EPOLLHUP))) continue;
      int error = 0;
      socklen_t len = sizeof error;
      getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len);
      if (error || (what & EPOLLERR)) {
        ++connectFailures;
        Fail(driver, c);
        continue;
      }
      c.connecting = false;
      driver.OnConnected(c);
      if (c.closed) continue;
      Flush(c);
      continue;
    }
    if (what & EPOLLOUT) Flush(c);
    if (!c.reads) {
      if (what & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) Fail(driver, c);
      continue;
    }
    if (!(what & (EPOLLIN | EPOLLHUP | EPOLLERR))) continue;
    const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      Fail(driver, c);
      continue;
    }
    c.in.append(buf, std::size_t(n));
    std::size_t pos = 0;
    while (c.in.size() - pos >= 2) {
      const std::size_t len =
          std::size_t(std::uint8_t(c.in[pos])) * 256 + std::uint8_t(c.in[pos + 1]);
      if (c.in.size() - pos < len + 2) break;
      const std::string_view body(c.in.data() + pos + 2, len);
      pos += len + 2;
      driver.OnPacket(c, body);
      if (c.closed) break;
    }
    if (!c.closed) c.in.erase(0, pos);
  }
  Reap();
}

}  // namespace bench
