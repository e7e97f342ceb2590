// Game servers on the registry's own network: the lines of [AddressMap], the
// address each requester is given for a mapped server (servers and players
// on several loopback addresses, with /32 and /16 maps inside 127.0.0.0/8),
// the 1024-byte cut over addresses of other lengths, the kept replies per
// kind of requester, and everything else still on the real address. The
// peers are played over the in-memory transport; one case runs over TCP,
// where the address a peer is taken to come from is the one its socket
// was bound to.
#include "common/MemoryHarness.h"
#include "common/RegistryHarness.h"
#include "core/AddressMap.h"

#include <QtTest>

using namespace std::string_literals;

namespace {

const std::string kListEnd = Bytes({0x00, 0x02, 0xFF, 0x04});

QHostAddress At(const char* address) { return QHostAddress(QString::fromLatin1(address)); }

IniEntry Line(const std::string& key, const std::string& value) {
  return {key + "=" + value, true, key, value};
}

AddressMap Map(const std::vector<IniEntry>& lines, std::vector<std::string>* warnings = nullptr) {
  return AddressMap::Read(lines, warnings);
}

std::uint32_t Ip(const char* text) { return *ParseIPv4(text); }

// A server made over the wire from the address, in server mode. (In memory
// the reply is there when the send returns and nothing waits; over TCP it
// takes turns of the event loop.)
template <class Harness>
auto ServerFrom(Harness& h, const std::string& user, const char* from) {
  h.console.SetAllowNewAccounts(true);
  auto peer = h.Connect(At(from));
  peer->SendPacket(Bytes({0}) + AccountPayload(user, "secret"));
  (void)QTest::qWaitFor([&] { return h.SlotOf(user) != 0 && !peer->received.empty(); }, 5000);
  peer->received.clear();
  return peer;
}

bool EndsReply(const std::string& r) {
  return (r.size() >= 4 && r.compare(r.size() - 4, 4, kListEnd) == 0) ||
         (r.size() >= 5 && r.compare(r.size() - 5, 4, Bytes({0, 3, 0xFF, 3})) == 0);
}

// One reply to a ListRequest from `start`.
template <class AnyPeer>
std::string Ask(AnyPeer& player, int start = 1) {
  player.received.clear();
  player.SendPacket(Bytes({3, start}));
  (void)QTest::qWaitFor([&] { return EndsReply(player.received); }, 5000);
  return player.received;
}

// "user@address" for each entry, then "more N" or "end".
std::vector<std::string> Entries(const std::string& reply) {
  std::vector<std::string> items;
  for (std::size_t at = 0; at + 2 <= reply.size();) {
    const std::size_t len = DecodeLength(std::string_view(reply).substr(at, 2));
    const std::string body = reply.substr(at + 2, len);
    if (body.size() == 3 && body[0] == char(0xFF) && body[1] == 3) {
      items.push_back("more " + std::to_string(static_cast<unsigned char>(body[2])));
    } else if (body.size() == 2 && body[0] == char(0xFF) && body[1] == 4) {
      items.push_back("end");
    } else {
      const std::size_t userEnd = body.find('\0');
      const std::size_t ipEnd = body.find('\0', userEnd + 1);
      items.push_back(body.substr(1, userEnd - 1) + "@" + body.substr(userEnd + 1, ipEnd - userEnd - 1));
    }
    at += len + 2;
  }
  return items;
}

}  // namespace

class TestAddressMap : public QObject {
  Q_OBJECT
 private slots:
  void readsNetworksAndAddresses();
  void badLinesAreLeftOutWithOneWarningEach();
  void mostSpecificNetworkWins();
  void unreachableAddresses();
  void eachRequesterGetsTheAddressItCanReach();
  void eachRequesterGetsTheAddressItCanReachOverTcp();
  void nestedNetworksDecideByTheServersOwnNetwork();
  void keptRepliesArePerRequesterKind();
  void cutMeasuresTheAddressesSent();
  void everythingElseSeesTheRealAddress();
  void bansAndLimitsOnTheRealAddress();
  void privateAddressWarnedOncePerAddress();
};

