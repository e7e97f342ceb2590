#pragma once
// Unban dates as the operator types them: ISO (2027-03-19, optionally with a
// time, 2027-03-19T18:00 or 2027-03-19 18:00:00) or a month-first day as the
// console's ban editor reads it (3/19/2027, 03/19/27), read by the
// registry's own reader (remote/UnbanDate.h, header-only).
#include <QDateTime>
#include <QString>
#include <optional>

namespace ctl {

// nullopt when the text is none of those forms or not a real date.
std::optional<QDateTime> ParseUnbanDate(const QString& text);

// The ISO text the registry takes and gives: "2027-03-19T18:00:00".
QString IsoText(const QDateTime& when);

// How a table shows a date from the registry: "2027-03-19", with " 18:00" or
// " 18:00:30" after it when the time of day is not midnight; the text as it
// came when it is not an ISO date.
QString ShownDate(const QString& iso);

}  // namespace ctl
