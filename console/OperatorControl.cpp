#include "console/OperatorControl.h"

#include "core/ConsoleState.h"
#include "core/Operations.h"
#include "core/Registry.h"
#include "remote/UnbanDate.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"

#include <utility>
#include <QDBusVariant>

using namespace remote;
using ops::Refusal;

namespace {

// ListAccounts answers in pages of this many accounts: each is found on the
// index in a few milliseconds, so a long list never holds up the game
// servers, and even with every text at its longest a page stays far below a
// system bus's message limit (32 MiB).
constexpr int kAccountsPerPage = 2000;

QString Unicode(const std::optional<std::string>& text) {
  return text ? cp1252::ToUnicode(*text) : QString();
}

// An UnbanDate argument: empty for none, else an ISO date ("2027-03-19") or
// date and time ("2027-03-19T18:00:00", a space for the T will do).
std::optional<QDateTime> UnbanDateArg(const QString& text) {
  if (text.isEmpty()) return std::nullopt;
  const std::optional<QDateTime> when = ReadUnbanDate(text, DateForms::Iso);
  if (!when)
    throw Error{kInvalidDate,
                QStringLiteral("UnbanDate \"%1\" is not a date of the form 2027-03-19 or "
                               "2027-03-19T18:00:00")
                    .arg(text)};
  return when;
}

// A refusal of the rulebook as this interface's error: NotOnline names the
// user, a text too long says how long, the others are Refused in the
// rulebook's words or, where this interface has its own, in those.
struct Words {
  Refusal refusal;
  const char* text;
};
// OnOtherRegistry says which registry holds the server (elsewhere).
void Refuse(Refusal refusal, const std::string& user, std::size_t textSize,
            std::initializer_list<Words> own = {}, const SharedServer* elsewhere = nullptr) {
  switch (refusal) {
    case Refusal::None: return;
    case Refusal::NotOnline:
      throw Error{kNotOnline, QStringLiteral("no server is online as %1").arg(cp1252::ToUnicode(user))};
    case Refusal::OnOtherRegistry:
      throw Error{kOnOtherRegistry, elsewhere ? cp1252::ToUnicode(ops::OnOtherRegistryText(*elsewhere))
                                              : QString::fromLatin1(ops::Describe(refusal))};
    case Refusal::MessageTooLong:
      throw Error{kMessageTooLong, QStringLiteral("A message holds at most %1 characters, not %2")
                                       .arg(ops::kMaxPacketText)
                                       .arg(textSize)};
    case Refusal::NoBanNumber:
      throw DatabaseError("the Bans table is full: every ban number from 0 to 255 is taken");
    default:
      for (const Words& w : own)
        if (w.refusal == refusal) throw Error{kRefused, QString::fromLatin1(w.text)};
      throw Error{kRefused, QString::fromStdString(ops::Describe(refusal))};
  }
}

ops::BanFields BanArgs(const Call& c) {
  ops::BanFields ban;
  ban.Name = c.Cp1252(0, "BanName");
  ban.IP = c.Cp1252(1, "IP");
  ban.Reason = c.Cp1252(3, "Reason");
  const QString date = c.Text(2);
  ban.UnbanDate = [date](const std::optional<QDateTime>&) { return UnbanDateArg(date); };
  return ban;
}

ops::AccountFields AccountArgs(const Call& c) {
  ops::AccountFields account;
  account.User = c.Cp1252(0, "User");
  account.Password = c.Cp1252(1, "Password");
  account.Name = c.Cp1252(2, "Name");
  account.Description = c.Cp1252(3, "Description");
  account.UpdateURL = c.Cp1252(4, "UpdateURL");
  account.Official = c.Byte(5);
  return account;
}

}  // namespace

