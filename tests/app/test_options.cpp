// The options dialog: what OK writes to server.ini and asks of the service
// host, in its order, with the two error messages.
#include "FakeSystemd.h"
#include "app/frmOptions.h"
#include "common/ScriptedPrompts.h"
#include "storage/Settings.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <QDir>
#include <QtTest>

namespace {

const PromptCall kInstallError{PromptCall::Notice,
                               "There was an error installing the registry as a service.", "Tarnwick"};
const PromptCall kUninstallError{PromptCall::Notice,
                                 "There was an error uninstalling the registry as a service.", "Tarnwick"};

struct OptionsHarness {
  QTemporaryDir folder;
  SettingsFile file{folder.path()};
  Settings settings;
  FakeSystemd systemd;
  ScriptedPrompts prompts;

  // Opens the dialog, sets the two boxes and presses OK (or Cancel).
  void Run(bool service, bool autoAllow, bool ok = true) {
    QPointer<frmOptions> dialog = new frmOptions(settings, file, systemd.host, prompts);
    dialog->show();
    dialog->chkService->setChecked(service);
    dialog->chkAutoAllow->setChecked(autoAllow);
    QTest::mouseClick(ok ? dialog->cmdOK : dialog->cmdCancel, Qt::LeftButton);
    QTRY_VERIFY(!dialog);  // closed and gone, whatever happened
  }
  std::string Stored(const char* key) const { return file.ReadSetting(key); }
};

}  // namespace

class TestOptions : public QObject {
  Q_OBJECT
 private slots:
  void loadsTheSettingsAndCancelChangesNothing();
  void serviceOnStoresAndInstalls();
  void installErrorTurnsServiceOff();
  void installErrorFromAnySystemctlStep();
  void serviceOffUninstalls();
  void uninstallErrorKeepsServiceAndInstallsAgain();
  void autoAllowStored();
  void failedSaveIsShownAndKeepsTheDialog();
};

// server.ini cannot be written (here a folder stands in its place): the
// dialog says so with the reason and stays open, nothing changes.
void TestOptions::failedSaveIsShownAndKeepsTheDialog() {
  OptionsHarness o;
  QVERIFY(QDir(o.folder.path()).mkdir("server.ini"));
  for (const bool service : {true, false}) {
    QPointer<frmOptions> dialog = new frmOptions(o.settings, o.file, o.systemd.host, o.prompts);
    dialog->show();
    dialog->chkService->setChecked(service);
    dialog->chkAutoAllow->setChecked(!service);
    QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
    QCOMPARE(o.prompts.calls.size(), std::size_t(1));
    const QString shown = o.prompts.calls[0].text;
    QVERIFY2(shown.startsWith("The options could not be saved: ") && shown.contains("server.ini"),
             qPrintable(shown));
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(!o.settings.Service && !o.settings.AutoAllow);
    QVERIFY(!o.systemd.Installed());
    o.prompts.calls.clear();
    delete dialog;
  }
}

void TestOptions::loadsTheSettingsAndCancelChangesNothing() {
  OptionsHarness o;
  o.settings = {true, false};
  frmOptions dialog(o.settings, o.file, o.systemd.host, o.prompts);
  QCOMPARE(dialog.windowTitle(), QString("Registry Options"));
  QCOMPARE(dialog.chkService->text(), QString("Start Registry automatically as a service"));
  QCOMPARE(dialog.chkAutoAllow->text(), QString("Automatically enable creation of new accounts"));
  QCOMPARE(dialog.cmdOK->text(), QString("OK"));
  QCOMPARE(dialog.cmdCancel->text(), QString("Cancel"));
  QVERIFY(dialog.chkService->isChecked());
  QVERIFY(!dialog.chkAutoAllow->isChecked());

  o.Run(false, true, /*ok=*/false);
  QVERIFY(o.settings.Service && !o.settings.AutoAllow);
  QVERIFY(!QFile::exists(o.file.Path()));
  QVERIFY(o.systemd.Calls().isEmpty());
}

