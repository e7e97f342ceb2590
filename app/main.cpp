// The registry's entry point. There is no command line: the registry keeps
// its files beside its executable. Without a display (no DISPLAY and no
// WAYLAND_DISPLAY) it runs headless on Qt's offscreen platform.
#include "app/RegistryApp.h"
#include "app/RemoteControlHost.h"
#include "app/SignalWatcher.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <cstdio>
#include <cstdlib>

namespace {

bool HasDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

// Tests run several registries side by side; TARNWICK_PORT moves one off the
// registry's fixed port 5679.
std::uint16_t PortFromEnvironment() {
  if (const char* text = std::getenv("TARNWICK_PORT")) {
    const long port = std::strtol(text, nullptr, 10);
    if (port > 0 && port < 65536) return std::uint16_t(port);
  }
  return kRegistryPort;
}

// A service has no per-user runtime folder; Qt says so at every start, which
// would put a warning into the journal each time. Nothing here needs it.
QtMessageHandler g_qtMessages = nullptr;

void QuietRuntimeDirWarning(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtWarningMsg && text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
  if (g_qtMessages)
    g_qtMessages(type, context, text);
  else
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool desktop = HasDisplay();
  g_qtMessages = qInstallMessageHandler(QuietRuntimeDirWarning);
  if (!desktop) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  application.setApplicationName("Tarnwick");
  application.setQuitOnLastWindowClosed(false);
  application.setWindowIcon(QIcon(":/tarnwick/tarnwick.png"));

  StartOptions options;
  options.programFolder = QCoreApplication::applicationDirPath();
  options.workDir = QDir::currentPath();
  options.port = PortFromEnvironment();
  options.interactiveDesktop = desktop;
  // Likewise TARNWICK_HTTP_LISTEN ("off", or an address and port) takes the
  // place of the HttpListen setting.
  if (const char* listen = std::getenv("TARNWICK_HTTP_LISTEN")) options.httpListen = listen;

  RegistryApp registry(options);
  SignalWatcher stopSignals(registry.eventLog());
  QObject::connect(&stopSignals, &SignalWatcher::stopRequested, &registry, &RegistryApp::StopRegistry);
  // Other programs drive the registry over D-Bus; without a bus it simply
  // runs without remote control. The name is asked for once the port is
  // taken and before systemd hears the registry is ready.
  RemoteControlHost remoteControl(registry);
  registry.beforeReady = [&remoteControl] { remoteControl.Publish(); };
  try {
    registry.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Tarnwick: the registry could not start: %s\n", e.what());
    return 1;
  }
  return application.exec();
}
