// The HTTP server in the test process, serving snapshots the test
// publishes: caching and compression of the list, the page and its files,
// methods and unknown paths, the request-size limit, who may read the
// metrics, the health check, and what one address may hold of it.
#include "Http.h"
#include "core/Counters.h"
#include "web/Gzip.h"
#include "web/HttpServer.h"
#include "web/Page.h"
#include "web/WebPublisher.h"

#include <QTcpServer>
#include <QtTest>

namespace {

std::shared_ptr<const ListSnapshot> MakeList(const std::vector<ListedServer>& servers, std::time_t when) {
  auto list = std::make_shared<ListSnapshot>();
  list->json = Represent(ServerListJson(servers, when));
  list->page = Represent(RenderPage(servers, when, PageOrder::Game));
  list->pageByPlayers = Represent(RenderPage(Ordered(servers, PageOrder::Players), when, PageOrder::Players));
  list->pageByName = Represent(RenderPage(Ordered(servers, PageOrder::Name), when, PageOrder::Name));
  list->servers = int(servers.size());
  return list;
}

std::vector<ListedServer> Servers() {
  ListedServer a;
  a.slot = 1;
  a.user = "alpha";
  a.name = "Zeta realm";
  a.players = 3;
  ListedServer b;
  b.slot = 2;
  b.user = "bravo";
  b.name = "Alpha realm";
  b.players = 9;
  return {a, b};
}

// A connection that the server has closed reads end-of-file.
bool ClosedWithin(QTcpSocket& socket, int ms) {
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    if (socket.state() != QAbstractSocket::ConnectedState) return true;
    socket.waitForReadyRead(50);
    socket.readAll();
  }
  return socket.state() != QAbstractSocket::ConnectedState;
}

}  // namespace

class TestWebServer : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void cleanup();
  void listIsCachedAndCompressed();
  void pageAndItsFiles();
  void methodsAndUnknownPaths();
  void requestHeadOver8KBIs431();
  void metricsOnlyToAllowedNetworks();
  void healthSaysWhyNot();
  void perAddressCapAndSlowClients();
  void listenFailureSaysWhy();

 private:
  void Publish(std::shared_ptr<const ListSnapshot> list, bool listening = true) {
    auto s = std::make_shared<WebSnapshot>();
    s->list = std::move(list);
    s->listening = listening;
    s->connections = 4;
    s->accounts = 17;
    box_.Publish(s);
    box_.Beat(MonotonicMs());
  }
  std::uint16_t Port() const { return server_->Port(); }

  SnapshotBox box_;
  Counters counters_;
  std::unique_ptr<HttpServer> server_;
  std::shared_ptr<const ListSnapshot> list_;
};

void TestWebServer::init() {
  counters_.lastWriteFailed = false;
  list_ = MakeList(Servers(), 1765300805);
  Publish(list_);
  server_ = std::make_unique<HttpServer>(box_, counters_);
  HttpServer::Config config;
  config.listen = *ParseListenAddress("127.0.0.1:0");
  config.maxClientsPerIP = 2;
  config.metricsAllow = *ParseNetworks("127.0.0.1/32, ::1/128");
  config.version = "9.8.7";
  std::string error;
  QVERIFY2(server_->Start(config, &error), error.c_str());
  QVERIFY(Port() != 0);
}

void TestWebServer::cleanup() { server_.reset(); }

