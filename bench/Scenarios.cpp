#include "bench/Scenarios.h"

#include "bench/Fleet.h"
#include "bench/Proc.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <unordered_set>

namespace bench {

namespace {

bool IsListEnd(std::string_view body) { return body == std::string_view("\xFF\x04", 2); }
bool IsListMore(std::string_view body) { return body.size() == 3 && body[0] == '\xFF' && body[1] == 3; }
bool IsPing(std::string_view body) { return body == std::string_view("\xFF\xFF", 2); }
bool IsServerFull(std::string_view body) { return body == std::string_view("\x00\x04", 2); }
bool IsLoginAccepted(std::string_view body) { return !body.empty() && body[0] == 0 && !IsServerFull(body); }

// Passes the fleet's connections to the fleet, idle ones nowhere, and every
// other one to the scenario's own handlers.
class WithFleet : public Driver {
 public:
  explicit WithFleet(Fleet* fleet) : fleet_(fleet) {}
  void OnConnected(Conn& c) final {
    if (c.role == kIdle) return;
    if (c.role == kFleet) return fleet_->OnConnected(c);
    Connected(c);
  }
  void OnPacket(Conn& c, std::string_view body) final {
    if (c.role == kIdle) return;
    if (c.role == kFleet) return fleet_->OnPacket(c, body);
    Packet(c, body);
  }
  void OnClosed(Conn& c) final {
    if (c.role == kIdle) return;
    if (c.role == kFleet) return fleet_->OnClosed(c);
    Closed(c);
  }

 protected:
  virtual void Connected(Conn&) {}
  virtual void Packet(Conn&, std::string_view) {}
  virtual void Closed(Conn&) {}

 private:
  Fleet* fleet_;
};

// A closed loop of `connections` connections doing one operation over and
// over; counts what completes while measuring.
class ClosedLoop : public WithFleet {
 public:
  ClosedLoop(Loop& loop, Fleet* fleet, const LoadOptions& o, Role role)
      : WithFleet(fleet), loop_(loop), o_(o), role_(role) {}

  Throughput Measure() {
    Refill();
    loop_.Run(*this, Now() + o_.warmup, [this] { return Refill(); });
    measuring_ = true;
    const double cpu0 = CpuSeconds(o_.server), self0 = CpuSeconds(getpid()), t0 = Now();
    loop_.Run(*this, t0 + o_.seconds, [this] { return Refill(); });
    result_.seconds = Now() - t0;
    result_.serverCpu = CpuSeconds(o_.server) - cpu0;
    result_.loadCpu = CpuSeconds(getpid()) - self0;
    measuring_ = false;
    stopping_ = true;
    std::vector<Conn*> open(mine_.begin(), mine_.end());
    for (Conn* c : open) Drop(*c);
    // Lets the server see the connections go before the next scenario.
    loop_.Run(*this, Now() + 0.2);
    return std::move(result_);
  }

 protected:
  virtual void Begin(Conn& c) = 0;  // once connected

  void Connected(Conn& c) override { Begin(c); }
  void Closed(Conn& c) override {
    mine_.erase(&c);
    Error("closed by the server");
    Refill();
  }

  // Opens connections until there are `connections` of them. Returns false,
  // so that it serves as the loop's (never true) stop test, run every pass.
  bool Refill() {
    while (!stopping_ && int(mine_.size()) < o_.connections) {
      Conn* c = loop_.Connect(o_.port, SourceFor(role_, opened_ + 1));
      if (!c) {
        Error("connect failed");
        break;
      }
      c->role = role_;
      c->index = ++opened_;
      c->started = Now();
      mine_.insert(c);
    }
    return false;
  }
  void Drop(Conn& c) {
    mine_.erase(&c);
    loop_.Close(c);
  }
  void Complete(double started) {
    if (!measuring_) return;
    ++result_.done;
    result_.latencyMs.push_back(float((Now() - started) * 1000.0));
  }
  void Error(const std::string& kind) {
    if (measuring_) ++result_.errors[kind];
  }
  void Unexpected(Conn& c) {
    Error("unexpected reply");
    Drop(c);
    Refill();
  }

  Loop& loop_;
  LoadOptions o_;
  Role role_;
  bool measuring_ = false;
  bool stopping_ = false;
  int opened_ = 0;
  std::unordered_set<Conn*> mine_;
  Throughput result_;
};

// Players that keep their connection and ask for the whole list again as
// soon as they have it.
class Players : public ClosedLoop {
 public:
  Players(Loop& loop, Fleet* fleet, const LoadOptions& o) : ClosedLoop(loop, fleet, o, kPlayer) {}

