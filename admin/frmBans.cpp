#include "admin/frmBans.h"

#include "admin/AdminText.h"
#include "admin/AdminWindows.h"
#include "core/DateText.h"
#include "core/Prompts.h"
#include "storage/Database.h"

#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

using admin::FromWidget;
using admin::ToWidget;

namespace {

const QString kSeparator = QStringLiteral(" - ");
const QString kNotFound = QStringLiteral("The IP was not found in the datebase, refresh the list.");

QPushButton* NewButton(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QPushButton(QLatin1String(caption), parent);
  button->setObjectName(QLatin1String(name));
  return button;
}

QString Engine(const DatabaseError& e) { return QString::fromUtf8(e.what()); }

}  // namespace

QString BanLine(const BanRecord& ban) {
  return ToWidget(ban.IP) + kSeparator +
         (ban.UnbanDate ? FormatGeneralDate(*ban.UnbanDate) : QString());
}

frmBans::frmBans(AdminWindows& windows, Database& db, Prompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), windows_(windows), db_(db), prompts_(prompts) {
  setObjectName(QStringLiteral("frmBans"));
  setWindowTitle(QStringLiteral("Kestrune [Ban List]"));

  auto* label = new QLabel(QStringLiteral("Banned IPs:"), this);
  label->setObjectName(QStringLiteral("lblBannedIPs"));
  lstIPs = new QListWidget(this);
  lstIPs->setObjectName(QStringLiteral("lstIPs"));
  lstIPs->setSelectionMode(QAbstractItemView::SingleSelection);
  label->setBuddy(lstIPs);
  cmdAddBan = NewButton("cmdAddBan", "Add Ban", this);
  cmdEditBan = NewButton("cmdEditBan", "Edit Ban", this);
  cmdDelBan = NewButton("cmdDelBan", "Delete Ban", this);
  cmdRefreshList = NewButton("cmdRefreshList", "Refresh List", this);
  cmdClose = NewButton("cmdClose", "Close", this);

  auto* grid = new QGridLayout(this);
  grid->addWidget(label, 0, 0);
  grid->addWidget(lstIPs, 1, 0, 6, 1);
  grid->addWidget(cmdAddBan, 1, 1);
  grid->addWidget(cmdEditBan, 2, 1);
  grid->addWidget(cmdDelBan, 3, 1);
  grid->addWidget(cmdRefreshList, 4, 1);
  grid->addWidget(cmdClose, 5, 1);
  grid->setRowStretch(6, 1);
  grid->setColumnStretch(0, 1);
  resize(380, 260);

  QWidget::setTabOrder(cmdClose, lstIPs);
  QWidget::setTabOrder(lstIPs, cmdAddBan);
  QWidget::setTabOrder(cmdAddBan, cmdEditBan);
  QWidget::setTabOrder(cmdEditBan, cmdDelBan);
  QWidget::setTabOrder(cmdDelBan, cmdRefreshList);

  connect(cmdAddBan, &QPushButton::clicked, this, &frmBans::OnAddBan);
  connect(cmdEditBan, &QPushButton::clicked, this, &frmBans::OnEditBan);
  connect(cmdDelBan, &QPushButton::clicked, this, &frmBans::OnDelBan);
  connect(cmdRefreshList, &QPushButton::clicked, this, &frmBans::RefreshBanList);
  connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);

  RefreshBanList();
}

void frmBans::Notice(const QString& text) { prompts_.Notice(this, text, kAppTitle); }

void frmBans::RefreshBanList() {
  lstIPs->clear();
  std::vector<BanRecord> bans;
  try {
    bans = db_.bans().All();
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The bans could not be read: %1").arg(Engine(e)));
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
    Notice(QStringLiteral("The ban could not be read: %1").arg(Engine(e)));
  }
}

void frmBans::OnDelBan() {
  try {
    const auto ip = SelectedIP(QStringLiteral("Select a ban, then click delete."));
    if (!ip) return;
    const std::optional<BanRecord> ban = db_.bans().FindByIP(*ip);
    // A line whose ban went elsewhere: the list is brought up to date and
    // the operator told, as for a stale line in "Edit Ban".
    if (!ban) {
      RefreshBanList();
      Notice(kNotFound);
      return;
    }
    db_.bans().Delete(ban->Number.value_or(-1));
  } catch (const DatabaseError& e) {
    Notice(QStringLiteral("The ban could not be deleted: %1").arg(Engine(e)));
    return;
  }
  RefreshBanList();
}
