#pragma once
// Where the core writes its event-log lines; the event log itself belongs to
// the application layer.
#include <string>

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void AddLogLine(const std::string& line) = 0;
};
