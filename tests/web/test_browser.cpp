// A real browser on the page: Debian's headless Chromium loads / from a
// running registry with three servers online, one of them named to inject
// markup, and the test reads the rendered DOM through the DevTools protocol
// (over a pipe): the three rows in the game's order, the hostile name as
// text, and a fourth server that logs in afterwards shown without a reload.
#include "common/Peer.h"
#include "common/RegistryProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Chromium with --remote-debugging-pipe reads commands on descriptor 3 and
// writes answers and events on 4, each a JSON text ended by a 0 byte.
class Browser {
 public:
  bool Start(const QString& profile) {
    const QString chromium = QStandardPaths::findExecutable("chromium");
    if (chromium.isEmpty()) return false;
    if (pipe2(toBrowser_, O_CLOEXEC) != 0 || pipe2(fromBrowser_, O_CLOEXEC) != 0) return false;
    const int in = toBrowser_[0], out = fromBrowser_[1];
    process_.setChildProcessModifier([in, out] {
      dup2(in, 3);
      dup2(out, 4);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
                              "--disable-background-networking", "--remote-debugging-pipe",
                              "--user-data-dir=" + profile, "about:blank"});
    close(toBrowser_[0]);
    close(fromBrowser_[1]);
    return process_.waitForStarted(10000);
  }
  ~Browser() {
    close(toBrowser_[1]);
    close(fromBrowser_[0]);
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }

  // Sends a command and waits for its answer (events in between are
  // dropped); an empty object when none came in time.
  QJsonObject Call(const QString& method, const QJsonObject& params = {}, const QString& session = {}) {
    QJsonObject command{{"id", ++lastId_}, {"method", method}, {"params", params}};
    if (!session.isEmpty()) command["sessionId"] = session;
    QByteArray text = QJsonDocument(command).toJson(QJsonDocument::Compact);
    text.append('\0');
    if (write(toBrowser_[1], text.constData(), std::size_t(text.size())) != text.size()) return {};
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
      const int end = buffer_.indexOf('\0');
      if (end < 0) {
        pollfd p{fromBrowser_[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char chunk[65536];
        const ssize_t n = read(fromBrowser_[0], chunk, sizeof chunk);
        if (n <= 0) return {};
        buffer_.append(chunk, int(n));
        continue;
      }
      const QJsonObject message = QJsonDocument::fromJson(buffer_.left(end)).object();
      buffer_.remove(0, end + 1);
      if (message.value("id").toInt() == lastId_) return message;
    }
    return {};
  }

  // Evaluates an expression in the page; its value, as JSON.
  QJsonValue Evaluate(const QString& session, const QString& expression) {
    const QJsonObject answer =
        Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session);
    return answer.value("result").toObject().value("result").toObject().value("value");
  }

 private:
  QProcess process_;
  int toBrowser_[2] = {-1, -1};
  int fromBrowser_[2] = {-1, -1};
  int lastId_ = 0;
  QByteArray buffer_;
};

std::unique_ptr<Client> Server(RegistryProcess& registry, const std::string& user, const std::string& name, int players) {
  auto c = std::make_unique<Client>(registry.port);
  c->SendPacket(std::string(1, '\0') + user + std::string(1, '\0') + "secret");
  ReadPacket(*c);
  c->SendPacket("\x05" + name + std::string(1, '\0') + "About " + user);
  c->SendPacket(std::string{7, char(players)});
  return c;
}

const char kRows[] =
    "JSON.stringify([...document.querySelectorAll('#servers tbody tr')].map(r => "
    "[r.dataset.user, r.querySelector('.server').textContent, r.querySelector('.players').textContent]))";

}  // namespace

class TestBrowser : public QObject {
  Q_OBJECT
 private slots:
  void pageInChromium();
};

