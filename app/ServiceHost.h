#pragma once
// The system service host (systemd). Begin serving tells the service manager
// that the registry is up (sd_notify READY=1); outside systemd it does
// nothing. Install writes the unit of the service "Kestrune" for the running
// program and enables it; uninstall disables it and removes the unit. The
// unit runs the registry sandboxed, as an ordinary user, never as root.
#include <QString>
#include <QStringList>
#include <functional>

class ServiceHost {
 public:
  static inline const QString kUnitName = QStringLiteral("Kestrune.service");
  // Who runs a registry whose folder belongs to root.
  static inline const QString kServiceUser = QStringLiteral("kestrune");

  void BeginServing();
  // Tells the service manager's watchdog that the event loop is turning
  // (WATCHDOG=1), when the unit asked for it (WatchdogSec=); otherwise
  // nothing. Called from the registry thread's timer, so a loop that hangs
  // stops the pings and systemd restarts the registry.
  void Watchdog();
  // True when systemd started this process as a notify-type service.
  static bool StartedByServiceManager();

  // Both return false with a reason in *error when a step fails, when a
  // systemctl step exits non-zero, or when systemd does not run at all.
  bool Install(QString* error);
  // Nothing installed counts as uninstalled.
  bool Uninstall(QString* error);

  // Where the unit goes, which systemctl runs and whether a service manager
  // runs: tests point all three at their own, so they never touch the
  // system.
  QString unitDirectory = QStringLiteral("/etc/systemd/system");
  QString systemctl = QStringLiteral("systemctl");
  std::function<bool()> serviceManagerRunning = DefaultServiceManagerRunning;
  // The program the service starts; empty means the running one.
  QString executable;

  QString UnitPath() const { return unitDirectory + "/" + kUnitName; }

  // The user and group a service runs as.
  struct Account {
    QString user;
    QString group;
  };
  // The owner of the program folder and the owner's group, or kestrune when
  // root owns the folder (false with a reason when that user is missing).
  static bool AccountFor(const QString& folder, Account* account, QString* error);
  // The unit for a program run as `account`; its folder is the working
  // directory and the only one it may write. Empty, with a reason, when the
  // template cannot be read or the folder cannot stand in a unit file.
  static QString UnitText(const QString& executable, const Account& account, QString* error);

 private:
  static bool DefaultServiceManagerRunning();
  bool RunSystemctl(const QStringList& arguments, QString* error);
  // Removes the unit after a failed install, so no half-installed service
  // is left to mislead whoever finds it.
  void RemoveUnit();
};
