#include "console/clsControl.h"

#include "console/ControlShared.h"
#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"
#include "ui/DateText.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QFile>
#include <QTimer>
#include <cmath>

namespace {

using namespace control;

constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// The refusal report written into ErrData: three lines joined by CR LF, no
// line end after the last.
QString Report(int number, const char* description, const char* member) {
  return QStringLiteral("ErrNum=%1\r\nErrDesc=%2\r\nName=%3")
      .arg(number)
      .arg(QLatin1String(description), QLatin1String(member));
}

constexpr char kNotAServer[] = "Client index not found or not in server mode";

QString Unicode(const std::optional<std::string>& text) {
  return text ? cp1252::ToUnicode(*text) : QString();
}

std::optional<std::string> NullIfEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

QDateTime UnbanDateArg(double value) {
  const std::optional<QDateTime> when = FromAutomationDate(value);
  if (!when || !when->isValid())
    throw ControlError{kInvalidDate,
                       QStringLiteral("UnbanDate %1 is not a date between the years 100 and 9999")
                           .arg(value)};
  return *when;
}

}  // namespace

QString control::InterfaceXml() {
  return InterfaceElement(QStringLiteral(":/Tarnwick._clsControl.xml"));
}

// The arguments of a call, already checked against the member's signature.
class clsControl::Args {
 public:
  explicit Args(const QVariantList& values) : values_(values) {}
  // As passed, for an out argument that keeps the caller's value.
  const QVariant& operator[](int i) const { return values_.at(i); }
  QString Text(int i) const { return values_.at(i).toString(); }
  std::string Cp1252(int i, const char* name) const { return Cp1252Arg(Text(i), name); }
  int Int(int i) const { return values_.at(i).toInt(); }
  std::uint8_t Byte(int i) const { return values_.at(i).value<uchar>(); }
  double Double(int i) const { return values_.at(i).toDouble(); }

 private:
  const QVariantList& values_;
};

struct clsControl::Member {
  const char* name;
  const char* signature;  // of the arguments passed in
  QVariantList (clsControl::*run)(const Args&);
};

const clsControl::Member clsControl::kMembers[] = {
    {"SendMessage", "sns", &clsControl::SendMessage},
    {"SendMessageToAll", "ss", &clsControl::SendMessageToAll},
    {"ShutdownServer", "ss", &clsControl::ShutdownServer},
    {"GetServerInfo", "isssiis", &clsControl::GetServerInfo},
    {"BootServer", "ns", &clsControl::BootServer},
    {"GetAccountData", "sssssys", &clsControl::GetAccountData},
    {"GetBanData", "sssss", &clsControl::GetBanData},
    {"FindServer", "s", &clsControl::FindServer},
    {"CreateAccount", "sssssys", &clsControl::CreateAccount},
    {"EditAccount", "sssssys", &clsControl::EditAccount},
    {"CreateBan", "ssdss", &clsControl::CreateBan},
    {"EditBan", "ssdss", &clsControl::EditBan},
    {"DeleteAccount", "ss", &clsControl::DeleteAccount},
    {"DeleteBan", "ss", &clsControl::DeleteBan},
    {"OptionText", "n", &clsControl::OptionText},
    {"OptionCount", "", &clsControl::OptionCount},
};

clsControl::clsControl(Registry& registry, Database& db, ConsoleState& console, LogSink& log,
                       std::function<void()> stopRegistry, QObject* parent)
    : QDBusVirtualObject(parent),
      registry_(registry),
      db_(db),
      console_(console),
      log_(log),
      stopRegistry_(std::move(stopRegistry)),
      operator_(registry, db, console) {}

clsControl::~clsControl() {
  if (bus_) {
    bus_->unregisterService(QLatin1String(kServiceName));
    bus_->unregisterObject(QLatin1String(kObjectPath));
  }
}

void clsControl::SetCallerCheck(std::function<bool(uint)> check, QString refusal) {
  callerCheck_ = std::move(check);
  refusal_ = std::move(refusal);
}

