// The parts of the HTTP side in the test process: listen addresses and
// networks, the list's order and fields against the game protocol's own
// list reply for the same servers, the JSON and the page's escaping, and
// how often the registry thread publishes.
#include "common/RegistryHarness.h"
#include "web/Gzip.h"
#include "web/Network.h"
#include "web/Page.h"
#include "web/ServerList.h"
#include "web/WebPublisher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <arpa/inet.h>

namespace {

sockaddr_storage Peer4(const char* text) {
  sockaddr_storage s{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&s);
  v4->sin_family = AF_INET;
  inet_pton(AF_INET, text, &v4->sin_addr);
  return s;
}

sockaddr_storage Peer6(const char* text) {
  sockaddr_storage s{};
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&s);
  v6->sin6_family = AF_INET6;
  inet_pton(AF_INET6, text, &v6->sin6_addr);
  return s;
}

bool Allowed(const char* networks, const sockaddr_storage& peer) {
  const auto parsed = ParseNetworks(networks);
  return parsed && InNetworks(*parsed, reinterpret_cast<const sockaddr*>(&peer));
}

// One entry of a list reply as a player's client reads it.
struct WireEntry {
  std::string user, address, players, name, standing, updateUrl;
};

// Follows ListMore from slot 1 to ListEnd, as the game's client does.
std::vector<WireEntry> FetchWholeList(RegistryHarness& h) {
  std::vector<WireEntry> entries;
  auto player = h.Connect();
  int start = 1;
  while (start > 0) {
    player->SendPacket(Bytes({3, start}));
    std::string& in = player->received;
    std::size_t pos = 0;
    start = -1;
    while (start < 0) {
      if (!QTest::qWaitFor([&] { return in.size() >= pos + 2; }, 5000)) return entries;
      const std::size_t n = std::size_t(static_cast<unsigned char>(in[pos])) * 256 + static_cast<unsigned char>(in[pos + 1]);
      if (!QTest::qWaitFor([&] { return in.size() >= pos + 2 + n; }, 5000)) return entries;
      const std::string body = in.substr(pos + 2, n);
      pos += 2 + n;
      if (body[0] == 4) {
        QList<QByteArray> f = QByteArray::fromStdString(body.substr(1)).split('\0');
        const QByteArray count = f[2].mid(1, f[2].indexOf(']') - 1);
        entries.push_back({f[0].toStdString(), f[1].toStdString(), count.toStdString(),
                           f[2].mid(f[2].indexOf("] ") + 2).toStdString(), f[3].toStdString(), f[4].toStdString()});
      } else if (body == std::string("\xFF\x04", 2)) {
        start = 0;
      } else if (body.size() == 3 && body[0] == char(0xFF)) {
        start = static_cast<unsigned char>(body[2]);
      } else {
        return entries;
      }
    }
    in.clear();
  }
  return entries;
}

}  // namespace

class TestWebParts : public QObject {
  Q_OBJECT
 private slots:
  void listenAddresses();
  void networks();
  void orderAndFieldsAreTheGameListsOver_data();
  void orderAndFieldsAreTheGameListsOver();
  void addressMapGivesTheInternetsAddress();
  void jsonCarriesEveryTextAsUtf8();
  void pageEscapesWhatServersSent();
  void serversElsewhereNameTheirRegistry();
  void gzipRoundTrip();
  void publishesAtMostOnceASecond();
};

void TestWebParts::listenAddresses() {
  QVERIFY(ParseListenAddress("off")->off);
  QVERIFY(ParseListenAddress(" OFF ")->off);
  const auto v4 = ParseListenAddress("127.0.0.1:5680");
  QVERIFY(v4 && !v4->off);
  QCOMPARE(AddressText(reinterpret_cast<const sockaddr*>(&v4->address)), std::string("127.0.0.1:5680"));
  const auto v6 = ParseListenAddress("[::]:8080");
  QVERIFY(v6);
  QCOMPARE(int(v6->address.ss_family), AF_INET6);
  QCOMPARE(AddressText(reinterpret_cast<const sockaddr*>(&v6->address)), std::string("[::]:8080"));
  QVERIFY(ParseListenAddress("0.0.0.0:0"));
  for (const char* bad : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "localhost:80", "::1:80", "[::1]",
                          "1.2.3:80", "127.0.0.1:80x"})
    QVERIFY2(!ParseListenAddress(bad), bad);
}

