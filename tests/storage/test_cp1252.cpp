// The code page table at the program's edges: every byte survives a round
// trip, the five undefined bytes included, and foreign text degrades to '?'.
#include "storage/Cp1252.h"

#include <QTest>

class TestCp1252 : public QObject {
  Q_OBJECT

 private slots:
  void everyByteRoundTrips() {
    std::string all;
    for (int c = 0; c < 256; ++c) all += char(c);
    QCOMPARE(cp1252::FromUtf8(cp1252::ToUtf8(all)), all);
    QCOMPARE(cp1252::FromUnicode(cp1252::ToUnicode(all)), all);
    QCOMPARE(cp1252::ToUtf8(all), cp1252::ToUnicode(all).toStdString());
    // One-to-one: 256 different characters.
    const QString text = cp1252::ToUnicode(all);
    QCOMPARE(QSet<QChar>(text.begin(), text.end()).size(), 256);
  }

  void knownCharacters() {
    QCOMPARE(cp1252::ToUnicode("\x80\x9F\xE9\x81\x9D"), QString::fromUtf8("€Ÿé\u0081\u009D"));
    QCOMPARE(cp1252::FromUnicode(QString::fromUtf8("€ŠŽ–—…")), std::string("\x80\x8A\x8E\x96\x97\x85"));
  }

  void foreignTextBecomesQuestionMarks() {
    QCOMPARE(cp1252::FromUnicode(QString::fromUtf8("aЖ😀b")), std::string("a??b"));
    QCOMPARE(cp1252::FromUtf8("a\xD0\x96" "\xF0\x9F\x98\x80" "b"), std::string("a??b"));
    // Broken UTF-8: each stray byte is one '?', the rest is kept.
    QCOMPARE(cp1252::FromUtf8("a\xFF" "b\xC3"), std::string("a?b?"));
    QCOMPARE(cp1252::FromUtf8("\xC0\x80" "c"), std::string("??c"));
  }
};

QTEST_GUILESS_MAIN(TestCp1252)
#include "test_cp1252.moc"
