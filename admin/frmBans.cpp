#include "admin/frmBans.h"

#include "admin/AdminText.h"
#include "admin/AdminWindows.h"
#include "admin/FormBuilder.h"
#include "core/Operations.h"
#include "storage/Database.h"
#include "ui/DateText.h"
#include "ui/Prompts.h"

#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>

using admin::FromWidget;
using admin::ToWidget;

namespace {

const QString kSeparator = QStringLiteral(" - ");
const QString kNotFound = QStringLiteral("The IP was not found in the datebase, refresh the list.");

}  // namespace

QString BanLine(const BanRecord& ban) {
  return ToWidget(ban.IP) + kSeparator +
         (ban.UnbanDate ? FormatGeneralDate(*ban.UnbanDate) : QString());
}

frmBans::frmBans(AdminWindows& windows, Database& db, Prompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), windows_(windows), db_(db), prompts_(prompts) {
  using namespace admin;
  setObjectName(QStringLiteral("frmBans"));
  setWindowTitle(QStringLiteral("Kestrune [Ban List]"));

  auto* label = new QLabel(QStringLiteral("Banned IPs:"), this);
  label->setObjectName(QStringLiteral("lblBannedIPs"));
  lstIPs = NewList("lstIPs", this);
  label->setBuddy(lstIPs);
  cmdAddBan = NewButton("cmdAddBan", QStringLiteral("Add Ban"), this, &frmBans::OnAddBan);
  cmdEditBan = NewButton("cmdEditBan", QStringLiteral("Edit Ban"), this, &frmBans::OnEditBan);
  cmdDelBan = NewButton("cmdDelBan", QStringLiteral("Delete Ban"), this, &frmBans::OnDelBan);
  cmdRefreshList =
      NewButton("cmdRefreshList", QStringLiteral("Refresh List"), this, &frmBans::RefreshBanList);
  cmdClose = NewButton("cmdClose", QStringLiteral("Close"), this, &QWidget::close);
  ListLayout(this, lstIPs, {cmdAddBan, cmdEditBan, cmdDelBan, cmdRefreshList, cmdClose}, 1)
      ->addWidget(label, 0, 0);
  resize(380, 260);
  TabOrder({cmdClose, lstIPs, cmdAddBan, cmdEditBan, cmdDelBan, cmdRefreshList});
  // The window opens with the focus on the first control of its tab order.
  cmdClose->setFocus();
  // Escape closes it, as it closes every other window of the registry.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, &QWidget::close);

  RefreshBanList();
}

void frmBans::Notice(const QString& text) { prompts_.Notice(this, text, kAppTitle); }

void frmBans::RefreshBanList() {
  lstIPs->clear();
  std::vector<BanRecord> bans;
  try {
    bans = db_.bans().All();
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The bans could not be read: %1").arg(admin::EngineText(e)));
  }
  cmdEditBan->setEnabled(!bans.empty());
  cmdDelBan->setEnabled(!bans.empty());
  for (const BanRecord& ban : bans) lstIPs->addItem(BanLine(ban));
}

std::optional<std::string> frmBans::SelectedIP(const QString& selectFirst) {
  const auto selected = lstIPs->selectedItems();
  if (selected.isEmpty()) {
    Notice(selectFirst);
    return std::nullopt;
  }
  const QString line = selected.front()->text();
  const qsizetype separator = line.indexOf(kSeparator);
  if (separator < 0) {
    Notice(QStringLiteral("There was an error involving the list."));
    return std::nullopt;
  }
  if (db_.bans().Empty()) {
    Notice(QStringLiteral("There are no bans in the database, refresh the list."));
    return std::nullopt;
  }
  return FromWidget(line.left(separator));
}

void frmBans::OnAddBan() { windows_.OpenBanEditor(); }

void frmBans::OnEditBan() {
  // An open editor goes first, even when a check below stops the edit.
  windows_.CloseBanEditor();
  try {
    const auto ip = SelectedIP(QStringLiteral("Select a ban, then click edit."));
    if (!ip) return;
    const std::optional<BanRecord> ban = db_.bans().FindByIP(*ip);
    if (!ban) {
      Notice(kNotFound);
      return;
    }
    windows_.OpenBanEditor(*ban);
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The ban could not be read: %1").arg(admin::EngineText(e)));
  }
}

void frmBans::OnDelBan() {
  try {
    const auto ip = SelectedIP(QStringLiteral("Select a ban, then click delete."));
    if (!ip) return;
    // A line whose ban went elsewhere: the list is brought up to date and
    // the operator told, as for a stale line in "Edit Ban".
    if (ops::DeleteBanOfIP(db_, *ip) != ops::Refusal::None) {
      RefreshBanList();
      Notice(kNotFound);
      return;
    }
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The ban could not be deleted: %1").arg(admin::EngineText(e)));
    return;
  }
  RefreshBanList();
}
