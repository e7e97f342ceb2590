// The accounts list and the account editor as the operator uses them: the
// account rule and its notices, new and edit mode, the list's order and
// buttons, and deleting an account whose game server is online.
#include "admin/AdminWindows.h"
#include "admin/LimitedTextEdit.h"
#include "admin/frmAccount.h"
#include "admin/frmAccounts.h"
#include "common/RegistryHarness.h"
#include "common/ScriptedPrompts.h"
#include "WidgetKit.h"

#include <QCheckBox>
#include <QLabel>
#include <QtTest>

namespace {

const QString kRule = QStringLiteral(
    "User name and password must be between 3 and 15 characters long, must start with a letter, "
    "and may only contain letters, numbers, and the underscore character.");
const QString kMismatch = QStringLiteral("The two passwords entered do not match!");
const QString kExists = QStringLiteral("An account by that name already exists!");

AccountRecord Account(const std::string& user, const std::string& password, int official = 1) {
  AccountRecord a;
  a.User = user;
  a.Password = password;
  a.Name = user + " server";
  a.Description = "";
  a.UpdateURL = "";
  a.Official = official;
  return a;
}

struct Desk {
  RegistryHarness h;
  ScriptedPrompts prompts;
  AdminWindows windows{h.db, *h.registry, prompts, h.calendar};

  frmAccounts* OpenList() { return windows.OpenAccounts(nullptr); }
  QListWidget* List() { return Child<QListWidget>(windows.Accounts(), "lstAccounts"); }
  // The editor the list opened last, if it is still open.
  frmAccount* Editor() {
    Flush();
    return windows.Accounts() ? windows.Accounts()->findChild<frmAccount*>() : nullptr;
  }
  frmAccount* OpenNew() {
    Click(windows.Accounts(), "btnNew");
    return Editor();
  }
  frmAccount* OpenEdit(const QString& user) {
    Pick(List(), user);
    Click(windows.Accounts(), "btnEdit");
    return Editor();
  }
  void Fill(frmAccount* e, const QString& user, const QString& p1, const QString& p2) {
    Type(Child<QLineEdit>(e, "txtUser"), user);
    Type(Child<QLineEdit>(e, "txtPassword1"), p1);
    Type(Child<QLineEdit>(e, "txtPassword2"), p2);
  }
};

}  // namespace

class TestAccountWindows : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QuietOffscreenWarnings(); }
  void emptyListAndLayout();
  void newAccountStoresWhatWasTyped();
  void accountRuleShowsOneNotice();
  void passwordsConfirmIgnoringCase();
  void duplicateNameInAnyCase();
  void boxesRefuseExtraCharacters();
  void editModeKeepsUserAndWritesBack();
  void editModeStoredPasswordMustPassRule();
  void listOrderAndButtons();
  void accentedAccountsInTheList();
  void deleteDisconnectsOnlineServers();
  void vanishedAccountsRefillTheList();
  void refusedSaveKeepsEditorOpen();
  void textLongerThanItsColumnIsRefused();
};

