// The socket array on its own, against raw loopback sockets: sends that the
// kernel does not take at once, a peer that never reads, closes and resets
// noticed at once, a refusal that reaches a peer which sent first, and a
// process out of descriptors that does not spin.
#include "core/SocketArray.h"

#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Records every event; takes each waiting connection onto the next slot, or
// refuses it when `refuse` is set.
class Recorder : public SocketEvents {
 public:
  SocketArray* array = nullptr;
  int nextSlot = 1;
  bool refuse = false;
  std::string refusal;
  int requests = 0;
  std::vector<int> completes, errors;
  std::string received;
  bool insideSend = false;
  bool completeInsideSend = false;

  void OnConnectionRequest() override {
    ++requests;
    while (auto request = array->Accept()) {
      if (refuse)
        array->Refuse(*request, refusal);
      else
        array->AcceptOn(nextSlot++, *request);
    }
  }
  void OnDataArrival(int, std::string_view data) override { received.append(data); }
  void OnSendComplete(int slot) override {
    completes.push_back(slot);
    if (insideSend) completeInsideSend = true;
  }
  void OnSocketError(int slot) override { errors.push_back(slot); }
};

struct Fixture {
  Recorder events;
  SocketArray array{events};
  Fixture() {
    events.array = &array;
    std::string error;
    if (!array.Listen(0, &error)) qFatal("listen: %s", error.c_str());
  }
};

// A blocking client socket; receiveBuffer > 0 makes the kernel hold little.
int Dial(std::uint16_t port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) qFatal("connect failed");
  return fd;
}

void Write(int fd, std::string_view bytes) {
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) qFatal("send failed");
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char(i * 7 + i / 251);
  return s;
}

// Sends chunks until the kernel holds no more and some wait in the queue,
// then `extra` more; returns everything sent.
std::string FillUntilQueued(SocketArray& array, int slot, int extra) {
  std::string sent;
  for (int i = 0; array.Queued(slot) == 0 && i < 1024; ++i) {
    const std::string chunk = Pattern(65536 + std::size_t(i));
    array.Send(slot, chunk);
    sent += chunk;
  }
  for (int i = 0; i < extra; ++i) {
    const std::string chunk = Pattern(16384);
    array.Send(slot, chunk);
    sent += chunk;
  }
  return sent;
}

// Reads what has arrived within the time, until the peer closes (*closed).
std::string ReadFor(int fd, int ms, bool* closed = nullptr) {
  std::string got;
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, std::size_t(n));
    if (n == 0 || (n < 0 && errno != EAGAIN)) {
      if (closed) *closed = true;
      break;
    }
  }
  return got;
}

void Reset(int fd) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}


}  // namespace

class TestSocketArray : public QObject {
  Q_OBJECT
 private slots:
  void acceptsOnTheChosenSlotWithItsAddress();
  void sendCompleteComesAfterTheCall();
  void slowReaderGetsEverythingAndOneCompleteAtTheEnd();
  void peerThatNeverReadsFailsInsteadOfFillingMemory();
  void allSlotsTogetherHaveACap();
  void steadySlowReaderKeepsTheQueueSmall();
  void closeAndResetNoticedAtOnce();
  void closedSlotStillDeliversItsQueue();
  void lingeringQueuesHaveATotalCap();
  void refusalReachesAPeerThatSentFirst();
  void outOfDescriptorsDoesNotSpin();
  void noticeOfAnEndedConnectionNeverReachesTheNext();
};

void TestSocketArray::acceptsOnTheChosenSlotWithItsAddress() {
  Fixture f;
  f.events.nextSlot = 7;
  const int client = Dial(f.array.LocalPort());
  QTRY_VERIFY(f.array.HasSocket(7));
  QVERIFY(f.array.Connected(7));
  QCOMPARE(SocketArray::AddressText(f.array.RemoteAddress(7)), std::string("127.0.0.1"));
  Write(client, "hello");
  QTRY_COMPARE(f.events.received, std::string("hello"));
  f.array.Close(7);
  QVERIFY(!f.array.HasSocket(7));
  f.array.Close(7);  // twice is harmless
  bool closed = false;
  ReadFor(client, 2000, &closed);
  QVERIFY(closed);
  ::close(client);
}

void TestSocketArray::sendCompleteComesAfterTheCall() {
  Fixture f;
  const int client = Dial(f.array.LocalPort());
  QTRY_VERIFY(f.array.HasSocket(1));
  f.events.insideSend = true;
  f.array.Send(1, "abc");
  f.events.insideSend = false;
  QVERIFY(f.events.completes.empty());
  QTRY_COMPARE(f.events.completes, std::vector<int>{1});
  QVERIFY(!f.events.completeInsideSend);
  QCOMPARE(ReadFor(client, 200), std::string("abc"));
  ::close(client);
}

