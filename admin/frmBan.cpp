#include "admin/frmBan.h"

#include "admin/AdminText.h"
#include "admin/AdminWindows.h"
#include "admin/FormBuilder.h"
#include "admin/LimitedTextEdit.h"
#include "core/Clock.h"
#include "core/Operations.h"
#include "remote/UnbanDate.h"
#include "storage/Database.h"
#include "ui/DateText.h"
#include "ui/Prompts.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using admin::FromWidget;
using admin::ToWidget;

namespace {

const QString kAddCaption = QStringLiteral("Kestrune [Add Ban]");
const QString kEditCaption = QStringLiteral("Kestrune [Edit Ban]");
const QString kCreateQuestion =
    QStringLiteral("The account being edited no longer exists, would you like to create it?");

}  // namespace

std::optional<QDateTime> ParseUnbanDate(const QString& text) {
  return remote::ReadUnbanDate(text, remote::DateForms::MonthFirst);
}

frmBan::frmBan(AdminWindows& windows, Database& db, Prompts& prompts, Calendar& calendar,
               QWidget* parent)
    : QDialog(parent), windows_(windows), db_(db), prompts_(prompts) {
  setObjectName(QStringLiteral("frmBan"));
  BuildControls();
  txtUnbanDate->setText(FormatShortDate(calendar.Today()));
  SetMode(false);
}

void frmBan::BuildControls() {
  using namespace admin;
  // The boxes take any length: a text longer than its column is refused on
  // saving, with a word, rather than cut while it is typed.
  txtName = NewBox("txtName", kNoLimit, this);
  txtIP = NewBox("txtIP", kNoLimit, this);
  txtReason = NewTextBox("txtReason", kNoLimit, txtName, this);
  txtUnbanDate = NewBox("txtUnbanDate", kNoLimit, this);
  cmdOK = NewButton("cmdOK", QStringLiteral("OK"), this, &frmBan::OnOk);
  cmdOK->setDefault(true);
  cmdCancel = NewButton("cmdCancel", QStringLiteral("Cancel"), this, &QDialog::reject);

  QGridLayout* grid = EditorLayout(this,
                                   {{"lblName", "Name:", txtName, 2},
                                    {"lblIP", "IP:", txtIP, 2},
                                    {"lblReason", "Reason:", txtReason, 2},
                                    {"lblUnbanDate", "Unban Date:", txtUnbanDate}},
                                   {cmdOK, cmdCancel});
  // The form the box shows dates in (it reads mm/dd/yy as well).
  auto* hint = new QLabel(QStringLiteral("m/d/yyyy"), this);
  hint->setObjectName(QStringLiteral("lblDateHint"));
  grid->addWidget(hint, grid->rowCount() - 1, 2);
  setMinimumWidth(340);
  TabOrder({txtName, txtIP, txtReason, txtUnbanDate, cmdOK, cmdCancel});
}

void frmBan::SetMode(bool edit) {
  editMode_ = edit;
  setWindowTitle(edit ? kEditCaption : kAddCaption);
}

void frmBan::EditBan(const BanRecord& ban) {
  SetMode(true);
  txtName->setText(ToWidget(ban.Name));
  txtName->setEnabled(false);
  txtIP->setText(ToWidget(ban.IP));
  storedReason_ = ban.Reason;
  txtReason->SetText(ToWidget(ban.Reason));
  txtUnbanDate->setText(ban.UnbanDate ? FormatGeneralDate(*ban.UnbanDate) : QString());
  txtIP->setFocus();
}

void frmBan::Notice(const QString& text) { prompts_.Notice(this, text, kAppTitle); }

void frmBan::RefuseTooLong(const ops::FieldLimit& tooLong) {
  const std::pair<std::string_view, QWidget*> fields[] = {
      {"Name", txtName}, {"IP", txtIP}, {"Reason", txtReason}};
  QWidget* box = nullptr;
  for (const auto& [column, widget] : fields)
    if (tooLong.column == column) box = widget;
  Notice(QString::fromStdString(ops::TooLongText(tooLong.column, tooLong.limit)));
  if (box) box->setFocus();
}

// A text too long for its field: the notice, and what was typed stays.
bool frmBan::RefusedTooLong(ops::Refusal refusal) {
  const std::optional<ops::FieldLimit> tooLong = ops::TooLongField(refusal);
  if (tooLong) RefuseTooLong(*tooLong);
  return bool(tooLong);
}

