// Two registry cores sharing their live list through a PostgreSQL server of
// the test's own: the claim at login (one account online once across both),
// the entry given back however a server leaves, what a server reports
// reaching the other, the merged list read by list index in the bytes of
// the protocol, and logins refused while the database is away. Each core
// keeps its accounts in a file database of its own, so the shared list is
// all they have in common.
#include "common/MemoryHarness.h"
#include "common/PgServer.h"
#include "storage/PgConnection.h"
#include "storage/SharedList.h"

#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

const std::string kAlreadyOnline("\x00\x01\x02", 3);
const std::string kLoginRefused("\x00\x01\x03", 3);
const std::string kAccountExists("\x00\x01\x01", 3);

// One registry of the game: its core over the in-memory transport and its
// side of the shared list. The list is made first so that it outlives the
// core, whose peers give their entries back as they go.
struct Member {
  Member(const std::string& conninfo, const std::string& instance)
      : list(conninfo, instance, 3000), at() {
    at.registry->SetSharedList(&list);
  }
  ~Member() { at.registry->SetSharedList(nullptr); }
  void AddAccount(const std::string& user, int official = 0, const std::string& description = "") {
    AccountRecord row;
    row.User = user;
    row.Password = "SECRET";
    row.Name = "Name of " + user;
    row.Description = description;
    row.Official = official;
    row.UpdateURL = "";
    at.db.accounts().Add(row);
  }
  std::unique_ptr<MemoryPeer> Login(const std::string& user, const QHostAddress& from = QHostAddress::LocalHost) {
    auto peer = at.Connect(from);
    peer->SendPacket(Bytes({1}) + AccountPayload(user, "secret"));
    return peer;
  }
  // One list reply from `start` on, asked from `from`.
  std::string List(int start = 1, const QHostAddress& from = QHostAddress::LocalHost) {
    auto player = at.Connect(from);
    player->SendPacket(Bytes({3, start}));
    return player->received;
  }
  bool Knows(const std::string& user) const {
    const auto& others = at.registry->OtherServers();
    return std::any_of(others.begin(), others.end(), [&](const SharedServer& s) { return s.user == user; });
  }

  SharedList list;
  MemoryHarness at;
};

std::string Joined(const std::vector<std::string>& users) {
  std::string text;
  for (const std::string& u : users) text += u + " ";
  return text;
}

bool Accepted(const MemoryPeer& peer) { return peer.received.size() > 2 && peer.received[2] == 0; }

// The user names of a list reply, in order.
std::vector<std::string> Users(const std::string& reply) {
  std::vector<std::string> users;
  for (std::size_t p = 0; p + 3 <= reply.size();) {
    const std::size_t n = std::size_t(std::uint8_t(reply[p])) * 256 + std::uint8_t(reply[p + 1]);
    if (reply[p + 2] == 4) users.push_back(reply.substr(p + 3, reply.find('\0', p + 3) - p - 3));
    p += 2 + n;
  }
  return users;
}

}  // namespace

class TestSharing : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QVERIFY2(pg_.Start(), qPrintable(pg_.error())); }
  void init();
  void oneAccountOnlineOnce();
  void everyWayOfLeavingGivesTheEntryBack();
  void reportsReachTheOtherRegistry();
  void mergedListByIndex();
  void othersListedByThisRegistrysAddressMap();
  void withoutSharingNothingChanges();
  void refusedWhileTheDatabaseIsAway();

 private:
  PgServer pg_;
  std::string conninfo_;
  int databases_ = 0;
};

void TestSharing::init() {
  const std::string name = "sharing" + std::to_string(++databases_);
  PgConnection admin(pg_.ConnInfo().toStdString());
  admin.Exec("CREATE DATABASE " + name);
  conninfo_ = "host=" + pg_.SocketDir().toStdString() + " dbname=" + name + " user=registry";
}

