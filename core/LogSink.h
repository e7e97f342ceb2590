#pragma once
// Where the core reports: event-log lines, which belong to the application
// layer, and diagnostics for the operator's tools (standard error: the
// journal of a service, which a firewall tool can watch).
#include <string>

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void AddLogLine(const std::string& line) = 0;
  // One line of code page 1252 text; text from peers in it may hold any
  // byte, so it is written with its control characters escaped.
  virtual void Diagnostic(const std::string& line);
  // Advice on the registry's set-up (a server.ini line it cannot use, a
  // game server players cannot reach): no firewall tool acts on it. Goes
  // where diagnostics go.
  virtual void Warning(const std::string& line) { Diagnostic(line); }
};
