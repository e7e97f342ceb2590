// Two or three registries on different ports sharing one PostgreSQL server
// of the test's own, as an operator runs them behind one name: the list
// asked of any of them, one account online once across all of them, a ban
// at one refusing at another, a registry killed and its servers dropped by
// the others, and the database stopped under a flood of new accounts.
// Runs on a private session bus (the ban goes in through one registry's
// remote control).
#include "common/Peer.h"
#include "common/PgServer.h"
#include "common/RegistryProcess.h"
#include "storage/PgConnection.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>

namespace {

const std::string kListEnd("\x00\x02\xFF\x04", 4);
const std::string kAlreadyOnline("\x00\x01\x02", 3);

// One registry of the game: the shared database, its own name, every flood
// limit off (the tests connect from a few loopback addresses only).
std::unique_ptr<RegistryProcess> Registry(const QString& conninfo, const QString& instance) {
  auto r = std::make_unique<RegistryProcess>();
  r->WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff + "Database=" + conninfo.toUtf8() +
                   "\nInstanceName=" + instance.toUtf8() + "\n");
  return r;
}

// A game server that sent NewAccount (type 0) or Login (type 1) and read
// the first reply; the reply's body type, or -1 when none came.
struct GameServer {
  GameServer(std::uint16_t port, int type, const std::string& user, const QHostAddress& from = {})
      : client(port, from) {
    client.SendPacket(Bytes({type}) + AccountPayload(user, "secret"));
  }
  int Reply(int timeoutMs = 5000) {
    const std::string packet = ReadPacket(client, timeoutMs);
    return packet.size() >= 3 ? static_cast<unsigned char>(packet[2]) : -1;
  }
  Client client;
};

// The bytes of one list reply from `start` on: the entries and ListEnd or
// ListMore.
std::string ListBytes(std::uint16_t port, int start = 1) {
  Client player(port);
  player.SendPacket(Bytes({3, start}));
  std::string bytes;
  for (;;) {
    const std::string packet = ReadPacket(player, 3000);
    bytes += packet;
    if (packet.size() < 3 || static_cast<unsigned char>(packet[2]) == 0xFF) return bytes;
  }
}

std::vector<std::string> ListedUsers(std::uint16_t port) {
  std::vector<std::string> users;
  for (int start = 1; start > 0;) {
    Client player(port);
    player.SendPacket(Bytes({3, start}));
    auto [part, next] = ReadList(player);
    users.insert(users.end(), part.begin(), part.end());
    start = next;
  }
  std::sort(users.begin(), users.end());
  return users;
}

bool Lists(std::uint16_t port, const std::string& user) {
  const auto users = ListedUsers(port);
  return std::find(users.begin(), users.end(), user) != users.end();
}

// Waits, a bounded time, until the condition holds.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!deadline.hasExpired()) {
    if (condition()) return true;
    QTest::qWait(50);
  }
  return condition();
}

// Makes accounts at a registry a few at a time and remembers each reply:
// the names that got LoginAccepted, and how many got anything else.
class AccountFlood {
 public:
  AccountFlood(std::uint16_t port, std::string prefix) : port_(port), prefix_(std::move(prefix)) {
    for (int i = 0; i < 4; ++i) StartOne();
  }
  ~AccountFlood() {
    stopped_ = true;
    for (auto& s : sockets_) {
      QObject::disconnect(s.get(), nullptr, nullptr, nullptr);
      s->abort();
    }
  }
  std::vector<std::string> accepted;
  int refused = 0;  // told LoginRefused