const Member<OperatorControl> OperatorControl::kMembers[] = {
    {"ListServers", "", &OperatorControl::ListServers},
    {"ListAccounts", "s", &OperatorControl::ListAccounts},
    {"ListBans", "", &OperatorControl::ListBans},
    {"EventLog", "", &OperatorControl::EventLog},
    {"FollowLog", "", &OperatorControl::FollowLog},
    {"UnfollowLog", "", &OperatorControl::UnfollowLog},
    {"SendMessageTo", "ss", &OperatorControl::SendMessageTo},
    {"SendMessageToAll", "s", &OperatorControl::SendMessageToAll},
    {"Disconnect", "s", &OperatorControl::Disconnect},
    {"AddGod", "ss", &OperatorControl::AddGod},
    {"GetAccount", "s", &OperatorControl::GetAccount},
    {"CreateAccount", "sssssy", &OperatorControl::CreateAccount},
    {"EditAccount", "sssssy", &OperatorControl::EditAccount},
    {"DeleteAccount", "s", &OperatorControl::DeleteAccount},
    {"AddBan", "ssss", &OperatorControl::AddBan},
    {"EditBan", "ssss", &OperatorControl::EditBan},
    {"DeleteBan", "s", &OperatorControl::DeleteBan},
    {"Backup", "h", &OperatorControl::Backup},
    {"Shutdown", "", &OperatorControl::Shutdown},
};

OperatorControl::OperatorControl(Registry& registry, Database& db, ConsoleState& console,
                                 LogSink& log, std::function<void()> stopRegistry, QObject* parent)
    : QObject(parent),
      registry_(registry),
      db_(db),
      console_(console),
      log_(log),
      stopRegistry_(std::move(stopRegistry)) {
  RegisterRowTypes();
}

QString OperatorControl::IntrospectionResource() const {
  return QStringLiteral(":/Tarnwick.Operator.xml");
}

const char* OperatorControl::Signature(const QString& member) const {
  const auto* m = FindMember(kMembers, member);
  return m ? m->signature : nullptr;
}

QVariantList OperatorControl::Run(const QString& member, const Call& call) {
  return (this->*FindMember(kMembers, member)->run)(call);
}

// --- Properties: the main window's counters ---------------------------------

int OperatorControl::ServersOnline() const {
  int count = 0;
  std::as_const(registry_).ForEachServer([&](int, const ClientRecord&) { ++count; });
  return count;
}

QVariantMap OperatorControl::PropertyValues() const {
  return {{QStringLiteral("Connections"), registry_.ConnectionCount()},
          {QStringLiteral("ServersOnline"), ServersOnline()},
          {QStringLiteral("AccessesPerHour"), registry_.AccessesPerHour()},
          {QStringLiteral("AllowNewAccounts"), console_.AllowNewAccounts()}};
}

