#pragma once
// The two tarnwickctl suites' common ground: the built tarnwickctl run to
// its end on the test's own session bus, and the built registry on that bus
// with game servers logging in over TCP.
#include "common/RegistryProcess.h"

#include <QProcess>
#include <QtTest>
#include <memory>
#include <string>

#ifndef TARNWICKCTL_EXECUTABLE
#error "TARNWICKCTL_EXECUTABLE must name the built tarnwickctl"
#endif

struct Run {
  int status = -1;
  QString out, err;
};

inline QProcessEnvironment SessionEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
  return env;
}

inline Run Ctl(const QStringList& args, const QProcessEnvironment& env = SessionEnvironment()) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(TARNWICKCTL_EXECUTABLE), args);
  p.waitForFinished(30000);
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

inline std::string Packet(const std::string& body) {
  return std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body;
}

inline std::string Payload(const std::string& user, const std::string& password) {
  return user + std::string(1, '\0') + password;
}

// The registry on the session bus, new accounts allowed, once it answers.
struct Registry {
  RegistryProcess process;
  bool ready = false;

  explicit Registry(const QProcessEnvironment& extra = {}) {
    process.keepSessionBus = true;
    process.extraEnvironment = extra;
    process.WriteSettings("[Kestrune]\r\nAutoAllow=True\r\n" + kLimitsOff);
    if (!process.Start()) return;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && !ready) ready = Ctl({"status"}).status == 0;
  }

  // A game server that logged in with an existing account; null when it was
  // not accepted.
  std::unique_ptr<Client> Login(const std::string& user, const std::string& password,
                                const std::string& accepted) {
    auto server = std::make_unique<Client>(process.port);
    server->SendPacket(std::string(1, '\1') + Payload(user, password));
    if (server->Read(accepted.size()) != accepted) return nullptr;
    return server;
  }
  std::unique_ptr<Client> NewServer(const std::string& user) {
    auto server = std::make_unique<Client>(process.port);
    server->SendPacket(std::string(1, '\0') + Payload(user, "secret"));
    const std::string accepted = Packet(std::string(1, '\0') + "<untitled>" + std::string(1, '\0'));
    if (server->Read(accepted.size()) != accepted) return nullptr;
    return server;
  }
};
