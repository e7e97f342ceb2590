// The registry and the servers online: status, servers, message, boot, god,
// allow-new-accounts, backup, shutdown.
#include "ctl/Bus.h"
#include "ctl/CommandLine.h"
#include "ctl/Commands.h"
#include "ctl/Output.h"

#include <QDBusArgument>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ctl {

namespace {

using Server = remote::ServerRow;

// In slot order; where registries share the list, the other registries'
// servers (slot 0) after this one's.
QList<Server> ReadServers(RegistryBus& bus) {
  return remote::RowsOf<Server>(bus.Operator(QStringLiteral("ListServers"), {}, remote::kServerRows).value(0));
}

// The listed address shows only where it differs from the connection's.
bool Mapped(const Server& s) { return !s.ListedIP.isEmpty() && s.ListedIP != s.IP; }
bool Shared(const Server& s) { return !s.Registry.isEmpty(); }

QJsonObject ServerJson(const Server& s) {
  // A server at another registry holds no slot of this one.
  QJsonObject row{{QStringLiteral("slot"), s.Slot != 0 ? QJsonValue(s.Slot) : QJsonValue()},
                  {QStringLiteral("user"), s.User},
                  {QStringLiteral("address"), s.IP},
                  {QStringLiteral("players"), s.PlayerCount},
                  {QStringLiteral("name"), s.Name},
                  {QStringLiteral("official"), s.Official},
                  {QStringLiteral("description"), s.Description},
                  {QStringLiteral("updateUrl"), s.UpdateURL}};
  if (Mapped(s)) row.insert(QStringLiteral("listedAddress"), s.ListedIP);
  if (Shared(s)) row.insert(QStringLiteral("registry"), s.Registry);
  return row;
}

QString YesNo(bool yes) { return yes ? QStringLiteral("yes") : QStringLiteral("no"); }

[[noreturn]] void CannotWrite(const QString& path, int error) {
  throw Failure{kFailed, QStringLiteral("cannot write %1: %2")
                             .arg(Shown(path), QString::fromLocal8Bit(std::strerror(error)))};
}

// What is at the backup's path now may be replaced: nothing, or a regular
// file. A symbolic link is refused rather than followed or replaced, since
// either may not be what the caller meant, and so is anything else (a
// folder, a device: renaming over /dev/null as root would replace it).
void CheckBackupTarget(const QString& path) {
  struct stat info {};
  if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
    if (errno == ENOENT) return;  // a missing folder shows when the copy is created
    CannotWrite(path, errno);
  }
  if (S_ISLNK(info.st_mode))
    throw Failure{kFailed, QStringLiteral("%1 is a symbolic link; name the file itself, or remove the "
                                          "link (nothing was written)").arg(Shown(path))};
  if (!S_ISREG(info.st_mode))
    throw Failure{kFailed, QStringLiteral("%1 is not a regular file (nothing was written)").arg(Shown(path))};
}

// The name of the copy in progress, for a signal handler to remove it when
// tarnwickctl is stopped meanwhile; empty while there is none.
char gPendingName[PATH_MAX + 1];
volatile std::sig_atomic_t gPending = 0;

