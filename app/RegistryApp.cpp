#include "app/RegistryApp.h"

#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kGeneralTimerMs = 500;
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
  endProcess = [](int status) {
    std::fflush(stdout);
    std::exit(status);
  };
  registry_ = std::make_unique<Registry>(database_, console_, eventLog_, *clock_, *calendar_);
  generalTimer_ = new QTimer(this);
  generalTimer_->setInterval(kGeneralTimerMs);
  connect(generalTimer_, &QTimer::timeout, this, &RegistryApp::OnGeneralTimer);
}

RegistryApp::~RegistryApp() {
  registry_.reset();
  database_.Close();
}

void RegistryApp::Start() {
  settings_ = LoadSettings(settingsFile_);
  registry_->StartAccessTimes();
  try {
    database_.Open(options_.programFolder, options_.workDir);
  } catch (const DatabaseError& e) {
    throw StartupError(e.what());
  }
  // The main window is loaded here, in its event view; its general timer
  // runs from now on.
  generalTimer_->start();
  console_.SetAllowNewAccounts(settings_.AutoAllow);
  const bool beginServing = settings_.Service || ServiceHost::StartedByServiceManager();
  console_.SetCaption("The Velkarin Server Registry [0]");
  QString error;
  if (!registry_->Listen(options_.port, &error)) throw StartupError(error.toStdString());
  registry_->StartClientTimer();
  // The service manager is told only once the port is taken, so that it
  // never reports a registry as running that cannot serve.
  if (beginServing) serviceHost_.BeginServing();
  eventLog_.AddLogLine(LoadedLine(registry_->ListeningPort()));
}

void RegistryApp::StopRegistry() {
  if (stopping_) return;
  stopping_ = true;
  registry_->DisconnectAll();
  generalTimer_->stop();
  database_.Close();
  emit stopping();
  registry_->StopClientTimer();
  endProcess(0);
}

void RegistryApp::OnGeneralTimer() {
  if (stopping_) return;
  emit generalTick();
}