bool frmBan::AskToCreate() { return prompts_.AskYesNo(this, kCreateQuestion, kAppTitle); }

void frmBan::OnOk() { Save(); }

frmBan::Outcome frmBan::Save() {
  // Texts are taken as typed, spaces included.
  ops::BanFields ban;
  ban.Name = FromWidget(txtName->text());
  ban.IP = FromWidget(txtIP->text());
  ban.Reason = Reason().value_or(std::string());
  ban.UnbanDate = [this](const std::optional<QDateTime>& previous) { return UnbanDate(previous); };
  try {
    return editMode_ ? SaveEdit(ban) : SaveNew(ban);
  } catch (const DatabaseError& e) {
    // Nothing that the store refused is in the table, and the editor keeps
    // what was typed: the operator can correct it or cancel.
    Notice(QStringLiteral("The ban could not be saved: %1").arg(admin::EngineText(e)));
    return Outcome::Refused;
  }
}

// The notices of both modes' checks; false when the refusal is none of them.
bool frmBan::NoticeOf(ops::Refusal refusal) {
  switch (refusal) {
    case ops::Refusal::NameMissing: Notice(QStringLiteral("You must enter a name.")); return true;
    case ops::Refusal::IPMissing: Notice(QStringLiteral("You must enter an IP.")); return true;
    case ops::Refusal::NameInUse: Notice(QStringLiteral("The name specified is already in use.")); return true;
    case ops::Refusal::IPBanned: Notice(QStringLiteral("The IP specified is already banned.")); return true;
    default: return false;
  }
}

frmBan::Outcome frmBan::SaveNew(const ops::BanFields& ban) {
  const ops::Refusal refusal = ops::AddBan(db_, ban, ops::SecondBanOnAddress::Refused);
  if (NoticeOf(refusal)) return Outcome::Stopped;
  if (RefusedTooLong(refusal)) return Outcome::Refused;
  if (refusal == ops::Refusal::NoBanNumber) {
    Notice(QStringLiteral(
        "The ban cannot be added: the database already holds 256 bans, as many as it can hold."));
    return Outcome::Refused;
  }
  CloseSequence();
  return Outcome::Saved;
}

frmBan::Outcome frmBan::SaveEdit(const ops::BanFields& ban) {
  // The ban's name comes first and the table's emptiness decides what the
  // question's answer No does, so both are looked at before the rulebook is
  // asked: it finds the ban by name too.
  if (NoticeOf(ban.Name.empty() ? ops::Refusal::NameMissing
                                : ban.IP.empty() ? ops::Refusal::IPMissing : ops::Refusal::None))
    return Outcome::Stopped;
  Bans& bans = db_.bans();
  if (bans.Empty()) {
    if (!AskToCreate()) return Outcome::Stopped;
    SetMode(false);
    return Save();
  }
  if (!bans.FindByName(ban.Name)) {
    if (!AskToCreate()) {
      CloseSequence();
      return Outcome::Saved;
    }
    SetMode(false);
    const Outcome outcome = Save();
    // A check that stopped the new ban still closes the editor; a text too
    // long or a ban the store refused leaves it open, so what was typed is
    // not lost unsaved.
    if (outcome == Outcome::Stopped) CloseSequence();
    return outcome;
  }
  // The date notice lets other events run, so the ban may have gone since.
  const ops::Refusal refusal = ops::EditBan(db_, ban, ops::BanNameCheck::First);
  if (RefusedTooLong(refusal)) return Outcome::Refused;
  if (refusal != ops::Refusal::None) {
    Notice(QStringLiteral("The ban could not be saved: it no longer exists."));
    return Outcome::Refused;
  }
  CloseSequence();
  return Outcome::Saved;
}

std::optional<std::string> frmBan::Reason() const {
  if (txtReason->Text().isEmpty()) return std::nullopt;
  // A stored reason the operator left alone goes back byte for byte.
  if (storedReason_ && !txtReason->IsModified()) return storedReason_;
  return FromWidget(txtReason->Text());
}

std::optional<QDateTime> frmBan::UnbanDate(const std::optional<QDateTime>& previous) {
  const QString text = txtUnbanDate->text();
  if (text.isEmpty()) return std::nullopt;
  if (auto when = ParseUnbanDate(text)) return when;
  Notice(QStringLiteral("Enter a valid date using the mm/dd/yy format."));
  return previous;
}

void frmBan::CloseSequence() {
  windows_.RefreshBanList();
  hide();
  windows_.ShowBanList();
  close();
}
