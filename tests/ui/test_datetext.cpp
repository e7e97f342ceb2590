// Dates as the operator types and reads them, and as other programs pass them.
#include "ui/DateText.h"

#include <QtTest>

class TestDateText : public QObject {
  Q_OBJECT
 private slots:
  void formatsMonthFirstWithTimeUnlessMidnight() {
    QCOMPARE(FormatGeneralDate(QDateTime(QDate(2026, 3, 7), QTime(0, 0))), QString("3/7/2026"));
    QCOMPARE(FormatGeneralDate(QDateTime(QDate(2026, 12, 25), QTime(13, 5, 9))),
             QString("12/25/2026 1:05:09 PM"));
    QCOMPARE(FormatGeneralDate(QDateTime(QDate(2026, 1, 2), QTime(0, 0, 1))),
             QString("1/2/2026 12:00:01 AM"));
    QCOMPARE(FormatGeneralDate(QDateTime(QDate(2026, 1, 2), QTime(12, 30))),
             QString("1/2/2026 12:30:00 PM"));
  }
  void readsTwoAndFourDigitYears() {
    QCOMPARE(ParseShortDate("12/31/29"), std::optional<QDate>(QDate(2029, 12, 31)));
    QCOMPARE(ParseShortDate("01/01/30"), std::optional<QDate>(QDate(1930, 1, 1)));
    QCOMPARE(ParseShortDate("1/5/2027"), std::optional<QDate>(QDate(2027, 1, 5)));
    QCOMPARE(ParseShortDate("2/29/24"), std::optional<QDate>(QDate(2024, 2, 29)));
    for (const char* bad : {"13/45/04", "2/30/24", "", "12-31-29", "1/1/123", "a/b/cc", "00/10/20"})
      QVERIFY2(!ParseShortDate(bad), bad);
  }
  void automationDatesRoundTrip() {
    QCOMPARE(*FromAutomationDate(0.0), QDateTime(QDate(1899, 12, 30), QTime(0, 0)));
    QCOMPARE(*FromAutomationDate(2.25), QDateTime(QDate(1900, 1, 1), QTime(6, 0)));
    QCOMPARE(*FromAutomationDate(-1.25), QDateTime(QDate(1899, 12, 29), QTime(6, 0)));
    const QDateTime when(QDate(2026, 12, 8), QTime(18, 30, 15));
    QCOMPARE(*FromAutomationDate(ToAutomationDate(when)), when);
    QVERIFY(!FromAutomationDate(1e12));
    QVERIFY(!FromAutomationDate(-1e9));
    QVERIFY(!FromAutomationDate(std::nan("")));
    // Just short of midnight rounds to the next day, not back to its start.
    QCOMPARE(*FromAutomationDate(1.9999999), QDateTime(QDate(1900, 1, 1), QTime(0, 0)));
    // ... except at the end of 9999, where there is no next day to round to.
    QCOMPARE(*FromAutomationDate(2958465.99998), QDateTime(QDate(9999, 12, 31), QTime(23, 59, 58)));
    QVERIFY(!FromAutomationDate(2958465.9999976));
  }
};

QTEST_GUILESS_MAIN(TestDateText)
#include "test_datetext.moc"
