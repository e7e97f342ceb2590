#include "console/clsControl.h"

#include "core/ConsoleState.h"
#include "core/LogSink.h"
#include "core/Operations.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"
#include "ui/DateText.h"

#include <QDBusVariant>

using remote::Error;
using ops::Refusal;

namespace {

// The refusal reports written into ErrData, as the programs written for
// this interface know them: the number, the description and the member
// named on the third line. Only here do the rulebook's refusals take these
// words.
struct Report {
  int number;
  const char* description;
  const char* member;
  QString Text() const {
    // Three lines joined by CR LF, no line end after the last.
    return QStringLiteral("ErrNum=%1\r\nErrDesc=%2\r\nName=%3")
        .arg(number)
        .arg(QLatin1String(description), QLatin1String(member));
  }
};

constexpr char kNotAServer[] = "Client index not found or not in server mode";
constexpr Report kSendMessageRefused{1, kNotAServer, "SendMessage"};
constexpr Report kBootServerRefused{2, kNotAServer, "BootServer"};
constexpr Report kGetServerInfoRefused{3, kNotAServer, "GetServerInfo"};
constexpr Report kNoAccountData{4, "Account not found in database", "GetAccountData"};
constexpr Report kNoBanData{5, "Ban name not found in database", "GetBanData"};
constexpr Report kAccountExists{6, "The username selected already exists", "CreateAccount"};
constexpr Report kNoAccountToEdit{7, "The username selected doesn't exist", "EditAccount"};
constexpr Report kBanNameExists{8, "The ban name specified already exists", "CreateBan"};
constexpr Report kBanTextsMissing{9, "A ban name and IP must be entered", "CreateBan"};
constexpr Report kNoBanToEdit{10, "The ban name specified doesn't exists", "EditBan"};
constexpr Report kBanIPMissing{11, "An IP must be entered", "EditBan"};
constexpr Report kNoAccountToDelete{12, "The account specified does not exist", "DeleteAccount"};
constexpr Report kNoBanToDelete{13, "The ban specified does not exist", "DeleteBan"};

QString Unicode(const std::optional<std::string>& text) {
  return text ? cp1252::ToUnicode(*text) : QString();
}

QDateTime UnbanDateArg(double value) {
  const std::optional<QDateTime> when = FromAutomationDate(value);
  if (!when || !when->isValid())
    throw Error{remote::kInvalidDate,
                QStringLiteral("UnbanDate %1 is not a date between the years 100 and 9999").arg(value)};
  return *when;
}

// Index is a slot of the client table, 1 to 256.
int SlotArg(int index) {
  if (index < 1 || index > kOverflowSlot)
    throw Error{remote::kSubscriptOutOfRange, QStringLiteral("Subscript out of range")};
  return index;
}

[[noreturn]] void TooLong(std::size_t size) {
  throw Error{remote::kMessageTooLong, QStringLiteral("A message holds at most %1 characters, not %2")
                                           .arg(ops::kMaxPacketText)
                                           .arg(size)};
}

// The ban of CreateBan and EditBan: BanName, IP, UnbanDate, Reason. The
// date is read once the rulebook's checks have passed, so a refusal report
// comes before a date that is out of range.
ops::BanFields BanArgs(const remote::Call& a) {
  ops::BanFields ban;
  ban.Name = a.Cp1252(0, "BanName");
  ban.IP = a.Cp1252(1, "IP");
  ban.Reason = a.Cp1252(3, "Reason");
  const double date = a.Double(2);
  ban.UnbanDate = [date](const std::optional<QDateTime>&) { return UnbanDateArg(date); };
  return ban;
}

// The six fields of CreateAccount and EditAccount.
ops::AccountFields AccountArgs(const remote::Call& a) {
  ops::AccountFields account;
  account.User = a.Cp1252(0, "User");
  account.Password = a.Cp1252(1, "Password");
  account.Name = a.Cp1252(2, "Name");
  account.Description = a.Cp1252(3, "Description");
  account.UpdateURL = a.Cp1252(4, "UpdateURL");
  account.Official = a.Byte(5);
  return account;
}

}  // namespace

const remote::Member<clsControl> clsControl::kMembers[] = {
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
                       std::function<void()> stopRegistry)
    : registry_(registry),
      db_(db),
      console_(console),
      log_(log),
      stopRegistry_(std::move(stopRegistry)),
      operator_(registry, db, console, log, [this] { dispatcher_.AfterReply(stopRegistry_); }) {
  dispatcher_.Add(*this);
  dispatcher_.Add(operator_);
}

clsControl::~clsControl() = default;

QString clsControl::IntrospectionResource() const { return QStringLiteral(":/Tarnwick._clsControl.xml"); }

