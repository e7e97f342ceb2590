// What game servers and players get from the registry: account creation,
// login with its refusals, server reports written through to the account,
// ban enforcement and the server list, byte for byte, over the in-memory
// transport: every check holds the moment the peer's call returns.
#include "common/MemoryHarness.h"

#include <QtTest>

#include <thread>

using namespace std::string_literals;

namespace {
const std::string kUntitledAccepted =
    Bytes({0x00, 0x0C, 0x00}) + "<untitled>" + Bytes({0x00});

std::string ListEnd() { return Bytes({0x00, 0x02, 0xFF, 0x04}); }

BanRecord Ban(int number, const std::string& ip, std::optional<QDate> until) {
  BanRecord ban;
  ban.Number = number;
  ban.Name = "ban" + std::to_string(number);
  ban.IP = ip;
  if (until) ban.UnbanDate = QDateTime(*until, QTime(0, 0));
  return ban;
}
}  // namespace

class TestHandlers : public QObject {
  Q_OBJECT
 private slots:
  void newAccountTrimsAndUpperCases();
  void newAccountRefusals();
  void newAccountMadeMeanwhileElsewhereExists();
  void newAccountRuleViolationsCloseSilently();
  void malformedAccountPayloads();
  void loginIgnoresCaseOfNameAndPassword();
  void loginRefusedAfterSend();
  void alreadyOnline();
  void accentedNameLogsInUnderAnyCase();
  void serverInfoWritesThrough();
  void serverInfoLimits();
  void serverInfoAfterAccountDeleted();
  void changePassword();
  void setPlayerCount();
  void listExample();
  void listOrdersOfficialFirst();
  void listFollowsEveryChange();
  void listContinuesWithListMore();
  void listCutAtExactly1024Bytes();
  void listCutNamesOnlyAServer();
  void listRefusals();
  void bansExactAndNetworks();
  void bansExpireOnTheirDay();
  void expiredExactBanGivesWayToNetworkBanNextTime();
  void selectedServerFollowsArrivals();
  void overflowSlotHandsNothingOn();
};

void TestHandlers::newAccountTrimsAndUpperCases() {
  MemoryHarness h;
  h.console.SetAllowNewAccounts(true);
  auto peer = h.Connect();
  peer->SendPacket(Bytes({0}) + AccountPayload(" bob_1 ", "hello "));
  QCOMPARE(peer->received, kUntitledAccepted);
  QCOMPARE(h.log.lines, std::vector<std::string>{"New account bob_1 created from 127.0.0.1"});
  QCOMPARE(h.console.ServerLines(), std::vector<std::string>{"bob_1"});
  const auto row = h.db.accounts().Seek("BOB_1");
  QVERIFY(row);
  QCOMPARE(*row->User, std::string("bob_1"));
  QCOMPARE(*row->Password, std::string("HELLO"));
  QCOMPARE(*row->Name, std::string("<untitled>"));
  QCOMPARE(*row->Description, std::string());
  QCOMPARE(*row->UpdateURL, std::string());
  QCOMPARE(*row->Official, 0);
  const ClientRecord& c = h.registry->Client(h.SlotOf("bob_1"));
  QCOMPARE(c.Mode, std::uint8_t(kModeServer));
  QCOMPARE(c.Position, row->Position);
  QVERIFY(!peer->Closed());

  // A 20-character password keeps its first 15, upper-cased.
  auto other = h.Connect();
  other->SendPacket(Bytes({0}) + AccountPayload("carol", "abcdefghijklmnopqrst"));
  QCOMPARE(other->received, kUntitledAccepted);
  QCOMPARE(*h.db.accounts().Seek("carol")->Password, std::string("ABCDEFGHIJKLMNO"));
}

