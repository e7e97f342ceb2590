#include "ui/DateText.h"

#include "remote/UnbanDate.h"

#include <cmath>

namespace {
const QDate kAutomationEpoch(1899, 12, 30);
constexpr double kMsPerDay = 86400000.0;
}  // namespace

QString FormatShortDate(const QDate& day) {
  return QStringLiteral("%1/%2/%3").arg(day.month()).arg(day.day()).arg(day.year());
}

QString FormatGeneralDate(const QDateTime& when) {
  QString text = FormatShortDate(when.date());
  const QTime t = when.time();
  if (t == QTime(0, 0)) return text;
  const int hour12 = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
  text += QStringLiteral(" %1:%2:%3 %4")
              .arg(hour12)
              .arg(t.minute(), 2, 10, QLatin1Char('0'))
              .arg(t.second(), 2, 10, QLatin1Char('0'))
              .arg(t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM"));
  return text;
}

std::optional<QDate> ParseShortDate(const QString& text) { return remote::ReadMonthFirstDay(text); }

std::optional<QDateTime> FromAutomationDate(double value) {
  if (!std::isfinite(value) || value < -657434.0 || value >= 2958466.0) return std::nullopt;
  // The whole part counts days (back from the epoch when negative); the
  // fraction's magnitude is always the time of day, kept to whole seconds as
  // the store keeps them.
  const double whole = std::trunc(value);
  qint64 seconds = std::llround(std::fabs(value - whole) * 86400.0);
  qint64 days = qint64(whole);
  if (seconds >= 86400) {
    seconds -= 86400;
    days += value < 0 ? -1 : 1;
  }
  const QDate day = kAutomationEpoch.addDays(days);
  // The last second of 9999 rounds up into a year no store or reader takes.
  if (day.year() > 9999) return std::nullopt;
  return QDateTime(day, QTime(0, 0).addSecs(int(seconds)));
}

double ToAutomationDate(const QDateTime& when) {
  const qint64 days = kAutomationEpoch.daysTo(when.date());
  const double fraction = QTime(0, 0).msecsTo(when.time()) / kMsPerDay;
  return days >= 0 ? double(days) + fraction : double(days) - fraction;
}
