#pragma once
// The bytes a non-blocking socket has been given and the kernel has not
// taken yet, for an open slot and for a lingering close alike. Sent bytes
// are not erased one send at a time: the queue keeps its start and lets the
// sent part go only once it is half of what is held.
#include <cstddef>
#include <string>
#include <string_view>

class SendQueue {
 public:
  // A queue whose buffer grew beyond this gives it back when it is cleared,
  // rather than keeping it for the next peer.
  static constexpr std::size_t kKeptCapacity = 64 * 1024;

  // Bytes not yet taken by the kernel.
  std::size_t Pending() const { return out_.size() - start_; }
  std::string_view PendingBytes() const { return std::string_view(out_).substr(start_); }
  // What the queue holds in memory, sent part included.
  std::size_t Held() const { return out_.size(); }
  bool Empty() const { return out_.empty(); }
  std::size_t Capacity() const { return out_.capacity(); }

  // Replaces the contents with `bytes`.
  void Assign(std::string_view bytes);
  // Queues `bytes` behind what is pending.
  void Append(std::string_view bytes);
  // Sends what is pending until the kernel takes no more; false when the
  // socket failed. Empties the queue once everything has gone.
  bool Flush(int fd);
  // Drops everything; the capacity given back (0 when the buffer is kept).
  std::size_t Clear();

 private:
  std::string out_;
  std::size_t start_ = 0;
};

// The socket calls shared by the parts of the socket array.
namespace sockio {
bool WouldBlock(int error);
// Reads and drops what the peer has sent, so that closing the socket sends
// an orderly end rather than a reset that could overtake the last reply.
void DrainInput(int fd);
}  // namespace sockio