bool clsControl::Publish(const QDBusConnection& bus, QString* error) {
  QDBusConnection connection(bus);
  if (!connection.isConnected()) {
    *error = connection.lastError().message();
    return false;
  }
  if (!connection.registerVirtualObject(QLatin1String(kObjectPath), this)) {
    *error = QStringLiteral("the object path %1 is already in use").arg(QLatin1String(kObjectPath));
    return false;
  }
  // Instance values die with their connection; the bus announces every
  // connection that leaves.
  connection.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                     QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                     this, SLOT(OnNameOwnerChanged(QString,QString,QString)));
  if (!connection.registerService(QLatin1String(kServiceName))) {
    const QDBusError refused = connection.lastError();
    *error = refused.isValid() ? refused.message()
                               : QStringLiteral("the name %1 is already taken on this bus")
                                     .arg(QLatin1String(kServiceName));
    connection.disconnect(QStringLiteral("org.freedesktop.DBus"),
                          QStringLiteral("/org/freedesktop/DBus"),
                          QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                          this, SLOT(OnNameOwnerChanged(QString,QString,QString)));
    connection.unregisterObject(QLatin1String(kObjectPath));
    return false;
  }
  bus_ = connection;
  return true;
}

void clsControl::OnNameOwnerChanged(const QString& name, const QString&, const QString& newOwner) {
  if (!newOwner.isEmpty()) return;
  callers_.erase(name);
  operator_.CallerLeft(name);
}

QString clsControl::introspect(const QString&) const {
  return InterfaceXml() + OperatorInterfaceXml();
}

clsControl::Caller* clsControl::CallerFor(const QString& sender, const QDBusConnection& bus) {
  const auto found = callers_.find(sender);
  if (found != callers_.end()) return &found->second;
  Caller caller;
  if (callerCheck_) {
    // A unique name keeps its user for as long as it exists, so the look-up
    // is made once per connection. It fails when the caller has already
    // left, and then no values are kept for it.
    const QDBusReply<uint> uid = bus.interface()->serviceUid(sender);
    if (!uid.isValid()) return nullptr;
    caller.allowed = callerCheck_(uid.value());
  }
  return &callers_.emplace(sender, std::move(caller)).first->second;
}

bool clsControl::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  if (message.type() != QDBusMessage::MethodCallMessage) return false;
  const QString interface = message.interface();
  const bool properties = interface == QLatin1String(kPropertiesInterface);
  const bool operatorCall = interface == QLatin1String(kOperatorInterface);
  const Member* member = nullptr;
  if (!properties && !operatorCall) {
    // Introspection and the peer interface are left to Qt.
    if (!interface.isEmpty() && interface != QLatin1String(kInterface)) return false;
    for (const Member& m : kMembers)
      if (message.member() == QLatin1String(m.name)) member = &m;
    if (!member && interface.isEmpty()) return false;
    if (!member) {
      connection.send(message.createErrorReply(
          QDBusError::UnknownMethod,
          QStringLiteral("%1 has no method %2").arg(interface, message.member())));
      return true;
    }
  }

  Caller scratch;  // for a caller that left before its call was handled
  Caller* caller = CallerFor(message.service(), connection);
  if (!caller) {
    scratch.allowed = !callerCheck_;
    caller = &scratch;
  }

  QDBusMessage reply;
  if (!caller->allowed)
    reply = message.createErrorReply(QLatin1String(kAccessDenied), refusal_);
  else if (operatorCall)
    reply = operator_.Handle(message, connection);
  else if (properties && message.arguments().value(0).toString() == QLatin1String(kOperatorInterface))
    reply = operator_.HandleProperties(message);
  else if (properties)
    reply = HandleProperties(message, *caller);
  else
    reply = Invoke(*member, message);
  if (message.isReplyRequired()) connection.send(reply);

  if (stopAfterReply_) {
    stopAfterReply_ = false;
    QTimer::singleShot(0, this, [this, bus = QDBusConnection(connection)] {
      // The reply went out on this connection before this round trip to the
      // bus daemon, so once the daemon answers it holds the reply, and the
      // caller gets it even though the registry ends now.
      bus.interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
      stopRegistry_();
    });
  }
  return true;
}