const char* clsControl::Signature(const QString& member) const {
  const auto* m = remote::FindMember(kMembers, member);
  return m ? m->signature : nullptr;
}

QVariantList clsControl::Run(const QString& member, const Call& call) {
  callers_.try_emplace(call.Sender());
  return (this->*remote::FindMember(kMembers, member)->run)(call);
}

QStringList clsControl::ServerListOf(const Caller& caller) const {
  if (caller.serverList) return *caller.serverList;
  QStringList lines;
  for (const std::string& user : console_.ServerLines()) lines << cp1252::ToUnicode(user);
  return lines;
}

QDBusMessage clsControl::Properties(const QDBusMessage& message) {
  Caller& caller = callers_[message.service()];
  const QVariantList args = message.arguments();
  const QString member = message.member();
  const QString signature = message.signature();
  const QString interface = args.value(0).toString();
  const bool ours = interface.isEmpty() || interface == QLatin1String(remote::kControlInterface);
  if (member == QLatin1String("GetAll") && signature == QLatin1String("s")) {
    QVariantMap all;
    if (ours) {
      all.insert(QStringLiteral("ServerList"), ServerListOf(caller));
      all.insert(QStringLiteral("Username"), caller.username);
    }
    return message.createReply(QVariant::fromValue(all));
  }
  if (member == QLatin1String("Get") && signature == QLatin1String("ss")) {
    const QString name = args.at(1).toString();
    if (ours && name == QLatin1String("ServerList"))
      return message.createReply(QVariant::fromValue(QDBusVariant(ServerListOf(caller))));
    if (ours && name == QLatin1String("Username"))
      return message.createReply(QVariant::fromValue(QDBusVariant(caller.username)));
    return remote::UnknownProperty(message, QLatin1String(remote::kObjectPath), name);
  }
  if (member == QLatin1String("Set") && signature == QLatin1String("ssv")) {
    if (!ours) return remote::UnknownProperty(message, QLatin1String(remote::kObjectPath), args.at(1).toString());
    return SetProperty(message, caller);
  }
  return remote::UnknownPropertiesCall(message);
}

QDBusMessage clsControl::SetProperty(const QDBusMessage& message, Caller& caller) {
  const QVariantList args = message.arguments();
  const QString name = args.at(1).toString();
  const QVariant value = args.at(2).value<QDBusVariant>().variant();
  const auto wrongType = [&](const char* type) {
    return message.createErrorReply(
        QDBusError::InvalidArgs,
        QStringLiteral("%1 takes a value of type \"%2\"").arg(name, QLatin1String(type)));
  };
  if (name == QLatin1String("ServerList")) {
    if (value.metaType() != QMetaType::fromType<QStringList>()) return wrongType("as");
    caller.serverList = value.toStringList();
    return message.createReply();
  }
  if (name == QLatin1String("Username")) {
    if (value.metaType() != QMetaType::fromType<QString>()) return wrongType("s");
    caller.username = value.toString();
    return message.createReply();
  }
  return remote::UnknownProperty(message, QLatin1String(remote::kObjectPath), name);
}

// --- The members -----------------------------------------------------------

QVariantList clsControl::SendMessage(const Call& a) {
  const int slot = SlotArg(a.Int(1));
  // A slot that holds no server is reported before the text is looked at.
  const std::string text = IsServerOnline(registry_.Client(slot)) ? a.Cp1252(0, "Message") : std::string();
  const Refusal refusal = ops::SendMessage(registry_, slot, text);
  if (refusal == Refusal::MessageTooLong) TooLong(text.size());
  if (refusal != Refusal::None) return {kSendMessageRefused.Text()};
  return {a[2]};
}

QVariantList clsControl::SendMessageToAll(const Call& a) {
  const std::string text = a.Cp1252(0, "Message");
  if (ops::SendMessageToAll(registry_, text, &log_) == Refusal::MessageTooLong) TooLong(text.size());
  return {a[1]};
}

QVariantList clsControl::ShutdownServer(const Call& a) {
  // The reason is accepted and not used. The registry stops once the reply
  // is on its way.
  dispatcher_.AfterReply(stopRegistry_);
  return {a[1]};
}

QVariantList clsControl::GetServerInfo(const Call& a) {
  const int slot = SlotArg(a.Int(0));
  const ClientRecord& c = registry_.Client(slot);
  if (!IsServerOnline(c)) return {a[1], a[2], a[3], a[4], a[5], kGetServerInfoRefused.Text()};
  return {cp1252::ToUnicode(c.User), cp1252::ToUnicode(c.Name), cp1252::ToUnicode(c.IP),
          int(c.PlayerCount),        int(c.Official),           a[6]};
}

