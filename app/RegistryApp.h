#pragma once
// The registry process: start-up in its fixed order and StopRegistry, the
// one way out. It owns every long-lived object; nothing is global.
//
// Error style of the application layer: a start-up step that fails throws
// StartupError, which main prints before it exits non-zero; everything
// later is reported through the event log, the one diagnostics sink
// (EventLog, core/LogSink.h), with its severity, and the registry serves on.
#include "app/EventLog.h"
#include "app/ServiceHost.h"
#include "app/frmOptions.h"
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Database.h"
#include "storage/Settings.h"
#include "web/HttpServer.h"
#include "web/Snapshot.h"
#include "web/WebPublisher.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <stdexcept>

class QTimer;
class Prompts;
class TrayIcon;
class frmMain;
class AdminWindows;

struct StartOptions {
  QString programFolder;       // holds zvlt.dat and server.ini
  QString workDir;             // where zvlt.tmp is made
  std::uint16_t port = kRegistryPort;
  bool interactiveDesktop = false;
  bool echoLog = true;         // event-log lines to standard output
  // When not empty, takes the place of the HttpListen setting: tests run
  // many registries at once, each off HTTP or on a port of its own.
  std::string httpListen;
};

class StartupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RegistryApp : public QObject {
  Q_OBJECT
 public:
  static constexpr int kVersionMajor = TARNWICK_VERSION_MAJOR, kVersionMinor = TARNWICK_VERSION_MINOR,
                       kVersionRevision = TARNWICK_VERSION_PATCH;

  // clock and calendar default to the system's; tests pass their own.
  explicit RegistryApp(StartOptions options, TickClock* clock = nullptr,
                       Calendar* calendar = nullptr, QObject* parent = nullptr);
  ~RegistryApp() override;

  // Start-up. Throws StartupError with a message for the operator.
  void Start();
  // Disconnects every client, stops the timers, closes the database, removes
  // the tray icon, unloads the windows and ends the process through
  // endProcess. Errors along the way are ignored.
  void StopRegistry();
  // How the process ends; tests replace it. Default: exit with the status.
  std::function<void(int)> endProcess;
  // Runs during Start once the port is taken, before the service manager
  // hears that the registry is ready: main puts the remote control on the
  // bus there.
  std::function<void()> beforeReady;
  // The prompts of every window; real message boxes unless a test sets its
  // own before Start.
  void SetPrompts(Prompts* prompts) { prompts_ = prompts; }

  // Opens zvlt.dat, or the shared back end when Database= is set.
  void OpenDatabase();
  // Polls the shared back end (every second) and says when it goes away
  // and comes back.
  void WatchDatabase();
  // With the shared back end: the live list shared with the other
  // registries, given to the registry.
  void ShareList();
  // One tick of the general timer tmrGeneral (every 500 ms): the tray icon,
  // hiding the minimised window, the update check, the database's poll.
  void OnGeneralTimer();
  // Hands the registry over to a waiting update: when "regupdate.exe" and
  // "updater.exe" are both in the program folder, starts the updater and
  // stops the registry. An updater that others than the registry's user and
  // root could have put there, or that cannot be run, is not started: one
  // event-log line says why and the registry keeps serving.
  void CheckForUpdate();
  // Opens the options dialog, or brings an open one forward.
  void OpenOptions();

  Registry& registry() { return *registry_; }
  Database& database() { return database_; }
  ConsoleState& console() { return console_; }
  EventLog& eventLog() { return eventLog_; }
  Settings& settings() { return settings_; }
  const StartOptions& options() const { return options_; }
  bool isStopping() const { return stopping_; }
  frmMain* mainWindow() { return mainWindow_.get(); }
  AdminWindows* adminWindows() { return adminWindows_.get(); }
  TrayIcon* tray() { return tray_; }
  frmOptions* optionsDialog() { return optionsDialog_; }
  ServiceHost& serviceHost() { return serviceHost_; }
  // The HTTP side; not running when HttpListen is off or could not listen.
  HttpServer& http() { return *http_; }
  WebPublisher* webPublisher() { return web_.get(); }

 private:
  void LoadMainWindow();
  // Publishes the first snapshots and starts the HTTP side as the settings
  // say; a failure to listen is one line, and the game protocol goes on.
  void StartWeb();
  void OnLogChanged();
  void ShowNewLogLines();

  StartOptions options_;
  std::unique_ptr<TickClock> ownClock_;
  std::unique_ptr<Calendar> ownCalendar_;
  TickClock* clock_;
  Calendar* calendar_;
  SettingsFile settingsFile_;
  Settings settings_;
  Database database_;
  ConsoleState console_;
  EventLog eventLog_;
  ServiceHost serviceHost_;
  std::unique_ptr<Registry> registry_;
  // Let go after the registry, which uses it (see the destructor).
  std::unique_ptr<SharedList> sharedList_;
  SnapshotBox webBox_;
  std::unique_ptr<WebPublisher> web_;
  std::unique_ptr<HttpServer> http_;
  QTimer* generalTimer_ = nullptr;
  unsigned generalTicks_ = 0;
  bool databaseReachable_ = true;  // as last said
  QTimer* logCatchUp_ = nullptr;
  bool stopping_ = false;
  std::unique_ptr<Prompts> ownPrompts_;
  Prompts* prompts_ = nullptr;
  std::unique_ptr<frmMain> mainWindow_;
  std::unique_ptr<AdminWindows> adminWindows_;
  TrayIcon* tray_ = nullptr;
  QPointer<frmOptions> optionsDialog_;
  // The update files as they were when the updater was last refused or
  // failed to start; it is tried again only once they change.
  QString failedUpdate_;
  std::uint64_t logLinesShown_ = 0;
  QElapsedTimer logShownAt_;  // when the window last caught up with the log
};

// The loaded line: "Kestrune v1.0.0 has loaded and is listening on port 5679
// for connections."
std::string LoadedLine(std::uint16_t port);
