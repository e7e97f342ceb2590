#pragma once
// The event log: at most 50 plain lines, oldest first, the newest selected.
// It lives only in memory; every line is also written to standard output as
// it is logged, so a service's journal shows it.
#include "core/LogSink.h"

#include <QObject>
#include <deque>
#include <string>

class EventLog : public QObject, public LogSink {
  Q_OBJECT
 public:
  static constexpr std::size_t kMaxLines = 50;

  explicit EventLog(bool echoToStdout, QObject* parent = nullptr)
      : QObject(parent), echo_(echoToStdout) {
    WatchEventLoop();
  }

  void AddLogLine(const std::string& line) override;

  const std::deque<std::string>& Lines() const { return lines_; }

 signals:
  void lineAppended();
  void firstLineRemoved();

 private:
  void WatchEventLoop();

  bool echo_;
  bool flushBetweenEvents_ = false;
  bool unflushed_ = false;
  std::deque<std::string> lines_;
};
