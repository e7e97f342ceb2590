#pragma once
// The fixtures of the benchmarks: registry folders made with the storage
// library, and the registry and the reference server started pinned to the
// servers' core, each stopped when its holder goes.
#include "bench/Fleet.h"
#include "bench/Options.h"
#include "bench/Proc.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

// The line the registry prints once it serves.
constexpr const char* kLoadedLine = "has loaded and is listening on port";

struct Contents {
  int fleet = 0;        // bench1..benchN and sh1..shN, the game servers of fleet.h
  int loginPool = 0;    // player1..playerN
  int filler = 0;       // further accounts of realistic size
  int bans = 0;
  bool autoAllow = true;
  // The limits against hostile peers that ration what one address (or all)
  // may ask for: off except in the siege. The throughput scenarios measure
  // the registry's work against a reference server that rations nothing;
  // they ask thousands of lists a second from each address, create more
  // than a hundred accounts an hour, and log 255 servers in.
  bool rationed = false;
  // Database=: the accounts and bans go to that PostgreSQL database instead
  // of zvlt.dat, and the registry shares it under InstanceName=instance.
  // Only the first of the registries sharing it writes them (writeAccounts).
  std::string database;
  std::string instance;
  bool writeAccounts = true;
};

// Writes zvlt.dat and server.ini into folder with the storage library, the
// same code the registry uses.
void MakeFolder(const std::string& folder, const Contents& what);

// A copy of the registry's program in folder, so each run starts its own.
std::string CopyRegistry(const Config& config, const std::string& folder);

// display: an X display to show the window on; none runs it headless.
// The HTTP side is off unless a scenario measures it: the others compare
// the game protocol with a reference server that has none.
SpawnOptions RegistryOptions(const std::string& exe, const std::string& folder, std::uint16_t port,
                             const std::string& display = "", const std::string& httpListen = "off");

// A registry running in its folder, its output going to stdout.log there.
struct RunningRegistry {
  std::string folder;
  std::uint16_t port = 0;
  pid_t pid = -1;
  std::string display;
  std::string httpListen = "off";

  void Start(const Config& config);
  void Stop();
  // A run that fails leaves nothing running.
  ~RunningRegistry() { Stop(); }
};

struct RunningRef {
  std::uint16_t port = 0;
  pid_t pid = -1;
  void Start(const Config& config, const std::string& folder, fleet::Shape shape);
  void Stop();
  ~RunningRef() { Stop(); }
};

}  // namespace bench
