#pragma once
// The system service host (systemd). Begin serving tells the service manager
// that the registry is up (sd_notify READY=1); outside systemd it does
// nothing. Install writes the unit of the service "Kestrune" for the running
// program and enables it; uninstall disables it and removes the unit.
#include <QString>
#include <QStringList>

class ServiceHost {
 public:
  static inline const QString kUnitName = QStringLiteral("Kestrune.service");

  void BeginServing();
  // True when systemd started this process as a notify-type service.
  static bool StartedByServiceManager();

  // Both return false with a reason in *error when a step fails.
  bool Install(QString* error);
  // Nothing installed counts as uninstalled.
  bool Uninstall(QString* error);

  // Where the unit goes and which systemctl runs: tests point both at
  // their own, so they never touch the system.
  QString unitDirectory = QStringLiteral("/etc/systemd/system");
  QString systemctl = QStringLiteral("systemctl");
  // The program the service starts; empty means the running one.
  QString executable;

  QString UnitPath() const { return unitDirectory + "/" + kUnitName; }
  // The unit for a program; its folder is the working directory.
  static QString UnitText(const QString& executable);

 private:
  bool RunSystemctl(const QStringList& arguments, QString* error);
};
