// The client table and the framing: slots, the table-full refusal, counters
// and the access rate, the time-outs and keep-alive on a clock the test
// moves, and packets cut at any byte; over the in-memory transport.
#include "common/MemoryHarness.h"

#include <QtTest>

class TestConnections : public QObject {
  Q_OBJECT
 private slots:
  void lengthsEncodeBigEndian();
  void acceptCountsAndCaptions();
  void accessRateScalesToOneHour();
  void accessRateSurvivesZeroSpanAndWrap();
  void accessCountStopsAt100();
  void tableFullRefusal();
  void silentClientDroppedAfter30s();
  void silentServerPingedThenDropped();
  void anyPacketKeepsServerAlive();
  void deadlineSurvivesTickWrap();
  void peerCloseNoticedByScan();
  void clientTimerKeepsScanningWhileIdle();
  void packetSplitAtEveryByte();
  void twoPacketsInOneArrival();
  void lengthLimit();
  void emptyBodySkipped();
  void packetsAfterEndingPacketIgnored();
  void unknownTypesEndConnection();
  void pongRules();
  void disconnectOfUnloggedClientLeavesNoTrace();
  void findClientByUserIgnoresCase();
};

void TestConnections::lengthsEncodeBigEndian() {
  QCOMPARE(EncodeLength(300), Bytes({0x01, 0x2C}));
  QCOMPARE(DecodeLength(Bytes({0x01, 0x2C})), std::size_t(300));
  QCOMPARE(EncodeLength(65535), Bytes({0xFF, 0xFF}));
  QCOMPARE(DecodeLength(Bytes({0xFF, 0xFF})), std::size_t(65535));
  QCOMPARE(EncodeLength(0), Bytes({0, 0}));
}

void TestConnections::acceptCountsAndCaptions() {
  MemoryHarness h;
  auto a = h.Connect();
  auto b = h.Connect();
  QCOMPARE(h.registry->ConnectionCount(), 2);
  QCOMPARE(h.console.Caption(), std::string("The Velkarin Server Registry [2]"));
  QCOMPARE(h.console.TrayTip(), std::string("Kestrune [2]"));
  const ClientRecord& first = h.registry->Client(1);
  QVERIFY(first.InUse);
  QCOMPARE(first.IP, std::string("127.0.0.1"));
  QCOMPARE(first.LastTick, h.clock.now - 50);
  h.registry->DisconnectClient(1);
  QCOMPARE(h.registry->ConnectionCount(), 1);
  QCOMPARE(h.console.Caption(), std::string("The Velkarin Server Registry [1]"));
  // The lowest free slot is taken again.
  auto c = h.Connect();
  QVERIFY(h.registry->Client(1).InUse);
  QTRY_VERIFY(a->Closed());
  QVERIFY(h.log.lines.empty());
}

void TestConnections::accessRateScalesToOneHour() {
  MemoryHarness h(5000);
  h.clock.now += 60000;
  auto a = h.Connect();
  QCOMPARE(h.console.Status(), std::string("Accesses/Hour = 60"));
  h.clock.now += 60000;
  auto b = h.Connect();
  QCOMPARE(h.console.Status(), std::string("Accesses/Hour = 60"));  // 2 in 2 minutes
}

void TestConnections::accessRateSurvivesZeroSpanAndWrap() {
  // Start just before the 32-bit tick wraps; the span is still one minute.
  MemoryHarness h(0xFFFFFFFFu - 1000);
  h.clock.now += 60000;
  auto a = h.Connect();
  QCOMPARE(h.console.Status(), std::string("Accesses/Hour = 60"));
  // Within the same tick as start-up: no division by zero.
  MemoryHarness same(7);
  auto b = same.Connect();
  QVERIFY(same.console.Status().rfind("Accesses/Hour = ", 0) == 0);
}