void TestBrowser::pageInChromium() {
  RegistryProcess registry;
  const std::uint16_t http = FreePort();
  registry.httpListen = "127.0.0.1:" + QString::number(http);
  registry.WriteSettings("[Kestrune]\nAutoAllow=True\n" + kLimitsOff);
  QVERIFY(registry.Start());
  const std::string hostile = "<img src=x onerror=alert(1)>";
  auto a = Server(registry, "alpha", "Alpha Keep", 4);
  auto b = Server(registry, "bravo", hostile, 9);
  auto c = Server(registry, "charlie", "Charlie & Co", 2);
  QTest::qWait(1200);  // the list is published

  Browser browser;
  QTemporaryDir profile;
  if (!browser.Start(profile.path())) QSKIP("chromium is not installed (scripts/install-deps installs it)");
  const QJsonObject target = browser.Call("Target.createTarget", {{"url", "about:blank"}});
  const QString targetId = target.value("result").toObject().value("targetId").toString();
  QVERIFY2(!targetId.isEmpty(), QJsonDocument(target).toJson().constData());
  const QJsonObject attached = browser.Call("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}});
  const QString session = attached.value("result").toObject().value("sessionId").toString();
  QVERIFY(!session.isEmpty());
  browser.Call("Page.enable", {}, session);
  browser.Call("Page.navigate", {{"url", QString("http://127.0.0.1:%1/").arg(http)}}, session);

  const auto rows = [&] { return QJsonDocument::fromJson(browser.Evaluate(session, kRows).toString().toUtf8()).array(); };
  QTRY_COMPARE_WITH_TIMEOUT(rows().size(), 3, 10000);
  // The script has run and rendered the list itself.
  QTRY_VERIFY_WITH_TIMEOUT(browser.Evaluate(session, "document.readyState").toString() == "complete", 5000);
  const QJsonArray three = rows();
  QCOMPARE(three.at(0).toArray().at(0).toString(), QString("alpha"));
  QCOMPARE(three.at(1).toArray().at(0).toString(), QString("bravo"));
  QCOMPARE(three.at(2).toArray().at(0).toString(), QString("charlie"));
  QCOMPARE(three.at(1).toArray().at(1).toString(), QString::fromStdString(hostile));
  QCOMPARE(three.at(2).toArray().at(1).toString(), QString("Charlie & Co"));
  QCOMPARE(three.at(1).toArray().at(2).toString(), QString("9"));
  QCOMPARE(browser.Evaluate(session, "document.querySelectorAll('img').length").toInt(-1), 0);
  QCOMPARE(browser.Evaluate(session, "document.getElementById('serverCount').textContent").toString(), QString("3"));
  QCOMPARE(browser.Evaluate(session, "document.getElementById('playerCount').textContent").toString(), QString("15"));

  // A fourth server: shown within a refresh (10 s), in the same document.
  browser.Evaluate(session, "window.sameDocument = 'yes'");
  auto d = Server(registry, "delta", "Delta", 1);
  QTRY_COMPARE_WITH_TIMEOUT(rows().size(), 4, 15000);
  QCOMPARE(rows().at(3).toArray().at(0).toString(), QString("delta"));
  QCOMPARE(browser.Evaluate(session, "window.sameDocument").toString(), QString("yes"));
  QCOMPARE(browser.Evaluate(session, "document.getElementById('serverCount').textContent").toString(), QString("4"));
  QCOMPARE(browser.Evaluate(session, "document.querySelectorAll('img').length").toInt(-1), 0);

  // Sorting by players happens in place.
  browser.Evaluate(session, "document.querySelector('a[data-sort=players]').click()");
  QCOMPARE(rows().at(0).toArray().at(0).toString(), QString("bravo"));
  QCOMPARE(browser.Evaluate(session, "window.sameDocument").toString(), QString("yes"));
  browser.Call("Browser.close");
  QCOMPARE(registry.Terminate(), 0);
}

QTEST_GUILESS_MAIN(TestBrowser)
#include "test_browser.moc"
