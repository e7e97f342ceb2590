// The operator's commands on game servers, from the server list's context
// menu and the File menu: disconnect, add a god, and messages through the
// message dialog. Each looks its server up by the selected line's user name.
#include "console/frmInfo.h"
#include "console/frmMain.h"
#include "console/frmMessage.h"
#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"

#include <QScreen>
#include <algorithm>
#include "ui/Prompts.h"

namespace {

// Opens a window of the console beside the main window, to its right, or
// below it when the screen has no room there, and always on the screen. The
// window has no parent, so it does not stay above the main window: the
// operator brings either to the front by clicking it.
void PlaceBeside(QWidget* window, const QWidget* main) {
  const QRect screen = main->screen()->availableGeometry();
  const QRect frame = main->frameGeometry();
  // Not yet shown, the window has no frame of its own: the main window's
  // border and title bar stand in for it.
  const QSize border = frame.size() - main->geometry().size();
  const QSize size = window->size() + border;
  const int gap = 8;
  QPoint at(frame.right() + 1 + gap, frame.top());
  if (!screen.contains(QRect(at, size))) at = QPoint(frame.left(), frame.bottom() + 1 + gap);
  const QPoint last(std::max(screen.left(), screen.right() + 1 - size.width()),
                    std::max(screen.top(), screen.bottom() + 1 - size.height()));
  at.setX(std::clamp(at.x(), screen.left(), last.x()));
  at.setY(std::clamp(at.y(), screen.top(), last.y()));
  window->move(at);
}

}  // namespace

void frmMain::DisconnectSelected() {
  if (const int slot = registry_.FindClientByUser(SelectedLine())) registry_.DisconnectClient(slot);
}

void frmMain::AddGod() {
  const std::string addressee = SelectedLine();
  const QString name = prompts_.AskText(this, "Enter User Name:", "Add God");
  if (name.isEmpty()) return;
  // Servers come and go while the input box is open: look it up again.
  const int slot = registry_.FindClientByUser(addressee);
  if (slot == 0) return;
  registry_.SendPacket(slot, std::string(1, char(packet::AddGod)) + cp1252::FromUnicode(name));
}

void frmMain::SendMessageToSelected() {
  const std::string user = SelectedLine();
  if (user.empty()) return;
  OpenServerMessage();
  message_->ChooseServer(cp1252::ToUnicode(user));
}

void frmMain::OpenServerMessage() {
  if (message_) {
    message_->show();
    message_->raise();
    message_->activateWindow();
    return;
  }
  message_ = new frmMessage(state_, registry_, prompts_);
  PlaceBeside(message_, this);
  message_->Load();
}

void frmMain::ViewInformation() {
  const int slot = registry_.FindClientByUser(SelectedLine());
  if (slot == 0) return;
  if (!info_) {
    info_ = new frmInfo();
    PlaceBeside(info_, this);
  }
  info_->SetLines(ServerInfoLines(registry_.Client(slot), registry_.ListedAddress(slot)));
  info_->show();
  info_->raise();
  info_->activateWindow();
}