void TestWebParts::networks() {
  QVERIFY(Allowed("127.0.0.0/8", Peer4("127.0.0.1")));
  QVERIFY(Allowed("127.0.0.0/8", Peer4("127.255.0.9")));
  QVERIFY(!Allowed("127.0.0.0/8", Peer4("128.0.0.1")));
  // The prefix ends inside a byte.
  QVERIFY(Allowed("10.0.0.128/25", Peer4("10.0.0.200")));
  QVERIFY(!Allowed("10.0.0.128/25", Peer4("10.0.0.127")));
  QVERIFY(Allowed("10.0.0.5", Peer4("10.0.0.5")));
  QVERIFY(!Allowed("10.0.0.5", Peer4("10.0.0.6")));
  QVERIFY(Allowed("0.0.0.0/0", Peer4("203.0.113.9")));
  QVERIFY(Allowed("10.0.0.0/8, ::1/128", Peer6("::1")));
  QVERIFY(!Allowed("10.0.0.0/8, ::1/128", Peer6("::2")));
  QVERIFY(Allowed("2001:db8::/32", Peer6("2001:db8:1::7")));
  // An IPv4 peer on a socket listening on [::].
  QVERIFY(Allowed("127.0.0.0/8", Peer6("::ffff:127.0.0.2")));
  QVERIFY(!Allowed("::/0", Peer6("::ffff:127.0.0.2")));
  QVERIFY(ParseNetworks("")->empty());
  QVERIFY(!Allowed("", Peer4("127.0.0.1")));
  for (const char* bad : {"127.0.0.0/33", "::/129", "10.0.0/8", "10.0.0.0/x", "10.0.0.0/8,nonsense"})
    QVERIFY2(!ParseNetworks(bad), bad);
}

void TestWebParts::orderAndFieldsAreTheGameListsOver_data() {
  QTest::addColumn<int>("servers");
  QTest::addColumn<QList<int>>("official");
  QTest::addColumn<bool>("exact");
  QTest::newRow("one reply") << 6 << QList<int>{2, 5} << false;
  QTest::newRow("cut into several replies") << 45 << QList<int>{1, 3, 14, 15, 16, 30, 44, 45} << false;
  QTest::newRow("all official") << 30 << QList<int>{} << false;
  // Sixteen entries of 64 bytes make exactly 1024: the official server
  // after them opens the second reply, it is not put in front of the first.
  QTest::newRow("cut at exactly 1024 bytes") << 20 << QList<int>{17} << true;
}

// The same servers, their names, counts and standing, read from the game
// protocol's own reply (every ListMore followed) and from the HTTP side's
// list.
void TestWebParts::orderAndFieldsAreTheGameListsOver() {
  QFETCH(int, servers);
  QFETCH(QList<int>, official);
  QFETCH(bool, exact);
  RegistryHarness h;
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 1; i <= servers; ++i) {
    const std::string user = "server" + std::to_string(i);
    peers.push_back(h.NewServer(user));
    // An entry of 39 bytes besides the user and the name: 64 in all.
    const std::string name = exact ? std::string(25 - user.size(), 'n')
                                   : "Realm " + std::string(std::size_t(i % 7) * 3, 'x') + std::to_string(i);
    const std::string about = exact ? "" : "About " + std::to_string(i);
    peers.back()->SendPacket("\x05" + name + std::string(1, '\0') + about);
    peers.back()->SendPacket(Bytes({7, exact ? 0 : (i * 37) % 256}));
  }
  const std::string last = "server" + std::to_string(servers);
  QTRY_VERIFY(h.registry->Client(h.SlotOf(last)).Name != "<untitled>");
  QTRY_COMPARE(h.registry->Client(h.SlotOf(last)).PlayerCount, std::uint8_t(exact ? 0 : (servers * 37) % 256));
  for (int i = 1; i <= servers; ++i) {
    const bool isOfficial = official.isEmpty() || official.contains(i);
    ClientRecord& c = h.registry->MutableClient(h.SlotOf("server" + std::to_string(i)));
    c.Official = isOfficial ? 1 : 0;
    c.UpdateURL = i % 2 && !exact ? "http://u/" + std::to_string(i) : "";
  }
  const std::vector<WireEntry> wire = FetchWholeList(h);
  const std::vector<ListedServer> listed = ListedServers(*h.registry);
  QCOMPARE(int(wire.size()), servers);
  QCOMPARE(int(listed.size()), servers);
  for (std::size_t i = 0; i < wire.size(); ++i) {
    const WireEntry& w = wire[i];
    const ListedServer& l = listed[i];
    QCOMPARE(l.user, w.user);
    QCOMPARE(l.address, w.address);
    QCOMPARE(std::to_string(l.players), w.players);
    QCOMPARE(l.name, w.name);
    QCOMPARE((l.official ? "Official Server: " : "Unofficial Server: ") + l.description, w.standing);
    QCOMPARE(l.updateUrl, w.updateUrl);
    QCOMPARE(l.slot, h.SlotOf(l.user));
  }
}

