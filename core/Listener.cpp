#include "core/Listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int OpenSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

}  // namespace

Listener::Listener() : spare_(OpenSpare()) {}

Listener::~Listener() {
  Close();
  if (spare_ >= 0) ::close(spare_);
}

void Listener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Listener::Open(std::uint16_t port, std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    Close();
    return false;
  };
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return fail("socket");
  // A restart does not wait for the connections of the previous run that
  // are still in TIME_WAIT; without it a restart could fail to bind for
  // minutes, so a refusal is reported rather than let pass.
  const int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    return fail("setsockopt SO_REUSEADDR");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail("bind");
  if (::listen(fd_, SOMAXCONN) != 0) return fail("listen");
  // The port actually taken (port 0 asks for any): without it nobody could
  // be told where the registry listens.
  socklen_t length = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return fail("getsockname");
  port_ = ntohs(address.sin_port);
  return true;
}

std::optional<Transport::Request> Listener::Accept(bool* pause) {
  if (fd_ < 0) return std::nullopt;
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      // Replies are whole packets written at once, so waiting to fill a
      // segment only delays them. Should the option be refused (it cannot
      // be on a TCP socket), the connection still works, only slower to
      // answer, so the result is not acted on.
      const int on = 1;
      (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return Transport::Request{fd, ntohl(peer.sin_addr.s_addr)};
    }
    if (!RetryAfter(errno, pause)) return std::nullopt;
  }
}

// True when accepting should simply be tried again.
bool Listener::RetryAfter(int error, bool* pause) {
  if (error == EINTR || error == ECONNABORTED || error == EPROTO) return true;
  if (error == EMFILE || error == ENFILE) {
    // Out of descriptors: the waiting connection would stay in the backlog
    // and wake the loop again at once, for ever. The spare descriptor makes
    // room to take it and close it, so the backlog drains; the peer sees
    // its connection closed. The spare is opened again at once for the next
    // time; should that fail, the next starved connection pauses accepting.
    if (spare_ >= 0) {
      ::close(spare_);
      spare_ = -1;
      const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) ::close(fd);
      spare_ = OpenSpare();
      if (fd >= 0) return true;
    }
    *pause = true;
    return false;
  }
  if (error == ENOBUFS || error == ENOMEM) *pause = true;
  return false;  // EAGAIN: nothing waits
}