void TestAddressMap::readsNetworksAndAddresses() {
  std::vector<std::string> warnings;
  const AddressMap map = Map({Line("192.168.1.0/24", "203.0.113.5"), Line("127.0.0.1", "198.51.100.7"),
                              Line("10.1.2.3/8", "198.51.100.8"), Line("0.0.0.0/0", "198.51.100.9")},
                             &warnings);
  QVERIFY(warnings.empty());
  QCOMPARE(map.Size(), std::size_t(4));
  // Most specific first; the host bits of a network are let go.
  QCOMPARE(map.At(0).base, Ip("127.0.0.1"));
  QCOMPARE(map.At(0).prefix, 32);
  QCOMPARE(map.At(1).base, Ip("192.168.1.0"));
  QCOMPARE(map.At(2).base, Ip("10.0.0.0"));
  QCOMPARE(map.At(2).listed, "198.51.100.8"s);
  QCOMPARE(map.At(3).prefix, 0);
  QVERIFY(map.At(3).Holds(Ip("255.255.255.255")));
  QCOMPARE(map.Match(Ip("10.255.0.1")), 2);
  QCOMPARE(map.Match(Ip("11.0.0.0")), 3);
  QVERIFY(Map({}).Empty());
  QCOMPARE(Map({}).Match(Ip("127.0.0.1")), -1);

  // Strict dotted decimal.
  QVERIFY(ParseIPv4("255.255.255.255") == 0xFFFFFFFFu);
  QVERIFY(ParseIPv4("0.0.0.0") == 0u);
  for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1..3.4",
                          "1.2.3.", "", "1.2.3.1234", "a.b.c.d", "1.2.3.-4"})
    QVERIFY2(!ParseIPv4(bad), bad);
}

void TestAddressMap::badLinesAreLeftOutWithOneWarningEach() {
  std::vector<std::string> warnings;
  IniEntry noEquals{"192.168.1.0/24 203.0.113.5", false, "", ""};
  const AddressMap map = Map({Line("192.168.1.0/33", "203.0.113.5"), Line("192.168.1.0/", "203.0.113.5"),
                              Line("192.168.1.0/08", "203.0.113.5"), Line("192.168.1.0/24", "203.0.113"),
                              Line("192.168.1.0/24", "example.org"), Line("192.168.1.0/24", ""),
                              Line("", "203.0.113.5"), noEquals, Line("127.0.0.0/8", "203.0.113.5"),
                              Line("127.1.2.3/8", "198.51.100.1")},
                             &warnings);
  // The one good line stays; the later line for the same network is left
  // out, as a repeated key of server.ini is.
  QCOMPARE(map.Size(), std::size_t(1));
  QCOMPARE(map.At(0).listed, "203.0.113.5"s);
  QCOMPARE(warnings.size(), std::size_t(9));
  QCOMPARE(warnings[0], "Ignoring the line \"192.168.1.0/33=203.0.113.5\" in [AddressMap] of server.ini: "
                        "it is not NETWORK=PUBLIC (for instance 192.168.1.0/24=203.0.113.5)"s);
  QVERIFY(warnings[7].find("\"192.168.1.0/24 203.0.113.5\"") != std::string::npos);
  QCOMPARE(warnings[8], "Ignoring the line \"127.1.2.3/8=198.51.100.1\" in [AddressMap] of server.ini: "
                        "an earlier line maps the same network"s);
}

