#include "bench/Scenarios.h"

#include "bench/Fleet.h"
#include "bench/Proc.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
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
std::string ReplyName(std::string_view body) {
  if (IsServerFull(body)) return "server full";
  if (body == std::string_view("\x01", 1)) return "account exists";
  if (body == std::string_view("\x02", 1)) return "already online";
  if (body == std::string_view("\x03", 1)) return "login refused";
  return "unexpected reply";
}

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

std::uint32_t Loopback(unsigned third, unsigned fourth) { return (127u << 24) | (third << 8) | fourth; }

// The siege's attackers, in a process of their own so their flood does not
// slow down the loop that measures the game servers and players.
class Attackers : public Driver {
 public:
  static constexpr int kAddresses = 32;  // of each kind
  // Connection flood (127.0.1.x): more tries than each address may hold.
  static constexpr int kFloodTries = 48;
  static constexpr double kPongEvery = 1.0;
  // Logged-in flood (127.0.4.x): more than the registry's MaxServersPerIP
  // (32) at once from each address.
  static constexpr int kServerTries = 40;
  // Never-reading peers (127.0.5.x).
  static constexpr int kReadersPerAddress = 8;
  static constexpr int kReaderReceiveBuffer = 1024;  // the kernel makes it about 2 KB
  static constexpr int kReaderBurst = 64;            // ListRequests on connecting
  static constexpr int kReaderTopUp = 64;            // and every kTopUpEvery
  static constexpr double kTopUpEvery = 0.05;
  static constexpr std::size_t kReaderBacklog = 4096;  // what the attacker itself keeps unsent at most

  Attackers(Loop& loop, const SiegeOptions& o) : loop_(loop), o_(o) {
    // Names of this run's accounts: a letter, the process in base 36, a
    // counter; at most 15 characters of letters, digits and underscores.
    tag_ = "q" + Base36(unsigned(getpid()) % (36u * 36u * 36u)) + "_";
  }

  // Attacks until the deadline.
  AttackCounts Run(double deadline) {
    for (int a = 1; a <= kAddresses; ++a) {
      if (o_.connectionFlood)
        for (int k = 0; k < kFloodTries; ++k) Connect(kAttacker, a);
      if (o_.serverFlood)
        for (int k = 0; k < kServerTries; ++k) Connect(kServerFlood, a);
      if (o_.neverReaders)
        for (int k = 0; k < kReadersPerAddress; ++k) Connect(kNeverReader, a);
    }
    loop_.Run(*this, deadline, [this] { return Tick(); });
    return counts_;
  }

  void OnConnected(Conn& c) override {
    if (c.role == kAttacker) {
      loop_.SendPacket(c, std::string(1, '\xFF'));
    } else if (c.role == kServerFlood) {
      loop_.SendPacket(c, AccountBody(0, tag_ + Base36(++names_), "hunter22"));
    } else {
      SendRequests(c, kReaderBurst);
    }
  }

  void OnPacket(Conn& c, std::string_view body) override {
    if (c.role != kServerFlood) return;
    if (c.state == 1) {
      if (IsPing(body)) loop_.SendPacket(c, std::string(1, '\xFF'));
      return;
    }
    if (IsLoginAccepted(body)) {
      c.state = 1;
      ++counts_.accountsCreated;
      counts_.serversHeldPeak = std::max(counts_.serversHeldPeak, ++held_);
      return;
    }
    // Refused (new accounts refused, name taken, no room): another name at
    // once, without waiting for the registry to close.
    ++counts_.serverRefusals;
    loop_.Close(c);
    OnClosed(c);
  }

  // Refused, or made room for somebody else: straight back.
  void OnClosed(Conn& c) override {
    open_.erase(&c);
    if (c.role == kServerFlood && c.state == 1) --held_;
    c.state = -1;
    Connect(c.role, c.index);
  }

