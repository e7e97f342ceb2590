// The reference server of the benchmarks: the smallest single-threaded epoll
// server that answers a server-list request exactly as the registry does for
// the same S game servers (server i in slot i): the same entries with the same
// bytes, official servers first, cut once a reply reaches 1024 bytes and
// closed by ListEnd or by ListMore with the slot to ask for next. The replies
// are made once at start; per request it only reads, looks up and writes. It
// is the limit of a one-thread TCP server on this machine for this protocol.
//
//   refserver --port P --servers S [--ip 127.0.0.1] [--shape realistic|short]
#include "bench/Fleet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxIncomingBody = 511;

struct Connection {
  std::string in;
  std::string out;  // what the socket did not take yet
  bool watchingOut = false;
};

void Fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0, servers = 50;
  std::string ip = "127.0.0.1";
  fleet::Shape shape = fleet::Shape::Realistic;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--port")) port = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--servers")) servers = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--ip")) ip = argv[i + 1];
    else if (!std::strcmp(argv[i], "--shape") && !std::strcmp(argv[i + 1], "short"))
      shape = fleet::Shape::Short;
  }
  if (port <= 0) {
    std::fprintf(stderr, "usage: refserver --port P --servers S [--ip A]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const auto replies = fleet::ListReplies(servers, ip, shape);

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(std::uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) Fail("bind");
  if (listen(listener, 4096) < 0) Fail("listen");

  const int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::printf("refserver listening on port %d with %d servers\n", port, servers);
  std::fflush(stdout);

  std::vector<Connection> conns(1024);
  auto closeConn = [&](int fd) {
    epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    conns[std::size_t(fd)] = Connection{};
  };
  // Sends what is pending; false when the connection is gone.
  auto flush = [&](int fd, Connection& c) {
    while (!c.out.empty()) {
      const ssize_t n = send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return false;
      c.out.erase(0, std::size_t(n));
    }
    if (c.watchingOut != !c.out.empty()) {
      c.watchingOut = !c.out.empty();
      epoll_event e{};
      e.events = c.watchingOut ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
      e.data.fd = fd;
      epoll_ctl(ep, EPOLL_CTL_MOD, fd, &e);
    }
    return true;
  };
  // Cuts complete packets; false when the connection must end.
  auto serve = [&](Connection& c) {
    std::size_t pos = 0;
    while (c.in.size() - pos >= 3) {
      const std::size_t n = std::size_t(std::uint8_t(c.in[pos])) * 256 + std::uint8_t(c.in[pos + 1]);
      if (n > kMaxIncomingBody) return false;
      if (c.in.size() - pos < n + 2) break;
      const char* body = c.in.data() + pos + 2;
      pos += n + 2;
      if (n == 0) continue;
      if (body[0] != 3 || n != 2) return false;
      const int start = std::uint8_t(body[1]);
      if (start == 0) continue;
      if (replies[std::size_t(start)].empty()) return false;
      c.out += replies[std::size_t(start)];
    }
    c.in.erase(0, pos);
    return true;
  };

  std::vector<epoll_event> events(256);
  char buf[16384];
  for (;;) {
    const int ready = epoll_wait(ep, events.data(), int(events.size()), -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      Fail("epoll_wait");
    }
    for (int i = 0; i < ready; ++i) {
      const int fd = events[std::size_t(i)].data.fd;
      if (fd == listener) {
        for (;;) {
          const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
          if (client < 0) break;
          setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          if (std::size_t(client) >= conns.size()) conns.resize(std::size_t(client) * 2);
          conns[std::size_t(client)] = Connection{};
          epoll_event e{};
          e.events = EPOLLIN;
          e.data.fd = client;
          epoll_ctl(ep, EPOLL_CTL_ADD, client, &e);
        }
        continue;
      }
      Connection& c = conns[std::size_t(fd)];
      if (events[std::size_t(i)].events & EPOLLOUT) {
        if (!flush(fd, c)) {
          closeConn(fd);
          continue;
        }
      }
      if (events[std::size_t(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) {
          closeConn(fd);
          continue;
        }
        c.in.append(buf, std::size_t(n));
        const bool keep = serve(c);
        if (!c.out.empty() && !flush(fd, c)) {
          closeConn(fd);
          continue;
        }
        if (!keep) closeConn(fd);
      }
    }
  }
}
