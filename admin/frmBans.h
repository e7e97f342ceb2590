#pragma once
// The ban list: one line per IP ban, "IP - unban date", in ban-number order,
// with the operator's ways to add, change and delete bans. It does not block
// other windows. The IP at the start of a line is the only link from a line
// to its ban, so a line can go stale when bans change elsewhere (the remote
// control, expiry); "Refresh List" and every save bring it up to date.
#include "storage/Records.h"

#include <QString>
#include <QWidget>
#include <optional>
#include <string>

class AdminWindows;
class Database;
class Prompts;
class QListWidget;
class QPushButton;

// A line of the list: the IP, " - ", then the unban date month first, with
// the time of day when it is not midnight; nothing after the separator when
// the ban has no unban date.
QString BanLine(const BanRecord& ban);

class frmBans : public QWidget {
  Q_OBJECT
 public:
  // Fills the list.
  frmBans(AdminWindows& windows, Database& db, Prompts& prompts, QWidget* parent = nullptr);

  // Refills the list from the table. "Edit Ban" and "Delete Ban" are
  // enabled when the table holds a ban, whatever is selected.
  void RefreshBanList();

 private:
  void OnAddBan();
  void OnEditBan();
  void OnDelBan();
  // The IP of the selected line, or a notice and nullopt: the first notice
  // when nothing is selected, the list error for a line without separator,
  // and the empty-table notice.
  std::optional<std::string> SelectedIP(const QString& selectFirst);
  void Notice(const QString& text);

  AdminWindows& windows_;
  Database& db_;
  Prompts& prompts_;

  QListWidget* lstIPs;
  QPushButton* cmdAddBan;
  QPushButton* cmdEditBan;
  QPushButton* cmdDelBan;
  QPushButton* cmdRefreshList;
  QPushButton* cmdClose;
};
