// The running registry against hostile peers, over TCP from many loopback
// addresses: guesses pipelined behind a refusal, a refused login that never
// reads its refusal, addresses and accounts guessed at, the caps on logged-in
// servers and new accounts, eviction while a player fetches its list, list
// floods, peers that never read their replies, and peer text in the lines an
// operator or a firewall reads.
#include "common/Peer.h"
#include "common/RegistryProcess.h"
#include "storage/Database.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const std::string kServerFull = Bytes({0x00, 0x02, 0x00, 0x04});
const std::string kLoginRefused = Bytes({0x00, 0x01, 0x03});
const std::string kAccountExists = Bytes({0x00, 0x01, 0x01});
const std::string kAlreadyOnline = Bytes({0x00, 0x01, 0x02});
const std::string kListEnd = Bytes({0x00, 0x02, 0xFF, 0x04});

QHostAddress From(const std::string& address) { return QHostAddress(QString::fromStdString(address)); }

std::string Packet(const std::string& body) {
  return std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body;
}
std::string LoginBody(const std::string& user, const std::string& password) {
  return Bytes({1}) + AccountPayload(user, password);
}
std::string NewAccountBody(const std::string& user) { return Bytes({0}) + AccountPayload(user, "pw"); }
std::string ListRequest(int start) { return Packet(Bytes({3, start})); }
std::string Untitled() { return Bytes({0x00, 0x0C, 0x00}) + "<untitled>" + Bytes({0}); }

// A LoginAccepted packet: type 0 with the server's name and description
// (ServerFull is type 0 too, with the single byte 4).
bool Accepted(const std::string& packet) {
  return packet.size() >= 4 && packet[2] == '\0' && packet != kServerFull;
}

struct Account {
  Account(std::string u, std::string p, std::string n = "<untitled>", std::string d = "")
      : user(std::move(u)), password(std::move(p)), name(std::move(n)), description(std::move(d)) {}
  std::string user;
  std::string password;
  std::string name;
  std::string description;
};

// Accounts stored before the registry starts, as the operator's tools store
// them.
void AddAccounts(const QString& folder, const std::vector<Account>& accounts) {
  Database db;
  db.Open(folder, folder);
  {
    Database::Transaction t(db);
    for (const Account& a : accounts) {
      AccountRecord row;
      row.User = a.user;
      row.Password = QByteArray::fromStdString(a.password).toUpper().toStdString();
      row.Name = a.name;
      row.Description = a.description;
      row.UpdateURL = "";
      row.Official = 0;
      db.accounts().Add(row);
    }
    t.Commit();
  }
  db.Close();
}

// The registry with its standard error kept as well, where the lines for
// the firewall go.
class Registry : public RegistryProcess {
 public:
  void Drain() {
    QCoreApplication::processEvents();
    output += QString::fromUtf8(process.readAllStandardOutput());
    errors += QString::fromUtf8(process.readAllStandardError());
  }
  bool WaitForError(const QString& text, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
      Drain();
      if (errors.contains(text)) return true;
      if (deadline.hasExpired() || process.state() == QProcess::NotRunning) return false;
      QTest::qWait(10);
    }
  }
  // Stops it and takes what it wrote last; true when it exited normally.
  bool Stop() {
    const int status = Terminate();
    Drain();
    return status == 0;
  }
  // Resident memory in kB, 0 when it cannot be read.
  long ResidentKb() const {
    std::ifstream status("/proc/" + std::to_string(process.processId()) + "/status");
    std::string word;
    while (status >> word)
      if (word == "VmRSS:") {
        long kb = 0;
        status >> kb;
        return kb;
      }
    return 0;
  }

  QString errors;
};

QStringList Lines(const QString& text) { return text.split('\n', Qt::SkipEmptyParts); }

// How list-request lines of one address came out on standard output:
// "Server information sent to A" lines, the sum of N over the lines
// "N more list requests from A in the last second", and whether every one
// of the latter followed one of the former.
struct Folded {
  int sent = 0;
  int more = 0;
  bool ordered = true;
};
Folded FoldedLines(const QString& output, const QString& address) {
  Folded f;
  const QRegularExpression moreLine("^(\\d+) more list requests from (\\S+) in the last second$");
  for (const QString& line : Lines(output)) {
    if (line == "Server information sent to " + address) {
      ++f.sent;
      continue;
    }
    const auto m = moreLine.match(line);
    if (m.hasMatch() && m.captured(2) == address) {
      f.more += m.captured(1).toInt();
      if (f.sent == 0) f.ordered = false;
    }
  }
  return f;
}