void TestWebServer::listIsCachedAndCompressed() {
  const HttpReply plain = Http(Port(), "/servers.json");
  QCOMPARE(plain.status, 200);
  QCOMPARE(plain.body.toStdString(), list_->json.plain);
  QCOMPARE(plain.Header("Content-Type"), QByteArray("application/json; charset=utf-8"));
  QCOMPARE(plain.Header("ETag").toStdString(), list_->json.etag);
  QCOMPARE(plain.Header("Cache-Control"), QByteArray("public, max-age=5"));
  QCOMPARE(plain.Header("Vary"), QByteArray("Accept-Encoding"));
  QCOMPARE(plain.Header("Access-Control-Allow-Origin"), QByteArray("*"));
  QCOMPARE(plain.Header("X-Content-Type-Options"), QByteArray("nosniff"));
  QVERIFY(plain.Header("Content-Encoding").isEmpty());

  const HttpReply zipped = Http(Port(), "/servers.json", {"Accept-Encoding: br, gzip, deflate"});
  QCOMPARE(zipped.status, 200);
  QCOMPARE(zipped.Header("Content-Encoding"), QByteArray("gzip"));
  QCOMPARE(Gunzip(zipped.body.toStdString()), list_->json.plain);
  QVERIFY(zipped.Header("ETag") != plain.Header("ETag"));
  QCOMPARE(Http(Port(), "/servers.json", {"Accept-Encoding: gzip;q=0"}).Header("Content-Encoding"), QByteArray());

  // The validator of either form answers 304, without a body.
  for (const QByteArray& tag : {plain.Header("ETag"), zipped.Header("ETag")}) {
    const HttpReply same = Http(Port(), "/servers.json", {"If-None-Match: " + tag, "Accept-Encoding: gzip"});
    QCOMPARE(same.status, 304);
    QVERIFY(same.body.isEmpty());
    QCOMPARE(same.Header("ETag"), zipped.Header("ETag"));
  }
  QCOMPARE(Http(Port(), "/servers.json", {"If-None-Match: \"other\""}).status, 200);
  const HttpReply head = Http(Port(), "/servers.json", {}, "HEAD");
  QCOMPARE(head.status, 200);
  QVERIFY(head.body.isEmpty());
  QCOMPARE(head.Header("Content-Length").toULongLong(), quint64(list_->json.plain.size()));

  // A new list is a new entity: the old validator no longer matches.
  auto servers = Servers();
  servers[0].players = 4;
  const auto next = MakeList(servers, 1765300806);
  Publish(next);
  const HttpReply changed = Http(Port(), "/servers.json", {"If-None-Match: " + plain.Header("ETag")});
  QCOMPARE(changed.status, 200);
  QCOMPARE(changed.body.toStdString(), next->json.plain);
}

void TestWebServer::pageAndItsFiles() {
  const HttpReply page = Http(Port(), "/", {"Accept-Encoding: gzip"});
  QCOMPARE(page.status, 200);
  QCOMPARE(page.Header("Content-Type"), QByteArray("text/html; charset=utf-8"));
  QCOMPARE(Gunzip(page.body.toStdString()), list_->page.plain);
  const QByteArray csp = page.Header("Content-Security-Policy");
  QVERIFY(csp.contains("default-src 'none'") && csp.contains("script-src 'self'") && csp.contains("style-src 'self'"));
  QCOMPARE(page.Header("X-Content-Type-Options"), QByteArray("nosniff"));
  const QByteArray byName = Http(Port(), "/?sort=name").body;
  QVERIFY(byName.indexOf("Alpha realm") < byName.indexOf("Zeta realm"));
  const QByteArray byPlayers = Http(Port(), "/?sort=players").body;
  QVERIFY(byPlayers.indexOf("Alpha realm") < byPlayers.indexOf("Zeta realm"));  // 9 players before 3
  const QByteArray game = Http(Port(), "/?sort=nonsense").body;
  QVERIFY(game.indexOf("Zeta realm") < game.indexOf("Alpha realm"));
  const HttpReply style = Http(Port(), "/page.css");
  QCOMPARE(style.status, 200);
  QVERIFY(style.Header("Content-Type").startsWith("text/css"));
  QCOMPARE(style.body.toStdString(), PageStyle());
  QVERIFY(style.body.contains("prefers-color-scheme: dark"));
  const HttpReply script = Http(Port(), "/page.js");
  QVERIFY(script.Header("Content-Type").startsWith("text/javascript"));
  QVERIFY(script.body.contains("/servers.json"));
}

