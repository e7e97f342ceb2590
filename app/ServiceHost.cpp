#include "app/ServiceHost.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kSystemctlTimeoutMs = 30000;
const QString kTemplate = QStringLiteral(":/tarnwick/Kestrune.service.in");

// systemd expands % specifiers and $ variables in unit values; a path must
// reach the program as it is.
QString EscapeValue(QString value) {
  value.replace('%', "%%");
  return value;
}

QString QuoteCommand(QString path) {
  path.replace('\\', "\\\\").replace('"', "\\\"").replace('$', "$$");
  return '"' + EscapeValue(path) + '"';
}

// The folder is written unquoted (WorkingDirectory=) and between double
// quotes in path lists, where systemd would read these characters as
// escapes, list or field separators.
bool FolderFitsUnit(const QString& folder) {
  for (const QChar c : folder)
    if (c < QChar(0x20) || c == QChar(0x7F) || c == '"' || c == '\\' || c == ':') return false;
  return true;
}

// Directories ProtectHome= hides. A folder below them cannot be opened up
// with ReadWritePaths=; the homes are then replaced by empty ones and the
// folder alone is bound into them.
bool InHomeArea(const QString& folder) {
  for (const char* area : {"/home", "/root", "/run/user"}) {
    const QString base = QString::fromLatin1(area);
    if (folder == base || folder.startsWith(base + '/')) return true;
  }
  return false;
}

QString UserName(uid_t uid) {
  if (const passwd* user = getpwuid(uid)) return QString::fromLocal8Bit(user->pw_name);
  return QString::number(uid);
}

QString GroupName(gid_t gid) {
  if (const group* entry = getgrgid(gid)) return QString::fromLocal8Bit(entry->gr_name);
  return QString::number(gid);
}

}  // namespace

void ServiceHost::BeginServing() { sd_notify(0, "READY=1"); }

void ServiceHost::Watchdog() {
  // Asked once: the unit's setting does not change while the process runs.
  static const bool wanted = [] {
    std::uint64_t interval = 0;
    return sd_watchdog_enabled(0, &interval) > 0;
  }();
  if (wanted) sd_notify(0, "WATCHDOG=1");
}

bool ServiceHost::StartedByServiceManager() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

bool ServiceHost::DefaultServiceManagerRunning() { return sd_booted() > 0; }

bool ServiceHost::AccountFor(const QString& folder, Account* account, QString* error) {
  struct stat st;
  if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
    *error = folder + ": " + QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  if (st.st_uid != 0) {
    const passwd* owner = getpwuid(st.st_uid);
    account->user = UserName(st.st_uid);
    account->group = owner ? GroupName(owner->pw_gid) : GroupName(st.st_gid);
    return true;
  }
  const passwd* service = getpwnam(QFile::encodeName(kServiceUser).constData());
  if (!service) {
    *error = folder + " belongs to root, and the registry runs as the user " + kServiceUser +
             ", which does not exist: create it (useradd --system --user-group " + kServiceUser +
             ") and give it the folder, or give the folder to the user it should run as";
    return false;
  }
  account->user = kServiceUser;
  account->group = GroupName(service->pw_gid);
  return true;
}

QString ServiceHost::UnitText(const QString& executable, const Account& account, QString* error) {
  const QString folder = QFileInfo(executable).absolutePath();
  if (!FolderFitsUnit(folder)) {
    *error = "the program's folder cannot stand in a unit file (quotes, backslashes, colons or "
             "control characters): " + folder;
    return {};
  }
  QFile file(kTemplate);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = "the unit template " + kTemplate + " cannot be read: " + file.errorString();
    return {};
  }
  const QString home = InHomeArea(folder) ? "ProtectHome=tmpfs\nBindPaths=\"" + EscapeValue(folder) + '"'
                                          : QString();
  QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
  // The comments explain the placeholders and stay as they are.
  for (QString& line : lines) {
    if (line.startsWith('#')) continue;
    line.replace("@EXECUTABLE@", QuoteCommand(executable));
    line.replace("@FOLDER@", EscapeValue(folder));
    line.replace("@USER@", EscapeValue(account.user));
    line.replace("@GROUP@", EscapeValue(account.group));
    if (line == "ProtectHome=yes" && !home.isEmpty()) line = home;
  }
  return lines.join('\n');
}

bool ServiceHost::RunSystemctl(const QStringList& arguments, QString* error) {
  QProcess process;
  process.start(systemctl, arguments);
  if (!process.waitForStarted() || !process.waitForFinished(kSystemctlTimeoutMs)) {
    *error = systemctl + ": " + process.errorString();
    process.kill();
    process.waitForFinished();
    return false;
  }
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
    *error = systemctl + " " + arguments.join(' ') + " failed: " +
             QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return false;
  }
  return true;
}

void ServiceHost::RemoveUnit() {
  QFile::remove(UnitPath());
  QString ignored;
  RunSystemctl({"daemon-reload"}, &ignored);
}

bool ServiceHost::Install(QString* error) {
  const QString program = executable.isEmpty() ? QCoreApplication::applicationFilePath() : executable;
  if (program.contains('\n') || program.contains('\r')) {
    *error = "the program's path cannot stand in a unit file: " + program;
    return false;
  }
  if (!serviceManagerRunning()) {
    *error = "systemd is not running on this machine (it was not booted with systemd)";
    return false;
  }
  Account account;
  if (!AccountFor(QFileInfo(program).absolutePath(), &account, error)) return false;
  const QByteArray text = UnitText(program, account, error).toUtf8();
  if (text.isEmpty()) return false;
  QSaveFile unit(UnitPath());
  if (!unit.open(QIODevice::WriteOnly) || unit.write(text) != text.size() || !unit.commit()) {
    *error = UnitPath() + ": " + unit.errorString();
    return false;
  }
  // The manager reads the new unit before it is enabled.
  if (!RunSystemctl({"daemon-reload"}, error) || !RunSystemctl({"enable", kUnitName}, error)) {
    RemoveUnit();
    return false;
  }
  return true;
}

bool ServiceHost::Uninstall(QString* error) {
  if (!QFileInfo::exists(UnitPath())) return true;
  if (!serviceManagerRunning()) {
    *error = "systemd is not running on this machine (it was not booted with systemd)";
    return false;
  }
  if (!RunSystemctl({"disable", kUnitName}, error)) return false;
  QFile unit(UnitPath());
  if (!unit.remove()) {
    *error = UnitPath() + ": " + unit.errorString();
    return false;
  }
  return RunSystemctl({"daemon-reload"}, error);
}
