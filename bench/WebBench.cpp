#include "bench/WebBench.h"

#include "bench/Proc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace bench {
namespace {

int ConnectLoopback(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// One GET on a kept connection; the body, or empty when it failed.
std::string Fetch(int fd) {
  static const char request[] = "GET /servers.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) != ssize_t(sizeof request - 1)) return {};
  std::string in;
  char buffer[65536];
  std::size_t head = std::string::npos, length = 0;
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    in.append(buffer, std::size_t(n));
    if (head == std::string::npos && (head = in.find("\r\n\r\n")) != std::string::npos) {
      const std::size_t at = in.find("Content-Length: ");
      if (at == std::string::npos || at > head) return {};
      length = std::stoul(in.substr(at + 16));
    }
    if (head != std::string::npos && in.size() >= head + 4 + length) return in.substr(head + 4, length);
  }
}

bool WaitListening(std::uint16_t port, double seconds) {
  const double deadline = Now() + seconds;
  while (Now() < deadline) {
    const int fd = ConnectLoopback(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// wrk against the port, the fleet served meanwhile; its requests per second.
// Eight connections: what HttpMaxClientsPerIP lets one address hold by
// default (beyond it a connection is closed at once).
double RunWrk(Loop& loop, Fleet& fleet, std::uint16_t port, const WebOptions& o) {
  SpawnOptions w;
  w.program = "wrk";
  w.args = {"-t1", "-c8", "-d" + std::to_string(int(o.seconds)) + "s", "http://127.0.0.1:" + std::to_string(port) + "/servers.json"};
  w.cpu = o.loadCore;
  w.pipeStdout = true;
  const Child child = Spawn(w);
  RunIdle(loop, fleet, o.seconds + 0.5);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(child.out, buffer, sizeof buffer)) > 0;) out.append(buffer, std::size_t(n));
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  const std::size_t at = out.find("Requests/sec:");
  return at == std::string::npos ? 0 : std::stod(out.substr(at + 13));
}

pid_t StartNginx(const WebOptions& o, const std::string& body, std::uint16_t port) {
  const std::string root = o.folder + "/nginx";
  std::filesystem::create_directories(root + "/www");
  std::filesystem::create_directories(root + "/logs");
  std::ofstream(root + "/www/servers.json") << body;
  std::ofstream conf(root + "/nginx.conf");
  if (geteuid() == 0) conf << "user root;\n";
  conf << "worker_processes 1;\nerror_log " << root << "/logs/error.log;\npid " << root << "/nginx.pid;\n"
       << "events { worker_connections 1024; }\n"
       << "http {\n  access_log off;\n  keepalive_requests 100000000;\n  default_type application/json;\n"
       << "  server {\n    listen 127.0.0.1:" << port << ";\n    location = /servers.json { root " << root
       << "/www; }\n  }\n}\n";
  conf.close();
  SpawnOptions n;
  n.program = "nginx";
  n.args = {"-p", root + "/", "-c", root + "/nginx.conf", "-g", "daemon off;"};
  n.cpu = o.serverCore;
  n.favoured = true;
  n.stdoutPath = root + "/logs/stdout.log";
  return Spawn(n).pid;
}

}  // namespace

WebResult RunWeb(Loop& loop, Fleet& fleet, const WebOptions& o) {
  WebResult r;
  const int probe = ConnectLoopback(o.httpPort);
  const std::string body = probe >= 0 ? Fetch(probe) : std::string();
  if (probe >= 0) close(probe);
  if (body.empty()) {
    r.problem = "the registry's /servers.json could not be fetched";
    return r;
  }
  r.bytes = body.size();
  r.registryRequests = RunWrk(loop, fleet, o.httpPort, o);
  const std::uint16_t nginxPort = FreePort();
  const pid_t nginx = StartNginx(o, body, nginxPort);
  if (WaitListening(nginxPort, 10))
    r.nginxRequests = RunWrk(loop, fleet, nginxPort, o);
  else
    r.problem = "nginx did not start (see " + o.folder + "/nginx/logs)";
  Stop(nginx);

  LoadOptions lists;
  lists.port = o.gamePort;
  lists.server = o.registry;
  lists.seconds = o.seconds;
  lists.connections = o.connections;
  r.listRate = RunList(loop, &fleet, lists).Rate();
  // An HTTP client on a kept connection, paced at one fetch a millisecond.
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> fetched{0};
  std::thread client([&] {
    const int fd = ConnectLoopback(o.httpPort);
    auto next = std::chrono::steady_clock::now();
    while (fd >= 0 && !stop) {
      if (Fetch(fd).empty()) break;
      ++fetched;
      next = std::max(next + std::chrono::milliseconds(1), std::chrono::steady_clock::now() - std::chrono::milliseconds(5));
      std::this_thread::sleep_until(next);
    }
    if (fd >= 0) close(fd);
  });
  const double start = Now();
  r.listRateFetched = RunList(loop, &fleet, lists).Rate();
  r.fetchRate = double(fetched) / (Now() - start);
  stop = true;
  client.join();
  return r;
}

}  // namespace bench
