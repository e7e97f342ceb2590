// The code page table at the program's edges: every byte survives a round
// trip, the five undefined bytes included, and foreign text degrades to '?';
// and the case folding that every comparison ignoring case relies on.
#include "storage/Cp1252.h"

#include <QTest>

#include <map>

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

  // All 256 bytes: every lower-case letter folds to its capital, those whose
  // capitals stand in 0x80-0x9F included; every other byte stays itself,
  // the letters without a capital in the code page (sharp s, micro sign,
  // the ordinal indicators, f with hook) and the division sign among them.
  void caseFoldOfEveryByte() {
    const std::map<int, int> capitals = {{0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x8E}, {0xFF, 0x9F}};
    for (int b = 0; b < 256; ++b) {
      int expected = b;
      if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) expected = b - 0x20;
      if (const auto it = capitals.find(b); it != capitals.end()) expected = it->second;
      QCOMPARE(int(static_cast<unsigned char>(cp1252::UpperChar(char(b)))), expected);
    }
    QCOMPARE(cp1252::UpperCase("\x9A\x9C\x9E\xFF\xDF\xB5\xF7\xE9z"),
             std::string("\x8A\x8C\x8E\x9F\xDF\xB5\xF7\xC9Z"));
    QVERIFY(cp1252::EqualsIgnoringCase("\xFFves", "\x9FVES"));
    QVERIFY(!cp1252::EqualsIgnoringCase("\xF7", "\xD7"));  // division and multiplication signs
    QVERIFY(!cp1252::EqualsIgnoringCase("\xDF", "SS"));
  }
};

QTEST_GUILESS_MAIN(TestCp1252)
#include "test_cp1252.moc"
