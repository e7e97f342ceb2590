#pragma once
// The built registry executable, copied alone into an empty folder and run
// there without a display, as an operator would install it. Tests talk to it
// over TCP with blocking clients.
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <string>

#include <signal.h>
#include <sys/prctl.h>

#ifndef TARNWICK_EXECUTABLE
#error "TARNWICK_EXECUTABLE must name the built registry"
#endif

// server.ini lines that switch every flood limit off, for tests of the
// registry as the protocol alone describes it: they connect from one address
// and create many accounts.
inline const QByteArray kLimitsOff =
    "MaxClientsPerIP=0\nEvictIdleClients=False\nMaxConnectsPerMinute=0\nMaxNewAccountsPerHour=0\n"
    "MaxFailedLoginsPerHour=0\nMaxServersPerIP=0\nReservedPlayerSlots=0\nMaxNewAccountsPerHourTotal=0\n"
    "MaxListRequestsPerMinute=0\n";

// A free port below the kernel's ephemeral range (32768 and up): a test that
// restarts a registry on the same port must not find it taken meanwhile as
// the source port of some connection on the machine.
inline std::uint16_t FreePort() {
  for (int tries = 0; tries < 1000; ++tries) {
    const auto port = std::uint16_t(QRandomGenerator::global()->bounded(20000, 32000));
    QTcpServer probe;
    if (probe.listen(QHostAddress::AnyIPv4, port)) return port;
  }
  qFatal("no free port between 20000 and 31999");
}

class RegistryProcess {
 public:
  RegistryProcess() : port(FreePort()) {
    QFile::copy(QStringLiteral(TARNWICK_EXECUTABLE), Path("tarnwick"));
  }
  ~RegistryProcess() {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(5000);
    }
  }

  QString Path(const QString& name) const { return folder.filePath(name); }

  // Starts the registry and waits for its loaded line. Returns false when it
  // exited or did not load within the time.
  bool Start(int timeoutMs = 20000) {
    if (!Launch()) return false;
    return WaitForOutput("has loaded and is listening on port", timeoutMs);
  }

  // Starts the registry without waiting for it to load.
  bool Launch() {
    output.clear();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    if (!keepSessionBus) env.remove("DBUS_SESSION_BUS_ADDRESS");
    // A registry under test never reaches the machine's system bus.
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + Path("no-system-bus"));
    env.insert("TARNWICK_PORT", QString::number(port));
    // Many registries run at once: none takes the HTTP side's fixed port.
    env.insert("TARNWICK_HTTP_LISTEN", httpListen);
    env.insert(extraEnvironment);
    if (!display.isEmpty()) {
      env.insert("DISPLAY", display);
      env.remove("QT_QPA_PLATFORM");  // the tests' own offscreen platform
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(folder.path());
    process.setProgram(Path("tarnwick"));
    // The registry goes with the test, even when the test itself is killed
    // or aborted by a sanitizer, so no registry outlives a failed run.
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start();
    return process.waitForStarted(5000);
  }

  bool WaitForOutput(const QString& text, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
      output += QString::fromUtf8(process.readAllStandardOutput());
      if (output.contains(text)) return true;
      if (process.state() == QProcess::NotRunning) return false;
      process.waitForReadyRead(50);
    }
    return false;
  }

  bool WaitForExit(int timeoutMs = 10000) {
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
  }

  // SIGTERM, then the exit status (-1 if it did not end).
  int Terminate(int timeoutMs = 10000) {
    process.terminate();
    if (!process.waitForFinished(timeoutMs)) return -1;
    output += QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }

  void WriteSettings(const QByteArray& text) {
    QFile f(Path("server.ini"));
    f.open(QIODevice::WriteOnly);
    f.write(text);
  }

  // The registry normally runs off the test's session bus; remote-control
  // tests keep it, or point it at a bus of their own.
  bool keepSessionBus = false;
  // Where the HTTP side listens ("off", or "127.0.0.1:port" for tests of it).
  QString httpListen = QStringLiteral("off");
  QProcessEnvironment extraEnvironment;

  QTemporaryDir folder;
  QProcess process;
  std::uint16_t port;
  QString display;  // an X display to start on; none by default
  QString output;
};

// A game server or player's client in another process's view: blocking
// reads with a time limit.
class Client {
 public:
  explicit Client(std::uint16_t port, const QHostAddress& from = QHostAddress::Null) {
    if (!from.isNull()) socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
    connected = socket.waitForConnected(5000);
  }
  void Send(const std::string& bytes) {
    socket.write(bytes.data(), qint64(bytes.size()));
    socket.waitForBytesWritten(5000);
  }
  void SendPacket(const std::string& body) {
    Send(std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body);
  }
  // Reads until n bytes have arrived, the peer closed, or the time is up.
  std::string Read(std::size_t n, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (buffer.size() < n && !deadline.hasExpired()) {
      if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
        if (socket.state() != QAbstractSocket::ConnectedState) break;
      const QByteArray data = socket.readAll();
      buffer.append(data.constData(), std::size_t(data.size()));
    }
    const std::string head = buffer.substr(0, n);
    buffer.erase(0, head.size());
    return head;
  }
  // True when the registry closes the connection within the time.
  bool ClosedByPeer(int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
      if (socket.state() != QAbstractSocket::ConnectedState) return true;
      socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
      const QByteArray data = socket.readAll();
      buffer.append(data.constData(), std::size_t(data.size()));
    }
    return socket.state() != QAbstractSocket::ConnectedState;
  }

  QTcpSocket socket;
  std::string buffer;
  bool connected = false;
};

// Reads one packet (prefix and body).
inline std::string ReadPacket(Client& c, int timeoutMs = 5000) {
  const std::string prefix = c.Read(2, timeoutMs);
  if (prefix.size() < 2) return prefix;
  const std::size_t n = std::size_t(static_cast<unsigned char>(prefix[0])) * 256 +
                        static_cast<unsigned char>(prefix[1]);
  return prefix + c.Read(n, timeoutMs);
}

// Reads one list reply: the user names in order, and the slot of the
// ListMore (0 after ListEnd, -1 when the reply did not come or was not one).
inline std::pair<std::vector<std::string>, int> ReadList(Client& c) {
  std::vector<std::string> users;
  for (;;) {
    const std::string packet = ReadPacket(c);
    if (packet.size() < 3) return {users, -1};
    const std::string body = packet.substr(2);
    if (body[0] == 4) {
      users.push_back(body.substr(1, body.find('\0') - 1));
    } else if (packet == std::string("\x00\x02\xFF\x04", 4)) {
      return {users, 0};
    } else if (body.size() == 3 && body[0] == char(0xFF) && body[1] == 3) {
      return {users, static_cast<unsigned char>(body[2])};
    } else {
      return {users, -1};
    }
  }
}
