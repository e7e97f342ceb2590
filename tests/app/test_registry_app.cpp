// The registry with its main window: start-up with and without a desktop,
// the tray icon, the close handling, stops that do not ask, the options
// dialog from the menu and the update hand-off.
#include "FakeSystemd.h"
#include "admin/AdminWindows.h"
#include "admin/frmAccounts.h"
#include "admin/frmBans.h"
#include "app/RegistryApp.h"
#include "app/TrayIcon.h"
#include "app/frmOptions.h"
#include "common/Peer.h"
#include "common/ScriptedPrompts.h"
#include "common/TestBackend.h"
#include "console/frmMain.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QtTest>

namespace {

const PromptCall kCloseQuestion{PromptCall::YesNo,
                                "Are you sure you want to close the server registry?", "Tarnwick"};
const char kUpdaterFailed[] = "The update was not started: updater.exe could not be run.";

struct AppHarness {
  QTemporaryDir folder;
  ScriptedPrompts prompts;
  std::unique_ptr<RegistryApp> app;
  int ended = -1;

  explicit AppHarness(bool desktop, const QByteArray& ini = {}) {
    if (!ini.isEmpty()) WriteFile("server.ini", ini);
    StartOptions options;
    options.programFolder = folder.path();
    options.workDir = folder.path();
    options.port = 0;
    options.interactiveDesktop = desktop;
    options.echoLog = false;
    options.httpListen = "off";
    app = std::make_unique<RegistryApp>(options);
    app->SetPrompts(&prompts);
    app->endProcess = [this](int status) { ended = status; };
    app->Start();
  }

  frmMain& window() { return *app->mainWindow(); }
  TrayIcon& tray() { return *app->tray(); }
  void Trigger(const char* item) { window().findChild<QAction*>(item)->trigger(); }

  std::unique_ptr<Peer> NewServer(const std::string& user) {
    app->console().SetAllowNewAccounts(true);
    auto peer = std::make_unique<Peer>(app->registry().ListeningPort());
    peer->WaitConnected();
    peer->SendPacket(Bytes({0}) + AccountPayload(user, "secret"));
    (void)QTest::qWaitFor([&] { return app->registry().FindClientByUser(user) != 0; }, 5000);
    return peer;
  }

  void WriteFile(const QString& name, const QByteArray& text, bool executable = false) {
    QFile file(folder.filePath(name));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
    file.close();
    // Whatever the umask: the update hand-off looks at who may write.
    QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable) mode |= QFile::ExeOwner;
    file.setPermissions(mode);
  }

  QStringList Log() const {
    QStringList lines;
    for (const std::string& line : app->eventLog().Lines()) lines << QString::fromStdString(line);
    return lines;
  }
};

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class TestRegistryApp : public QObject {
  Q_OBJECT
 private slots:
  void headlessStartKeepsTheWindowHidden();
  void desktopStartShowsTheWindowAndTheTray();
  void shownLogFollowsTheEventLog();
  void trayIconComesAndGoesWithTheTray();
  void minimisedWindowHidesUntilTrayDoubleClick();
  void closeAnsweredNoKeepsServing();
  void exitAnsweredYesStops();
  void stopFromElsewhereAsksNothing();
  void optionsDialogFromTheMenu();
  void accountAndBanWindowsFromTheMenus();
  void sharedDatabaseAwayAtTheStart();
  void updateHandOff();
  void updaterThatCannotStart();
  void updaterOthersCouldHavePutThere();
};