 protected:
  void Begin(Conn& c) override {
    c.started = Now();
    loop_.SendPacket(c, ListRequestBody(1));
  }
  void Packet(Conn& c, std::string_view body) override {
    if (!body.empty() && body[0] == 4) return;  // ListEntry
    if (IsListMore(body)) return loop_.SendPacket(c, ListRequestBody(std::uint8_t(body[2])));
    if (IsListEnd(body)) {
      Complete(c.started);
      if (!stopping_) Begin(c);
      return;
    }
    Unexpected(c);
  }
};

// A connection per complete list: connect, list, close.
class Churn : public ClosedLoop {
 public:
  Churn(Loop& loop, Fleet* fleet, const LoadOptions& o) : ClosedLoop(loop, fleet, o, kChurn) {}

 protected:
  void Begin(Conn& c) override { loop_.SendPacket(c, ListRequestBody(1)); }
  void Packet(Conn& c, std::string_view body) override {
    if (!body.empty() && body[0] == 4) return;
    if (IsListMore(body)) return loop_.SendPacket(c, ListRequestBody(std::uint8_t(body[2])));
    if (IsListEnd(body)) {
      Complete(c.started);
      Drop(c);
      Refill();
      return;
    }
    if (IsServerFull(body)) {
      Error("server full");
      Drop(c);
      Refill();
      return;
    }
    Unexpected(c);
  }
};

// Connect, log in, close.
class Logins : public ClosedLoop {
 public:
  Logins(Loop& loop, Fleet* fleet, const LoadOptions& o) : ClosedLoop(loop, fleet, o, kLogin) {}

 protected:
  void Begin(Conn& c) override {
    const int k = (c.index - 1) % std::max(1, o_.loginPool) + 1;
    loop_.SendPacket(c, AccountBody(1, fleet::LoginUser(k), fleet::LoginPassword(k)));
  }
  void Packet(Conn& c, std::string_view body) override {
    if (IsLoginAccepted(body)) {
      Complete(c.started);
    } else if (body == std::string_view("\x02", 1)) {
      Error("already online");
    } else if (body == std::string_view("\x03", 1)) {
      Error("login refused");
    } else {
      Error(IsServerFull(body) ? "server full" : "unexpected reply");
    }
    Drop(c);
    Refill();
  }
};

// Connect, create an account with a new name, close.
class NewAccounts : public ClosedLoop {
 public:
  NewAccounts(Loop& loop, Fleet* fleet, const LoadOptions& o) : ClosedLoop(loop, fleet, o, kNewAccount) {}

 protected:
  void Begin(Conn& c) override {
    loop_.SendPacket(c, AccountBody(0, o_.namePrefix + std::to_string(c.index), "secret"));
  }
  void Packet(Conn& c, std::string_view body) override {
    if (IsLoginAccepted(body)) {
      Complete(c.started);
    } else if (body == std::string_view("\x01", 1)) {
      Error("account exists");
    } else if (body == std::string_view("\x03", 1)) {
      Error("new accounts refused");
    } else {
      Error(IsServerFull(body) ? "server full" : "unexpected reply");
    }
    Drop(c);
    Refill();
  }
};

class FleetOnly : public WithFleet {
 public:
  using WithFleet::WithFleet;
};

// Collects one complete list.
class Fetch : public WithFleet {
 public:
  Fetch(Loop& loop, Fleet* fleet) : WithFleet(fleet), loop_(loop) {}
  std::string bytes;
  bool done = false;

 protected:
  void Connected(Conn& c) override { loop_.SendPacket(c, ListRequestBody(1)); }
  void Packet(Conn& c, std::string_view body) override {
    bytes += std::string{char(body.size() >> 8), char(body.size() & 0xFF)};
    bytes.append(body);
    if (IsListMore(body)) return loop_.SendPacket(c, ListRequestBody(std::uint8_t(body[2])));
    if (!body.empty() && body[0] == 4) return;
    done = true;
    loop_.Close(c);
  }
  void Closed(Conn&) override { done = true; }

 private:
  Loop& loop_;
};

// The siege's attackers, in a process of their own so their flood does not
// slow down the loop that measures the game servers and players.
class Attackers : public Driver {
 public:
  static constexpr int kAddresses = 32;
  static constexpr int kTriesPerAddress = 48;  // more than each may hold
  static constexpr double kPongEvery = 1.0;

  Attackers(Loop& loop, std::uint16_t port) : loop_(loop), port_(port) {}

  // Floods until the deadline; returns the connections it opened.
  std::uint64_t Run(double deadline) {
    for (int a = 1; a <= kAddresses; ++a)
      for (int k = 0; k < kTriesPerAddress; ++k) Connect(a);
    loop_.Run(*this, deadline, [this] { return Tick(); });
    return connects_;
  }