// A server on the registry's own network is listed with the address a
// player on the internet is given; its own address goes beside it.
void TestWebParts::addressMapGivesTheInternetsAddress() {
  RegistryHarness h;
  std::vector<std::string> warnings;
  h.registry->SetAddressMap(AddressMap::Read({IniEntry{"127.0.0.0/8=203.0.113.7", true, "127.0.0.0/8", "203.0.113.7"}},
                                             &warnings));
  QVERIFY(warnings.empty());
  auto a = h.NewServer("alpha");
  const std::vector<ListedServer> listed = ListedServers(*h.registry);
  QCOMPARE(int(listed.size()), 1);
  QCOMPARE(listed[0].address, std::string("203.0.113.7"));
  QCOMPARE(listed[0].localAddress, std::string("127.0.0.1"));
  const std::string json = ServerListJson(listed, 0);
  QVERIFY(json.find("\"address\":\"203.0.113.7\",\"localAddress\":\"127.0.0.1\"") != std::string::npos);
  // Without a map there is no localAddress at all.
  h.registry->SetAddressMap(AddressMap());
  QCOMPARE(ListedServers(*h.registry)[0].localAddress, std::string());
  QVERIFY(ServerListJson(ListedServers(*h.registry), 0).find("localAddress") == std::string::npos);
}

void TestWebParts::jsonCarriesEveryTextAsUtf8() {
  ListedServer s;
  s.slot = 3;
  s.user = "quote\"back\\slash";
  s.address = "10.0.0.5";
  s.players = 255;
  s.name = "Caf\xE9 \x80 \x01tab\t";
  s.official = true;
  s.description = "line\nbreak \x9D";
  s.updateUrl = "http://example.org/?a=1&b=<2>";
  ListedServer t;
  t.slot = 9;
  t.user = "other";
  t.players = 4;
  const std::string json = ServerListJson({s, t}, 1765300805);
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
  QCOMPARE(error.error, QJsonParseError::NoError);
  const QJsonObject root = doc.object();
  QCOMPARE(root.value("generated").toString(), QString("2025-12-09T17:20:05Z"));
  QCOMPARE(root.value("serverCount").toInt(), 2);
  QCOMPARE(root.value("playerCount").toInt(), 259);
  const QJsonObject first = root.value("servers").toArray().at(0).toObject();
  QCOMPARE(first.value("slot").toInt(), 3);
  QCOMPARE(first.value("user").toString(), QString("quote\"back\\slash"));
  QCOMPARE(first.value("address").toString(), QString("10.0.0.5"));
  QCOMPARE(first.value("players").toInt(), 255);
  QCOMPARE(first.value("name").toString(), QString::fromUtf8("Caf\u00E9 \u20AC \u0001tab\t"));
  QCOMPARE(first.value("official").toBool(), true);
  QCOMPARE(first.value("description").toString(), QString::fromUtf8("line\nbreak \u009D"));
  QCOMPARE(first.value("updateUrl").toString(), QString("http://example.org/?a=1&b=<2>"));
  QCOMPARE(root.value("servers").toArray().at(1).toObject().value("official").toBool(true), false);
  QCOMPARE(QStringList(first.keys()),
           (QStringList{"address", "description", "name", "official", "players", "slot", "updateUrl", "user"}));
}

void TestWebParts::pageEscapesWhatServersSent() {
  ListedServer s;
  s.user = "evil\"user";
  s.name = "<img src=x onerror=alert(1)>";
  s.description = "'quoted' & \x07";
  s.updateUrl = "javascript:alert(1)";
  s.official = true;
  ListedServer link;
  link.user = "linked";
  link.name = "Linked";
  link.updateUrl = "https://example.org/\"><script>";
  const std::string page = RenderPage({s, link}, 0, PageOrder::Game);
  QVERIFY(page.find("<img") == std::string::npos);
  QVERIFY(page.find("&lt;img src=x onerror=alert(1)&gt;") != std::string::npos);
  QVERIFY(page.find("data-user=\"evil&quot;user\"") != std::string::npos);
  QVERIFY(page.find("&#39;quoted&#39; &amp; \xEF\xBF\xBD") != std::string::npos);
  // Only web addresses become links, and never break out of the attribute.
  QVERIFY(page.find("href=\"javascript") == std::string::npos);
  QVERIFY(page.find("href=\"https://example.org/&quot;&gt;&lt;script&gt;\"") != std::string::npos);
  QVERIFY(page.find("<script>") == std::string::npos);
  QVERIFY(page.find("<span class=\"badge\">Official</span>") != std::string::npos);
  QVERIFY(page.find("<span id=\"serverCount\">2</span>") != std::string::npos);
}