void TestHandlers::newAccountRefusals() {
  MemoryHarness h;
  auto peer = h.Connect();
  peer->SendPacket(Bytes({0}) + AccountPayload("bob_1", "pw"));
  QCOMPARE(peer->received, Bytes({0x00, 0x01, 0x03}));  // LoginRefused
  QVERIFY(peer->Closed());
  QVERIFY(!h.db.accounts().Seek("bob_1"));

  h.console.SetAllowNewAccounts(true);
  auto first = h.NewServer("Alpha");
  auto again = h.Connect();
  again->SendPacket(Bytes({0}) + AccountPayload("alpha", "pw"));
  QCOMPARE(again->received, Bytes({0x00, 0x01, 0x01}));  // AccountExists
  QVERIFY(again->Closed());
  QCOMPARE(h.log.lines.size(), std::size_t(1));
}

// Another registry makes the account between this one's look-up and its
// insert: its transaction holds the row when the insert comes, and commits
// while the insert waits for it. The unique key refuses the second account.
void TestHandlers::newAccountMadeMeanwhileElsewhereExists() {
  if (!testbackend::Postgres()) QSKIP("only a shared database has other writers");
  MemoryHarness h;
  h.console.SetAllowNewAccounts(true);
  PgConnection other(h.conninfo);
  other.Exec("BEGIN");
  other.Exec("INSERT INTO \"Servers\"(\"UserKey\", \"User\", \"Password\") "
             "VALUES('racer', 'Racer', 'ELSEWHERE')");
  std::thread commit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    other.Exec("COMMIT");
  });
  auto peer = h.Connect();
  peer->SendPacket(Bytes({0}) + AccountPayload("RACER", "pw"));
  commit.join();
  QCOMPARE(peer->received, Bytes({0x00, 0x01, 0x01}));  // AccountExists
  QVERIFY(peer->Closed());
  QCOMPARE(*h.db.accounts().Seek("racer")->Password, std::string("ELSEWHERE"));
  QCOMPARE(h.registry->Stats().accountsNameTaken.load(), std::uint64_t(1));
}

void TestHandlers::newAccountRuleViolationsCloseSilently() {
  MemoryHarness h;
  h.console.SetAllowNewAccounts(true);
  for (const char* user : {"ab", "abcdefghijklmnop", "bad-name", "in ner", "caf\xE9"}) {
    auto peer = h.Connect();
    peer->SendPacket(Bytes({0}) + AccountPayload(user, "pw"));
    QVERIFY(peer->Closed());
    QVERIFY(peer->received.empty());
  }
  QCOMPARE(h.db.accounts().Count(), 0);
  QVERIFY(h.log.lines.empty());
  QVERIFY(IsValidAccountText("_9a"));
  QVERIFY(IsValidAccountText("abcdefghijklmno"));
  QVERIFY(!IsValidAccountText(""));
}

void TestHandlers::malformedAccountPayloads() {
  MemoryHarness h;
  h.console.SetAllowNewAccounts(true);
  auto alpha = h.NewServer("alpha", "pw1");
  const std::size_t logged = h.log.lines.size();
  for (int type : {0, 1}) {
    for (const std::string& payload :
         {std::string(), std::string("alpha"), AccountPayload("", "pw1"), Bytes({'a', 'b', 'c', 0})}) {
      auto peer = h.Connect();
      peer->SendPacket(Bytes({type}) + payload);
      QVERIFY(peer->Closed());
      QVERIFY(peer->received.empty());
    }
  }
  QCOMPARE(h.log.lines.size(), logged);
  QCOMPARE(h.db.accounts().Count(), 1);
}

void TestHandlers::loginIgnoresCaseOfNameAndPassword() {
  MemoryHarness h;
  AccountRecord row;
  row.User = "Alpha";
  row.Password = "secret";
  row.Name = "Alpha Server";
  row.Description = "Fun";
  row.Official = 1;
  row.UpdateURL = "http://example.invalid/u";
  h.db.accounts().Add(row);
  auto peer = h.Connect();
  peer->SendPacket(Bytes({1}) + AccountPayload("aLPHA", "SeCrEt"));
  QCOMPARE(peer->received, Bytes({0x00, 0x11, 0x00}) + "Alpha Server" + Bytes({0}) + "Fun");
  QCOMPARE(h.console.ServerLines(), std::vector<std::string>{"aLPHA"});
  QCOMPARE(h.log.lines.back(), std::string("aLPHA has connected successfully from 127.0.0.1"));
  const ClientRecord& c = h.registry->Client(h.SlotOf("alpha"));
  QCOMPARE(c.Official, std::uint8_t(1));
  QCOMPARE(c.UpdateURL, std::string("http://example.invalid/u"));

  // Fields without a value read as empty text.
  AccountRecord bare;
  bare.User = "bare";
  bare.Password = "PW1";
  h.db.accounts().Add(bare);
  auto second = h.Connect();
  second->SendPacket(Bytes({1}) + AccountPayload("bare", "pw1"));
  QCOMPARE(second->received, Bytes({0x00, 0x02, 0x00, 0x00}));
}

