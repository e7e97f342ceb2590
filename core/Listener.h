#pragma once
// The listening socket of the socket array: all IPv4 addresses, non-blocking,
// and a spare descriptor kept open for the moment the process runs out of
// descriptors, so that a waiting connection can still be taken and closed
// rather than staying in the backlog and waking the loop for ever.
#include "core/Transport.h"

#include <cstdint>
#include <optional>
#include <string>

class Listener {
 public:
  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on all IPv4 addresses (port 0: any free port). False with the
  // failed call and its reason in *error; nothing stays open then.
  bool Open(std::uint16_t port, std::string* error);
  void Close();
  int Fd() const { return fd_; }
  std::uint16_t Port() const { return port_; }

  // The next waiting connection (non-blocking, close-on-exec), or nullopt
  // when none waits. *pause is set when accepting should stop for a while
  // because descriptors or kernel memory ran out.
  std::optional<Transport::Request> Accept(bool* pause);

 private:
  bool RetryAfter(int error, bool* pause);

  int fd_ = -1;
  int spare_ = -1;  // given up for a moment when descriptors run out
  std::uint16_t port_ = 0;
};
