#pragma once
// Small helpers for driving the administration windows the way an operator
// does: find a control by its object name, type into it, pick a list line.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <sqlite3.h>
#include <string>

template <class T>
T* Child(QObject* window, const char* name) {
  T* child = window->findChild<T*>(QLatin1String(name));
  if (!child) qFatal("no control %s in %s", name, qPrintable(window->objectName()));
  return child;
}

// Types text into a box that the operator has emptied first.
// Keys for ASCII; other characters go in as an input method would put them.
inline void Type(QLineEdit* box, const QString& text) {
  box->selectAll();
  box->del();
  for (const QChar c : text) {
    if (c.unicode() < 128)
      QTest::keyClick(box, char(c.unicode()));
    else
      box->insert(QString(c));
  }
}

inline void Type(QPlainTextEdit* box, const QString& text) {
  box->selectAll();
  box->textCursor().removeSelectedText();
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (i > 0) QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClicks(box, lines[i]);
  }
}

inline void Click(QObject* window, const char* button) { Child<QAbstractButton>(window, button)->click(); }

inline QStringList Lines(QListWidget* list) {
  QStringList lines;
  for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
  return lines;
}

// Clicks the line with this text, as the operator would.
inline void Pick(QListWidget* list, const QString& text) {
  const auto items = list->findItems(text, Qt::MatchExactly);
  if (items.isEmpty()) qFatal("no line %s", qPrintable(text));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(items.front()).center());
}

// A real double-click: press and release, then the double-click and its
// release (QTest::mouseDClick alone sends only the middle event).
inline void DoubleClick(QListWidget* list, const QString& text) {
  const auto items = list->findItems(text, Qt::MatchExactly);
  if (items.isEmpty()) qFatal("no line %s", qPrintable(text));
  const QPoint at = list->visualItemRect(items.front()).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
}

// The offscreen platform warns at every raise() and size hint of a window;
// those lines say nothing about the windows under test.
inline void QuietOffscreenWarnings() {
  static const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.startsWith(QLatin1String("This plugin does not support"))) return;
        previous(type, context, message);
      });
}

// Windows closed with WA_DeleteOnClose go at the next turn of the event loop.
inline void Flush() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

// The names of the given controls in the order Tab visits them from the
// first, skipping every other widget.
inline QStringList TabOrder(QWidget* first, const QStringList& names) {
  QStringList order;
  QWidget* w = first;
  do {
    if (names.contains(w->objectName()) && !order.contains(w->objectName())) order << w->objectName();
    w = w->nextInFocusChain();
  } while (w && w != first && order.size() < names.size());
  return order;
}

// Makes the store refuse every new row of a table from now on, the way a
// full disk or a constraint would: a second connection adds a trigger.
inline void RefuseInserts(const QString& databaseFile, const char* table) {
  sqlite3* db = nullptr;
  sqlite3_open(databaseFile.toUtf8().constData(), &db);
  const std::string sql = std::string("CREATE TRIGGER refuse_") + table + " BEFORE INSERT ON " + table +
                          " BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END;";
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) qFatal("trigger: %s", error);
  sqlite3_close(db);
}
