#pragma once
// The pieces the account and ban windows are built from: named controls, the
// editors' grid of captioned boxes above their buttons, the lists' column of
// buttons, and the tab order as one list. Every control gets its object name,
// so tests find it with findChild.
#include <QPushButton>
#include <QString>
#include <initializer_list>

class DatabaseError;
class LimitedTextEdit;
class QGridLayout;
class QLineEdit;
class QListWidget;
class QWidget;

namespace admin {

// A box's own limit (a one-line box's default): the box does not limit what
// is typed.
constexpr int kNoLimit = 32767;

QLineEdit* NewBox(const char* name, int maxLength, QWidget* parent);
// A box of several lines, three lines of `oneLine` high.
LimitedTextEdit* NewTextBox(const char* name, int maxLength, const QWidget* oneLine,
                            QWidget* parent);
// Enter presses it only if it is made the window's default button.
QPushButton* NewButton(const char* name, const QString& caption, QWidget* parent);
// The same, running window's member (or any callable) when clicked.
template <class Window, class Action>
QPushButton* NewButton(const char* name, const QString& caption, Window* window, Action action) {
  QPushButton* button = NewButton(name, caption, static_cast<QWidget*>(window));
  QObject::connect(button, &QPushButton::clicked, window, action);
  return button;
}
QListWidget* NewList(const char* name, QWidget* parent);

// One line of an editor: a caption, right-aligned before its box (at the
// top of a box of several lines), the box taking `span` grid columns.
struct CaptionedBox {
  const char* name;
  const char* caption;
  QWidget* box;
  int span = 1;
};
// The editor's layout: the captioned boxes one below the other, and under
// them the buttons at the right. Returns the grid, for what stands beside the
// boxes; its next free row is rowCount().
QGridLayout* EditorLayout(QWidget* window, std::initializer_list<CaptionedBox> rows,
                          std::initializer_list<QPushButton*> buttons);
// The list window's layout: the list at the left from `firstRow` down, the
// buttons one below the other at its right. Rows above firstRow are the
// caller's.
QGridLayout* ListLayout(QWidget* window, QWidget* list, std::initializer_list<QPushButton*> buttons,
                        int firstRow = 0);

// Tab moves from each widget to the next one listed.
void TabOrder(std::initializer_list<QWidget*> widgets);

// The engine's words for a refused database operation, for a notice.
QString EngineText(const DatabaseError& e);

}  // namespace admin
