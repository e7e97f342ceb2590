// Installing and uninstalling the systemd service, against a unit directory
// and a systemctl of the test's own.
#include "FakeSystemd.h"

#include <QtTest>
#include <pwd.h>
#include <sys/stat.h>

#ifndef TARNWICK_SOURCE_DIR
#error "TARNWICK_SOURCE_DIR must name the source tree"
#endif

namespace {

QString ReadText(const QString& path) {
  QFile file(path);
  file.open(QIODevice::ReadOnly);
  return QString::fromUtf8(file.readAll());
}

// The leading comment block and the rest of a unit.
QString Comment(const QString& unit) {
  QString comment;
  for (const QString& line : unit.split('\n')) {
    if (!line.startsWith('#')) break;
    comment += line + '\n';
  }
  return comment;
}
QString Body(const QString& unit) { return unit.mid(Comment(unit).size()); }

QString OwnerOf(const QString& path) {
  struct stat st;
  if (stat(QFile::encodeName(path).constData(), &st) != 0) return {};
  const passwd* user = getpwuid(st.st_uid);
  return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(st.st_uid);
}

}  // namespace

class TestServiceHost : public QObject {
  Q_OBJECT
 private slots:
  void installWritesTheSandboxedUnitAndEnablesIt();
  void packagedUnitIsTheTemplateForSrvRegistry();
  void runsAsTheFolderOwnerOrKestrune();
  void folderInAHomeIsBoundIntoEmptyHomes();
  void installFailuresAreErrors();
  void uninstallDisablesAndRemoves();
  void uninstallFailuresAreErrors();
};

void TestServiceHost::installWritesTheSandboxedUnitAndEnablesIt() {
  FakeSystemd systemd;
  systemd.host.executable = systemd.ProgramIn("100% reg$istry");
  QVERIFY(!systemd.host.executable.isEmpty());
  systemd.host.executable.replace("/tarnwick", "/tarn\"wick");
  const QString folder = QFileInfo(systemd.host.executable).absolutePath();
  const QString inUnit = QString(folder).replace('%', "%%");
  QString error;
  QVERIFY2(systemd.host.Install(&error), qPrintable(error));
  QVERIFY(systemd.host.UnitPath().endsWith("/units/Kestrune.service"));
  const QString text = ReadText(systemd.host.UnitPath());
  const QString user = OwnerOf(folder);
  QVERIFY(!user.isEmpty() && user != "root");
  for (const QString& line :
       {QString("[Unit]\n"), QString("\nDescription=Velkarin Server Registry\n"), QString("\n[Service]\n"),
        QString("\nType=notify\n"),
        "\nExecStart=\"" + QString(inUnit).replace("$", "$$") + "/tarn\\\"wick\"\n",
        "\nWorkingDirectory=" + inUnit + "\n", "\nReadWritePaths=\"" + inUnit + "\"\n",
        "\nUser=" + user + "\n", QString("\nUMask=0027\n"), QString("\nRestart=on-failure\n"),
        QString("\nNoNewPrivileges=yes\n"), QString("\nProtectSystem=strict\n"),
        QString("\nProtectHome=yes\n"), QString("\nCapabilityBoundingSet=\n"),
        QString("\nRestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"), QString("\nWatchdogSec=30\n"),
        QString("\nSystemCallFilter=@system-service\n"), QString("\nMemoryDenyWriteExecute=yes\n"),
        QString("\n[Install]\n"), QString("\nWantedBy=multi-user.target\n")})
    QVERIFY2(text.contains(line), qPrintable(line));
  QVERIFY(text.contains("\nGroup="));
  QVERIFY2(!text.contains(QRegularExpression("@[A-Z]+@")), qPrintable(text));
  // The explanatory comment is the template's, word for word.
  QCOMPARE(Comment(text), Comment(ReadText(":/tarnwick/Kestrune.service.in")));
  QVERIFY(!Comment(text).isEmpty());
  // The manager reads the unit before it is enabled.
  QCOMPARE(systemd.Calls(), (QStringList{"daemon-reload", "enable Kestrune.service"}));

  // Installing again rewrites the unit and enables it again.
  systemd.host.executable = systemd.ProgramIn("opt/registry");
  QVERIFY(systemd.host.Install(&error));
  QVERIFY(ReadText(systemd.host.UnitPath()).contains("/opt/registry/tarnwick\"\nWorkingDirectory="));
}

void TestServiceHost::packagedUnitIsTheTemplateForSrvRegistry() {
  QString error;
  const QString unit = ServiceHost::UnitText("/srv/registry/tarnwick", {"kestrune", "kestrune"}, &error);
  QVERIFY2(!unit.isEmpty(), qPrintable(error));
  const QString packaged = ReadText(TARNWICK_SOURCE_DIR "/packaging/Kestrune.service");
  QVERIFY(!packaged.isEmpty());
  QCOMPARE(Body(packaged), Body(unit));
}