void TestRegistryApp::headlessStartKeepsTheWindowHidden() {
  AppHarness a(false);
  frmMain& w = a.window();
  QVERIFY(w.isHidden());
  QVERIFY(w.lstOutput->isVisibleTo(&w));
  QVERIFY(!w.lstServers->isVisibleTo(&w));
  QCOMPARE(w.windowTitle(), QString("The Velkarin Server Registry [0]"));
  const QString loaded = QString::fromStdString(LoadedLine(a.app->registry().ListeningPort()));
  // The window follows the event log once per pass of the event loop.
  QTRY_COMPARE(w.lstOutput->count(), 1);
  QCOMPARE(w.lstOutput->item(0)->text(), loaded);
  QVERIFY(!w.findChild<QAction*>("mnuAccountsNew")->isChecked());
  a.app->OnGeneralTimer();
  QVERIFY(w.isHidden());
  QVERIFY(!a.tray().IsAdded());  // no notification area offscreen

  // The log view follows the event log, 50 lines at most.
  for (int i = 0; i < 60; ++i) a.app->eventLog().AddLogLine("line " + std::to_string(i));
  QTRY_COMPARE(w.lstOutput->item(0)->text(), QString("line 10"));
  QCOMPARE(w.lstOutput->count(), 50);
  QCOMPARE(w.lstOutput->item(0)->text(), QString("line 10"));
  QCOMPARE(w.lstOutput->currentRow(), 49);
}

void TestRegistryApp::desktopStartShowsTheWindowAndTheTray() {
  AppHarness a(true, "[Kestrune]\nAutoAllow=True\n");
  frmMain& w = a.window();
  QVERIFY(w.isVisible());
  QVERIFY(w.lstOutput->isVisible());
  QVERIFY(w.findChild<QAction*>("mnuAccountsNew")->isChecked());
  QCOMPARE(a.tray().icon()->contextMenu(), w.FileMenu());
  QVERIFY(!a.tray().icon()->icon().isNull());
}

// The window catches up with the event log once per pass of the event loop,
// whatever was logged meanwhile: the same lines, 50 at most, the newest
// selected.
void TestRegistryApp::shownLogFollowsTheEventLog() {
  AppHarness a(true);
  frmMain& w = a.window();
  QVERIFY(w.isVisible());
  auto shown = [&] {
    QStringList lines;
    for (int i = 0; i < w.lstOutput->count(); ++i) lines << w.lstOutput->item(i)->text();
    return lines;
  };
  QTRY_COMPARE(shown(), a.Log());
  for (int i = 0; i < 48; ++i) a.app->eventLog().AddLogLine("first " + std::to_string(i));
  QTRY_COMPARE(shown(), a.Log());
  QCOMPARE(w.lstOutput->count(), 49);
  for (int i = 0; i < 3; ++i) a.app->eventLog().AddLogLine("then " + std::to_string(i));
  QTRY_COMPARE(shown(), a.Log());
  QCOMPARE(w.lstOutput->count(), 50);
  QCOMPARE(w.lstOutput->item(0)->text(), QString("first 1"));
  QCOMPARE(w.lstOutput->currentRow(), 49);
  QVERIFY(w.lstOutput->item(49)->isSelected());
  a.app->eventLog().AddLogLine("");  // an empty line counts too
  QTRY_COMPARE(w.lstOutput->item(49)->text(), QString());
  QCOMPARE(shown(), a.Log());
}

void TestRegistryApp::trayIconComesAndGoesWithTheTray() {
  AppHarness a(false);
  auto alpha = a.NewServer("alpha");
  // The tray turns up after start: the next tick adds the icon, with the
  // number of connections of now.
  a.tray().trayAvailable = [] { return true; };
  a.app->OnGeneralTimer();
  QVERIFY(a.tray().IsAdded());
  QVERIFY(a.tray().icon()->isVisible());
  QCOMPARE(a.tray().icon()->toolTip(), QString("Kestrune [1]"));
  auto beta = a.NewServer("beta");
  QCOMPARE(a.tray().icon()->toolTip(), QString("Kestrune [2]"));
  // The tray goes and comes back: the icon is added anew.
  a.tray().trayAvailable = [] { return false; };
  a.app->OnGeneralTimer();
  QVERIFY(!a.tray().IsAdded());
  a.tray().trayAvailable = [] { return true; };
  a.app->OnGeneralTimer();
  QVERIFY(a.tray().IsAdded());
  QVERIFY(a.tray().icon()->isVisible());
}

