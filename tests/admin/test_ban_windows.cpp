// The ban list and the ban editor as the operator uses them: the checks and
// notices in their order, numbering after deletions, dates in and out, stale
// lines, one editor at a time and the list coming back when an editor saves.
#include "admin/AdminWindows.h"
#include "admin/frmBan.h"
#include "admin/frmBans.h"
#include "common/RegistryHarness.h"
#include "common/ScriptedPrompts.h"
#include "WidgetKit.h"

#include <QLabel>
#include <functional>
#include <QtTest>

namespace {

const QString kNameTaken = QStringLiteral("The name specified is already in use.");
const QString kIPTaken = QStringLiteral("The IP specified is already banned.");
const QString kBadDate = QStringLiteral("Enter a valid date using the mm/dd/yy format.");
const QString kCreate =
    QStringLiteral("The account being edited no longer exists, would you like to create it?");
const QString kNotFound = QStringLiteral("The IP was not found in the datebase, refresh the list.");
const QString kNoBans = QStringLiteral("There are no bans in the database, refresh the list.");

BanRecord Ban(int number, const std::string& name, const std::string& ip,
              std::optional<QDateTime> until = std::nullopt, std::optional<std::string> reason = std::nullopt) {
  BanRecord ban;
  ban.Number = number;
  ban.Name = name;
  ban.IP = ip;
  ban.Reason = reason;
  ban.UnbanDate = until;
  return ban;
}

QDateTime Day(int y, int m, int d) { return QDateTime(QDate(y, m, d), QTime(0, 0)); }

struct Desk {
  RegistryHarness h;  // today is 12/8/2026
  ScriptedPrompts prompts;
  AdminWindows windows{h.db, *h.registry, prompts, h.calendar};

  frmBans* List() {
    Flush();
    return windows.BanList();
  }
  QListWidget* Lines() { return Child<QListWidget>(windows.BanList(), "lstIPs"); }
  frmBan* Editor() {
    Flush();
    return windows.BanEditor();
  }
  frmBan* Add() {
    Click(windows.BanList(), "cmdAddBan");
    return Editor();
  }
  frmBan* Edit(const QString& line) {
    Pick(Lines(), line);
    Click(windows.BanList(), "cmdEditBan");
    return Editor();
  }
  void Fill(frmBan* e, const QString& name, const QString& ip) {
    Type(Child<QLineEdit>(e, "txtName"), name);
    Type(Child<QLineEdit>(e, "txtIP"), ip);
  }
  void SetDate(frmBan* e, const QString& text) { Type(Child<QLineEdit>(e, "txtUnbanDate"), text); }
  std::vector<int> Numbers() {
    std::vector<int> numbers;
    for (const BanRecord& b : h.db.bans().All()) numbers.push_back(*b.Number);
    return numbers;
  }
};

}  // namespace

class TestBanWindows : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QuietOffscreenWarnings(); }
  void emptyListAndLayout();
  void listLinesWithAndWithoutDates();
  void checksInTheirOrder();
  void addStoresAndReturnsToTheList();
  void unbanDates();
  void numberingAfterDeletions();
  void fullTableAndRefusedSaveKeepEditorOpen();
  void editChangesIPReasonAndDate();
  void editingABanDeletedElsewhere();
  void oneEditorAtATime();
  void staleLines();
  void deleteBan();
  void closedListComesBackOnSave();
  void textsLongerThanTheirColumnsAreRefused();
  void escapeClosesTheBanList();
};

