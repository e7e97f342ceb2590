#pragma once
// The message dialog: a text for one game server or for all servers online.
// Not modal, and at most one at a time (the main window keeps it). Its list of
// addressees is a copy of the server list taken when it loads, refreshed only
// by "Refresh" and by a send to a server that has gone.
#include "console/Twips.h"

#include <QDialog>
#include <string>

class ConsoleState;
class Prompts;
class Registry;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class frmMessage : public QDialog {
  Q_OBJECT
 public:
  static inline const QString kAllServers = QStringLiteral("<All Online Servers>");

  frmMessage(ConsoleState& state, Registry& registry, Prompts& prompts, QWidget* parent = nullptr);

  // Fills the list, shows the dialog and puts the focus into the message.
  void Load();
  // Refills the addressees from the server list, keeping the chosen server
  // when it is still there and falling back to all servers otherwise.
  void RefreshServerList();
  // Makes user the chosen addressee, refreshing the list first when it is
  // not among the entries.
  void ChooseServer(const QString& user);

  // The scale of the dialog's twip layout to its face.
  const TwipScale& Layout() const { return layout_; }

  QLabel* sendToCaption = nullptr;  // object name Label1, as the layout has it
  QComboBox* cmbServers = nullptr;
  QPushButton* cmdRefresh = nullptr;
  QPlainTextEdit* txtMessage = nullptr;
  QPushButton* cmdSend = nullptr;
  QPushButton* cmdCancel = nullptr;

 private:
  void OnSend();
  // The typed text as the game servers get it.
  std::string MessageText() const;

  ConsoleState& state_;
  Registry& registry_;
  Prompts& prompts_;
  TwipScale layout_;
};
