// Installing and uninstalling the systemd service, against a unit directory
// and a systemctl of the test's own.
#include "FakeSystemd.h"

#include <QtTest>

class TestServiceHost : public QObject {
  Q_OBJECT
 private slots:
  void installWritesTheUnitAndEnablesIt();
  void installFailuresAreErrors();
  void uninstallDisablesAndRemoves();
  void uninstallFailureKeepsTheUnit();
};

void TestServiceHost::installWritesTheUnitAndEnablesIt() {
  FakeSystemd systemd;
  systemd.host.executable = "/srv/100% reg$istry/tarn\"wick";
  QString error;
  QVERIFY2(systemd.host.Install(&error), qPrintable(error));
  QFile unit(systemd.host.UnitPath());
  QVERIFY(unit.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(unit.readAll());
  QVERIFY(systemd.host.UnitPath().endsWith("/units/Kestrune.service"));
  for (const char* line :
       {"[Unit]\n", "\nDescription=Velkarin Server Registry\n", "\n[Service]\n", "\nType=notify\n",
        "\nExecStart=\"/srv/100%% reg$$istry/tarn\\\"wick\"\n",
        "\nWorkingDirectory=/srv/100%% reg$istry\n", "\n[Install]\n",
        "\nWantedBy=multi-user.target\n"})
    QVERIFY2(text.contains(line), line);
  QCOMPARE(systemd.Calls(), (QStringList{"enable Kestrune.service", "daemon-reload"}));

  // Installing again rewrites the unit and enables it again.
  systemd.host.executable = "/opt/registry/tarnwick";
  QVERIFY(systemd.host.Install(&error));
  unit.close();
  unit.open(QIODevice::ReadOnly);
  QVERIFY(unit.readAll().contains("\nExecStart=\"/opt/registry/tarnwick\"\nWorkingDirectory=/opt/registry\n"));
}

void TestServiceHost::installFailuresAreErrors() {
  FakeSystemd systemd;
  QString error;
  systemd.Fail({"enable"});
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY2(error.contains("Access denied"), qPrintable(error));
  QVERIFY(!systemd.Installed());

  // A unit that cannot be written: systemctl is not asked.
  systemd.Fail({});
  systemd.ClearCalls();
  systemd.host.unitDirectory = systemd.dir.filePath("missing");
  error.clear();
  QVERIFY(!systemd.host.Install(&error));
  QVERIFY(!error.isEmpty());
  QVERIFY(systemd.Calls().isEmpty());

  // No systemctl at all.
  systemd.host.unitDirectory = systemd.dir.filePath("units");
  systemd.host.systemctl = systemd.dir.filePath("no-such-systemctl");
  QVERIFY(!systemd.host.Install(&error));

  // A reload that fails (no service manager running) still installs.
  FakeSystemd container;
  container.Fail({"daemon-reload"});
  QVERIFY(container.host.Install(&error));
  QVERIFY(container.Installed());
}

void TestServiceHost::uninstallDisablesAndRemoves() {
  FakeSystemd systemd;
  QString error;
  // Nothing installed: nothing to do.
  QVERIFY(systemd.host.Uninstall(&error));
  QVERIFY(systemd.Calls().isEmpty());

  QVERIFY(systemd.host.Install(&error));
  systemd.ClearCalls();
  QVERIFY2(systemd.host.Uninstall(&error), qPrintable(error));
  QVERIFY(!systemd.Installed());
  QCOMPARE(systemd.Calls(), (QStringList{"disable Kestrune.service", "daemon-reload"}));
}

void TestServiceHost::uninstallFailureKeepsTheUnit() {
  FakeSystemd systemd;
  QString error;
  QVERIFY(systemd.host.Install(&error));
  systemd.Fail({"disable"});
  QVERIFY(!systemd.host.Uninstall(&error));
  QVERIFY(error.contains("disable"));
  QVERIFY(systemd.Installed());
}

QTEST_GUILESS_MAIN(TestServiceHost)
#include "test_service_host.moc"