void TestOptions::serviceOnStoresAndInstalls() {
  OptionsHarness o;
  o.Run(true, false);
  QCOMPARE(o.Stored("Service"), std::string("True"));
  QVERIFY(o.settings.Service);
  QVERIFY(o.systemd.Installed());
  QVERIFY(o.systemd.Calls().contains("enable Kestrune.service"));
  QVERIFY(o.prompts.calls.empty());
  // OK again with the setting already on asks for the install again.
  o.systemd.ClearCalls();
  o.Run(true, false);
  QVERIFY(o.systemd.Calls().contains("enable Kestrune.service"));
}

void TestOptions::installErrorTurnsServiceOff() {
  OptionsHarness o;
  o.systemd.Fail({"enable"});
  o.Run(true, false);
  QCOMPARE(o.prompts.TakeCalls(), std::vector<PromptCall>{kInstallError});
  QCOMPARE(o.Stored("Service"), std::string("False"));
  QVERIFY(!o.settings.Service);

  // Already on, and the repeated install fails: off as well.
  o.systemd.Fail({});
  o.Run(true, false);
  QVERIFY(o.settings.Service);
  o.systemd.Fail({"enable"});
  o.Run(true, false);
  QCOMPARE(o.prompts.TakeCalls(), std::vector<PromptCall>{kInstallError});
  QCOMPARE(o.Stored("Service"), std::string("False"));
}

void TestOptions::installErrorFromAnySystemctlStep() {
  // A manager that fails to reload, as systemctl does where systemd is not
  // running: the install failed, whatever enable said.
  OptionsHarness o;
  o.systemd.Fail({"daemon-reload"});
  o.Run(true, false);
  QCOMPARE(o.prompts.TakeCalls(), std::vector<PromptCall>{kInstallError});
  QCOMPARE(o.Stored("Service"), std::string("False"));
  QVERIFY(!o.settings.Service);
  QVERIFY(!o.systemd.Installed());

  // No systemd at all: the same, and nothing is written.
  o.systemd.Fail({});
  o.systemd.ClearCalls();
  o.systemd.noServiceManager = true;
  o.Run(true, false);
  QCOMPARE(o.prompts.TakeCalls(), std::vector<PromptCall>{kInstallError});
  QCOMPARE(o.Stored("Service"), std::string("False"));
  QVERIFY(!o.systemd.Installed());
  QVERIFY(o.systemd.Calls().isEmpty());
}

void TestOptions::serviceOffUninstalls() {
  OptionsHarness o;
  o.Run(true, false);
  o.systemd.ClearCalls();
  o.Run(false, false);
  QCOMPARE(o.Stored("Service"), std::string("False"));
  QVERIFY(!o.settings.Service);
  QVERIFY(!o.systemd.Installed());
  QCOMPARE(o.systemd.Calls(), (QStringList{"disable Kestrune.service", "daemon-reload"}));
  QVERIFY(o.prompts.calls.empty());
}

void TestOptions::uninstallErrorKeepsServiceAndInstallsAgain() {
  OptionsHarness o;
  o.Run(true, false);
  o.systemd.ClearCalls();
  o.systemd.Fail({"disable"});
  o.Run(false, false);
  // The setting stays on, so the install follows (and succeeds).
  QCOMPARE(o.prompts.TakeCalls(), std::vector<PromptCall>{kUninstallError});
  QCOMPARE(o.Stored("Service"), std::string("True"));
  QVERIFY(o.settings.Service);
  QCOMPARE(o.systemd.Calls(),
           (QStringList{"disable Kestrune.service", "daemon-reload", "enable Kestrune.service"}));
  // Both fail: both messages, in order, and the service ends off.
  o.systemd.Fail({"disable", "enable"});
  o.Run(false, false);
  QCOMPARE(o.prompts.TakeCalls(), (std::vector<PromptCall>{kUninstallError, kInstallError}));
  QCOMPARE(o.Stored("Service"), std::string("False"));
  QVERIFY(!o.settings.Service);
}

void TestOptions::autoAllowStored() {
  OptionsHarness o;
  o.Run(false, true);
  QCOMPARE(o.Stored("AutoAllow"), std::string("True"));
  QVERIFY(o.settings.AutoAllow);
  QCOMPARE(o.Stored("Service"), std::string());  // untouched
  o.Run(false, false);
  QCOMPARE(o.Stored("AutoAllow"), std::string("False"));
  QVERIFY(!o.settings.AutoAllow);
  QVERIFY(o.systemd.Calls().isEmpty());
}

QTEST_MAIN(TestOptions)
#include "test_options.moc"