void TestAddressMap::mostSpecificNetworkWins() {
  // Written widest first: the order of the lines does not matter.
  const AddressMap map = Map({Line("127.0.0.0/8", "198.51.100.1"), Line("127.0.0.0/16", "198.51.100.2"),
                              Line("127.0.0.2", "198.51.100.3"), Line("127.0.1.0/24", "198.51.100.4")});
  const std::string own = "own";
  const auto outside = 0;
  QCOMPARE(map.ListedTo(Ip("127.0.0.2"), own, outside), "198.51.100.3"s);
  QCOMPARE(map.ListedTo(Ip("127.0.0.3"), own, outside), "198.51.100.2"s);
  QCOMPARE(map.ListedTo(Ip("127.0.1.9"), own, outside), "198.51.100.4"s);
  QCOMPARE(map.ListedTo(Ip("127.0.2.9"), own, outside), "198.51.100.2"s);
  QCOMPARE(map.ListedTo(Ip("127.1.0.1"), own, outside), "198.51.100.1"s);
  QCOMPARE(map.ListedTo(Ip("10.0.0.1"), own, outside), own);
  // A requester inside the server's own network gets its own address,
  // whatever else holds either of them.
  QCOMPARE(map.ListedTo(Ip("127.0.1.9"), own, map.RequesterKind(Ip("127.0.1.200"))), own);
  QCOMPARE(map.ListedTo(Ip("127.0.1.9"), own, map.RequesterKind(Ip("127.0.2.1"))), "198.51.100.4"s);
  QCOMPARE(map.ListedTo(Ip("127.0.2.9"), own, map.RequesterKind(Ip("127.0.1.1"))), own);
  QCOMPARE(map.ListedTo(Ip("127.0.2.9"), own, map.RequesterKind(Ip("127.0.0.2"))), own);
  QCOMPARE(map.ListedTo(Ip("127.0.2.9"), own, map.RequesterKind(Ip("127.9.0.1"))), "198.51.100.2"s);
  QCOMPARE(map.ListedTo(Ip("127.0.0.2"), own, map.RequesterKind(Ip("127.0.0.3"))), "198.51.100.3"s);
  QCOMPARE(map.ListedTo(Ip("127.0.0.2"), own, map.RequesterKind(Ip("127.0.0.2"))), own);
  QCOMPARE(map.ListedTo(Ip("127.0.0.2"), own, map.RequesterKind(Ip("8.8.8.8"))), "198.51.100.3"s);
}

void TestAddressMap::unreachableAddresses() {
  for (const char* yes : {"127.0.0.1", "127.255.255.255", "10.0.0.0", "10.255.255.255", "172.16.0.0",
                          "172.31.255.255", "192.168.0.0", "192.168.255.255", "169.254.0.1",
                          "169.254.255.255", "100.64.0.0", "100.127.255.255"})
    QVERIFY2(IsUnreachableFromInternet(Ip(yes)), yes);
  for (const char* no : {"126.255.255.255", "128.0.0.0", "9.255.255.255", "11.0.0.0", "172.15.255.255",
                         "172.32.0.0", "192.167.255.255", "192.169.0.0", "169.253.255.255", "169.255.0.0",
                         "100.63.255.255", "100.128.0.0", "203.0.113.5", "8.8.8.8"})
    QVERIFY2(!IsUnreachableFromInternet(Ip(no)), no);
}

// The same machine: the server at 127.0.0.2 is listed as the public address
// to a player on another address, and as its own to one on its address.
template <class Harness>
void EachRequesterGetsTheAddressItCanReach() {
  Harness h;
  h.registry->SetAddressMap(Map({Line("127.0.0.2/32", "203.0.113.5")}));
  auto mapped = ServerFrom(h, "mapped", "127.0.0.2");
  auto plain = ServerFrom(h, "plain", "127.0.0.4");
  auto outside = h.Connect(At("127.0.0.3"));
  auto inside = h.Connect(At("127.0.0.2"));
  using Items = std::vector<std::string>;
  QCOMPARE(Entries(Ask(*outside)), (Items{"mapped@203.0.113.5", "plain@127.0.0.4", "end"}));
  QCOMPARE(Entries(Ask(*inside)), (Items{"mapped@127.0.0.2", "plain@127.0.0.4", "end"}));
  // Every other byte of the entry as without a map.
  const std::string reply = Ask(*outside);
  const std::string entry = Bytes({0x00, 0x37, 0x04}) + "mapped" + Bytes({0}) + "203.0.113.5" + Bytes({0}) +
                            "[0] <untitled>" + Bytes({0}) + "Unofficial Server: " + Bytes({0});
  QCOMPARE(reply.substr(0, entry.size()), entry);
  QCOMPARE(h.log.lines.back(), "Server information sent to 127.0.0.3"s);
}