// A peer of its own making, on a plain socket: its receive buffer is set
// before it connects (so the window it offers stays small), it never reads
// unless told, and its sends never block.
class RawPeer {
 public:
  RawPeer(std::uint16_t port, const std::string& from, int receiveBuffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) return;
    socklen_t size = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    address = local.sin_addr;
    localPort = ntohs(local.sin_port);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    connected = true;
  }
  ~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  // What the kernel takes now: the byte count, 0 when it takes nothing, -1
  // when the connection has failed.
  long SendSome(std::string_view bytes) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    return long(n);
  }
  bool SendAll(std::string_view bytes, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!bytes.empty()) {
      const long n = SendSome(bytes);
      if (n < 0) return false;
      bytes.remove_prefix(std::size_t(n));
      if (bytes.empty()) break;
      if (deadline.hasExpired()) return false;
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 20);
    }
    return true;
  }

  bool connected = false;
  in_addr address{};
  std::uint16_t localPort = 0;

 private:
  int fd_ = -1;
};

// The registry's end of a peer's connection, as the kernel lists it: whether
// a process still holds it (an orphaned or ended socket has no inode), and
// how many bytes it has handed to the kernel that the peer has not taken.
struct RegistryEnd {
  bool held = false;
  unsigned long unacked = 0;
};
RegistryEnd ScanForRegistryEnd(const char* local, const char* remote) {
  RegistryEnd end;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    char l[64], r[64];
    unsigned long tx = 0, rx = 0, inode = 0;
    if (std::sscanf(line.c_str(), " %*d: %63s %63s %*x %lx:%lx %*x:%*x %*x %*u %*d %lu", l, r, &tx, &rx, &inode) != 5)
      continue;
    if (inode != 0 && std::strcmp(l, local) == 0 && std::strcmp(r, remote) == 0) {
      end.held = true;
      end.unacked = tx;
    }
  }
  return end;
}
RegistryEnd RegistryEndOf(std::uint16_t port, const RawPeer& peer) {
  char local[32], remote[32];
  std::snprintf(local, sizeof local, "%08X:%04X", unsigned(htonl(INADDR_LOOPBACK)), unsigned(port));
  std::snprintf(remote, sizeof remote, "%08X:%04X", unsigned(peer.address.s_addr), unsigned(peer.localPort));
  // The kernel lists the table a page at a time, and a connection ending
  // meanwhile can make it skip one that stays: only a few scans in a row
  // that miss it mean it has gone.
  RegistryEnd end;
  for (int scan = 0; scan < 3 && !end.held; ++scan) end = ScanForRegistryEnd(local, remote);
  return end;
}

// The bytes of a whole reply to ListRequest(1) (ListMore or ListEnd
// included).
std::size_t ListReplySize(std::uint16_t port, const std::string& from) {
  Client probe(port, From(from));
  probe.Send(ListRequest(1));
  std::size_t size = 0;
  for (;;) {
    const std::string packet = ReadPacket(probe);
    if (packet.size() < 3) return 0;
    size += packet.size();
    if (packet[2] != 4) return size;
  }
}

// ListRequest(1) in batches from a peer that never reads, until the kernel
// stops taking the replies toward it: from then on they wait in the
// registry, a batch's worth at most so far. Returns what the kernel holds,
// or 0 when the registry let the peer go meanwhile or the kernel never
// filled.
unsigned long FillKernelToward(std::uint16_t port, RawPeer& peer, std::size_t replySize) {
  constexpr int kBatch = 50;
  std::string batch;
  for (int i = 0; i < kBatch; ++i) batch += ListRequest(1);
  unsigned long before = 0;
  for (int round = 0; round < 400; ++round) {
    if (!peer.SendAll(batch, 5000)) return 0;
    const unsigned long expected = before + kBatch * replySize / 2;
    QDeadlineTimer deadline(300);
    RegistryEnd end = RegistryEndOf(port, peer);
    while (end.held && end.unacked < expected && !deadline.hasExpired()) {
      QTest::qWait(5);
      end = RegistryEndOf(port, peer);
    }
    if (!end.held) return 0;
    if (end.unacked < expected) return end.unacked;
    before = end.unacked;
  }
  return 0;
}

// A logged-in game server.
std::unique_ptr<Client> LogIn(std::uint16_t port, const std::string& from, const std::string& user,
                              const std::string& password, std::string* reply = nullptr) {
  auto c = std::make_unique<Client>(port, From(from));
  c->SendPacket(LoginBody(user, password));
  const std::string packet = ReadPacket(*c);
  if (reply) *reply = packet;
  return c;
}

// Eight accounts realm1..realm8 with long descriptions, so that the list of
// them is cut; stored, the registry started with `settings`, and all eight
// logged in from `from`. The servers' connections, empty when one failed.
std::vector<std::unique_ptr<Client>> EightRealmsOnline(Registry& registry, std::size_t description,
                                                       const QByteArray& settings, const std::string& from) {
  std::vector<Account> accounts;
  for (int i = 1; i <= 8; ++i)
    accounts.push_back({"realm" + std::to_string(i), "pw", "Realm " + std::to_string(i), std::string(description, 'd')});
  AddAccounts(registry.folder.path(), accounts);
  registry.WriteSettings(settings);
  std::vector<std::unique_ptr<Client>> servers;
  if (!registry.Start()) return servers;
  for (int i = 1; i <= 8; ++i) {
    std::string reply;
    servers.push_back(LogIn(registry.port, from, "realm" + std::to_string(i), "pw", &reply));
    if (!Accepted(reply)) return {};
  }
  return servers;
}

}  // namespace

