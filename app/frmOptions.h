#pragma once
// The options dialog: service mode and new accounts at start. It is the only
// writer of server.ini. Service mode takes effect at the next start: OK
// installs or uninstalls the service and stores the setting, nothing more.
#include <QDialog>

class LogSink;
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

  // Where the failures of the service set-up are reported for the journal;
  // without it they are only shown.
  void SetReports(LogSink& sink) { reports_ = &sink; }

  QCheckBox* chkService = nullptr;
  QCheckBox* chkAutoAllow = nullptr;
  QPushButton* cmdOK = nullptr;
  QPushButton* cmdCancel = nullptr;

 private:
  void OnOK();
  // Writes the setting; false, after a notice, when server.ini could not
  // be written.
  bool Store(const char* key, bool on);
  bool SetService(bool on);
  void ReportFailure(const QString& what, const QString& error);

  Settings& settings_;
  const SettingsFile& file_;
  ServiceHost& host_;
  Prompts& prompts_;
  LogSink* reports_ = nullptr;
};