// The rate counts at most the 100 accesses whose times it keeps: the 101st
// of accesses one second apart still gives 100 in 99 seconds.
// Each comes from an address of its own, as from 101 different players.
void TestConnections::accessCountStopsAt100() {
  MemoryHarness h;
  std::vector<std::unique_ptr<MemoryPeer>> peers;
  const quint32 loopback = QHostAddress(QHostAddress::LocalHost).toIPv4Address();
  for (int i = 1; i <= 101; ++i) {
    h.clock.now += 1000;
    peers.push_back(h.Connect(QHostAddress(loopback + quint32(i))));
    QCOMPARE(h.registry->ConnectionCount(), i);
    if (i == 2) QCOMPARE(h.console.Status(), std::string("Accesses/Hour = 3600"));
  }
  QCOMPARE(h.console.Status(), std::string("Accesses/Hour = 3636"));
}

void TestConnections::tableFullRefusal() {
  MemoryHarness h;
  std::vector<std::unique_ptr<MemoryPeer>> peers;
  for (int i = 0; i < kRegularSlots; ++i) peers.push_back(h.Connect());
  QCOMPARE(h.registry->ConnectionCount(), 255);
  auto extra = h.Connect();
  QTRY_COMPARE(extra->received, Bytes({0x00, 0x02, 0x00, 0x04}));
  QTRY_VERIFY(extra->Closed());
  QTRY_VERIFY(!h.registry->Client(kOverflowSlot).InUse);
  QCOMPARE(h.registry->ConnectionCount(), 255);
  QCOMPARE(h.console.Caption(), std::string("The Velkarin Server Registry [255]"));
  // Two more at once: both refused with the same bytes.
  auto x = h.Connect();
  auto y = h.Connect();
  QTRY_COMPARE(x->received, Bytes({0x00, 0x02, 0x00, 0x04}));
  QTRY_COMPARE(y->received, Bytes({0x00, 0x02, 0x00, 0x04}));
  QTRY_VERIFY(x->Closed() && y->Closed());
  for (auto& p : peers) QVERIFY(!p->Closed());
  QVERIFY(h.log.lines.empty());
}

void TestConnections::silentClientDroppedAfter30s() {
  MemoryHarness h;
  auto peer = h.Connect();
  h.clock.now += 29949;  // accept stamps now - 50
  h.registry->OnClientTimer();
  QVERIFY(h.registry->Client(1).InUse);
  h.clock.now += 1;
  h.registry->OnClientTimer();
  QVERIFY(!h.registry->Client(1).InUse);
  QTRY_VERIFY(peer->Closed());
  QVERIFY(peer->received.empty());
  QVERIFY(h.log.lines.empty());
}

void TestConnections::silentServerPingedThenDropped() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  h.clock.now += 30000;
  h.registry->OnClientTimer();
  QTRY_COMPARE(server->received, Bytes({0x00, 0x02, 0xFF, 0xFF}));
  // One ping per silent period, not one per tick.
  h.clock.now += 10;
  h.registry->OnClientTimer();
  h.clock.now += 24980;
  h.registry->OnClientTimer();
  QVERIFY(h.registry->Client(slot).InUse);
  QTest::qWait(20);
  QCOMPARE(server->received, Bytes({0x00, 0x02, 0xFF, 0xFF}));
  h.clock.now += 10;  // 60 s since the last arrival, 25 s after the ping
  h.registry->OnClientTimer();
  QVERIFY(!h.registry->Client(slot).InUse);
  QTRY_VERIFY(server->Closed());
  QCOMPARE(h.log.lines.back(), std::string("alpha has disconnected from 127.0.0.1"));
  QVERIFY(h.console.ServerLines().empty());
}

void TestConnections::anyPacketKeepsServerAlive() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  h.clock.now += 30000;
  h.registry->OnClientTimer();
  QTRY_COMPARE(server->received, Bytes({0x00, 0x02, 0xFF, 0xFF}));
  h.clock.now += 20000;
  server->SendPacket(Bytes({7, 12}));  // a player count, not a Pong
  QTRY_COMPARE(h.registry->Client(slot).PlayerCount, std::uint8_t(12));
  h.clock.now += 29000;
  h.registry->OnClientTimer();
  QVERIFY(h.registry->Client(slot).InUse);
}

