#pragma once
// The event log: at most 50 plain lines, oldest first, the newest selected.
// It lives only in memory, in a ring of its own, so a line costs a copy of
// its text and nothing else. The console's list is brought up to date once
// per pass of the event loop (changed()), and every line is also written to
// standard output, flushed once per pass, so a service's journal shows it.
//
// A line holds text from peers and remote callers, so its control
// characters are shown as escapes: one line stays one line everywhere.
// Standard output folds the list-request lines of one address to at most
// one a second, followed by a count of those left out, so that players
// fetching lists cannot flood the journal.
//
// It is also the program's diagnostics sink (core/LogSink.h): every report
// goes to standard error, one line each, and an error goes into the log as
// well, so the operator sees it in the console and in `tarnwickctl log -f`.
#include "core/Clock.h"
#include "core/LogSink.h"

#include <QObject>
#include <array>
#include <cstdint>
#include <cstdio>
#include <unordered_map>
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

  // The clock the folding of list-request lines keeps time with, and where
  // the lines are echoed (standard output unless a test says otherwise).
  void SetClock(TickClock& clock) { clock_ = &clock; }
  void SetEchoStream(std::FILE* stream) { echoStream_ = stream; }
  // Where reports go (standard error unless a test says otherwise).
  void SetReportStream(std::FILE* stream) { reportStream_ = stream; }
  // Writes the counts of folded lines whose second is over; a timer calls
  // it while any are waiting.
  void FlushFolded();

  void AddLogLine(const std::string& line) override;
  void Report(Severity severity, const std::string& line) override;

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
  void Echo(const std::string& line);
  // False when the line is a list-request line of an address that had one
  // echoed less than a second ago; it is then counted instead.
  bool EchoNow(const std::string& line);
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
  SystemTickClock systemClock_;
  TickClock* clock_ = &systemClock_;
  std::FILE* echoStream_ = stdout;
  std::FILE* reportStream_ = stderr;
  struct Folded {
    std::uint32_t since = 0;  // when the last line was echoed
    std::uint32_t more = 0;   // lines left out since
  };
  std::unordered_map<std::string, Folded> folded_;  // by address
  class QTimer* foldTimer_ = nullptr;
};