void TestSocketArray::slowReaderGetsEverythingAndOneCompleteAtTheEnd() {
  Fixture f;
  const int client = Dial(f.array.LocalPort(), 4096);
  QTRY_VERIFY(f.array.HasSocket(1));
  const std::string payload = FillUntilQueued(f.array, 1, 4);
  QVERIFY(f.array.Queued(1) > 0);
  // Nothing is complete while the peer has not read it all.
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  QVERIFY(f.events.completes.empty());
  char buf[1000];
  std::string all(buf, std::size_t(::recv(client, buf, sizeof buf, 0)));
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  QVERIFY(f.events.completes.empty());
  QDeadlineTimer deadline(30000);
  while (all.size() < payload.size() && !deadline.hasExpired()) all += ReadFor(client, 50);
  QCOMPARE(all.size(), payload.size());
  QVERIFY(all == payload);
  QTRY_COMPARE(f.events.completes, std::vector<int>{1});
  QVERIFY(f.events.errors.empty());
  ::close(client);
}

void TestSocketArray::peerThatNeverReadsFailsInsteadOfFillingMemory() {
  Fixture f;
  const int client = Dial(f.array.LocalPort(), 4096);
  QTRY_VERIFY(f.array.HasSocket(1));
  FillUntilQueued(f.array, 1, 0);
  const std::string chunk = Pattern(65536);
  for (std::size_t sent = 0; sent <= SocketArray::kMaxQueued && f.array.Connected(1); sent += chunk.size())
    f.array.Send(1, chunk);
  QVERIFY(!f.array.Connected(1));
  QTRY_COMPARE(f.events.errors, std::vector<int>{1});
  ::close(client);
}

// Many peers that never read, each below its own cap: the one whose queue
// would take all of them past the total fails, the others keep theirs, and
// once they are gone nothing is held.
void TestSocketArray::allSlotsTogetherHaveACap() {
  Fixture f;
  const int peers = int(SocketArray::kMaxQueuedTotal / (SocketArray::kMaxQueued - 64 * 1024)) + 4;
  std::vector<int> clients;
  for (int i = 0; i < peers; ++i) clients.push_back(Dial(f.array.LocalPort(), 4096));
  QTRY_VERIFY(f.array.HasSocket(peers));
  const std::string chunk = Pattern(16384);
  for (int slot = 1; slot <= peers; ++slot) {
    FillUntilQueued(f.array, slot, 0);
    while (f.array.Connected(slot) && f.array.Queued(slot) + chunk.size() <= SocketArray::kMaxQueued)
      f.array.Send(slot, chunk);
  }
  std::size_t failed = 0;
  for (int slot = 1; slot <= peers; ++slot) failed += !f.array.Connected(slot);
  QVERIFY(failed >= 1);
  QVERIFY(failed < std::size_t(peers));
  QVERIFY(f.array.BytesHeld() <= SocketArray::kMaxQueuedTotal);
  for (int slot = 1; slot <= peers; ++slot) f.array.Close(slot);
  for (int fd : clients) ::close(fd);
  QTRY_COMPARE(f.array.BytesHeld(), std::size_t(0));
  f.array.ReleaseMemory();  // gives the freed queues back; must not fail
}

// A peer that reads slowly, behind by up to the slot's cap, keeps its
// connection, and what it has taken must not stay behind in memory: what is
// held is never more than twice what is queued, and nothing once the queue
// has run empty.
void TestSocketArray::steadySlowReaderKeepsTheQueueSmall() {
  Fixture f;
  const int client = Dial(f.array.LocalPort(), 4096);
  QTRY_VERIFY(f.array.HasSocket(1));
  FillUntilQueued(f.array, 1, 2);
  const std::string chunk = Pattern(16384);
  bool queuedSome = false;
  for (int i = 0; i < 150; ++i) {
    (void)ReadFor(client, 5);
    f.array.Send(1, chunk);
    QVERIFY2(f.array.Connected(1), qPrintable(QString("round %1").arg(i)));
    queuedSome = queuedSome || f.array.Queued(1) > chunk.size();
    QVERIFY2(f.array.BytesHeld() <= 2 * f.array.Queued(1) + chunk.size(),
             qPrintable(QString("%1 bytes held for %2 queued").arg(f.array.BytesHeld()).arg(f.array.Queued(1))));
  }
  QVERIFY(queuedSome);
  ::close(client);
}

void TestSocketArray::closeAndResetNoticedAtOnce() {
  Fixture f;
  const int closing = Dial(f.array.LocalPort());
  const int resetting = Dial(f.array.LocalPort());
  QTRY_VERIFY(f.array.HasSocket(2));
  // What was sent before the close arrives before the end is reported.
  Write(closing, "last words");
  ::close(closing);
  QTRY_COMPARE(f.events.errors.size(), std::size_t(1));
  QCOMPARE(f.events.received, std::string("last words"));
  QVERIFY(!f.array.Connected(f.events.errors[0]));
  Write(resetting, std::string("\x00\x05\x01", 3));  // half a packet
  Reset(resetting);
  QTRY_COMPARE(f.events.errors.size(), std::size_t(2));
  // A send to a peer that is gone raises no SIGPIPE and reports nothing more.
  f.array.Send(f.events.errors[1], "anyone?");
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  QCOMPARE(f.events.errors.size(), std::size_t(2));
}