void TestBanWindows::emptyListAndLayout() {
  Desk d;
  frmBans* list = d.windows.OpenBanList();
  QVERIFY(list->isVisible());
  // The focus starts on "Close", the first control of the tab order.
  QVERIFY(QTest::qWaitForWindowActive(list));
  QCOMPARE(QApplication::focusWidget(), Child<QWidget>(list, "cmdClose"));
  QCOMPARE(list->windowTitle(), QStringLiteral("Kestrune [Ban List]"));
  QCOMPARE(Child<QLabel>(list, "lblBannedIPs")->text(), QStringLiteral("Banned IPs:"));
  QCOMPARE(d.Lines()->count(), 0);
  QVERIFY(!Child<QPushButton>(list, "cmdEditBan")->isEnabled());
  QVERIFY(!Child<QPushButton>(list, "cmdDelBan")->isEnabled());
  QVERIFY(Child<QPushButton>(list, "cmdAddBan")->isEnabled());
  QCOMPARE(Child<QPushButton>(list, "cmdDelBan")->text(), QStringLiteral("Delete Ban"));
  QCOMPARE(Child<QPushButton>(list, "cmdRefreshList")->text(), QStringLiteral("Refresh List"));
  const QStringList listOrder{"cmdClose", "lstIPs", "cmdAddBan", "cmdEditBan", "cmdDelBan", "cmdRefreshList"};
  QCOMPARE(TabOrder(Child<QWidget>(list, "cmdClose"), listOrder), listOrder);

  frmBan* e = d.Add();
  QVERIFY(e && e->isVisible() && !e->isModal());
  QCOMPARE(e->windowTitle(), QStringLiteral("Kestrune [Add Ban]"));
  QCOMPARE(Child<QLineEdit>(e, "txtUnbanDate")->text(), QStringLiteral("12/8/2026"));
  // The hint shows the form the box itself uses.
  QCOMPARE(Child<QLabel>(e, "lblDateHint")->text(), QStringLiteral("m/d/yyyy"));
  QCOMPARE(Child<QLabel>(e, "lblUnbanDate")->text(), QStringLiteral("Unban Date:"));
  QCOMPARE(Child<QPushButton>(e, "cmdOK")->text(), QStringLiteral("OK"));
  const QStringList editorOrder{"txtName", "txtIP", "txtReason", "txtUnbanDate", "cmdOK", "cmdCancel"};
  QCOMPARE(TabOrder(Child<QWidget>(e, "txtName"), editorOrder), editorOrder);

  // "Cancel" after typing: nothing stored, the list as it was.
  d.Fill(e, "Spam", "10.0.0.1");
  Click(e, "cmdCancel");
  QVERIFY(!d.Editor());
  QVERIFY(d.h.db.bans().Empty());
  QCOMPARE(d.Lines()->count(), 0);
  // "Close" closes the list.
  Click(list, "cmdClose");
  QVERIFY(!d.List());
}

void TestBanWindows::listLinesWithAndWithoutDates() {
  Desk d;
  d.h.db.bans().Add(Ban(3, "c", "10.0.0.3", QDateTime(QDate(2027, 1, 5), QTime(15, 4, 5))));
  d.h.db.bans().Add(Ban(1, "a", "10.0.0.1", Day(2026, 12, 31)));
  d.h.db.bans().Add(Ban(2, "b", "10.0.0.2"));
  d.h.db.bans().Add(Ban(4, "d", "10.0.0.4", QDateTime(QDate(2027, 2, 1), QTime(0, 30))));
  d.windows.OpenBanList();
  QCOMPARE(Lines(d.Lines()), (QStringList{"10.0.0.1 - 12/31/2026", "10.0.0.2 - ",
                                          "10.0.0.3 - 1/5/2027 3:04:05 PM",
                                          "10.0.0.4 - 2/1/2027 12:30:00 AM"}));
  QVERIFY(Child<QPushButton>(d.List(), "cmdEditBan")->isEnabled());
  QVERIFY(Child<QPushButton>(d.List(), "cmdDelBan")->isEnabled());

  // Choosing the menu item again only brings the open list to the front.
  d.h.db.bans().Add(Ban(5, "e", "10.0.0.5"));
  QCOMPARE(d.windows.OpenBanList(), d.List());
  QCOMPARE(d.Lines()->count(), 4);
  Click(d.List(), "cmdRefreshList");
  QCOMPARE(d.Lines()->count(), 5);
}

