#pragma once
// The account editor: creates a server account (new mode) or changes one
// (edit mode), under the same rule for user names and passwords that game
// servers meet when they create accounts themselves. It writes the account's
// row and nothing else: a server logged in with the account stays connected.
#include "storage/Records.h"

#include <QDialog>
#include <optional>

namespace ops {
struct FieldLimit;
}
class Database;
class Prompts;
class LimitedTextEdit;
class QCheckBox;
class QLineEdit;
class QPushButton;

// The title of the account editor's notices.
inline const QString kAccountEditorTitle = QStringLiteral("The Velkarin Server Registry");

class frmAccount : public QDialog {
  Q_OBJECT
 public:
  // New mode when account is empty; edit mode for the account given, as
  // read from the table.
  frmAccount(Database& db, Prompts& prompts, std::optional<AccountRecord> account,
             QWidget* parent = nullptr);

  bool IsEditMode() const { return original_.has_value(); }

 private:
  void BuildControls();
  void ShowAccount(const AccountRecord& account);
  void OnOk();
  void Notice(const QString& text);
  // The notice for a text its column cannot hold; the focus goes to its box.
  void RefuseTooLong(const ops::FieldLimit& tooLong);

  Database& db_;
  Prompts& prompts_;
  std::optional<AccountRecord> original_;

  QLineEdit* txtUser;
  QLineEdit* txtPassword1;
  QLineEdit* txtPassword2;
  QLineEdit* txtName;
  LimitedTextEdit* txtDescription;
  QLineEdit* txtUpdateURL;
  QCheckBox* chkOfficial;
  QPushButton* btnCancel;
  QPushButton* btnOk;
};
