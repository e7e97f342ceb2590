#include "admin/AdminWindows.h"

#include "admin/frmAccounts.h"
#include "admin/frmBan.h"
#include "admin/frmBans.h"

AdminWindows::AdminWindows(Database& db, Registry& registry, Prompts& prompts, Calendar& calendar,
                           QObject* parent)
    : QObject(parent), db_(db), registry_(registry), prompts_(prompts), calendar_(calendar) {}

AdminWindows::~AdminWindows() {
  // The ban windows have no parent to take them along.
  delete banEditor_.data();
  delete banList_.data();
  delete accounts_.data();
}

frmAccounts* AdminWindows::Accounts() const { return accounts_; }
frmBans* AdminWindows::BanList() const { return banList_; }
frmBan* AdminWindows::BanEditor() const { return banEditor_; }

frmAccounts* AdminWindows::OpenAccounts(QWidget* parent) {
  if (accounts_) {
    accounts_->raise();
    accounts_->activateWindow();
    return accounts_;
  }
  auto* window = new frmAccounts(db_, registry_, prompts_, parent);
  window->setAttribute(Qt::WA_DeleteOnClose);
  accounts_ = window;
  // Window-modal, without a nested event loop: the main window is blocked,
  // the sockets and timers are not.
  window->open();
  return window;
}

frmBans* AdminWindows::LoadBanList() {
  if (!banList_) {
    banList_ = new frmBans(*this, db_, prompts_);
    banList_->setAttribute(Qt::WA_DeleteOnClose);
  }
  return banList_;
}

frmBans* AdminWindows::OpenBanList() {
  LoadBanList();
  ShowBanList();
  return banList_;
}

void AdminWindows::RefreshBanList() {
  // A list just loaded was filled as it loaded; refilling it once more is
  // harmless and keeps one path.
  LoadBanList()->RefreshBanList();
}

void AdminWindows::ShowBanList() {
  frmBans* list = LoadBanList();
  list->setWindowState(list->windowState() & ~Qt::WindowMinimized);
  list->show();
  list->raise();
  list->activateWindow();
}

void AdminWindows::CloseBanEditor() {
  if (banEditor_) banEditor_->close();
  banEditor_ = nullptr;
}

frmBan* AdminWindows::NewBanEditor() {
  CloseBanEditor();
  banEditor_ = new frmBan(*this, db_, prompts_, calendar_);
  banEditor_->setAttribute(Qt::WA_DeleteOnClose);
  return banEditor_;
}

frmBan* AdminWindows::OpenBanEditor() {
  frmBan* editor = NewBanEditor();
  editor->show();
  return editor;
}

frmBan* AdminWindows::OpenBanEditor(const BanRecord& ban) {
  frmBan* editor = NewBanEditor();
  editor->EditBan(ban);
  editor->show();
  return editor;
}

void AdminWindows::CloseAll() {
  CloseBanEditor();
  if (banList_) banList_->close();
  if (accounts_) accounts_->close();
}