void TestHandlers::loginRefusedAfterSend() {
  MemoryHarness h;
  h.console.SetAllowNewAccounts(true);
  {
    auto creator = h.NewServer("alpha", "pw1 ");  // stored as PW1
  }
  QCOMPARE(h.registry->ConnectionCount(), 0);
  h.registry->OnClientTimer();
  for (const std::string& payload :
       {AccountPayload("nobody", "pw1"), AccountPayload("alpha", "wrong"), AccountPayload("alpha", "pw1 ")}) {
    auto peer = h.Connect();
    peer->SendPacket(Bytes({1}) + payload);
    QCOMPARE(peer->received, Bytes({0x00, 0x01, 0x03}));
    QVERIFY(peer->Closed());
  }
  QCOMPARE(h.log.lines.size(), std::size_t(2));  // creation and its disconnection
}

void TestHandlers::alreadyOnline() {
  MemoryHarness h;
  auto first = h.NewServer("alpha", "pw1");
  auto second = h.Connect();
  second->SendPacket(Bytes({1}) + AccountPayload("ALPHA", "pw1"));
  QCOMPARE(second->received, Bytes({0x00, 0x01, 0x02}));
  QVERIFY(second->Closed());
  QVERIFY(!first->Closed());
  // A wrong password for an online account is refused as a wrong password.
  auto third = h.Connect();
  third->SendPacket(Bytes({1}) + AccountPayload("alpha", "nope"));
  QCOMPARE(third->received, Bytes({0x00, 0x01, 0x03}));
  QCOMPARE(h.console.ServerLines(), std::vector<std::string>{"alpha"});
}

// An account made through the remote control may hold letters above 127;
// é and É are one letter for the look-up and for every later write.
void TestHandlers::accentedNameLogsInUnderAnyCase() {
  MemoryHarness h;
  AccountRecord row;
  row.User = "\xE9t\xE9";  // été
  row.Password = "PW";
  row.Name = "Summer";
  row.Description = "";
  h.db.accounts().Add(row);
  auto server = h.Connect();
  server->SendPacket(Bytes({1}) + AccountPayload("\xC9T\xC9", "pw"));  // ÉTÉ
  QCOMPARE(server->received, Bytes({0x00, 0x08, 0x00}) + "Summer" + Bytes({0}));
  QCOMPARE(h.console.ServerLines(), std::vector<std::string>{"\xC9T\xC9"});
  server->SendPacket(Bytes({5}) + "Hiver" + Bytes({0}) + "Neige \xE0 No\xEBl");
  server->SendPacket(Bytes({6}) + "NEW");
  QCOMPARE(h.db.accounts().Seek("\xE9t\xE9")->Password, std::optional<std::string>("NEW"));
  const auto stored = h.db.accounts().Seek("\xE9t\xE9");
  QCOMPARE(stored->Name, std::optional<std::string>("Hiver"));
  QCOMPARE(stored->Description, std::optional<std::string>("Neige \xE0 No\xEBl"));
  auto second = h.Connect();
  second->SendPacket(Bytes({1}) + AccountPayload("\xE9t\xE9", "new"));
  QCOMPARE(second->received, Bytes({0x00, 0x01, 0x02}));
  QVERIFY(!server->Closed());
}

