// Fuzz target: the date texts an operator types and the dates other
// programs pass. Whatever a reader accepts is a real date, and it reads back
// the same from the text the program itself writes for it: the ban editor's
// month-first dates with or without a time, tarnwickctl's ISO and
// month-first unban dates, and automation dates (days since 30 December
// 1899) of the remote control.
//
// Input: the text, as UTF-8; its first eight bytes are also read as the
// double of an automation date.
#include "admin/frmBan.h"
#include "ctl/Dates.h"
#include "fuzz/Check.h"
#include "ui/DateText.h"

#include <QDateTime>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// The year has four digits in the program's own texts only from 1000 on.
bool FourDigitYear(const QDate& day) { return day.year() >= 1000 && day.year() <= 9999; }

void ShortDate(const QString& text) {
  const auto day = ParseShortDate(text);
  if (!day) return;
  FUZZ_CHECK(day->isValid());
  if (FourDigitYear(*day)) FUZZ_CHECK(ParseShortDate(FormatShortDate(*day)) == day);
}

void EditorDate(const QString& text) {
  const auto when = ParseUnbanDate(text);
  if (!when) return;
  FUZZ_CHECK(when->isValid());
  if (FourDigitYear(when->date())) FUZZ_CHECK(ParseUnbanDate(FormatGeneralDate(*when)) == when);
}

void CtlDate(const QString& text) {
  const auto when = ctl::ParseUnbanDate(text);
  if (!when) return;
  FUZZ_CHECK(when->isValid() && when->date().year() >= 100);
  FUZZ_CHECK(ctl::ParseUnbanDate(ctl::IsoText(*when)) == when);
  FUZZ_CHECK(!ctl::ShownDate(ctl::IsoText(*when)).isEmpty());
}

void AutomationDate(const std::uint8_t* data, std::size_t size) {
  double value = 0;
  if (size < sizeof value) return;
  std::memcpy(&value, data, sizeof value);
  const auto when = FromAutomationDate(value);
  if (!when) return;
  FUZZ_CHECK(when->isValid());
  // Whole seconds: the value written for it reads as the same moment.
  FUZZ_CHECK(FromAutomationDate(ToAutomationDate(*when)) == when);
  // And it is within a second of the value given.
  const double back = ToAutomationDate(*when);
  if (std::fabs(value) < 1e6) FUZZ_CHECK(std::fabs(std::trunc(back) - std::trunc(value)) <= 1.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
  ShortDate(text);
  EditorDate(text);
  CtlDate(text);
  AutomationDate(data, size);
  return 0;
}
