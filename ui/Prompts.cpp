#include "ui/Prompts.h"

#include "ui/TextNotice.h"

void Prompts::ShowText(QWidget* parent, const QString& text, const QString& title) {
  ShowTextNotice(parent, text, title);
}
