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

struct Account {
  QString user, name, description, updateUrl;
  uchar official = 0;
};

// ListAccounts comes in pages: a(ssssy), and whether more follow after the
// last user name of the page.
QList<Account> ReadAccounts(RegistryBus& bus) {
  QList<Account> accounts;
  bool more = true;
  while (more) {
    const QString after = accounts.isEmpty() ? QString() : accounts.last().user;
    const QVariantList reply = bus.Operator(QStringLiteral("ListAccounts"), {after}, "a(ssssy)b");
    const QDBusArgument rows = reply.value(0).value<QDBusArgument>();
    const qsizetype before = accounts.size();
    rows.beginArray();
    while (!rows.atEnd()) {
      Account a;
      rows.beginStructure();
      rows >> a.user >> a.name >> a.description >> a.updateUrl >> a.official;
      rows.endStructure();
      accounts << a;
    }
    rows.endArray();
    more = reply.value(1).toBool() && accounts.size() > before;
  }
  return accounts;
}

QJsonObject Json(const Account& a) {
  return {{QStringLiteral("user"), a.user},
          {QStringLiteral("name"), a.name},
          {QStringLiteral("description"), a.description},
          {QStringLiteral("updateUrl"), a.updateUrl},
          {QStringLiteral("official"), a.official}};
}

// The rule game servers' accounts follow, which the console's account editor
// holds user names and passwords to: 3 to 15 characters, each an ASCII
// letter, digit or underscore.
bool IsAccountText(const QString& text) {
  if (text.size() < 3 || text.size() > 15) return false;
  for (const QChar c : text)
    if (c.unicode() > 127 || !(c.isLetterOrNumber() || c == QLatin1Char('_'))) return false;
  return true;
}

void RequireAccountText(const QString& text) {
  if (!IsAccountText(text))
    throw Failure{kFailed, QStringLiteral("user name and password must be 3 to 15 characters long, "
                                          "each a letter, a digit or the underscore")};
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
    table.Add({a.user, a.official ? QStringLiteral("yes") : QStringLiteral("no"), a.name, a.updateUrl});
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
  const QVariantList data = bus.Control(QStringLiteral("GetAccountData"),
                                        {line.Argument(0), QString(), QString(), QString(), QString(),
                                         QVariant::fromValue(uchar(0))},
                                        "ssssys");
  Account a{line.Argument(0), data.value(1).toString(), data.value(2).toString(),
            data.value(3).toString(), data.value(4).value<uchar>()};
  if (line.Json()) {
    PrintJson(Json(a));
    return kSucceeded;
  }
  Fields f;
  f.Add(QStringLiteral("User"), a.user);
  f.Add(QStringLiteral("Name"), a.name);
  f.Add(QStringLiteral("Description"), a.description);
  f.Add(QStringLiteral("Update URL"), a.updateUrl);
  f.Add(QStringLiteral("Official"), a.official ? QStringLiteral("yes") : QStringLiteral("no"));
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
  RequireAccountText(user);
  RegistryBus bus(line.Bus());
  const QString password =
      line.IsSet(QStringLiteral("password")) ? line.Value(QStringLiteral("password")) : AskPassword();
  RequireAccountText(password);
  bus.Control(QStringLiteral("CreateAccount"),
              {user, password, line.Value(kName.names().first()),
               line.Value(kDescription.names().first()), line.Value(kUpdateUrl.names().first()),
               QVariant::fromValue(uchar(line.IsSet(QStringLiteral("official")) ? 1 : 0))},
              "s");
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
  QVariantList data = bus.Control(QStringLiteral("GetAccountData"),
                                  {user, QString(), QString(), QString(), QString(),
                                   QVariant::fromValue(uchar(0))},
                                  "ssssys");
  // Password, Name, Description, UpdateURL, Official as stored.
  QString password = data.value(0).toString();
  if (line.IsSet(QStringLiteral("password")) || line.IsSet(QStringLiteral("ask-password"))) {
    password = line.IsSet(QStringLiteral("password")) ? line.Value(QStringLiteral("password"))
                                                       : AskPassword();
    RequireAccountText(password);
  }
  const auto given = [&](const QCommandLineOption& o, int stored) {
    return line.IsSet(o.names().first()) ? line.Value(o.names().first()) : data.value(stored).toString();
  };
  uchar official = data.value(4).value<uchar>();
  if (line.IsSet(QStringLiteral("official"))) official = 1;
  if (line.IsSet(QStringLiteral("unofficial"))) official = 0;
  bus.Control(QStringLiteral("EditAccount"),
              {user, password, given(kName, 1), given(kDescription, 2), given(kUpdateUrl, 3),
               QVariant::fromValue(official)},
              "s");
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
  try {
    bus.Operator(QStringLiteral("Disconnect"), {line.Argument(0)});
  } catch (const Failure& failure) {
    if (failure.error != QLatin1String("Tarnwick.Error.NotOnline")) throw;
  }
  bus.Control(QStringLiteral("DeleteAccount"), {line.Argument(0)}, "s");
  return kSucceeded;
}

}  // namespace ctl
