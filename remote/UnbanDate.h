#pragma once
// The one reader of unban dates, for the three places that take them as
// text: the console's ban editor, Tarnwick.Operator and tarnwickctl. Each
// takes its own forms, named where it calls:
//   Iso         2027-03-19, 2027-03-19T18:00, 2027-03-19T18:00:30 (a space
//               will do for the T)
//   MonthFirst  3/19/2027 or 03/19/27, one or two digits for month and day;
//               two-digit years 00 to 29 are 2000 to 2029, 30 to 99 are 1930
//               to 1999
//   time        after a month-first date: 18:00, 6:00 PM, 6:00:30 pm
// Header-only on QtCore, so tarnwickctl, which links nothing of the
// registry, reads dates exactly as the registry does.
#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <QTime>
#include <optional>

namespace remote {

enum class DateForms {
  Iso,          // Tarnwick.Operator's UnbanDate argument
  MonthFirst,   // the ban editor: month first, with or without a time
  IsoOrDay,     // tarnwickctl's --until: ISO, or a month-first day
};

// mm/dd/yy or mm/dd/yyyy; nullopt when the text is not a real date.
inline std::optional<QDate> ReadMonthFirstDay(const QString& text) {
  static const QRegularExpression form(QStringLiteral(R"(^\s*(\d{1,2})/(\d{1,2})/(\d{2}|\d{4})\s*$)"));
  const QRegularExpressionMatch m = form.match(text);
  if (!m.hasMatch()) return std::nullopt;
  int year = m.captured(3).toInt();
  if (m.captured(3).size() == 2) year += year < 30 ? 2000 : 1900;
  const QDate day(year, m.captured(1).toInt(), m.captured(2).toInt());
  if (!day.isValid()) return std::nullopt;
  return day;
}

namespace unban_date_detail {

inline std::optional<QDateTime> Iso(const QString& text) {
  static const QRegularExpression form(
      QStringLiteral(R"(^\s*(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?\s*$)"));
  const QRegularExpressionMatch m = form.match(text);
  if (!m.hasMatch()) return std::nullopt;
  const QDate day(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
  QTime time(0, 0);
  if (m.hasCaptured(4)) time = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
  if (!day.isValid() || !time.isValid()) return std::nullopt;
  return QDateTime(day, time);
}

// A month-first date, then a time of day on the 24-hour clock or, with AM
// or PM, on the 12-hour one.
inline std::optional<QDateTime> MonthFirstWithTime(const QString& text) {
  static const QRegularExpression form(
      QStringLiteral(R"(^\s*(\S+)\s+(\d{1,2}):(\d{2})(?::(\d{2}))?(?:\s*([AP]M))?\s*$)"),
      QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch m = form.match(text);
  if (!m.hasMatch()) return std::nullopt;
  const std::optional<QDate> day = ReadMonthFirstDay(m.captured(1));
  if (!day) return std::nullopt;
  int hour = m.captured(2).toInt();
  const QString half = m.captured(5).toUpper();
  if (!half.isEmpty()) {
    if (hour < 1 || hour > 12) return std::nullopt;
    hour = hour % 12 + (half == QLatin1String("PM") ? 12 : 0);
  }
  const QTime time(hour, m.captured(3).toInt(), m.captured(4).toInt());
  if (!time.isValid()) return std::nullopt;
  return QDateTime(*day, time);
}

inline std::optional<QDateTime> Day(const std::optional<QDate>& day) {
  if (!day) return std::nullopt;
  return QDateTime(*day, QTime(0, 0));
}

}  // namespace unban_date_detail

// nullopt when the text is none of the forms or not a real date. Iso and
// IsoOrDay take nothing before the year 100, as automation dates do not.
inline std::optional<QDateTime> ReadUnbanDate(const QString& text, DateForms forms) {
  namespace d = unban_date_detail;
  std::optional<QDateTime> when;
  switch (forms) {
    case DateForms::Iso: when = d::Iso(text); break;
    case DateForms::MonthFirst:
      when = d::Day(ReadMonthFirstDay(text));
      return when ? when : d::MonthFirstWithTime(text);
    case DateForms::IsoOrDay:
      when = d::Iso(text);
      if (!when) when = d::Day(ReadMonthFirstDay(text));
      break;
  }
  if (!when || when->date().year() < 100) return std::nullopt;
  return when;
}

}  // namespace remote
