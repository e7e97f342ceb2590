#pragma once
// The options dialog: service mode and new accounts at start. It is the only
// writer of server.ini. Service mode takes effect at the next start: OK
// installs or uninstalls the service and stores the setting, nothing more.
#include <QDialog>

class Prompts;
class QCheckBox;
class QPushButton;
class ServiceHost;
class SettingsFile;
struct Settings;

class frmOptions : public QDialog {
  Q_OBJECT
 public:
  frmOptions(Settings& settings, const SettingsFile& file, ServiceHost& host, Prompts& prompts,
             QWidget* parent = nullptr);

  QCheckBox* chkService = nullptr;
  QCheckBox* chkAutoAllow = nullptr;
  QPushButton* cmdOK = nullptr;
  QPushButton* cmdCancel = nullptr;

 private:
  void OnOK();
  void SetService(bool on);

  Settings& settings_;
  const SettingsFile& file_;
  ServiceHost& host_;
  Prompts& prompts_;
};
