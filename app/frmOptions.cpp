#include "app/frmOptions.h"

#include "app/ServiceHost.h"
#include "storage/Settings.h"
#include "ui/Prompts.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <cstdio>

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

void frmOptions::SetService(bool on) {
  file_.WriteSetting("Service", on ? "True" : "False");
  settings_.Service = on;
}

void frmOptions::OnOK() {
  QPointer<frmOptions> self(this);
  QString error;
  if (chkService->isChecked() && !settings_.Service) SetService(true);
  if (!chkService->isChecked() && settings_.Service) {
    if (host_.Uninstall(&error)) {
      SetService(false);
    } else {
      std::fprintf(stderr, "Uninstalling the service failed: %s\n", qPrintable(error));
      prompts_.Notice(this, "There was an error uninstalling the registry as a service.", kAppTitle);
      if (!self) return;
    }
  }
  if (chkAutoAllow->isChecked() != settings_.AutoAllow) {
    settings_.AutoAllow = chkAutoAllow->isChecked();
    file_.WriteSetting("AutoAllow", settings_.AutoAllow ? "True" : "False");
  }
  if (settings_.Service && !host_.Install(&error)) {
    std::fprintf(stderr, "Installing the service failed: %s\n", qPrintable(error));
    prompts_.Notice(this, "There was an error installing the registry as a service.", kAppTitle);
    SetService(false);
    if (!self) return;
  }
  close();
}
