#include "app/frmOptions.h"

#include "app/ServiceHost.h"
#include "core/LogSink.h"
#include "storage/Cp1252.h"
#include "storage/Settings.h"
#include "ui/Prompts.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>

frmOptions::frmOptions(Settings& settings, const SettingsFile& file, ServiceHost& host,
                       Prompts& prompts, QWidget* parent)
    : QDialog(parent), settings_(settings), file_(file), host_(host), prompts_(prompts) {
  setObjectName("frmOptions");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Registry Options");

  chkService = new QCheckBox("Start Registry automatically as a service", this);
  chkService->setObjectName("chkService");
  chkAutoAllow = new QCheckBox("Automatically enable creation of new accounts", this);
  chkAutoAllow->setObjectName("chkAutoAllow");
  cmdOK = new QPushButton("OK", this);
  cmdOK->setObjectName("cmdOK");
  cmdOK->setDefault(true);
  cmdCancel = new QPushButton("Cancel", this);
  cmdCancel->setObjectName("cmdCancel");
  // Wide enough for the longer caption in the desktop's font.
  const int width =
      std::max({320, chkService->sizeHint().width() + 24, chkAutoAllow->sizeHint().width() + 24});
  chkService->setGeometry(12, 12, width - 24, 20);
  chkAutoAllow->setGeometry(12, 38, width - 24, 20);
  cmdOK->setGeometry(width - 180, 72, 81, 25);
  cmdCancel->setGeometry(width - 93, 72, 81, 25);
  setFixedSize(width, 109);

  chkService->setChecked(settings_.Service);
  chkAutoAllow->setChecked(settings_.AutoAllow);
  connect(cmdOK, &QPushButton::clicked, this, &frmOptions::OnOK);
  connect(cmdCancel, &QPushButton::clicked, this, &QDialog::close);
}

bool frmOptions::Store(const char* key, bool on) {
  std::string reason;
  if (file_.WriteSetting(key, on ? "True" : "False", &reason)) return true;
  if (reports_) reports_->Error("The options could not be saved: " + reason);
  prompts_.Notice(this, QStringLiteral("The options could not be saved: %1").arg(QString::fromStdString(reason)),
                  kAppTitle);
  return false;
}

bool frmOptions::SetService(bool on) {
  if (!Store("Service", on)) return false;
  settings_.Service = on;
  return true;
}

void frmOptions::ReportFailure(const QString& what, const QString& error) {
  if (reports_) reports_->Error(cp1252::FromUnicode(what + QStringLiteral(" failed: ") + error));
}

// A setting that cannot be written stops here with its notice, and the
// dialog stays open: closing it would look like a save that worked.
void frmOptions::OnOK() {
  QPointer<frmOptions> self(this);
  QString error;
  if (chkService->isChecked() && !settings_.Service && !SetService(true)) return;
  if (!chkService->isChecked() && settings_.Service) {
    if (host_.Uninstall(&error)) {
      if (!SetService(false)) return;
    } else {
      ReportFailure(QStringLiteral("Uninstalling the service"), error);
      prompts_.Notice(this, "There was an error uninstalling the registry as a service.", kAppTitle);
      if (!self) return;
    }
  }
  if (chkAutoAllow->isChecked() != settings_.AutoAllow) {
    if (!Store("AutoAllow", chkAutoAllow->isChecked())) return;
    settings_.AutoAllow = chkAutoAllow->isChecked();
  }
  if (settings_.Service && !host_.Install(&error)) {
    ReportFailure(QStringLiteral("Installing the service"), error);
    prompts_.Notice(this, "There was an error installing the registry as a service.", kAppTitle);
    if (!self || !SetService(false)) return;
  }
  close();
}