void TestRegistryApp::minimisedWindowHidesUntilTrayDoubleClick() {
  AppHarness a(true);
  frmMain& w = a.window();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  w.showMinimized();
  a.app->OnGeneralTimer();
  QVERIFY(w.isHidden());
  // A single click on the icon does nothing; a double-click restores.
  emit a.tray().icon()->activated(QSystemTrayIcon::Trigger);
  QVERIFY(w.isHidden());
  emit a.tray().icon()->activated(QSystemTrayIcon::DoubleClick);
  QVERIFY(w.isVisible());
  QVERIFY(!w.isMinimized());
  a.app->OnGeneralTimer();
  QVERIFY(w.isVisible());
}

void TestRegistryApp::closeAnsweredNoKeepsServing() {
  AppHarness a(true);
  frmMain& w = a.window();
  QVERIFY(!w.close());
  QVERIFY(w.isHidden());
  QCOMPARE(a.prompts.TakeCalls(), std::vector<PromptCall>{kCloseQuestion});
  QCOMPARE(a.ended, -1);
  // Still serving; the tray icon brings the window back.
  auto alpha = a.NewServer("alpha");
  QCOMPARE(w.lstServers->count(), 1);
  emit a.tray().icon()->activated(QSystemTrayIcon::DoubleClick);
  QVERIFY(w.isVisible());
}

void TestRegistryApp::exitAnsweredYesStops() {
  AppHarness a(true);
  a.tray().trayAvailable = [] { return true; };
  a.app->OnGeneralTimer();
  auto alpha = a.NewServer("alpha");
  auto beta = a.NewServer("beta");
  a.prompts.yesNo = {true};
  a.Trigger("mnuFileExit");
  QCOMPARE(a.prompts.TakeCalls(), std::vector<PromptCall>{kCloseQuestion});
  QCOMPARE(a.ended, 0);
  QVERIFY(a.app->isStopping());
  QVERIFY(a.window().isHidden());
  QVERIFY(!a.tray().IsAdded());
  QVERIFY(!a.tray().icon()->isVisible());
  QTRY_VERIFY(alpha->Closed());
  QTRY_VERIFY(beta->Closed());
  QVERIFY(a.Log().contains("alpha has disconnected from 127.0.0.1"));
}

void TestRegistryApp::stopFromElsewhereAsksNothing() {
  AppHarness a(true);
  a.Trigger("mnuServerMessage");
  a.Trigger("mnuOptions");
  QVERIFY(a.window().MessageDialog());
  QVERIFY(a.app->optionsDialog());
  a.app->StopRegistry();  // as the service stop or the remote shutdown do
  QVERIFY(a.prompts.calls.empty());
  QCOMPARE(a.ended, 0);
  QVERIFY(a.window().isHidden());
  QTRY_VERIFY(!a.window().MessageDialog());
  QTRY_VERIFY(!a.app->optionsDialog());
  // A second stop does nothing more.
  a.ended = -1;
  a.app->StopRegistry();
  QCOMPARE(a.ended, -1);
}

void TestRegistryApp::optionsDialogFromTheMenu() {
  AppHarness a(true);
  FakeSystemd systemd;
  a.app->serviceHost() = systemd.host;
  a.Trigger("mnuOptions");
  frmOptions* dialog = a.app->optionsDialog();
  QVERIFY(dialog && dialog->isVisible());
  a.Trigger("mnuOptions");
  QCOMPARE(a.app->optionsDialog(), dialog);

  dialog->chkService->setChecked(true);
  dialog->chkAutoAllow->setChecked(true);
  QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
  QTRY_VERIFY(!a.app->optionsDialog());
  QFile ini(a.folder.filePath("server.ini"));
  QVERIFY(ini.open(QIODevice::ReadOnly));
  const QByteArray text = ini.readAll();
  QVERIFY2(text.contains("Service=True") && text.contains("AutoAllow=True"), text.constData());
  QVERIFY(systemd.Installed());
  // The running registry's check mark is not the setting's.
  QVERIFY(!a.window().findChild<QAction*>("mnuAccountsNew")->isChecked());
  QVERIFY(!a.app->console().AllowNewAccounts());
}