QVariantList clsControl::BootServer(const Call& a) {
  const int slot = SlotArg(a.Int(0));
  if (ops::Disconnect(registry_, slot) != Refusal::None) return {kBootServerRefused.Text()};
  return {a[1]};
}

QVariantList clsControl::GetAccountData(const Call& a) {
  const QVariantList kept{a[1], a[2], a[3], a[4], a[5]};
  // An empty name is refused without a search.
  if (a.Text(0).isEmpty()) return kept + QVariantList{kNoAccountData.Text()};
  const std::optional<AccountRecord> row = db_.accounts().Seek(a.Cp1252(0, "User"));
  if (!row) return kept + QVariantList{kNoAccountData.Text()};
  // An Official the file holds no value for reads as 0, as at login.
  return {Unicode(row->Password),
          Unicode(row->Name),
          Unicode(row->Description),
          Unicode(row->UpdateURL),
          QVariant::fromValue(uchar(row->Official.value_or(0))),
          a[6]};
}

QVariantList clsControl::GetBanData(const Call& a) {
  std::optional<BanRecord> ban;
  if (!a.Text(0).isEmpty()) ban = db_.bans().FindByName(a.Cp1252(0, "BanName"));
  if (!ban) return {a[1], a[2], a[3], kNoBanData.Text()};
  return {Unicode(ban->IP), ban->UnbanDate ? FormatGeneralDate(*ban->UnbanDate) : QString(),
          Unicode(ban->Reason), a[4]};
}

QVariantList clsControl::FindServer(const Call& a) {
  return {QVariant::fromValue(qint16(registry_.FindClientByUser(a.Cp1252(0, "User"))))};
}

// Accounts are stored exactly as passed: no trimming, no case change, no
// rule for user names and passwords. A text longer than its field is the
// store's to refuse, so the call fails with the database's own error.
QVariantList clsControl::CreateAccount(const Call& a) {
  if (ops::CreateAccount(db_, AccountArgs(a), ops::AccountTexts::AsGiven,
                         ops::TooLongTexts::StoreRefuses) != Refusal::None)
    return {kAccountExists.Text()};
  return {a[6]};
}

QVariantList clsControl::EditAccount(const Call& a) {
  // A server online with this account keeps the values it logged in with.
  if (ops::EditAccount(db_, AccountArgs(a), ops::AccountTexts::AsGiven,
                       ops::TooLongTexts::StoreRefuses) != Refusal::None)
    return {kNoAccountToEdit.Text()};
  return {a[6]};
}

// No rule applies to the form of the IP, and a second ban on the same
// address is not refused.
QVariantList clsControl::CreateBan(const Call& a) {
  switch (ops::AddBan(db_, BanArgs(a), ops::SecondBanOnAddress::Accepted,
                      ops::TooLongTexts::StoreRefuses)) {
    case Refusal::None: return {a[4]};
    case Refusal::NameMissing:
    case Refusal::IPMissing: return {kBanTextsMissing.Text()};
    case Refusal::NoBanNumber:
      throw DatabaseError("the Bans table is full: every ban number from 0 to 255 is taken");
    default: return {kBanNameExists.Text()};
  }
}

// The IP check comes first; an empty name is simply not found (unless a ban
// has an empty name).
QVariantList clsControl::EditBan(const Call& a) {
  switch (ops::EditBan(db_, BanArgs(a), ops::BanNameCheck::NotFound,
                       ops::TooLongTexts::StoreRefuses)) {
    case Refusal::None: return {a[4]};
    case Refusal::IPMissing: return {kBanIPMissing.Text()};
    default: return {kNoBanToEdit.Text()};
  }
}

// Unlike the accounts list, this leaves a server online with the account
// connected and listed.
QVariantList clsControl::DeleteAccount(const Call& a) {
  if (ops::DeleteAccount(db_, registry_, a.Cp1252(0, "User"), ops::OnlineServers::LeaveAlone) !=
      Refusal::None)
    return {kNoAccountToDelete.Text()};
  return {a[1]};
}

QVariantList clsControl::DeleteBan(const Call& a) {
  if (ops::DeleteBan(db_, a.Cp1252(0, "BanName")) != Refusal::None) return {kNoBanToDelete.Text()};
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

QVariantList clsControl::OptionText(const Call& a) {
  const int number = a.Int(0);
  if (number < 1 || number > kOptionCount) return {QString()};
  return {QString::fromLatin1(kOptionTexts[number - 1])};
}

QVariantList clsControl::OptionCount(const Call&) {
  return {QVariant::fromValue(kOptionCount)};
}
