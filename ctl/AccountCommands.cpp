// Server accounts: list, show, add, edit, delete.
#include "ctl/Bus.h"
#include "ctl/CommandLine.h"
#include "ctl/Commands.h"
#include "ctl/Output.h"
#include "ctl/Terminal.h"

#include <QDBusArgument>
#include <QJsonArray>
#include <QJsonObject>

namespace ctl {

namespace {

using Account = remote::AccountRow;

// ListAccounts comes in pages, and whether more follow after the last user
// name of the page.
QList<Account> ReadAccounts(RegistryBus& bus) {
  QList<Account> accounts;
  bool more = true;
  while (more) {
    const QString after = accounts.isEmpty() ? QString() : accounts.last().User;
    const QVariantList reply =
        bus.Operator(QStringLiteral("ListAccounts"), {after}, (QByteArray(remote::kAccountRows) + "b").constData());
    const QList<Account> page = remote::RowsOf<Account>(reply.value(0));
    accounts << page;
    more = reply.value(1).toBool() && !page.isEmpty();
  }
  return accounts;
}

// One account as the registry has it, the user name as stored.
Account ReadAccount(RegistryBus& bus, const QString& user) {
  Account a;
  bus.Operator(QStringLiteral("GetAccount"), {user}, remote::kAccountRow).value(0).value<QDBusArgument>() >> a;
  return a;
}

QJsonObject Json(const Account& a) {
  return {{QStringLiteral("user"), a.User},
          {QStringLiteral("name"), a.Name},
          {QStringLiteral("description"), a.Description},
          {QStringLiteral("updateUrl"), a.UpdateURL},
          {QStringLiteral("official"), a.Official}};
}

// Asked twice; the two must match, as in the account editor without regard
// to letter case (the registry compares passwords that way).
QString AskPassword() {
  const QString password = AskHidden(QStringLiteral("Password: "));
  const QString again = AskHidden(QStringLiteral("Password again: "));
  if (password.compare(again, Qt::CaseInsensitive) != 0)
    throw Failure{kFailed, QStringLiteral("the two passwords entered do not match")};
  return password;
}

const QCommandLineOption kName(QStringLiteral("name"), QStringLiteral("The server name."),
                               QStringLiteral("NAME"));
const QCommandLineOption kDescription(QStringLiteral("description"),
                                      QStringLiteral("The server's description."),
                                      QStringLiteral("TEXT"));
const QCommandLineOption kUpdateUrl(QStringLiteral("update-url"),
                                    QStringLiteral("Where the server's updates are."),
                                    QStringLiteral("URL"));

}  // namespace

int ListAccounts(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Lists every server account by user name, letter case ignored. "
                                  "Passwords are never\nshown. See also: accounts show, add, edit, "
                                  "delete."));
  line.AddJson();
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  const QList<Account> accounts = ReadAccounts(bus);
  if (line.Json()) {
    QJsonArray list;
    for (const Account& a : accounts) list << Json(a);
    PrintJson(list);
    return kSucceeded;
  }
  Table table({QStringLiteral("USER"), QStringLiteral("OFFICIAL"), QStringLiteral("NAME"),
               QStringLiteral("UPDATE URL")});
  for (const Account& a : accounts)
    table.Add({a.User, a.Official ? QStringLiteral("yes") : QStringLiteral("no"), a.Name, a.UpdateURL});
  table.Print();
  return kSucceeded;
}

int ShowAccount(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Shows the account USER (letter case ignored), without its "
                                  "password."));
  line.AddArgument(QStringLiteral("USER"), QStringLiteral("The account's user name."));
  line.AddJson();
  line.Parse(args, 1, 1);
  RegistryBus bus(line.Bus());
  Account a = ReadAccount(bus, line.Argument(0));
  a.User = line.Argument(0);  // as asked for
  if (line.Json()) {
    PrintJson(Json(a));
    return kSucceeded;
  }
  Fields f;
  f.Add(QStringLiteral("User"), a.User);
  f.Add(QStringLiteral("Name"), a.Name);
  f.Add(QStringLiteral("Description"), a.Description);
  f.Add(QStringLiteral("Update URL"), a.UpdateURL);
  f.Add(QStringLiteral("Official"), a.Official ? QStringLiteral("yes") : QStringLiteral("no"));
  f.Print();
  return kSucceeded;
}

