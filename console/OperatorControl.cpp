#include "console/OperatorControl.h"

#include "console/ControlShared.h"
#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"

#include <utility>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

using namespace control;

namespace {

// The rows of the three listings, as they cross the bus. A server's IP is
// its connection's own address, ListedIP the one players on the internet
// are given (the same unless the address map maps it).
struct ServerRow {
  qint16 Slot = 0;
  QString User, IP;
  uchar PlayerCount = 0;
  QString Name;
  uchar Official = 0;
  QString Description, UpdateURL, ListedIP;
};
struct AccountRow {
  QString User, Name, Description, UpdateURL;
  uchar Official = 0;
};
struct BanRow {
  uchar Number = 0;
  QString Name, IP, Reason, UnbanDate;
};

QDBusArgument& operator<<(QDBusArgument& a, const ServerRow& r) {
  a.beginStructure();
  a << r.Slot << r.User << r.IP << r.PlayerCount << r.Name << r.Official << r.Description
    << r.UpdateURL << r.ListedIP;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, ServerRow& r) {
  a.beginStructure();
  a >> r.Slot >> r.User >> r.IP >> r.PlayerCount >> r.Name >> r.Official >> r.Description >>
      r.UpdateURL >> r.ListedIP;
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const AccountRow& r) {
  a.beginStructure();
  a << r.User << r.Name << r.Description << r.UpdateURL << r.Official;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, AccountRow& r) {
  a.beginStructure();
  a >> r.User >> r.Name >> r.Description >> r.UpdateURL >> r.Official;
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const BanRow& r) {
  a.beginStructure();
  a << r.Number << r.Name << r.IP << r.Reason << r.UnbanDate;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, BanRow& r) {
  a.beginStructure();
  a >> r.Number >> r.Name >> r.IP >> r.Reason >> r.UnbanDate;
  a.endStructure();
  return a;
}

}  // namespace

Q_DECLARE_METATYPE(ServerRow)
Q_DECLARE_METATYPE(AccountRow)
Q_DECLARE_METATYPE(BanRow)

namespace {

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// ListAccounts answers in pages of this many accounts: each is found on the
// index in a few milliseconds, so a long list never holds up the game
// servers, and even with every text at its longest a page stays far below a
// system bus's message limit (32 MiB).
constexpr int kAccountsPerPage = 2000;

// Unban dates cross this interface as ISO 8601 local time.
constexpr char kIsoDateTime[] = "yyyy-MM-ddTHH:mm:ss";

QString Unicode(const std::optional<std::string>& text) {
  return text ? cp1252::ToUnicode(*text) : QString();
}

std::optional<std::string> NullIfEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

// An UnbanDate argument: empty for none, else an ISO date ("2027-03-19") or
// date and time ("2027-03-19T18:00:00", a space for the T will do).
std::optional<QDateTime> UnbanDateArg(const QString& text) {
  if (text.isEmpty()) return std::nullopt;
  QDateTime when;
  if (text.size() == 10) {
    when = QDateTime(QDate::fromString(text, Qt::ISODate), QTime(0, 0));
  } else {
    QString iso = text;
    if (iso.size() > 10 && iso[10] == QLatin1Char(' ')) iso[10] = QLatin1Char('T');
    when = QDateTime::fromString(iso, Qt::ISODate);
  }
  if (!when.isValid() || when.date().year() < 100)
    throw ControlError{kInvalidDate,
                       QStringLiteral("UnbanDate \"%1\" is not a date of the form 2027-03-19 or "
                                      "2027-03-19T18:00:00")
                           .arg(text)};
  when.setTime(QTime(when.time().hour(), when.time().minute(), when.time().second()));
  return when;
}

}  // namespace

QString control::OperatorInterfaceXml() {
  return InterfaceElement(QStringLiteral(":/Tarnwick.Operator.xml"));
}

// One call: its arguments, already checked against the member's signature,
// and who made it.
class OperatorControl::Call {
 public:
  Call(const QDBusMessage& message, const QDBusConnection& bus)
      : message_(message), values_(message.arguments()), bus_(bus) {}
  QString Text(int i) const { return values_.at(i).toString(); }
  std::string Cp1252(int i, const char* name) const { return Cp1252Arg(Text(i), name); }
  uint UInt(int i) const { return values_.at(i).toUInt(); }
  // The caller's descriptor, -1 when none came. The message's copy of it
  // stays open while the call is handled.
  int Descriptor(int i) const {
    const QDBusUnixFileDescriptor fd = values_.at(i).value<QDBusUnixFileDescriptor>();
    return fd.isValid() ? fd.fileDescriptor() : -1;
  }
  QString Sender() const { return message_.service(); }
  const QDBusConnection& Bus() const { return bus_; }

