#include "web/HttpServer.h"

#include "core/Counters.h"
#include "web/Page.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Per connection: its read buffer, headers and answer head. A request head
// bigger than kMaxRequestHead but within this still reaches Answer, which
// says 431; beyond it libmicrohttpd answers 431 (or 414 for the line) itself.
constexpr std::size_t kConnectionMemory = 32 * 1024;
constexpr unsigned kConnectionLimit = 512;
constexpr unsigned kIdleTimeoutSeconds = HttpServer::kRequestDeadlineMs / 1000;
constexpr int kLoopWakeMs = 250;
// The registry thread stamps the box twice a second; a loop that has not
// turned for this long is reported as stuck.
constexpr std::int64_t kStuckAfterMs = 10000;

const char kCsp[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
const char kJsonType[] = "application/json; charset=utf-8";
const char kHtmlType[] = "text/html; charset=utf-8";
const char kTextType[] = "text/plain; charset=utf-8";
const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

void Secure(MHD_Response* r) {
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(r, "Content-Security-Policy", kCsp);
}

// An answer whose body lives in a snapshot: the snapshot is kept alive for
// as long as libmicrohttpd holds the answer.
template <class Owner>
MHD_Response* Borrowed(const std::shared_ptr<Owner>& owner, const std::string& body) {
  auto* keep = new std::shared_ptr<Owner>(owner);
  return MHD_create_response_from_buffer_with_free_callback_cls(
      body.size(), const_cast<char*>(body.data()),
      [](void* cls) { delete static_cast<std::shared_ptr<Owner>*>(cls); }, keep);
}

MHD_Response* Cacheable(MHD_Response* r, const char* type, const std::string& etag, bool gzip) {
  MHD_add_response_header(r, "Content-Type", type);
  MHD_add_response_header(r, "ETag", etag.c_str());
  MHD_add_response_header(r, "Cache-Control", "public, max-age=5");
  MHD_add_response_header(r, "Vary", "Accept-Encoding");
  MHD_add_response_header(r, "Access-Control-Allow-Origin", "*");
  if (gzip) MHD_add_response_header(r, "Content-Encoding", "gzip");
  Secure(r);
  return r;
}

// Whether the client takes gzip: "gzip" in Accept-Encoding, unless with q=0.
bool AcceptsGzip(MHD_Connection* connection) {
  const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Accept-Encoding");
  if (!accept) return false;
  const std::string_view text(accept);
  std::size_t at = 0;
  while ((at = text.find("gzip", at)) != std::string_view::npos) {
    const std::size_t end = text.find(',', at);
    const std::string_view entry = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    const std::size_t q = entry.find("q=");
    if (q == std::string_view::npos || entry.substr(q + 2).find_first_not_of("0.") != std::string_view::npos)
      return true;
    at += 4;
  }
  return false;
}

bool Matches(MHD_Connection* connection, const std::string& etag, const std::string& gzipEtag) {
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "If-None-Match");
  if (!header) return false;
  const std::string_view text(header);
  if (text.find('*') != std::string_view::npos) return true;
  return text.find(etag) != std::string_view::npos || text.find(gzipEtag) != std::string_view::npos;
}

std::size_t RequestHead(MHD_Connection* connection, const char* url, const char* method, const char* version) {
  std::size_t size = std::strlen(method) + std::strlen(url) + std::strlen(version) + 4;
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) {
        *static_cast<std::size_t*>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
        return MHD_YES;
      },
      &size);
  // The query string is not part of url as libmicrohttpd gives it.
  MHD_get_connection_values(
      connection, MHD_GET_ARGUMENT_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) {
        *static_cast<std::size_t*>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 2;
        return MHD_YES;
      },
      &size);
  return size;
}

}  // namespace

// libmicrohttpd's C callbacks, forwarded to the server.
struct HttpCallbacks {
  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                           const char* version, const char*, size_t* uploadSize, void** request) {
    // The first call only says the head is in: answering then would make
    // libmicrohttpd close the connection instead of keeping it alive. A
    // body, if any, is read and dropped: no answer depends on it.
    static char seen, answered;
    if (!*request) {
      *request = &seen;
      return MHD_YES;
    }
    if (*uploadSize) {
      *uploadSize = 0;
      return MHD_YES;
    }
    if (*request == &answered) return MHD_YES;
    *request = &answered;
    return MHD_Result(static_cast<HttpServer*>(cls)->Answer(connection, url, method, version));
  }
  static void Notify(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
      server->Opened(connection);
    else
      server->Closed(connection);
  }
  static void Completed(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    static_cast<HttpServer*>(cls)->Completed(connection);
  }
};

HttpServer::HttpServer(const SnapshotBox& box, const Counters& counters) : box_(box), counters_(counters) {}

HttpServer::~HttpServer() { Stop(); }

