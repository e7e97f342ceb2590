#pragma once
// clsControl: the registry's remote control for other programs on the same
// machine, published on D-Bus as object /clsControl with interface
// Tarnwick._clsControl (packaging/Tarnwick._clsControl.xml describes it).
// The same object carries the operator's interface Tarnwick.Operator
// (OperatorControl), under the same access rule. It works on the registry's own client table, tables and event log, and
// never shows a window.
//
// A refused request is answered with a report in the caller's ErrData and
// the call completes; only an index outside the client table, a fault of the
// database or an argument the registry cannot take make the call itself fail
// with a D-Bus error.
//
// It is a virtual D-Bus object rather than a QObject with exported slots:
// the two properties belong to each calling connection, and Qt's own
// property dispatch never tells a getter who is asking.
#include "console/OperatorControl.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <map>
#include <optional>

struct AccountRecord;
class ConsoleState;
class Database;
class LogSink;
class Registry;

namespace control {
inline constexpr char kServiceName[] = "Tarnwick.clsControl";
inline constexpr char kObjectPath[] = "/clsControl";
inline constexpr char kInterface[] = "Tarnwick._clsControl";

inline constexpr char kSubscriptOutOfRange[] = "Tarnwick.Error.SubscriptOutOfRange";
inline constexpr char kDatabaseError[] = "Tarnwick.Error.Database";
inline constexpr char kInvalidText[] = "Tarnwick.Error.InvalidText";
inline constexpr char kInvalidDate[] = "Tarnwick.Error.InvalidDate";
inline constexpr char kMessageTooLong[] = "Tarnwick.Error.MessageTooLong";
inline constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";

// The interface element of the introspection data, as installed.
QString InterfaceXml();
}  // namespace control

class clsControl : public QDBusVirtualObject {
  Q_OBJECT
 public:
  // stopRegistry ends the registry (it need not return).
  clsControl(Registry& registry, Database& db, ConsoleState& console, LogSink& log,
             std::function<void()> stopRegistry, QObject* parent = nullptr);
  ~clsControl() override;

  // Decides from a caller's user id whether it may use the remote control;
  // a refused caller gets AccessDenied with the refusal text. Without a
  // check, every caller on the bus may.
  void SetCallerCheck(std::function<bool(uint uid)> check, QString refusal);

  // Registers the object and takes the well-known name on bus. On failure
  // nothing stays registered and *error says why.
  bool Publish(const QDBusConnection& bus, QString* error);

  // Connections that currently hold instance values (for tests).
  int CallerCount() const { return int(callers_.size()); }

  // The interface Tarnwick.Operator of the same object.
  OperatorControl& Operator() { return operator_; }

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private slots:
  void OnNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

 private:
  // What each calling connection has of its own.
  struct Caller {
    bool allowed = true;
    QString username;
    std::optional<QStringList> serverList;  // nullopt: the live list
  };
  struct Member;
  class Args;

  // nullptr when the caller has already left the bus.
  Caller* CallerFor(const QString& sender, const QDBusConnection& bus);
  QDBusMessage HandleProperties(const QDBusMessage& message, Caller& caller);
  QDBusMessage Invoke(const Member& member, const QDBusMessage& message);
  QStringList ServerListOf(const Caller& caller) const;

  // The members of the interface. Each returns the reply's arguments and
  // throws ControlError (in clsControl.cpp) when the call fails outright.
  QVariantList SendMessage(const Args& a);
  QVariantList SendMessageToAll(const Args& a);
  QVariantList ShutdownServer(const Args& a);
  QVariantList GetServerInfo(const Args& a);
  QVariantList BootServer(const Args& a);
  QVariantList GetAccountData(const Args& a);
  QVariantList GetBanData(const Args& a);
  QVariantList FindServer(const Args& a);
  QVariantList CreateAccount(const Args& a);
  QVariantList EditAccount(const Args& a);
  QVariantList CreateBan(const Args& a);
  QVariantList EditBan(const Args& a);
  QVariantList DeleteAccount(const Args& a);
  QVariantList DeleteBan(const Args& a);
  QVariantList OptionText(const Args& a);
  QVariantList OptionCount(const Args& a);
  static AccountRecord AccountFrom(const Args& a);

  static const Member kMembers[];

  Registry& registry_;
  Database& db_;
  ConsoleState& console_;
  LogSink& log_;
  std::function<void()> stopRegistry_;
  std::function<bool(uint)> callerCheck_;
  QString refusal_;
  std::optional<QDBusConnection> bus_;  // once published
  std::map<QString, Caller> callers_;
  bool stopAfterReply_ = false;
  OperatorControl operator_;
};
