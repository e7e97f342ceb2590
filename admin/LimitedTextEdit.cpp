#include "admin/LimitedTextEdit.h"

#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <utility>

LimitedTextEdit::LimitedTextEdit(int maxLength, QWidget* parent)
    : QPlainTextEdit(parent), maxLength_(maxLength) {
  // Tab moves to the next control, as in every other box of these windows.
  setTabChangesFocus(true);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // Every way text gets in (keys, paste, drag and drop, input methods) ends
  // in a change of the text with the cursor just after what was inserted, so
  // the limit is applied there, once the edit is complete: what grew the
  // text past the limit is taken back from before the cursor.
  connect(this, &QPlainTextEdit::textChanged, this, &LimitedTextEdit::TrimLastInsertion);
}

void LimitedTextEdit::SetText(const QString& text) {
  settingText_ = true;
  setPlainText(text);
  settingText_ = false;
  lastLength_ = Length();
  document()->setModified(false);
}

int LimitedTextEdit::Length() const { return document()->characterCount() - 1; }

QString LimitedTextEdit::Text() const {
  QString text = document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  text.replace(QChar::LineSeparator, QLatin1Char('\n'));
  return text;
}

void LimitedTextEdit::TrimLastInsertion() {
  if (settingText_) return;
  const int length = Length();
  const int grown = length - std::exchange(lastLength_, length);
  const int excess = length - maxLength_;
  if (grown <= 0 || excess <= 0) return;
  // Only what was just added is taken back, never text that was there
  // before, so a longer stored text stays as long as the operator leaves it.
  const int cut = std::min(excess, grown);
  QTextCursor cursor = textCursor();
  const int end = cursor.position();
  cursor.setPosition(std::max(0, end - cut));
  cursor.setPosition(end, QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  setTextCursor(cursor);
  lastLength_ = Length();
}