 private:
  const QDBusMessage& message_;
  const QVariantList values_;
  const QDBusConnection& bus_;
};

struct OperatorControl::Member {
  const char* name;
  const char* signature;  // of the arguments passed in
  QVariantList (OperatorControl::*run)(const Call&);
};

const OperatorControl::Member OperatorControl::kMembers[] = {
    {"ListServers", "", &OperatorControl::ListServers},
    {"ListAccounts", "s", &OperatorControl::ListAccounts},
    {"ListBans", "", &OperatorControl::ListBans},
    {"EventLog", "", &OperatorControl::EventLog},
    {"FollowLog", "", &OperatorControl::FollowLog},
    {"UnfollowLog", "", &OperatorControl::UnfollowLog},
    {"SendMessageTo", "ss", &OperatorControl::SendMessageTo},
    {"Disconnect", "s", &OperatorControl::Disconnect},
    {"AddGod", "ss", &OperatorControl::AddGod},
    {"AddBan", "ssss", &OperatorControl::AddBan},
    {"EditBan", "ssss", &OperatorControl::EditBan},
    {"Backup", "h", &OperatorControl::Backup},
};

OperatorControl::OperatorControl(Registry& registry, Database& db, ConsoleState& console,
                                 QObject* parent)
    : QObject(parent), registry_(registry), db_(db), console_(console) {
  qDBusRegisterMetaType<ServerRow>();
  qDBusRegisterMetaType<QList<ServerRow>>();
  qDBusRegisterMetaType<AccountRow>();
  qDBusRegisterMetaType<QList<AccountRow>>();
  qDBusRegisterMetaType<BanRow>();
  qDBusRegisterMetaType<QList<BanRow>>();
}

QDBusMessage OperatorControl::Handle(const QDBusMessage& message, const QDBusConnection& bus) {
  const Member* member = nullptr;
  for (const Member& m : kMembers)
    if (message.member() == QLatin1String(m.name)) member = &m;
  if (!member)
    return message.createErrorReply(
        QDBusError::UnknownMethod,
        QStringLiteral("%1 has no method %2").arg(QLatin1String(kOperatorInterface), message.member()));
  if (message.signature() != QLatin1String(member->signature))
    return message.createErrorReply(
        QDBusError::InvalidArgs,
        QStringLiteral("%1 takes arguments of type \"%2\", not \"%3\"")
            .arg(QLatin1String(member->name), QLatin1String(member->signature), message.signature()));
  try {
    return message.createReply((this->*member->run)(Call(message, bus)));
  } catch (const ControlError& e) {
    return message.createErrorReply(QLatin1String(e.name), e.text);
  } catch (const DatabaseError& e) {
    return message.createErrorReply(QLatin1String(kDatabaseError), QString::fromUtf8(e.what()));
  } catch (const std::exception& e) {
    return message.createErrorReply(QDBusError::Failed, QString::fromUtf8(e.what()));
  }
}

// --- Properties: the main window's counters ---------------------------------

int OperatorControl::ServersOnline() const {
  int count = 0;
  std::as_const(registry_).ForEachServer([&](int, const ClientRecord&) { ++count; });
  return count;
}

// The rate is what the main window shows: the number in its status text
// "Accesses/Hour = " followed by the rate.
int OperatorControl::AccessesPerHour() const {
  const std::string& status = console_.Status();
  const std::size_t digits = status.find_first_of("0123456789");
  return digits == std::string::npos ? 0 : std::atoi(status.c_str() + digits);
}

QVariantMap OperatorControl::Properties() const {
  return {{QStringLiteral("Connections"), registry_.ConnectionCount()},
          {QStringLiteral("ServersOnline"), ServersOnline()},
          {QStringLiteral("AccessesPerHour"), AccessesPerHour()},
          {QStringLiteral("AllowNewAccounts"), console_.AllowNewAccounts()}};
}

