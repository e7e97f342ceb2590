#pragma once
// The HTTP side under load: wrk fetching /servers.json from the registry and
// the same bytes from nginx serving a file, one after the other on the same
// core; and the game protocol's list rate with and without an HTTP client
// fetching the list 1,000 times a second.
#include "bench/Scenarios.h"

#include <cstdint>
#include <string>

namespace bench {

struct WebResult {
  double registryRequests = 0;  // wrk's requests per second
  double nginxRequests = 0;
  std::size_t bytes = 0;        // of the list wrk fetched
  double listRate = 0;          // complete game lists per second, HTTP quiet
  double listRateFetched = 0;   // the same while HTTP is fetched
  double fetchRate = 0;         // HTTP fetches per second achieved meanwhile
  std::string problem;          // why a part could not be measured
};

struct WebOptions {
  std::uint16_t gamePort = 0;
  std::uint16_t httpPort = 0;
  pid_t registry = -1;
  std::string folder;    // nginx's prefix and document root go here
  int serverCore = -1;   // where nginx runs, as the registry does
  int loadCore = -1;     // where wrk runs
  double seconds = 5;
  int connections = 8;   // game protocol connections for the list rate
};

WebResult RunWeb(Loop& loop, Fleet& fleet, const WebOptions& o);

}  // namespace bench