void TestSharing::oneAccountOnlineOnce() {
  Member a(conninfo_, "alpha"), b(conninfo_, "beta");
  a.AddAccount("Hawk");
  b.AddAccount("Hawk");
  auto first = a.Login("hawk");
  QVERIFY(Accepted(*first));
  QVERIFY(a.at.registry->Client(first->Slot()).ListIndex == 1);
  auto second = b.Login("HAWK");  // the folded name is the key
  QCOMPARE(second->received, kAlreadyOnline);
  QVERIFY(second->Closed());
  QCOMPARE(b.at.registry->Stats().loginsAlreadyOnline.load(), 1u);
  // A new account of that name at B, while the name is online at A, exists.
  b.at.console.SetAllowNewAccounts(true);
  b.at.db.accounts().Delete("Hawk");
  auto made = b.at.Connect();
  made->SendPacket(Bytes({0}) + AccountPayload("Hawk", "pw"));
  QCOMPARE(made->received, kAccountExists);
  QVERIFY(!b.at.db.accounts().Seek("Hawk"));  // none made for it
  b.AddAccount("Hawk");
  first.reset();
  auto third = b.Login("Hawk");
  QVERIFY(Accepted(*third));
}

// Closed by the peer, ended by the operator, timed out, the whole table
// stopped: each gives the entry back, and the other registry may let the
// account in at once.
void TestSharing::everyWayOfLeavingGivesTheEntryBack() {
  Member a(conninfo_, "alpha"), b(conninfo_, "beta");
  for (const char* user : {"one", "two", "three", "four"}) {
    a.AddAccount(user);
    b.AddAccount(user);
  }
  auto one = a.Login("one");
  auto two = a.Login("two");
  auto three = a.Login("three");
  auto four = a.Login("four");
  QVERIFY(Accepted(*one) && Accepted(*two) && Accepted(*three) && Accepted(*four));
  one->Close();
  a.at.Settle();
  a.at.registry->DisconnectClient(a.at.SlotOf("two"));
  a.at.clock.now += 61000;  // silent past every deadline
  four->Send(std::string(2, '\0'));  // four keeps talking
  a.at.registry->OnClientTimer();
  a.at.Settle();
  QVERIFY(a.at.SlotOf("three") == 0);
  QVERIFY(a.at.SlotOf("four") != 0);
  for (const char* user : {"one", "two", "three"}) QVERIFY2(Accepted(*b.Login(user)), user);
  a.at.registry->DisconnectAll();
  QVERIFY(Accepted(*b.Login("four")));
}

void TestSharing::reportsReachTheOtherRegistry() {
  Member a(conninfo_, "alpha"), b(conninfo_, "beta");
  a.AddAccount("reporter");
  auto server = a.Login("reporter");
  QVERIFY(Accepted(*server));
  QTRY_VERIFY_WITH_TIMEOUT(b.Knows("reporter"), 3000);
  server->SendPacket(Bytes({5}) + "New name" + '\0' + "New description");
  server->SendPacket(Bytes({7, 17}));
  QTRY_VERIFY_WITH_TIMEOUT(!b.at.registry->OtherServers().empty() &&
                               b.at.registry->OtherServers()[0].players == 17 &&
                               b.at.registry->OtherServers()[0].name == "New name",
                           3000);
  QCOMPARE(b.at.registry->OtherServers()[0].description, std::string("New description"));
  QCOMPARE(b.List(), a.List());
  server.reset();
  QTRY_VERIFY_WITH_TIMEOUT(!b.Knows("reporter"), 3000);
  QCOMPARE(b.List(), std::string());  // no server: no reply
}

// Entries in list-index order (the order of the claims), official ones in
// front, cut at 1024 bytes with the index to ask next; the same bytes from
// either registry, and a ListMore of one goes on at the other.
void TestSharing::mergedListByIndex() {
  Member a(conninfo_, "alpha"), b(conninfo_, "beta");
  std::vector<std::unique_ptr<MemoryPeer>> servers;
  const std::string description(150, 'x');
  for (int i = 1; i <= 12; ++i) {
    const std::string user = "s" + std::to_string(i);
    Member& at = i % 3 == 0 ? b : a;
    at.AddAccount(user, i == 6 ? 1 : 0, description);
    servers.push_back(at.Login(user));
    QVERIFY(Accepted(*servers.back()));
  }
  QTRY_VERIFY_WITH_TIMEOUT(a.at.registry->OtherServers().size() == 4 && b.at.registry->OtherServers().size() == 8,
                           3000);
  const std::string first = a.List();
  QCOMPARE(b.List(), first);
  // s6 (at B) is official and goes first; the rest in the order they
  // logged in, until the sixth entry passes 1024 bytes.
  const std::vector<std::string> expected{"s6", "s1", "s2", "s3", "s4", "s5"};
  QVERIFY2(Users(first) == expected, Joined(Users(first)).c_str());
  QVERIFY(first.size() >= 1024);
  QCOMPARE(first.substr(first.size() - 5), std::string("\x00\x03\xFF\x03\x07", 5));
  const std::string rest = b.List(7);
  QCOMPARE(a.List(7), rest);
  const std::vector<std::string> after{"s7", "s8", "s9", "s10", "s11", "s12"};
  QCOMPARE(Users(rest), after);
  QCOMPARE(rest.substr(rest.size() - 4), std::string("\x00\x02\xFF\x04", 4));
  // A freed index is taken by the next login, wherever it is.
  servers[1].reset();  // s2, index 2, at A
  QTRY_VERIFY_WITH_TIMEOUT(!b.Knows("s2"), 3000);
  b.AddAccount("late");
  auto late = b.Login("late");
  QCOMPARE(b.at.registry->Client(late->Slot()).ListIndex, 2);
  QTRY_VERIFY_WITH_TIMEOUT(a.Knows("late"), 3000);
  QCOMPARE(Users(a.List())[2], std::string("late"));
  QCOMPARE(b.List(), a.List());
}