void TestBanWindows::checksInTheirOrder() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "Spammer", "10.0.0.1"));
  d.h.db.bans().Add(Ban(2, "\xE9l", "10.0.0.2"));  // él
  d.windows.OpenBanList();
  frmBan* e = d.Add();
  const struct {
    const char* name;
    const char* ip;
    QString notice;
  } cases[] = {
      {"", "", QStringLiteral("You must enter a name.")},
      {"", "10.0.0.9", QStringLiteral("You must enter a name.")},
      {"Other", "", QStringLiteral("You must enter an IP.")},
      {"SPAMMER", "10.0.0.9", kNameTaken},
      {"Other", "10.0.0.1", kIPTaken},
      {"spammer", "10.0.0.1", kNameTaken},
      {"\xC9L", "10.0.0.9", kNameTaken},  // ÉL
  };
  for (const auto& c : cases) {
    d.prompts.Clear();
    d.Fill(e, QLatin1String(c.name), QLatin1String(c.ip));
    Click(e, "cmdOK");
    QCOMPARE(d.prompts.Texts(), std::vector<QString>{c.notice});
    QCOMPARE(d.prompts.calls.front().title, QStringLiteral("Tarnwick"));
    QVERIFY(d.Editor() == e && e->isVisible());
    QCOMPARE(Child<QLineEdit>(e, "txtIP")->text(), QLatin1String(c.ip));
  }
  QCOMPARE(d.h.db.bans().Count(), 2);

  // Names are not trimmed: a name of spaces passes.
  d.prompts.Clear();
  d.Fill(e, "   ", "10.0.0.9");
  Click(e, "cmdOK");
  QVERIFY(d.prompts.calls.empty());
  QCOMPARE(*d.h.db.bans().FindByIP("10.0.0.9")->Name, std::string("   "));
}

void TestBanWindows::addStoresAndReturnsToTheList() {
  Desk d;
  frmBans* list = d.windows.OpenBanList();
  frmBan* e = d.Add();
  d.Fill(e, "Flooder", "192.168.1.0");
  Type(Child<QPlainTextEdit>(e, "txtReason"), QStringLiteral("Floods\nthe list"));
  Click(e, "cmdOK");
  QVERIFY(d.prompts.calls.empty());
  QVERIFY(!d.Editor());
  // The first ban of an empty table is number 1, with today's date as the
  // box held it.
  const auto ban = d.h.db.bans().FindByName("flooder");
  QVERIFY(ban);
  QCOMPARE(*ban->Number, 1);
  QCOMPARE(*ban->IP, std::string("192.168.1.0"));
  QCOMPARE(*ban->Reason, std::string("Floods\nthe list"));
  QCOMPARE(*ban->UnbanDate, Day(2026, 12, 8));
  QCOMPARE(d.List(), list);
  QVERIFY(list->isVisible());
  QCOMPARE(Lines(d.Lines()), QStringList{"192.168.1.0 - 12/8/2026"});
  QVERIFY(Child<QPushButton>(list, "cmdEditBan")->isEnabled());

  // An empty reason is no reason at all.
  e = d.Add();
  d.Fill(e, "Quiet", "10.1.0.0");
  Click(e, "cmdOK");
  QVERIFY(!d.h.db.bans().FindByName("Quiet")->Reason);
}