  void OnConnected(Conn& c) override { loop_.SendPacket(c, std::string(1, '\xFF')); }
  void OnPacket(Conn&, std::string_view) override {}
  // Refused, or made room for somebody else: straight back.
  void OnClosed(Conn& c) override {
    open_.erase(&c);
    Connect(c.index);
  }

 private:
  void Connect(int a) {
    const std::uint32_t from = (127u << 24) | (1u << 8) | unsigned(a);
    if (Conn* c = loop_.Connect(port_, from)) {
      c->role = kAttacker;
      c->index = a;
      open_.insert(c);
      ++connects_;
    }
  }
  // Every connection says something each second, so none is ever the most
  // silent for long.
  bool Tick() {
    const double now = Now();
    if (now >= nextPong_) {
      nextPong_ = now + kPongEvery;
      for (Conn* c : open_) loop_.SendPacket(*c, std::string(1, '\xFF'));
    }
    return false;
  }

  Loop& loop_;
  std::uint16_t port_;
  std::uint64_t connects_ = 0;
  double nextPong_ = 0;
  std::unordered_set<Conn*> open_;
};

// What the siege is about: game servers that log in (and again when
// dropped) and players that keep fetching the whole list.
class Defenders : public Driver {
 public:
  static constexpr double kServerRetry = 0.1;

  Defenders(Loop& loop, const SiegeOptions& o) : loop_(loop), o_(o) {}

  SiegeResult Run() {
    const double cpu0 = CpuSeconds(o_.server), t0 = Now();
    for (int i = 1; i <= o_.servers; ++i) ConnectServer(i);
    for (int p = 1; p <= o_.players; ++p) ConnectPlayer(p);
    loop_.Run(*this, t0 + o_.seconds, [this] { return Tick(); });
    result_.seconds = Now() - t0;
    result_.serverCpu = CpuSeconds(o_.server) - cpu0;
    stopping_ = true;
    loop_.CloseAll();
    return std::move(result_);
  }

  void OnConnected(Conn& c) override {
    if (c.role == kSiegeServer) {
      const fleet::GameServer s = fleet::Server(c.index);
      ++result_.loginAttempts;
      loop_.SendPacket(c, AccountBody(1, s.user, s.password));
    } else {
      Ask(c);
    }
  }

  void OnPacket(Conn& c, std::string_view body) override {
    if (c.role == kSiegeServer) {
      if (c.state == 0 && IsLoginAccepted(body)) {
        c.state = 1;
        ++result_.logins;
        loop_.SendPacket(c, std::string{char(7), char(fleet::Server(c.index).players)});
      } else if (IsPing(body)) {
        loop_.SendPacket(c, std::string(1, '\xFF'));
      }
      return;
    }
    if (!body.empty() && body[0] == 4) return;
    if (IsListMore(body)) return loop_.SendPacket(c, ListRequestBody(std::uint8_t(body[2])));
    if (IsListEnd(body)) {
      ++result_.lists;
      result_.listMs.push_back(float((Now() - c.started) * 1000.0));
      return Ask(c);
    }
    loop_.Close(c);  // a refusal
    OnClosed(c);
  }

  void OnClosed(Conn& c) override {
    if (stopping_) return;
    if (c.role == kSiegeServer)
      retries_.push_back({Now() + kServerRetry, c.index});
    else
      ConnectPlayer(c.index);
  }

 private:
  void Ask(Conn& c) {
    c.started = Now();
    ++result_.listsStarted;
    loop_.SendPacket(c, ListRequestBody(1));
  }
  void ConnectServer(int i) {
    const std::uint32_t from = (127u << 24) | (2u << 8) | unsigned(i);
    if (Conn* c = loop_.Connect(o_.port, from)) {
      c->role = kSiegeServer;
      c->index = i;
    }
  }
  void ConnectPlayer(int p) {
    const std::uint32_t from = (127u << 24) | (3u << 8) | unsigned(p);
    if (Conn* c = loop_.Connect(o_.port, from)) {
      c->role = kPlayer;
      c->index = p;
    }
  }
  bool Tick() {
    const double now = Now();
    for (std::size_t i = 0; i < retries_.size();) {
      if (retries_[i].first > now) {
        ++i;
        continue;
      }
      ConnectServer(retries_[i].second);
      retries_[i] = retries_.back();
      retries_.pop_back();
    }
    return false;
  }