void TestHandlers::serverInfoWritesThrough() {
  MemoryHarness h;
  auto server = h.NewServer("alpha", "pw1");
  server->Send(Bytes({0x00, 0x0A, 0x05, 0x41, 0x6C, 0x70, 0x68, 0x61, 0x00, 0x46, 0x75, 0x6E}));
  QCOMPARE(h.registry->Client(1).Name, std::string("Alpha"));
  QCOMPARE(h.registry->Client(1).Description, std::string("Fun"));
  QCOMPARE(*h.db.accounts().Seek("alpha")->Name, std::string("Alpha"));
  server->Close();
  QVERIFY(h.console.ServerLines().empty());
  auto again = h.Connect();
  again->SendPacket(Bytes({1}) + AccountPayload("alpha", "PW1"));
  QCOMPARE(again->received, Bytes({0x00, 0x0A, 0x00}) + "Alpha" + Bytes({0}) + "Fun");

  // An empty name, spaces trimmed from both texts.
  again->SendPacket(Bytes({5, 0}) + "  Lots of fun  ");
  QCOMPARE(h.registry->Client(1).Description, std::string("Lots of fun"));
  QCOMPARE(h.registry->Client(1).Name, std::string());
  QCOMPARE(*h.db.accounts().Seek("alpha")->Description, std::string("Lots of fun"));
}

void TestHandlers::serverInfoLimits() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const std::string name50(50, 'n'), desc255(255, 'd');
  server->SendPacket(Bytes({5}) + name50 + Bytes({0}) + desc255);
  QCOMPARE(h.registry->Client(1).Name, name50);
  QCOMPARE(*h.db.accounts().Seek("alpha")->Description, desc255);
  server->SendPacket(Bytes({5}) + name50 + "n" + Bytes({0}) + "x");
  QVERIFY(server->Closed());
  QCOMPARE(*h.db.accounts().Seek("alpha")->Description, desc255);
  // No separator at all is malformed: nothing is written.
  auto again = h.LoginServer("alpha", "secret");
  again->SendPacket(Bytes({5}) + "NoSeparator");
  QVERIFY(again->Closed());
  QCOMPARE(*h.db.accounts().Seek("alpha")->Name, name50);
}

void TestHandlers::serverInfoAfterAccountDeleted() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  QVERIFY(h.db.accounts().Delete("alpha"));
  // Another account may take over the deleted row's position: the bookmark
  // must not reach it.
  AccountRecord other;
  other.User = "zed";
  other.Name = "theirs";
  other.Password = "XYZ";
  h.db.accounts().Add(other);
  server->SendPacket(Bytes({5}) + "Mine" + Bytes({0}) + "desc");
  server->SendPacket(Bytes({6}) + "newpass");
  QCOMPARE(h.registry->Client(1).Name, std::string("Mine"));
  QCOMPARE(*h.db.accounts().Seek("zed")->Name, std::string("theirs"));
  QCOMPARE(*h.db.accounts().Seek("zed")->Password, std::string("XYZ"));
  QVERIFY(!h.db.accounts().Seek("alpha"));
  QCOMPARE(h.db.accounts().Count(), 1);
  QVERIFY(!server->Closed());
}

void TestHandlers::changePassword() {
  MemoryHarness h;
  auto server = h.NewServer("alpha", "old");
  server->SendPacket(Bytes({6}) + "ab");
  QCOMPARE(*h.db.accounts().Seek("alpha")->Password, std::string("OLD"));
  QVERIFY(!server->Closed());
  server->SendPacket(Bytes({6}) + std::string(16, 'q'));
  server->SendPacket(Bytes({6}) + "new");
  QCOMPARE(*h.db.accounts().Seek("alpha")->Password, std::string("NEW"));
  QVERIFY(!server->Closed());
}

void TestHandlers::setPlayerCount() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  server->Send(Bytes({0x00, 0x02, 0x07, 0xFF}));
  QCOMPARE(h.registry->Client(1).PlayerCount, std::uint8_t(255));
  auto player = h.Connect();
  player->SendPacket(Bytes({3, 1}));
  QVERIFY(player->received.find("[255] <untitled>") != std::string::npos);
  server->SendPacket(Bytes({7, 1, 2}));
  QVERIFY(server->Closed());
}