void TestAccountWindows::emptyListAndLayout() {
  Desk d;
  frmAccounts* list = d.OpenList();
  QVERIFY(list->isVisible());
  QCOMPARE(list->windowTitle(), QStringLiteral("Accounts List"));
  QCOMPARE(d.List()->count(), 0);
  QVERIFY(!Child<QPushButton>(list, "btnEdit")->isEnabled());
  QVERIFY(!Child<QPushButton>(list, "btnDelete")->isEnabled());
  QVERIFY(Child<QPushButton>(list, "btnNew")->isEnabled());
  QVERIFY(Child<QPushButton>(list, "btnOk")->isEnabled());
  QVERIFY(Child<QPushButton>(list, "btnEdit")->font().bold());
  QCOMPARE(Child<QPushButton>(list, "btnNew")->text(), QStringLiteral("Add New"));
  QCOMPARE(Child<QPushButton>(list, "btnOk")->text(), QStringLiteral("Close"));
  const QStringList listOrder{"lstAccounts", "btnDelete", "btnOk", "btnNew", "btnEdit"};
  QCOMPARE(TabOrder(d.List(), listOrder), listOrder);

  frmAccount* editor = d.OpenNew();
  QVERIFY(editor && editor->isVisible());
  QCOMPARE(editor->windowTitle(), QStringLiteral("Add Server Account"));
  QVERIFY(editor->isModal());
  const QStringList editorOrder{"txtUser", "txtPassword1", "txtPassword2", "txtName", "txtDescription",
                                "txtUpdateURL", "chkOfficial", "btnCancel", "btnOk"};
  QCOMPARE(TabOrder(Child<QWidget>(editor, "txtUser"), editorOrder), editorOrder);
  QCOMPARE(Child<QLabel>(editor, "lblPassword2")->text(), QStringLiteral("Password Again:"));
  QCOMPARE(Child<QLabel>(editor, "lblUpdateURL")->text(), QStringLiteral("Update URL:"));
  QCOMPARE(Child<QLineEdit>(editor, "txtPassword1")->echoMode(), QLineEdit::Password);
  QCOMPARE(Child<QLineEdit>(editor, "txtPassword2")->echoMode(), QLineEdit::Password);
  for (const char* box : {"txtPassword1", "txtPassword2"}) {
    auto* password = Child<QLineEdit>(editor, box);
    QCOMPARE(password->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, password),
             int('*'));
  }

  // "Close" writes nothing and the list goes.
  Click(editor, "btnCancel");
  Click(list, "btnOk");
  Flush();
  QVERIFY(!d.windows.Accounts());
  QCOMPARE(d.h.db.accounts().Count(), 0);
}

void TestAccountWindows::newAccountStoresWhatWasTyped() {
  Desk d;
  d.OpenList();
  frmAccount* e = d.OpenNew();
  QVERIFY(Child<QCheckBox>(e, "chkOfficial")->isChecked());
  QVERIFY(Child<QLineEdit>(e, "txtUser")->isEnabled());
  // A name that begins with a digit passes; empty name, description and
  // update URL are stored as empty texts.
  d.Fill(e, "1st_Srv", "Secret_1", "Secret_1");
  Click(e, "btnOk");
  QVERIFY(d.prompts.calls.empty());
  QVERIFY(!d.Editor());
  QCOMPARE(Lines(d.List()), QStringList{"1st_Srv"});
  const auto a = d.h.db.accounts().Seek("1st_srv");
  QVERIFY(a);
  QCOMPARE(*a->User, std::string("1st_Srv"));
  QCOMPARE(*a->Password, std::string("Secret_1"));
  QCOMPARE(*a->Name, std::string());
  QCOMPARE(*a->Description, std::string());
  QCOMPARE(*a->UpdateURL, std::string());
  QCOMPARE(*a->Official, 1);

  // Every field as typed, the official box cleared; several description
  // lines.
  e = d.OpenNew();
  d.Fill(e, "_under", "pw_123", "pw_123");
  Type(Child<QLineEdit>(e, "txtName"), QStringLiteral("  Castle Grim "));
  Type(Child<QPlainTextEdit>(e, "txtDescription"), QStringLiteral("Two\nlines"));
  Type(Child<QLineEdit>(e, "txtUpdateURL"), QStringLiteral("http://example.org/up"));
  Child<QCheckBox>(e, "chkOfficial")->setChecked(false);
  Click(e, "btnOk");
  QVERIFY(!d.Editor());
  QCOMPARE(Lines(d.List()), (QStringList{"1st_Srv", "_under"}));
  const auto b = d.h.db.accounts().Seek("_under");
  QCOMPARE(*b->Name, std::string("  Castle Grim "));
  QCOMPARE(*b->Description, std::string("Two\nlines"));
  QCOMPARE(*b->UpdateURL, std::string("http://example.org/up"));
  QCOMPARE(*b->Official, 0);
}

