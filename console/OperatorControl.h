#pragma once
// The operator's interface Tarnwick.Operator, on the remote control's object
// /clsControl beside Tarnwick._clsControl (packaging/Tarnwick.Operator.xml
// describes it): what the console shows and the older interface cannot list
// (the servers online with their details, the accounts, the bans, the event
// log), the console's commands addressed by user name, the main window's
// counters, bans without an unban date, and an online backup of the
// database. It is what tarnwickctl talks to.
//
// clsControl admits the caller (the same access rule for both interfaces)
// and hands each call of this interface here. A request it refuses fails
// with a D-Bus error; there are no ErrData reports.
//
// The event log is followed, not broadcast: every answered list request is a
// log line, and a signal per line to nobody in particular would cost a bus
// message each, at a rate the players set. So LogLine goes out only while
// someone follows the log (FollowLog), addressed to each follower.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <optional>
#include <set>
#include <string>

class ConsoleState;
class Database;
class Registry;

namespace control {
inline constexpr char kOperatorInterface[] = "Tarnwick.Operator";
inline constexpr char kNotOnline[] = "Tarnwick.Error.NotOnline";
inline constexpr char kRefused[] = "Tarnwick.Error.Refused";
inline constexpr char kBackupFailed[] = "Tarnwick.Error.Backup";

// The interface element of its introspection data, as installed.
QString OperatorInterfaceXml();
}  // namespace control

class OperatorControl : public QObject {
  Q_OBJECT
 public:
  OperatorControl(Registry& registry, Database& db, ConsoleState& console,
                  QObject* parent = nullptr);

  // Where EventLog and FollowLog read the event log, oldest line first.
  // Until it is set the log reads as empty.
  void SetLogLines(std::function<QStringList()> lines) { logLines_ = std::move(lines); }
  // To be called for every line added to the event log, as it is added.
  void OnLogLine(const std::string& line);

  // A method call of Tarnwick.Operator from an admitted caller; the reply.
  QDBusMessage Handle(const QDBusMessage& message, const QDBusConnection& bus);
  // Get, GetAll or Set of org.freedesktop.DBus.Properties naming this
  // interface, from an admitted caller; the reply.
  QDBusMessage HandleProperties(const QDBusMessage& message);

  // A connection left the bus: it follows the log no longer.
  void CallerLeft(const QString& name) { followers_.erase(name); }
  int FollowerCount() const { return int(followers_.size()); }

 private:
  class Call;
  struct Member;

  QVariantMap Properties() const;
  int ServersOnline() const;
  int AccessesPerHour() const;
  QStringList LogLines() const;
  int ServerSlot(const std::string& user) const;

  QVariantList ListServers(const Call& c);
  QVariantList ListAccounts(const Call& c);
  QVariantList ListBans(const Call& c);
  QVariantList EventLog(const Call& c);
  QVariantList FollowLog(const Call& c);
  QVariantList UnfollowLog(const Call& c);
  QVariantList SendMessageTo(const Call& c);
  QVariantList Disconnect(const Call& c);
  QVariantList AddGod(const Call& c);
  QVariantList AddBan(const Call& c);
  QVariantList EditBan(const Call& c);
  QVariantList Backup(const Call& c);

  static const Member kMembers[];

  Registry& registry_;
  Database& db_;
  ConsoleState& console_;
  std::function<QStringList()> logLines_;
  std::set<QString> followers_;            // unique names of the callers following the log
  std::optional<QDBusConnection> bus_;     // the followers' bus
};