extern "C" void RemovePendingAndStop(int signal) {
  if (gPending) ::unlink(gPendingName);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// A new file beside the backup's path that the registry fills through its
// descriptor. It becomes the file at that path with Install(); until then
// every way out removes it, so an older copy there stays untouched.
class PendingCopy {
 public:
  explicit PendingCopy(const QString& path) : path_(path) {
    const QString folder = QFileInfo(path).absolutePath();
    const QString base = QFileInfo(path).fileName();
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      QString suffix;
      for (int i = 0; i < 6; ++i) suffix += QLatin1Char(kLetters[QRandomGenerator::system()->bounded(62)]);
      name_ = QFile::encodeName(folder + QLatin1Char('/') + base + QLatin1Char('.') + suffix);
      if (std::size_t(name_.size()) > PATH_MAX) CannotWrite(path, ENAMETOOLONG);
      // O_EXCL: a name someone else made meanwhile, or a link, is never
      // opened; another is tried.
      fd_ = ::open(name_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
      if (fd_ < 0 && errno != EEXIST) CannotWrite(path, errno);
    }
    if (fd_ < 0) CannotWrite(path, EEXIST);
    std::memcpy(gPendingName, name_.constData(), std::size_t(name_.size()) + 1);
    gPending = 1;
    struct sigaction action {};
    action.sa_handler = RemovePendingAndStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  }
  ~PendingCopy() {
    if (fd_ >= 0) ::close(fd_);
    if (gPending) ::unlink(name_.constData());
    gPending = 0;
  }
  PendingCopy(const PendingCopy&) = delete;
  PendingCopy& operator=(const PendingCopy&) = delete;

  int fd() const { return fd_; }

  // On disk, then under the backup's path, then that name on disk too.
  void Install() {
    if (::fsync(fd_) != 0) CannotWrite(path_, errno);
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) CannotWrite(path_, errno);
    if (::rename(name_.constData(), QFile::encodeName(path_).constData()) != 0) CannotWrite(path_, errno);
    gPending = 0;
    const QString folder = QFileInfo(path_).absolutePath();
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::fsync(dir) == 0;
    const int error = errno;
    if (dir >= 0) ::close(dir);
    if (!synced)
      throw Failure{kFailed, QStringLiteral("the copy is at %1, but its folder could not be synced: %2")
                                 .arg(Shown(path_), QString::fromLocal8Bit(std::strerror(error)))};
  }

 private:
  QString path_;
  QByteArray name_;
  int fd_ = -1;
};

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
                                  "each server's\ndescription and update address. A server that "
                                  "[AddressMap] lists with another address\nshows it under LISTED "
                                  "AS (JSON: listedAddress). Where several registries share the\n"
                                  "list (Database=), REGISTRY names the one each server is logged "
                                  "in at (JSON:\nregistry); the other registries' servers follow "
                                  "this one's, with no slot here."));
  line.AddJson();
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  const QList<Server> servers = ReadServers(bus);
  if (line.Json()) {
    QJsonArray list;
    for (const Server& s : servers) list << ServerJson(s);
    PrintJson(list);
    return kSucceeded;
  }
  // Each column is there only when some server needs it (listed with
  // another address; at a registry sharing the list), so that the usual
  // table stays as narrow as it was.
  const bool anyMapped = std::any_of(servers.begin(), servers.end(), Mapped);
  const bool anyShared = std::any_of(servers.begin(), servers.end(), Shared);
  QStringList headings{QStringLiteral("SLOT")};
  if (anyShared) headings << QStringLiteral("REGISTRY");
  headings << QStringLiteral("USER") << QStringLiteral("ADDRESS");
  if (anyMapped) headings << QStringLiteral("LISTED AS");
  headings << QStringLiteral("PLAYERS") << QStringLiteral("OFFICIAL") << QStringLiteral("NAME");
  Table table(headings);
  for (const Server& s : servers) {
    QStringList cells{s.Slot != 0 ? QString::number(s.Slot) : QStringLiteral("-")};
    if (anyShared) cells << s.Registry;
    cells << s.User << s.IP;
    if (anyMapped) cells << (Mapped(s) ? s.ListedIP : QString());
    cells << QString::number(s.PlayerCount) << YesNo(s.Official != 0) << s.Name;
    table.Add(cells);
  }
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
    bus.Operator(QStringLiteral("SendMessageToAll"), {text});
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
                                  "to FILE while it keeps\nserving. tarnwickctl creates the file "
                                  "itself, with your rights, and hands it to the\nregistry to fill; "
                                  "the copy is readable by you and your group at most (0640).\nA "
                                  "file already at FILE is replaced once the copy is complete and "
                                  "on disk, and\nstays as it was when the backup fails. FILE may "
                                  "not be a symbolic link."));
  line.AddArgument(QStringLiteral("FILE"), QStringLiteral("Where the copy goes; a relative path "
                                                          "is taken from here."));
  line.Parse(args, 1, 1);
  const QString path = QFileInfo(line.Argument(0)).absoluteFilePath();
  CheckBackupTarget(path);
  RegistryBus bus(line.Bus());
  if (!(bus.connection().connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
    throw Failure{kFailed, QStringLiteral("the %1 does not pass file descriptors, which the backup "
                                          "needs").arg(bus.Name())};
  PendingCopy copy(path);
  try {
    bus.Operator(QStringLiteral("Backup"), {QVariant::fromValue(QDBusUnixFileDescriptor(copy.fd()))},
                 "", 10 * 60 * 1000);
  } catch (const Failure& failure) {
    if (failure.status != kFailed) throw;
    throw Failure{kFailed, QStringLiteral("%1 (%2 was left as it was)").arg(failure.message, Shown(path)),
                  failure.error};
  }
  copy.Install();
  return kSucceeded;
}

int Shutdown(const Command& command, const QStringList& args) {
  CommandLine line(QLatin1String(command.name),
                   QStringLiteral("Stops the registry: every connection is closed, the database is "
                                  "closed and the\nprocess ends. Returns once it has left the bus."));
  line.Parse(args, 0, 0);
  RegistryBus bus(line.Bus());
  bus.Operator(QStringLiteral("Shutdown"));
  QDeadlineTimer deadline(10000);
  while (bus.RegistryOnBus()) {
    if (deadline.hasExpired())
      throw Failure{kFailed, QStringLiteral("the registry did not stop within 10 seconds")};
    QThread::msleep(50);
  }
  return kSucceeded;
}

}  // namespace ctl
