#pragma once
// The operator's interface Tarnwick.Operator, on the remote control's object
// /clsControl beside Tarnwick._clsControl (packaging/Tarnwick.Operator.xml
// describes it): what the console shows and the older interface cannot list
// (the servers online with their details, the accounts, the bans, the event
// log), the console's commands addressed by user name, the main window's
// counters, accounts and bans under the windows' rules, and an online
// backup of the database. It is the one interface tarnwickctl talks to.
//
// The dispatcher (remote/Dispatcher.h) admits the caller (the same access
// rule for both interfaces) and hands each call of this interface here. A
// request it refuses fails with a D-Bus error; there are no ErrData reports.
//
// The event log is followed, not broadcast: every answered list request is a
// log line, and a signal per line to nobody in particular would cost a bus
// message each, at a rate the players set. So LogLine goes out only while
// someone follows the log (FollowLog), addressed to each follower.
#include "remote/Dispatcher.h"

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
class LogSink;
class Registry;

class OperatorControl : public QObject, public remote::Interface {
  Q_OBJECT
 public:
  // stopRegistry stops the registry once the reply of the call is out.
  OperatorControl(Registry& registry, Database& db, ConsoleState& console, LogSink& log,
                  std::function<void()> stopRegistry, QObject* parent = nullptr);

  // Where EventLog and FollowLog read the event log, oldest line first.
  // Until it is set the log reads as empty.
  void SetLogLines(std::function<QStringList()> lines) { logLines_ = std::move(lines); }
  // To be called for every line added to the event log, as it is added.
  void OnLogLine(const std::string& line);

  int FollowerCount() const { return int(followers_.size()); }

  // remote::Interface
  const char* Name() const override { return remote::kOperatorInterface; }
  QString IntrospectionResource() const override;
  const char* Signature(const QString& member) const override;
  QVariantList Run(const QString& member, const remote::Call& call) override;
  QDBusMessage Properties(const QDBusMessage& message) override;
  // A connection left the bus: it follows the log no longer.
  void CallerLeft(const QString& name) override { followers_.erase(name); }

 private:
  using Call = remote::Call;

  QVariantMap PropertyValues() const;
  int ServersOnline() const;
  QStringList LogLines() const;

  QVariantList ListServers(const Call& c);
  QVariantList ListAccounts(const Call& c);
  QVariantList ListBans(const Call& c);
  QVariantList EventLog(const Call& c);
  QVariantList FollowLog(const Call& c);
  QVariantList UnfollowLog(const Call& c);
  QVariantList SendMessageTo(const Call& c);
  QVariantList SendMessageToAll(const Call& c);
  QVariantList Disconnect(const Call& c);
  QVariantList AddGod(const Call& c);
  QVariantList GetAccount(const Call& c);
  QVariantList CreateAccount(const Call& c);
  QVariantList EditAccount(const Call& c);
  QVariantList DeleteAccount(const Call& c);
  QVariantList AddBan(const Call& c);
  QVariantList EditBan(const Call& c);
  QVariantList DeleteBan(const Call& c);
  QVariantList Backup(const Call& c);
  QVariantList Shutdown(const Call& c);

  static const remote::Member<OperatorControl> kMembers[];

  Registry& registry_;
  Database& db_;
  ConsoleState& console_;
  LogSink& log_;
  std::function<void()> stopRegistry_;
  std::function<QStringList()> logLines_;
  std::set<QString> followers_;         // unique names of the callers following the log
  std::optional<QDBusConnection> bus_;  // the followers' bus
};