QDBusMessage OperatorControl::HandleProperties(const QDBusMessage& message) {
  const QVariantList args = message.arguments();
  const QString member = message.member();
  const QString signature = message.signature();
  const QVariantMap all = Properties();
  const auto unknown = [&](const QString& name) {
    return message.createErrorReply(
        QDBusError::UnknownProperty,
        QStringLiteral("%1 has no property %2").arg(QLatin1String(kOperatorInterface), name));
  };
  if (member == QLatin1String("GetAll") && signature == QLatin1String("s"))
    return message.createReply(QVariant::fromValue(all));
  if (member == QLatin1String("Get") && signature == QLatin1String("ss")) {
    const QString name = args.at(1).toString();
    if (!all.contains(name)) return unknown(name);
    return message.createReply(QVariant::fromValue(QDBusVariant(all.value(name))));
  }
  if (member == QLatin1String("Set") && signature == QLatin1String("ssv")) {
    const QString name = args.at(1).toString();
    if (!all.contains(name)) return unknown(name);
    if (name != QLatin1String("AllowNewAccounts"))
      return message.createErrorReply(QDBusError::PropertyReadOnly,
                                      QStringLiteral("%1 is read-only").arg(name));
    const QVariant value = args.at(2).value<QDBusVariant>().variant();
    if (value.metaType() != QMetaType::fromType<bool>())
      return message.createErrorReply(QDBusError::InvalidArgs,
                                      QStringLiteral("%1 takes a value of type \"b\"").arg(name));
    // As the menu item "&Allow New Accounts": the check mark only, not the
    // setting that decides it at the next start.
    console_.SetAllowNewAccounts(value.toBool());
    return message.createReply();
  }
  return message.createErrorReply(
      QDBusError::UnknownMethod,
      QStringLiteral("%1.%2 with arguments \"%3\" does not exist")
          .arg(QLatin1String(kPropertiesInterface), member, signature));
}

// --- Listings -------------------------------------------------------------

QVariantList OperatorControl::ListServers(const Call&) {
  QList<ServerRow> rows;
  std::as_const(registry_).ForEachServer([&](int slot, const ClientRecord& c) {
    rows.push_back({qint16(slot), cp1252::ToUnicode(c.User), cp1252::ToUnicode(c.IP),
                    c.PlayerCount, cp1252::ToUnicode(c.Name), c.Official,
                    cp1252::ToUnicode(c.Description), cp1252::ToUnicode(c.UpdateURL),
                    cp1252::ToUnicode(registry_.ListedAddress(slot))});
  });
  return {QVariant::fromValue(rows)};
}

// The accounts after the user name After in User index order (from the
// first when After is empty), and whether more follow: a caller asks again
// with the last user name it got. Each page is read as it is asked for, so an
// account added or deleted meanwhile shows or not depending on where it falls.
QVariantList OperatorControl::ListAccounts(const Call& c) {
  std::vector<AccountRecord> page = db_.accounts().Page(c.Cp1252(0, "After"), kAccountsPerPage + 1);
  const bool more = page.size() > std::size_t(kAccountsPerPage);
  if (more) page.pop_back();
  QList<AccountRow> rows;
  for (const AccountRecord& row : page)
    // Never the password.
    rows.push_back({Unicode(row.User), Unicode(row.Name), Unicode(row.Description),
                    Unicode(row.UpdateURL), uchar(row.Official.value_or(0))});
  return {QVariant::fromValue(rows), more};
}

QVariantList OperatorControl::ListBans(const Call&) {
  QList<BanRow> rows;
  for (const BanRecord& ban : db_.bans().All())
    rows.push_back({uchar(ban.Number.value_or(0)), Unicode(ban.Name), Unicode(ban.IP),
                    Unicode(ban.Reason),
                    ban.UnbanDate ? ban.UnbanDate->toString(QLatin1String(kIsoDateTime)) : QString()});
  return {QVariant::fromValue(rows)};
}

// --- The event log ----------------------------------------------------------

QStringList OperatorControl::LogLines() const { return logLines_ ? logLines_() : QStringList(); }

QVariantList OperatorControl::EventLog(const Call&) { return {LogLines()}; }

// The lines so far come with the reply, and every later line as a LogLine
// signal after it, so a follower sees each line exactly once.
QVariantList OperatorControl::FollowLog(const Call& c) {
  followers_.insert(c.Sender());
  bus_ = c.Bus();
  return {LogLines()};
}

QVariantList OperatorControl::UnfollowLog(const Call& c) {
  followers_.erase(c.Sender());
  return {};
}

