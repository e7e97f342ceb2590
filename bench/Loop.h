#pragma once
// The load generator's one event loop: many non-blocking TCP connections on
// one epoll set, each cut into the registry's packets (2-byte big-endian
// length, then the body) and handed to a scenario's driver.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bench {

// Monotonic time in seconds.
double Now();

struct Conn {
  int fd = -1;
  bool connecting = true;
  bool watchingOut = true;
  bool closed = false;
  bool reads = true;  // false: the loop never reads this socket (see Connect)
  std::string in;
  std::string out;  // what the socket did not take yet
  // Free for the driver.
  int role = 0;
  int index = 0;
  double started = 0;
  int state = 0;
};

class Driver {
 public:
  virtual ~Driver() = default;
  virtual void OnConnected(Conn&) {}
  virtual void OnPacket(Conn&, std::string_view body) = 0;
  // The registry closed the connection, or it failed.
  virtual void OnClosed(Conn&) {}
};

class Loop {
 public:
  Loop();
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Starts a connection to 127.0.0.1:port (from the given loopback source
  // address when not 0). nullptr when the connect fails at once.
  // neverReadBuffer > 0: the socket's receive buffer is set to that many
  // bytes before connecting and the loop never reads from it, so what the
  // server sends stays in the server's queues. Its end is noticed by an
  // error (the reset a send to a closed peer brings back) or a hang-up; the
  // driver is told as for any other connection.
  Conn* Connect(std::uint16_t port, std::uint32_t fromHostOrder = 0, int neverReadBuffer = 0);
  void Send(Conn& c, std::string_view bytes);
  void SendPacket(Conn& c, std::string_view body);
  // Closes our side; the driver is not told.
  void Close(Conn& c);
  void CloseAll();

  // Runs the loop until the deadline passes or stop() returns true.
  template <class Stop>
  void Run(Driver& driver, double deadline, Stop stop) {
    while (!stop() && Now() < deadline) Step(driver, deadline);
  }
  void Run(Driver& driver, double deadline) {
    Run(driver, deadline, [] { return false; });
  }

  std::size_t Open() const { return conns_.size(); }
  // The longest the loop waits for events before it runs the stop test
  // again (10 ms unless set), for drivers that act on time.
  void SetLongestWait(double seconds) { longestWait_ = seconds; }
  std::uint64_t connectFailures = 0;

 private:
  void Step(Driver& driver, double deadline);
  void Flush(Conn& c);
  void Watch(Conn& c, bool out);
  void Fail(Driver& driver, Conn& c);
  void Reap();

  int ep_;
  double longestWait_ = 0.010;
  std::unordered_map<int, std::unique_ptr<Conn>> conns_;
  std::vector<std::unique_ptr<Conn>> dead_;
};

// Packet bodies the scenarios send.
std::string ListRequestBody(int start);
std::string AccountBody(int type, std::string_view user, std::string_view password);

}  // namespace bench
