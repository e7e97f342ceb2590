#include "admin/frmAccounts.h"

#include "admin/AdminText.h"
#include "admin/frmAccount.h"
#include "core/Prompts.h"
#include "core/Registry.h"
#include "core/Text.h"
#include "storage/Database.h"

#include <QGridLayout>
#include <QListWidget>
#include <QPushButton>

using admin::FromWidget;
using admin::ToWidget;

namespace {
const QString kVanishedNotice = QStringLiteral(
    "This account no longer exists. The accounts list has been refreshed.");

QPushButton* NewButton(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QPushButton(QLatin1String(caption), parent);
  button->setObjectName(QLatin1String(name));
  button->setAutoDefault(false);
  return button;
}
}  // namespace

frmAccounts::frmAccounts(Database& db, Registry& registry, Prompts& prompts, QWidget* parent)
    : QDialog(parent), db_(db), registry_(registry), prompts_(prompts) {
  setObjectName(QStringLiteral("frmAccounts"));
  setWindowTitle(QStringLiteral("Accounts List"));

  lstAccounts = new QListWidget(this);
  lstAccounts->setObjectName(QStringLiteral("lstAccounts"));
  lstAccounts->setSelectionMode(QAbstractItemView::SingleSelection);
  btnEdit = NewButton("btnEdit", "Edit", this);
  QFont bold = btnEdit->font();
  bold.setBold(true);
  btnEdit->setFont(bold);
  btnEdit->setDefault(true);  // Enter on a selected line edits it
  btnDelete = NewButton("btnDelete", "Delete", this);
  btnNew = NewButton("btnNew", "Add New", this);
  btnOk = NewButton("btnOk", "Close", this);

  auto* grid = new QGridLayout(this);
  grid->addWidget(lstAccounts, 0, 0, 5, 1);
  grid->addWidget(btnEdit, 0, 1);
  grid->addWidget(btnDelete, 1, 1);
  grid->addWidget(btnNew, 2, 1);
  grid->addWidget(btnOk, 3, 1);
  grid->setRowStretch(4, 1);
  grid->setColumnStretch(0, 1);
  resize(320, 240);

  QWidget::setTabOrder(lstAccounts, btnDelete);
  QWidget::setTabOrder(btnDelete, btnOk);
  QWidget::setTabOrder(btnOk, btnNew);
  QWidget::setTabOrder(btnNew, btnEdit);

  connect(lstAccounts, &QListWidget::itemSelectionChanged, this, &frmAccounts::OnSelectionChanged);
  connect(lstAccounts, &QListWidget::itemDoubleClicked, this, &frmAccounts::OnDoubleClick);
  connect(btnEdit, &QPushButton::clicked, this, &frmAccounts::OnEdit);
  connect(btnDelete, &QPushButton::clicked, this, &frmAccounts::OnDelete);
  connect(btnNew, &QPushButton::clicked, this, &frmAccounts::OnNew);
  connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);

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
    Notice(QStringLiteral("The accounts could not be read: %1").arg(QString::fromUtf8(e.what())));
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
    Notice(QStringLiteral("The account could not be read: %1").arg(QString::fromUtf8(e.what())));
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
  const std::string user = FromWidget(line->text());
  // The servers logged in with the account go first, so none of them can
  // keep using an account that no longer exists. A client that has not
  // logged in has no user name and never matches.
  for (int slot = 1; slot <= kRegularSlots; ++slot) {
    const ClientRecord& client = registry_.Client(slot);
    if (client.InUse && EqualsIgnoringCase(client.User, user)) registry_.DisconnectClient(slot);
  }
  bool deleted = false;
  try {
    deleted = db_.accounts().Delete(user);
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The account could not be deleted: %1").arg(QString::fromUtf8(e.what())));
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