 private:
  void StartOne() {
    if (stopped_) return;
    auto* socket = new QTcpSocket();
    sockets_.emplace_back(socket);
    const std::string user = prefix_ + std::to_string(++made_);
    auto received = std::make_shared<std::string>();
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, user] {
      const std::string body = Bytes({0}) + AccountPayload(user, "pw");
      const std::string packet = std::string{char(0), char(body.size())} + body;
      socket->write(packet.data(), qint64(packet.size()));
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, user, received] {
      const QByteArray data = socket->readAll();
      received->append(data.constData(), std::size_t(data.size()));
      if (received->size() < 3) return;
      if ((*received)[2] == 0)
        accepted.push_back(user);
      else if ((*received)[2] == 3)
        ++refused;  // LoginRefused
      Retire(socket);
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [this, socket] { Retire(socket); });
    socket->connectToHost(QHostAddress::LocalHost, port_);
  }

  void Retire(QTcpSocket* socket) {
    if (stopped_) return;
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    socket->abort();
    for (auto& s : sockets_)
      if (s.get() == socket) s.release()->deleteLater();
    std::erase_if(sockets_, [](const auto& s) { return !s; });
    QTimer::singleShot(2, &context_, [this] { StartOne(); });
  }

  std::uint16_t port_;
  std::string prefix_;
  int made_ = 0;
  bool stopped_ = false;
  QObject context_;
  std::vector<std::unique_ptr<QTcpSocket>> sockets_;
};

// GET over a plain socket; the status line and body.
std::string HttpGet(std::uint16_t port, const std::string& path) {
  Client c(port);
  c.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  c.ClosedByPeer(3000);
  return c.buffer;
}

QString Ctl(const QStringList& args, int* status) {
  QProcess p;
  p.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), args);
  p.waitForFinished(30000);
  *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

}  // namespace

class TestSharedRegistries : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void init();
  void listAskedOfAnotherRegistry();
  void oneLoginWinsEachRace();
  void banAtOneRefusesAtAnother();
  void killedRegistryIsDropped();
  void databaseAwayUnderFlood();

 private:
  // A database of its own for each test, on the one server.
  QString FreshDatabase();
  std::set<std::string> StoredUsers(const QString& conninfo);

  PgServer pg_;
  QString conninfo_;
  int databases_ = 0;
};

void TestSharedRegistries::initTestCase() { QVERIFY2(pg_.Start(), qPrintable(pg_.error())); }

void TestSharedRegistries::init() { conninfo_ = FreshDatabase(); }

QString TestSharedRegistries::FreshDatabase() {
  const QString name = QString("shared%1").arg(++databases_);
  PgConnection admin(pg_.ConnInfo().toStdString());
  admin.Exec("CREATE DATABASE " + name.toStdString());
  return "host=" + pg_.SocketDir() + " dbname=" + name + " user=registry";
}

std::set<std::string> TestSharedRegistries::StoredUsers(const QString& conninfo) {
  PgConnection db(conninfo.toStdString());
  const PgResult rows = db.Exec("SELECT \"User\" FROM \"Servers\"");
  std::set<std::string> users;
  for (int i = 0; i < rows.Rows(); ++i) users.insert(rows.Text(i, 0));
  return users;
}

