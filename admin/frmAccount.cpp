#include "admin/frmAccount.h"

#include "admin/AdminText.h"
#include "admin/FormBuilder.h"
#include "admin/LimitedTextEdit.h"
#include "core/Operations.h"
#include "storage/Database.h"
#include "storage/Schema.h"
#include "ui/Prompts.h"

#include <QCheckBox>
#include <QGridLayout>
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

// What the boxes let the operator type, the window's own rule: the fields'
// sizes, but for the description, which the column holds more of than one
// may type. A text that gets in longer than its field (a long stored
// description kept whole) is refused when saved, and the notice names the
// field.
constexpr int kUserLength = schema::kUserSize;
constexpr int kPasswordLength = schema::kPasswordSize;
constexpr int kNameLength = schema::kServerNameSize;
constexpr int kDescriptionTyping = 50;  // the column holds kDescriptionSize
constexpr int kUpdateURLLength = schema::kUpdateURLSize;

QLineEdit* NewPasswordBox(const char* name, QWidget* parent) {
  QLineEdit* box = admin::NewBox(name, kPasswordLength, parent);
  box->setEchoMode(QLineEdit::Password);
  box->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // '*'
  return box;
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
  BuildControls();
  if (original_)
    ShowAccount(*original_);
  else
    chkOfficial->setChecked(true);
}

void frmAccount::BuildControls() {
  using namespace admin;
  txtUser = NewBox("txtUser", kUserLength, this);
  txtPassword1 = NewPasswordBox("txtPassword1", this);
  txtPassword2 = NewPasswordBox("txtPassword2", this);
  txtName = NewBox("txtName", kNameLength, this);
  txtDescription = NewTextBox("txtDescription", kDescriptionTyping, txtName, this);
  txtDescription->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtUpdateURL = NewBox("txtUpdateURL", kUpdateURLLength, this);
  chkOfficial = new QCheckBox(QStringLiteral("Official"), this);
  chkOfficial->setObjectName(QStringLiteral("chkOfficial"));
  btnCancel = NewButton("btnCancel", QStringLiteral("Cancel"), this, &QDialog::reject);
  btnOk = NewButton("btnOk", QStringLiteral("Ok"), this, &frmAccount::OnOk);
  btnOk->setDefault(true);

  QGridLayout* grid = EditorLayout(this,
                                   {{"lblUser", "User:", txtUser},
                                    {"lblPassword1", "Password:", txtPassword1},
                                    {"lblPassword2", "Password Again:", txtPassword2},
                                    {"lblName", "Name:", txtName},
                                    {"lblDescription", "Description:", txtDescription},
                                    {"lblUpdateURL", "Update URL:", txtUpdateURL}},
                                   {btnCancel, btnOk});
  grid->addWidget(chkOfficial, grid->rowCount(), 1);
  setMinimumWidth(380);
  TabOrder({txtUser, txtPassword1, txtPassword2, txtName, txtDescription, txtUpdateURL, chkOfficial,
            btnCancel, btnOk});
}

// Edit mode: the account's values, and the user name, which stays as it is.
void frmAccount::ShowAccount(const AccountRecord& a) {
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

void frmAccount::RefuseTooLong(const ops::FieldLimit& tooLong) {
  struct Field {
    const char* column;
    const char* caption;
    QWidget* box;
  };
  const Field fields[] = {{"User", "User", txtUser},
                          {"Password", "Password", txtPassword1},
                          {"Name", "Name", txtName},
                          {"Description", "Description", txtDescription},
                          {"UpdateURL", "Update URL", txtUpdateURL}};
  std::string caption = tooLong.column;
  QWidget* box = nullptr;
  for (const Field& f : fields) {
    if (std::string_view(tooLong.column) != f.column) continue;
    caption = f.caption;
    box = f.box;
  }
  Notice(QString::fromStdString(ops::TooLongText(caption, tooLong.limit)));
  if (box) box->setFocus();
}

void frmAccount::OnOk() {
  ops::AccountFields account;
  account.User = FromWidget(txtUser->text());
  account.Password = FromWidget(txtPassword1->text());  // as typed in the first box
  account.Confirmation = FromWidget(txtPassword2->text());
  const AccountRecord stored = original_.value_or(AccountRecord{});
  account.Name = BoxValue(txtName, stored.Name);
  account.Description = stored.Description && !txtDescription->IsModified()
                            ? *stored.Description
                            : FromWidget(txtDescription->Text());
  account.UpdateURL = BoxValue(txtUpdateURL, stored.UpdateURL);
  account.Official = chkOfficial->isChecked() ? 1 : 0;
  ops::Refusal refusal;
  try {
    refusal = IsEditMode() ? ops::EditAccount(db_, account, ops::AccountTexts::Checked)
                           : ops::CreateAccount(db_, account, ops::AccountTexts::Checked);
  } catch (const DatabaseError& e) {
    // What the store refused is not saved, and the operator keeps what was
    // typed to correct it or cancel.
    Notice(QStringLiteral("The account could not be saved: %1").arg(admin::EngineText(e)));
    return;
  }
  // A text too long is refused the same way, its box given the focus.
  if (const std::optional<ops::FieldLimit> tooLong = ops::TooLongField(refusal)) {
    RefuseTooLong(*tooLong);
    return;
  }
  switch (refusal) {
    case ops::Refusal::None: accept(); return;
    // One notice covers both texts: the operator sees the rule once.
    case ops::Refusal::AccountRule: Notice(kRuleNotice); return;
    case ops::Refusal::PasswordsDiffer: Notice(kMismatchNotice); return;
    case ops::Refusal::AccountExists: Notice(kExistsNotice); return;
    default:
      // An account deleted meanwhile (through the remote control) is not
      // created again behind the operator's back: the editor says so and
      // the accounts list refills when it closes.
      Notice(kVanishedNotice);
      reject();
  }
}