class TestHostile : public QObject {
  Q_OBJECT
 private slots:
  void conversationEndsAtTheFirstRefusal();
  void refusalNobodyReadsLetsTheNameGo();
  void failedLoginsShutAnAddressOut();
  void guessedAccountStaysOpenToItsOwnServer();
  void serversPerAddress();
  void reservedPlayerSlots();
  void newAccountsPerHourFromAllAddresses();
  void evictionSparesAFetchingPlayer();
  void listRequestsPerMinute();
  void listLinesFoldedPerSecond();
  void unreadRepliesAreCapped();
  void peerTextNeverSplitsALine();
};

// Fifty guesses in one write, the right one last: only the first is
// answered. Nor does any other refusal let later packets of its read through.
void TestHostile::conversationEndsAtTheFirstRefusal() {
  Registry registry;
  AddAccounts(registry.folder.path(), {{"victim", "right"}, {"beacon", "pw"}});
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::string reply;
  auto beacon = LogIn(port, "127.0.1.9", "beacon", "pw", &reply);
  QVERIFY(Accepted(reply));

  std::string guesses;
  for (int i = 0; i < 49; ++i) guesses += Packet(LoginBody("victim", "wrong" + std::to_string(i)));
  guesses += Packet(LoginBody("victim", "right"));
  Client guesser(port, From("127.0.1.1"));
  guesser.Send(guesses);
  QVERIFY(guesser.ClosedByPeer());
  QCOMPARE(guesser.buffer, kLoginRefused);

  struct Case {
    const char* from;
    std::string packets;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {"127.0.1.2", Packet(LoginBody("nobody", "x")) + ListRequest(1), kLoginRefused},
      {"127.0.1.3", Packet(NewAccountBody("victim")) + Packet(LoginBody("victim", "right")), kAccountExists},
      {"127.0.1.4", Packet(LoginBody("beacon", "pw")) + ListRequest(1) + Packet(LoginBody("victim", "right")),
       kAlreadyOnline},
  };
  for (const Case& c : cases) {
    Client peer(port, From(c.from));
    peer.Send(c.packets);
    QVERIFY2(peer.ClosedByPeer(), c.from);
    QCOMPARE(peer.buffer, c.reply);
  }
  QVERIFY(!beacon->ClosedByPeer(10));
  QVERIFY(registry.WaitForError("Login refused for nobody from 127.0.1.2: no such account"));
  QVERIFY(registry.Stop());
  QCOMPARE(registry.errors.count("Login refused for victim from 127.0.1.1: wrong password"), 1);
  QVERIFY(!registry.output.contains("victim has connected"));
  QVERIFY(!registry.output.contains("Server information sent"));
}