void TestAccountWindows::accountRuleShowsOneNotice() {
  Desk d;
  d.OpenList();
  frmAccount* e = d.OpenNew();
  const struct {
    const char* user;
    const char* p1;
    const char* p2;
  } refused[] = {
      {"ab", "secret", "secret"},       // user too short
      {"abc", "ab", "xy"},              // password too short, confirmation differs too
      {"abc", "", ""},                  // empty password
      {"ab c", "secret", "secret"},     // space
      {"ab-c", "secret", "secret"},     // hyphen
      {"abc", "s\u00e9cret", "s\u00e9cret"},  // accented letter
  };
  for (const auto& r : refused) {
    d.prompts.Clear();
    d.Fill(e, QString::fromUtf8(r.user), QString::fromUtf8(r.p1), QString::fromUtf8(r.p2));
    Click(e, "btnOk");
    QCOMPARE(d.prompts.Texts(), std::vector<QString>{kRule});
    QCOMPARE(d.prompts.calls.front().title, QStringLiteral("The Velkarin Server Registry"));
    QVERIFY(e->isVisible());
    QCOMPARE(Child<QLineEdit>(e, "txtUser")->text(), QString::fromUtf8(r.user));
  }
  QCOMPARE(d.h.db.accounts().Count(), 0);

  d.prompts.Clear();
  d.Fill(e, "abc", "xyz", "xyz");
  Click(e, "btnOk");
  QVERIFY(d.prompts.calls.empty());
  QVERIFY(d.h.db.accounts().Seek("abc"));
}

void TestAccountWindows::passwordsConfirmIgnoringCase() {
  Desk d;
  d.OpenList();
  frmAccount* e = d.OpenNew();
  d.Fill(e, "gamma", "Secret1", "Secret2");
  Click(e, "btnOk");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kMismatch});
  QVERIFY(e->isVisible());

  d.prompts.Clear();
  Type(Child<QLineEdit>(e, "txtPassword2"), QStringLiteral("sECRET1"));
  Click(e, "btnOk");
  QVERIFY(d.prompts.calls.empty());
  QCOMPARE(*d.h.db.accounts().Seek("gamma")->Password, std::string("Secret1"));
}

void TestAccountWindows::duplicateNameInAnyCase() {
  Desk d;
  d.h.db.accounts().Add(Account("Alpha", "secret"));
  d.OpenList();
  frmAccount* e = d.OpenNew();
  d.Fill(e, "ALPHA", "other1", "other1");
  Click(e, "btnOk");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kExists});
  QVERIFY(e->isVisible());
  QCOMPARE(d.h.db.accounts().Count(), 1);
  QCOMPARE(*d.h.db.accounts().Seek("alpha")->Password, std::string("secret"));
}

void TestAccountWindows::boxesRefuseExtraCharacters() {
  Desk d;
  d.OpenList();
  frmAccount* e = d.OpenNew();
  const QString sixteen(16, QLatin1Char('a'));
  for (const char* name : {"txtUser", "txtPassword1", "txtPassword2"}) {
    auto* box = Child<QLineEdit>(e, name);
    Type(box, sixteen);
    QCOMPARE(box->text().size(), 15);
  }
  auto* name = Child<QLineEdit>(e, "txtName");
  Type(name, QString(51, QLatin1Char('n')));
  QCOMPARE(name->text().size(), 50);
  QCOMPARE(Child<QLineEdit>(e, "txtUpdateURL")->maxLength(), 255);
  // The description box takes 50 typed characters, wherever they go.
  auto* description = Child<QPlainTextEdit>(e, "txtDescription");
  Type(description, QString(48, QLatin1Char('d')));
  description->moveCursor(QTextCursor::Start);
  QTest::keyClicks(description, QStringLiteral("XYZ"));
  QCOMPARE(description->toPlainText(), QStringLiteral("XY") + QString(48, QLatin1Char('d')));
  description->moveCursor(QTextCursor::End);
  QTest::keyClick(description, Qt::Key_Backspace);
  description->insertPlainText(QStringLiteral("pasted"));
  QCOMPARE(description->toPlainText().size(), 50);
  QVERIFY(description->toPlainText().endsWith(QLatin1Char('p')));
}