int AddAccount(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Creates the server account USER, unofficial unless --official is "
                                  "given. Without\n--password it asks for the password twice on the "
                                  "terminal. User name and\npassword are 3 to 15 letters, digits or "
                                  "underscores."));
  line.AddArgument(QStringLiteral("USER"), QStringLiteral("The new account's user name."));
  line.AddOption({QStringLiteral("password"), QStringLiteral("The password (else asked for)."),
                  QStringLiteral("PASSWORD")});
  line.AddOption(kName);
  line.AddOption(kDescription);
  line.AddOption(kUpdateUrl);
  line.AddOption({QStringLiteral("official"), QStringLiteral("An official server.")});
  line.Parse(args, 1, 1);
  const QString user = line.Argument(0);
  RegistryBus bus(line.Bus());
  const QString password =
      line.IsSet(QStringLiteral("password")) ? line.Value(QStringLiteral("password")) : AskPassword();
  // The registry holds user name and password to the account editor's rule.
  bus.Operator(QStringLiteral("CreateAccount"),
               {user, password, line.Value(kName.names().first()),
                line.Value(kDescription.names().first()), line.Value(kUpdateUrl.names().first()),
                QVariant::fromValue(uchar(line.IsSet(QStringLiteral("official")) ? 1 : 0))});
  return kSucceeded;
}

int EditAccount(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Changes the account USER: only what is given changes. A server "
                                  "online with it keeps\nwhat it logged in with until it logs in "
                                  "again."));
  line.AddArgument(QStringLiteral("USER"), QStringLiteral("The account's user name."));
  line.AddOption({QStringLiteral("password"), QStringLiteral("A new password."),
                  QStringLiteral("PASSWORD")});
  line.AddOption({QStringLiteral("ask-password"),
                  QStringLiteral("Ask for a new password twice on the terminal.")});
  line.AddOption(kName);
  line.AddOption(kDescription);
  line.AddOption(kUpdateUrl);
  line.AddOption({QStringLiteral("official"), QStringLiteral("Make it an official server.")});
  line.AddOption({QStringLiteral("unofficial"), QStringLiteral("Make it an unofficial server.")});
  line.Parse(args, 1, 1);
  if (line.IsSet(QStringLiteral("official")) && line.IsSet(QStringLiteral("unofficial")))
    throw Failure{kFailed, QStringLiteral("--official and --unofficial exclude each other.")};
  if (line.IsSet(QStringLiteral("password")) && line.IsSet(QStringLiteral("ask-password")))
    throw Failure{kFailed, QStringLiteral("--password and --ask-password exclude each other.")};
  const QString user = line.Argument(0);
  RegistryBus bus(line.Bus());
  const Account stored = ReadAccount(bus, user);
  // An empty password keeps the stored one.
  QString password;
  if (line.IsSet(QStringLiteral("password")) || line.IsSet(QStringLiteral("ask-password")))
    password = line.IsSet(QStringLiteral("password")) ? line.Value(QStringLiteral("password"))
                                                       : AskPassword();
  const auto given = [&](const QCommandLineOption& o, const QString& now) {
    return line.IsSet(o.names().first()) ? line.Value(o.names().first()) : now;
  };
  uchar official = stored.Official;
  if (line.IsSet(QStringLiteral("official"))) official = 1;
  if (line.IsSet(QStringLiteral("unofficial"))) official = 0;
  bus.Operator(QStringLiteral("EditAccount"),
               {user, password, given(kName, stored.Name), given(kDescription, stored.Description),
                given(kUpdateUrl, stored.UpdateURL), QVariant::fromValue(official)});
  return kSucceeded;
}

int DeleteAccount(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Deletes the account USER. As in the console's accounts list, a "
                                  "server online with it\nis disconnected first, so it cannot go on "
                                  "under a deleted account."));
  line.AddArgument(QStringLiteral("USER"), QStringLiteral("The account's user name."));
  line.Parse(args, 1, 1);
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("DeleteAccount"), {line.Argument(0)});
  return kSucceeded;
}

}  // namespace ctl
