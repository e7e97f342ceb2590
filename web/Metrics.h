#pragma once
// /metrics in the Prometheus text format (version 0.0.4): the snapshot's
// gauges, the registry's counters, the HTTP side's own requests, the build
// and the usual process_ metrics.
#include "web/Snapshot.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

struct Counters;

// HTTP requests answered, by path and status, counted on the HTTP thread.
class HttpCounters {
 public:
  static constexpr std::array<const char*, 7> kPaths{"/", "/servers.json", "/metrics", "/healthz",
                                                     "/page.css", "/page.js", "other"};
  static constexpr std::array<int, 8> kStatuses{200, 304, 403, 404, 405, 431, 500, 503};

  void Count(std::string_view path, int status);
  std::uint64_t Get(std::size_t path, std::size_t status) const {
    return counts_[path][status].load(std::memory_order_relaxed);
  }

 private:
  std::array<std::array<std::atomic<std::uint64_t>, kStatuses.size()>, kPaths.size()> counts_{};
};

struct ProcessStats {
  double residentBytes = 0;
  double virtualBytes = 0;
  double cpuSeconds = 0;
  double openFds = 0;
  double maxFds = 0;
  double startTimeSeconds = 0;
};

// Read from /proc/self (all a sandboxed service sees of /proc).
ProcessStats ReadProcessStats();

std::string RenderMetrics(const WebSnapshot& snapshot, const Counters& counters, const HttpCounters& http,
                          const ProcessStats& process, const std::string& version);