void TestAccountWindows::editModeKeepsUserAndWritesBack() {
  Desk d;
  // A description longer than the box lets one type, with a line break sent
  // by a game server, stays as it was unless the operator edits it.
  const std::string longDescription = std::string(100, 'x') + "\r\n" + std::string(100, 'y');
  AccountRecord bravo = Account("Bravo", "Old_pw", 0);
  bravo.Description = longDescription;
  bravo.UpdateURL = "http://up/";
  d.h.db.accounts().Add(bravo);
  auto server = d.h.LoginServer("bravo", "old_pw");
  QVERIFY(d.h.SlotOf("bravo"));
  d.OpenList();

  frmAccount* e = d.OpenEdit("Bravo");
  QVERIFY(e);
  QCOMPARE(e->windowTitle(), QStringLiteral("Add Server Account"));
  auto* user = Child<QLineEdit>(e, "txtUser");
  QCOMPARE(user->text(), QStringLiteral("Bravo"));
  QVERIFY(!user->isEnabled());
  QCOMPARE(Child<QLineEdit>(e, "txtPassword1")->text(), QStringLiteral("Old_pw"));
  QCOMPARE(Child<QLineEdit>(e, "txtPassword2")->text(), QStringLiteral("Old_pw"));
  QCOMPARE(Child<QLineEdit>(e, "txtName")->text(), QStringLiteral("Bravo server"));
  QCOMPARE(Child<QLineEdit>(e, "txtUpdateURL")->text(), QStringLiteral("http://up/"));
  QVERIFY(!Child<QCheckBox>(e, "chkOfficial")->isChecked());
  Type(Child<QLineEdit>(e, "txtName"), QStringLiteral("New name"));
  Click(e, "btnOk");
  QVERIFY(d.prompts.calls.empty());
  QVERIFY(!d.Editor());
  auto stored = d.h.db.accounts().Seek("bravo");
  QCOMPARE(*stored->User, std::string("Bravo"));
  QCOMPARE(*stored->Password, std::string("Old_pw"));
  QCOMPARE(*stored->Name, std::string("New name"));
  QCOMPARE(*stored->Description, longDescription);
  QCOMPARE(*stored->UpdateURL, std::string("http://up/"));
  QCOMPARE(*stored->Official, 0);
  // The editor leaves the connections alone.
  QVERIFY(d.h.SlotOf("bravo"));
  QVERIFY(!server->Closed());
  // After the editor the list is refilled: nothing selected, buttons off.
  QVERIFY(d.List()->selectedItems().isEmpty());
  QVERIFY(!Child<QPushButton>(d.windows.Accounts(), "btnEdit")->isEnabled());

  // Any official value but 0 shows checked and is saved as 1; a description
  // the operator shortens is stored as shortened.
  d.h.db.accounts().Edit(Account("Bravo", "Old_pw", 7));
  e = d.OpenEdit("Bravo");
  QVERIFY(Child<QCheckBox>(e, "chkOfficial")->isChecked());
  Type(Child<QPlainTextEdit>(e, "txtDescription"), QStringLiteral("short"));
  Click(e, "btnOk");
  stored = d.h.db.accounts().Seek("bravo");
  QCOMPARE(*stored->Official, 1);
  QCOMPARE(*stored->Description, std::string("short"));

  // "Cancel" writes nothing and refills the list.
  e = d.OpenEdit("Bravo");
  Type(Child<QLineEdit>(e, "txtName"), QStringLiteral("Not saved"));
  Click(e, "btnCancel");
  QVERIFY(!d.Editor());
  QCOMPARE(*d.h.db.accounts().Seek("bravo")->Name, std::string("Bravo server"));
  QVERIFY(d.List()->selectedItems().isEmpty());
  QVERIFY(!Child<QPushButton>(d.windows.Accounts(), "btnDelete")->isEnabled());
}

void TestAccountWindows::editModeStoredPasswordMustPassRule() {
  Desk d;
  // Game servers may create accounts with an empty password.
  d.h.db.accounts().Add(Account("wired", ""));
  d.OpenList();
  frmAccount* e = d.OpenEdit("wired");
  Click(e, "btnOk");
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kRule});
  Type(Child<QLineEdit>(e, "txtPassword1"), QStringLiteral("fresh1"));
  Type(Child<QLineEdit>(e, "txtPassword2"), QStringLiteral("FRESH1"));
  Click(e, "btnOk");
  QCOMPARE(d.prompts.calls.size(), std::size_t(1));
  QCOMPARE(*d.h.db.accounts().Seek("wired")->Password, std::string("fresh1"));
}

