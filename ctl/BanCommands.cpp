// IP bans: list, show, add, edit, delete.
#include "ctl/Bus.h"
#include "ctl/CommandLine.h"
#include "ctl/Commands.h"
#include "ctl/Dates.h"
#include "ctl/Output.h"

#include <QDBusArgument>
#include <QJsonArray>
#include <QJsonObject>
#include <optional>

namespace ctl {

namespace {

using Ban = remote::BanRow;

// In number order.
QList<Ban> ReadBans(RegistryBus& bus) {
  return remote::RowsOf<Ban>(bus.Operator(QStringLiteral("ListBans"), {}, remote::kBanRows).value(0));
}

// The first ban (in number order) of that name, letter case ignored by Qt's
// case folding. For names of code page 1252 text that pairs the same letters
// as the registry's own folding (A to Z, the accented letters, and the
// capitals of s and z caron, oe and y diaeresis), so the registry would find
// the same ban; a NAME holding a character outside the code page that Qt
// folds onto a letter of it (the Kelvin sign, the long s) finds a ban here
// although the registry, which cannot hold that character, finds none.
std::optional<Ban> FindBan(RegistryBus& bus, const QString& name) {
  for (const Ban& b : ReadBans(bus))
    if (b.Name.compare(name, Qt::CaseInsensitive) == 0) return b;
  return std::nullopt;
}

QJsonObject Json(const Ban& b) {
  return {{QStringLiteral("number"), b.Number},
          {QStringLiteral("name"), b.Name},
          {QStringLiteral("ip"), b.IP},
          {QStringLiteral("reason"), b.Reason},
          {QStringLiteral("until"), b.UnbanDate.isEmpty() ? QJsonValue() : QJsonValue(b.UnbanDate)}};
}

// --until as the registry takes it: ISO text, or empty for no unban date.
QString UntilArgument(const QString& text) {
  if (text.isEmpty() || text == QLatin1String("never")) return {};
  const std::optional<QDateTime> when = ParseUnbanDate(text);
  if (!when)
    throw Failure{kFailed, QStringLiteral("'%1' is not a date; write 2027-03-19 or 3/19/2027").arg(text)};
  return IsoText(*when);
}

const QCommandLineOption kUntil(QStringLiteral("until"),
                                QStringLiteral("The unban date: 2027-03-19 (a time may follow: "
                                               "2027-03-19T18:00), 3/19/2027 or 3/19/27; "
                                               "'never' for none."),
                                QStringLiteral("DATE"));
const QCommandLineOption kReason(QStringLiteral("reason"), QStringLiteral("Why."),
                                 QStringLiteral("TEXT"));

}  // namespace

int ListBans(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Lists every IP ban in number order. A ban without an unban date "
                                  "never expires.\nSee also: bans show, add, edit, delete."));
  line.AddJson();
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  const QList<Ban> bans = ReadBans(bus);
  if (line.Json()) {
    QJsonArray list;
    for (const Ban& b : bans) list << Json(b);
    PrintJson(list);
    return kSucceeded;
  }
  Table table({QStringLiteral("NUMBER"), QStringLiteral("NAME"), QStringLiteral("IP"),
               QStringLiteral("UNTIL"), QStringLiteral("REASON")});
  for (const Ban& b : bans)
    table.Add({QString::number(b.Number), b.Name, b.IP,
               b.UnbanDate.isEmpty() ? QStringLiteral("never") : ShownDate(b.UnbanDate), b.Reason});
  table.Print();
  return kSucceeded;
}

int ShowBan(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Shows the ban named NAME (letter case ignored)."));
  line.AddArgument(QStringLiteral("NAME"), QStringLiteral("The ban's name."));
  line.AddJson();
  line.Parse(args, 1, 1);
  RegistryBus bus(line.Bus());
  const std::optional<Ban> ban = FindBan(bus, line.Argument(0));
  if (!ban) throw Failure{kFailed, QStringLiteral("Ban name not found in database")};
  if (line.Json()) {
    PrintJson(Json(*ban));
    return kSucceeded;
  }
  Fields f;
  f.Add(QStringLiteral("Number"), QString::number(ban->Number));
  f.Add(QStringLiteral("Name"), ban->Name);
  f.Add(QStringLiteral("IP"), ban->IP);
  f.Add(QStringLiteral("Until"), ban->UnbanDate.isEmpty() ? QStringLiteral("never") : ShownDate(ban->UnbanDate));
  f.Add(QStringLiteral("Reason"), ban->Reason);
  f.Print();
  return kSucceeded;
}

int AddBan(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Bans IP under the name NAME. An IP ending in .0 bans that "
                                  "network (10.1.2.0 covers\n10.1.2.x, 10.1.0.0 covers 10.1.x.y). "
                                  "Without --until the ban never expires."));
  line.AddArgument(QStringLiteral("NAME"), QStringLiteral("A name for the ban, not in use yet."));
  line.AddArgument(QStringLiteral("IP"), QStringLiteral("The address or network."));
  line.AddOption(kUntil);
  line.AddOption(kReason);
  line.Parse(args, 2, 2);
  const QString until = UntilArgument(line.Value(kUntil.names().first()));
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("AddBan"),
               {line.Argument(0), line.Argument(1), until, line.Value(kReason.names().first())});
  return kSucceeded;
}

int EditBan(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Changes the ban NAME: only what is given changes. --until never "
                                  "removes its unban\ndate, --reason '' its reason."));
  line.AddArgument(QStringLiteral("NAME"), QStringLiteral("The ban's name."));
  line.AddOption({QStringLiteral("ip"), QStringLiteral("A new address or network."), QStringLiteral("IP")});
  line.AddOption(kUntil);
  line.AddOption(kReason);
  line.Parse(args, 1, 1);
  const QString untilOption = kUntil.names().first();
  const QString reasonOption = kReason.names().first();
  const QString until = line.IsSet(untilOption) ? UntilArgument(line.Value(untilOption)) : QString();
  RegistryBus bus(line.Bus());
  const std::optional<Ban> ban = FindBan(bus, line.Argument(0));
  if (!ban) throw Failure{kFailed, QStringLiteral("The ban name specified doesn't exist")};
  bus.Operator(QStringLiteral("EditBan"),
               {line.Argument(0), line.IsSet(QStringLiteral("ip")) ? line.Value(QStringLiteral("ip")) : ban->IP,
                line.IsSet(untilOption) ? until : ban->UnbanDate,
                line.IsSet(reasonOption) ? line.Value(reasonOption) : ban->Reason});
  return kSucceeded;
}

int DeleteBan(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name), QStringLiteral("Deletes the ban named NAME."));
  line.AddArgument(QStringLiteral("NAME"), QStringLiteral("The ban's name."));
  line.Parse(args, 1, 1);
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("DeleteBan"), {line.Argument(0)});
  return kSucceeded;
}

}  // namespace ctl