void TestBanWindows::unbanDates() {
  Desk d;
  d.windows.OpenBanList();
  const struct {
    const char* text;
    std::optional<QDateTime> stored;
    bool notice;
  } cases[] = {
      {"", std::nullopt, false},
      {"13/45/04", std::nullopt, true},   // the save goes on without a date
      {"tomorrow", std::nullopt, true},
      {"1/2/03", Day(2003, 1, 2), false},
      {"12/31/30", Day(1930, 12, 31), false},
      {"02/29/2028", Day(2028, 2, 29), false},
      {"2/29/2027", std::nullopt, true},
      {"1/5/2027 3:04:05 PM", QDateTime(QDate(2027, 1, 5), QTime(15, 4, 5)), false},
      {"1/5/2027 12:30 am", QDateTime(QDate(2027, 1, 5), QTime(0, 30)), false},
      {"1/5/2027 13:30:00 PM", std::nullopt, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    d.prompts.Clear();
    frmBan* e = d.Add();
    const std::string ip = "10.9.9." + std::to_string(++n);
    d.Fill(e, QStringLiteral("date%1").arg(n), QString::fromStdString(ip));
    d.SetDate(e, QLatin1String(c.text));
    Click(e, "cmdOK");
    QCOMPARE(d.prompts.Texts(), c.notice ? std::vector<QString>{kBadDate} : std::vector<QString>{});
    QVERIFY2(!d.Editor(), c.text);
    const auto ban = d.h.db.bans().FindByIP(ip);
    QVERIFY2(ban, c.text);
    QCOMPARE(ban->UnbanDate, c.stored);
  }
  QCOMPARE(d.Lines()->count(), n);
}

void TestBanWindows::numberingAfterDeletions() {
  Desk d;
  for (int n = 1; n <= 4; ++n) d.h.db.bans().Add(Ban(n, "b" + std::to_string(n), "10.0.0." + std::to_string(n)));
  d.windows.OpenBanList();
  // The number the new ban got, or -1 when it was not saved.
  auto addOne = [&](const QString& name, const QString& ip) -> int {
    frmBan* e = d.Add();
    d.Fill(e, name, ip);
    Click(e, "cmdOK");
    const auto ban = d.h.db.bans().FindByName(name.toStdString());
    if (!d.prompts.calls.empty() || d.Editor() || !ban) return -1;
    return *ban->Number;
  };
  // Count plus one is taken after a deletion in the middle: the lowest free
  // number instead.
  d.h.db.bans().Delete(2);
  QCOMPARE(addOne("new1", "10.0.1.1"), 2);
  // The highest goes: count plus one is free again.
  d.h.db.bans().Delete(4);
  QCOMPARE(addOne("new2", "10.0.1.2"), 4);
  d.h.db.bans().Delete(1);
  d.h.db.bans().Delete(3);
  QCOMPARE(addOne("new3", "10.0.1.3"), 3);
  QCOMPARE(addOne("new4", "10.0.1.4"), 1);
  QCOMPARE(d.Numbers(), (std::vector<int>{1, 2, 3, 4}));
}

void TestBanWindows::fullTableAndRefusedSaveKeepEditorOpen() {
  Desk d;
  for (int n = 1; n <= 255; ++n) d.h.db.bans().Add(Ban(n, "b" + std::to_string(n), "10.1." + std::to_string(n)));
  d.windows.OpenBanList();
  // 1 to 255 taken: the last free number is 0.
  frmBan* e = d.Add();
  d.Fill(e, "zero", "10.2.0.0");
  Click(e, "cmdOK");
  QVERIFY(!d.Editor());
  QCOMPARE(*d.h.db.bans().FindByName("zero")->Number, 0);

  // All 256 taken: said so, editor kept with what was typed.
  e = d.Add();
  d.Fill(e, "more", "10.3.0.0");
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Notices().size(), std::size_t(1));
  QVERIFY(d.prompts.Notices().front().contains(QStringLiteral("256")));
  QVERIFY(d.Editor() == e && e->isVisible());
  QCOMPARE(Child<QLineEdit>(e, "txtName")->text(), QStringLiteral("more"));
  QCOMPARE(d.h.db.bans().Count(), 256);

  // The store refuses the row: reported, editor kept, nothing closes.
  d.h.db.bans().Delete(7);
  RefuseInserts(d.h.dir.filePath("zvlt.dat"), "Bans");
  d.prompts.Clear();
  const int lines = d.Lines()->count();
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Notices().size(), std::size_t(1));
  QVERIFY(d.prompts.Notices().front().startsWith(QStringLiteral("The ban could not be saved: ")));
  QVERIFY(d.Editor() == e && e->isVisible());
  QCOMPARE(d.h.db.bans().Count(), 255);
  QCOMPARE(d.Lines()->count(), lines);
}