 private:
  static std::string Base36(std::uint64_t n) {
    std::string s;
    do {
      s.insert(s.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36]);
      n /= 36;
    } while (n);
    return s;
  }

  void Connect(int role, int a) {
    const unsigned third = role == kAttacker ? 1 : role == kServerFlood ? 4 : 5;
    const int neverRead = role == kNeverReader ? kReaderReceiveBuffer : 0;
    if (Conn* c = loop_.Connect(o_.port, Loopback(third, unsigned(a)), neverRead)) {
      c->role = role;
      c->index = a;
      open_.insert(c);
      ++(role == kAttacker ? counts_.floodConnects
                           : role == kServerFlood ? counts_.serverConnects : counts_.readerConnects);
    }
  }

  void SendRequests(Conn& c, int n) {
    std::string bytes;
    for (int k = 0; k < n; ++k) bytes.append("\x00\x02\x03\x01", 4);
    loop_.Send(c, bytes);
    counts_.readerRequests += std::uint64_t(n);
  }

  bool Tick() {
    const double now = Now();
    // Every connection of the flood says something each second, so none is
    // ever the most silent for long.
    if (now >= nextPong_) {
      nextPong_ = now + kPongEvery;
      for (Conn* c : open_)
        if (c->role == kAttacker && !c->connecting) loop_.SendPacket(*c, std::string(1, '\xFF'));
    }
    // The never-readers ask for more; a send to a peer that has closed
    // brings back the reset by which the loop notices the end.
    if (now >= nextTopUp_) {
      nextTopUp_ = now + kTopUpEvery;
      std::vector<Conn*> readers;
      for (Conn* c : open_)
        if (c->role == kNeverReader && !c->connecting && c->out.size() < kReaderBacklog) readers.push_back(c);
      for (Conn* c : readers)
        if (!c->closed) SendRequests(*c, kReaderTopUp);
    }
    return false;
  }

  Loop& loop_;
  SiegeOptions o_;
  std::string tag_;
  std::uint64_t names_ = 0;
  std::uint64_t held_ = 0;
  AttackCounts counts_;
  double nextPong_ = 0;
  double nextTopUp_ = 0;
  std::unordered_set<Conn*> open_;
};

// Player addresses are never used twice in one load generator's life (the
// calm run and the siege run against the same registry).
int nextPlayerAddress = 0;

// What the siege is about: game servers that log in (and again when
// dropped) and players that fetch the whole list.
//
// The players are paced and move to new addresses. The registry answers at
// most MaxListRequestsPerMinute (300) ListRequests per address in a minute,
// then closes the connection and cools the address down; a complete list
// here takes 10 requests and more (the attackers' servers are listed too),
// so a player asking in a loop from one address would be cut off within a
// second and the measure would be of its cool-downs. So each player moves to
// a loopback address of its own, never used before, once its current one
// could not take another complete list within the limit (as players behind
// many addresses would be). And each starts a list every listEvery seconds
// rather than as soon as the last one is done: a thousand lists a second
// neither saturate the registry nor make the measuring process compete with
// the attackers' process for the load generator's core, so list latency is
// the registry's answer time under the attack, not the players queuing
// behind one another or behind the attackers in the load generator.
class Defenders : public Driver {
 public:
  static constexpr double kServerRetry = 0.1;
  static constexpr double kPlayerRetry = 0.01;
  static constexpr int kListBudget = 300;    // the registry's MaxListRequestsPerMinute
  static constexpr int kBudgetMargin = 30;   // the list can grow while a player asks
  static constexpr double kSampleEvery = 0.05;

  Defenders(Loop& loop, const SiegeOptions& o) : loop_(loop), o_(o), players_(std::size_t(o.players) + 1) {}