void TestAddressMap::eachRequesterGetsTheAddressItCanReach() {
  EachRequesterGetsTheAddressItCanReach<MemoryHarness>();
}

// Over sockets bound to those addresses: the socket array reads each
// connection's address, in its byte order, from the kernel.
void TestAddressMap::eachRequesterGetsTheAddressItCanReachOverTcp() {
  EachRequesterGetsTheAddressItCanReach<RegistryHarness>();
}

// Maps of 127.0.0.0/16 and of 127.0.0.2/32: each server is judged by the
// most specific network holding it, each player by whether it is inside
// that network.
void TestAddressMap::nestedNetworksDecideByTheServersOwnNetwork() {
  MemoryHarness h;
  h.registry->SetAddressMap(Map({Line("127.0.0.0/16", "198.51.100.1"), Line("127.0.0.2", "203.0.113.5")}));
  auto two = ServerFrom(h, "two", "127.0.0.2");
  auto four = ServerFrom(h, "four", "127.0.0.4");
  auto far = ServerFrom(h, "far", "127.1.0.1");  // in neither network
  auto onTwo = h.Connect(At("127.0.0.2"));
  auto inSixteen = h.Connect(At("127.0.5.5"));
  auto outside = h.Connect(At("127.2.0.1"));
  QCOMPARE(Entries(Ask(*onTwo)),
           (std::vector<std::string>{"two@127.0.0.2", "four@127.0.0.4", "far@127.1.0.1", "end"}));
  QCOMPARE(Entries(Ask(*inSixteen)),
           (std::vector<std::string>{"two@203.0.113.5", "four@127.0.0.4", "far@127.1.0.1", "end"}));
  QCOMPARE(Entries(Ask(*outside)),
           (std::vector<std::string>{"two@203.0.113.5", "four@198.51.100.1", "far@127.1.0.1", "end"}));
  QCOMPARE(h.registry->ListedAddress(h.SlotOf("two")), "203.0.113.5"s);
  QCOMPARE(h.registry->ListedAddress(h.SlotOf("four")), "198.51.100.1"s);
  QCOMPARE(h.registry->ListedAddress(h.SlotOf("far")), "127.1.0.1"s);
}

// Replies are kept per start slot and per kind of requester: asking in turn
// from each kind never hands one kind another's reply, and a change reaches
// every kind.
void TestAddressMap::keptRepliesArePerRequesterKind() {
  MemoryHarness h;
  h.registry->SetAddressMap(Map({Line("127.0.0.2", "203.0.113.5")}));
  auto server = ServerFrom(h, "mapped", "127.0.0.2");
  auto inside = h.Connect(At("127.0.0.2"));
  auto outside = h.Connect(At("127.0.0.3"));
  for (int round = 0; round < 2; ++round) {
    QCOMPARE(Entries(Ask(*outside)), (std::vector<std::string>{"mapped@203.0.113.5", "end"}));
    QCOMPARE(Entries(Ask(*inside)), (std::vector<std::string>{"mapped@127.0.0.2", "end"}));
  }
  server->SendPacket(Bytes({7, 9}));
  QCOMPARE(h.registry->Client(h.SlotOf("mapped")).PlayerCount, std::uint8_t(9));
  QVERIFY(Ask(*inside).find("[9] ") != std::string::npos);
  QVERIFY(Ask(*outside).find("[9] ") != std::string::npos);
  // A new map drops what was kept under the old one.
  h.registry->SetAddressMap(Map({Line("127.0.0.2", "198.51.100.77")}));
  QCOMPARE(Entries(Ask(*outside)), (std::vector<std::string>{"mapped@198.51.100.77", "end"}));
}

