// One rulebook for every way of asking: the ban window, Tarnwick.Operator
// and Tarnwick._clsControl on one registry, each refusing or taking the
// same request as the rules say; and the rulebook's own order of checks.
#include "admin/AdminWindows.h"
#include "admin/frmBan.h"
#include "admin/frmBans.h"
#include "admin/WidgetKit.h"
#include "common/RegistryHarness.h"
#include "common/ScriptedPrompts.h"
#include "console/ControlClient.h"
#include "console/clsControl.h"
#include "core/Operations.h"

#include <QtTest>

namespace {

const QString kOperator = QStringLiteral("Tarnwick.Operator");
const QString kIPTaken = QStringLiteral("The IP specified is already banned.");
const QString kKeep = QStringLiteral("left as passed");


struct Desk {
  RegistryHarness h;
  ScriptedPrompts prompts;
  AdminWindows windows{h.db, *h.registry, prompts, h.calendar};
  clsControl control{*h.registry, h.db, h.console, h.log, [] {}};
  ControlClient client{QStringLiteral("caller")};

  Desk() {
    QString error;
    if (!control.Publish(QDBusConnection::sessionBus(), &error)) qWarning("%s", qPrintable(error));
  }
  // The ban editor's "OK" on a new ban with an empty date box.
  void AddInWindow(const QString& name, const QString& ip) {
    windows.OpenBanList();
    QCoreApplication::processEvents();
    Click(windows.BanList(), "cmdAddBan");
    QCoreApplication::processEvents();
    frmBan* e = windows.BanEditor();
    Type(Child<QLineEdit>(e, "txtName"), name);
    Type(Child<QLineEdit>(e, "txtIP"), ip);
    Type(Child<QLineEdit>(e, "txtUnbanDate"), QString());
    Click(e, "cmdOK");
    QCoreApplication::processEvents();
  }
  int BansOn(const std::string& ip) {
    int n = 0;
    for (const BanRecord& b : h.db.bans().All()) n += b.IP == ip;
    return n;
  }
};

ops::BanFields Fields(const std::string& name, const std::string& ip, int* datesAsked = nullptr) {
  ops::BanFields ban;
  ban.Name = name;
  ban.IP = ip;
  ban.UnbanDate = [datesAsked](const std::optional<QDateTime>& previous) {
    if (datesAsked) ++*datesAsked;
    return previous;
  };
  return ban;
}

}  // namespace

class TestOneRulebook : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase() { QuietOffscreenWarnings(); }
  void sameBanRefusedByWindowAndOperatorTakenByOldInterface();
  void deletingAnOnlineAccount();
  void banChecksInOrder();
  void accountChecks();
  void serverAtAnotherRegistry();
  void textTooLongRefusedAlike();
  void lengthsAreLookedAtLast();
};

void TestOneRulebook::sameBanRefusedByWindowAndOperatorTakenByOldInterface() {
  Desk d;
  d.AddInWindow(QStringLiteral("griefer"), QStringLiteral("10.0.0.7"));
  QVERIFY(d.prompts.Texts().empty());
  QCOMPARE(d.BansOn("10.0.0.7"), 1);

  // Tarnwick.Operator follows the window.
  QCOMPARE(Error(d.client.Call("AddBan", {"other", "10.0.0.7", "", ""}, kOperator)),
           QStringLiteral("Tarnwick.Error.Refused: The IP specified is already banned"));
  QCOMPARE(d.BansOn("10.0.0.7"), 1);
  // Tarnwick._clsControl's CreateBan takes a second ban on one address.
  const QDBusMessage taken = d.client.Call("CreateBan", {"other", "10.0.0.7", 47000.0, "", kKeep});
  QCOMPARE(taken.arguments(), QVariantList{kKeep});
  QCOMPARE(d.BansOn("10.0.0.7"), 2);

  // The window refuses the address however it was banned.
  d.client.Call("CreateBan", {"remote", "10.0.0.8", 47000.0, "", kKeep});
  d.prompts.Clear();
  d.AddInWindow(QStringLiteral("third"), QStringLiteral("10.0.0.8"));
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{kIPTaken});
  QCOMPARE(d.BansOn("10.0.0.8"), 1);
}

