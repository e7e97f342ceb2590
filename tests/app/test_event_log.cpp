// The event log as a journal reader sees it: one line stays one line
// whatever a peer sent, and list requests of one address are folded on
// standard output to a line a second and a count.
#include "app/EventLog.h"
#include "common/RegistryHarness.h"
#include "core/Text.h"

#include <QtTest>

#include <cstdio>

namespace {

// An echo stream in memory.
struct Captured {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_memstream(&data, &size);
  ~Captured() {
    std::fclose(stream);
    std::free(data);
  }
  std::string Text() {
    std::fflush(stream);
    return std::string(data, size);
  }
};

}  // namespace

class TestEventLog : public QObject {
  Q_OBJECT
 private slots:
  void controlCharactersShownAsEscapes();
  void listRequestsFoldedPerAddressAndSecond();
  void reportsBySeverity();
};

// Every report goes to standard error, escaped, one line each; an error is
// also an event-log line, so the console and log followers see it.
void TestEventLog::reportsBySeverity() {
  Captured out, err;
  EventLog log(true);
  log.SetEchoStream(out.stream);
  log.SetReportStream(err.stream);
  log.Diagnostic("Login refused for x from 127.0.0.1: wrong password");
  log.Warning("Ignoring the line \"x\" in [AddressMap]");
  QVERIFY(log.Lines().empty());
  log.Error("Server information of alpha\n not stored: disk I/O error");
  QCOMPARE(log.Lines().size(), std::size_t(1));
  QCOMPARE(log.Lines().back(), std::string("Server information of alpha\\n not stored: disk I/O error"));
  QCOMPARE(err.Text(), std::string("Login refused for x from 127.0.0.1: wrong password\n"
                                   "Ignoring the line \"x\" in [AddressMap]\n"
                                   "Server information of alpha\\n not stored: disk I/O error\n"));
  QCOMPARE(out.Text(), std::string("Server information of alpha\\n not stored: disk I/O error\n"));
}

void TestEventLog::controlCharactersShownAsEscapes() {
  Captured out;
  EventLog log(true);
  log.SetEchoStream(out.stream);
  log.AddLogLine(std::string("Server Message: two\r\nlines \x1b[2J\\n\x7f\x9d\0end", 39) + "\xe9");
  const std::string shown = "Server Message: two\\r\\nlines \\x1b[2J\\\\n\\x7f\\x9d\\x00end\xe9";
  QCOMPARE(log.Lines().back(), shown);
  QCOMPARE(out.Text(), std::string("Server Message: two\\r\\nlines \\x1b[2J\\\\n\\x7f\\x9d\\x00end\xc3\xa9\n"));
  QCOMPARE(EscapeControls("plain text, nothing to do"), std::string("plain text, nothing to do"));
}

void TestEventLog::listRequestsFoldedPerAddressAndSecond() {
  Captured out;
  FakeClock clock;
  EventLog log(true);
  log.SetClock(clock);
  log.SetEchoStream(out.stream);
  for (int i = 0; i < 5; ++i) log.AddLogLine("Server information sent to 10.0.0.1");
  log.AddLogLine("Server information sent to 10.0.0.2");
  log.AddLogLine("alpha has connected successfully from 10.0.0.1");
  clock.now += 999;
  log.AddLogLine("Server information sent to 10.0.0.1");
  log.FlushFolded();
  QCOMPARE(out.Text(), std::string("Server information sent to 10.0.0.1\n"
                                   "Server information sent to 10.0.0.2\n"
                                   "alpha has connected successfully from 10.0.0.1\n"));
  // The ring keeps every line.
  QCOMPARE(log.Lines().size(), std::size_t(8));
  clock.now += 1;
  log.FlushFolded();
  const std::string more = "5 more list requests from 10.0.0.1 in the last second\n";
  QCOMPARE(out.Text(), std::string("Server information sent to 10.0.0.1\n"
                                   "Server information sent to 10.0.0.2\n"
                                   "alpha has connected successfully from 10.0.0.1\n") + more);
  // The next second starts with a line of its own; a lone line has no count.
  log.AddLogLine("Server information sent to 10.0.0.1");
  clock.now += 1000;
  log.FlushFolded();
  QVERIFY(out.Text().ends_with(more + "Server information sent to 10.0.0.1\n"));
}

QTEST_GUILESS_MAIN(TestEventLog)
#include "test_event_log.moc"
