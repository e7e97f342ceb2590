#include "app/TrayIcon.h"

#include "console/frmMain.h"
#include "core/ConsoleState.h"
#include "storage/Cp1252.h"

#include <QSystemTrayIcon>

TrayIcon::TrayIcon(frmMain& window, ConsoleState& state, QObject* parent)
    : QObject(parent), window_(window), state_(state) {
  trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  icon_ = new QSystemTrayIcon(window.windowIcon(), this);
  icon_->setContextMenu(window.FileMenu());
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // A single click or a move over the icon does nothing; the right button
    // opens the context menu by itself.
    if (reason == QSystemTrayIcon::DoubleClick) window_.RestoreFromTray();
  });
  connect(&state_, &ConsoleState::trayTipChanged, this,
          [this] { TraySetTip(cp1252::ToUnicode(state_.TrayTip())); });
}

TrayIcon::~TrayIcon() { icon_->setContextMenu(nullptr); }

void TrayIcon::TrayAdd() {
  if (!trayAvailable()) {
    // The tray went away (or never was): add the icon anew once it is back.
    if (added_) icon_->hide();
    added_ = false;
    return;
  }
  if (added_) return;
  // The tip tells the connections of now, also when the icon comes late.
  icon_->setToolTip(cp1252::ToUnicode(state_.TrayTip()));
  icon_->show();
  added_ = true;
}

void TrayIcon::TraySetTip(const QString& tip) { icon_->setToolTip(tip); }

void TrayIcon::TrayRemove() {
  icon_->hide();
  added_ = false;
}
