#pragma once
// Sockets without a slot that still deliver their last bytes: a connection
// ended with a reply still queued, or a refusal the kernel did not take at
// once. Each gets kLingerMs on the tick clock to take them and is closed
// when they are out, when the peer closes or fails, or when its time is up.
// What the peer sends meanwhile is read and dropped.
#include "core/SendQueue.h"

#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class TickClock;

class LingeringCloses {
 public:
  static constexpr std::uint32_t kLingerMs = 10000;
  // Sockets kept at most; beyond, an ending connection is closed at once
  // and what it had queued is dropped.
  static constexpr std::size_t kMaxSockets = 512;
  // What they may hold between them: 512 with full queues would otherwise
  // keep 2 GB. Beyond it an ending connection's queue is dropped.
  static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;

  // `epoll` is the socket array's epoll set, in which every lingering socket
  // is watched under a tag of its own.
  LingeringCloses(int epoll, TickClock& clock);
  ~LingeringCloses();
  LingeringCloses(const LingeringCloses&) = delete;
  LingeringCloses& operator=(const LingeringCloses&) = delete;

  // Takes over `fd` (already in the epoll set or not) to deliver `pending`;
  // closes it at once when the caps leave no room.
  void Add(int fd, std::string_view pending);
  // An epoll event for the lingering socket `index` of `generation`;
  // `scratch` takes what the peer sent.
  void OnReady(std::size_t index, std::uint32_t generation, std::uint32_t events, char* scratch,
               std::size_t size);
  // Closes those whose time is up.
  void Expire();

  std::size_t Count() const { return count_; }
  std::size_t BytesHeld() const;
  // Queue capacity let go since the last call.
  std::size_t TakeReleased();

 private:
  struct Entry {
    int fd = -1;
    std::uint32_t generation = 0;
    SendQueue out;
    std::size_t counted = 0;  // its share of bytes_
    std::uint32_t since = 0;  // tick of the close
  };
  std::size_t FreeIndex();
  void CloseEntry(std::size_t index);

  int epoll_;
  TickClock& clock_;
  QTimer timer_;
  std::vector<Entry> entries_;
  std::vector<std::size_t> free_;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  std::size_t released_ = 0;
  std::uint32_t nextGeneration_ = 1;
};
