#include "admin/frmAccount.h"

#include "admin/AdminText.h"
#include "admin/LimitedTextEdit.h"
#include "core/Prompts.h"
#include "core/Registry.h"
#include "core/Text.h"
#include "storage/Database.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using admin::FromWidget;
using admin::ToWidget;

namespace {

const QString kRuleNotice = QStringLiteral(
    "User name and password must be between 3 and 15 characters long, must start with a letter, "
    "and may only contain letters, numbers, and the underscore character.");
const QString kMismatchNotice = QStringLiteral("The two passwords entered do not match!");
const QString kExistsNotice = QStringLiteral("An account by that name already exists!");
const QString kVanishedNotice = QStringLiteral(
    "This account no longer exists, so nothing was saved. The accounts list will be refreshed.");

// Column widths of the Servers table; the boxes take no more than fits.
constexpr int kUserLength = 15;
constexpr int kNameLength = 50;
constexpr int kDescriptionTyping = 50;  // the column holds 255
constexpr int kUpdateURLLength = 255;

QLineEdit* NewBox(const char* name, int maxLength, QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(QLatin1String(name));
  box->setMaxLength(maxLength);
  return box;
}

void MakePasswordBox(QLineEdit* box) {
  box->setEchoMode(QLineEdit::Password);
  box->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // '*'
}

// What a one-line box stores: the stored text itself while the operator has
// not changed the box, so text a one-line box cannot show (a line break sent
// by a game server) is written back as it was.
std::string BoxValue(const QLineEdit* box, const std::optional<std::string>& stored) {
  if (stored && !box->isModified()) return *stored;
  return FromWidget(box->text());
}

}  // namespace

frmAccount::frmAccount(Database& db, Prompts& prompts, std::optional<AccountRecord> account,
                       QWidget* parent)
    : QDialog(parent), db_(db), prompts_(prompts), original_(std::move(account)) {
  setObjectName(QStringLiteral("frmAccount"));
  setWindowTitle(QStringLiteral("Add Server Account"));

  txtUser = NewBox("txtUser", kUserLength, this);
  txtPassword1 = NewBox("txtPassword1", kUserLength, this);
  txtPassword2 = NewBox("txtPassword2", kUserLength, this);
  MakePasswordBox(txtPassword1);
  MakePasswordBox(txtPassword2);
  txtName = NewBox("txtName", kNameLength, this);
  txtDescription = new LimitedTextEdit(kDescriptionTyping, this);
  txtDescription->setObjectName(QStringLiteral("txtDescription"));
  txtDescription->setFixedHeight(txtName->sizeHint().height() * 3);
  txtDescription->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtUpdateURL = NewBox("txtUpdateURL", kUpdateURLLength, this);
  chkOfficial = new QCheckBox(QStringLiteral("Official"), this);
  chkOfficial->setObjectName(QStringLiteral("chkOfficial"));
  btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));
  btnCancel->setAutoDefault(false);
  btnOk = new QPushButton(QStringLiteral("Ok"), this);
  btnOk->setObjectName(QStringLiteral("btnOk"));
  btnOk->setDefault(true);

  auto* grid = new QGridLayout;
  const struct {
    const char* name;
    const char* caption;
    QWidget* box;
  } rows[] = {
      {"lblUser", "User:", txtUser},
      {"lblPassword1", "Password:", txtPassword1},
      {"lblPassword2", "Password Again:", txtPassword2},
      {"lblName", "Name:", txtName},
      {"lblDescription", "Description:", txtDescription},
      {"lblUpdateURL", "Update URL:", txtUpdateURL},
  };
  int row = 0;
  for (const auto& r : rows) {
    auto* label = new QLabel(QLatin1String(r.caption), this);
    label->setObjectName(QLatin1String(r.name));
    label->setBuddy(r.box);
    grid->addWidget(label, row, 0, Qt::AlignRight | (r.box == txtDescription ? Qt::AlignTop : Qt::AlignVCenter));
    grid->addWidget(r.box, row, 1);
    ++row;
  }
  grid->addWidget(chkOfficial, row, 1);
  grid->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnOk);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  setMinimumWidth(380);

  QWidget::setTabOrder(txtUser, txtPassword1);
  QWidget::setTabOrder(txtPassword1, txtPassword2);
  QWidget::setTabOrder(txtPassword2, txtName);
  QWidget::setTabOrder(txtName, txtDescription);
  QWidget::setTabOrder(txtDescription, txtUpdateURL);
  QWidget::setTabOrder(txtUpdateURL, chkOfficial);
  QWidget::setTabOrder(chkOfficial, btnCancel);
  QWidget::setTabOrder(btnCancel, btnOk);

  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(btnOk, &QPushButton::clicked, this, &frmAccount::OnOk);

  if (!original_) {
    chkOfficial->setChecked(true);
    return;
  }
  const AccountRecord& a = *original_;
  txtUser->setText(ToWidget(a.User));
  txtPassword1->setText(ToWidget(a.Password));
  txtPassword2->setText(ToWidget(a.Password));
  txtName->setText(ToWidget(a.Name));
  txtDescription->SetText(ToWidget(a.Description));
  txtUpdateURL->setText(ToWidget(a.UpdateURL));
  // Every value but 0 counts as official elsewhere in the registry; a save
  // from here writes 0 or 1.
  chkOfficial->setChecked(a.Official.value_or(0) != 0);
  txtUser->setEnabled(false);
  QPalette grey = txtUser->palette();
  grey.setColor(QPalette::Disabled, QPalette::Base, grey.color(QPalette::Window));
  txtUser->setPalette(grey);
  txtPassword1->setFocus();
}

void frmAccount::Notice(const QString& text) { prompts_.Notice(this, text, kAccountEditorTitle); }

void frmAccount::OnOk() {
  const std::string user = FromWidget(txtUser->text());
  const std::string password = FromWidget(txtPassword1->text());
  // One notice covers both texts: the operator sees the rule once.
  if (!IsValidAccountText(user) || !IsValidAccountText(password)) {
    Notice(kRuleNotice);
    return;
  }
  if (!EqualsIgnoringCase(password, FromWidget(txtPassword2->text()))) {
    Notice(kMismatchNotice);
    return;
  }
  try {
    const bool exists = db_.accounts().Seek(user).has_value();
    if (!IsEditMode() && exists) {
      Notice(kExistsNotice);
      return;
    }
    AccountRecord record;
    record.User = user;
    record.Password = password;  // as typed in the first box
    const AccountRecord stored = original_.value_or(AccountRecord{});
    record.Name = BoxValue(txtName, stored.Name);
    record.Description = stored.Description && !txtDescription->IsModified()
                             ? *stored.Description
                             : FromWidget(txtDescription->Text());
    record.UpdateURL = BoxValue(txtUpdateURL, stored.UpdateURL);
    record.Official = chkOfficial->isChecked() ? 1 : 0;
    // An account deleted meanwhile (through the remote control) is not
    // created again behind the operator's back: the editor says so and the
    // accounts list refills when it closes.
    if (IsEditMode() && (!exists || !db_.accounts().Edit(record))) {
      Notice(kVanishedNotice);
      reject();
      return;
    }
    if (!IsEditMode()) db_.accounts().Add(record);
  } catch (const DatabaseError& e) {
    // What the store refused is not saved, and the operator keeps what was
    // typed to correct it or cancel.
    Notice(QStringLiteral("The account could not be saved: %1").arg(QString::fromUtf8(e.what())));
    return;
  }
  accept();
}
