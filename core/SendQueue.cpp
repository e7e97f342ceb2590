#include "core/SendQueue.h"

#include <sys/socket.h>

#include <cerrno>

void SendQueue::Assign(std::string_view bytes) {
  out_.assign(bytes);
  start_ = 0;
}

void SendQueue::Append(std::string_view bytes) {
  // What the kernel has taken goes once it is half the queue: a peer that
  // reads slowly but never lets the queue run empty must not make it grow
  // without end.
  if (start_ >= out_.size() / 2) {
    out_.erase(0, start_);
    start_ = 0;
  }
  out_.append(bytes);
}

bool SendQueue::Flush(int fd) {
  while (start_ < out_.size()) {
    const ssize_t n = ::send(fd, out_.data() + start_, out_.size() - start_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (sockio::WouldBlock(errno)) break;
      return false;
    }
    start_ += std::size_t(n);
  }
  if (start_ == out_.size()) {
    out_.clear();
    start_ = 0;
  }
  return true;
}

std::size_t SendQueue::Clear() {
  std::size_t released = 0;
  if (out_.capacity() > kKeptCapacity) {
    released = out_.capacity();
    std::string().swap(out_);
  } else {
    out_.clear();
  }
  start_ = 0;
  return released;
}

namespace sockio {

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void DrainInput(int fd) {
  char scratch[4096];
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n <= 0) break;
  }
}

}  // namespace sockio
