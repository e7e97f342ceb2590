#pragma once
// clsControl: the registry's remote control for other programs on the same
// machine, published on D-Bus as object /clsControl with interface
// Tarnwick._clsControl (packaging/Tarnwick._clsControl.xml describes it).
// The same object carries the operator's interface Tarnwick.Operator
// (OperatorControl), under the same access rule; both are tables over one
// remote::Dispatcher. It works on the registry's own client table, tables
// and event log through the operator's rulebook (core/Operations.h), and
// never shows a window.
//
// A refused request is answered with a report in the caller's ErrData and
// the call completes; only an index outside the client table, a fault of the
// database or an argument the registry cannot take make the call itself fail
// with a D-Bus error.
#include "console/OperatorControl.h"
#include "remote/Dispatcher.h"

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <map>
#include <optional>

class ConsoleState;
class Database;
class LogSink;
class Registry;

class clsControl : public remote::Interface {
 public:
  // stopRegistry ends the registry (it need not return).
  clsControl(Registry& registry, Database& db, ConsoleState& console, LogSink& log,
             std::function<void()> stopRegistry);
  ~clsControl() override;

  // Decides from a caller's user id whether it may use the remote control
  // (both interfaces); a refused caller gets AccessDenied with the refusal
  // text. Without a check, every caller on the bus may.
  void SetCallerCheck(std::function<bool(uint uid)> check, QString refusal) {
    dispatcher_.SetCallerCheck(std::move(check), std::move(refusal));
  }

  // Registers the object and takes the well-known name on bus. On failure
  // nothing stays registered and *error says why.
  bool Publish(const QDBusConnection& bus, QString* error) { return dispatcher_.Publish(bus, error); }

  // Connections that currently hold instance values (for tests).
  int CallerCount() const { return int(callers_.size()); }

  // The interface Tarnwick.Operator of the same object.
  OperatorControl& Operator() { return operator_; }

  // remote::Interface
  const char* Name() const override { return remote::kControlInterface; }
  QString IntrospectionResource() const override;
  const char* Signature(const QString& member) const override;
  QVariantList Run(const QString& member, const remote::Call& call) override;
  QDBusMessage Properties(const QDBusMessage& message) override;
  void CallerLeft(const QString& name) override { callers_.erase(name); }

 private:
  using Call = remote::Call;
  // What each calling connection has of its own.
  struct Caller {
    QString username;
    std::optional<QStringList> serverList;  // nullopt: the live list
  };

  QStringList ServerListOf(const Caller& caller) const;
  QDBusMessage SetProperty(const QDBusMessage& message, Caller& caller);

  // The members of the interface. Each returns the reply's arguments and
  // throws remote::Error when the call fails outright.
  QVariantList SendMessage(const Call& a);
  QVariantList SendMessageToAll(const Call& a);
  QVariantList ShutdownServer(const Call& a);
  QVariantList GetServerInfo(const Call& a);
  QVariantList BootServer(const Call& a);
  QVariantList GetAccountData(const Call& a);
  QVariantList GetBanData(const Call& a);
  QVariantList FindServer(const Call& a);
  QVariantList CreateAccount(const Call& a);
  QVariantList EditAccount(const Call& a);
  QVariantList CreateBan(const Call& a);
  QVariantList EditBan(const Call& a);
  QVariantList DeleteAccount(const Call& a);
  QVariantList DeleteBan(const Call& a);
  QVariantList OptionText(const Call& a);
  QVariantList OptionCount(const Call& a);

  static const remote::Member<clsControl> kMembers[];

  Registry& registry_;
  Database& db_;
  ConsoleState& console_;
  LogSink& log_;
  std::function<void()> stopRegistry_;
  std::map<QString, Caller> callers_;
  OperatorControl operator_;
  remote::Dispatcher dispatcher_;
};
