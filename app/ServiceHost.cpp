#include "app/ServiceHost.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <cstdio>
#include <cstdlib>
#include <systemd/sd-daemon.h>

namespace {

constexpr int kSystemctlTimeoutMs = 30000;

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

QString UnitTemplate() {
  QFile file(":/tarnwick/Kestrune.service.in");
  file.open(QIODevice::ReadOnly);
  return QString::fromUtf8(file.readAll());
}

}  // namespace

void ServiceHost::BeginServing() { sd_notify(0, "READY=1"); }

bool ServiceHost::StartedByServiceManager() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

QString ServiceHost::UnitText(const QString& executable) {
  QString text = UnitTemplate();
  text.replace("@EXECUTABLE@", QuoteCommand(executable));
  text.replace("@FOLDER@", EscapeValue(QFileInfo(executable).absolutePath()));
  return text;
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

bool ServiceHost::Install(QString* error) {
  const QString program = executable.isEmpty() ? QCoreApplication::applicationFilePath() : executable;
  if (program.contains('\n') || program.contains('\r')) {
    *error = "the program's path cannot stand in a unit file: " + program;
    return false;
  }
  QSaveFile unit(UnitPath());
  const QByteArray text = UnitText(program).toUtf8();
  if (!unit.open(QIODevice::WriteOnly) || unit.write(text) != text.size() || !unit.commit()) {
    *error = UnitPath() + ": " + unit.errorString();
    return false;
  }
  if (!RunSystemctl({"enable", kUnitName}, error)) {
    // A unit that is not enabled would only mislead whoever finds it.
    QFile::remove(UnitPath());
    return false;
  }
  // The manager reads the new unit now rather than at the next boot; where
  // no manager runs (a container) the enabled unit is all there is to do.
  QString reloadError;
  if (!RunSystemctl({"daemon-reload"}, &reloadError))
    std::fprintf(stderr, "%s\n", qPrintable(reloadError));
  return true;
}

bool ServiceHost::Uninstall(QString* error) {
  if (!QFileInfo::exists(UnitPath())) return true;
  if (!RunSystemctl({"disable", kUnitName}, error)) return false;
  QFile unit(UnitPath());
  if (!unit.remove()) {
    *error = UnitPath() + ": " + unit.errorString();
    return false;
  }
  QString reloadError;
  if (!RunSystemctl({"daemon-reload"}, &reloadError))
    std::fprintf(stderr, "%s\n", qPrintable(reloadError));
  return true;
}
