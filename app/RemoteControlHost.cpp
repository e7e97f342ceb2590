#include "app/RemoteControlHost.h"

#include "app/RegistryApp.h"
#include "console/clsControl.h"
#include "storage/Cp1252.h"

#include <QDBusConnection>
#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <vector>

bool MayControlRegistry(uid_t uid) {
  if (uid == 0) return true;
  const group* operators = getgrnam(kOperatorGroup);
  if (!operators) return false;
  const gid_t wanted = operators->gr_gid;
  const passwd* user = getpwuid(uid);
  if (!user) return false;
  const std::string name = user->pw_name;
  const gid_t primary = user->pw_gid;
  if (primary == wanted) return true;
  // getgrouplist reports the size it needs when the list is too short.
  int count = 64;
  std::vector<gid_t> groups;
  do {
    groups.resize(static_cast<std::size_t>(count));
  } while (getgrouplist(name.c_str(), primary, groups.data(), &count) == -1 &&
           count > int(groups.size()));
  groups.resize(static_cast<std::size_t>(std::min(count, int(groups.size()))));
  return std::find(groups.begin(), groups.end(), wanted) != groups.end();
}

RemoteControlHost::RemoteControlHost(RegistryApp& app) : app_(app) {}

// The operator's interface reads the event log and hears of each new line.
void RemoteControlHost::FollowEventLog(OperatorControl& control) {
  EventLog& log = app_.eventLog();
  control.SetLogLines([&log] {
    QStringList lines;
    for (const std::string& line : log.Lines()) lines << cp1252::ToUnicode(line);
    return lines;
  });
  QObject::connect(&log, &EventLog::lineAppended, &control,
                   [&log, &control] { control.OnLogLine(log.Lines().back()); });
}

RemoteControlHost::~RemoteControlHost() = default;

bool RemoteControlHost::Publish() {
  const bool session = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
  const QDBusConnection bus = session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
  control_ = std::make_unique<clsControl>(app_.registry(), app_.database(), app_.console(),
                                          app_.eventLog(), [this] { app_.StopRegistry(); });
  FollowEventLog(control_->Operator());
  if (!session)
    control_->SetCallerCheck(MayControlRegistry,
                             QStringLiteral("Only root and members of the group %1 may use the "
                                            "registry's remote control")
                                 .arg(QLatin1String(kOperatorGroup)));
  QString error;
  if (control_->Publish(bus, &error)) return true;
  control_.reset();
  app_.eventLog().Warning(std::string("Tarnwick: remote control is off: ") +
                          (session ? "session" : "system") + " bus: " + cp1252::FromUnicode(error));
  return false;
}