// The accounts list and Tarnwick.Operator disconnect the server first;
// Tarnwick._clsControl leaves it online.
void TestOneRulebook::deletingAnOnlineAccount() {
  Desk d;
  auto alpha = d.h.NewServer("alpha");
  auto beta = d.h.NewServer("beta");
  QCOMPARE(d.client.Call("DeleteAccount", {"ALPHA", kKeep}).arguments(), QVariantList{kKeep});
  QVERIFY(!d.h.db.accounts().Seek("alpha"));
  QTest::qWait(50);
  QVERIFY(!alpha->Closed());
  QVERIFY(d.h.SlotOf("alpha") != 0);

  QCOMPARE(d.client.Call("DeleteAccount", {"Beta"}, kOperator).type(), QDBusMessage::ReplyMessage);
  QTRY_VERIFY(beta->Closed());
  QVERIFY(!d.h.db.accounts().Seek("beta"));
  QCOMPARE(Error(d.client.Call("DeleteAccount", {"beta"}, kOperator)),
           QStringLiteral("Tarnwick.Error.Refused: The account specified does not exist"));
}

void TestOneRulebook::banChecksInOrder() {
  RegistryHarness h;
  using ops::Refusal;
  int dates = 0;
  const auto add = [&](const std::string& name, const std::string& ip,
                       ops::SecondBanOnAddress second = ops::SecondBanOnAddress::Refused) {
    return ops::AddBan(h.db, Fields(name, ip, &dates), second);
  };
  QCOMPARE(add("", ""), Refusal::NameMissing);
  QCOMPARE(add("", "10.0.0.1"), Refusal::NameMissing);
  QCOMPARE(add("a", ""), Refusal::IPMissing);
  QCOMPARE(add("a", "10.0.0.1"), Refusal::None);
  // The name before the address; both before the date is asked for.
  QCOMPARE(add("A", "10.0.0.1"), Refusal::NameInUse);
  QCOMPARE(add("b", "10.0.0.1"), Refusal::IPBanned);
  QCOMPARE(dates, 1);
  QCOMPARE(add("b", "10.0.0.1", ops::SecondBanOnAddress::Accepted), Refusal::None);

  // Editing: the window's empty name first, the remote interfaces' IP first.
  QCOMPARE(ops::EditBan(h.db, Fields("", ""), ops::BanNameCheck::First), Refusal::NameMissing);
  QCOMPARE(ops::EditBan(h.db, Fields("", ""), ops::BanNameCheck::NotFound), Refusal::IPMissing);
  QCOMPARE(ops::EditBan(h.db, Fields("", "1.2.3.4"), ops::BanNameCheck::NotFound), Refusal::NoSuchBan);
  // Another ban's address is no objection when editing.
  QCOMPARE(ops::EditBan(h.db, Fields("b", "10.0.0.1"), ops::BanNameCheck::First), Refusal::None);
  QCOMPARE(ops::DeleteBan(h.db, "B"), Refusal::None);
  QCOMPARE(ops::DeleteBan(h.db, "b"), Refusal::NoSuchBan);
  QCOMPARE(ops::DeleteBanOfIP(h.db, "10.0.0.1"), Refusal::None);
  QCOMPARE(ops::DeleteBanOfIP(h.db, "10.0.0.1"), Refusal::NoSuchBan);

  // Every number taken: refused without a date asked for.
  for (int n = 0; n <= 255; ++n) {
    BanRecord ban;
    ban.Number = n;
    ban.Name = "n" + std::to_string(n);
    ban.IP = "10.1.0." + std::to_string(n);
    h.db.bans().Add(ban);
  }
  dates = 0;
  QCOMPARE(add("full", "10.2.0.1"), Refusal::NoBanNumber);
  QCOMPARE(dates, 0);
}

