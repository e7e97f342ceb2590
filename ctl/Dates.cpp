#include "ctl/Dates.h"

#include <QRegularExpression>

namespace ctl {

std::optional<QDateTime> ParseUnbanDate(const QString& text) {
  static const QRegularExpression iso(
      QStringLiteral(R"(^\s*(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?\s*$)"));
  static const QRegularExpression monthFirst(
      QStringLiteral(R"(^\s*(\d{1,2})/(\d{1,2})/(\d{2}|\d{4})\s*$)"));
  QDate day;
  QTime time(0, 0);
  if (const auto m = iso.match(text); m.hasMatch()) {
    day = QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (m.hasCaptured(4))
      time = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
  } else if (const auto m = monthFirst.match(text); m.hasMatch()) {
    int year = m.captured(3).toInt();
    if (m.captured(3).size() == 2) year += year < 30 ? 2000 : 1900;
    day = QDate(year, m.captured(1).toInt(), m.captured(2).toInt());
  }
  if (!day.isValid() || !time.isValid() || day.year() < 100) return std::nullopt;
  return QDateTime(day, time);
}

QString IsoText(const QDateTime& when) { return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")); }

QString ShownDate(const QString& iso) {
  const QDateTime when = QDateTime::fromString(iso, QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
  if (!when.isValid()) return iso;
  const QTime t = when.time();
  if (t == QTime(0, 0)) return when.toString(QStringLiteral("yyyy-MM-dd"));
  return when.toString(t.second() ? QStringLiteral("yyyy-MM-dd HH:mm:ss")
                                  : QStringLiteral("yyyy-MM-dd HH:mm"));
}

}  // namespace ctl
