#pragma once
// A several-line text box whose typing stops at a number of characters, as
// the one-line boxes do with their maximum length. Only what the operator
// types or pastes is limited: a longer text put in by the program (a stored
// description from before the limit) is shown whole, and can be shortened.
#include <QPlainTextEdit>

class LimitedTextEdit : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit LimitedTextEdit(int maxLength, QWidget* parent = nullptr);

  int maxLength() const { return maxLength_; }
  // Puts in text without the limit and marks the box as not modified.
  void SetText(const QString& text);
  // The text as the operator sees it, one "\n" per line break. Unlike
  // toPlainText() it keeps non-breaking spaces, a character of code page 1252.
  QString Text() const;
  // True once the operator has changed the text since the last SetText.
  bool IsModified() const { return document()->isModified(); }

 private:
  void TrimLastInsertion();

  int Length() const;

  int maxLength_;
  bool settingText_ = false;
  int lastLength_ = 0;
};