  SiegeResult Run() {
    const double cpu0 = CpuSeconds(o_.server), self0 = CpuSeconds(getpid()), t0 = Now();
    t0_ = t0;
    for (int i = 1; i <= o_.servers; ++i) ConnectServer(i);
    for (int p = 1; p <= o_.players; ++p) {
      players_[std::size_t(p)].nextAt = t0 + o_.listEvery * (p - 1) / o_.players;
      ConnectPlayer(p);
    }
    loop_.SetLongestWait(0.001);
    loop_.Run(*this, t0 + o_.seconds, [this] { return Tick(); });
    result_.seconds = Now() - t0;
    result_.serverCpu = CpuSeconds(o_.server) - cpu0;
    result_.loadCpu = CpuSeconds(getpid()) - self0;
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
      Player& p = players_[std::size_t(c.index)];
      p.waiting = true;
      Due(c, Now());
    }
  }

  void OnPacket(Conn& c, std::string_view body) override {
    if (c.role == kSiegeServer) {
      if (c.state == 0 && IsLoginAccepted(body)) {
        c.state = 1;
        ++result_.logins;
        if (++loggedIn_ == o_.servers && result_.allLoggedInAfter < 0) result_.allLoggedInAfter = Now() - t0_;
        loop_.SendPacket(c, std::string{char(7), char(fleet::Server(c.index).players)});
      } else if (IsPing(body)) {
        loop_.SendPacket(c, std::string(1, '\xFF'));
      } else if (c.state == 0) {
        c.state = 2;  // refused; the registry closes
        ++result_.failures["game server: " + ReplyName(body)];
      }
      return;
    }
    Player& p = players_[std::size_t(c.index)];
    if (!body.empty() && body[0] == 4) return;
    if (IsListMore(body)) return Request(c, p, std::uint8_t(body[2]));
    if (IsListEnd(body)) {
      const double now = Now();
      ++result_.lists;
      result_.listRequests += std::uint64_t(p.thisList);
      result_.listMs.push_back(float((now - c.started) * 1000.0));
      p.lastList = p.thisList;
      p.nextAt = std::max(p.nextAt + o_.listEvery, now);  // late: no catching up
      if (p.requests + p.lastList + kBudgetMargin > kListBudget) {
        loop_.Close(c);
        return ConnectPlayer(c.index);
      }
      p.waiting = true;
      return Due(c, now);
    }
    ++result_.failures["player: " + ReplyName(body)];
    c.state = 2;
    loop_.Close(c);  // a refusal
    OnClosed(c);
  }

  void OnClosed(Conn& c) override {
    if (stopping_) return;
    if (c.state == 0) {
      const bool player = c.role != kSiegeServer;
      const char* when = c.connecting ? "connect failed"
                         : player && !players_[std::size_t(c.index)].waiting ? "closed during a list"
                         : player ? "closed between lists" : "closed before a reply";
      ++result_.failures[std::string(player ? "player: " : "game server: ") + when];
    } else if (c.state == 1) {
      ++result_.failures["game server: dropped after login"];
      --loggedIn_;
    }
    if (c.role == kSiegeServer) {
      retries_.push_back({Now() + kServerRetry, c.index});
    } else {
      // Back after a moment, from a new address.
      ++result_.playerDrops;
      players_[std::size_t(c.index)].conn = nullptr;
      retries_.push_back({Now() + kPlayerRetry, -c.index});
    }
  }

 private:
  struct Player {
    Conn* conn = nullptr;
    double nextAt = 0;
    bool waiting = false;
    int requests = 0;  // answered or asked on the current address
    int thisList = 0;
    int lastList = 0;
  };

  // Starts the player's next list when it is due.
  void Due(Conn& c, double now) {
    Player& p = players_[std::size_t(c.index)];
    if (!p.waiting || now < p.nextAt) return;
    p.waiting = false;
    c.started = now;
    ++result_.listsStarted;
    p.thisList = 0;
    Request(c, p, 1);
  }
  void Request(Conn& c, Player& p, int start) {
    ++p.requests;
    ++p.thisList;
    loop_.SendPacket(c, ListRequestBody(start));
  }
  void ConnectServer(int i) {
    if (Conn* c = loop_.Connect(o_.port, Loopback(2, unsigned(i)))) {
      c->role = kSiegeServer;
      c->index = i;
    } else {
      retries_.push_back({Now() + kServerRetry, i});
    }
  }
  void ConnectPlayer(int index) {
    Player& p = players_[std::size_t(index)];
    p.conn = nullptr;
    p.waiting = false;
    p.requests = 0;
    ++result_.playerAddresses;
    if (Conn* c = loop_.Connect(o_.port, SourceFor(kSiegePlayer, ++nextPlayerAddress))) {
      c->role = kSiegePlayer;
      c->index = index;
      p.conn = c;
    } else {
      retries_.push_back({Now() + kServerRetry, -index});
    }
  }
  bool Tick() {
    const double now = Now();
    for (std::size_t i = 0; i < retries_.size();) {
      if (retries_[i].first > now) {
        ++i;
        continue;
      }
      const int who = retries_[i].second;
      retries_[i] = retries_.back();
      retries_.pop_back();
      if (who > 0)
        ConnectServer(who);
      else
        ConnectPlayer(-who);
    }
    for (std::size_t k = 1; k < players_.size(); ++k)
      if (players_[k].conn && players_[k].waiting) Due(*players_[k].conn, now);
    if (now >= nextSample_) {
      nextSample_ = now + kSampleEvery;
      result_.rssPeakKib = std::max(result_.rssPeakKib, RssKib(o_.server));
      result_.tcpPeakKib = std::max(result_.tcpPeakKib, KernelTcpKib());
    }
    return false;
  }

  Loop& loop_;
  SiegeOptions o_;
  SiegeResult result_;
  bool stopping_ = false;
  double t0_ = 0;
  int loggedIn_ = 0;
  double nextSample_ = 0;
  std::vector<Player> players_;
  std::vector<std::pair<double, int>> retries_;  // negative: a player
};