void TestBanWindows::editChangesIPReasonAndDate() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "Spammer", "10.0.0.1", QDateTime(QDate(2027, 3, 4), QTime(18, 0)), "spam"));
  d.h.db.bans().Add(Ban(2, "Other", "10.0.0.2", Day(2027, 1, 1)));
  d.windows.OpenBanList();
  frmBan* e = d.Edit("10.0.0.1 - 3/4/2027 6:00:00 PM");
  QVERIFY(e && e->IsEditMode() && e->isVisible());
  QCOMPARE(e->windowTitle(), QStringLiteral("Kestrune [Edit Ban]"));
  auto* name = Child<QLineEdit>(e, "txtName");
  QCOMPARE(name->text(), QStringLiteral("Spammer"));
  QVERIFY(!name->isEnabled());
  QCOMPARE(Child<QLineEdit>(e, "txtIP")->text(), QStringLiteral("10.0.0.1"));
  QCOMPARE(Child<QPlainTextEdit>(e, "txtReason")->toPlainText(), QStringLiteral("spam"));
  QCOMPARE(Child<QLineEdit>(e, "txtUnbanDate")->text(), QStringLiteral("3/4/2027 6:00:00 PM"));

  // Another ban's IP is taken without objection; the cleared reason loses
  // its value; the date left as shown keeps its time of day.
  Type(Child<QLineEdit>(e, "txtIP"), QStringLiteral("10.0.0.2"));
  Type(Child<QPlainTextEdit>(e, "txtReason"), QString());
  Click(e, "cmdOK");
  QVERIFY(d.prompts.calls.empty());
  QVERIFY(!d.Editor());
  auto ban = d.h.db.bans().FindByName("spammer");
  QCOMPARE(*ban->Number, 1);
  QCOMPARE(*ban->Name, std::string("Spammer"));
  QCOMPARE(*ban->IP, std::string("10.0.0.2"));
  QVERIFY(!ban->Reason);
  QCOMPARE(*ban->UnbanDate, QDateTime(QDate(2027, 3, 4), QTime(18, 0)));
  QCOMPARE(Lines(d.Lines()), (QStringList{"10.0.0.2 - 3/4/2027 6:00:00 PM", "10.0.0.2 - 1/1/2027"}));

  // Two bans with the same IP: the first is the one edited. A date that is
  // not one keeps the stored date, and the save goes on.
  e = d.Edit("10.0.0.2 - 1/1/2027");
  QCOMPARE(Child<QLineEdit>(e, "txtName")->text(), QStringLiteral("Spammer"));
  d.SetDate(e, QStringLiteral("31/31/31"));
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kBadDate});
  QVERIFY(!d.Editor());
  QCOMPARE(*d.h.db.bans().FindByName("spammer")->UnbanDate, QDateTime(QDate(2027, 3, 4), QTime(18, 0)));

  // A cleared date box removes the date.
  d.prompts.Clear();
  e = d.Edit("10.0.0.2 - 1/1/2027");
  d.SetDate(e, QString());
  Click(e, "cmdOK");
  QVERIFY(!d.h.db.bans().FindByName("spammer")->UnbanDate);
  QCOMPARE(Lines(d.Lines()).front(), QStringLiteral("10.0.0.2 - "));
}

