#pragma once
// Every message box, question and input box of the registry goes through
// this interface: the windows ask it, the desktop answers with real dialogs,
// and tests substitute scripted answers. Texts are the system's own; titles
// default to the application title "Tarnwick".
#include <QString>

class QWidget;

class Prompts {
 public:
  virtual ~Prompts() = default;
  // A notice with a single OK button.
  virtual void Notice(QWidget* parent, const QString& text, const QString& title) = 0;
  // A question with Yes and No; true for Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& title) = 0;
  // An input box with OK and Cancel, empty at start; Cancel gives empty text.
  virtual QString AskText(QWidget* parent, const QString& prompt, const QString& title) = 0;
  // A notice for a text to be read whole, however long, with a single OK
  // button: the text wraps and scrolls in a box that fits it (TextNotice.h).
  virtual void ShowText(QWidget* parent, const QString& text, const QString& title);
};

inline const QString kAppTitle = QStringLiteral("Tarnwick");