void TestOneRulebook::accountChecks() {
  RegistryHarness h;
  using ops::Refusal;
  ops::AccountFields a;
  a.User = "ab";
  a.Password = "secret";
  a.Confirmation = "other";
  // The rule before the confirmation; the old interface has no rule.
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::AccountRule);
  a.User = "abc";
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::PasswordsDiffer);
  a.Confirmation = "SECRET";
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::None);
  QCOMPARE(*h.db.accounts().Seek("abc")->Password, std::string("secret"));
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::AccountExists);
  a.User = "x y";
  a.Confirmation.reset();
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::AsGiven), Refusal::None);

  // An edit that keeps the password looks at the user name only.
  ops::AccountFields edit;
  edit.User = "ABC";
  edit.Name = "Renamed";
  edit.KeepPassword = true;
  QCOMPARE(ops::EditAccount(h.db, edit, ops::AccountTexts::Checked), Refusal::None);
  QCOMPARE(*h.db.accounts().Seek("abc")->Password, std::string("secret"));
  QCOMPARE(*h.db.accounts().Seek("abc")->Name, std::string("Renamed"));
  edit.User = "nobody";
  QCOMPARE(ops::EditAccount(h.db, edit, ops::AccountTexts::Checked), Refusal::NoSuchAccount);
}

// A server elsewhere is found as a server here is, letter case aside
// (code page 1252's), and the refusal names it as it logged in and the
// registry it is at.
void TestOneRulebook::serverAtAnotherRegistry() {
  std::vector<SharedServer> others(2);
  others[0].user = "Bravo";
  others[0].instance = "b";
  others[1].user = "\xC9cho";
  others[1].instance = "east-2";
  QCOMPARE(ops::FindElsewhere(others, "BRAVO"), &others[0]);
  QCOMPARE(ops::FindElsewhere(others, "\xE9CHO"), &others[1]);
  QCOMPARE(ops::FindElsewhere(others, "brav"), nullptr);
  QCOMPARE(ops::FindElsewhere({}, "bravo"), nullptr);
  QCOMPARE(ops::OnOtherRegistryText(others[1]), std::string("Server \xC9cho is on registry east-2: ask that registry."));

  // Without sharing no server is elsewhere: the refusals stay as they were.
  RegistryHarness h;
  SharedServer where;
  where.user = "untouched";
  QCOMPARE(ops::DisconnectUser(*h.registry, "bravo", &where), ops::Refusal::NotOnline);
  QCOMPARE(ops::AddGod(*h.registry, "bravo", "Ann", &where), ops::Refusal::NotOnline);
  QCOMPARE(ops::SendMessageTo(*h.registry, "bravo", "hi", &where), ops::Refusal::NotOnline);
  QCOMPARE(where.user, std::string("untouched"));
}

// A text longer than its field: the ban window and Tarnwick.Operator refuse
// it in the same words before anything is written, the window with the focus
// on the box; Tarnwick._clsControl leaves it to the store, whose error the
// call fails with.
void TestOneRulebook::textTooLongRefusedAlike() {
  Desk d;
  const QString longIP = QStringLiteral("123.123.123.123.4");  // 17 characters
  d.AddInWindow(QStringLiteral("long"), longIP);
  QCOMPARE(d.prompts.Texts(), std::vector<QString>{"The IP can be at most 15 characters."});
  frmBan* e = d.windows.BanEditor();
  QVERIFY(e && e->isVisible());
  QCOMPARE(e->focusWidget(), Child<QWidget>(e, "txtIP"));
  QCOMPARE(Error(d.client.Call("AddBan", {"long", longIP, "", ""}, kOperator)),
           QStringLiteral("Tarnwick.Error.Refused: The IP can be at most 15 characters."));
  QVERIFY(Error(d.client.Call("CreateBan", {"long", longIP, 47000.0, "", kKeep}))
              .startsWith("Tarnwick.Error.Database: "));
  QVERIFY(d.h.db.bans().Empty());
  // At the limit it is taken.
  QCOMPARE(d.client.Call("AddBan", {"long", "123.123.123.123", "", ""}, kOperator).type(),
           QDBusMessage::ReplyMessage);
  QCOMPARE(Error(d.client.Call("EditBan", {"long", "1.1.1.1", "", QString(256, 'r')}, kOperator)),
           QStringLiteral("Tarnwick.Error.Refused: The Reason can be at most 255 characters."));
  QCOMPARE(*d.h.db.bans().FindByName("long")->IP, std::string("123.123.123.123"));

  const QVariantList account{"alpha", "secret", QString(51, 'n'), "", "", Y(1)};
  QCOMPARE(Error(d.client.Call("CreateAccount", account, kOperator)),
           QStringLiteral("Tarnwick.Error.Refused: The Name can be at most 50 characters."));
  QVERIFY(Error(d.client.Call("CreateAccount", account + QVariantList{kKeep}))
              .startsWith("Tarnwick.Error.Database: "));
  QCOMPARE(d.h.db.accounts().Count(), 0);
}