void TestBanWindows::editingABanDeletedElsewhere() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "Keep", "10.0.0.1"));
  d.h.db.bans().Add(Ban(2, "Gone", "10.0.0.2"));
  d.h.db.bans().Add(Ban(3, "Also", "10.0.0.3"));
  d.windows.OpenBanList();

  // Yes: stored as a new ban with a new number, and the editor closes.
  frmBan* e = d.Edit("10.0.0.2 - ");
  d.h.db.bans().Delete(2);
  d.h.db.bans().Delete(1);
  Type(Child<QLineEdit>(e, "txtIP"), QStringLiteral("10.0.0.22"));
  d.prompts.yesNo = {true};
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kCreate});
  QVERIFY(!d.Editor());
  auto ban = d.h.db.bans().FindByName("gone");
  QVERIFY(ban);
  QCOMPARE(*ban->IP, std::string("10.0.0.22"));
  QCOMPARE(*ban->Number, 2);  // one ban left: count plus one
  QCOMPARE(Lines(d.Lines()).size(), 2);

  // No: the editor closes and nothing is written.
  d.prompts.Clear();
  e = d.Edit("10.0.0.3 - ");
  d.h.db.bans().Delete(3);
  Type(Child<QLineEdit>(e, "txtIP"), QStringLiteral("10.0.0.33"));
  d.prompts.yesNo = {false};
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kCreate});
  QVERIFY(!d.Editor());
  QVERIFY(!d.h.db.bans().FindByName("also"));
  QCOMPARE(Lines(d.Lines()), QStringList{"10.0.0.22 - "});

  // Yes, but the new ban stops at a check: the editor closes all the same.
  d.h.db.bans().Add(Ban(5, "Twin", "10.0.0.5"));
  Click(d.List(), "cmdRefreshList");
  d.prompts.Clear();
  e = d.Edit("10.0.0.5 - ");
  d.h.db.bans().Delete(5);
  Type(Child<QLineEdit>(e, "txtIP"), QStringLiteral("10.0.0.22"));
  d.prompts.yesNo = {true};
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Texts(), (std::vector<QString>{kCreate, kIPTaken}));
  QVERIFY(!d.Editor());
  QCOMPARE(d.h.db.bans().Count(), 1);

  // The table emptied meanwhile: No leaves the editor open, Yes adds it.
  d.h.db.bans().Add(Ban(9, "Last", "10.0.0.9"));
  Click(d.List(), "cmdRefreshList");
  d.prompts.Clear();
  e = d.Edit("10.0.0.9 - ");
  d.h.db.bans().Delete(9);
  d.h.db.bans().Delete(*d.h.db.bans().FindByName("gone")->Number);
  d.prompts.yesNo = {false};
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kCreate});
  QVERIFY(d.Editor() == e && e->isVisible());
  QCOMPARE(e->windowTitle(), QStringLiteral("Kestrune [Edit Ban]"));
  QVERIFY(d.h.db.bans().Empty());
  d.prompts.yesNo = {true};
  Click(e, "cmdOK");
  QVERIFY(!d.Editor());
  QCOMPARE(*d.h.db.bans().FindByName("last")->Number, 1);
}

void TestBanWindows::oneEditorAtATime() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "One", "10.0.0.1"));
  d.windows.OpenBanList();
  QPointer<frmBan> first = d.Add();
  d.Fill(first, "typed", "10.0.0.7");
  QPointer<frmBan> second = d.Add();
  QVERIFY(!first);
  QVERIFY(second && second->isVisible());
  QCOMPARE(Child<QLineEdit>(second, "txtName")->text(), QString());

  // "Edit Ban" closes the open editor before its checks, even when one
  // stops it.
  Click(d.List(), "cmdEditBan");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{QStringLiteral("Select a ban, then click edit.")});
  QVERIFY(!d.Editor());
  QVERIFY(!second);
  QVERIFY(d.h.db.bans().FindByName("One"));
  QCOMPARE(d.h.db.bans().Count(), 1);
}