// Servers logged in at A, B and C are listed alike by all three, byte for
// byte, and a reply cut by ListMore at one goes on at another from the
// index it named: the indexes are the same everywhere.
void TestSharedRegistries::listAskedOfAnotherRegistry() {
  auto a = Registry(conninfo_, "alpha");
  auto b = Registry(conninfo_, "beta");
  auto c = Registry(conninfo_, "gamma");
  QVERIFY(a->Start());
  QVERIFY(b->Start());
  QVERIFY(c->Start());
  std::vector<std::unique_ptr<GameServer>> servers;
  std::vector<std::string> users;
  const std::string description(100, 'd');
  for (int i = 0; i < 16; ++i) {
    const std::string user = "server" + std::to_string(i);
    auto& at = i % 3 == 0 ? *a : i % 3 == 1 ? *b : *c;
    servers.push_back(std::make_unique<GameServer>(at.port, 0, user));
    QCOMPARE(servers.back()->Reply(), 0);
    // Long enough that the list takes more than one reply.
    servers.back()->client.SendPacket(Bytes({5}) + "Name " + std::to_string(i) + '\0' + description);
    users.push_back(user);
  }
  std::sort(users.begin(), users.end());
  QVERIFY(WaitFor([&] { return ListedUsers(b->port) == users && ListedUsers(a->port) == users; }, 5000));
  // The description and the player count as reported at A reach B.
  servers[0]->client.SendPacket(Bytes({7, 42}));
  QVERIFY(WaitFor([&] { return ListBytes(b->port).find("[42] Name 0") != std::string::npos; }, 3000));

  // What each server reported is written on within a second. Each registry
  // shows its own servers as they are, so once all three lists agree each
  // has everyone's reports.
  std::string first, rest;
  const auto agree = [&](int start, std::string& bytes) {
    bytes = ListBytes(a->port, start);
    return ListBytes(b->port, start) == bytes && ListBytes(c->port, start) == bytes;
  };
  QVERIFY2(WaitFor([&] { return agree(1, first); }, 5000),
           qPrintable(QString::fromLatin1(QByteArray::fromStdString(first).toHex()) + "\nB:\n" +
                      QString::fromLatin1(QByteArray::fromStdString(ListBytes(b->port)).toHex())));
  QVERIFY2(first.size() > 1024 && first.compare(first.size() - 5, 4, "\x00\x03\xFF\x03", 4) == 0,
           "the list is not cut");
  const int next = static_cast<unsigned char>(first.back());
  QVERIFY(WaitFor([&] { return agree(next, rest); }, 5000));
  QVERIFY(rest.find("server0") == std::string::npos);  // not given twice

  // One who leaves A leaves B's list.
  servers[0].reset();
  QVERIFY(WaitFor([&] { return !Lists(b->port, "server0"); }, 3000));
}

// Two logins for one account at A and at B at the same moment: the
// database lets exactly one in, round after round.
void TestSharedRegistries::oneLoginWinsEachRace() {
  auto a = Registry(conninfo_, "alpha");
  auto b = Registry(conninfo_, "beta");
  QVERIFY(a->Start());
  QVERIFY(b->Start());
  {
    GameServer maker(a->port, 0, "racer");
    QCOMPARE(maker.Reply(), 0);
  }
  QVERIFY(WaitFor([&] { return !Lists(a->port, "racer") && !Lists(b->port, "racer"); }, 3000));
  for (int round = 0; round < 30; ++round) {
    Client atA(a->port), atB(b->port);
    QVERIFY(atA.connected && atB.connected);
    const std::string body = Bytes({1}) + AccountPayload("racer", "secret");
    const std::string login = Bytes({0, int(body.size())}) + body;
    atA.Send(login);
    atB.Send(login);
    const std::string fromA = ReadPacket(atA), fromB = ReadPacket(atB);
    const bool acceptedA = fromA.size() > 2 && fromA[2] == 0, acceptedB = fromB.size() > 2 && fromB[2] == 0;
    QVERIFY2(acceptedA != acceptedB, qPrintable(QString("round %1: accepted at A %2, at B %3")
                                                    .arg(round).arg(acceptedA).arg(acceptedB)));
    QCOMPARE(acceptedA ? fromB : fromA, kAlreadyOnline);
    atA.socket.abort();
    atB.socket.abort();
    QVERIFY(WaitFor([&] { return !Lists(a->port, "racer") && !Lists(b->port, "racer"); }, 3000));
  }
}

// A ban added at B, through its remote control, turns A's connections from
// that address away within a second.
void TestSharedRegistries::banAtOneRefusesAtAnother() {
  auto a = Registry(conninfo_, "alpha");
  auto b = Registry(conninfo_, "beta");
  b->keepSessionBus = true;
  QVERIFY(a->Start());
  QVERIFY(b->Start());
  const QHostAddress banned("127.0.0.7");
  {
    Client before(a->port, banned);
    QVERIFY(!before.ClosedByPeer(300));
  }
  int status = 0;
  const QString out = Ctl({"bans", "add", "cheater", "127.0.0.7", "--reason", "aimbot"}, &status);
  QVERIFY2(status == 0, qPrintable(out));
  QElapsedTimer since;
  since.start();
  bool refused = false;
  while (!refused && since.elapsed() < 3000) {
    Client attempt(a->port, banned);
    refused = attempt.ClosedByPeer(100) && attempt.buffer.empty();
  }
  QVERIFY2(refused, "the ban made at B never reached A");
  QVERIFY2(since.elapsed() <= 1000, qPrintable(QString("refused after %1 ms").arg(since.elapsed())));
  Client other(a->port, QHostAddress("127.0.0.8"));
  QVERIFY(!other.ClosedByPeer(300));
}

