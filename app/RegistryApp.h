#pragma once
// The registry process: start-up in its fixed order and StopRegistry, the
// one way out. It owns every long-lived object; nothing is global.
#include "app/EventLog.h"
#include "app/ServiceHost.h"
#include "core/Clock.h"
#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Database.h"
#include "storage/Settings.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <stdexcept>

class QTimer;

struct StartOptions {
  QString programFolder;       // holds zvlt.dat and server.ini
  QString workDir;             // where zvlt.tmp is made
  std::uint16_t port = kRegistryPort;
  bool interactiveDesktop = false;
  bool echoLog = true;         // event-log lines to standard output
};

class StartupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RegistryApp : public QObject {
  Q_OBJECT
 public:
  static constexpr int kVersionMajor = 1, kVersionMinor = 0, kVersionRevision = 0;

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

  Registry& registry() { return *registry_; }
  Database& database() { return database_; }
  ConsoleState& console() { return console_; }
  EventLog& eventLog() { return eventLog_; }
  Settings& settings() { return settings_; }
  const SettingsFile& settingsFile() const { return settingsFile_; }
  const StartOptions& options() const { return options_; }
  bool isStopping() const { return stopping_; }

 signals:
  // Emitted by every tick of the general timer (500 ms), after the registry's
  // own work; the window and tray icon hang their periodic work on it.
  void generalTick();
  // Emitted by StopRegistry once the database is closed, for the tray icon
  // and the windows to go.
  void stopping();

 private:
  void OnGeneralTimer();

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
  QTimer* generalTimer_ = nullptr;
  bool stopping_ = false;
};

// The loaded line: "Kestrune v1.0.0 has loaded and is listening on port 5679
// for connections."
std::string LoadedLine(std::uint16_t port);
