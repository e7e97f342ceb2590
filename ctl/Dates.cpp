#include "ctl/Dates.h"

#include "remote/UnbanDate.h"

namespace ctl {

std::optional<QDateTime> ParseUnbanDate(const QString& text) {
  return remote::ReadUnbanDate(text, remote::DateForms::IsoOrDay);
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