// Resets the process's VmHWM to its current resident size; false when the
// kernel does not allow it.
bool ResetPeak(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  out.flush();
  return bool(out);
}

}  // namespace

std::uint32_t SourceFor(Role role, int k) {
  constexpr int kPerRange = 250 * 250;
  k = (k - 1) % kPerRange;
  return (127u << 24) | ((16u + unsigned(role)) << 16) | (unsigned(k / 250) << 8) | unsigned(k % 250 + 1);
}

SiegeResult RunSiege(const SiegeOptions& o) {
  const long before = o.baselineKib > 0 ? o.baselineKib : RssKib(o.server);
  const long tcpBefore = KernelTcpKib();
  const bool kernelPeak = ResetPeak(o.server);
  pid_t attackers = -1;
  int counts[2] = {-1, -1};
  if (o.attack) {
    if (pipe(counts) != 0) throw std::runtime_error("pipe failed");
    const double until = Now() + o.siegeHead + o.seconds;
    attackers = fork();
    if (attackers < 0) throw std::runtime_error("fork failed");
    if (attackers == 0) {
      close(counts[0]);
      // The attackers share the load generator's core with the measure.
      // Below it in priority, they still get all of the core the paced
      // players leave, and a reply to a player is read when it arrives
      // rather than when the attackers' time slice is over.
      setpriority(PRIO_PROCESS, 0, 10);
      Loop loop;
      const AttackCounts done = Attackers(loop, o).Run(until);
      [[maybe_unused]] auto n = write(counts[1], &done, sizeof done);
      _exit(0);
    }
    close(counts[1]);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.siegeHead));
  }
  Loop loop;
  SiegeResult result = Defenders(loop, o).Run();
  result.rssBeforeKib = before;
  result.tcpBeforeKib = tcpBefore;
  result.peakFromKernel = kernelPeak;
  if (attackers > 0) {
    AttackCounts done;
    if (read(counts[0], &done, sizeof done) == ssize_t(sizeof done)) result.attack = done;
    close(counts[0]);
    Stop(attackers, 5);
  }
  if (kernelPeak) result.rssPeakKib = std::max(result.rssPeakKib, PeakRssKib(o.server));
  result.rssEndKib = RssKib(o.server);
  result.rssSettledKib = result.rssEndKib;
  if (o.attack) {
    // The attackers' connections are gone (their process has ended); the
    // registry has a while to give back what they made it hold.
    const double t0 = Now();
    for (;;) {
      result.rssSettledKib = RssKib(o.server);
      result.settledAfter = Now() - t0;
      if (result.rssSettledKib <= before + o.settleWithinKib) {
        result.settled = true;
        break;
      }
      if (result.settledAfter >= o.settleSeconds) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  } else {
    result.settled = result.rssEndKib <= before + o.settleWithinKib;
  }
  return result;
}

void SiegeResult::Merge(const SiegeResult& later) {
  if (seconds == 0) {
    *this = later;
    return;
  }
  seconds += later.seconds;
  loginAttempts += later.loginAttempts;
  logins += later.logins;
  listsStarted += later.listsStarted;
  lists += later.lists;
  listRequests += later.listRequests;
  playerAddresses += later.playerAddresses;
  playerDrops += later.playerDrops;
  allLoggedInAfter = allLoggedInAfter < 0 || later.allLoggedInAfter < 0
                         ? -1
                         : std::max(allLoggedInAfter, later.allLoggedInAfter);
  listMs.insert(listMs.end(), later.listMs.begin(), later.listMs.end());
  for (const auto& [kind, count] : later.failures) failures[kind] += count;
  serverCpu += later.serverCpu;
  loadCpu += later.loadCpu;
  attack.floodConnects += later.attack.floodConnects;
  attack.serverConnects += later.attack.serverConnects;
  attack.accountsCreated += later.attack.accountsCreated;
  attack.serverRefusals += later.attack.serverRefusals;
  attack.serversHeldPeak = std::max(attack.serversHeldPeak, later.attack.serversHeldPeak);
  attack.readerConnects += later.attack.readerConnects;
  attack.readerRequests += later.attack.readerRequests;
  rssPeakKib = std::max(rssPeakKib, later.rssPeakKib);
  peakFromKernel = peakFromKernel && later.peakFromKernel;
  rssEndKib = later.rssEndKib;
  rssSettledKib = later.rssSettledKib;
  settledAfter = later.settledAfter;
  settled = later.settled;
  tcpPeakKib = std::max(tcpPeakKib, later.tcpPeakKib);
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
