#pragma once
// A notice for a text to be read whole, however long (a server's
// description): the text in a read-only box that wraps it, between words
// where it can and anywhere where it must, and scrolls when it is taller
// than the screen allows, above a single OK button. The window fits its
// text, and is never so narrow that its title has to be cut.
#include <QString>

class QDialog;
class QWidget;

// The notice, built but not shown; it deletes itself when closed.
QDialog* NewTextNotice(QWidget* parent, const QString& text, const QString& title);
// Shows it and waits until the operator closes it.
void ShowTextNotice(QWidget* parent, const QString& text, const QString& title);