// The refusal is stuck behind list replies the attacker never reads: the
// name it tried no longer blocks the real server, and the registry lets go
// of the connection within seconds all the same.
void TestHostile::refusalNobodyReadsLetsTheNameGo() {
  Registry registry;
  std::vector<Account> accounts{{"victim", "right"}};
  for (int i = 1; i <= 4; ++i) accounts.push_back({"beacon" + std::to_string(i), "pw", "Beacon", std::string(250, 'b')});
  AddAccounts(registry.folder.path(), accounts);
  // Thousands of list requests from the one address.
  registry.WriteSettings("[Kestrune]\nMaxListRequestsPerMinute=0\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::vector<std::unique_ptr<Client>> beacons;
  for (int i = 1; i <= 4; ++i) {
    std::string reply;
    beacons.push_back(LogIn(port, "127.0.2.5", "beacon" + std::to_string(i), "pw", &reply));
    QVERIFY(Accepted(reply));
  }
  const std::size_t replySize = ListReplySize(port, "127.0.2.6");
  QVERIFY(replySize > 1000);

  // From here on the attacker's replies wait in the registry, in front of
  // its refusal.
  RawPeer attacker(port, "127.0.2.66", 4096);
  QVERIFY(attacker.connected);
  const unsigned long inKernel = FillKernelToward(port, attacker, replySize);
  QVERIFY2(inKernel > 0, "the attacker was let go before it had made its guess");
  qInfo("the kernel holds %lu bytes of replies for the attacker", inKernel);
  std::string tail;
  for (int i = 0; i < 40; ++i) tail += ListRequest(1);
  tail += Packet(LoginBody("victim", "wrong"));
  QVERIFY(attacker.SendAll(tail, 5000));
  QVERIFY(registry.WaitForError("Login refused for victim from 127.0.2.66: wrong password"));
  QElapsedTimer sinceRefusal;
  sinceRefusal.start();

  std::string reply;
  auto victim = LogIn(port, "127.0.2.7", "victim", "right", &reply);
  QVERIFY2(reply != kAlreadyOnline, "the refused login still holds the name");
  QVERIFY(Accepted(reply));

  while (RegistryEndOf(port, attacker).held && sinceRefusal.elapsed() < 8000) QTest::qWait(50);
  const RegistryEnd end = RegistryEndOf(port, attacker);
  QVERIFY2(!end.held, qPrintable(QString("still held %1 ms after the refusal, %2 bytes unread")
                                     .arg(sinceRefusal.elapsed())
                                     .arg(end.unacked)));
  QVERIFY(!victim->ClosedByPeer(10));
  QVERIFY(registry.Stop());
}

// Three wrong logins an hour from one address; the fourth shuts it out: its
// new connections close at once, and a connection it still holds is refused
// even the right password. Every refusal up to the limit is one line on
// standard error, whatever the user name holds.
void TestHostile::failedLoginsShutAnAddressOut() {
  Registry registry;
  AddAccounts(registry.folder.path(), {{"victim", "right"}});
  registry.WriteSettings("[Kestrune]\nMaxFailedLoginsPerHour=3\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  const QHostAddress a = From("127.0.3.1");
  Client held(port, a);
  QVERIFY(held.connected);
  const std::string tricky = "x from 6.6.6.6: wrong password\nINJECTED";
  const std::vector<std::pair<std::string, std::string>> guesses = {
      {"victim", "guess1"}, {tricky, "pw"}, {"victim", "guess3"}, {"victim", "guess4"}};
  for (const auto& [user, password] : guesses) {
    Client c(port, a);
    c.SendPacket(LoginBody(user, password));
    QCOMPARE(c.Read(3), kLoginRefused);
    QVERIFY(c.ClosedByPeer());
  }
  QVERIFY(registry.WaitForError("Connections from 127.0.3.1 refused for "));
  for (int i = 0; i < 2; ++i) {
    Client c(port, a);
    QVERIFY(c.connected);
    QVERIFY(c.ClosedByPeer(2000));
    QVERIFY(c.buffer.empty());
  }
  held.SendPacket(LoginBody("victim", "right"));
  QCOMPARE(held.Read(3), kLoginRefused);
  QVERIFY(held.ClosedByPeer());
  std::string reply;
  auto elsewhere = LogIn(port, "127.0.3.2", "victim", "right", &reply);
  QVERIFY(Accepted(reply));
  QVERIFY(registry.Stop());

  QStringList refused;
  const QRegularExpression filter("^Login refused for .* from (\\S+): (wrong password|no such account|account locked)$");
  for (const QString& line : Lines(registry.errors)) {
    if (!line.startsWith("Login refused for ")) continue;
    refused << line;
    QCOMPARE(filter.match(line).captured(1), QStringLiteral("127.0.3.1"));
  }
  const QStringList expected = {
      "Login refused for victim from 127.0.3.1: wrong password",
      "Login refused for x from 6.6.6.6: wrong password\\nINJECTED from 127.0.3.1: no such account",
      "Login refused for victim from 127.0.3.1: wrong password",
  };
  QCOMPARE(refused, expected);
  const QRegularExpression coolLine(
      "^Connections from 127\\.0\\.3\\.1 refused for (\\d+) seconds: too many failed logins\\.$");
  int coolLines = 0;
  for (const QString& line : Lines(registry.errors)) {
    const auto m = coolLine.match(line);
    if (!m.hasMatch()) continue;
    ++coolLines;
    QVERIFY(m.captured(1).toInt() >= 1 && m.captured(1).toInt() <= 3600);
  }
  QCOMPARE(coolLines, 1);
  QCOMPARE(registry.output.count("Connections from 127.0.3.1 refused for "), 1);
  for (const QString& line : Lines(registry.errors) + Lines(registry.output)) QVERIFY(!line.startsWith("INJECTED"));
}

// Ten wrong logins for one account from ten addresses: the right password
// from a new address is refused, from its server's own address accepted.
void TestHostile::guessedAccountStaysOpenToItsOwnServer() {
  Registry registry;
  AddAccounts(registry.folder.path(), {{"castle", "keep"}});
  registry.WriteSettings("[Kestrune]\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  {
    std::string reply;
    auto own = LogIn(port, "127.0.4.100", "castle", "keep", &reply);
    QVERIFY(Accepted(reply));
  }
  QVERIFY(registry.WaitForOutput("castle has disconnected from 127.0.4.100"));
  for (int i = 1; i <= 10; ++i) {
    Client c(port, From("127.0.4." + std::to_string(i)));
    c.SendPacket(LoginBody("castle", "guess" + std::to_string(i)));
    QCOMPARE(c.Read(3), kLoginRefused);
    QVERIFY(c.ClosedByPeer());
  }
  Client stranger(port, From("127.0.4.200"));
  stranger.SendPacket(LoginBody("castle", "keep"));
  QCOMPARE(stranger.Read(3), kLoginRefused);
  QVERIFY(stranger.ClosedByPeer());
  QVERIFY(registry.WaitForError("Login refused for castle from 127.0.4.200: account locked"));
  std::string reply;
  auto own = LogIn(port, "127.0.4.100", "castle", "keep", &reply);
  QVERIFY(Accepted(reply));
  QVERIFY(registry.Stop());
}

// Three servers online from one address: a fourth login or new account
// from it gets the table-full packet, another address does not, and the
// address may log in again once one of its servers has gone.
void TestHostile::serversPerAddress() {
  Registry registry;
  std::vector<Account> accounts;
  for (int i = 1; i <= 5; ++i) accounts.push_back({"server" + std::to_string(i), "pw"});
  AddAccounts(registry.folder.path(), accounts);
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\nMaxServersPerIP=3\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::vector<std::unique_ptr<Client>> servers;
  for (int i = 1; i <= 3; ++i) {
    std::string reply;
    servers.push_back(LogIn(port, "127.0.5.1", "server" + std::to_string(i), "pw", &reply));
    QVERIFY(Accepted(reply));
  }
  Client fourth(port, From("127.0.5.1"));
  fourth.SendPacket(LoginBody("server4", "pw"));
  QVERIFY(fourth.ClosedByPeer());
  QCOMPARE(fourth.buffer, kServerFull);
  Client created(port, From("127.0.5.1"));
  created.SendPacket(NewAccountBody("fresh_one"));
  QVERIFY(created.ClosedByPeer());
  QCOMPARE(created.buffer, kServerFull);
  std::string reply;
  auto other = LogIn(port, "127.0.5.2", "server4", "pw", &reply);
  QVERIFY(Accepted(reply));

  servers.erase(servers.begin());
  QVERIFY(registry.WaitForOutput("server1 has disconnected from 127.0.5.1"));
  auto again = LogIn(port, "127.0.5.1", "server5", "pw", &reply);
  QVERIFY(Accepted(reply));
  QVERIFY(registry.Stop());
}

// With every per-address cap off, 255 logins leave 239 servers online and
// 16 slots for players, whose list requests are answered.
void TestHostile::reservedPlayerSlots() {
  Registry registry;
  std::vector<Account> accounts;
  for (int i = 1; i <= 255; ++i) accounts.push_back({"realm" + std::to_string(i), "pw"});
  AddAccounts(registry.folder.path(), accounts);
  registry.WriteSettings(
      "[Kestrune]\nAutoAllow=True\nMaxServersPerIP=0\nMaxNewAccountsPerHour=0\nMaxNewAccountsPerHourTotal=0\n"
      "MaxClientsPerIP=0\nMaxConnectsPerMinute=0\nReservedPlayerSlots=16\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::vector<std::unique_ptr<Client>> online;
  int accepted = 0, full = 0, other = 0;
  for (int i = 1; i <= 255; ++i) {
    std::string reply;
    auto server = LogIn(port, "127.0.5.10", "realm" + std::to_string(i), "pw", &reply);
    if (Accepted(reply)) {
      ++accepted;
      online.push_back(std::move(server));
    } else if (reply == kServerFull && server->ClosedByPeer()) {
      ++full;
    } else {
      ++other;
    }
    if (i % 32 == 0) registry.Drain();
  }
  QCOMPARE(accepted, 239);
  QCOMPARE(full, 16);
  QCOMPARE(other, 0);
  Client created(port, From("127.0.5.11"));
  created.SendPacket(NewAccountBody("one_more"));
  QVERIFY(created.ClosedByPeer());
  QCOMPARE(created.buffer, kServerFull);

  Client player(port, From("127.0.5.200"));
  player.Send(ListRequest(1));
  const std::string first = ReadPacket(player);
  QVERIFY(first.size() > 3);
  QCOMPARE(int(first[2]), 4);  // a ListEntry
  for (auto& s : online) QVERIFY(!s->ClosedByPeer(0));
  QVERIFY(registry.Stop());
  QCOMPARE(registry.output.count(" has connected successfully from 127.0.5.10"), 239);
}

// Five accounts an hour from all addresses together: the sixth, from a sixth
// address, is refused and not stored.
void TestHostile::newAccountsPerHourFromAllAddresses() {
  Registry registry;
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\nMaxNewAccountsPerHourTotal=5\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::vector<std::unique_ptr<Client>> servers;
  for (int i = 1; i <= 5; ++i) {
    servers.push_back(std::make_unique<Client>(port, From("127.0.5." + std::to_string(20 + i))));
    servers.back()->SendPacket(NewAccountBody("total_" + std::to_string(i)));
    QCOMPARE(servers.back()->Read(14), Untitled());
  }
  Client sixth(port, From("127.0.5.26"));
  sixth.SendPacket(NewAccountBody("total_6"));
  QVERIFY(sixth.ClosedByPeer());
  QCOMPARE(sixth.buffer, kLoginRefused);
  QVERIFY(registry.Stop());
  Database db;
  db.Open(registry.folder.path(), registry.folder.path());
  QVERIFY(db.accounts().Seek("total_5"));
  QVERIFY(!db.accounts().Seek("total_6"));
}

// A full table of connections that have asked for something: the player
// that has just been told there is more to fetch is the most silent of the
// address holding the most of them, yet newcomers take other slots, and it
// gets the rest of its list.
void TestHostile::evictionSparesAFetchingPlayer() {
  Registry registry;
  const auto servers = EightRealmsOnline(
      registry, 200, "[Kestrune]\nMaxClientsPerIP=0\nMaxConnectsPerMinute=0\nMaxListRequestsPerMinute=0\n",
      "127.0.6.1");
  QVERIFY(!servers.empty());
  const auto port = registry.port;
  int lastPart = 0;
  {
    Client probe(port, From("127.0.6.200"));
    for (int next = 1; next > 0;) {
      probe.Send(ListRequest(next));
      const auto [users, more] = ReadList(probe);
      QVERIFY(more >= 0);
      if (more > 0) lastPart = more;
      next = more;
    }
  }
  QVERIFY(lastPart > 0);  // the list is cut
  QTest::qWait(200);      // the probe's slot is free again

  constexpr int kFillers = 255 - 8 - 1;
  std::vector<std::unique_ptr<Client>> fillers;
  for (int i = 0; i < kFillers; ++i) {
    fillers.push_back(std::make_unique<Client>(port, From("127.0.6.2")));
    QVERIFY(fillers.back()->connected);
    fillers.back()->Send(ListRequest(lastPart));
  }
  for (auto& f : fillers) QCOMPARE(ReadList(*f).second, 0);
  Client player(port, From("127.0.6.2"));
  QVERIFY(player.connected);
  QTest::qWait(1100);  // nobody is a newcomer any more
  registry.Drain();
  for (auto& f : fillers) QVERIFY(!f->ClosedByPeer(0));

  player.Send(ListRequest(1));
  const auto [first, next] = ReadList(player);
  QVERIFY(next > 0);
  QElapsedTimer sinceListMore;
  sinceListMore.start();
  for (auto& f : fillers) f->Send(Bytes({0x00, 0x01, 0xFF}));  // a Pong: the player is the most silent now
  QTest::qWait(50);
  std::vector<std::unique_ptr<Client>> newcomers;
  for (int i = 0; i < 10; ++i) {
    newcomers.push_back(std::make_unique<Client>(port, From("127.0.6.99")));
    QVERIFY(newcomers.back()->connected);
  }
  QTest::qWait(50);
  for (auto& n : newcomers) {
    QVERIFY(!n->ClosedByPeer(0));
    QVERIFY(n->buffer.empty());
  }
  QVERIFY2(sinceListMore.elapsed() < 2000, "too slow to show the rule");
  QCOMPARE(player.socket.state(), QAbstractSocket::ConnectedState);
  player.Send(ListRequest(next));
  const auto [rest, end] = ReadList(player);
  QCOMPARE(end, 0);
  QCOMPARE(first.size() + rest.size(), std::size_t(8));
  int ended = 0;
  for (auto& f : fillers) ended += f->ClosedByPeer(0);
  QCOMPARE(ended, 10);
  QVERIFY(registry.Stop());
}

// Five answered list requests a minute: the sixth is not answered, its
// connection closes and the address cools down; the five make one line on
// standard output and one more telling how many were folded into it.
void TestHostile::listRequestsPerMinute() {
  Registry registry;
  AddAccounts(registry.folder.path(), {{"beacon", "pw"}});
  registry.WriteSettings("[Kestrune]\nMaxListRequestsPerMinute=5\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::string reply;
  auto beacon = LogIn(port, "127.0.7.9", "beacon", "pw", &reply);
  QVERIFY(Accepted(reply));

  Client asker(port, From("127.0.7.1"));
  QElapsedTimer span;
  span.start();
  for (int i = 0; i < 5; ++i) {
    asker.Send(ListRequest(1));
    const auto [users, more] = ReadList(asker);
    QCOMPARE(users, std::vector<std::string>{"beacon"});
    QCOMPARE(more, 0);
  }
  const int seconds = int(span.elapsed() / 1000);
  asker.Send(ListRequest(1));
  QVERIFY(asker.ClosedByPeer());
  QVERIFY(asker.buffer.empty());
  Client again(port, From("127.0.7.1"));
  QVERIFY(again.connected);
  QVERIFY(again.ClosedByPeer(2000));
  QVERIFY(again.buffer.empty());
  Client other(port, From("127.0.7.3"));
  other.Send(ListRequest(1));
  QCOMPARE(ReadList(other).second, 0);
  QVERIFY(registry.WaitForOutput("Connections from 127.0.7.1 refused for 60 seconds: too many list requests."));

  QDeadlineTimer deadline(4000);
  Folded f;
  do {
    registry.Drain();
    f = FoldedLines(registry.output, "127.0.7.1");
  } while (f.sent + f.more < 5 && !deadline.hasExpired() && (QTest::qWait(20), true));
  QCOMPARE(f.sent + f.more, 5);
  QVERIFY2(f.sent <= seconds + 2, qPrintable(registry.output));
  QVERIFY(f.ordered);
  QVERIFY(registry.Stop());
  QCOMPARE(registry.output.count("refused for 60 seconds: too many list requests."), 1);
}

// List requests ten a second for two and a half seconds: at most one line a
// second for the address, each followed by the count of the others, which
// add up; another address's request meanwhile has a line of its own.
void TestHostile::listLinesFoldedPerSecond() {
  Registry registry;
  AddAccounts(registry.folder.path(), {{"beacon", "pw"}});
  registry.WriteSettings("[Kestrune]\nMaxListRequestsPerMinute=1000\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::string reply;
  auto beacon = LogIn(port, "127.0.7.9", "beacon", "pw", &reply);
  QVERIFY(Accepted(reply));
  Client asker(port, From("127.0.7.2"));
  constexpr int kRequests = 25;
  QElapsedTimer span;
  span.start();
  for (int i = 0; i < kRequests; ++i) {
    asker.Send(ListRequest(1));
    QCOMPARE(ReadList(asker).second, 0);
    if (i == 12) {
      Client other(port, From("127.0.7.4"));
      other.Send(ListRequest(1));
      QCOMPARE(ReadList(other).second, 0);
    }
    if (i + 1 < kRequests) QTest::qWait(100);
  }
  const int seconds = int(span.elapsed() / 1000);  // 2 at least
  QDeadlineTimer deadline(4000);
  Folded f;
  do {
    registry.Drain();
    f = FoldedLines(registry.output, "127.0.7.2");
  } while (f.sent + f.more < kRequests && !deadline.hasExpired() && (QTest::qWait(20), true));
  QCOMPARE(f.sent + f.more, kRequests);
  QVERIFY2(f.sent >= 2 && f.sent <= seconds + 2, qPrintable(registry.output));
  QVERIFY(f.ordered);
  const Folded o = FoldedLines(registry.output, "127.0.7.4");
  QCOMPARE(o.sent, 1);
  QCOMPARE(o.more, 0);
  QVERIFY(registry.Stop());
}

// Forty peers that never read, each asking for thousands of lists: each is
// let go once its unsent replies pass 256 KB, the registry's memory stays
// bounded meanwhile and is given back once they have gone. A peer whose
// unread replies stay small keeps its connection.
void TestHostile::unreadRepliesAreCapped() {
  Registry registry;
  const auto servers = EightRealmsOnline(registry, 250, "[Kestrune]\nMaxListRequestsPerMinute=0\n", "127.0.8.1");
  QVERIFY(!servers.empty());
  const auto port = registry.port;
  const std::size_t replySize = ListReplySize(port, "127.0.8.2");  // the list is cut: a full reply
  QVERIFY(replySize > 1000);
  QTest::qWait(200);
  registry.Drain();
  const long before = registry.ResidentKb();
  QVERIFY(before > 0);

  // One more never-reading peer, held just below the cap: the kernel full,
  // then about 150 KB waiting in the registry.
  RawPeer small(port, "127.0.8.60", 4096);
  QVERIFY(small.connected);
  QVERIFY(FillKernelToward(port, small, replySize) > 0);
  auto requestsFor = [&](std::size_t bytes) {
    std::string requests;
    for (std::size_t i = 0; i < bytes / replySize; ++i) requests += ListRequest(1);
    return requests;
  };
  QVERIFY(small.SendAll(requestsFor(150 * 1024), 5000));
  QTest::qWait(300);
  QVERIFY2(RegistryEndOf(port, small).held, "let go with less than 256 KB unsent");

  constexpr int kPeers = 40;
  std::string requests;
  for (int i = 0; i < 6000; ++i) requests += ListRequest(1);
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<RawPeer>(port, "127.0.8." + std::to_string(10 + i), 4096));
    QVERIFY(peers.back()->connected);
  }
  std::vector<std::size_t> sent(kPeers, 0);
  std::vector<bool> failed(kPeers, false);
  long peak = before;
  int held = kPeers;
  QDeadlineTimer deadline(30000);
  while (held > 0 && !deadline.hasExpired()) {
    for (int i = 0; i < kPeers; ++i) {
      if (failed[i] || sent[i] == requests.size()) continue;
      const long n = peers[i]->SendSome(std::string_view(requests).substr(sent[i]));
      if (n < 0)
        failed[i] = true;
      else
        sent[i] += std::size_t(n);
    }
    peak = std::max(peak, registry.ResidentKb());
    held = 0;
    for (auto& p : peers) held += RegistryEndOf(port, *p).held;
    registry.Drain();
    QTest::qWait(20);
  }
  QVERIFY2(peak - before < 64 * 1024, qPrintable(QString("from %1 kB to %2 kB").arg(before).arg(peak)));
  QVERIFY2(held == 0, qPrintable(QString("%1 of %2 never-reading peers still held").arg(held).arg(kPeers)));
  QVERIFY2(RegistryEndOf(port, small).held, "let go with less than 256 KB unsent");
  // 200 KB more, and it goes too.
  QVERIFY(small.SendAll(requestsFor(200 * 1024), 5000));
  for (QDeadlineTimer deadline(3000); RegistryEndOf(port, small).held && !deadline.hasExpired();)
    QTest::qWait(20);
  QVERIFY2(!RegistryEndOf(port, small).held, "held with more than 256 KB unsent");

  peers.clear();
  QElapsedTimer sinceGone;
  sinceGone.start();
  long now = registry.ResidentKb();
#if defined(__SANITIZE_ADDRESS__)
  // Built with AddressSanitizer (the registry too): its allocator keeps
  // freed memory in quarantine whatever malloc_trim is asked, so there is
  // nothing to measure here.
  now = before;
#endif
  while (now - before > 20 * 1024 && sinceGone.elapsed() < 70000) {
    QTest::qWait(1000);
    registry.Drain();
    now = registry.ResidentKb();
  }
  qInfo("resident: %ld kB before, %ld kB at the peak, %ld kB %lld s after the peers left", before, peak, now,
        sinceGone.elapsed() / 1000);
  QVERIFY2(now - before <= 20 * 1024, qPrintable(QString("before %1 kB, peak %2 kB, %3 kB after %4 s")
                                                     .arg(before)
                                                     .arg(peak)
                                                     .arg(now)
                                                     .arg(sinceGone.elapsed() / 1000)));
  Client player(port, From("127.0.8.3"));
  player.Send(ListRequest(1));
  QVERIFY(ReadList(player).second > 0);
  QVERIFY(registry.Stop());
}

// Control characters of a server's name and description reach players as
// sent, and those of a user name show as escapes: no line of standard
// output or error is ever split by peer text.
void TestHostile::peerTextNeverSplitsALine() {
  Registry registry;
  // An account stored by some other tool, under a name the wire would not
  // create.
  const std::string oddUser = "od\tx\nINJECTED";
  AddAccounts(registry.folder.path(), {{"painter", "pw"}, {oddUser, "pw"}});
  registry.WriteSettings("[Kestrune]\n");
  QVERIFY(registry.Start());
  const auto port = registry.port;
  std::string reply;
  auto server = LogIn(port, "127.0.9.1", "painter", "pw", &reply);
  QVERIFY(Accepted(reply));
  auto oddServer = LogIn(port, "127.0.9.5", oddUser, "pw", &reply);
  QVERIFY(Accepted(reply));
  QVERIFY(registry.WaitForOutput("od\\tx\\nINJECTED has connected successfully from 127.0.9.5"));
  const std::string name = "Realm\nINJECTED name\r\x01";
  const std::string description = "desc\nINJECTED desc\t\x7f\x90";
  server->SendPacket(Bytes({5}) + name + Bytes({0}) + description);
  QTest::qWait(100);
  Client player(port, From("127.0.9.2"));
  player.Send(ListRequest(1));
  const std::string entry = ReadPacket(player);
  QVERIFY(entry.find("[0] " + name + '\0' + "Unofficial Server: " + description + '\0') != std::string::npos);

  Client odd(port, From("127.0.9.3"));
  odd.SendPacket(LoginBody("who\nINJECTED user", "pw"));
  QCOMPARE(odd.Read(3), kLoginRefused);
  Client odder(port, From("127.0.9.4"));
  odder.SendPacket(LoginBody("sp\x01y\tz\\w\x81\x7f\r", "pw"));
  QCOMPARE(odder.Read(3), kLoginRefused);
  QVERIFY(registry.WaitForError("Login refused for who\\nINJECTED user from 127.0.9.3: no such account"));
  QVERIFY(registry.WaitForError("Login refused for sp\\x01y\\tz\\\\w\\x81\\x7f\\r from 127.0.9.4: no such account"));
  server.reset();
  oddServer.reset();
  QVERIFY(registry.WaitForOutput("painter has disconnected from 127.0.9.1"));
  QVERIFY(registry.WaitForOutput("od\\tx\\nINJECTED has disconnected from 127.0.9.5"));
  QVERIFY(registry.Stop());
  auto plain = [](const QString& line) {
    for (QChar c : line)
      if (c.unicode() < 0x20 || c.unicode() == 0x7F || (c.unicode() >= 0x80 && c.unicode() < 0xA0)) return false;
    return true;
  };
  for (const QString& line : Lines(registry.output)) {
    QVERIFY2(plain(line), qPrintable(line));
    QVERIFY2(!line.startsWith("INJECTED"), qPrintable(line));
  }
  for (const QString& line : Lines(registry.errors)) {
    QVERIFY2(!line.startsWith("INJECTED"), qPrintable(line));
    if (line.startsWith("Login refused")) QVERIFY2(plain(line), qPrintable(line));
  }
}

QTEST_GUILESS_MAIN(TestHostile)
#include "test_hostile.moc"