// Entries of 256 bytes as their own addresses (127.0.0.2, 9 characters)
// give: four reach exactly 1024 and cut the reply. Listed as 1.2.3.4 (two
// bytes shorter) four make 1016, so a fifth goes in and ListMore names the
// next server after it; listed as 203.100.100.100 (six longer) three reach
// 786 and four 1048.
void TestAddressMap::cutMeasuresTheAddressesSent() {
  MemoryHarness h;
  h.registry->SetAddressMap(Map({Line("127.0.0.2", "1.2.3.4"), Line("127.0.0.5", "203.100.100.100")}));
  std::vector<std::unique_ptr<MemoryPeer>> servers;
  for (int i = 1; i <= 7; ++i) {
    servers.push_back(ServerFrom(h, "srv" + std::to_string(i), "127.0.0.2"));
    // 2 + 1 + "srvN" 0 "127.0.0.2" 0 "[0] N" 0 "Unofficial Server: " + description 0
    servers.back()->SendPacket(Bytes({5}) + "N" + Bytes({0}) + std::string(212, 'd'));
  }
  QCOMPARE(h.registry->Client(7).Description.size(), std::size_t(212));
  auto inside = h.Connect(At("127.0.0.2"));  // slot 8
  auto outside = h.Connect(At("127.0.0.3"));
  std::string reply = Ask(*inside);
  QCOMPARE(reply.size(), std::size_t(1024 + 5));
  QCOMPARE(Entries(reply), (std::vector<std::string>{"srv1@127.0.0.2", "srv2@127.0.0.2", "srv3@127.0.0.2",
                                                     "srv4@127.0.0.2", "more 5"}));
  reply = Ask(*outside);
  QCOMPARE(reply.size(), std::size_t(5 * 254 + 5));
  QCOMPARE(Entries(reply), (std::vector<std::string>{"srv1@1.2.3.4", "srv2@1.2.3.4", "srv3@1.2.3.4",
                                                     "srv4@1.2.3.4", "srv5@1.2.3.4", "more 6"}));
  // Asked on from the index given, the rest comes exactly once.
  QCOMPARE(Entries(Ask(*outside, 6)), (std::vector<std::string>{"srv6@1.2.3.4", "srv7@1.2.3.4", "end"}));
  QCOMPARE(Entries(Ask(*inside, 5)), (std::vector<std::string>{"srv5@127.0.0.2", "srv6@127.0.0.2",
                                                               "srv7@127.0.0.2", "end"}));

  // Longer addresses cut earlier: servers from 127.0.0.5, 256 bytes each as
  // themselves, are 262 as listed.
  for (int i = 1; i <= 7; ++i) h.registry->DisconnectClient(h.SlotOf("srv" + std::to_string(i)));
  h.Settle();
  std::vector<std::unique_ptr<MemoryPeer>> wide;
  for (int i = 1; i <= 5; ++i) {
    wide.push_back(ServerFrom(h, "wid" + std::to_string(i), "127.0.0.5"));
    wide.back()->SendPacket(Bytes({5}) + "N" + Bytes({0}) + std::string(212, 'd'));
  }
  QCOMPARE(h.registry->Client(h.SlotOf("wid5")).Description.size(), std::size_t(212));
  reply = Ask(*outside);
  QCOMPARE(reply.size(), std::size_t(4 * 262 + 5));
  const int fifth = h.SlotOf("wid5");
  QCOMPARE(Entries(reply).back(), "more " + std::to_string(fifth));
  QCOMPARE(Entries(Ask(*outside, fifth)), (std::vector<std::string>{"wid5@203.100.100.100", "end"}));
}

// The log, the console's labels, the record and the requester's line keep
// the connection's own address.
void TestAddressMap::everythingElseSeesTheRealAddress() {
  MemoryHarness h;
  h.registry->SetAddressMap(Map({Line("127.0.0.0/16", "203.0.113.5")}));
  auto server = ServerFrom(h, "mapped", "127.0.0.2");
  const int slot = h.SlotOf("mapped");
  QCOMPARE(h.log.lines.back(), "New account mapped created from 127.0.0.2"s);
  QCOMPARE(h.registry->Client(slot).IP, "127.0.0.2"s);
  h.registry->ShowServerInfo(slot);
  QCOMPARE(h.console.Info().IP, "127.0.0.2"s);
  auto player = h.Connect(At("127.1.0.1"));
  QCOMPARE(Entries(Ask(*player)), (std::vector<std::string>{"mapped@203.0.113.5", "end"}));
  QCOMPARE(h.log.lines.back(), "Server information sent to 127.1.0.1"s);
  server->Close();
  QCOMPARE(h.SlotOf("mapped"), 0);
  QCOMPARE(h.log.lines.back(), "mapped has disconnected from 127.0.0.2"s);
  auto again = h.Connect(At("127.0.0.7"));
  again->SendPacket(Bytes({1}) + AccountPayload("mapped", "secret"));
  QVERIFY(h.SlotOf("mapped") != 0);
  QCOMPARE(h.log.lines.back(), "mapped has connected successfully from 127.0.0.7"s);
}