int HttpServer::Listen(const ListenAddress& address, std::string* error) {
  const int family = address.address.ss_family;
  const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  const int on = 1, off = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // [::] takes IPv4 peers too, as ::ffff:a.b.c.d.
  if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0 ||
      listen(fd, 128) != 0) {
    *error = std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

bool HttpServer::Start(const Config& config, std::string* error) {
  Stop();
  config_ = config;
  listenFd_ = Listen(config.listen, error);
  if (listenFd_ < 0) return false;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  unsigned flags = MHD_USE_EPOLL | MHD_USE_TURBO;
  if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &HttpCallbacks::Access, this, MHD_OPTION_LISTEN_SOCKET, listenFd_,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(std::max(0, config.maxClientsPerIP)),
      MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
      &HttpCallbacks::Notify, this, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::Completed, this,
      MHD_OPTION_END);
  if (!daemon_) {
    *error = "the HTTP library could not start";
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  style_ = MHD_create_response_from_buffer(PageStyle().size(), const_cast<char*>(PageStyle().data()),
                                           MHD_RESPMEM_PERSISTENT);
  script_ = MHD_create_response_from_buffer(PageScript().size(), const_cast<char*>(PageScript().data()),
                                            MHD_RESPMEM_PERSISTENT);
  for (auto [r, type] : {std::pair{style_, "text/css; charset=utf-8"}, {script_, "text/javascript; charset=utf-8"}}) {
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", "public, max-age=300");
    Secure(r);
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void HttpServer::Stop() {
  if (!daemon_) return;
  stop_ = true;
  const std::uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The loop wakes within kLoopWakeMs anyway.
  }
  thread_.join();
  Release();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  MHD_destroy_response(style_);
  MHD_destroy_response(script_);
  style_ = script_ = nullptr;
  close(listenFd_);
  close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
  open_.clear();
}

void HttpServer::Run() {
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  const int loop = epoll_create1(EPOLL_CLOEXEC);
  epoll_event watch{};
  watch.events = EPOLLIN;
  watch.data.fd = info->epoll_fd;
  epoll_ctl(loop, EPOLL_CTL_ADD, info->epoll_fd, &watch);
  watch.data.fd = wakeFd_;
  epoll_ctl(loop, EPOLL_CTL_ADD, wakeFd_, &watch);
  while (!stop_) {
    int wait = kLoopWakeMs;
    MHD_UNSIGNED_LONG_LONG due = 0;
    if (MHD_get_timeout(daemon_, &due) == MHD_YES) wait = int(std::min<MHD_UNSIGNED_LONG_LONG>(due, kLoopWakeMs));
    epoll_event events[2];
    epoll_wait(loop, events, 2, wait);
    MHD_run(daemon_);
    CutOffSlowRequests();
  }
  close(loop);
}

// libmicrohttpd's own time-out counts from the last byte that moved, so a
// peer sending a header byte every few seconds would keep its connection
// for ever. Here each request has kRequestDeadlineMs from the moment its
// connection opened or the previous answer went out; the socket of one that
// takes longer is shut down, and libmicrohttpd closes the connection.
void HttpServer::CutOffSlowRequests() {
  const std::int64_t now = MonotonicMs();
  for (auto& [connection, open] : open_) {
    if (open.cut || now - open.since < kRequestDeadlineMs) continue;
    open.cut = true;
    shutdown(open.fd, SHUT_RDWR);
  }
}

void HttpServer::Opened(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  open_[connection] = Open{info ? info->connect_fd : -1, MonotonicMs(), false};
}

void HttpServer::Closed(MHD_Connection* connection) { open_.erase(connection); }

void HttpServer::Completed(MHD_Connection* connection) {
  const auto it = open_.find(connection);
  if (it != open_.end()) it->second.since = MonotonicMs();
}

void HttpServer::Release() {
  for (MHD_Response* r : {cached_.json, cached_.jsonGzip})
    if (r) MHD_destroy_response(r);
  for (auto& order : cached_.pages)
    for (MHD_Response*& r : order)
      if (r) MHD_destroy_response(r);
  cached_ = Cached{};
}

void HttpServer::Refresh(const std::shared_ptr<const ListSnapshot>& list) {
  if (cached_.list == list) return;
  Release();
  cached_.list = list;
  if (!list) return;
  cached_.json = Cacheable(Borrowed(list, list->json.plain), kJsonType, list->json.etag, false);
  cached_.jsonGzip = Cacheable(Borrowed(list, list->json.gzip), kJsonType, list->json.gzipEtag, true);
  const Representation* pages[3] = {&list->page, &list->pageByPlayers, &list->pageByName};
  for (int i = 0; i < 3; ++i) {
    cached_.pages[i][0] = Cacheable(Borrowed(list, pages[i]->plain), kHtmlType, pages[i]->etag, false);
    cached_.pages[i][1] = Cacheable(Borrowed(list, pages[i]->gzip), kHtmlType, pages[i]->gzipEtag, true);
  }
}

int HttpServer::Answer(MHD_Connection* connection, const char* url, const char* method, const char* version) {
  const std::string_view path(url);
  if (RequestHead(connection, url, method, version) > kMaxRequestHead)
    return SendText(connection, url, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "Request header too large\n", kTextType);
  const std::string_view verb(method);
  if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
    MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(r, "Allow", "GET, HEAD");
    Secure(r);
    return Send(connection, url, MHD_HTTP_METHOD_NOT_ALLOWED, r);
  }
  const std::shared_ptr<const WebSnapshot> snapshot = box_.Load();
  if (snapshot) Refresh(snapshot->list);
  if (path == "/servers.json" && cached_.list)
    return SendList(connection, url, cached_.list->json, cached_.json, cached_.jsonGzip, kJsonType);
  if (path == "/" && cached_.list) {
    const char* sort = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "sort");
    const int order = !sort ? 0 : std::strcmp(sort, "players") == 0 ? 1 : std::strcmp(sort, "name") == 0 ? 2 : 0;
    const Representation* pages[3] = {&cached_.list->page, &cached_.list->pageByPlayers, &cached_.list->pageByName};
    return SendList(connection, url, *pages[order], cached_.pages[order][0], cached_.pages[order][1], kHtmlType);
  }
  if (path == "/page.css") return Send(connection, url, MHD_HTTP_OK, style_);
  if (path == "/page.js") return Send(connection, url, MHD_HTTP_OK, script_);
  if (path == "/metrics") return SendMetrics(connection);
  if (path == "/healthz") return SendHealth(connection);
  return SendText(connection, url, MHD_HTTP_NOT_FOUND, "Not found\n", kTextType);
}

