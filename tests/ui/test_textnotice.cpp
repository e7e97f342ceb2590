// The notice for long texts: every character readable, the title whole,
// the window within the screen.
#include "ui/TextNotice.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>
#include <QtTest>

namespace {

struct Shown {
  QPointer<QDialog> notice;
  QTextEdit* box = nullptr;
  explicit Shown(const QString& text, const QString& title = "Kestrune: Server Description")
      : notice(NewTextNotice(nullptr, text, title)) {
    box = notice->findChild<QTextEdit*>("txtText");
    notice->show();
    (void)QTest::qWaitForWindowExposed(notice);
  }
  ~Shown() { delete notice.data(); }
  // Everything is in view: nothing to scroll to either way.
  bool AllInView() const {
    return box->verticalScrollBar()->maximum() == 0 && box->horizontalScrollBar()->maximum() == 0 &&
           box->document()->size().width() <= box->viewport()->width();
  }
};

}  // namespace

class TestTextNotice : public QObject {
  Q_OBJECT
 private slots:
  void longWordWrapsWhole();
  void shortTextKeepsTitleWhole();
  void textTallerThanTheScreenScrolls();
  void okCloses();
};

// 255 characters without a space: wrapped anywhere, every one in view.
void TestTextNotice::longWordWrapsWhole() {
  const QString text(255, QLatin1Char('W'));
  Shown s(text);
  QVERIFY(s.box->isReadOnly());
  QCOMPARE(s.box->toPlainText(), text);
  QVERIFY(s.AllInView());
  QCOMPARE(s.box->document()->blockCount(), 1);  // one paragraph...
  QVERIFY(s.box->document()->size().height() > 2 * s.box->fontMetrics().height());  // ...wrapped
  QVERIFY(s.notice->frameGeometry().width() <= s.notice->screen()->availableGeometry().width());
  // The box fits the wrapped text: no more than a line to spare.
  const int spare = s.box->viewport()->height() - int(s.box->document()->size().height());
  QVERIFY2(spare >= 0 && spare <= s.box->fontMetrics().height(), qPrintable(QString::number(spare)));
  // Words are kept whole where the text has spaces.
  Shown words(QString("alpha beta gamma delta ").repeated(12).trimmed());
  QVERIFY(words.AllInView());
}

// A short text: the window is wide enough for its title.
void TestTextNotice::shortTextKeepsTitleWhole() {
  const QString title = "Kestrune: Server Description";
  Shown s("Hi", title);
  QCOMPARE(s.box->toPlainText(), QString("Hi"));
  QVERIFY(s.AllInView());
  QVERIFY(s.notice->width() > s.notice->fontMetrics().horizontalAdvance(title));
  // One line, not a screenful.
  QVERIFY(s.box->height() < 6 * s.box->fontMetrics().height());
}

void TestTextNotice::textTallerThanTheScreenScrolls() {
  QStringList lines;
  for (int i = 0; i < 2000; ++i) lines << QString("line %1").arg(i);
  Shown s(lines.join('\n'));
  const QRect screen = s.notice->screen()->availableGeometry();
  QVERIFY(s.notice->frameGeometry().height() <= screen.height());
  QVERIFY(s.box->verticalScrollBar()->maximum() > 0);
  QCOMPARE(s.box->horizontalScrollBar()->maximum(), 0);
  QCOMPARE(s.box->toPlainText(), lines.join('\n'));
}

void TestTextNotice::okCloses() {
  Shown s("Bye");
  auto* ok = s.notice->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
  QVERIFY(ok);
  QTest::mouseClick(ok, Qt::LeftButton);
  QTRY_VERIFY(!s.notice);  // closed and deleted
}

QTEST_MAIN(TestTextNotice)
#include "test_textnotice.moc"