void TestAccountWindows::listOrderAndButtons() {
  Desk d;
  for (const char* user : {"Charlie", "alpha", "Bravo", "delta"}) d.h.db.accounts().Add(Account(user, "secret"));
  d.OpenList();
  QCOMPARE(Lines(d.List()), (QStringList{"alpha", "Bravo", "Charlie", "delta"}));
  auto* edit = Child<QPushButton>(d.windows.Accounts(), "btnEdit");
  auto* del = Child<QPushButton>(d.windows.Accounts(), "btnDelete");
  QVERIFY(!edit->isEnabled());
  // The keyboard selects as well as the mouse.
  d.List()->setFocus();
  QTest::keyClick(d.List(), Qt::Key_Down);
  QVERIFY(!d.List()->selectedItems().isEmpty());
  QVERIFY(edit->isEnabled() && del->isEnabled());

  // A double-click selects the line and opens the editor for it.
  d.windows.Accounts()->ListAccounts();
  QVERIFY(!edit->isEnabled());
  DoubleClick(d.List(), "Charlie");
  frmAccount* e = d.Editor();
  QVERIFY(e && e->IsEditMode());
  QCOMPARE(Child<QLineEdit>(e, "txtUser")->text(), QStringLiteral("Charlie"));
  Click(e, "btnCancel");
  QVERIFY(!d.Editor());
}

// Accounts made through the remote control may hold letters above 127: é
// and É sort as one letter, and deleting one ends the server logged in
// under the name in the other case.
void TestAccountWindows::accentedAccountsInTheList() {
  Desk d;
  for (const char* user : {"\xC9va", "zed", "\xE9t\xE9"}) d.h.db.accounts().Add(Account(user, "secret"));
  auto eva = d.h.LoginServer("\xC9VA", "secret");  // ÉVA
  QVERIFY(d.h.SlotOf("\xC9VA"));
  d.OpenList();
  QCOMPARE(Lines(d.List()), (QStringList{"zed", QString::fromUtf8("été"), QString::fromUtf8("Éva")}));
  Pick(d.List(), QString::fromUtf8("Éva"));
  Click(d.windows.Accounts(), "btnDelete");
  QTRY_VERIFY(eva->Closed());
  QVERIFY(!d.h.db.accounts().Seek("\xE9va"));
  QCOMPARE(Lines(d.List()), (QStringList{"zed", QString::fromUtf8("été")}));
  QVERIFY(d.prompts.calls.empty());
}

void TestAccountWindows::deleteDisconnectsOnlineServers() {
  Desk d;
  auto alpha = d.h.NewServer("alpha");
  auto bravo = d.h.NewServer("bravo");
  d.h.db.accounts().Add(Account("charlie", "secret"));
  d.h.db.accounts().Add(Account("Delta", "secret"));
  // Logged in with the name in another letter case than the account's.
  auto delta = d.h.LoginServer("DELTA", "secret");
  QVERIFY(d.h.SlotOf("DELTA"));
  // A connection that never logged in has no user name and stays.
  auto player = d.h.Connect();
  d.OpenList();
  QCOMPARE(Lines(d.List()), (QStringList{"alpha", "bravo", "charlie", "Delta"}));

  Pick(d.List(), "Delta");
  Click(d.windows.Accounts(), "btnDelete");
  QTRY_VERIFY(delta->Closed());
  QVERIFY(!d.h.SlotOf("DELTA"));
  QCOMPARE(d.h.log.lines.back(), std::string("DELTA has disconnected from 127.0.0.1"));
  QCOMPARE(d.h.console.ServerLines(), (std::vector<std::string>{"alpha", "bravo"}));
  QVERIFY(!d.h.db.accounts().Seek("delta"));
  QCOMPARE(Lines(d.List()), (QStringList{"alpha", "bravo", "charlie"}));
  QVERIFY(!Child<QPushButton>(d.windows.Accounts(), "btnEdit")->isEnabled());
  QVERIFY(!Child<QPushButton>(d.windows.Accounts(), "btnDelete")->isEnabled());
  // The server cannot come back with the deleted account.
  auto again = d.h.Connect();
  again->SendPacket(Bytes({1}) + AccountPayload("Delta", "secret"));
  QTRY_VERIFY(again->Closed());

  // An account no server uses: only the record and its line go.
  const std::size_t logLines = d.h.log.lines.size();
  Pick(d.List(), "charlie");
  Click(d.windows.Accounts(), "btnDelete");
  QCOMPARE(Lines(d.List()), (QStringList{"alpha", "bravo"}));
  QCOMPARE(d.h.log.lines.size(), logLines);
  QTest::qWait(50);
  QVERIFY(!alpha->Closed() && !bravo->Closed() && !player->Closed());
  QVERIFY(d.prompts.calls.empty());
}

