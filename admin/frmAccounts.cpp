#include "admin/frmAccounts.h"

#include "admin/AdminText.h"
#include "admin/FormBuilder.h"
#include "admin/frmAccount.h"
#include "core/Operations.h"
#include "storage/Database.h"
#include "ui/Prompts.h"

#include <QListWidget>
#include <QPushButton>

using admin::FromWidget;
using admin::ToWidget;

namespace {
const QString kVanishedNotice = QStringLiteral(
    "This account no longer exists. The accounts list has been refreshed.");
}  // namespace

frmAccounts::frmAccounts(Database& db, Registry& registry, Prompts& prompts, QWidget* parent)
    : QDialog(parent), db_(db), registry_(registry), prompts_(prompts) {
  using namespace admin;
  setObjectName(QStringLiteral("frmAccounts"));
  setWindowTitle(QStringLiteral("Accounts List"));

  lstAccounts = NewList("lstAccounts", this);
  btnEdit = NewButton("btnEdit", QStringLiteral("Edit"), this, &frmAccounts::OnEdit);
  QFont bold = btnEdit->font();
  bold.setBold(true);
  btnEdit->setFont(bold);
  btnEdit->setDefault(true);  // Enter on a selected line edits it
  btnDelete = NewButton("btnDelete", QStringLiteral("Delete"), this, &frmAccounts::OnDelete);
  btnNew = NewButton("btnNew", QStringLiteral("Add New"), this, &frmAccounts::OnNew);
  btnOk = NewButton("btnOk", QStringLiteral("Close"), this, &QDialog::accept);
  ListLayout(this, lstAccounts, {btnEdit, btnDelete, btnNew, btnOk});
  resize(320, 240);
  TabOrder({lstAccounts, btnDelete, btnOk, btnNew, btnEdit});

  connect(lstAccounts, &QListWidget::itemSelectionChanged, this, &frmAccounts::OnSelectionChanged);
  connect(lstAccounts, &QListWidget::itemDoubleClicked, this, &frmAccounts::OnDoubleClick);

  ListAccounts();
}

void frmAccounts::Notice(const QString& text) { prompts_.Notice(this, text, kAppTitle); }

void frmAccounts::SetLineButtons(bool enabled) {
  btnEdit->setEnabled(enabled);
  btnDelete->setEnabled(enabled);
}

void frmAccounts::ListAccounts() {
  lstAccounts->clear();
  try {
    for (const std::string& user : db_.accounts().Users()) lstAccounts->addItem(ToWidget(user));
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The accounts could not be read: %1").arg(admin::EngineText(e)));
  }
  SetLineButtons(false);
}

// Only a selection enables the two buttons; losing it does not disable them
// (the handlers then find no line and do nothing).
void frmAccounts::OnSelectionChanged() {
  if (!lstAccounts->selectedItems().isEmpty()) SetLineButtons(true);
}

void frmAccounts::OnDoubleClick() {
  if (btnEdit->isEnabled()) OnEdit();
}

QListWidgetItem* frmAccounts::SelectedLine() const {
  const auto selected = lstAccounts->selectedItems();
  return selected.isEmpty() ? nullptr : selected.front();
}

void frmAccounts::OpenEditor(std::optional<AccountRecord> account) {
  auto* editor = new frmAccount(db_, prompts_, std::move(account), this);
  editor->setAttribute(Qt::WA_DeleteOnClose);
  connect(editor, &QDialog::finished, this, &frmAccounts::ListAccounts);
  editor->open();
}

void frmAccounts::OnEdit() {
  const QListWidgetItem* line = SelectedLine();
  if (!line) return;
  std::optional<AccountRecord> account;
  try {
    account = db_.accounts().Seek(FromWidget(line->text()));
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The account could not be read: %1").arg(admin::EngineText(e)));
    return;
  }
  // The line can outlive its account (deleted through the remote control).
  if (!account) {
    ListAccounts();
    Notice(kVanishedNotice);
    return;
  }
  OpenEditor(std::move(account));
}

void frmAccounts::OnNew() { OpenEditor(std::nullopt); }

void frmAccounts::OnDelete() {
  QListWidgetItem* line = SelectedLine();
  if (!line) return;
  bool deleted = false;
  try {
    deleted = ops::DeleteAccount(db_, registry_, FromWidget(line->text()),
                                 ops::OnlineServers::Disconnect) == ops::Refusal::None;
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The account could not be deleted: %1").arg(admin::EngineText(e)));
    return;
  }
  if (!deleted) {
    ListAccounts();
    Notice(kVanishedNotice);
    return;
  }
  // Only the deleted line goes; the others keep their places.
  delete lstAccounts->takeItem(lstAccounts->row(line));
  lstAccounts->clearSelection();
  SetLineButtons(false);
}
