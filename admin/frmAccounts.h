#pragma once
// The accounts list: the user names of all server accounts, in user-name
// order without regard to letter case, with the operator's ways to create,
// change and delete accounts. It stays modal over the main window while the
// registry keeps serving.
#include <QDialog>
#include <optional>

#include "storage/Records.h"

class Database;
class Prompts;
class Registry;
class QListWidget;
class QListWidgetItem;
class QPushButton;

class frmAccounts : public QDialog {
  Q_OBJECT
 public:
  // Fills the list.
  frmAccounts(Database& db, Registry& registry, Prompts& prompts, QWidget* parent = nullptr);

  // Refills the list from the table; no line stays selected, so "Edit" and
  // "Delete" are disabled again.
  void ListAccounts();

 private:
  void OnSelectionChanged();
  void OnDoubleClick();
  void OnEdit();
  void OnNew();
  void OnDelete();
  // The account editor, modal over this window; the list refills when it
  // closes, whatever happened in it.
  void OpenEditor(std::optional<AccountRecord> account);
  QListWidgetItem* SelectedLine() const;
  void SetLineButtons(bool enabled);
  void Notice(const QString& text);

  Database& db_;
  Registry& registry_;
  Prompts& prompts_;

  QListWidget* lstAccounts;
  QPushButton* btnEdit;
  QPushButton* btnDelete;
  QPushButton* btnNew;
  QPushButton* btnOk;
};