void TestAccountWindows::vanishedAccountsRefillTheList() {
  Desk d;
  for (const char* user : {"alpha", "bravo", "charlie"}) d.h.db.accounts().Add(Account(user, "secret"));
  d.OpenList();

  // "Edit" on a line whose account went elsewhere.
  d.h.db.accounts().Delete("alpha");
  Pick(d.List(), "alpha");
  Click(d.windows.Accounts(), "btnEdit");
  QVERIFY(!d.Editor());
  QCOMPARE(d.prompts.Notices().size(), std::size_t(1));
  QCOMPARE(Lines(d.List()), (QStringList{"bravo", "charlie"}));

  // The account goes while its editor is open: nothing is created again.
  d.prompts.Clear();
  frmAccount* e = d.OpenEdit("bravo");
  d.h.db.accounts().Delete("bravo");
  Type(Child<QLineEdit>(e, "txtName"), QStringLiteral("Changed"));
  Click(e, "btnOk");
  QCOMPARE(d.prompts.Notices().size(), std::size_t(1));
  QCOMPARE(d.prompts.calls.front().title, QStringLiteral("The Velkarin Server Registry"));
  QVERIFY(!d.Editor());
  QVERIFY(!d.h.db.accounts().Seek("bravo"));
  QCOMPARE(Lines(d.List()), QStringList{"charlie"});

  // "Delete" on a stale line.
  d.prompts.Clear();
  d.h.db.accounts().Add(Account("echo", "secret"));
  d.h.db.accounts().Delete("charlie");
  Pick(d.List(), "charlie");
  Click(d.windows.Accounts(), "btnDelete");
  QCOMPARE(d.prompts.Notices().size(), std::size_t(1));
  QCOMPARE(Lines(d.List()), QStringList{"echo"});
  QVERIFY(d.h.db.accounts().Seek("echo"));
}

void TestAccountWindows::refusedSaveKeepsEditorOpen() {
  Desk d;
  d.OpenList();
  RefuseInserts(d.h.dir.filePath("zvlt.dat"), "Servers");
  frmAccount* e = d.OpenNew();
  d.Fill(e, "hotel", "secret", "secret");
  Click(e, "btnOk");
  QCOMPARE(d.prompts.Notices().size(), std::size_t(1));
  QVERIFY(d.prompts.Notices().front().startsWith(QStringLiteral("The account could not be saved: ")));
  QVERIFY(d.Editor() == e && e->isVisible());
  QCOMPARE(Child<QLineEdit>(e, "txtUser")->text(), QStringLiteral("hotel"));
  QCOMPARE(d.h.db.accounts().Count(), 0);
}

// A text that gets into a box longer than its column can hold (the
// description box takes a long text the program puts in) is refused with
// the field and its limit; nothing is stored and the text stays.
void TestAccountWindows::textLongerThanItsColumnIsRefused() {
  Desk d;
  d.OpenList();
  frmAccount* e = d.OpenNew();
  d.Fill(e, "india", "secret", "secret");
  auto* description = Child<LimitedTextEdit>(e, "txtDescription");
  const QString tooLong(256, QLatin1Char('d'));
  description->SetText(tooLong);
  Click(e, "btnOk");
  QCOMPARE(d.prompts.TakeCalls(),
           (std::vector<PromptCall>{{PromptCall::Notice, "The Description can be at most 255 characters.",
                                     "The Velkarin Server Registry"}}));
  QVERIFY(d.Editor() == e && e->isVisible());
  QCOMPARE(description->Text(), tooLong);
  QCOMPARE(e->focusWidget(), static_cast<QWidget*>(description));
  QCOMPARE(d.h.db.accounts().Count(), 0);
  // At the limit it is stored whole.
  description->SetText(QString(255, QLatin1Char('d')));
  Click(e, "btnOk");
  QVERIFY(d.prompts.calls.empty());
  QCOMPARE(*d.h.db.accounts().Seek("india")->Description, std::string(255, 'd'));
}

QTEST_MAIN(TestAccountWindows)
#include "test_account_windows.moc"
