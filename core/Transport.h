#pragma once
// What the client table needs of its connections, whatever carries them:
// a waiting connection taken onto a chosen slot (or refused on its own), the
// remote address, the connected state, send with a send-complete notice, the
// bytes that arrived, and the end of a connection. The socket array
// (SocketArray.h) carries them over TCP; MemoryTransport.h carries them
// inside the process for tests and fuzzing.
//
// Notices are never given from inside the call that caused them: a send
// that completes at once, or fails, is reported after the event being
// handled, and a notice for a connection that has since ended never reaches
// the next connection on its slot.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a transport reports. Slot numbers are those of the client table.
class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  // A connection waits; take it with Accept().
  virtual void OnConnectionRequest() = 0;
  virtual void OnDataArrival(int slot, std::string_view data) = 0;
  // Everything given to Send() for the slot has gone out.
  virtual void OnSendComplete(int slot) = 0;
  // The peer closed or reset the connection, or a send failed: the
  // connection has left the connected state.
  virtual void OnSocketError(int slot) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Starts taking connections (port 0: any free port). False with the
  // reason in *error when the port cannot be taken.
  virtual bool Listen(std::uint16_t port, std::string* error) = 0;
  virtual std::uint16_t LocalPort() const = 0;

  // A connection taken from those waiting, not yet on a slot.
  struct Request {
    int fd = -1;                // the transport's handle of it
    std::uint32_t address = 0;  // IPv4, host byte order
  };
  // The next waiting connection, or nullopt when none waits.
  virtual std::optional<Request> Accept() = 0;
  // Puts an accepted connection on a slot that has none.
  virtual void AcceptOn(int slot, Request request) = 0;
  // Sends `bytes` (possibly none) on the request's own connection and ends
  // it; it never gets a slot, and whatever it sends is ignored.
  virtual void Refuse(Request request, std::string_view bytes) = 0;

  virtual bool HasSocket(int slot) const = 0;
  virtual bool Connected(int slot) const = 0;
  virtual std::uint32_t RemoteAddress(int slot) const = 0;
  // Bytes given to Send() that have not gone out yet.
  virtual std::size_t Queued(int slot) const = 0;
  // Queues the bytes behind anything still queued for the slot.
  virtual void Send(int slot, std::string_view bytes) = 0;
  // Ends the slot's connection; nothing happens when it has none. Bytes
  // still queued are delivered for a while all the same.
  virtual void Close(int slot) = 0;
  // Drops what is queued for the slot, so that closing it does not linger.
  virtual void Discard(int slot) = 0;
  // Gives memory that send queues held back to the system.
  virtual void ReleaseMemory() {}
};
