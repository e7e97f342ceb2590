#pragma once
// The account and ban windows as the main window's menus open them. It holds
// the one ban list and the one ban editor, which live apart from each other:
// the editor can outlive the list, and its next save brings the list back.
//
// The main window connects "&Accounts" > "&Edit" to OpenAccounts and
// "&Bans" > "&Edit Ban List" to OpenBanList; the stop operation calls
// CloseAll.
#include <QObject>
#include <QPointer>

class Calendar;
class Database;
class Prompts;
class Registry;
class QWidget;
class frmAccounts;
class frmBan;
class frmBans;
struct BanRecord;

class AdminWindows : public QObject {
  Q_OBJECT
 public:
  AdminWindows(Database& db, Registry& registry, Prompts& prompts, Calendar& calendar,
               QObject* parent = nullptr);
  ~AdminWindows() override;

  // A fresh, filled accounts list, modal over parent (the main window) while
  // the registry goes on serving. Returns at once.
  frmAccounts* OpenAccounts(QWidget* parent);
  // Opens and fills the ban list; when it is open already, only brings it to
  // the front, without refilling it.
  frmBans* OpenBanList();
  // Closes every window opened here; nothing is written.
  void CloseAll();

  // The windows open now, or null.
  frmAccounts* Accounts() const;
  frmBans* BanList() const;
  frmBan* BanEditor() const;

  // For the ban windows. Opening an editor first closes the one that is
  // open, discarding what was typed in it.
  frmBan* OpenBanEditor();                      // add mode
  frmBan* OpenBanEditor(const BanRecord& ban);  // edit mode, filled from the ban
  void CloseBanEditor();
  // Refills the ban list, loading it (unshown) if it was closed.
  void RefreshBanList();
  // Shows the ban list and brings it to the front.
  void ShowBanList();

 private:
  frmBans* LoadBanList();
  frmBan* NewBanEditor();

  Database& db_;
  Registry& registry_;
  Prompts& prompts_;
  Calendar& calendar_;
  QPointer<frmAccounts> accounts_;
  QPointer<frmBans> banList_;
  QPointer<frmBan> banEditor_;
};
