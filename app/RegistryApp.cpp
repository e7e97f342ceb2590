#include "app/RegistryApp.h"

#include "admin/AdminWindows.h"
#include "app/DesktopPrompts.h"
#include "app/TrayIcon.h"
#include "app/UpdateTrust.h"
#include "app/frmOptions.h"
#include "console/frmMain.h"
#include "storage/Cp1252.h"

#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kGeneralTimerMs = 500;
constexpr int kHiddenLogCatchUpMs = 200;
// A window on screen shows new log lines at most once per frame of a 60 Hz
// screen: faster than that nobody sees, and each change of the list view
// costs a layout and a repaint.
constexpr int kShownLogFrameMs = 16;
}

std::string LoadedLine(std::uint16_t port) {
  return "Kestrune v" + std::to_string(RegistryApp::kVersionMajor) + "." +
         std::to_string(RegistryApp::kVersionMinor) + "." +
         std::to_string(RegistryApp::kVersionRevision) + " has loaded and is listening on port " +
         std::to_string(port) + " for connections.";
}

RegistryApp::RegistryApp(StartOptions options, TickClock* clock, Calendar* calendar, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      settingsFile_(options_.programFolder),
      eventLog_(options_.echoLog) {
  if (!clock) {
    ownClock_ = std::make_unique<SystemTickClock>();
    clock = ownClock_.get();
  }
  if (!calendar) {
    ownCalendar_ = std::make_unique<SystemCalendar>();
    calendar = ownCalendar_.get();
  }
  clock_ = clock;
  calendar_ = calendar;
  eventLog_.SetClock(*clock_);
  endProcess = [](int status) {
    std::fflush(stdout);
    std::exit(status);
  };
  registry_ = std::make_unique<Registry>(database_, console_, eventLog_, *clock_, *calendar_);
  http_ = std::make_unique<HttpServer>(webBox_, registry_->Stats());
  ownPrompts_ = std::make_unique<DesktopPrompts>();
  prompts_ = ownPrompts_.get();
  logCatchUp_ = new QTimer(this);
  logCatchUp_->setSingleShot(true);
  connect(logCatchUp_, &QTimer::timeout, this, &RegistryApp::ShowNewLogLines);
  generalTimer_ = new QTimer(this);
  generalTimer_->setObjectName("tmrGeneral");
  generalTimer_->setInterval(kGeneralTimerMs);
  connect(generalTimer_, &QTimer::timeout, this, &RegistryApp::OnGeneralTimer);
}

RegistryApp::~RegistryApp() {
  // The HTTP thread reads the registry's counters.
  http_->Stop();
  web_.reset();
  // The windows and the tray icon refer to the registry and the console.
  delete tray_;
  tray_ = nullptr;
  adminWindows_.reset();
  mainWindow_.reset();
  registry_.reset();
  sharedList_.reset();
  database_.Close();
}

void RegistryApp::Start() {
  settings_ = LoadSettings(settingsFile_);
  registry_->SetFloodLimits(settings_.Limits);
  std::vector<std::string> mapWarnings;
  registry_->SetAddressMap(AddressMap::Read(settings_.AddressMap, &mapWarnings));
  for (const std::string& warning : mapWarnings) eventLog_.Warning(warning);
  registry_->StartAccessTimes();
  OpenDatabase();
  // The main window is loaded here, hidden, in its event view; its general
  // timer runs from now on.
  LoadMainWindow();
  generalTimer_->start();
  console_.SetAllowNewAccounts(settings_.AutoAllow);
  const bool beginServing = settings_.Service || ServiceHost::StartedByServiceManager();
  console_.SetCaption("The Velkarin Server Registry [0]");
  QString error;
  if (!registry_->Listen(options_.port, &error)) throw StartupError(error.toStdString());
  registry_->StartClientTimer();
  StartWeb();
  if (beforeReady) beforeReady();
  // The service manager is told only once the port is taken and the remote
  // control's name has been asked for, so that it never reports a registry
  // as running that cannot serve, and a caller that waits for the service
  // finds the remote control there (if the bus granted the name).
  if (beginServing) serviceHost_.BeginServing();
  if (options_.interactiveDesktop) {
    mainWindow_->show();
    tray_->TrayAdd();
  }
  eventLog_.AddLogLine(LoadedLine(registry_->ListeningPort()));
}

void RegistryApp::StopRegistry() {
  if (stopping_) return;
  stopping_ = true;
  http_->Stop();
  registry_->DisconnectAll();
  // The others drop this registry's servers now, not when it is found dead.
  if (sharedList_) sharedList_->Close();
  generalTimer_->stop();
  if (const std::string left = database_.Close(); !left.empty()) eventLog_.Warning(left);
  if (tray_) tray_->TrayRemove();
  // A stop that did not begin at the main window ends without asking.
  if (mainWindow_) mainWindow_->Unload();
  if (adminWindows_) adminWindows_->CloseAll();
  if (optionsDialog_) optionsDialog_->close();
  registry_->StopClientTimer();
  endProcess(0);
}

void RegistryApp::LoadMainWindow() {
  mainWindow_ = std::make_unique<frmMain>(console_, *registry_, *prompts_);
  frmMain* window = mainWindow_.get();
  ShowNewLogLines();
  connect(&eventLog_, &EventLog::changed, this, &RegistryApp::OnLogChanged);
  connect(window, &frmMain::stopRequested, this, &RegistryApp::StopRegistry);
  connect(window, &frmMain::optionsRequested, this, &RegistryApp::OpenOptions);
  adminWindows_ = std::make_unique<AdminWindows>(database_, *registry_, *prompts_, *calendar_);
  connect(window, &frmMain::accountsRequested, this, [this, window] { adminWindows_->OpenAccounts(window); });
  connect(window, &frmMain::banListRequested, adminWindows_.get(), &AdminWindows::OpenBanList);
  tray_ = new TrayIcon(*window, console_, this);
}

// A window on screen shows the log's lines once per pass of the event loop,
// however many there were, and no more often than once a frame: a line that
// comes after a quiet moment is shown at once, a stream of them a frame at
// a time. A hidden one (always, when the registry runs headless) catches up
// a few times a second instead, so that the log costs a busy headless
// registry nothing per request.
void RegistryApp::OnLogChanged() {
  const bool shown = mainWindow_ && mainWindow_->isVisible();
  if (shown && (!logShownAt_.isValid() || logShownAt_.hasExpired(kShownLogFrameMs))) return ShowNewLogLines();
  if (!logCatchUp_->isActive()) logCatchUp_->start(shown ? kShownLogFrameMs : kHiddenLogCatchUpMs);
}

// The lines logged since the window last showed the log.
void RegistryApp::ShowNewLogLines() {
  if (!mainWindow_) return;
  const auto lines = eventLog_.Lines();
  const std::uint64_t fresh = std::min<std::uint64_t>(eventLog_.Total() - logLinesShown_, lines.size());
  logLinesShown_ = eventLog_.Total();
  logShownAt_.start();
  if (fresh == 0) return;
  QStringList added;
  added.reserve(qsizetype(fresh));
  for (std::size_t i = lines.size() - std::size_t(fresh); i < lines.size(); ++i)
    added << cp1252::ToUnicode(lines[i]);
  mainWindow_->AppendLogLines(added);
}

void RegistryApp::OpenOptions() {
  if (!optionsDialog_) {
    optionsDialog_ = new frmOptions(settings_, settingsFile_, serviceHost_, *prompts_, mainWindow_.get());
    optionsDialog_->SetReports(eventLog_);
  }
  optionsDialog_->show();
  optionsDialog_->raise();
  optionsDialog_->activateWindow();
}

void RegistryApp::StartWeb() {
  const WebSettings& web = settings_.Web;
  // An address or network list that cannot be read means the default, as
  // for every other setting.
  const std::string listen = options_.httpListen.empty() ? web.HttpListen : options_.httpListen;
  auto address = ParseListenAddress(listen);
  if (!address) address = ParseListenAddress(WebSettings().HttpListen);
  // With nothing to serve the list to, nothing is built.
  if (address->off && web.ListFile.empty()) return;
  const QString folder = QFileInfo(options_.programFolder).absoluteFilePath();
  web_ = std::make_unique<WebPublisher>(*registry_, database_, console_, folder + "/zvlt.dat", webBox_);
  if (!web.ListFile.empty()) {
    const QString path = cp1252::ToUnicode(web.ListFile);
    web_->SetListFile(QFileInfo(path).isAbsolute() ? path : folder + "/" + path);
  }
  web_->PublishAll();
  if (address->off) return;
  HttpServer::Config config;
  config.listen = *address;
  config.maxClientsPerIP = web.HttpMaxClientsPerIP;
  auto networks = ParseNetworks(web.MetricsAllow);
  config.metricsAllow = networks ? *networks : *ParseNetworks(WebSettings().MetricsAllow);
  config.version = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                   std::to_string(kVersionRevision);
  std::string error;
  if (http_->Start(config, &error)) return;
  const std::string line = "The web list, metrics and health check are off: cannot listen on " +
                           AddressText(reinterpret_cast<const sockaddr*>(&address->address)) + ": " + error;
  eventLog_.Error(line);
}

// With Database= the accounts and bans are on a PostgreSQL server that other
// registries share. One that is away at the start is waited for rather than
// given up on, so the order in which machines boot does not matter.
void RegistryApp::OpenDatabase() {
  try {
    if (settings_.Database.empty()) {
      database_.Open(options_.programFolder, options_.workDir);
      return;
    }
    database_.OpenShared(settings_.Database);
  } catch (const DatabaseError& e) {
    throw StartupError(e.what());
  }
  databaseReachable_ = true;
  WatchDatabase();
  ShareList();
}

// The live list goes on the same server as the accounts. The registry
// takes game servers and players from the start, whether or not the
// database is there yet: logins are refused until it is, lists are served.
void RegistryApp::ShareList() {
  if (!database_.Shared()) return;
  sharedList_ = std::make_unique<SharedList>(settings_.Database, settings_.InstanceName);
  registry_->SetSharedList(sharedList_.get());
}

// Says once when the shared database goes away and once when it is back.
void RegistryApp::WatchDatabase() {
  if (!database_.Shared()) return;
  database_.Poll();
  const bool reachable = database_.Reachable();
  if (reachable == databaseReachable_) return;
  databaseReachable_ = reachable;
  if (!reachable) {
    eventLog_.Error(database_.Problem() + "; retrying.");
  } else {
    eventLog_.Warning("The database is reachable again.");
    eventLog_.AddLogLine("The database is reachable again.");
  }
}

void RegistryApp::OnGeneralTimer() {
  serviceHost_.Watchdog();
  // Every other tick: the database is polled once a second.
  if ((++generalTicks_ & 1) == 0) WatchDatabase();
  if (web_) web_->Tick();
  if (stopping_ || !mainWindow_) return;
  tray_->TrayAdd();
  if (mainWindow_->isMinimized()) mainWindow_->hide();
  CheckForUpdate();
}

void RegistryApp::CheckForUpdate() {
  const QString folder = QFileInfo(options_.programFolder).absoluteFilePath();
  const QFileInfo waiting(folder + "/regupdate.exe");
  if (!waiting.isFile()) return;
  const QFileInfo updater(folder + "/updater.exe");
  if (!updater.isFile()) return;
  // An update that was refused is looked at again only once one of the
  // files, or the folder's owner or mode, has changed.
  const QString files = UpdateState(folder, waiting.filePath(), updater.filePath());
  if (files == failedUpdate_) return;
  // The registry keeps serving; one line says why the update waits.
  QString why;
  if (!IsTrustedUpdater(folder, updater.filePath(), &why)) {
    failedUpdate_ = files;
    eventLog_.AddLogLine("The update was not started: " + cp1252::FromUnicode(why));
    return;
  }
  if (!QProcess::startDetached(updater.filePath(), {})) {
    failedUpdate_ = files;
    eventLog_.AddLogLine("The update was not started: updater.exe could not be run.");
    return;
  }
  StopRegistry();
}
