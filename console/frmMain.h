#pragma once
// The main window, the operator's console. One area shows either the event
// view (the event log and an input line) or the server view (the servers
// online and the details of the selected one).
//
// The window mirrors ConsoleState, which the core keeps whether or not a
// window is shown, and writes the operator's choices back to it: the
// selected server line and the "Allow New Accounts" check mark. The event
// log is fed in through AppendLogLine and RemoveFirstLogLine.
//
// Menu items that lead to other windows or end the registry are signals;
// the application connects them. The commands on game servers (disconnect,
// add a god, messages, the information window) are in
// frmMainServerCommands.cpp.
#include "console/ElidingLabel.h"
#include "console/Twips.h"
#include "console/frmInfo.h"
#include "console/frmMessage.h"
#include "storage/SharedList.h"

#include "core/ClientRecord.h"
#include "core/Operations.h"

#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <string>

class ConsoleState;
class Prompts;
class Registry;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;

// The server list: a list box that reports every mouse press after it has
// moved the selection, and a double-click anywhere on it.
class ServerListBox : public QListWidget {
  Q_OBJECT
 public:
  using QListWidget::QListWidget;

 signals:
  void mouseDown(Qt::MouseButton button, const QPoint& globalPos);
  void listDoubleClicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class frmMain : public QMainWindow {
  Q_OBJECT
 public:
  frmMain(ConsoleState& state, Registry& registry, Prompts& prompts, QWidget* parent = nullptr);
  // The information window and the message dialog have no parent (they
  // open beside this window, not above it): they go with it.
  ~frmMain() override;

  void ShowEventView();
  void ShowServerView();

  // The operator's commands on the selected server.
  void DisconnectSelected();
  void AddGod();
  void SendMessageToSelected();
  void ViewInformation();
  // Opens the message dialog for all servers, or brings an open one forward.
  void OpenServerMessage();

  // The close handling: hides the window and asks whether to stop; a yes
  // emits stopRequested. Run by the close box and by "Exit".
  void QueryUnload();
  // Closes the window and the windows it opened without asking (the stop).
  void Unload();
  // Brings the window back from the tray: normal state, shown, focused.
  void RestoreFromTray();

  // The other registries' servers the list shows below this registry's,
  // one line each as "USER (on B)" (empty without sharing).
  const std::vector<SharedServer>& OtherServersShown() const { return others_; }

  frmMessage* MessageDialog() const { return message_; }
  frmInfo* InfoWindow() const { return info_; }
  QMenu* FileMenu() const { return mnuFile; }
  // The scale of the twip layout to the window's face, and the gap between
  // each caption of the information frame and its value, in pixels.
  const TwipScale& Layout() const { return layout_; }
  int CaptionGap() const { return captionGap_; }

  // The controls, named for what they show; their object names (Label1,
  // Frame1, lblID, ...) are the layout's and stay as the layout has them.
  // Server view.
  QLabel* serversCaption = nullptr;
  ServerListBox* lstServers = nullptr;
  QLabel* lblStatus = nullptr;
  QGroupBox* infoFrame = nullptr;
  QLabel* idCaption = nullptr;
  ElidingLabel* lblID = nullptr;
  QLabel* nameCaption = nullptr;
  ElidingLabel* lblName = nullptr;
  QLabel* ipCaption = nullptr;
  ElidingLabel* lblIP = nullptr;
  QLabel* countCaption = nullptr;
  ElidingLabel* lblCount = nullptr;
  QLabel* officialCaption = nullptr;
  ElidingLabel* lblOfficial = nullptr;
  QLabel* lblDesc = nullptr;
  // Event view.
  QListWidget* lstOutput = nullptr;
  QLineEdit* txtInput = nullptr;

  QMenu* mnuFile = nullptr;
  QMenu* mnuAccounts = nullptr;
  QMenu* mnuServer = nullptr;  // not on the menu bar: the list's context menu
  QMenu* mnuBans = nullptr;
  QMenu* mnuViews = nullptr;

 public slots:
  // Appends event-log lines, keeps the newest 50 and selects the last: one
  // update of the list for all the lines of a pass of the event loop.
  void AppendLogLines(const QStringList& lines);
  void AppendLogLine(const QString& line) { AppendLogLines({line}); }
  void RemoveFirstLogLine();

 signals:
  // The operator confirmed closing the registry.
  void stopRequested();
  void optionsRequested();
  void accountsRequested();
  void banListRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void BuildControls();
  void BuildInformationFrame();
  void BuildMenus();
  void MirrorState();

  void OnServerSelectionChanged();
  void OnServerListMouseDown(Qt::MouseButton button, const QPoint& globalPos);
  void OnServerListDoubleClicked();
  void OnDescriptionClicked();
  void ShowSelectedServerInfo();
  void SyncSelection();
  std::string SelectedLine() const;

  // The other registries' servers (OtherServerRows.cpp): the rows after
  // this registry's, brought up to date whenever the registry's lists
  // change; one of them may be the selected row, which the console state
  // (this registry's lines only) then knows nothing of.
  void ShowOtherServers();
  int FirstOtherRow() const { return lstServers->count() - int(others_.size()); }
  void SelectOtherServer(int row);
  const SharedServer* SelectedElsewhere() const;
  // The user of the selected row, here or elsewhere; empty for none.
  std::string SelectedUser() const;
  // A notice of the refusal when it is OnOtherRegistry; true then.
  bool SaidElsewhere(ops::Refusal refusal, const SharedServer& where);

  ConsoleState& state_;
  Registry& registry_;
  Prompts& prompts_;
  QPointer<frmMessage> message_;
  QPointer<frmInfo> info_;
  TwipScale layout_;
  int captionGap_ = 0;
  std::vector<SharedServer> others_;  // as the rows after this registry's show them
  std::string selectedOther_;         // the user of the selected one of them, if any
  bool syncing_ = false;  // the list is being changed to follow the state
  bool unloading_ = false;
  bool asking_ = false;
};

// The details written to temp.txt for a server, lines ended by CR LF.
std::string ServerDetailsText(const struct ClientRecord& client);
// The lines of the information window for a server; `listedIP` is the
// address players on the internet are given for it (a line of its own where
// it is not the server's own).
QStringList ServerInfoLines(const struct ClientRecord& client, const std::string& listedIP);
// The same for a server at another registry, with the registry's name.
QStringList ServerInfoLines(const SharedServer& server);
// A server at another registry as the details above read it.
ClientRecord AsRecord(const SharedServer& server);
// Its line in the server list: "USER (on B)".
std::string OtherServerLine(const SharedServer& server);
