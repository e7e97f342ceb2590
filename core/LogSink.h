#pragma once
// Where the core reports, and the one diagnostics path of the program.
//
// Error style of the core: input from the network that is malformed ends its
// connection and reports nothing; a refusal the operator asked for is a
// return value (core/Operations.h); trouble the registry runs into while it
// serves (a write the database refused, a refused login, advice on the
// set-up) is reported here with its severity, and the registry serves on.
// Nothing in core/ or storage/ writes to standard error itself: the sink
// (app/EventLog) does, so the journal of a service shows it, and puts what
// an operator must see into the event log as well, so the console and
// `tarnwickctl log -f` show it too.
#include <string>

enum class Severity {
  Error,    // something was not done (a write refused): standard error and the event log
  Warning,  // advice on the registry's set-up (a server.ini line it cannot use): standard error
  Notice,   // what a firewall tool acts on (a refused login, a flood): standard error
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  // An event-log line: one of the lines the event log is for.
  virtual void AddLogLine(const std::string& line) = 0;
  // One line of code page 1252 text; text from peers in it may hold any
  // byte, so the sink writes it with its control characters escaped.
  virtual void Report(Severity severity, const std::string& line) = 0;

  void Error(const std::string& line) { Report(Severity::Error, line); }
  void Warning(const std::string& line) { Report(Severity::Warning, line); }
  void Diagnostic(const std::string& line) { Report(Severity::Notice, line); }
};
