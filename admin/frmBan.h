#pragma once
// The ban editor: adds an IP ban or changes one. Only one exists at a time
// (AdminWindows sees to that); it is not modal. Every save refills the ban
// list and brings it to the front, opening it again if it was closed.
#include "core/Operations.h"
#include "storage/Records.h"

#include <QDialog>
#include <optional>
#include <string>

class AdminWindows;
class Calendar;
class Database;
class Prompts;
class LimitedTextEdit;
class QLineEdit;
class QPushButton;

// A typed unban date: mm/dd/yy or mm/dd/yyyy, or the same followed by a time
// of day ("h:mm:ss AM", "h:mm PM" or 24-hour "HH:mm:ss"), the form in which
// the editor shows a stored date that carries one. nullopt when not a date.
std::optional<QDateTime> ParseUnbanDate(const QString& text);

class frmBan : public QDialog {
  Q_OBJECT
 public:
  // A fresh editor in add mode; the date box holds today's date.
  frmBan(AdminWindows& windows, Database& db, Prompts& prompts, Calendar& calendar,
         QWidget* parent = nullptr);

  // Switches a fresh editor to edit mode and fills it from the ban.
  void EditBan(const BanRecord& ban);
  bool IsEditMode() const { return editMode_; }

 private:
  // How one run of "OK" ended.
  enum class Outcome {
    Saved,    // stored; the close sequence has run
    Stopped,  // a check stopped it with its notice
    Refused,  // no number left or the store refused it: reported, editor open
  };
  void BuildControls();
  void OnOk();
  Outcome Save();
  Outcome SaveNew(const ops::BanFields& ban);
  Outcome SaveEdit(const ops::BanFields& ban);
  bool NoticeOf(ops::Refusal refusal);
  // The reason to store: no value for an empty box.
  std::optional<std::string> Reason() const;
  // The date to store: no value for an empty box; for text that is not a
  // date, a notice, and `previous` is kept so the save can go on.
  std::optional<QDateTime> UnbanDate(const std::optional<QDateTime>& previous);
  void SetMode(bool edit);
  void CloseSequence();
  void Notice(const QString& text);
  // The notice for a text its field cannot hold; the focus goes to its box.
  void RefuseTooLong(const ops::FieldLimit& tooLong);
  bool RefusedTooLong(ops::Refusal refusal);
  bool AskToCreate();

  AdminWindows& windows_;
  Database& db_;
  Prompts& prompts_;
  bool editMode_ = false;
  std::optional<std::string> storedReason_;

  QLineEdit* txtName;
  QLineEdit* txtIP;
  LimitedTextEdit* txtReason;
  QLineEdit* txtUnbanDate;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;
};