// Where registries share the list: a server at another one is listed with
// the address the list gives for it, and the registry it is at; a server
// here with this registry's name.
void TestWebParts::serversElsewhereNameTheirRegistry() {
  SharedServer remote;
  remote.index = 7;
  remote.instance = "b\"2";
  remote.user = "bravo";
  remote.ip = "10.1.2.3";
  remote.listedIp = "203.0.113.9";
  remote.players = 12;
  remote.name = "Bravo";
  remote.official = 1;
  remote.description = "PvP";
  remote.updateUrl = "http://bravo";
  const ListedServer there = Listed(remote);
  QCOMPARE(there.slot, 0);
  QCOMPARE(there.address, std::string("203.0.113.9"));
  QCOMPARE(there.localAddress, std::string("10.1.2.3"));
  QCOMPARE(there.registry, std::string("b\"2"));
  QVERIFY(there.official);
  QCOMPARE(there.players, 12);
  remote.listedIp = remote.ip;
  QVERIFY(Listed(remote).localAddress.empty());

  ListedServer here;
  here.slot = 4;
  here.user = "alpha";
  here.registry = "a";
  const QJsonArray servers = QJsonDocument::fromJson(QByteArray::fromStdString(ServerListJson({here, there}, 0)))
                                 .object()
                                 .value("servers")
                                 .toArray();
  QCOMPARE(servers.at(0).toObject().value("registry").toString(), QString("a"));
  QCOMPARE(servers.at(1).toObject().value("registry").toString(), QString("b\"2"));
  QCOMPARE(servers.at(1).toObject().value("localAddress").toString(), QString("10.1.2.3"));
  QCOMPARE(servers.at(1).toObject().value("slot").toInt(-1), 0);

  ListedServer alone;
  alone.user = "solo";
  const std::string page = RenderPage({here, there, alone}, 0, PageOrder::Game);
  QVERIFY(page.find("data-user=\"alpha\" data-registry=\"a\" title=\"On registry a\"") != std::string::npos);
  QVERIFY(page.find("data-registry=\"b&quot;2\" title=\"On registry b&quot;2\"") != std::string::npos);
  QVERIFY(page.find("<tr data-user=\"solo\"><td") != std::string::npos);
}

void TestWebParts::gzipRoundTrip() {
  const std::string text = ServerListJson({}, 0) + std::string(5000, 'a');
  const std::string packed = Gzip(text);
  QVERIFY(packed.size() < text.size() / 4);
  QCOMPARE(std::uint8_t(packed[0]), std::uint8_t(0x1F));  // the gzip magic
  QCOMPARE(std::uint8_t(packed[1]), std::uint8_t(0x8B));
  QCOMPARE(Gunzip(packed), text);
}

// The first change after a quiet second goes out at once (within the pass
// of the event loop); the next ones within that second wait for its end,
// together.
void TestWebParts::publishesAtMostOnceASecond() {
  RegistryHarness h;
  SnapshotBox box;
  WebPublisher publisher(*h.registry, h.db, h.console, h.dir.filePath("zvlt.dat"), box);
  publisher.PublishAll();
  const auto first = box.Load()->list;
  QCOMPARE(first->servers, 0);
  QTest::qWait(1100);
  auto a = h.NewServer("alpha");
  QTRY_VERIFY_WITH_TIMEOUT(box.Load()->list != first, 300);
  const auto second = box.Load()->list;
  QCOMPARE(second->servers, 1);
  QElapsedTimer since;
  since.start();
  a->SendPacket(Bytes({7, 12}));
  QTest::qWait(300);
  QCOMPARE(box.Load()->list, second);
  QTRY_VERIFY_WITH_TIMEOUT(box.Load()->list != second, 1500);
  QVERIFY2(since.elapsed() >= 600, "the change waited for the end of the second");
  QCOMPARE(box.Load()->list->players, 12);
  QVERIFY(box.Load()->list->json.plain.find("\"players\":12") != std::string::npos);
  // Figures alone: the list part is kept, not rebuilt.
  const auto list = box.Load()->list;
  auto b = h.Connect();
  publisher.Tick();
  publisher.Tick();
  QCOMPARE(box.Load()->connections, 2);
  QCOMPARE(box.Load()->list, list);
}

QTEST_GUILESS_MAIN(TestWebParts)
#include "test_web_parts.moc"