// A registry killed outright stops its heartbeat: the other drops its
// servers within 30 seconds, and a server of it can log in there.
void TestSharedRegistries::killedRegistryIsDropped() {
  auto a = Registry(conninfo_, "alpha");
  auto b = Registry(conninfo_, "beta");
  QVERIFY(a->Start());
  QVERIFY(b->Start());
  auto server = std::make_unique<GameServer>(a->port, 0, "phoenix");
  QCOMPARE(server->Reply(), 0);
  QVERIFY(WaitFor([&] { return Lists(b->port, "phoenix"); }, 3000));
  {
    GameServer twice(b->port, 1, "phoenix");
    QCOMPARE(twice.Reply(), 2);  // online at A
  }
  a->process.kill();
  QVERIFY(a->WaitForExit(5000));
  server.reset();
  QElapsedTimer since;
  since.start();
  QVERIFY(WaitFor([&] { return !Lists(b->port, "phoenix"); }, 30000));
  qInfo("B dropped A's server %lld ms after the kill", since.elapsed());
  GameServer again(b->port, 1, "phoenix");
  QCOMPARE(again.Reply(), 0);
  QVERIFY(Lists(b->port, "phoenix"));
}

// PostgreSQL stopped and started while new accounts pour in at A: every
// LoginAccepted is an account in the database, logins are refused (not
// accepted) while it is away, the outage is said once and /healthz says
// 503, and afterwards the registry serves again by itself.
void TestSharedRegistries::databaseAwayUnderFlood() {
  auto a = Registry(conninfo_, "alpha");
  const std::uint16_t http = FreePort();
  a->httpListen = QString("127.0.0.1:%1").arg(http);
  QVERIFY(a->Start());
  std::vector<std::string> accepted;
  int refusedWhileAway = 0;
  {
    AccountFlood flood(a->port, "f");
    QVERIFY(WaitFor([&] { return flood.accepted.size() >= 20; }, 10000));
    QVERIFY(pg_.StopServer());
    const std::size_t atStop = flood.accepted.size();
    QTest::qWait(1500);
    QVERIFY(WaitFor([&] { return HttpGet(http, "/healthz").find(" 503 ") != std::string::npos; }, 3000));
    // An account that exists cannot log in either: LoginRefused, and the
    // connection ends.
    GameServer existing(a->port, 1, flood.accepted.front());
    QCOMPARE(existing.Reply(), 3);
    QVERIFY(existing.client.ClosedByPeer(3000));
    // Replies that left before the stop may still be arriving; none after.
    const std::size_t duringOutage = flood.accepted.size();
    QTest::qWait(1000);
    QCOMPARE(flood.accepted.size(), duringOutage);
    refusedWhileAway = flood.refused;
    QVERIFY(pg_.StartServer());
    QVERIFY2(WaitFor([&] { return flood.accepted.size() >= duringOutage + 20; }, 40000),
             "the registry did not serve new accounts again after the database came back");
    QVERIFY(atStop >= 20);
    accepted = flood.accepted;
  }
  QVERIFY(refusedWhileAway > 0);
  QVERIFY(WaitFor([&] { return HttpGet(http, "/healthz").find(" 200 ") != std::string::npos; }, 5000));
  const std::set<std::string> stored = StoredUsers(conninfo_);
  for (const std::string& user : accepted)
    QVERIFY2(stored.count(user), qPrintable(QString::fromStdString(user + " was accepted but is not stored")));
  a->WaitForOutput("\x01", 200);  // takes in what it printed
  QCOMPARE(a->output.count("The shared server list is unreachable"), 1);
}

QTEST_GUILESS_MAIN(TestSharedRegistries)
#include "test_shared_registries.moc"
