#include "app/EventLog.h"

#include "storage/Cp1252.h"

#include <QAbstractEventDispatcher>
#include <QTimer>

#include <cstdio>

EventLog::EventLog(bool echoToStdout, QObject* parent) : QObject(parent), echo_(echoToStdout) {
  WatchEventLoop();
}

void EventLog::AddLogLine(const std::string& line) {
  // A full ring drops its oldest line; the slot's text keeps its capacity
  // for the next one.
  if (count_ == kMaxLines) {
    ring_[first_] = line;
    first_ = (first_ + 1) % kMaxLines;
  } else {
    ring_[(first_ + count_) % kMaxLines] = line;
    ++count_;
  }
  ++total_;
  emit lineAppended();
  if (!unannounced_) {
    unannounced_ = true;
    // Without an event loop watched (tests, start-up) the next pass is
    // whenever the loop runs again.
    if (!flushBetweenEvents_) QTimer::singleShot(0, this, &EventLog::EndOfPass);
  }
  if (echo_) {
    cp1252::AppendAsUtf8(echoLine_, line);
    echoLine_ += '\n';
    std::fwrite(echoLine_.data(), 1, echoLine_.size(), stdout);
    echoLine_.clear();
    if (flushBetweenEvents_)
      unflushed_ = true;
    else
      std::fflush(stdout);
  }
}

void EventLog::EndOfPass() {
  if (unflushed_) {
    unflushed_ = false;
    std::fflush(stdout);
  }
  if (unannounced_) {
    unannounced_ = false;
    emit changed();
  }
}

// Once the event being handled is done, before the event loop waits again,
// the lines of the pass are flushed to standard output in one write and the
// console hears of them once. Every line is out before the registry next
// sleeps, and stdio flushes the rest when the process exits.
void EventLog::WatchEventLoop() {
  auto* dispatcher = QAbstractEventDispatcher::instance();
  if (!dispatcher) return;
  flushBetweenEvents_ = true;
  // Both, because an event loop may skip one of them on a pass.
  connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &EventLog::EndOfPass);
  connect(dispatcher, &QAbstractEventDispatcher::awake, this, &EventLog::EndOfPass);
}