QDBusMessage clsControl::Invoke(const Member& member, const QDBusMessage& message) {
  if (message.signature() != QLatin1String(member.signature))
    return message.createErrorReply(
        QDBusError::InvalidArgs,
        QStringLiteral("%1 takes arguments of type \"%2\", not \"%3\"")
            .arg(QLatin1String(member.name), QLatin1String(member.signature), message.signature()));
  const QVariantList arguments = message.arguments();
  try {
    return message.createReply((this->*member.run)(Args(arguments)));
  } catch (const ControlError& e) {
    return message.createErrorReply(QLatin1String(e.name), e.text);
  } catch (const DatabaseError& e) {
    return message.createErrorReply(QLatin1String(kDatabaseError), QString::fromUtf8(e.what()));
  } catch (const std::exception& e) {
    return message.createErrorReply(QDBusError::Failed, QString::fromUtf8(e.what()));
  }
}

QStringList clsControl::ServerListOf(const Caller& caller) const {
  if (caller.serverList) return *caller.serverList;
  QStringList lines;
  for (const std::string& user : console_.ServerLines()) lines << cp1252::ToUnicode(user);
  return lines;
}

QDBusMessage clsControl::HandleProperties(const QDBusMessage& message, Caller& caller) {
  const QVariantList args = message.arguments();
  const QString member = message.member();
  const QString signature = message.signature();
  const auto ours = [&] {
    const QString interface = args.value(0).toString();
    return interface.isEmpty() || interface == QLatin1String(kInterface);
  };
  const auto unknown = [&](const QString& name) {
    return message.createErrorReply(
        QDBusError::UnknownProperty,
        QStringLiteral("%1 has no property %2").arg(QLatin1String(kObjectPath), name));
  };

  if (member == QLatin1String("GetAll") && signature == QLatin1String("s")) {
    QVariantMap all;
    if (ours()) {
      all.insert(QStringLiteral("ServerList"), ServerListOf(caller));
      all.insert(QStringLiteral("Username"), caller.username);
    }
    return message.createReply(QVariant::fromValue(all));
  }
  if (member == QLatin1String("Get") && signature == QLatin1String("ss")) {
    const QString name = args.at(1).toString();
    if (ours() && name == QLatin1String("ServerList"))
      return message.createReply(QVariant::fromValue(QDBusVariant(ServerListOf(caller))));
    if (ours() && name == QLatin1String("Username"))
      return message.createReply(QVariant::fromValue(QDBusVariant(caller.username)));
    return unknown(name);
  }
  if (member == QLatin1String("Set") && signature == QLatin1String("ssv")) {
    const QString name = args.at(1).toString();
    const QVariant value = args.at(2).value<QDBusVariant>().variant();
    const auto wrongType = [&](const char* type) {
      return message.createErrorReply(
          QDBusError::InvalidArgs,
          QStringLiteral("%1 takes a value of type \"%2\"").arg(name, QLatin1String(type)));
    };
    if (ours() && name == QLatin1String("ServerList")) {
      if (value.metaType() != QMetaType::fromType<QStringList>()) return wrongType("as");
      caller.serverList = value.toStringList();
      return message.createReply();
    }
    if (ours() && name == QLatin1String("Username")) {
      if (value.metaType() != QMetaType::fromType<QString>()) return wrongType("s");
      caller.username = value.toString();
      return message.createReply();
    }
    return unknown(name);
  }
  return message.createErrorReply(
      QDBusError::UnknownMethod,
      QStringLiteral("%1.%2 with arguments \"%3\" does not exist")
          .arg(QLatin1String(kPropertiesInterface), member, signature));
}

// --- The members -----------------------------------------------------------

namespace {

// Index is a slot of the client table, 1 to 256.
int SlotArg(int index) {
  if (index < 1 || index > kOverflowSlot)
    throw ControlError{kSubscriptOutOfRange, QStringLiteral("Subscript out of range")};
  return index;
}

std::string MessageBody(const std::string& text) { return PacketBody(packet::Message, text); }

}  // namespace

