#pragma once
// The HTTP side: libmicrohttpd in its epoll mode on one thread of its own,
// so that no HTTP traffic can slow the game protocol. It serves
//   GET /servers.json   the server list as JSON (ETag, gzip, CORS)
//   GET /               the list as a page (?sort=players, ?sort=name)
//   GET /page.css, /page.js   the page's own style and script
//   GET /metrics        Prometheus text, to the networks of MetricsAllow
//   GET /healthz        "ok", or 503 with the reason
// and HEAD on each. It reads only the snapshots the registry thread
// publishes and the registry's atomic counters, never the client table or
// the database.
//
// What a public endpoint needs: at most HttpMaxClientsPerIP connections
// from one address (one more is closed at once), 10 seconds for each
// request from the moment its connection opened or the previous answer went
// out (a peer that dribbles its headers or reads its answer a byte at a
// time is cut off), request line and headers of at most 8 KB (431), and a
// small fixed memory budget per connection.
#include "web/Metrics.h"
#include "web/Network.h"
#include "web/Snapshot.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct Counters;
struct MHD_Connection;
struct MHD_Daemon;
struct MHD_Response;

class HttpServer {
 public:
  static constexpr int kRequestDeadlineMs = 10000;
  static constexpr std::size_t kMaxRequestHead = 8192;

  struct Config {
    ListenAddress listen;
    int maxClientsPerIP = 8;  // 0: no limit
    std::vector<Network> metricsAllow;
    std::string version;
  };

  HttpServer(const SnapshotBox& box, const Counters& counters);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens and starts the thread. False with the reason (the system's, as
  // "Address already in use") when it cannot listen.
  bool Start(const Config& config, std::string* error);
  // Stops the thread and closes every connection; safe to call twice.
  void Stop();
  bool Running() const { return daemon_ != nullptr; }
  // The port listened on (the one chosen when the configuration said 0).
  std::uint16_t Port() const { return port_; }
  const HttpCounters& Requests() const { return requests_; }

 private:
  struct Open {
    int fd = -1;
    std::int64_t since = 0;  // opened, or its last answer sent
    bool cut = false;
  };
  // The answers built from one list snapshot, kept while it is current.
  struct Cached {
    std::shared_ptr<const ListSnapshot> list;
    MHD_Response* json = nullptr;
    MHD_Response* jsonGzip = nullptr;
    MHD_Response* pages[3][2] = {};  // by order, then plain / gzip
  };

  static int Listen(const ListenAddress& address, std::string* error);
  void Run();
  void CutOffSlowRequests();
  void Refresh(const std::shared_ptr<const ListSnapshot>& list);
  void Release();

  // libmicrohttpd's callbacks, on the HTTP thread.
  int Answer(MHD_Connection* connection, const char* url, const char* method, const char* version);
  void Opened(MHD_Connection* connection);
  void Closed(MHD_Connection* connection);
  void Completed(MHD_Connection* connection);
  friend struct HttpCallbacks;

  int Send(MHD_Connection* connection, const char* path, int status, MHD_Response* response);
  int SendText(MHD_Connection* connection, const char* path, int status, std::string body,
               const char* type, bool cache = false);
  int SendList(MHD_Connection* connection, const char* path, const Representation& body,
               MHD_Response* plain, MHD_Response* gzip, const char* type);
  int SendMetrics(MHD_Connection* connection);
  int SendHealth(MHD_Connection* connection);

  const SnapshotBox& box_;
  const Counters& counters_;
  Config config_;
  HttpCounters requests_;
  MHD_Daemon* daemon_ = nullptr;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  // The HTTP thread's own.
  std::unordered_map<MHD_Connection*, Open> open_;
  Cached cached_;
  MHD_Response* style_ = nullptr;
  MHD_Response* script_ = nullptr;
};