// A game server on the registries' own network is given to players on the
// internet with the public address, whichever registry they ask.
void TestSharing::othersListedByThisRegistrysAddressMap() {
  Member a(conninfo_, "alpha"), b(conninfo_, "beta");
  std::vector<std::string> warnings;
  for (Member* m : {&a, &b})
    m->at.registry->SetAddressMap(AddressMap::Read({{"127.0.0.0/8=203.0.113.9", true, "127.0.0.0/8", "203.0.113.9"}},
                                                   &warnings));
  QVERIFY(warnings.empty());
  a.AddAccount("homebox");
  auto server = a.Login("homebox", QHostAddress("127.0.0.5"));
  QVERIFY(Accepted(*server));
  QTRY_VERIFY_WITH_TIMEOUT(b.Knows("homebox"), 3000);
  const QHostAddress outside("198.51.100.20");
  const std::string fromB = b.List(1, outside);
  QVERIFY2(fromB.find(std::string("homebox\0" "203.0.113.9\0", 20)) != std::string::npos, fromB.c_str());
  QCOMPARE(fromB, a.List(1, outside));
  const std::string inside = b.List(1, QHostAddress("127.0.0.1"));
  QVERIFY(inside.find(std::string("homebox\0" "127.0.0.5\0", 18)) != std::string::npos);
}

void TestSharing::withoutSharingNothingChanges() {
  MemoryHarness alone;
  QVERIFY(alone.registry->OtherServers().empty());
  QVERIFY(alone.registry->InstanceName().empty());
  QVERIFY(alone.registry->SharingProblem().empty());
  auto server = alone.NewServer("solo");
  QCOMPARE(alone.registry->Client(server->Slot()).ListIndex, 0);
}

// While PostgreSQL is away a login is refused, not accepted and not
// claimed; the outage is said once; once it is back logins work again.
void TestSharing::refusedWhileTheDatabaseIsAway() {
  Member a(conninfo_, "alpha");
  a.AddAccount("patient");
  a.AddAccount("busy");
  auto busy = a.Login("busy");
  QVERIFY(Accepted(*busy));
  QVERIFY(pg_.StopServer());
  QTRY_VERIFY_WITH_TIMEOUT(!a.at.registry->SharingProblem().empty(), 5000);
  for (int i = 0; i < 3; ++i) {
    auto refused = a.Login("patient");
    QCOMPARE(refused->received, kLoginRefused);
    QVERIFY(refused->Closed());
  }
  a.at.console.SetAllowNewAccounts(true);
  auto made = a.at.Connect();
  made->SendPacket(Bytes({0}) + AccountPayload("newcomer", "pw"));
  QCOMPARE(made->received, kLoginRefused);
  QVERIFY(!a.at.db.accounts().Seek("newcomer"));
  QVERIFY(a.at.SlotOf("busy") != 0);  // who is online stays online
  const auto outageLines = [&] {
    return std::count_if(a.at.log.errors.begin(), a.at.log.errors.end(),
                         [](const std::string& e) { return e.find("unreachable") != std::string::npos; });
  };
  QCOMPARE(outageLines(), 1);
  QVERIFY(pg_.StartServer());
  QTRY_VERIFY_WITH_TIMEOUT(a.at.registry->SharingProblem().empty(), 40000);
  QCOMPARE(outageLines(), 1);
  auto back = a.Login("patient");
  QVERIFY(Accepted(*back));
}

QTEST_GUILESS_MAIN(TestSharing)
#include "test_sharing.moc"