QVariantList clsControl::SendMessage(const Args& a) {
  const int slot = SlotArg(a.Int(1));
  if (!IsServerOnline(registry_.Client(slot))) return {Report(1, kNotAServer, "SendMessage")};
  registry_.SendPacket(slot, MessageBody(a.Cp1252(0, "Message")));
  return {a[2]};
}

QVariantList clsControl::SendMessageToAll(const Args& a) {
  const std::string text = a.Cp1252(0, "Message");
  const std::string body = MessageBody(text);
  registry_.ForEachServer([&](int slot, const ClientRecord&) { registry_.SendPacket(slot, body); });
  log_.AddLogLine("Server Message: " + text);
  return {a[1]};
}

QVariantList clsControl::ShutdownServer(const Args& a) {
  // The reason is accepted and not used. The registry stops once the reply
  // is on its way (see handleMessage).
  stopAfterReply_ = true;
  return {a[1]};
}

QVariantList clsControl::GetServerInfo(const Args& a) {
  const int slot = SlotArg(a.Int(0));
  const ClientRecord& c = registry_.Client(slot);
  if (!IsServerOnline(c))
    return {a[1], a[2], a[3], a[4], a[5], Report(3, kNotAServer, "GetServerInfo")};
  return {cp1252::ToUnicode(c.User), cp1252::ToUnicode(c.Name), cp1252::ToUnicode(c.IP),
          int(c.PlayerCount),        int(c.Official),           a[6]};
}

QVariantList clsControl::BootServer(const Args& a) {
  const int slot = SlotArg(a.Int(0));
  if (!IsServerOnline(registry_.Client(slot))) return {Report(2, kNotAServer, "BootServer")};
  registry_.DisconnectClient(slot);
  return {a[1]};
}

QVariantList clsControl::GetAccountData(const Args& a) {
  const QVariantList kept{a[1], a[2], a[3], a[4], a[5]};
  const QString refused = Report(4, "Account not found in database", "GetAccountData");
  // An empty name is refused without a search.
  if (a.Text(0).isEmpty()) return kept + QVariantList{refused};
  const std::optional<AccountRecord> row = db_.accounts().Seek(a.Cp1252(0, "User"));
  if (!row) return kept + QVariantList{refused};
  // An Official the file holds no value for reads as 0, as at login.
  return {Unicode(row->Password),
          Unicode(row->Name),
          Unicode(row->Description),
          Unicode(row->UpdateURL),
          QVariant::fromValue(uchar(row->Official.value_or(0))),
          a[6]};
}

QVariantList clsControl::GetBanData(const Args& a) {
  std::optional<BanRecord> ban;
  if (!a.Text(0).isEmpty()) ban = db_.bans().FindByName(a.Cp1252(0, "BanName"));
  if (!ban) return {a[1], a[2], a[3], Report(5, "Ban name not found in database", "GetBanData")};
  return {Unicode(ban->IP), ban->UnbanDate ? FormatGeneralDate(*ban->UnbanDate) : QString(),
          Unicode(ban->Reason), a[4]};
}

QVariantList clsControl::FindServer(const Args& a) {
  return {QVariant::fromValue(qint16(registry_.FindClientByUser(a.Cp1252(0, "User"))))};
}

// The six fields of CreateAccount and EditAccount, stored exactly as passed:
// no trimming, no case change, no rules.
AccountRecord clsControl::AccountFrom(const Args& a) {
  AccountRecord row;
  row.User = a.Cp1252(0, "User");
  row.Password = a.Cp1252(1, "Password");
  row.Name = a.Cp1252(2, "Name");
  row.Description = a.Cp1252(3, "Description");
  row.UpdateURL = a.Cp1252(4, "UpdateURL");
  row.Official = a.Byte(5);
  return row;
}

QVariantList clsControl::CreateAccount(const Args& a) {
  const AccountRecord row = AccountFrom(a);
  if (db_.accounts().Seek(*row.User))
    return {Report(6, "The username selected already exists", "CreateAccount")};
  db_.accounts().Add(row);
  return {a[6]};
}

