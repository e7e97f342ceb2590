// The registry and the servers online: status, servers, message, boot, god,
// allow-new-accounts, backup, shutdown.
#include "ctl/Bus.h"
#include "ctl/CommandLine.h"
#include "ctl/Commands.h"
#include "ctl/Output.h"

#include <QDBusArgument>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

namespace ctl {

namespace {

struct Server {
  qint16 slot = 0;
  QString user, ip;
  uchar players = 0;
  QString name;
  uchar official = 0;
  QString description, updateUrl;
};

// ListServers: a(nssysyss), in slot order.
QList<Server> ReadServers(RegistryBus& bus) {
  const QDBusArgument rows = bus.Operator(QStringLiteral("ListServers"), {}, "a(nssysyss)")
                                 .value(0)
                                 .value<QDBusArgument>();
  QList<Server> servers;
  rows.beginArray();
  while (!rows.atEnd()) {
    Server s;
    rows.beginStructure();
    rows >> s.slot >> s.user >> s.ip >> s.players >> s.name >> s.official >> s.description >>
        s.updateUrl;
    rows.endStructure();
    servers << s;
  }
  rows.endArray();
  return servers;
}

QString YesNo(bool yes) { return yes ? QStringLiteral("yes") : QStringLiteral("no"); }

}  // namespace

int Status(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Shows what the registry's main window shows: connections in use, "
                                  "servers online,\nthe accesses per hour, and whether game servers "
                                  "may create accounts."));
  line.AddJson();
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  const QVariantMap p = bus.OperatorProperties();
  const int connections = p.value(QStringLiteral("Connections")).toInt();
  const int online = p.value(QStringLiteral("ServersOnline")).toInt();
  const int rate = p.value(QStringLiteral("AccessesPerHour")).toInt();
  const bool allow = p.value(QStringLiteral("AllowNewAccounts")).toBool();
  if (line.Json()) {
    PrintJson(QJsonObject{{QStringLiteral("connections"), connections},
                          {QStringLiteral("serversOnline"), online},
                          {QStringLiteral("accessesPerHour"), rate},
                          {QStringLiteral("allowNewAccounts"), allow}});
    return kSucceeded;
  }
  Fields f;
  f.Add(QStringLiteral("Connections"), QString::number(connections));
  f.Add(QStringLiteral("Servers online"), QString::number(online));
  f.Add(QStringLiteral("Accesses/hour"), QString::number(rate));
  f.Add(QStringLiteral("New accounts"), allow ? QStringLiteral("allowed") : QStringLiteral("not allowed"));
  f.Print();
  return kSucceeded;
}

int Servers(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Lists the game servers online in slot order. The JSON also holds "
                                  "each server's\ndescription and update address."));
  line.AddJson();
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  const QList<Server> servers = ReadServers(bus);
  if (line.Json()) {
    QJsonArray list;
    for (const Server& s : servers)
      list << QJsonObject{{QStringLiteral("slot"), s.slot},
                          {QStringLiteral("user"), s.user},
                          {QStringLiteral("address"), s.ip},
                          {QStringLiteral("players"), s.players},
                          {QStringLiteral("name"), s.name},
                          {QStringLiteral("official"), s.official},
                          {QStringLiteral("description"), s.description},
                          {QStringLiteral("updateUrl"), s.updateUrl}};
    PrintJson(list);
    return kSucceeded;
  }
  Table table({QStringLiteral("SLOT"), QStringLiteral("USER"), QStringLiteral("ADDRESS"),
               QStringLiteral("PLAYERS"), QStringLiteral("OFFICIAL"), QStringLiteral("NAME")});
  for (const Server& s : servers)
    table.Add({QString::number(s.slot), s.user, s.ip, QString::number(s.players),
               YesNo(s.official != 0), s.name});
  table.Print();
  return kSucceeded;
}