void TestOneRulebook::lengthsAreLookedAtLast() {
  RegistryHarness h;
  using ops::Refusal;
  const std::string ip16(16, '1'), name16(16, 'n');
  int dates = 0;
  QCOMPARE(ops::AddBan(h.db, Fields("a", "10.0.0.1"), ops::SecondBanOnAddress::Refused), Refusal::None);
  // Every other check first; the lengths once the date has been asked for,
  // in the order of the columns.
  QCOMPARE(ops::AddBan(h.db, Fields(name16, "10.0.0.1", &dates), ops::SecondBanOnAddress::Refused),
           Refusal::IPBanned);
  QCOMPARE(dates, 0);
  QCOMPARE(ops::AddBan(h.db, Fields(name16, ip16, &dates), ops::SecondBanOnAddress::Refused),
           Refusal::BanNameTooLong);
  QCOMPARE(dates, 1);
  QCOMPARE(ops::AddBan(h.db, Fields("b", ip16), ops::SecondBanOnAddress::Refused), Refusal::IPTooLong);
  QCOMPARE(ops::EditBan(h.db, Fields("nobody", ip16), ops::BanNameCheck::First), Refusal::NoSuchBan);
  QCOMPARE(ops::EditBan(h.db, Fields("a", ip16), ops::BanNameCheck::First), Refusal::IPTooLong);
  QCOMPARE(h.db.bans().Count(), 1);
  QCOMPARE(*h.db.bans().FindByName("a")->IP, std::string("10.0.0.1"));

  ops::AccountFields a;
  a.User = "abc";
  a.Password = "secret";
  a.Name = std::string(50, 'n');
  a.UpdateURL = std::string(256, 'u');
  a.Description = std::string(256, 'd');
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::DescriptionTooLong);
  // The limit is the field's size, not one less.
  a.Description = std::string(255, 'd');
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::UpdateURLTooLong);
  a.UpdateURL.clear();
  // No rule for the old interface, but the field still holds 15.
  a.User = std::string(16, 'u');
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::AsGiven), Refusal::UserTooLong);
  a.User = "abc";
  QCOMPARE(ops::CreateAccount(h.db, a, ops::AccountTexts::Checked), Refusal::None);
  QVERIFY(h.db.accounts().Seek("abc"));
  a.Name += "n";
  QCOMPARE(ops::EditAccount(h.db, a, ops::AccountTexts::Checked), Refusal::ServerNameTooLong);
  // An account that is gone is reported as gone.
  a.User = "gone";
  QCOMPARE(ops::EditAccount(h.db, a, ops::AccountTexts::Checked), Refusal::NoSuchAccount);
  QCOMPARE(*h.db.accounts().Seek("abc")->Name, std::string(50, 'n'));
  QCOMPARE(ops::Describe(Refusal::PasswordTooLong), std::string("The Password can be at most 15 characters."));
}

QTEST_MAIN(TestOneRulebook)
#include "test_one_rulebook.moc"
