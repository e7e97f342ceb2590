#include "app/EventLog.h"

#include "core/Text.h"
#include "storage/Cp1252.h"

#include <QAbstractEventDispatcher>
#include <QTimer>

#include <cstdio>

namespace {

const std::string kListLine = "Server information sent to ";
constexpr std::uint32_t kFoldMs = 1000;
// Addresses whose list-request lines are being folded at once; beyond, a
// line is echoed as it is.
constexpr std::size_t kMaxFolded = 4096;

}  // namespace

EventLog::EventLog(bool echoToStdout, QObject* parent) : QObject(parent), echo_(echoToStdout) {
  WatchEventLoop();
  foldTimer_ = new QTimer(this);
  foldTimer_->setInterval(int(kFoldMs / 4));
  connect(foldTimer_, &QTimer::timeout, this, &EventLog::FlushFolded);
}

void EventLog::AddLogLine(const std::string& text) {
  const std::string line = EscapeControls(text);
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
  if (echo_ && EchoNow(line)) Echo(line);
}

void EventLog::Report(Severity severity, const std::string& text) {
  std::string line;
  cp1252::AppendAsUtf8(line, EscapeControls(text));
  line += '\n';
  // One write a line, unbuffered: a firewall tool reading the journal sees
  // each line as it is made. A failed write to standard error has nowhere
  // left to be reported.
  if (std::fwrite(line.data(), 1, line.size(), reportStream_) == line.size()) std::fflush(reportStream_);
  if (severity == Severity::Error) AddLogLine(text);
}

void EventLog::Echo(const std::string& line) {
  cp1252::AppendAsUtf8(echoLine_, line);
  echoLine_ += '\n';
  std::fwrite(echoLine_.data(), 1, echoLine_.size(), echoStream_);
  echoLine_.clear();
  if (flushBetweenEvents_)
    unflushed_ = true;
  else
    std::fflush(echoStream_);
}

bool EventLog::EchoNow(const std::string& line) {
  if (line.compare(0, kListLine.size(), kListLine) != 0) return true;
  const std::uint32_t now = clock_->Ticks();
  const std::string address = line.substr(kListLine.size());
  const auto found = folded_.find(address);
  if (found == folded_.end()) {
    if (folded_.size() >= kMaxFolded) return true;
    folded_.emplace(address, Folded{now, 0});
    if (!foldTimer_->isActive()) foldTimer_->start();
    return true;
  }
  Folded& f = found->second;
  if (Elapsed(now, f.since) < kFoldMs) {
    ++f.more;
    return false;
  }
  // Its second is over: the count first, then this line starts another.
  if (f.more) Echo(std::to_string(f.more) + " more list requests from " + address + " in the last second");
  f = Folded{now, 0};
  return true;
}

void EventLog::FlushFolded() {
  const std::uint32_t now = clock_->Ticks();
  for (auto it = folded_.begin(); it != folded_.end();) {
    if (Elapsed(now, it->second.since) < kFoldMs) {
      ++it;
      continue;
    }
    if (it->second.more)
      Echo(std::to_string(it->second.more) + " more list requests from " + it->first + " in the last second");
    it = folded_.erase(it);
  }
  if (folded_.empty()) foldTimer_->stop();
  if (!flushBetweenEvents_) std::fflush(echoStream_);
}

void EventLog::EndOfPass() {
  if (unflushed_) {
    unflushed_ = false;
    std::fflush(echoStream_);
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
