// The operator's commands on game servers, from the server list's context
// menu and the File menu: disconnect, add a god, and messages through the
// message dialog. Each looks its server up by the selected line's user name.
#include "console/Placement.h"
#include "console/frmInfo.h"
#include "console/frmMain.h"
#include "console/frmMessage.h"
#include "core/ConsoleState.h"
#include "core/Operations.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "ui/Prompts.h"

#include <QScreen>

namespace {

// Opens a window of the console beside the main window (see PlaceBeside).
// The window has no parent, so it does not stay above the main window: the
// operator brings either to the front by clicking it.
void PlaceBesideMain(QWidget* window, const frmMain* main) {
  const QRect screen = main->screen()->availableGeometry();
  // Not yet shown, the window has no frame of its own: the main window's
  // border and title bar stand in for it.
  const QSize border = main->frameGeometry().size() - main->geometry().size();
  const QRect list(main->lstServers->mapToGlobal(QPoint(0, 0)), main->lstServers->size());
  window->move(PlaceBeside(screen, main->frameGeometry(), list, window->size() + border));
}

}  // namespace

// A server at another registry is that registry's to act on: the operator
// is told which, before anything is asked.
void frmMain::DisconnectSelected() {
  SharedServer where;
  SaidElsewhere(ops::DisconnectUser(registry_, SelectedUser(), &where), where);
}

void frmMain::AddGod() {
  const std::string addressee = SelectedUser();
  if (const SharedServer* other = SelectedElsewhere()) {
    SaidElsewhere(ops::Refusal::OnOtherRegistry, *other);
    return;
  }
  const QString name = prompts_.AskText(this, "Enter User Name:", "Add God");
  // Servers come and go while the input box is open: the rulebook looks the
  // addressee up only now. An empty name or a server gone sends nothing.
  SharedServer where;
  SaidElsewhere(ops::AddGod(registry_, addressee, cp1252::FromUnicode(name), &where), where);
}

void frmMain::SendMessageToSelected() {
  if (const SharedServer* other = SelectedElsewhere()) {
    SaidElsewhere(ops::Refusal::OnOtherRegistry, *other);
    return;
  }
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
  PlaceBesideMain(message_, this);
  message_->Load();
}

void frmMain::ViewInformation() {
  const SharedServer* other = SelectedElsewhere();
  const int slot = other ? 0 : registry_.FindClientByUser(SelectedLine());
  if (slot == 0 && !other) return;
  if (!info_) {
    info_ = new frmInfo();
    PlaceBesideMain(info_, this);
  }
  info_->SetLines(other ? ServerInfoLines(*other)
                        : ServerInfoLines(registry_.Client(slot), registry_.ListedAddress(slot)));
  info_->show();
  info_->raise();
  info_->activateWindow();
}