void TestHandlers::listExample() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  server->SendPacket(Bytes({5}) + "Alpha" + Bytes({0}) + "Fun");
  server->SendPacket(Bytes({7, 7}));
  QCOMPARE(h.registry->Client(1).PlayerCount, std::uint8_t(7));
  auto player = h.Connect();
  player->Send(Bytes({0x00, 0x02, 0x03, 0x01}));
  const std::string entry = Bytes({0x00, 0x31, 0x04}) + "alpha" + Bytes({0}) + "127.0.0.1" +
                            Bytes({0}) + "[7] Alpha" + Bytes({0}) + "Unofficial Server: Fun" +
                            Bytes({0});
  // 127.0.0.1 is one byte longer than 10.0.0.5 in the classic example.
  std::string expected = entry;
  expected[1] = char(0x32);
  QCOMPARE(player->received, expected + ListEnd());
  QCOMPARE(h.log.lines.back(), std::string("Server information sent to 127.0.0.1"));
  QVERIFY(!player->Closed());
}

// Replies are kept between requests; whatever a list shows that changes
// must show in the next one.
void TestHandlers::listFollowsEveryChange() {
  MemoryHarness h;
  auto alpha = h.NewServer("alpha");
  const Registry& registry = *h.registry;
  auto player = h.Connect();
  auto ask = [&] {
    player->received.clear();
    player->SendPacket(Bytes({3, 1}));
    (void)QTest::qWaitFor([&] { return player->received.size() >= 4 &&
                                       player->received.compare(player->received.size() - 4, 4, ListEnd()) == 0; },
                          5000);
    return player->received;
  };
  QVERIFY(ask().find("[0] <untitled>") != std::string::npos);
  QCOMPARE(ask(), ask());  // nothing changed: the same bytes
  alpha->SendPacket(Bytes({7, 9}));
  QCOMPARE(registry.Client(1).PlayerCount, std::uint8_t(9));
  QVERIFY(ask().find("[9] <untitled>") != std::string::npos);
  alpha->SendPacket(Bytes({5}) + "Alpha" + Bytes({0}) + "Fun");
  QCOMPARE(registry.Client(1).Name, std::string("Alpha"));
  QVERIFY(ask().find("[9] Alpha\0Unofficial Server: Fun"s) != std::string::npos);
  auto bravo = h.NewServer("bravo");
  QVERIFY(ask().find("bravo") != std::string::npos);
  h.registry->MutableClient(h.SlotOf("bravo")).Official = 1;
  QVERIFY(ask().find("Official Server: ") != std::string::npos);
  h.registry->DisconnectClient(h.SlotOf("alpha"));
  const std::string last = ask();
  QVERIFY(last.find("alpha") == std::string::npos);
  QVERIFY(last.find("bravo") != std::string::npos);
}

void TestHandlers::listOrdersOfficialFirst() {
  MemoryHarness h;
  std::vector<std::unique_ptr<MemoryPeer>> peers;
  for (const char* user : {"one", "two", "three", "four", "five", "six"})
    peers.push_back(h.NewServer(user));
  h.registry->DisconnectClient(1);
  h.registry->DisconnectClient(4);
  h.registry->MutableClient(2).Official = 1;
  h.registry->MutableClient(5).Official = 2;  // anything but 0 is official
  auto user = [](const std::string& reply, std::size_t& at) {
    const std::size_t len = DecodeLength(std::string_view(reply).substr(at, 2));
    const std::string body = reply.substr(at + 2, len);
    at += len + 2;
    return body[0] == 4 ? body.substr(1, body.find('\0') - 1) : std::string("end");
  };
  auto player = h.Connect();
  player->SendPacket(Bytes({3, 1}));
  QVERIFY(player->received.size() > 4 && player->received.substr(player->received.size() - 4) == ListEnd());
  std::vector<std::string> order;
  for (std::size_t at = 0; at < player->received.size();) order.push_back(user(player->received, at));
  QCOMPARE(order, (std::vector<std::string>{"five", "two", "three", "six", "end"}));
  QVERIFY(player->received.find("Official Server: ") != std::string::npos);

  player->received.clear();
  player->SendPacket(Bytes({3, 4}));
  QVERIFY(player->received.size() > 4 && player->received.substr(player->received.size() - 4) == ListEnd());
  order.clear();
  for (std::size_t at = 0; at < player->received.size();) order.push_back(user(player->received, at));
  QCOMPARE(order, (std::vector<std::string>{"five", "six", "end"}));
}