int Message(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Sends TEXT to the server logged in as USER, or without --to to "
                                  "every server online\n(as the console's \"<All Online Servers>\"; "
                                  "that is written to the event log). Several\nwords are joined with "
                                  "spaces."));
  line.AddArgument(QStringLiteral("TEXT"), QStringLiteral("The message."), QStringLiteral("TEXT..."));
  line.AddOption({QStringLiteral("to"), QStringLiteral("Only to the server logged in as USER."),
                  QStringLiteral("USER")});
  line.Parse(args, 1, -1);
  const QString text = line.Arguments().join(QLatin1Char(' '));
  RegistryBus bus(line.Bus());
  if (line.IsSet(QStringLiteral("to")))
    bus.Operator(QStringLiteral("SendMessageTo"), {line.Value(QStringLiteral("to")), text});
  else
    bus.Control(QStringLiteral("SendMessageToAll"), {text}, "s");
  return kSucceeded;
}

int Boot(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Ends the connection of the server logged in as USER, as the "
                                  "console's \"Disconnect\"."));
  line.AddArgument(QStringLiteral("USER"), QStringLiteral("The server's account user name."));
  line.Parse(args, 1, 1);
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("Disconnect"), {line.Argument(0)});
  return kSucceeded;
}

int God(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Asks the server logged in as USER to make its user NAME a god, as "
                                  "the console's \"Add God\"."));
  line.AddArgument(QStringLiteral("USER"), QStringLiteral("The server's account user name."));
  line.AddArgument(QStringLiteral("NAME"), QStringLiteral("The user on that server, exactly as "
                                                          "typed."));
  line.Parse(args, 2, 2);
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("AddGod"), {line.Argument(0), line.Argument(1)});
  return kSucceeded;
}

int AllowNewAccounts(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Sets the check mark of \"Accounts > Allow New Accounts\": whether "
                                  "game servers may\ncreate accounts. Without an argument, prints "
                                  "\"on\" or \"off\". The AutoAllow setting for\nthe next start stays "
                                  "as it is."));
  line.AddArgument(QStringLiteral("on|off"), QString());
  line.Parse(args, 0, 1);
  const QString state = line.Argument(0);
  if (!state.isEmpty() && state != QLatin1String("on") && state != QLatin1String("off"))
    throw Failure{kFailed, QStringLiteral("Say on or off, not '%1'.").arg(state)};
  RegistryBus bus(line.Bus());
  if (state.isEmpty()) {
    const bool on = bus.OperatorProperties().value(QStringLiteral("AllowNewAccounts")).toBool();
    PrintLine(on ? QStringLiteral("on") : QStringLiteral("off"));
    return kSucceeded;
  }
  bus.SetOperatorProperty(QStringLiteral("AllowNewAccounts"), state == QLatin1String("on"));
  return kSucceeded;
}

int Backup(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Writes a consistent copy of the registry's database (zvlt.dat) "
                                  "to FILE while it keeps\nserving. The registry writes the file "
                                  "itself, so its folder must be writable by the\nregistry's user; "
                                  "the copy is readable by that user and its group only. A file\n"
                                  "already there is replaced once the copy is complete."));
  line.AddArgument(QStringLiteral("FILE"), QStringLiteral("Where the copy goes; a relative path "
                                                          "is taken from here."));
  line.Parse(args, 1, 1);
  const QString path = QFileInfo(line.Argument(0)).absoluteFilePath();
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("Backup"), {path}, "", 10 * 60 * 1000);
  return kSucceeded;
}

int Shutdown(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Stops the registry: every connection is closed, the database is "
                                  "closed and the\nprocess ends. Returns once it has left the bus."));
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  bus.Control(QStringLiteral("ShutdownServer"), {QString()}, "s");
  QDeadlineTimer deadline(10000);
  while (bus.RegistryOnBus()) {
    if (deadline.hasExpired())
      throw Failure{kFailed, QStringLiteral("the registry did not stop within 10 seconds")};
    QThread::msleep(50);
  }
  return kSucceeded;
}

}  // namespace ctl