QVariantList clsControl::EditAccount(const Args& a) {
  // A server online with this account keeps the values it logged in with.
  const AccountRecord row = AccountFrom(a);
  if (!db_.accounts().Edit(row))
    return {Report(7, "The username selected doesn't exist", "EditAccount")};
  return {a[6]};
}

QVariantList clsControl::CreateBan(const Args& a) {
  const std::string name = a.Cp1252(0, "BanName");
  const std::string ip = a.Cp1252(1, "IP");
  const std::string reason = a.Cp1252(3, "Reason");
  // The empty check comes before the search for the name.
  if (name.empty() || ip.empty())
    return {Report(9, "A ban name and IP must be entered", "CreateBan")};
  if (db_.bans().FindByName(name))
    return {Report(8, "The ban name specified already exists", "CreateBan")};
  BanRecord ban;
  ban.UnbanDate = UnbanDateArg(a.Double(2));
  // Numbered as the ban editor numbers them; a table holding all 256
  // numbers has no room for another ban.
  ban.Number = db_.bans().NextBanNumber();
  if (!ban.Number)
    throw DatabaseError("the Bans table is full: every ban number from 0 to 255 is taken");
  ban.Name = name;
  ban.IP = ip;
  ban.Reason = NullIfEmpty(reason);
  db_.bans().Add(ban);
  return {a[4]};
}

QVariantList clsControl::EditBan(const Args& a) {
  const std::string name = a.Cp1252(0, "BanName");
  const std::string ip = a.Cp1252(1, "IP");
  const std::string reason = a.Cp1252(3, "Reason");
  // The IP check comes first; an empty name is simply not found (unless a
  // ban has an empty name).
  if (ip.empty()) return {Report(11, "An IP must be entered", "EditBan")};
  const std::optional<BanRecord> found = db_.bans().FindByName(name);
  if (!found) return {Report(10, "The ban name specified doesn't exists", "EditBan")};
  BanRecord values;
  values.IP = ip;
  values.Reason = NullIfEmpty(reason);
  values.UnbanDate = UnbanDateArg(a.Double(2));
  db_.bans().Edit(*found->Number, values);
  return {a[4]};
}

QVariantList clsControl::DeleteAccount(const Args& a) {
  // Unlike the accounts list, this leaves a server online with the account
  // connected and listed.
  if (!db_.accounts().Delete(a.Cp1252(0, "User")))
    return {Report(12, "The account specified does not exist", "DeleteAccount")};
  return {a[1]};
}

QVariantList clsControl::DeleteBan(const Args& a) {
  const std::optional<BanRecord> found = db_.bans().FindByName(a.Cp1252(0, "BanName"));
  if (!found) return {Report(13, "The ban specified does not exist", "DeleteBan")};
  db_.bans().Delete(*found->Number);
  return {a[1]};
}

namespace {
const char* const kOptionTexts[] = {
    "Send Message - for sending messages to servers connected to the registry",
    "Send Message (All Servers) - for sending a message to all servers connected to the registry",
    "Add Account - for creating a new server account",
    "Edit Account - for editing an existing server account",
    "Delete Account - for deleting an existing server account",
    "View Accounts - for viewing existing accounts",
    "Add Ban - for creating an IP ban",
    "Edit Ban - for editing an existing IP ban",
    "Delete Ban - for deleting an existing IP ban",
    "View Bans - for viewing existing IP bans",
    "Boot Server - for booting servers connected to the registry",
    "Shutdown Registry - for exiting from the registry",
};
constexpr qint16 kOptionCount = qint16(std::size(kOptionTexts));
}  // namespace

QVariantList clsControl::OptionText(const Args& a) {
  const int number = a.Int(0);
  if (number < 1 || number > kOptionCount) return {QString()};
  return {QString::fromLatin1(kOptionTexts[number - 1])};
}

QVariantList clsControl::OptionCount(const Args&) {
  return {QVariant::fromValue(kOptionCount)};
}
