// The event log: its lines now, or followed as they come.
#include "ctl/Bus.h"
#include "ctl/CommandLine.h"
#include "ctl/Commands.h"
#include "ctl/Output.h"

#include <QCoreApplication>
#include <QDBusServiceWatcher>
#include <QJsonArray>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace ctl {

namespace {

void PrintLogLine(const QString& text, bool json) {
  if (json)
    PrintJson(QJsonValue(text));
  else
    PrintLine(Shown(text));
}

// SIGINT and SIGTERM end the following through a pipe into the event loop.
int g_stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &byte, 1);
}

// Prints each LogLine signal as it arrives.
class Follower : public QObject {
  Q_OBJECT
 public:
  explicit Follower(bool json) : json_(json) {}
 public slots:
  void OnLine(const QString& text) { PrintLogLine(text, json_); }

 private:
  bool json_;
};

// Until SIGINT or SIGTERM (status 0), or until the registry leaves the bus.
int Follow(RegistryBus& bus, bool json) {
  Follower follower(json);
  QDBusConnection& connection = bus.connection();
  connection.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kOperatorInterface),
                     QStringLiteral("LogLine"), &follower, SLOT(OnLine(QString)));
  if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw Failure{kFailed, QStringLiteral("cannot watch for signals")};
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  QSocketNotifier stop(g_stopPipe[0], QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, [] { QCoreApplication::exit(kSucceeded); });
  QDBusServiceWatcher gone(QLatin1String(kService), connection,
                           QDBusServiceWatcher::WatchForUnregistration);
  bool registryLeft = false;
  QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, [&registryLeft] {
    registryLeft = true;
    QCoreApplication::exit(kNotRunning);
  });

  // The lines so far come with the answer; every later one follows it.
  for (const QString& text : bus.Operator(QStringLiteral("FollowLog"), {}, "as").value(0).toStringList())
    PrintLogLine(text, json);
  const int status = QCoreApplication::exec();
  if (registryLeft)
    throw Failure{kNotRunning, QStringLiteral("the registry stopped running on the %1").arg(bus.Name())};
  try {
    bus.Operator(QStringLiteral("UnfollowLog"), {}, "", 2000);
  } catch (const Failure&) {
    // It forgets a follower that leaves the bus anyway.
  }
  return status;
}

}  // namespace

int Log(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Prints the event log, its last 50 lines, oldest first. With -f it "
                                  "then prints each new\nline as it is logged, until interrupted; "
                                  "with --json each line is then one JSON\nstring of its own."));
  line.AddOption({{QStringLiteral("f"), QStringLiteral("follow")},
                  QStringLiteral("Follow the log as lines are added.")});
  line.AddJson();
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  if (line.IsSet(QStringLiteral("follow"))) return Follow(bus, line.Json());
  const QStringList lines = bus.Operator(QStringLiteral("EventLog"), {}, "as").value(0).toStringList();
  if (line.Json()) {
    PrintJson(QJsonArray::fromStringList(lines));
    return kSucceeded;
  }
  for (const QString& text : lines) PrintLine(Shown(text));
  return kSucceeded;
}

}  // namespace ctl

#include "LogCommand.moc"
