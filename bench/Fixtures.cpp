#include "bench/Fixtures.h"

#include "bench/Loop.h"
#include "bench/Scenarios.h"
#include "storage/Database.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace bench {

void MakeFolder(const std::string& folder, const Contents& what) {
  Database db;
  const QString path = QString::fromStdString(folder);
  if (what.database.empty())
    db.Open(path, path);
  else
    db.OpenShared(what.database);
  if (what.writeAccounts) {
    Database::Transaction t(db);
    for (int n = 0; n < 2 * what.fleet; ++n) {
      const auto shape = n < what.fleet ? fleet::Shape::Realistic : fleet::Shape::Short;
      const fleet::GameServer s = fleet::Server(n % what.fleet + 1, shape);
      AccountRecord a;
      a.User = s.user;
      a.Password = s.password;
      a.Name = s.name;
      a.Description = s.description;
      a.UpdateURL = s.updateUrl;
      a.Official = s.official ? 1 : 0;
      db.accounts().Add(a);
    }
    for (int k = 1; k <= what.loginPool; ++k) {
      AccountRecord a;
      a.User = fleet::LoginUser(k);
      a.Password = fleet::LoginPassword(k);
      a.Name = "Login bench server " + std::to_string(k);
      a.Description = "An account the login benchmark logs into.";
      a.UpdateURL = "";
      a.Official = 0;
      db.accounts().Add(a);
    }
    for (int k = 1; k <= what.filler; ++k) {
      const fleet::GameServer s = fleet::Server(k);
      char user[16];
      std::snprintf(user, sizeof user, "acct%06d", k);
      AccountRecord a;
      a.User = user;
      a.Password = s.password;
      a.Name = s.name;
      a.Description = s.description;
      a.UpdateURL = s.updateUrl;
      a.Official = s.official ? 1 : 0;
      db.accounts().Add(a);
    }
    for (int k = 1; k <= what.bans; ++k) {
      BanRecord b;
      b.Number = k;
      b.Name = "griefer" + std::to_string(k);
      b.IP = "10." + std::to_string(k % 7) + "." + std::to_string(k) + (k % 3 ? ".17" : ".0");
      b.Reason = "Repeated cheating reported by several server operators.";
      b.UnbanDate = QDateTime(QDate(2099, 1, 1), QTime(12, 0));
      db.bans().Add(b);
    }
    t.Commit();
  }
  db.Close();
  std::ofstream ini(folder + "/server.ini");
  ini << "[Kestrune]\r\nAutoAllow=" << (what.autoAllow ? "True" : "False") << "\r\n";
  if (!what.rationed)
    ini << "MaxFailedLoginsPerHour=0\r\nMaxServersPerIP=0\r\nReservedPlayerSlots=0\r\n"
           "MaxNewAccountsPerHourTotal=0\r\nMaxListRequestsPerMinute=0\r\n";
  if (!what.database.empty()) ini << "Database=" << what.database << "\r\nInstanceName=" << what.instance << "\r\n";
}

std::string CopyRegistry(const Config& config, const std::string& folder) {
  const std::string target = folder + "/tarnwick";
  std::filesystem::copy_file(config.registry, target, std::filesystem::copy_options::overwrite_existing);
  return target;
}

SpawnOptions RegistryOptions(const std::string& exe, const std::string& folder, std::uint16_t port,
                             const std::string& display, const std::string& httpListen) {
  SpawnOptions o;
  o.program = exe;
  o.workDir = folder;
  o.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"};
  o.setEnv = {{"TARNWICK_PORT", std::to_string(port)}, {"TARNWICK_HTTP_LISTEN", httpListen}};
  if (!display.empty()) o.setEnv.push_back({"DISPLAY", display});
  o.cpu = Cores() > 1 ? kServerCore : -1;
  o.favoured = true;
  return o;
}

void RunningRegistry::Start(const Config& config) {
  port = FreePort();
  SpawnOptions o = RegistryOptions(CopyRegistry(config, folder), folder, port, display, httpListen);
  o.stdoutPath = folder + "/stdout.log";
  pid = Spawn(o).pid;
  const double deadline = Now() + 60;
  while (ReadFile(o.stdoutPath).find(kLoadedLine) == std::string::npos) {
    if (Now() > deadline || Ended(pid))
      throw std::runtime_error("the registry in " + folder + " did not start:\n" + ReadFile(o.stdoutPath));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void RunningRegistry::Stop() {
  if (pid > 0) bench::Stop(pid);
  pid = -1;
}

void RunningRef::Start(const Config& config, const std::string& folder, fleet::Shape shape) {
  // A free port can be taken by a connection's ephemeral port before the
  // server binds it; then another is tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = FreePort();
    SpawnOptions o;
    o.program = config.refserver;
    o.args = {"--port", std::to_string(port), "--servers", std::to_string(config.servers),
              "--shape", fleet::ShapeName(shape)};
    o.cpu = Cores() > 1 ? kServerCore : -1;
    o.favoured = true;
    o.stdoutPath = folder + "/refserver.log";
    pid = Spawn(o).pid;
    // Ready when it answers a list request.
    Loop probe;
    const double deadline = Now() + 10;
    while (Now() < deadline && !Ended(pid)) {
      if (FetchList(probe, nullptr, port).size() > 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
  }
  throw std::runtime_error("the reference server did not start");
}

void RunningRef::Stop() {
  if (pid > 0) bench::Stop(pid);
  pid = -1;
}

}  // namespace bench