void TestBanWindows::staleLines() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "One", "10.0.0.1"));
  d.h.db.bans().Add(Ban(2, "Two", "10.0.0.2"));
  d.windows.OpenBanList();

  // A line whose ban went elsewhere.
  d.h.db.bans().Delete(1);
  Pick(d.Lines(), "10.0.0.1 - ");
  Click(d.List(), "cmdEditBan");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kNotFound});
  QVERIFY(!d.Editor());
  QCOMPARE(d.Lines()->count(), 2);  // the operator is told to refresh
  d.prompts.Clear();
  Pick(d.Lines(), "10.0.0.1 - ");
  Click(d.List(), "cmdDelBan");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kNotFound});
  QCOMPARE(Lines(d.Lines()), QStringList{"10.0.0.2 - "});  // refilled
  QCOMPARE(d.h.db.bans().Count(), 1);

  // Lines left after the table was emptied elsewhere.
  d.h.db.bans().Delete(2);
  for (const char* button : {"cmdEditBan", "cmdDelBan"}) {
    d.prompts.Clear();
    Pick(d.Lines(), "10.0.0.2 - ");
    Click(d.List(), button);
    QCOMPARE(d.prompts.Texts(), std::vector<QString>{kNoBans});
  }
  QCOMPARE(d.Lines()->count(), 1);
}

void TestBanWindows::deleteBan() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "One", "10.0.0.1"));
  d.h.db.bans().Add(Ban(2, "Two", "10.0.0.2", Day(2027, 1, 1)));
  d.h.db.bans().Add(Ban(3, "Dup", "10.0.0.2"));
  d.windows.OpenBanList();
  Click(d.List(), "cmdDelBan");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{QStringLiteral("Select a ban, then click delete.")});
  QCOMPARE(d.h.db.bans().Count(), 3);

  // Two bans with one IP: the first one found goes.
  d.prompts.Clear();
  Pick(d.Lines(), "10.0.0.2 - ");
  Click(d.List(), "cmdDelBan");
  QVERIFY(d.prompts.calls.empty());
  QCOMPARE(d.Numbers(), (std::vector<int>{1, 3}));
  QCOMPARE(Lines(d.Lines()), (QStringList{"10.0.0.1 - ", "10.0.0.2 - "}));
  QVERIFY(d.Lines()->selectedItems().isEmpty());
  QVERIFY(Child<QPushButton>(d.List(), "cmdDelBan")->isEnabled());

  for (const QString& line : {QStringLiteral("10.0.0.1 - "), QStringLiteral("10.0.0.2 - ")}) {
    Pick(d.Lines(), line);
    Click(d.List(), "cmdDelBan");
  }
  QVERIFY(d.h.db.bans().Empty());
  QCOMPARE(d.Lines()->count(), 0);
  QVERIFY(!Child<QPushButton>(d.List(), "cmdEditBan")->isEnabled());
  QVERIFY(!Child<QPushButton>(d.List(), "cmdDelBan")->isEnabled());
  QVERIFY(d.prompts.calls.empty());
}

void TestBanWindows::closedListComesBackOnSave() {
  Desk d;
  d.windows.OpenBanList();
  frmBan* e = d.Add();
  Click(d.List(), "cmdClose");
  QVERIFY(!d.List());
  QVERIFY(d.Editor() == e && e->isVisible());
  d.Fill(e, "Late", "10.0.0.8");
  d.h.db.bans().Add(Ban(5, "Meanwhile", "10.0.0.5"));
  Click(e, "cmdOK");
  QVERIFY(!d.Editor());
  QVERIFY(d.List() && d.List()->isVisible());
  QCOMPARE(Lines(d.Lines()), (QStringList{"10.0.0.8 - 12/8/2026", "10.0.0.5 - "}));

  // Closing the whole set leaves nothing open.
  d.Add();
  d.windows.CloseAll();
  QVERIFY(!d.List());
  QVERIFY(!d.Editor());
}

