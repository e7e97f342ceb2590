#pragma once
// What a registry under a fuzz target is given in place of the real clock,
// calendar and event log: time moves only when the target says, the date
// never changes, and nothing is written anywhere.
#include "core/Clock.h"
#include "core/LogSink.h"
#include "storage/Database.h"

#include <QDate>
#include <cstdint>
#include <string>

class SteppedClock : public TickClock {
 public:
  std::uint32_t now = 0;
  std::uint32_t Ticks() override { return now; }
};

class FixedCalendar : public Calendar {
 public:
  QDate Today() override { return QDate(2026, 12, 8); }
};

class DiscardLog : public LogSink {
 public:
  void AddLogLine(const std::string&) override {}
  void Report(Severity, const std::string&) override {}
};

// Every input starts from the same database: one account, alpha.
inline void ResetToOneAccount(Database& db) {
  Database::Transaction reset(db);
  for (const std::string& user : db.accounts().Users()) db.accounts().Delete(user);
  AccountRecord alpha;
  alpha.User = "alpha";
  alpha.Password = "SECRET";
  alpha.Name = "Alpha";
  alpha.Description = "Fun";
  alpha.UpdateURL = "";
  alpha.Official = 1;
  db.accounts().Add(alpha);
  reset.Commit();
}