void TestConnections::deadlineSurvivesTickWrap() {
  MemoryHarness h(0xFFFFFFFFu - 100);
  auto peer = h.Connect();
  h.clock.now += 1000;  // wrapped past zero
  h.registry->OnClientTimer();
  QVERIFY(h.registry->Client(1).InUse);
  h.clock.now += 29000;
  h.registry->OnClientTimer();
  QVERIFY(!h.registry->Client(1).InUse);
}

void TestConnections::peerCloseNoticedByScan() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  server->Close();
  QTRY_VERIFY(h.console.ServerLines().empty());
  h.registry->OnClientTimer();
  QCOMPARE(h.registry->ConnectionCount(), 0);
  QCOMPARE(h.log.lines.back(), std::string("alpha has disconnected from 127.0.0.1"));
}

// The timer sleeps between due time-outs, but never for long: a silence
// that reaches its limit is acted on without any other event.
void TestConnections::clientTimerKeepsScanningWhileIdle() {
  MemoryHarness h;
  h.registry->StartClientTimer();
  auto server = h.NewServer("alpha");
  auto player = h.Connect();
  QTest::qWait(50);
  h.clock.now += 30000;
  QTRY_COMPARE_WITH_TIMEOUT(server->received, Bytes({0x00, 0x02, 0xFF, 0xFF}), 3000);
  QTRY_VERIFY_WITH_TIMEOUT(player->Closed(), 3000);
  h.clock.now += 25000;
  QTRY_VERIFY_WITH_TIMEOUT(server->Closed(), 3000);
  h.registry->StopClientTimer();
}

void TestConnections::packetSplitAtEveryByte() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  const std::string packet = Bytes({0x00, 0x0A, 0x05}) + "Alpha" + Bytes({0}) + "Fun";
  for (char byte : packet) h.registry->ProcessData(slot, std::string_view(&byte, 1));
  QCOMPARE(h.registry->Client(slot).Name, std::string("Alpha"));
  QCOMPARE(h.registry->Client(slot).Description, std::string("Fun"));
  QVERIFY(h.registry->Client(slot).Buffer.empty());
  // 00 02 07 leaves three bytes waiting; 0C completes the packet.
  h.registry->ProcessData(slot, Bytes({0x00, 0x02, 0x07}));
  QCOMPARE(h.registry->Client(slot).Buffer.size(), std::size_t(3));
  QCOMPARE(h.registry->Client(slot).PlayerCount, std::uint8_t(0));
  h.registry->ProcessData(slot, Bytes({0x0C}));
  QCOMPARE(h.registry->Client(slot).PlayerCount, std::uint8_t(12));
}

void TestConnections::twoPacketsInOneArrival() {
  MemoryHarness h;
  h.console.SetAllowNewAccounts(true);
  auto peer = h.Connect();
  // A new account and, in the same arrival, a player count that only server
  // mode understands.
  const std::string body = Bytes({0}) + AccountPayload("bob_1", "pw");
  peer->Send(EncodeLength(body.size()) + body + Bytes({0x00, 0x02, 0x07, 0x21}));
  QTRY_VERIFY(h.SlotOf("bob_1") != 0);
  QTRY_COMPARE(h.registry->Client(h.SlotOf("bob_1")).PlayerCount, std::uint8_t(33));
}

void TestConnections::lengthLimit() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  // 511 bytes: a ServerInfo with a 255-byte description and a long name is
  // refused by its handler, so use a ChangePassword that is ignored.
  std::string body(511, 'x');
  body[0] = char(6);
  h.registry->ProcessData(slot, Bytes({0x01, 0xFF}) + body);
  QVERIFY(h.registry->Client(slot).InUse);
  // 512 ends the connection as soon as a third byte is present.
  h.registry->ProcessData(slot, Bytes({0x02, 0x00}));
  QVERIFY(h.registry->Client(slot).InUse);
  h.registry->ProcessData(slot, Bytes({0x05}));
  QVERIFY(!h.registry->Client(slot).InUse);
  QTRY_VERIFY(server->Closed());
}

