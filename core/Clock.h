#pragma once
// The registry's two sources of time, behind interfaces so tests can move
// time without waiting.
#include <QDate>
#include <cstdint>

// A 32-bit millisecond tick count that wraps after about 49.7 days. Every
// elapsed time is an unsigned 32-bit difference, so the wrap is harmless.
class TickClock {
 public:
  virtual ~TickClock() = default;
  virtual std::uint32_t Ticks() = 0;
};

class SystemTickClock : public TickClock {
 public:
  std::uint32_t Ticks() override;
};

// The local calendar date, for ban expiry.
class Calendar {
 public:
  virtual ~Calendar() = default;
  virtual QDate Today() = 0;
};

class SystemCalendar : public Calendar {
 public:
  QDate Today() override { return QDate::currentDate(); }
};

inline std::uint32_t Elapsed(std::uint32_t now, std::uint32_t then) { return now - then; }