void TestHandlers::listContinuesWithListMore() {
  MemoryHarness h;
  std::vector<std::unique_ptr<MemoryPeer>> peers;
  for (int i = 1; i <= 20; ++i) {
    peers.push_back(h.NewServer("srv" + std::to_string(i)));
    peers.back()->SendPacket(Bytes({5}) + "Server number " + std::to_string(i) + Bytes({0}) +
                             std::string(60, 'd'));
  }
  QCOMPARE(h.registry->Client(20).Description.size(), std::size_t(60));
  auto player = h.Connect();
  std::vector<std::string> users;
  int start = 1, requests = 0;
  while (start && requests < 10) {
    ++requests;
    player->received.clear();
    player->SendPacket(Bytes({3, start}));
    QVERIFY(player->received.size() >= 4 &&
                (player->received.substr(player->received.size() - 4) == ListEnd() ||
                 player->received.substr(player->received.size() - 5, 4) == Bytes({0, 3, 0xFF, 3})));
    const std::string& r = player->received;
    std::size_t at = 0, entriesEnd = 0;
    start = 0;
    while (at < r.size()) {
      const std::size_t len = DecodeLength(std::string_view(r).substr(at, 2));
      const std::string body = r.substr(at + 2, len);
      if (body[0] == 4) {
        users.push_back(body.substr(1, body.find('\0') - 1));
        entriesEnd = at + len + 2;
      } else if (body == Bytes({0xFF, 0x03, body.size() > 2 ? body[2] : 0}) && len == 3) {
        start = static_cast<unsigned char>(body[2]);
      }
      at += len + 2;
    }
    // Entries are added while the reply is shorter than 1024 bytes.
    QVERIFY(entriesEnd >= 1024 || start == 0);
  }
  QCOMPARE(users.size(), std::size_t(20));
  QVERIFY(requests >= 2);
  for (int i = 1; i <= 20; ++i) QCOMPARE(users[i - 1], "srv" + std::to_string(i));
}

namespace {

// The user names of a reply's entries, then "more N" or "end".
std::vector<std::string> ListReply(const std::string& reply) {
  std::vector<std::string> items;
  for (std::size_t at = 0; at + 2 <= reply.size();) {
    const std::size_t len = DecodeLength(std::string_view(reply).substr(at, 2));
    const std::string body = reply.substr(at + 2, len);
    if (body.size() == 3 && body[0] == char(0xFF) && body[1] == 3)
      items.push_back("more " + std::to_string(static_cast<unsigned char>(body[2])));
    else if (body.size() == 2 && body[0] == char(0xFF) && body[1] == 4)
      items.push_back("end");
    else
      items.push_back(body.substr(1, body.find('\0') - 1));
    at += len + 2;
  }
  return items;
}

bool EndsReply(const std::string& r) {
  const std::string more = Bytes({0, 3, 0xFF, 3});
  return (r.size() >= 4 && r.substr(r.size() - 4) == ListEnd()) ||
         (r.size() >= 5 && r.substr(r.size() - 5, 4) == more);
}

// Servers srv1, srv2, ... whose entries are 256 bytes each, as seen from
// 127.0.0.1 with no players: four of them make exactly 1024 bytes.
std::vector<std::unique_ptr<MemoryPeer>> QuarterKilobyteServers(MemoryHarness& h, int count) {
  std::vector<std::unique_ptr<MemoryPeer>> servers;
  for (int i = 1; i <= count; ++i) {
    servers.push_back(h.NewServer("srv" + std::to_string(i)));
    // 2 + 1 + "srvN" 0 "127.0.0.1" 0 "[0] N" 0 "Unofficial Server: " + description 0
    servers.back()->SendPacket(Bytes({5}) + "N" + Bytes({0}) + std::string(212, 'd'));
  }
  (void)QTest::qWaitFor([&] { return h.registry->Client(count).Description.size() == 212; }, 5000);
  return servers;
}

}  // namespace