void TestRegistryApp::accountAndBanWindowsFromTheMenus() {
  AppHarness a(false);
  a.Trigger("mnuAccountsEdit");
  frmAccounts* accounts = a.app->adminWindows()->Accounts();
  QVERIFY(accounts);
  QCOMPARE(accounts->parentWidget(), static_cast<QWidget*>(&a.window()));
  a.Trigger("mnuEditBanList");
  frmBans* bans = a.app->adminWindows()->BanList();
  QVERIFY(bans);
  // Choosing the item again only brings the open list to the front.
  a.Trigger("mnuEditBanList");
  QCOMPARE(a.app->adminWindows()->BanList(), bans);
  // The stop operation closes them with the rest.
  a.app->StopRegistry();
  QTRY_VERIFY(!a.app->adminWindows()->Accounts());
  QTRY_VERIFY(!a.app->adminWindows()->BanList());
  QCOMPARE(a.ended, 0);
}

// Database= names a PostgreSQL server that is not running yet: the registry
// starts all the same, says so once, shows the error in its windows, and
// serves from the database once the server is up.
void TestRegistryApp::sharedDatabaseAwayAtTheStart() {
  PgServer& server = testbackend::Server();
  const std::string conninfo = testbackend::FreshDatabase();
  QVERIFY(server.StopServer());
  AppHarness a(false, "[Kestrune]\nDatabase=" + QByteArray::fromStdString(conninfo) + "\n");
  QCOMPARE(a.ended, -1);
  QVERIFY(a.app->database().Shared());
  const QString away = QString::fromStdString("The database " + a.app->database().Shown() + " is unreachable: ");
  for (int i = 0; i < 4; ++i) a.app->OnGeneralTimer();
  QCOMPARE(a.Log().filter(away).size(), 1);
  QVERIFY(a.Log().filter(away).front().endsWith("; retrying."));
  a.Trigger("mnuAccountsEdit");
  a.Trigger("mnuEditBanList");
  const auto shown = [&](const QString& start) {
    int n = 0;
    for (const QString& text : a.prompts.Notices()) n += text.startsWith(start);
    return n;
  };
  QCOMPARE(shown("The accounts could not be read: "), 1);
  QCOMPARE(shown("The bans could not be read: "), 1);

  QVERIFY(server.StartServer());
  QTRY_VERIFY_WITH_TIMEOUT(a.Log().contains("The database is reachable again."), 10000);
  auto alpha = a.NewServer("alpha");
  QVERIFY(a.app->registry().FindClientByUser("alpha") != 0);
  QCOMPARE(testbackend::Raw(conninfo, "SELECT \"User\" FROM \"Servers\""), std::string("alpha"));
  QCOMPARE(a.Log().filter(away).size(), 1);
}

void TestRegistryApp::updateHandOff() {
  AppHarness a(false);
  auto alpha = a.NewServer("alpha");
  const QString marker = a.folder.filePath("updater-ran");
  const QByteArray updater = "#!/bin/sh\necho \"$#\" > '" + marker.toUtf8() + "'\n";
  // Either file alone: nothing happens.
  a.WriteFile("updater.exe", updater, true);
  a.app->OnGeneralTimer();
  QFile::remove(a.folder.filePath("updater.exe"));
  a.WriteFile("regupdate.exe", "new registry");
  a.app->OnGeneralTimer();
  QCOMPARE(a.ended, -1);
  QVERIFY(!alpha->Closed());

  a.WriteFile("updater.exe", updater, true);
  a.app->OnGeneralTimer();
  QCOMPARE(a.ended, 0);
  QTRY_VERIFY(alpha->Closed());
  QTRY_COMPARE(ReadAll(marker), QByteArray("0\n"));  // started without arguments
  // The registry leaves the update's file where it is.
  QVERIFY(QFile::exists(a.folder.filePath("regupdate.exe")));
}