QDBusMessage OperatorControl::Properties(const QDBusMessage& message) {
  const QVariantList args = message.arguments();
  const QString member = message.member();
  const QString signature = message.signature();
  const QVariantMap all = PropertyValues();
  const auto unknown = [&](const QString& name) {
    return UnknownProperty(message, QLatin1String(kOperatorInterface), name);
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
  return UnknownPropertiesCall(message);
}

// --- Listings -------------------------------------------------------------

// This registry's servers in slot order, then the other registries' in
// list index order, each with the registry it is at (none without sharing).
QVariantList OperatorControl::ListServers(const Call&) {
  QList<ServerRow> rows;
  const QString here = cp1252::ToUnicode(registry_.InstanceName());
  std::as_const(registry_).ForEachServer([&](int slot, const ClientRecord& c) {
    rows.push_back({qint16(slot), cp1252::ToUnicode(c.User), cp1252::ToUnicode(c.IP),
                    c.PlayerCount, cp1252::ToUnicode(c.Name), c.Official,
                    cp1252::ToUnicode(c.Description), cp1252::ToUnicode(c.UpdateURL),
                    cp1252::ToUnicode(registry_.ListedAddress(slot)), here});
  });
  for (const SharedServer& s : registry_.OtherServers())
    rows.push_back({0, cp1252::ToUnicode(s.user), cp1252::ToUnicode(s.ip), s.players,
                    cp1252::ToUnicode(s.name), s.official, cp1252::ToUnicode(s.description),
                    cp1252::ToUnicode(s.updateUrl), cp1252::ToUnicode(s.listedIp),
                    cp1252::ToUnicode(s.instance)});
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

QVariantList OperatorControl::SendMessageTo(const Call& c) {
  const std::string text = c.Cp1252(1, "Message");
  const std::string user = c.Cp1252(0, "User");
  SharedServer elsewhere;
  Refuse(ops::SendMessageTo(registry_, user, text, &elsewhere), user, text.size(), {}, &elsewhere);
  return {};
}

// As "<All Online Servers>", and written to the event log as
// Tarnwick._clsControl's SendMessageToAll writes it.
QVariantList OperatorControl::SendMessageToAll(const Call& c) {
  const std::string text = c.Cp1252(0, "Message");
  Refuse(ops::SendMessageToAll(registry_, text, &log_), {}, text.size());
  return {};
}

QVariantList OperatorControl::Disconnect(const Call& c) {
  const std::string user = c.Cp1252(0, "User");
  SharedServer elsewhere;
  Refuse(ops::DisconnectUser(registry_, user, &elsewhere), user, 0, {}, &elsewhere);
  return {};
}

// The console's "&Add God": the server is asked to make Name a god. An empty
// name, which the console's input box sends nothing for, is refused.
QVariantList OperatorControl::AddGod(const Call& c) {
  const std::string name = c.Cp1252(1, "Name");
  if (name.empty()) Refuse(Refusal::NoGodName, {}, 0);
  const std::string user = c.Cp1252(0, "User");
  SharedServer elsewhere;
  Refuse(ops::AddGod(registry_, user, name, &elsewhere), user, name.size(), {}, &elsewhere);
  return {};
}

QVariantList OperatorControl::Shutdown(const Call&) {
  stopRegistry_();
  return {};
}

// --- Accounts, under the account editor's rules ---------------------------

// The account without its password: (user, name, description, update
// address, official).
QVariantList OperatorControl::GetAccount(const Call& c) {
  const std::string user = c.Cp1252(0, "User");
  std::optional<AccountRecord> row;
  if (!user.empty()) row = db_.accounts().Seek(user);
  if (!row) throw Error{kRefused, QStringLiteral("Account not found in database")};
  return {QVariant::fromValue(AccountRow{Unicode(row->User), Unicode(row->Name),
                                         Unicode(row->Description), Unicode(row->UpdateURL),
                                         uchar(row->Official.value_or(0))})};
}

QVariantList OperatorControl::CreateAccount(const Call& c) {
  Refuse(ops::CreateAccount(db_, AccountArgs(c), ops::AccountTexts::Checked), {}, 0);
  return {};
}

// An empty Password keeps the stored one.
QVariantList OperatorControl::EditAccount(const Call& c) {
  ops::AccountFields account = AccountArgs(c);
  account.KeepPassword = account.Password.empty();
  Refuse(ops::EditAccount(db_, account, ops::AccountTexts::Checked), {}, 0,
         {{Refusal::NoSuchAccount, "The username selected doesn't exist"}});
  return {};
}

// As the accounts list: a server online with the account is disconnected
// first.
QVariantList OperatorControl::DeleteAccount(const Call& c) {
  Refuse(ops::DeleteAccount(db_, registry_, c.Cp1252(0, "User"), ops::OnlineServers::Disconnect),
         {}, 0);
  return {};
}

// --- Bans, with or without an unban date ------------------------------------

// The ban editor's checks, in its order: an IP already banned is refused.
// What Tarnwick._clsControl's CreateBan cannot do is a ban without an unban
// date, which the console's ban editor can.
QVariantList OperatorControl::AddBan(const Call& c) {
  Refuse(ops::AddBan(db_, BanArgs(c), ops::SecondBanOnAddress::Refused), {}, 0);
  return {};
}

QVariantList OperatorControl::EditBan(const Call& c) {
  Refuse(ops::EditBan(db_, BanArgs(c), ops::BanNameCheck::NotFound), {}, 0,
         {{Refusal::IPMissing, "An IP must be entered"},
          {Refusal::NoSuchBan, "The ban name specified doesn't exist"}});
  return {};
}

QVariantList OperatorControl::DeleteBan(const Call& c) {
  Refuse(ops::DeleteBan(db_, c.Cp1252(0, "BanName")), {}, 0);
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
  if (fd < 0) throw Error{kBackupFailed, QStringLiteral("no file descriptor came with the call")};
  try {
    db_.Backup(fd);
  } catch (const DatabaseError& e) {
    throw Error{kBackupFailed, QString::fromUtf8(e.what())};
  }
  return {};
}
