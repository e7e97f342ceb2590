#pragma once
// Unban dates as the operator types them: ISO (2027-03-19, optionally with a
// time, 2027-03-19T18:00 or 2027-03-19 18:00:00) or month first as the
// console's ban editor reads them (3/19/2027, 03/19/27; two-digit years 00
// to 29 are 2000 to 2029, 30 to 99 are 1930 to 1999). tarnwickctl links
// nothing of the registry, so this small reader is its own.
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