void TestRegistryApp::updaterThatCannotStart() {
  AppHarness a(false);
  a.WriteFile("regupdate.exe", "new registry");
  a.WriteFile("updater.exe", "not a program");
  for (int tick = 0; tick < 5; ++tick) a.app->OnGeneralTimer();
  QCOMPARE(a.Log().count(kUpdaterFailed), 1);
  QCOMPARE(a.ended, -1);
  QVERIFY(!a.app->isStopping());
  auto alpha = a.NewServer("alpha");  // still serving

  // A working updater put in its place is started.
  const QString marker = a.folder.filePath("updater-ran");
  QTest::qWait(20);  // a modification time of its own
  a.WriteFile("updater.exe", "#!/bin/sh\ntouch '" + marker.toUtf8() + "'\n", true);
  a.app->OnGeneralTimer();
  QCOMPARE(a.ended, 0);
  QTRY_VERIFY(QFile::exists(marker));
  QCOMPARE(a.Log().count(kUpdaterFailed), 1);
}

void TestRegistryApp::updaterOthersCouldHavePutThere() {
  AppHarness a(false);
  const QString marker = a.folder.filePath("updater-ran");
  const QString updater = a.folder.filePath("updater.exe");
  a.WriteFile("regupdate.exe", "new registry");
  a.WriteFile("updater.exe", "#!/bin/sh\ntouch '" + marker.toUtf8() + "'\n", true);
  const auto refusals = [&] {
    return a.Log().filter(QRegularExpression("^The update was not started: ")).count();
  };

  // Writable by its group: one line, however many ticks, nothing started.
  QFile::setPermissions(updater, QFile::permissions(updater) | QFile::WriteGroup);
  for (int tick = 0; tick < 5; ++tick) a.app->OnGeneralTimer();
  QCOMPARE(a.Log().count("The update was not started: updater.exe may be written by group or others."), 1);
  QCOMPARE(refusals(), 1);
  QCOMPARE(a.ended, -1);
  auto alpha = a.NewServer("alpha");  // still serving
  QVERIFY(!alpha->Closed());

  // A folder others may write: the same, once more, for the new reason.
  QFile::setPermissions(updater, QFile::permissions(updater) & ~QFile::WriteGroup);
  QFile::setPermissions(a.folder.path(), QFile::permissions(a.folder.path()) | QFile::WriteOther);
  for (int tick = 0; tick < 3; ++tick) a.app->OnGeneralTimer();
  QCOMPARE(refusals(), 2);
  QVERIFY2(a.Log().last().startsWith("The update was not started: the program folder ") &&
               a.Log().last().endsWith(" may be written by group or others."),
           qPrintable(a.Log().last()));

  // Someone else's updater (only root can make one here).
  QFile::setPermissions(a.folder.path(), QFile::permissions(a.folder.path()) & ~QFile::WriteOther);
  if (geteuid() == 0) {
    QVERIFY(chown(QFile::encodeName(updater).constData(), 65534, 65534) == 0);
    for (int tick = 0; tick < 3; ++tick) a.app->OnGeneralTimer();
    QCOMPARE(refusals(), 3);
    QVERIFY2(a.Log().last().contains("updater.exe belongs to "), qPrintable(a.Log().last()));
    QVERIFY(chown(QFile::encodeName(updater).constData(), 0, 0) == 0);
  }
  QVERIFY(!QFile::exists(marker));
  QCOMPARE(a.ended, -1);

  // Put right, the update goes ahead at the next tick.
  a.app->OnGeneralTimer();
  QCOMPARE(a.ended, 0);
  QTRY_VERIFY(QFile::exists(marker));
}

QTEST_MAIN(TestRegistryApp)
#include "test_registry_app.moc"
