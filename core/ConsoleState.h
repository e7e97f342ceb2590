#pragma once
// What the registry shows the operator, kept as state that the main window
// and the tray icon observe: the window caption, the tray tip, the access
// rate label, the "Allow New Accounts" check mark, the server list with its
// selected line, and the selected server's information labels. The core
// writes it; a window, when there is one, mirrors it and writes back the
// operator's selection and check mark.
#include <QObject>
#include <string>
#include <vector>

struct ServerInfoLabels {
  std::string ID;
  std::string Name;
  std::string IP;
  std::string Count;
  std::string Official = "No";
};

class ConsoleState : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

  const std::string& Caption() const { return caption_; }
  const std::string& TrayTip() const { return trayTip_; }
  const std::string& Status() const { return status_; }
  bool AllowNewAccounts() const { return allowNewAccounts_; }
  const std::vector<std::string>& ServerLines() const { return serverLines_; }
  int SelectedServer() const { return selected_; }  // -1: none
  // The selected line's text, empty when no line is selected.
  std::string SelectedServerText() const;
  const ServerInfoLabels& Info() const { return info_; }

  void SetCaption(const std::string& text);
  void SetTrayTip(const std::string& text);
  void SetStatus(const std::string& text);
  void SetAllowNewAccounts(bool on);
  void AppendServer(const std::string& user);
  // Removes the first line, from the top, whose text equals user exactly.
  void RemoveServer(const std::string& user);
  void SelectServer(int index);
  void SetInfo(const ServerInfoLabels& labels);

 signals:
  void captionChanged();
  void trayTipChanged();
  void statusChanged();
  void allowNewAccountsChanged();
  void serverAppended(int index);
  void serverRemoved(int index);
  void selectionChanged();
  void infoChanged();

 private:
  std::string caption_ = "Velkarin Server Registry";
  std::string trayTip_ = "Kestrune [0]";
  std::string status_ = "Accesses/Hour = 0";
  bool allowNewAccounts_ = false;
  std::vector<std::string> serverLines_;
  int selected_ = -1;
  ServerInfoLabels info_;
};
