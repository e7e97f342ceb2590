#pragma once
// The prompts as the operator sees them: message boxes and an input box.
#include "ui/Prompts.h"

class DesktopPrompts : public Prompts {
 public:
  void Notice(QWidget* parent, const QString& text, const QString& title) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& title) override;
  QString AskText(QWidget* parent, const QString& prompt, const QString& title) override;
};