// Addressed to each follower rather than broadcast: on a system bus anyone
// may listen to broadcast signals, and the log names the addresses of the
// players who asked for the list.
void OperatorControl::OnLogLine(const std::string& line) {
  if (followers_.empty() || !bus_) return;
  const QString text = cp1252::ToUnicode(line);
  for (const QString& follower : followers_) {
    QDBusMessage signal = QDBusMessage::createTargetedSignal(
        follower, QLatin1String(kObjectPath), QLatin1String(kOperatorInterface),
        QStringLiteral("LogLine"));
    signal << text;
    bus_->send(signal);
  }
}

// --- The console's commands, by user name ---------------------------------

int OperatorControl::ServerSlot(const std::string& user) const {
  const int slot = registry_.FindClientByUser(user);
  if (slot == 0)
    throw ControlError{kNotOnline,
                       QStringLiteral("no server is online as %1").arg(cp1252::ToUnicode(user))};
  return slot;
}

QVariantList OperatorControl::SendMessageTo(const Call& c) {
  const std::string body = PacketBody(packet::Message, c.Cp1252(1, "Message"));
  registry_.SendPacket(ServerSlot(c.Cp1252(0, "User")), body);
  return {};
}

QVariantList OperatorControl::Disconnect(const Call& c) {
  registry_.DisconnectClient(ServerSlot(c.Cp1252(0, "User")));
  return {};
}

// The console's "&Add God": the server is asked to make Name a god. An empty
// name, which the console's input box sends nothing for, is refused.
QVariantList OperatorControl::AddGod(const Call& c) {
  const std::string name = c.Cp1252(1, "Name");
  if (name.empty()) throw ControlError{kRefused, QStringLiteral("Name is empty")};
  const std::string body = PacketBody(packet::AddGod, name);
  registry_.SendPacket(ServerSlot(c.Cp1252(0, "User")), body);
  return {};
}

// --- Bans, with or without an unban date ------------------------------------

// The checks of Tarnwick._clsControl's CreateBan, in its order; what it
// cannot do is a ban without an unban date, which the console's ban editor
// can.
QVariantList OperatorControl::AddBan(const Call& c) {
  const std::string name = c.Cp1252(0, "BanName");
  const std::string ip = c.Cp1252(1, "IP");
  const std::string reason = c.Cp1252(3, "Reason");
  if (name.empty() || ip.empty())
    throw ControlError{kRefused, QStringLiteral("A ban name and IP must be entered")};
  if (db_.bans().FindByName(name))
    throw ControlError{kRefused, QStringLiteral("The ban name specified already exists")};
  BanRecord ban;
  ban.UnbanDate = UnbanDateArg(c.Text(2));
  ban.Number = db_.bans().NextBanNumber();
  if (!ban.Number)
    throw DatabaseError("the Bans table is full: every ban number from 0 to 255 is taken");
  ban.Name = name;
  ban.IP = ip;
  ban.Reason = NullIfEmpty(reason);
  db_.bans().Add(ban);
  return {};
}

QVariantList OperatorControl::EditBan(const Call& c) {
  const std::string name = c.Cp1252(0, "BanName");
  const std::string ip = c.Cp1252(1, "IP");
  const std::string reason = c.Cp1252(3, "Reason");
  if (ip.empty()) throw ControlError{kRefused, QStringLiteral("An IP must be entered")};
  const std::optional<BanRecord> found = db_.bans().FindByName(name);
  if (!found) throw ControlError{kRefused, QStringLiteral("The ban name specified doesn't exist")};
  BanRecord values;
  values.IP = ip;
  values.Reason = NullIfEmpty(reason);
  values.UnbanDate = UnbanDateArg(c.Text(2));
  db_.bans().Edit(*found->Number, values);
  return {};
}

// --- Backup -------------------------------------------------------------------

// The caller opens the file and passes its descriptor, so the copy lands
// only where the caller may write: the registry opens nothing on anyone's
// behalf, and a caller cannot have it overwrite a file of the registry's
// user (or of root, when it runs as root).
//
// One step of SQLite's online backup, on the registry's one thread: a file of
// 100,000 accounts (14 MB) is copied and written in a few hundredths of a
// second, a pause the game servers ride out in their socket buffers, so the
// copy is not cut into steps between other events. The caller syncs the file.
QVariantList OperatorControl::Backup(const Call& c) {
  const int fd = c.Descriptor(0);
  if (fd < 0) throw ControlError{kBackupFailed, QStringLiteral("no file descriptor came with the call")};
  try {
    db_.Backup(fd);
  } catch (const DatabaseError& e) {
    throw ControlError{kBackupFailed, QString::fromUtf8(e.what())};
  }
  return {};
}
