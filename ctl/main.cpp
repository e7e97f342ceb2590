// tarnwickctl: controls a running Velkarin Server Registry over D-Bus, for
// operators of a registry without a desktop. Short subcommands, tables for
// people, --json for scripts. Exit status 0 when it worked, 1 when the
// registry refused or the command line is wrong, 2 when no registry runs on
// the bus.
#include "ctl/Commands.h"
#include "ctl/Failure.h"
#include "ctl/Output.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace ctl {
namespace {

const Command kCommands[] = {
    {"status", "Connections, servers online, accesses per hour, new accounts", Status},
    {"servers", "List the game servers online", Servers},
    {"message", "Send a message to one server (--to USER) or to all online", Message},
    {"boot", "End the connection of a server", Boot},
    {"god", "Ask a server to make one of its users a god", God},
    {"accounts", "List the server accounts", ListAccounts},
    {"accounts list", "List the server accounts", ListAccounts},
    {"accounts show", "Show one account", ShowAccount},
    {"accounts add", "Create an account", AddAccount},
    {"accounts edit", "Change an account", EditAccount},
    {"accounts delete", "Delete an account (disconnecting its server)", DeleteAccount},
    {"bans", "List the IP bans", ListBans},
    {"bans list", "List the IP bans", ListBans},
    {"bans show", "Show one ban", ShowBan},
    {"bans add", "Ban an address or network", AddBan},
    {"bans edit", "Change a ban", EditBan},
    {"bans delete", "Delete a ban", DeleteBan},
    {"log", "Print the event log; -f follows it", Log},
    {"allow-new-accounts", "Let game servers create accounts (on) or not (off)", AllowNewAccounts},
    {"backup", "Write a consistent copy of the database to a file", Backup},
    {"shutdown", "Stop the registry", Shutdown},
};

const Command* Find(const QString& name) {
  for (const Command& c : kCommands)
    if (name == QLatin1String(c.name)) return &c;
  return nullptr;
}

void PrintUsage() {
  QString text = QStringLiteral(
      "Usage: tarnwickctl [--user|--system] COMMAND [options]\n"
      "Controls a running Velkarin Server Registry over D-Bus: on the session bus\n"
      "when DBUS_SESSION_BUS_ADDRESS is set, otherwise on the system bus.\n\nCommands:\n");
  for (const Command& c : kCommands) {
    if (std::strstr(c.name, " list")) continue;
    text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(c.name).leftJustified(20), QLatin1String(c.summary));
  }
  text += QStringLiteral(
      "\n'tarnwickctl COMMAND --help' says more about each. Exit status: 0 done,\n"
      "1 refused or failed, 2 the registry is not running.");
  PrintLine(text);
}

int Run(QStringList args) {
  // Options before the command apply to it as if given after it.
  QStringList leading;
  while (!args.isEmpty() && args.first().startsWith(QLatin1Char('-'))) leading << args.takeFirst();
  if (leading.contains(QStringLiteral("--version"))) {
    PrintLine(QStringLiteral("tarnwickctl ") + QCoreApplication::applicationVersion());
    return kSucceeded;
  }
  if (args.isEmpty()) {
    PrintUsage();
    return leading.contains(QStringLiteral("--help")) || leading.contains(QStringLiteral("-h"))
               ? kSucceeded
               : kFailed;
  }
  const Command* command = nullptr;
  if (args.size() >= 2) command = Find(args[0] + QLatin1Char(' ') + args[1]);
  if (command) {
    args.remove(0, 2);
  } else if ((command = Find(args[0]))) {
    args.removeFirst();
  } else {
    throw Failure{kFailed, QStringLiteral("Unknown command '%1'. Try 'tarnwickctl --help'.").arg(args[0])};
  }
  return command->run(*command, leading + args);
}

}  // namespace
}  // namespace ctl

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("tarnwickctl"));
  QCoreApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));
  int status = ctl::kSucceeded;
  try {
    status = ctl::Run(QCoreApplication::arguments().mid(1));
  } catch (const ctl::Failure& failure) {
    if (!failure.message.isEmpty())
      std::fprintf(stderr, "tarnwickctl: %s\n", failure.message.toLocal8Bit().constData());
    status = failure.status;
  }
  // Everything is said; the program ends without Qt's teardown. Qt's D-Bus
  // thread may still be handling the bus's greeting while the types it needs
  // are torn down, and would print warnings onto standard error.
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}