void TestWebServer::methodsAndUnknownPaths() {
  for (const QByteArray& method : {QByteArray("POST"), QByteArray("OPTIONS"), QByteArray("PUT"), QByteArray("DELETE")}) {
    const HttpReply reply = Http(Port(), "/servers.json", {"Content-Length: 0"}, method);
    QCOMPARE(reply.status, 405);
    QCOMPARE(reply.Header("Allow"), QByteArray("GET, HEAD"));
  }
  // A body is read and dropped.
  const QByteArray post = "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello";
  QCOMPARE(ParseReply(RawExchange(Port(), post)).status, 405);
  for (const QByteArray& path : {QByteArray("/nothing"), QByteArray("/servers.json/"), QByteArray("/index.html")}) {
    QCOMPARE(Http(Port(), path).status, 404);
    QCOMPARE(Http(Port(), path, {}, "HEAD").status, 404);
  }
  for (const QByteArray& path : {QByteArray("/"), QByteArray("/metrics"), QByteArray("/healthz"), QByteArray("/page.js")})
    QCOMPARE(Http(Port(), path, {}, "HEAD").status, 200);
}

void TestWebServer::requestHeadOver8KBIs431() {
  // Request line, Host and Connection headers: about 60 bytes besides.
  QCOMPARE(Http(Port(), "/servers.json", {"X-Pad: " + QByteArray(8000, 'a')}).status, 200);
  QCOMPARE(Http(Port(), "/servers.json", {"X-Pad: " + QByteArray(8200, 'a')}).status, 431);
  QCOMPARE(Http(Port(), "/servers.json", {"X-A: " + QByteArray(4100, 'a'), "X-B: " + QByteArray(4100, 'b')}).status, 431);
  QCOMPARE(Http(Port(), "/?sort=" + QByteArray(8300, 'n')).status, 431);
  QCOMPARE(Http(Port(), "/" + QByteArray(8300, 'n')).status, 431);
}

void TestWebServer::metricsOnlyToAllowedNetworks() {
  Counters::Add(counters_.loginsAccepted, 3);
  Counters::Add(counters_.refusedTableFull);
  Counters::Add(counters_.listBytes, 4096);
  QCOMPARE(Http(Port(), "/servers.json").status, 200);
  const HttpReply metrics = Http(Port(), "/metrics");
  QCOMPARE(metrics.status, 200);
  QCOMPARE(metrics.Header("Content-Type"), QByteArray("text/plain; version=0.0.4; charset=utf-8"));
  const QByteArray text = metrics.body;
  for (const char* line :
       {"tarnwick_logins_total{result=\"accepted\"} 3\n", "tarnwick_connections_refused_total{reason=\"table_full\"} 1\n",
        "tarnwick_connections_refused_total{reason=\"banned\"} 0\n", "tarnwick_list_sent_bytes_total 4096\n",
        "tarnwick_servers_online 2\n", "tarnwick_connections 4\n", "tarnwick_accounts 17\n",
        "tarnwick_build_info{version=\"9.8.7\"} 1\n",
        "tarnwick_http_requests_total{path=\"/servers.json\",status=\"200\"} 1\n",
        "tarnwick_http_requests_total{path=\"/metrics\",status=\"200\"} 1\n", "# TYPE tarnwick_logins_total counter\n",
        "# TYPE process_resident_memory_bytes gauge\n", "process_cpu_seconds_total ", "process_open_fds ",
        "process_start_time_seconds "})
    QVERIFY2(text.contains(line), line);
  const double started = text.mid(text.indexOf("\nprocess_start_time_seconds ") + 28).split('\n')[0].toDouble();
  QVERIFY2(std::abs(started - double(QDateTime::currentSecsSinceEpoch())) < 3600, text.constData());
  // Every sample line is a name, labels perhaps, and a number.
  for (const QByteArray& line : text.split('\n'))
    if (!line.isEmpty() && !line.startsWith('#'))
      QVERIFY2(QRegularExpression("^[a-z_]+(\\{[a-z_]+=\"[^\"]*\"(,[a-z_]+=\"[^\"]*\")*\\})? [0-9.e+-]+$")
                   .match(QString::fromLatin1(line)).hasMatch(), line.constData());

  const HttpReply outsider = Http(Port(), "/metrics", {}, "GET", QHostAddress("127.0.0.2"));
  QCOMPARE(outsider.status, 403);
  QVERIFY(!outsider.body.contains("tarnwick_"));
  // The list and the page are for everybody.
  QCOMPARE(Http(Port(), "/servers.json", {}, "GET", QHostAddress("127.0.0.2")).status, 200);
  QCOMPARE(Http(Port(), "/", {}, "GET", QHostAddress("127.0.0.2")).status, 200);
  QVERIFY(Http(Port(), "/metrics").body.contains("tarnwick_http_requests_total{path=\"/metrics\",status=\"403\"} 1\n"));
}

