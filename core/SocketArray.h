#pragma once
// The socket array wsServer: the listening socket and one connected socket
// per slot of the client table (1 to 256), all non-blocking and in one epoll
// set. One QSocketNotifier watches the epoll descriptor, so every socket
// event runs on the Qt event-loop thread with the windows, the timers and
// D-Bus, one handler at a time.
//
// What it offers is what the client table needs of its sockets: listen,
// accept a waiting connection on a chosen slot (or refuse it on a socket of
// its own), the remote address, the connected state, send with a
// send-complete notice, the bytes that arrived, and the end of a connection.
//
// Sending never blocks: what the kernel does not take is queued and sent as
// the peer reads, and "send complete" is reported once nothing is queued.
// Notices are never given from inside the call that caused them: a send that
// completes at once, or fails, is reported after the event being handled.
//
// It is the loop of three parts: the listening socket (Listener.h), the send
// queue of each slot (SendQueue.h), and the sockets that have left their
// slot to deliver their last bytes (LingeringCloses.h), timed on a TickClock.
#include "core/LingeringCloses.h"
#include "core/Listener.h"
#include "core/SendQueue.h"
#include "core/Transport.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;
class QTimer;
class TickClock;

class SocketArray : public QObject, public Transport {
  Q_OBJECT
 public:
  static constexpr int kSlots = 256;
  // Bytes read per data arrival: a client that floods the registry is
  // served a slice at a time, in turn with the others.
  static constexpr std::size_t kReadSlice = 64 * 1024;
  // A peer that lets this much go unread is not reading its replies at all
  // (a complete server list is a few KB); its connection fails rather than
  // the registry holding it in memory. The same when all slots together
  // hold more than kMaxQueuedTotal: the slot that would add to it fails.
  static constexpr std::size_t kMaxQueued = 256 * 1024;
  static constexpr std::size_t kMaxQueuedTotal = 32 * 1024 * 1024;
  // What ended connections may still hold between them while they deliver
  // their last bytes: 512 of them with full queues would otherwise keep 2 GB.
  // Beyond it an ending connection's queue is dropped.
  static constexpr std::size_t kMaxLingeringBytes = LingeringCloses::kMaxBytes;

  // Lingering closes are timed on `clock`, or on the system's tick count.
  explicit SocketArray(SocketEvents& events, QObject* parent = nullptr);
  SocketArray(SocketEvents& events, TickClock& clock, QObject* parent = nullptr);
  ~SocketArray() override;
  SocketArray(const SocketArray&) = delete;
  SocketArray& operator=(const SocketArray&) = delete;

  // Listens on all IPv4 addresses (port 0: any free port). False with the
  // reason in *error when the port cannot be taken.
  bool Listen(std::uint16_t port, std::string* error) override;
  std::uint16_t LocalPort() const override { return listener_.Port(); }

  // A connection taken from the listening socket, not yet on a slot.
  using Request = Transport::Request;
  // The next waiting connection, or nullopt when none waits.
  std::optional<Request> Accept() override;
  // Puts an accepted connection on a slot that has no socket.
  void AcceptOn(int slot, Request request) override;
  // Sends `bytes` (possibly none) on the request's own socket and closes it;
  // it never gets a slot, and whatever it sends is ignored.
  void Refuse(Request request, std::string_view bytes) override;

  bool HasSocket(int slot) const override { return slots_[std::size_t(slot)].fd >= 0; }
  bool Connected(int slot) const override;
  std::uint32_t RemoteAddress(int slot) const override { return slots_[std::size_t(slot)].address; }
  // Bytes given to Send() that the kernel has not taken yet.
  std::size_t Queued(int slot) const override { return slots_[std::size_t(slot)].out.Pending(); }
  // Queues the bytes behind anything still queued for the slot.
  void Send(int slot, std::string_view bytes) override;
  // Closes and destroys the slot's socket; nothing happens when it has
  // none. Bytes still queued are delivered for a while on a socket of their
  // own, so a reply sent just before the end still reaches the peer.
  void Close(int slot) override;

  // Descriptors of connections that no longer have a slot (refusals and
  // closes still delivering their last bytes).
  std::size_t Lingering() const { return lingering_.Count(); }
  // What the send queues take in memory, slots and lingering sockets.
  std::size_t BytesHeld() const;
  // Gives memory that the send queues held back to the system once a
  // queue of some size has been let go (the allocator keeps freed memory
  // for itself otherwise, and a flood of peers that never read would leave
  // the registry large for good). Cheap when there is nothing to give back.
  void ReleaseMemory() override;
  // Drops what is queued for the slot, so that closing it does not linger
  // to deliver bytes its peer is not reading.
  void Discard(int slot) override;

  // Dotted decimal text of an IPv4 address in host byte order.
  static std::string AddressText(std::uint32_t address);

 private:
  struct Socket {
    int fd = -1;
    std::uint32_t generation = 0;
    std::uint32_t address = 0;
    bool connected = false;
    SendQueue out;
  };
  struct Notice {
    int slot;
    std::uint32_t generation;
    bool error;
  };

  SocketArray(SocketEvents& events, TickClock* clock, QObject* parent);
  void OnEpollReady();
  int DispatchRound();
  void Dispatch(std::uint64_t tag, std::uint32_t events);
  void DeliverNotices();
  void PostNotice(int slot, bool error);
  void OnReadable(int slot);
  void OnWritable(int slot);
  void Watch(int fd, std::uint64_t tag, bool out);
  void Fail(int slot);
  void ClearQueue(Socket& s);
  std::size_t SlotBytes() const;
  void PauseAccepting();

  SocketEvents& events_;
  std::unique_ptr<TickClock> ownClock_;  // when none is given
  int epoll_ = -1;
  Listener listener_;
  LingeringCloses lingering_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* noticeTimer_ = nullptr;
  QTimer* resumeTimer_ = nullptr;
  bool dispatching_ = false;
  std::array<Socket, kSlots + 1> slots_{};  // index 0 unused
  std::size_t released_ = 0;  // queue memory let go since the last ReleaseMemory
  std::uint32_t nextGeneration_ = 1;
  std::vector<Notice> notices_;
  std::vector<Notice> delivering_;
  std::string readBuffer_;
};
