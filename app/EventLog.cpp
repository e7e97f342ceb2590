#include "app/EventLog.h"

#include "storage/Cp1252.h"

#include <QAbstractEventDispatcher>

#include <cstdio>

void EventLog::AddLogLine(const std::string& line) {
  lines_.push_back(line);
  emit lineAppended();
  if (lines_.size() > kMaxLines) {
    lines_.pop_front();
    emit firstLineRemoved();
  }
  if (echo_) {
    std::string text = cp1252::ToUtf8(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (flushBetweenEvents_)
      unflushed_ = true;
    else
      std::fflush(stdout);
  }
}

// Lines are written as they are logged and flushed once the event being
// handled is done, before the event loop waits again: a burst of answered
// list requests costs one write to the journal instead of one per line.
// Every line is out before the registry next sleeps, and stdio flushes the
// rest when the process exits.
void EventLog::WatchEventLoop() {
  auto* dispatcher = QAbstractEventDispatcher::instance();
  if (!echo_ || !dispatcher) return;
  flushBetweenEvents_ = true;
  auto flush = [this] {
    if (!unflushed_) return;
    unflushed_ = false;
    std::fflush(stdout);
  };
  // Both, because an event loop may skip one of them on a pass.
  connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, flush);
  connect(dispatcher, &QAbstractEventDispatcher::awake, this, flush);
}