void TestSocketArray::closedSlotStillDeliversItsQueue() {
  Fixture f;
  const int client = Dial(f.array.LocalPort(), 4096);
  QTRY_VERIFY(f.array.HasSocket(1));
  const std::string payload = FillUntilQueued(f.array, 1, 2);
  f.array.Close(1);
  QVERIFY(!f.array.HasSocket(1));
  QCOMPARE(f.array.Lingering(), std::size_t(1));
  std::string all;
  bool closed = false;
  QDeadlineTimer deadline(30000);
  while (!closed && !deadline.hasExpired()) all += ReadFor(client, 50, &closed);
  QVERIFY(all == payload);
  QTRY_COMPARE(f.array.Lingering(), std::size_t(0));
  QVERIFY(f.events.completes.empty());  // the slot is gone: nobody to tell
  ::close(client);
}

void TestSocketArray::lingeringQueuesHaveATotalCap() {
  Fixture f;
  constexpr int kPeers = 100;
  std::vector<int> clients;
  for (int i = 0; i < kPeers; ++i) clients.push_back(Dial(f.array.LocalPort(), 4096));
  QTRY_VERIFY(f.array.HasSocket(kPeers));
  // Each ends with a queue of over 176 KB: fewer than a hundred fit the cap.
  for (int slot = 1; slot <= kPeers; ++slot) {
    FillUntilQueued(f.array, slot, 11);
    QVERIFY(f.array.Queued(slot) >= 11 * 16384);
    f.array.Close(slot);
  }
  QVERIFY(f.array.Lingering() >= 1 && f.array.Lingering() < std::size_t(kPeers));
  QVERIFY(f.array.BytesHeld() <= SocketArray::kMaxLingeringBytes);
  for (int fd : clients) ::close(fd);
  QTRY_COMPARE(f.array.Lingering(), std::size_t(0));
  QCOMPARE(f.array.BytesHeld(), std::size_t(0));
}

void TestSocketArray::refusalReachesAPeerThatSentFirst() {
  Fixture f;
  f.events.refuse = true;
  f.events.refusal = std::string("\x00\x02\x00\x04", 4);
  const int client = Dial(f.array.LocalPort());
  Write(client, std::string("\x00\x02\x03\x01", 4));
  bool closed = false;
  const std::string got = ReadFor(client, 3000, &closed);
  QCOMPARE(got, f.events.refusal);
  QVERIFY(closed);
  QVERIFY(f.events.received.empty());
  for (int slot = 1; slot <= SocketArray::kSlots; ++slot) QVERIFY(!f.array.HasSocket(slot));
  ::close(client);
}

void TestSocketArray::outOfDescriptorsDoesNotSpin() {
  Fixture f;
  rlimit old{};
  ::getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = 256;
  QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
  // The clients' sockets are made first; then every descriptor is taken.
  const int first = Dial(f.array.LocalPort());
  QTRY_VERIFY(f.array.HasSocket(1));
  const int starved = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int starvedAgain = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::vector<int> hogs;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) hogs.push_back(fd);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(f.array.LocalPort());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  QVERIFY(::connect(starved, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
  const int requestsBefore = f.events.requests;
  bool closed = false;
  ReadFor(starved, 1000, &closed);
  // The connection that found no descriptor was closed, and the loop was
  // not woken for it again and again.
  QVERIFY(closed);
  QVERIFY2(f.events.requests - requestsBefore < 10,
           qPrintable(QString::number(f.events.requests - requestsBefore)));
  QVERIFY(!f.array.HasSocket(2));
  // The spare descriptor is there again for the next one.
  QVERIFY(::connect(starvedAgain, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0);
  closed = false;
  ReadFor(starvedAgain, 1000, &closed);
  QVERIFY(closed);
  QVERIFY(!f.array.HasSocket(2));
  for (int fd : hogs) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &old);
  // With descriptors back, connections are accepted again.
  const int later = Dial(f.array.LocalPort());
  QTRY_VERIFY(f.array.HasSocket(2));
  for (int fd : {first, starved, starvedAgain, later}) ::close(fd);
}

// A send-complete still waiting for an ended connection is dropped: the
// next connection on the same slot hears only of its own sends.
void TestSocketArray::noticeOfAnEndedConnectionNeverReachesTheNext() {
  Fixture f;
  const int before = Dial(f.array.LocalPort());
  QTRY_VERIFY(f.array.HasSocket(1));
  f.array.Send(1, "bye");  // taken by the kernel at once; its notice waits
  f.array.Close(1);
  const int after = Dial(f.array.LocalPort());
  auto request = f.array.Accept();
  QVERIFY(request);
  f.array.AcceptOn(1, *request);
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  QVERIFY(f.events.completes.empty());
  QVERIFY(f.events.errors.empty());
  f.array.Send(1, "hello");
  QTRY_COMPARE(f.events.completes, std::vector<int>{1});
  QCOMPARE(ReadFor(after, 200), std::string("hello"));
  ::close(before);
  ::close(after);
}

QTEST_GUILESS_MAIN(TestSocketArray)
#include "test_socket_array.moc"