void TestAddressMap::bansAndLimitsOnTheRealAddress() {
  FloodLimits limits = FloodLimits::Off();
  limits.MaxServersPerIP = 1;
  MemoryHarness h(1000, limits);
  h.registry->SetAddressMap(Map({Line("127.0.0.0/16", "203.0.113.5")}));
  BanRecord onPublic;
  onPublic.Number = 1;
  onPublic.Name = "public";
  onPublic.IP = "203.0.113.5";
  onPublic.UnbanDate = QDateTime(QDate(2030, 1, 1), QTime(0, 0));
  h.db.bans().Add(onPublic);
  // A ban on the listed address touches no server listed with it ...
  auto first = ServerFrom(h, "first", "127.0.0.2");
  QVERIFY(h.SlotOf("first") != 0);
  // ... the limit on servers counts the connection's address, not the
  // address they share in the list ...
  auto second = ServerFrom(h, "second", "127.0.0.3");
  QVERIFY(h.SlotOf("second") != 0);
  auto third = h.Connect(At("127.0.0.2"));
  third->SendPacket(Bytes({0}) + AccountPayload("third", "secret"));
  QVERIFY(third->Closed());
  QCOMPARE(third->received, Bytes({0x00, 0x02, 0x00, 0x04}));
  // ... and a ban on the real address refuses it.
  BanRecord onReal = onPublic;
  onReal.Number = 2;
  onReal.Name = "real";
  onReal.IP = "127.0.0.9";
  h.db.bans().Add(onReal);
  auto banned = h.Connect(At("127.0.0.9"));
  QVERIFY(banned->Closed());
  QVERIFY(banned->received.empty());
}

void TestAddressMap::privateAddressWarnedOncePerAddress() {
  MemoryHarness h;
  h.registry->SetAddressMap(Map({Line("127.0.0.2", "203.0.113.5")}));
  auto mapped = ServerFrom(h, "mapped", "127.0.0.2");
  QVERIFY(h.log.warnings.empty());  // a map applies
  auto one = ServerFrom(h, "one", "127.0.0.3");
  const std::vector<std::string> warned{
      "Game server one is listed with the private address 127.0.0.3: players on the internet cannot "
      "reach it; see [AddressMap] in the README."};
  QCOMPARE(h.log.warnings, warned);
  one->Close();
  QCOMPARE(h.SlotOf("one"), 0);
  // A login (not only a new account) warns; the same address only once.
  auto back = h.Connect(At("127.0.0.3"));
  back->SendPacket(Bytes({1}) + AccountPayload("one", "secret"));
  QVERIFY(h.SlotOf("one") != 0);
  auto two = ServerFrom(h, "two", "127.0.0.3");
  QCOMPARE(h.log.warnings, warned);
  auto login = h.Connect(At("127.0.0.4"));
  h.registry->DisconnectClient(h.SlotOf("two"));
  login->SendPacket(Bytes({1}) + AccountPayload("two", "secret"));
  QCOMPARE(h.log.warnings.size(), std::size_t(2));
  QCOMPARE(h.log.warnings[1], "Game server two is listed with the private address 127.0.0.4: players on the "
                              "internet cannot reach it; see [AddressMap] in the README."s);
  // None of it goes to the event log or to the firewall's lines.
  for (const std::string& line : h.log.lines) QVERIFY(line.find("private address") == std::string::npos);
  QVERIFY(h.log.diagnostics.empty());
}

QTEST_GUILESS_MAIN(TestAddressMap)
#include "test_address_map.moc"
