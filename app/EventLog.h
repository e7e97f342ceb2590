#pragma once
// The event log: at most 50 plain lines, oldest first, the newest selected.
// It lives only in memory, in a ring of its own, so a line costs a copy of
// its text and nothing else. The console's list is brought up to date once
// per pass of the event loop (changed()), and every line is also written to
// standard output, flushed once per pass, so a service's journal shows it.
#include "core/LogSink.h"

#include <QObject>
#include <array>
#include <cstdint>
#include <string>

class EventLog : public QObject, public LogSink {
  Q_OBJECT
 public:
  static constexpr std::size_t kMaxLines = 50;

  // The lines held now, oldest first.
  class View {
   public:
    class Iterator {
     public:
      Iterator(const EventLog* log, std::size_t i) : log_(log), i_(i) {}
      const std::string& operator*() const { return log_->Line(i_); }
      Iterator& operator++() {
        ++i_;
        return *this;
      }
      bool operator!=(const Iterator& other) const { return i_ != other.i_; }

     private:
      const EventLog* log_;
      std::size_t i_;
    };
    explicit View(const EventLog* log) : log_(log) {}
    std::size_t size() const { return log_->count_; }
    bool empty() const { return log_->count_ == 0; }
    const std::string& operator[](std::size_t i) const { return log_->Line(i); }
    const std::string& front() const { return log_->Line(0); }
    const std::string& back() const { return log_->Line(log_->count_ - 1); }
    Iterator begin() const { return {log_, 0}; }
    Iterator end() const { return {log_, log_->count_}; }

   private:
    const EventLog* log_;
  };

  explicit EventLog(bool echoToStdout, QObject* parent = nullptr);

  void AddLogLine(const std::string& line) override;

  View Lines() const { return View(this); }
  // Lines logged since start-up, those that have left the ring included.
  std::uint64_t Total() const { return total_; }

 signals:
  // After every line; Lines().back() is the new one.
  void lineAppended();
  // Once per pass of the event loop in which lines were logged.
  void changed();

 private:
  void WatchEventLoop();
  void EndOfPass();
  const std::string& Line(std::size_t i) const {
    return ring_[(first_ + i) % kMaxLines];
  }

  bool echo_;
  bool flushBetweenEvents_ = false;
  bool unflushed_ = false;
  bool unannounced_ = false;
  std::array<std::string, kMaxLines> ring_;
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::uint64_t total_ = 0;
  std::string echoLine_;
};