// Entries go in while the reply is shorter than 1024 bytes, so one that
// reaches exactly 1024 is followed by ListMore, not by a fifth entry.
void TestHandlers::listCutAtExactly1024Bytes() {
  MemoryHarness h;
  auto servers = QuarterKilobyteServers(h, 5);
  auto player = h.Connect();
  player->SendPacket(Bytes({3, 1}));
  QVERIFY(EndsReply(player->received));
  QCOMPARE(player->received.size(), std::size_t(1024 + 5));
  QCOMPARE(ListReply(player->received),
           (std::vector<std::string>{"srv1", "srv2", "srv3", "srv4", "more 5"}));
}

// The size is tested only when the next server is met: a cut that falls on
// the last server online closes with ListEnd, and ListMore never names a
// player's slot or a free one.
void TestHandlers::listCutNamesOnlyAServer() {
  MemoryHarness h;
  auto servers = QuarterKilobyteServers(h, 4);
  auto player = h.Connect();  // slot 5, after the cut
  player->SendPacket(Bytes({3, 1}));
  QVERIFY(EndsReply(player->received));
  QCOMPARE(ListReply(player->received),
           (std::vector<std::string>{"srv1", "srv2", "srv3", "srv4", "end"}));

  servers.push_back(h.NewServer("srv7"));  // slot 6, with slot 5 a player
  auto late = h.Connect();                // slot 7
  player->Close();                 // slot 5 becomes free
  QVERIFY(!h.registry->Client(5).InUse);
  late->SendPacket(Bytes({3, 1}));
  QVERIFY(EndsReply(late->received));
  QCOMPARE(ListReply(late->received),
           (std::vector<std::string>{"srv1", "srv2", "srv3", "srv4", "more 6"}));
  late->received.clear();
  late->SendPacket(Bytes({3, 6}));
  QVERIFY(EndsReply(late->received));
  QCOMPARE(ListReply(late->received), (std::vector<std::string>{"srv7", "end"}));
}

void TestHandlers::listRefusals() {
  MemoryHarness h;
  auto player = h.Connect();
  player->SendPacket(Bytes({3, 1}));  // nobody online
  QVERIFY(player->Closed());
  QVERIFY(player->received.empty());
  QVERIFY(h.log.lines.empty());
  auto server = h.NewServer("alpha");
  auto zero = h.Connect();
  zero->SendPacket(Bytes({3, 0}));
  QVERIFY(!zero->Closed());
  QVERIFY(zero->received.empty());
  zero->SendPacket(Bytes({3, 1, 1}));
  QVERIFY(zero->Closed());
  auto empty = h.Connect();
  empty->SendPacket(Bytes({3}));
  QVERIFY(empty->Closed());
  auto later = h.Connect();
  later->SendPacket(Bytes({3, 2}));  // nobody at or after slot 2
  QVERIFY(later->Closed());
}

void TestHandlers::bansExactAndNetworks() {
  MemoryHarness h;
  h.db.bans().Add(Ban(1, "127.1.2.0", QDate(2027, 1, 1)));
  h.db.bans().Add(Ban(2, "127.5.0.0", QDate(2027, 1, 1)));
  h.db.bans().Add(Ban(3, "127.9.9.9", std::nullopt));  // no date: never expires
  for (const char* address : {"127.1.2.3", "127.1.2.200", "127.5.77.1", "127.9.9.9"}) {
    auto peer = h.Connect(QHostAddress(QString::fromLatin1(address)));
    QVERIFY(peer->Closed());
    QVERIFY(peer->received.empty());
  }
  QCOMPARE(h.registry->ConnectionCount(), 0);
  QCOMPARE(h.console.Caption(), std::string("The Velkarin Server Registry [0]"));
  QCOMPARE(h.console.Status(), std::string("Accesses/Hour = 0"));
  auto allowed = h.Connect(QHostAddress("127.1.3.1"));
  QCOMPARE(h.registry->ConnectionCount(), 1);
  QVERIFY(!allowed->Closed());
  QCOMPARE(h.db.bans().Count(), 3);
  QVERIFY(h.log.lines.empty());

  QCOMPARE(MaskIP("10.1.2.3", 1), std::string("10.1.2.0"));
  QCOMPARE(MaskIP("10.1.2.3", 2), std::string("10.1.0.0"));
  QCOMPARE(MaskIP("nodots", 1), std::string("nodots"));
  QCOMPARE(MaskIP("a.b", 2), std::string("a.b"));
}