void TestWebServer::healthSaysWhyNot() {
  HttpReply health = Http(Port(), "/healthz");
  QCOMPARE(health.status, 200);
  QCOMPARE(health.body, QByteArray("ok\n"));
  counters_.WriteFailed();
  health = Http(Port(), "/healthz");
  QCOMPARE(health.status, 503);
  QCOMPARE(health.body, QByteArray("the last database write failed\n"));
  counters_.WriteSucceeded();
  QCOMPARE(Http(Port(), "/healthz").status, 200);
  Publish(list_, false);
  health = Http(Port(), "/healthz");
  QCOMPARE(health.status, 503);
  QCOMPARE(health.body, QByteArray("not listening on the game port\n"));
  Publish(list_, true);
  box_.Beat(MonotonicMs() - 11000);
  health = Http(Port(), "/healthz");
  QCOMPARE(health.status, 503);
  QVERIFY2(health.body.startsWith("the registry's event loop has not run for 1"), health.body.constData());
  box_.Beat(MonotonicMs() - 9000);
  QCOMPARE(Http(Port(), "/healthz").status, 200);
}

// Two connections from one address: a third is closed at once. One that
// dribbles its head, and one that says nothing, are cut off 10 seconds
// after they opened, while others are served all along.
void TestWebServer::perAddressCapAndSlowClients() {
  QTcpSocket dribbler, idle, third;
  QElapsedTimer opened;
  opened.start();
  dribbler.connectToHost(QHostAddress::LocalHost, Port());
  idle.connectToHost(QHostAddress::LocalHost, Port());
  QVERIFY(dribbler.waitForConnected(2000) && idle.waitForConnected(2000));
  dribbler.write("GET /servers.json HTTP/1.1\r\n");
  dribbler.flush();
  QTest::qWait(200);
  third.connectToHost(QHostAddress::LocalHost, Port());
  QVERIFY(ClosedWithin(third, 2000));
  QCOMPARE(Http(Port(), "/healthz", {}, "GET", QHostAddress("127.0.0.3")).status, 200);

  bool cut = false;
  while (opened.elapsed() < 14000 && !cut) {
    dribbler.write("X");
    dribbler.flush();
    // Served meanwhile, at once, from another address.
    QElapsedTimer asked;
    asked.start();
    QCOMPARE(Http(Port(), "/servers.json", {}, "GET", QHostAddress("127.0.0.4")).status, 200);
    QVERIFY(asked.elapsed() < 1000);
    cut = ClosedWithin(dribbler, 800);
  }
  QVERIFY2(cut, "the dribbling client was cut off");
  QVERIFY2(opened.elapsed() >= 9500, qPrintable(QString::number(opened.elapsed())));
  QVERIFY(ClosedWithin(idle, 2000));
  QVERIFY2(opened.elapsed() < 13000, qPrintable(QString::number(opened.elapsed())));
  // The address has its connections back, once the server has let go of
  // the closed ones (it does so on its next turn, which the client cannot
  // see: under load that may come after the client saw the close).
  box_.Beat(MonotonicMs());
  QTRY_COMPARE_WITH_TIMEOUT(Http(Port(), "/healthz").status, 200, 3000);
}

void TestWebServer::listenFailureSaysWhy() {
  QTcpServer taken;
  QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
  HttpServer other(box_, counters_);
  HttpServer::Config config;
  config.listen = *ParseListenAddress("127.0.0.1:" + std::to_string(taken.serverPort()));
  std::string error;
  QVERIFY(!other.Start(config, &error));
  QCOMPARE(error, std::string("Address already in use"));
  QVERIFY(!other.Running());
  config.listen = *ParseListenAddress("[::1]:0");
  if (other.Start(config, &error)) {
    QCOMPARE(ParseReply(RawExchange(other.Port(), "GET /healthz HTTP/1.0\r\n\r\n", QHostAddress::Null)).status, 0);
  }
}

QTEST_GUILESS_MAIN(TestWebServer)
#include "test_web_server.moc"