void TestConnections::emptyBodySkipped() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  // Two bytes alone are not examined, even a zero length.
  h.registry->ProcessData(slot, Bytes({0x00, 0x00}));
  QCOMPARE(h.registry->Client(slot).Buffer.size(), std::size_t(2));
  h.registry->ProcessData(slot, Bytes({0x00, 0x02, 0x07, 0x09}));
  QCOMPARE(h.registry->Client(slot).PlayerCount, std::uint8_t(9));
  QVERIFY(h.registry->Client(slot).Buffer.empty());
}

void TestConnections::packetsAfterEndingPacketIgnored() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  // type 9 ends the connection; the player count after it is never handled.
  h.registry->ProcessData(slot, Bytes({0x00, 0x01, 0x09, 0x00, 0x02, 0x07, 0x05}));
  QVERIFY(!h.registry->Client(slot).InUse);
  QCOMPARE(h.registry->Client(slot).PlayerCount, std::uint8_t(0));
  QVERIFY(h.registry->Client(slot).Buffer.empty());
}

void TestConnections::unknownTypesEndConnection() {
  MemoryHarness h;
  for (int type : {2, 4, 5, 6, 7, 8, 100, 254}) {
    auto peer = h.Connect();
    peer->SendPacket(Bytes({type, 1}));
    QTRY_VERIFY(peer->Closed());
    QVERIFY(peer->received.empty());
  }
  auto server = h.NewServer("alpha");
  for (int type : {0, 1, 3, 4, 8}) {
    const int slot = h.SlotOf("alpha");
    QVERIFY(slot != 0);
    h.registry->ProcessData(slot, Bytes({0x00, 0x02, type, 1}));
    QVERIFY(!h.registry->Client(slot).InUse);
    server = h.LoginServer("alpha", "secret");
  }
  QVERIFY(h.log.lines.size() > 0);
}

void TestConnections::pongRules() {
  MemoryHarness h;
  auto peer = h.Connect();
  peer->Send(Bytes({0x00, 0x01, 0xFF}));
  QTest::qWait(50);
  QVERIFY(!peer->Closed());
  peer->Send(Bytes({0x00, 0x02, 0xFF, 0x00}));
  QTRY_VERIFY(peer->Closed());
  auto server = h.NewServer("alpha");
  const int slot = h.SlotOf("alpha");
  h.registry->ProcessData(slot, Bytes({0x00, 0x01, 0xFF}));
  QVERIFY(h.registry->Client(slot).InUse);
  h.registry->ProcessData(slot, Bytes({0x00, 0x02, 0xFF, 0xFF}));
  QVERIFY(!h.registry->Client(slot).InUse);
}

void TestConnections::disconnectOfUnloggedClientLeavesNoTrace() {
  MemoryHarness h;
  auto server = h.NewServer("alpha");
  auto peer = h.Connect();
  const std::size_t logged = h.log.lines.size();
  h.registry->DisconnectClient(2);
  h.registry->DisconnectClient(2);  // twice is harmless
  QCOMPARE(h.log.lines.size(), logged);
  QCOMPARE(h.console.ServerLines(), std::vector<std::string>{"alpha"});
  QCOMPARE(h.registry->ConnectionCount(), 1);
}

void TestConnections::findClientByUserIgnoresCase() {
  MemoryHarness h;
  auto server = h.NewServer("Alpha");
  QCOMPARE(h.registry->FindClientByUser("ALPHA"), 1);
  QCOMPARE(h.registry->FindClientByUser("alpha"), 1);
  QCOMPARE(h.registry->FindClientByUser("alph"), 0);
  // The list line goes only with the exact spelling.
  h.console.AppendServer("ALPHA");
  h.registry->DisconnectClient(1);
  QCOMPARE(h.console.ServerLines(), std::vector<std::string>{"ALPHA"});
}

QTEST_GUILESS_MAIN(TestConnections)
#include "test_connections.moc"
