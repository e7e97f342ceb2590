// The lingering closes and the send queue on their own, over socket pairs
// whose far end the test reads or leaves unread: the time a lingering
// socket gets is measured on the tick clock (through its wrap), an event
// for an entry that has been reused is dropped, and a send queue keeps
// what the kernel did not take.
#include "core/Clock.h"
#include "core/EpollTag.h"
#include "core/LingeringCloses.h"
#include "core/SendQueue.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

class ManualClock : public TickClock {
 public:
  std::uint32_t now = 1000;
  std::uint32_t Ticks() override { return now; }
};

// A connected pair of non-blocking stream sockets with small buffers:
// [0] is handed to the code under test, [1] is the peer.
struct Pair {
  int fd[2] = {-1, -1};
  Pair() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd) != 0) qFatal("socketpair");
    const int small = 4096;
    for (int f : fd) ::setsockopt(f, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    for (int f : fd) ::setsockopt(f, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  ~Pair() {
    if (fd[1] >= 0) ::close(fd[1]);
  }
  // True once the near end has been closed (the peer reads its end).
  bool PeerSeesEnd() const {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(fd[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) return true;
      if (n < 0) return false;
    }
  }
};

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char(i * 13 + i / 253);
  return s;
}

// Fills the near end of `p` until the kernel takes no more.
void FillKernel(const Pair& p) {
  const std::string chunk = Bytes(4096);
  while (::send(p.fd[0], chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
  // A local socket may still take a small send after refusing a large one.
  while (::send(p.fd[0], chunk.data(), 1, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
}

struct Fixture {
  ManualClock clock;
  int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  LingeringCloses lingering{epoll, clock};
  char scratch[4096];
  ~Fixture() { ::close(epoll); }
  // Hands every ready event to the lingering closes; how many there were.
  int Dispatch() {
    epoll_event ready[16];
    const int count = ::epoll_wait(epoll, ready, 16, 0);
    for (int i = 0; i < count; ++i) {
      const std::uint64_t tag = ready[i].data.u64;
      lingering.OnReady(epolltag::IndexOf(tag), epolltag::GenerationOf(tag), ready[i].events, scratch,
                        sizeof scratch);
    }
    return count;
  }
};

}  // namespace

class TestLingeringCloses : public QObject {
  Q_OBJECT
 private slots:
  void endsWhenItsTimeIsUpAndNotBefore();
  void timeIsMeasuredAcrossTheTickWrap();
  void deliversThenCloses();
  void eventOfAReusedEntryIsDropped();
  void sendQueueKeepsWhatTheKernelDidNotTake();
};

void TestLingeringCloses::endsWhenItsTimeIsUpAndNotBefore() {
  Fixture f;
  Pair p;
  FillKernel(p);
  f.lingering.Add(p.fd[0], Bytes(5000));
  QCOMPARE(f.lingering.Count(), std::size_t(1));
  QCOMPARE(f.lingering.BytesHeld(), std::size_t(5000));
  f.clock.now += LingeringCloses::kLingerMs - 1;
  f.lingering.Expire();
  QCOMPARE(f.lingering.Count(), std::size_t(1));
  QVERIFY(!p.PeerSeesEnd());
  f.clock.now += 1;
  f.lingering.Expire();
  QCOMPARE(f.lingering.Count(), std::size_t(0));
  QCOMPARE(f.lingering.BytesHeld(), std::size_t(0));
  QVERIFY(p.PeerSeesEnd());
}

void TestLingeringCloses::timeIsMeasuredAcrossTheTickWrap() {
  Fixture f;
  Pair p;
  FillKernel(p);
  f.clock.now = 0xFFFFFFFFu - 100;
  f.lingering.Add(p.fd[0], Bytes(5000));
  f.clock.now += 200;  // wrapped: 200 ms later
  f.lingering.Expire();
  QCOMPARE(f.lingering.Count(), std::size_t(1));
  f.clock.now += LingeringCloses::kLingerMs;
  f.lingering.Expire();
  QCOMPARE(f.lingering.Count(), std::size_t(0));
}

void TestLingeringCloses::deliversThenCloses() {
  Fixture f;
  Pair p;
  FillKernel(p);
  const std::string last = Bytes(20000);
  f.lingering.Add(p.fd[0], last);
  // The peer reads everything: what was in the kernel first, then the
  // queue as the lingering socket sends it, then the end.
  std::string got;
  bool ended = false;
  for (int i = 0; i < 10000 && !ended; ++i) {
    char buf[65536];
    const ssize_t n = ::recv(p.fd[1], buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, std::size_t(n));
    ended = n == 0;
    f.Dispatch();
  }
  QVERIFY(ended);
  QVERIFY(got.size() > last.size());
  QVERIFY(got.substr(got.size() - last.size()) == last);
  QCOMPARE(f.lingering.Count(), std::size_t(0));
}

// An entry closed and taken again by another socket: an event tagged for
// the first one must not touch the second.
void TestLingeringCloses::eventOfAReusedEntryIsDropped() {
  Fixture f;
  Pair first;
  FillKernel(first);
  f.lingering.Add(first.fd[0], Bytes(100));
  f.clock.now += LingeringCloses::kLingerMs;
  f.lingering.Expire();
  Pair second;
  FillKernel(second);
  f.lingering.Add(second.fd[0], Bytes(100));
  QCOMPARE(f.lingering.Count(), std::size_t(1));
  // The first socket's tag: entry 0, generation 1. Its peer "hung up".
  f.lingering.OnReady(0, 1, EPOLLHUP, f.scratch, sizeof f.scratch);
  QCOMPARE(f.lingering.Count(), std::size_t(1));
  QVERIFY(::fcntl(second.fd[0], F_GETFD) != -1);  // still open
  f.lingering.OnReady(0, 2, EPOLLHUP | EPOLLOUT, f.scratch, sizeof f.scratch);
  QCOMPARE(f.lingering.Count(), std::size_t(1));  // still full: nothing sent, nothing to read
  ::shutdown(second.fd[1], SHUT_WR);
  f.lingering.OnReady(0, 2, EPOLLRDHUP, f.scratch, sizeof f.scratch);
  QCOMPARE(f.lingering.Count(), std::size_t(0));
}

void TestLingeringCloses::sendQueueKeepsWhatTheKernelDidNotTake() {
  Pair p;
  SendQueue q;
  const std::string payload = Bytes(300000);
  q.Assign(payload);
  QVERIFY(q.Flush(p.fd[0]));
  QVERIFY(q.Pending() > 0 && q.Pending() < payload.size());
  const std::size_t taken = payload.size() - q.Pending();
  QVERIFY(q.PendingBytes() == std::string_view(payload).substr(taken));
  q.Append("tail");
  QCOMPARE(q.Pending(), payload.size() - taken + 4);
  // Everything arrives in order once the peer reads.
  std::string got;
  for (int i = 0; i < 100000 && got.size() < payload.size() + 4; ++i) {
    char buf[65536];
    const ssize_t n = ::recv(p.fd[1], buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, std::size_t(n));
    QVERIFY(q.Flush(p.fd[0]));
  }
  QVERIFY(got == payload + "tail");
  QVERIFY(q.Empty());
  // A grown buffer is given back when cleared, a small one kept.
  q.Assign(Bytes(200000));
  QVERIFY(q.Clear() >= 200000);
  QCOMPARE(q.Capacity(), std::size_t(std::string().capacity()));
  q.Assign("small");
  QCOMPARE(q.Clear(), std::size_t(0));
  // A peer that is gone fails the flush.
  ::close(p.fd[1]);
  p.fd[1] = -1;
  q.Assign("anyone?");
  QVERIFY(!q.Flush(p.fd[0]));
  ::close(p.fd[0]);
}

QTEST_GUILESS_MAIN(TestLingeringCloses)
#include "test_lingering_closes.moc"