// The boxes hold what was typed, however long; a text longer than its
// column is refused with the field and its limit, nothing is stored, and the
// text stays in its box to be corrected.
void TestBanWindows::textsLongerThanTheirColumnsAreRefused() {
  Desk d;
  d.windows.OpenBanList();
  frmBan* e = d.Add();
  const QString longIP = QStringLiteral("123.123.123.123.123.1234");  // 24 characters
  d.Fill(e, QString(16, QLatin1Char('n')), longIP);
  auto* name = Child<QLineEdit>(e, "txtName");
  auto* ip = Child<QLineEdit>(e, "txtIP");
  QCOMPARE(name->text().size(), 16);
  QCOMPARE(ip->text(), longIP);
  auto* reason = Child<QPlainTextEdit>(e, "txtReason");
  Type(reason, QString(250, QLatin1Char('r')));
  reason->insertPlainText(QStringLiteral("0123456789"));
  QCOMPARE(reason->toPlainText().size(), 260);

  // One field at a time, in the columns' order, each refusal leaving the
  // editor open with every box as typed and the table empty.
  const std::pair<QString, std::function<void()>> steps[] = {
      {"The Name can be at most 15 characters.", [&] { name->setText(QString(15, 'n')); }},
      {"The IP can be at most 15 characters.", [&] { ip->setText("123.123.123.123"); }},
      {"The Reason can be at most 255 characters.",
       [&] { reason->setPlainText(QString(255, QLatin1Char('r'))); }},
  };
  for (const auto& [notice, correct] : steps) {
    Click(e, "cmdOK");
    QCOMPARE(d.prompts.TakeCalls(), (std::vector<PromptCall>{{PromptCall::Notice, notice, "Tarnwick"}}));
    QVERIFY(d.Editor() == e && e->isVisible());
    QVERIFY(d.h.db.bans().Empty());
    QCOMPARE(d.Lines()->count(), 0);
    correct();
  }
  QCOMPARE(ip->text(), QStringLiteral("123.123.123.123"));
  Click(e, "cmdOK");
  QVERIFY(d.prompts.calls.empty());
  QVERIFY(!d.Editor());
  const auto ban = d.h.db.bans().FindByIP("123.123.123.123");
  QVERIFY(ban);
  QCOMPARE(*ban->Name, std::string(15, 'n'));
  QCOMPARE(*ban->Reason, std::string(255, 'r'));
  QCOMPARE(Lines(d.Lines()), QStringList{"123.123.123.123 - 12/8/2026"});

  // Editing: a longer IP is refused the same way and the ban stays as it was.
  e = d.Edit("123.123.123.123 - 12/8/2026");
  Child<QLineEdit>(e, "txtIP")->setText(longIP);
  Click(e, "cmdOK");
  QCOMPARE(d.prompts.Notices(), std::vector<QString>{"The IP can be at most 15 characters."});
  QVERIFY(d.Editor() == e && e->isVisible());
  QCOMPARE(Child<QLineEdit>(e, "txtIP")->text(), longIP);
  QCOMPARE(e->focusWidget(), Child<QWidget>(e, "txtIP"));
  QCOMPARE(*d.h.db.bans().FindByName(std::string(15, 'n'))->IP, std::string("123.123.123.123"));
}

// Escape closes the ban list, from its list and from its buttons alike.
void TestBanWindows::escapeClosesTheBanList() {
  Desk d;
  d.h.db.bans().Add(Ban(1, "one", "10.0.0.1"));
  for (const char* focus : {"lstIPs", "cmdAddBan", "cmdClose"}) {
    frmBans* list = d.windows.OpenBanList();
    QVERIFY(QTest::qWaitForWindowActive(list));
    QWidget* control = Child<QWidget>(list, focus);
    control->setFocus();
    QTest::keyClick(control, Qt::Key_Escape);
    QVERIFY2(!d.List(), focus);
  }
  // An open ban editor is not the list: Escape there leaves the list open.
  frmBans* list = d.windows.OpenBanList();
  frmBan* e = d.Add();
  QVERIFY(QTest::qWaitForWindowActive(e));
  QTest::keyClick(Child<QWidget>(e, "txtName"), Qt::Key_Escape);
  QVERIFY(d.List() == list);
}

QTEST_MAIN(TestBanWindows)
#include "test_ban_windows.moc"