  Loop& loop_;
  SiegeOptions o_;
  SiegeResult result_;
  bool stopping_ = false;
  std::vector<std::pair<double, int>> retries_;
};

}  // namespace

std::uint32_t SourceFor(Role role, int k) {
  constexpr int kPerRange = 250 * 250;
  k = (k - 1) % kPerRange;
  return (127u << 24) | ((16u + unsigned(role)) << 16) | (unsigned(k / 250) << 8) | unsigned(k % 250 + 1);
}

SiegeResult RunSiege(const SiegeOptions& o) {
  pid_t attackers = -1;
  int counts[2] = {-1, -1};
  if (o.attack) {
    if (pipe(counts) != 0) throw std::runtime_error("pipe failed");
    const double until = Now() + o.siegeHead + o.seconds;
    attackers = fork();
    if (attackers < 0) throw std::runtime_error("fork failed");
    if (attackers == 0) {
      close(counts[0]);
      Loop loop;
      const std::uint64_t opened = Attackers(loop, o.port).Run(until);
      [[maybe_unused]] auto n = write(counts[1], &opened, sizeof opened);
      _exit(0);
    }
    close(counts[1]);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.siegeHead));
  }
  Loop loop;
  SiegeResult result = Defenders(loop, o).Run();
  if (attackers > 0) {
    std::uint64_t opened = 0;
    if (read(counts[0], &opened, sizeof opened) == ssize_t(sizeof opened)) result.attackerConnects = opened;
    close(counts[0]);
    Stop(attackers, 5);
  }
  return result;
}

double SiegeResult::ListPercentile(double p) const {
  Throughput t;
  t.latencyMs = listMs;
  return t.Percentile(p);
}

double Throughput::Percentile(double p) const {
  if (latencyMs.empty()) return 0;
  std::vector<float> sorted = latencyMs;
  const std::size_t k = std::min(sorted.size() - 1, std::size_t(p / 100.0 * double(sorted.size())));
  std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(k), sorted.end());
  return sorted[k];
}

std::uint64_t Throughput::ErrorCount() const {
  std::uint64_t n = 0;
  for (const auto& [kind, count] : errors) n += count;
  return n;
}

void Throughput::Merge(const Throughput& other) {
  seconds += other.seconds;
  done += other.done;
  latencyMs.insert(latencyMs.end(), other.latencyMs.begin(), other.latencyMs.end());
  for (const auto& [kind, count] : other.errors) errors[kind] += count;
  serverCpu += other.serverCpu;
  loadCpu += other.loadCpu;
}

void Fleet::OnConnected(Conn& c) {
  const fleet::GameServer s = fleet::Server(c.index, shape_);
  loop_.SendPacket(c, AccountBody(1, s.user, s.password));
}

void Fleet::OnPacket(Conn& c, std::string_view body) {
  if (c.state == 0 && IsLoginAccepted(body)) {
    c.state = 1;
    ++loggedIn_;
    loop_.SendPacket(c, std::string{char(7), char(fleet::Server(c.index, shape_).players)});
  } else if (IsPing(body)) {
    ++pings;
    loop_.SendPacket(c, std::string(1, '\xFF'));
  } else if (c.state == 0) {
    c.state = -1;  // refused
  }
}

void Fleet::OnClosed(Conn& c) {
  ++dropped;
  if (c.state == 1) --loggedIn_;
  c.state = -1;
}

bool Fleet::LogIn(std::uint16_t port, int first, int last, double timeoutSeconds) {
  FleetOnly driver(this);
  const double deadline = Now() + timeoutSeconds;
  for (int i = first; i <= last; ++i) {
    Conn* c = loop_.Connect(port);
    if (!c) return false;
    c->role = kFleet;
    c->index = i;
    loop_.Run(driver, deadline, [c] { return c->state != 0; });
    if (c->state != 1) return false;
  }
  return true;
}

Throughput RunList(Loop& loop, Fleet* fleet, const LoadOptions& o) { return Players(loop, fleet, o).Measure(); }
Throughput RunChurn(Loop& loop, Fleet* fleet, const LoadOptions& o) { return Churn(loop, fleet, o).Measure(); }
Throughput RunLogin(Loop& loop, Fleet* fleet, const LoadOptions& o) { return Logins(loop, fleet, o).Measure(); }
Throughput RunNewAccount(Loop& loop, Fleet* fleet, const LoadOptions& o) {
  return NewAccounts(loop, fleet, o).Measure();
}

void RunIdle(Loop& loop, Fleet& fleet, double seconds) {
  FleetOnly driver(&fleet);
  loop.Run(driver, Now() + seconds);
}

std::string FetchList(Loop& loop, Fleet* fleet, std::uint16_t port) {
  Fetch driver(loop, fleet);
  Conn* c = loop.Connect(port);
  if (!c) return {};
  c->role = kFetch;
  loop.Run(driver, Now() + 10, [&] { return driver.done; });
  return driver.bytes;
}

}  // namespace bench