void TestHandlers::bansExpireOnTheirDay() {
  MemoryHarness h;
  h.calendar.today = QDate(2026, 12, 8);
  h.db.bans().Add(Ban(1, "127.0.3.1", QDate(2026, 12, 9)));  // tomorrow
  BanRecord today = Ban(2, "127.0.3.2", QDate(2026, 12, 8));
  today.UnbanDate = QDateTime(QDate(2026, 12, 8), QTime(23, 59, 0));  // any hour today
  h.db.bans().Add(today);
  auto refused = h.Connect(QHostAddress("127.0.3.1"));
  QVERIFY(refused->Closed());
  auto let = h.Connect(QHostAddress("127.0.3.2"));
  QVERIFY(!let->Closed());
  QCOMPARE(h.db.bans().Count(), 1);
  QVERIFY(!h.db.bans().FindByIP("127.0.3.2"));
}

void TestHandlers::expiredExactBanGivesWayToNetworkBanNextTime() {
  MemoryHarness h;
  h.db.bans().Add(Ban(1, "127.0.4.3", QDate(2020, 1, 1)));
  h.db.bans().Add(Ban(2, "127.0.4.0", QDate(2030, 1, 1)));
  auto first = h.Connect(QHostAddress("127.0.4.3"));
  QVERIFY(!first->Closed());
  QCOMPARE(h.db.bans().Count(), 1);
  auto second = h.Connect(QHostAddress("127.0.4.3"));
  QVERIFY(second->Closed());
}

void TestHandlers::selectedServerFollowsArrivals() {
  MemoryHarness h;
  auto a = h.NewServer("alpha");
  auto b = h.NewServer("beta");
  h.console.SelectServer(1);
  b->SendPacket(Bytes({7, 42}));
  QCOMPARE(h.console.Info().Count, std::string("42"));
  QCOMPARE(h.console.Info().ID, std::string("beta"));
  QCOMPARE(h.console.Info().Official, std::string("No"));
  a->SendPacket(Bytes({7, 9}));
  QCOMPARE(h.console.Info().ID, std::string("beta"));
}

// The overflow slot only ever refuses: what its peer sends while the refusal
// has not gone out yet reaches no handler.
void TestHandlers::overflowSlotHandsNothingOn() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  std::vector<std::unique_ptr<MemoryPeer>> players;
  for (int slot = 2; slot <= kRegularSlots; ++slot) players.push_back(h.Connect());
  auto over = h.ConnectNotReading();
  QCOMPARE(over->Slot(), kOverflowSlot);
  const std::vector<std::string> lines = h.log.lines;
  over->SendPacket(Bytes({3, 1}));
  over->SendPacket(Bytes({0}) + AccountPayload("sneaky", "pw"));
  over->SendPacket(Bytes({1}) + AccountPayload("alpha", "secret"));
  QCOMPARE(h.log.lines, lines);
  QVERIFY(!h.db.accounts().Seek("sneaky"));
  QVERIFY(h.registry->Client(kOverflowSlot).Buffer.empty());
  QVERIFY(h.registry->Client(kOverflowSlot).InUse);
  over->SetReading(true);
  QCOMPARE(over->received, Bytes({0x00, 0x02, 0x00, 0x04}));
  QVERIFY(over->Closed());
  QVERIFY(!h.registry->Client(kOverflowSlot).InUse);
  QVERIFY(!server->Closed());
}

QTEST_GUILESS_MAIN(TestHandlers)
#include "test_handlers.moc"