int HttpServer::Send(MHD_Connection* connection, const char* path, int status, MHD_Response* response) {
  requests_.Count(path, status);
  const int result = MHD_queue_response(connection, unsigned(status), response);
  // The shared answers are kept (their count of users was raised); the
  // others go once sent.
  if (response != style_ && response != script_ && response != cached_.json && response != cached_.jsonGzip) {
    bool shared = false;
    for (auto& order : cached_.pages)
      for (MHD_Response* r : order) shared |= r == response;
    if (!shared) MHD_destroy_response(response);
  }
  return result;
}

int HttpServer::SendText(MHD_Connection* connection, const char* path, int status, std::string body,
                         const char* type, bool cache) {
  MHD_Response* r = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(r, "Content-Type", type);
  MHD_add_response_header(r, "Cache-Control", cache ? "public, max-age=5" : "no-store");
  Secure(r);
  return Send(connection, path, status, r);
}

int HttpServer::SendList(MHD_Connection* connection, const char* path, const Representation& body,
                         MHD_Response* plain, MHD_Response* gzip, const char* type) {
  const bool zipped = AcceptsGzip(connection) && !body.gzip.empty();
  if (Matches(connection, body.etag, body.gzipEtag)) {
    MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    Cacheable(r, type, zipped ? body.gzipEtag : body.etag, false);
    return Send(connection, path, MHD_HTTP_NOT_MODIFIED, r);
  }
  return Send(connection, path, MHD_HTTP_OK, zipped ? gzip : plain);
}

int HttpServer::SendMetrics(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !InNetworks(config_.metricsAllow, info->client_addr))
    return SendText(connection, "/metrics", MHD_HTTP_FORBIDDEN, "Forbidden\n", kTextType);
  const std::shared_ptr<const WebSnapshot> snapshot = box_.Load();
  const WebSnapshot empty;
  // The request being answered is counted before the text is written.
  requests_.Count("/metrics", MHD_HTTP_OK);
  std::string body = RenderMetrics(snapshot ? *snapshot : empty, counters_, requests_, ReadProcessStats(),
                                   config_.version);
  MHD_Response* r = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(r, "Content-Type", kMetricsType);
  MHD_add_response_header(r, "Cache-Control", "no-store");
  Secure(r);
  const int result = MHD_queue_response(connection, MHD_HTTP_OK, r);
  MHD_destroy_response(r);
  return result;
}

int HttpServer::SendHealth(MHD_Connection* connection) {
  const std::shared_ptr<const WebSnapshot> snapshot = box_.Load();
  const std::int64_t silent = MonotonicMs() - box_.LastBeat();
  std::string reason;
  if (!snapshot || !snapshot->listening)
    reason = "not listening on the game port";
  else if (silent > kStuckAfterMs)
    reason = "the registry's event loop has not run for " + std::to_string(silent / 1000) + " seconds";
  else if (!snapshot->sharingProblem.empty())
    reason = snapshot->sharingProblem;
  else if (counters_.lastWriteFailed.load(std::memory_order_relaxed))
    reason = "the last database write failed";
  if (reason.empty()) return SendText(connection, "/healthz", MHD_HTTP_OK, "ok\n", kTextType);
  return SendText(connection, "/healthz", MHD_HTTP_SERVICE_UNAVAILABLE, reason + "\n", kTextType);
}
