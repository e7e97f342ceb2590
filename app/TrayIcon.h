#pragma once
// The registry's icon in the notification area. A double-click brings the
// main window back; its context menu is the main window's File menu. Where
// no notification area is (no desktop, or a desktop without a tray) adding
// fails quietly, and the general timer tries again on every tick.
#include <QObject>
#include <QString>
#include <functional>

class ConsoleState;
class QSystemTrayIcon;
class frmMain;

class TrayIcon : public QObject {
  Q_OBJECT
 public:
  TrayIcon(frmMain& window, ConsoleState& state, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Adds the icon unless it is there already.
  void TrayAdd();
  void TraySetTip(const QString& tip);
  void TrayRemove();

  bool IsAdded() const { return added_; }
  QSystemTrayIcon* icon() const { return icon_; }
  // Whether the desktop has a notification area now; tests decide it.
  std::function<bool()> trayAvailable;

 private:
  frmMain& window_;
  ConsoleState& state_;
  QSystemTrayIcon* icon_ = nullptr;
  bool added_ = false;
};
