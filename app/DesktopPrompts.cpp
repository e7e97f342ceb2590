#include "app/DesktopPrompts.h"

#include <QInputDialog>
#include <QMessageBox>

void DesktopPrompts::Notice(QWidget* parent, const QString& text, const QString& title) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
  box.exec();
}

bool DesktopPrompts::AskYesNo(QWidget* parent, const QString& text, const QString& title) {
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
  return box.exec() == QMessageBox::Yes;
}

QString DesktopPrompts::AskText(QWidget* parent, const QString& prompt, const QString& title) {
  bool ok = false;
  const QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, QString(), &ok);
  return ok ? text : QString();
}
