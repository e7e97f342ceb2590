#pragma once
// A service host whose unit directory and systemctl are the test's own: the
// fake systemctl records its arguments, one call a line, and fails the verbs
// the test names. The program lies in a folder of the test's own, which
// belongs to an ordinary user (nobody, when the test runs as root), so the
// unit runs it as that user.
#include "app/ServiceHost.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <unistd.h>

struct FakeSystemd {
  QTemporaryDir dir;
  ServiceHost host;

  FakeSystemd() {
    QDir(dir.path()).mkdir("units");
    const QString script = dir.filePath("systemctl");
    QFile file(script);
    file.open(QIODevice::WriteOnly);
    file.write(QString("#!/bin/sh\n"
                       "echo \"$*\" >> '%1/calls'\n"
                       "if grep -qx \"$1\" '%1/fail' 2>/dev/null; then\n"
                       "  echo \"Failed to $1 unit: Access denied\" >&2; exit 1\n"
                       "fi\n")
                   .arg(dir.path())
                   .toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    host.systemctl = script;
    host.unitDirectory = dir.filePath("units");
    host.serviceManagerRunning = [this] { return !noServiceManager; };
    host.executable = ProgramIn("reg istry");
  }

  // A program folder inside the test's folder; returns the program's path.
  QString ProgramIn(const QString& folder) {
    QDir(dir.path()).mkpath(folder);
    const QString path = dir.filePath(folder);
    if (geteuid() == 0 && chown(QFile::encodeName(path).constData(), 65534, 65534) != 0) return {};
    return path + "/tarnwick";
  }

  QStringList Calls() const {
    QFile file(dir.filePath("calls"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  }
  void ClearCalls() { QFile::remove(dir.filePath("calls")); }
  void Fail(const QStringList& verbs) {
    QFile file(dir.filePath("fail"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write((verbs.join('\n') + '\n').toUtf8());
  }
  bool Installed() const { return QFile::exists(host.UnitPath()); }

  bool noServiceManager = false;  // as on a machine not booted with systemd
};