void TestServiceHost::runsAsTheFolderOwnerOrKestrune() {
  QTemporaryDir dir;
  ServiceHost::Account account;
  QString error;
  if (geteuid() != 0) {
    QVERIFY2(ServiceHost::AccountFor(dir.path(), &account, &error), qPrintable(error));
    QCOMPARE(account.user, OwnerOf(dir.path()));
    QSKIP("owned by root: only a test run as root can give a folder to root");
  }
  // Root's folder: the registry runs as kestrune, which must exist.
  const bool haveKestrune = getpwnam("kestrune") != nullptr;
  QCOMPARE(ServiceHost::AccountFor(dir.path(), &account, &error), haveKestrune);
  if (haveKestrune)
    QCOMPARE(account.user, QString("kestrune"));
  else
    QVERIFY2(error.contains("kestrune") && error.contains("useradd"), qPrintable(error));
  // Anyone else's folder: its owner, in the owner's group.
  QVERIFY(chown(QFile::encodeName(dir.path()).constData(), 65534, 65534) == 0);
  QVERIFY2(ServiceHost::AccountFor(dir.path(), &account, &error), qPrintable(error));
  QCOMPARE(account.user, OwnerOf(dir.path()));
  QVERIFY(!account.group.isEmpty() && account.group != "root");
  QVERIFY(!ServiceHost::AccountFor(dir.filePath("missing"), &account, &error));
}

void TestServiceHost::folderInAHomeIsBoundIntoEmptyHomes() {
  QString error;
  const ServiceHost::Account op{"op", "op"};
  for (const char* program : {"/home/op/reg/tarnwick", "/root/tarnwick", "/run/user/1000/r/tarnwick"}) {
    const QString unit = ServiceHost::UnitText(program, op, &error);
    const QString folder = QFileInfo(program).absolutePath();
    QVERIFY2(unit.contains("\nProtectHome=tmpfs\nBindPaths=\"" + folder + "\"\n"), program);
    QVERIFY(unit.contains("\nReadWritePaths=\"" + folder + "\"\n"));
    QVERIFY(!unit.contains("ProtectHome=yes"));
  }
  const QString elsewhere = ServiceHost::UnitText("/homestead/tarnwick", op, &error);
  QVERIFY(elsewhere.contains("\nProtectHome=yes\n"));
  QVERIFY(!elsewhere.contains("BindPaths"));
  // A folder systemd would read as a list or escapes is refused.
  for (const char* program : {"/srv/a\"b/tarnwick", "/srv/a:b/tarnwick", "/srv/a\\b/tarnwick"}) {
    error.clear();
    QVERIFY2(ServiceHost::UnitText(program, op, &error).isEmpty(), program);
    QVERIFY(error.contains("folder"));
  }
}

void TestServiceHost::installFailuresAreErrors() {
  FakeSystemd systemd;
  QString error;
  systemd.Fail({"enable"});
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY2(error.contains("Access denied"), qPrintable(error));
  QVERIFY(!systemd.Installed());

  // A manager that cannot reload: nothing stays installed.
  systemd.Fail({"daemon-reload"});
  systemd.ClearCalls();
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY(error.contains("daemon-reload"));
  QVERIFY(!systemd.Installed());
  QVERIFY(!systemd.Calls().contains("enable Kestrune.service"));

  // No systemd on the machine: nothing is written, systemctl is not asked.
  systemd.Fail({});
  systemd.ClearCalls();
  systemd.noServiceManager = true;
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY2(error.contains("systemd is not running"), qPrintable(error));
  QVERIFY(!systemd.Installed());
  QVERIFY(systemd.Calls().isEmpty());
  systemd.noServiceManager = false;

  // A unit that cannot be written: systemctl is not asked.
  systemd.host.unitDirectory = systemd.dir.filePath("missing");
  error.clear();
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY(!error.isEmpty());
  QVERIFY(systemd.Calls().isEmpty());

  // No systemctl at all.
  systemd.host.unitDirectory = systemd.dir.filePath("units");
  systemd.host.systemctl = systemd.dir.filePath("no-such-systemctl");
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY(!systemd.Installed());

  // A program folder that cannot stand in a unit.
  FakeSystemd quoted;
  quoted.host.executable = quoted.ProgramIn("a:b");
  QVERIFY(!quoted.host.Install(&error));
  QVERIFY(!quoted.Installed());
}

void TestServiceHost::uninstallDisablesAndRemoves() {
  FakeSystemd systemd;
  QString error;
  // Nothing installed: nothing to do, with or without systemd.
  systemd.noServiceManager = true;
  QVERIFY(systemd.host.Uninstall(&error));
  systemd.noServiceManager = false;
  QVERIFY(systemd.host.Uninstall(&error));
  QVERIFY(systemd.Calls().isEmpty());

  QVERIFY(systemd.host.Install(&error));
  systemd.ClearCalls();
  QVERIFY2(systemd.host.Uninstall(&error), qPrintable(error));
  QVERIFY(!systemd.Installed());
  QCOMPARE(systemd.Calls(), (QStringList{"disable Kestrune.service", "daemon-reload"}));
}

void TestServiceHost::uninstallFailuresAreErrors() {
  FakeSystemd systemd;
  QString error;
  QVERIFY(systemd.host.Install(&error));
  systemd.Fail({"disable"});
  QVERIFY(!systemd.host.Uninstall(&error));
  QVERIFY(error.contains("disable"));
  QVERIFY(systemd.Installed());

  systemd.Fail({});
  systemd.noServiceManager = true;
  QVERIFY(!systemd.host.Uninstall(&error));
  QVERIFY(error.contains("systemd is not running"));
  QVERIFY(systemd.Installed());

  // Disabled and removed, but the manager did not take it in.
  systemd.noServiceManager = false;
  systemd.Fail({"daemon-reload"});
  QVERIFY(!systemd.host.Uninstall(&error));
  QVERIFY(error.contains("daemon-reload"));
}

QTEST_GUILESS_MAIN(TestServiceHost)
#include "test_service_host.moc"
