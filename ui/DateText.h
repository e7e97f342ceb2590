#pragma once
// Dates as the operator and other programs see them: month first,
// "M/D/YYYY", followed by " h:mm:ss AM" or " PM" when the time of day is not
// midnight; typed dates read as mm/dd/yy or mm/dd/yyyy. Other programs pass
// dates as automation dates: days since 30 December 1899, the fraction being
// the time of day.
#include <QDateTime>
#include <QString>
#include <optional>

QString FormatGeneralDate(const QDateTime& when);
// Only the date part, "M/D/YYYY" (today's date in a fresh ban editor).
QString FormatShortDate(const QDate& day);
// mm/dd/yy or mm/dd/yyyy (one or two digits for month and day). Two-digit
// years 00 to 29 are 2000 to 2029, 30 to 99 are 1930 to 1999. nullopt when
// the text is not a valid date.
std::optional<QDate> ParseShortDate(const QString& text);

// Automation dates. Negative values count back from 30 December 1899 with
// the fraction still adding time forward, as automation dates do. nullopt for
// values outside the years 100 to 9999 or not finite.
std::optional<QDateTime> FromAutomationDate(double value);
double ToAutomationDate(const QDateTime& when);
