#include "bench/Options.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace bench {

namespace {

[[noreturn]] void Usage() {
  std::cerr << "usage: loadgen --registry PATH --refserver PATH [--seconds N] [--servers S] [--clients C]\n"
               "               [--rounds R] [--reference-idle N] [--list-connections 1,8,32]\n"
               "               [--only list,churn,login,newaccount,startup,idle,display,siege,web,shared]\n"
               "               [--attackers connections,servers,readers] [--settle SECONDS]\n"
               "               [--json FILE] [--markdown FILE] [--command TEXT]\n";
  std::exit(2);
}

std::vector<std::string> Names(const std::string& list) {
  std::vector<std::string> names;
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) names.push_back(name);
  return names;
}

// One option and its value; false for a name loadgen does not know.
bool SetOption(Config& config, const std::string& arg, const std::string& value) {
  if (arg == "--registry") config.registry = std::filesystem::absolute(value);
  else if (arg == "--refserver") config.refserver = std::filesystem::absolute(value);
  else if (arg == "--seconds") config.seconds = std::max(1.0, std::atof(value.c_str()));
  else if (arg == "--servers") config.servers = std::clamp(std::atoi(value.c_str()), 1, 200);
  else if (arg == "--clients") config.clients = std::clamp(std::atoi(value.c_str()), 1, 50);
  else if (arg == "--list-connections") {
    config.listConnections.clear();
    for (const std::string& n : Names(value))
      config.listConnections.push_back(std::clamp(std::atoi(n.c_str()), 1, 200));
    if (config.listConnections.empty()) Usage();
  }
  else if (arg == "--rounds") config.rounds = std::clamp(std::atoi(value.c_str()), 1, 10);
  else if (arg == "--reference-idle") config.referenceIdle = std::clamp(std::atoi(value.c_str()), 0, 200);
  else if (arg == "--json") config.json = value;
  else if (arg == "--markdown") config.markdown = value;
  else if (arg == "--command") config.command = value;
  else if (arg == "--only") {
    for (const std::string& name : Names(value)) config.only.insert(name);
  } else if (arg == "--attackers") {
    config.attackers.clear();
    for (const std::string& name : Names(value)) {
      if (name != "connections" && name != "servers" && name != "readers") Usage();
      config.attackers.insert(name);
    }
  } else if (arg == "--settle") {
    config.settle = std::clamp(std::atof(value.c_str()), 0.0, 600.0);
  } else {
    return false;
  }
  return true;
}

}  // namespace

double IdleWindow(const Config& config) { return std::max(10.0, 2 * config.seconds); }
double SiegeWindow(const Config& config) { return std::max(10.0, config.seconds); }

Config ParseOptions(int argc, char** argv) {
  Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage();
    const std::string value = argv[++i];
    if (!SetOption(config, arg, value)) Usage();
  }
  if (config.registry.empty() || config.refserver.empty()) Usage();
  if (config.command.empty()) {
    for (int i = 0; i < argc; ++i) config.command += (i ? " " : "") + std::string(argv[i]);
  }
  return config;
}

}  // namespace bench
