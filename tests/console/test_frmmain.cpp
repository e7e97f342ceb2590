// The main window driven as the operator drives it: through its controls'
// object names, with real loopback game servers behind the list.
#include "ConsoleHarness.h"
#include "console/Twips.h"
#include "console/frmInfo.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const kServerView[] = {"lstServers", "Label1", "Frame1", "lblStatus"};
const char* const kEventView[] = {"lstOutput", "txtInput"};

bool Shown(frmMain& w, const char* name) { return w.findChild<QWidget*>(name)->isVisibleTo(&w); }

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  f.open(QIODevice::ReadOnly);
  return f.readAll();
}

}  // namespace

class TestFrmMain : public QObject {
  Q_OBJECT
 private slots:
  void controlsMenusAndLayout();
  void twipsAtFactorOne();
  void controlsUseTheMenuBarsFace();
  void captionsAndValuesKeepOneGap();
  void longValuesEndWithEllipsisAndTooltip();
  void mainWindowIsOfFixedSize();
  void windowsOpenBesideTheMainWindow();
  void viewsSwitchWithoutChangingContent();
  void serverListFollowsConnections();
  void selectionFillsLabelsAndFollowsPlayerCount();
  void descriptionLabel();
  void rightClickSelectsAndOpensMenu();
  void doubleClickWritesTempTxt();
  void viewInformationReusesWindow();
  void allowNewAccountsCheckMark();
  void eventLogKeepsNewestSelected();
  void closeAsksBeforeStopping();
  void menuItemsLeadingElsewhere();
};

void TestFrmMain::controlsMenusAndLayout() {
  ConsoleHarness c;
  frmMain& w = c.window;
  QCOMPARE(w.windowTitle(), QString("Velkarin Server Registry"));
  QVERIFY(QFile::exists(":/tarnwick/tarnwick.png"));
  QVERIFY(!w.windowIcon().isNull());
  // The twip layout, scaled to the window's face (at factor 1, 15 twips to
  // the pixel).
  const TwipScale& s = w.Layout();
  QVERIFY(s.Factor() >= 1.0);
  QCOMPARE(w.centralWidget()->size(), QSize(s.Px(6060), s.Px(2175)));
  const std::pair<const char*, QRect> layout[] = {
      {"Label1", s.Rect(120, 0, 1575, 255)},     {"lstServers", s.Rect(120, 240, 1815, 1425)},
      {"lblStatus", s.Rect(240, 1800, 1815, 255)}, {"Frame1", s.Rect(2160, 0, 3855, 1815)},
      {"lstOutput", s.Rect(0, 0, 6015, 1815)},    {"txtInput", s.Rect(0, 1850, 6015, 285)},
      {"lblDesc", s.Rect(1080, 1440, 1935, 255)},
  };
  for (const auto& [name, rect] : layout) {
    QWidget* control = w.findChild<QWidget*>(name);
    QVERIFY2(control, name);
    QCOMPARE(control->geometry(), rect);
  }
  // The captions of the frame at its left, one below the other; each value
  // on its caption's line, reaching to the frame's margin.
  const std::pair<const char*, const char*> lines[] = {
      {"Label3", "lblID"}, {"Label4", "lblName"}, {"Label6", "lblIP"},
      {"Label7", "lblCount"}, {"Label9", "lblOfficial"}};
  int top = 240;
  for (const auto& [caption, value] : lines) {
    const QRect c = w.findChild<QWidget*>(caption)->geometry();
    const QRect v = w.findChild<QWidget*>(value)->geometry();
    QCOMPARE(c.topLeft(), QPoint(s.Px(120), s.Px(top)));
    QCOMPARE(c.height(), s.Px(255));
    QCOMPARE(v.top(), c.top());
    QCOMPARE(v.height(), c.height());
    QCOMPARE(v.right() + 1, s.Px(3735));
    top += 240;
  }
  QCOMPARE(w.findChild<QGroupBox*>("Frame1")->title(), QString("Selected Server Information:"));
  const std::pair<const char*, const char*> texts[] = {
      {"Label1", "Servers Connected:"}, {"lblStatus", "Accesses/Hour = 0"}, {"Label3", "Server ID:"},
      {"Label4", "Server Name:"}, {"Label6", "IP:"}, {"Label7", "Player Count:"},
      {"Label9", "Official:"}, {"lblOfficial", "No"}, {"lblDesc", "Click here for description"},
      {"lblID", ""}, {"lblName", ""}, {"lblIP", ""}, {"lblCount", ""}};
  for (const auto& [name, text] : texts) QCOMPARE(w.findChild<QLabel*>(name)->text(), QString(text));

  // The menu bar, in order; the server menu is only the list's context menu.
  QStringList bar;
  for (QAction* a : w.menuBar()->actions()) bar << a->text();
  QCOMPARE(bar, (QStringList{"&File", "&Accounts", "&Bans", "&Views"}));
  const std::pair<const char*, QStringList> menus[] = {
      {"mnuFile", {"mnuOptions", "&Options", "mnuServerMessage", "&Server Message", "mnuFileExit", "E&xit"}},
      {"mnuAccounts", {"mnuAccountsNew", "&Allow New Accounts", "mnuAccountsEdit", "&Edit"}},
      {"mnuServer", {"mnuServerAddGod", "&Add God", "mnuSendMessage", "&Send Message",
                     "mnuViewInformation", "&View Information", "mnuServerDisconnect", "&Disconnect"}},
      {"mnuBans", {"mnuEditBanList", "&Edit Ban List"}},
      {"mnuViews", {"mnuServerView", "&Server View", "mnuEventView", "&Event View"}},
  };
  for (const auto& [menuName, items] : menus) {
    QMenu* menu = w.findChild<QMenu*>(menuName);
    QVERIFY2(menu, menuName);
    QStringList found;
    for (QAction* a : menu->actions()) found << a->objectName() << a->text();
    QCOMPARE(found, items);
  }
  QCOMPARE(w.mnuServer->title(), QString("&Server"));
  QVERIFY(!w.menuBar()->actions().contains(w.mnuServer->menuAction()));
  QVERIFY(w.findChild<QAction*>("mnuAccountsNew")->isCheckable());

  // Loaded in the event view.
  for (const char* name : kEventView) QVERIFY(Shown(w, name));
  for (const char* name : kServerView) QVERIFY(!Shown(w, name));
}

// At factor 1 the layout is the drawn one at 15 twips to the pixel.
void TestFrmMain::twipsAtFactorOne() {
  const TwipScale one;
  QCOMPARE(QSize(one.Px(6060), one.Px(2175)), QSize(404, 145));
  const std::pair<QRect, QRect> drawn[] = {
      {one.Rect(120, 0, 1575, 255), {8, 0, 105, 17}},
      {one.Rect(120, 240, 1815, 1425), {8, 16, 121, 95}},
      {one.Rect(240, 1800, 1815, 255), {16, 120, 121, 17}},
      {one.Rect(2160, 0, 3855, 1815), {144, 0, 257, 121}},
      {one.Rect(0, 0, 6015, 1815), {0, 0, 401, 121}},
      {one.Rect(0, 1850, 6015, 285), {0, 123, 401, 19}},
      {one.Rect(960, 240, 1455, 255), {64, 16, 97, 17}},
      {one.Rect(1200, 480, 2535, 255), {80, 32, 169, 17}},
      {one.Rect(360, 720, 2055, 255), {24, 48, 137, 17}},
      {one.Rect(1080, 960, 1575, 255), {72, 64, 105, 17}},
      {one.Rect(720, 1200, 735, 255), {48, 80, 49, 17}},
      {one.Rect(1080, 1440, 1935, 255), {72, 96, 129, 17}},
  };
  for (const auto& [rect, pixels] : drawn) QCOMPARE(rect, pixels);
  for (int twips = 0; twips < 20000; ++twips) QCOMPARE(one.Px(twips), TwipsToPixels(twips));
  // A face that fits at 1 keeps 1; one twice as wide as a caption's room
  // doubles the layout.
  QFont font = QApplication::font();
  const int wide = QFontMetrics(font).horizontalAdvance("Server ID:");
  QCOMPARE(TwipScale::ToFit(font, {{"Server ID:", wide * 15 * 2}}, {}).Factor(), 1.0);
  const TwipScale doubled = TwipScale::ToFit(font, {{"Server ID:", wide * 15 / 2}}, {});
  QVERIFY(doubled.Factor() >= 2.0 && doubled.Factor() < 2.1);
  const int line = QFontMetrics(font).height();
  const TwipScale tall = TwipScale::ToFit(font, {}, {{line * 15 / 3, 0}});
  QVERIFY(tall.Factor() >= 3.0 && tall.Factor() < 3.1);
}

// The window shows the menu bar's face at its own size, and the layout
// grows until every caption fits, no further.
void TestFrmMain::controlsUseTheMenuBarsFace() {
  ConsoleHarness c;
  const QFont menu = c.window.menuBar()->font();
  const QFont used = c.window.idCaption->font();
  QCOMPARE(used.family(), menu.family());
  QCOMPARE(used.weight(), menu.weight());
  QCOMPARE(used.stretch(), menu.stretch());
  QCOMPARE(QFontInfo(used).pixelSize(), QFontInfo(menu).pixelSize());
  for (QLabel* label : c.window.centralWidget()->findChildren<QLabel*>())
    QCOMPARE(QFontInfo(label->font()).pixelSize(), QFontInfo(menu).pixelSize());
  QCOMPARE(c.window.lblDesc->font().pixelSize(), used.pixelSize());
  QVERIFY(c.window.lblDesc->font().underline());
  const int px = QFontInfo(used).pixelSize();
  const std::pair<const char*, QString> widest[] = {
      {"Label1", "Servers Connected:"}, {"Label3", "Server ID:"},   {"Label4", "Server Name:"},
      {"Label6", "IP:"},                {"Label7", "Player Count:"}, {"Label9", "Official:"},
      {"lblDesc", "Click here for description"}, {"lblStatus", "Accesses/Hour = 9999"},
      {"lblOfficial", "Yes"},           {"lblIP", "255.255.255.255"}};
  const QFontMetrics metrics(used);
  for (const auto& [name, text] : widest) {
    QWidget* label = c.window.findChild<QWidget*>(name);
    QVERIFY2(metrics.horizontalAdvance(text) <= label->width(), name);
    QVERIFY2(metrics.height() <= label->height(), name);
  }
  // Not larger than it has to be: a hair smaller and some caption no longer
  // fits its room in the drawn layout (or the layout is the drawn one).
  const double factor = c.window.Layout().Factor();
  if (factor > 1.0) {
    const TwipScale smaller(factor - 0.03);
    const std::pair<QString, int> rooms[] = {{"Servers Connected:", 1575},
                                             {"Click here for description", 1935},
                                             {"Accesses/Hour = 9999", 1815},
                                             {"Server ID:", 840}, {"Server Name:", 1080},
                                             {"IP:", 240}, {"Player Count:", 960},
                                             {"Official:", 600}};
    bool tight = metrics.height() + 6 > smaller.Px(285);
    for (const auto& [text, twips] : rooms)
      tight = tight || metrics.horizontalAdvance(text) > smaller.Px(twips);
    QVERIFY(tight);
  }
  qInfo("menu bar %s at %d px, controls at %d px, layout x%.2f", qPrintable(menu.family()),
        QFontInfo(menu).pixelSize(), px, factor);
}

// Each caption of the frame is followed by its value after the same gap.
void TestFrmMain::captionsAndValuesKeepOneGap() {
  ConsoleHarness c;
  const QFontMetrics metrics(c.window.idCaption->font());
  const std::pair<QLabel*, QLabel*> lines[] = {{c.window.idCaption, c.window.lblID},
                                               {c.window.nameCaption, c.window.lblName},
                                               {c.window.ipCaption, c.window.lblIP},
                                               {c.window.countCaption, c.window.lblCount},
                                               {c.window.officialCaption, c.window.lblOfficial}};
  const int gap = c.window.CaptionGap();
  QVERIFY(gap > 0);
  for (const auto& [caption, value] : lines) {
    QVERIFY(metrics.horizontalAdvance(caption->text()) <= caption->width());
    QCOMPARE(value->x() - caption->x() - metrics.horizontalAdvance(caption->text()), gap);
  }
}

// A value wider than its label ends with an ellipsis and shows whole as
// its tooltip; one that fits has no tooltip.
void TestFrmMain::longValuesEndWithEllipsisAndTooltip() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  const std::string fifty(50, 'W');
  auto wide = c.Login("Wide", 1, fifty);
  auto narrow = c.Login("Narrow", 0, "Short");
  c.ClickLine(0);
  ElidingLabel* name = c.window.lblName;
  QCOMPARE(name->text(), QString::fromStdString(fifty));
  QVERIFY(name->IsElided());
  QCOMPARE(name->toolTip(), QString::fromStdString(fifty));
  QVERIFY(!c.window.lblID->IsElided());
  QVERIFY(c.window.lblID->toolTip().isEmpty());
  // What is drawn: the start of the name, then the ellipsis, within the label.
  const QString shown = name->fontMetrics().elidedText(name->text(), Qt::ElideRight, name->width());
  QVERIFY(shown.endsWith(QChar(0x2026)));
  QVERIFY(shown.startsWith("WWW"));
  c.ClickLine(1);
  QCOMPARE(name->text(), QString("Short"));
  QVERIFY(!name->IsElided());
  QVERIFY(name->toolTip().isEmpty());
  // Text that looks like markup is shown as it is.
  QCOMPARE(name->textFormat(), Qt::PlainText);
}

// The layout does not follow the window's size, so the window has one size.
void TestFrmMain::mainWindowIsOfFixedSize() {
  ConsoleHarness c;
  const QSize size = c.window.size();
  QCOMPARE(c.window.minimumSize(), size);
  QCOMPARE(c.window.maximumSize(), size);
  c.window.resize(size * 2);
  QCOMPARE(c.window.size(), size);
  QVERIFY(!(c.window.windowFlags() & Qt::WindowMaximizeButtonHint));
  // The client area under the menu bar is the layout's.
  QCOMPARE(c.window.centralWidget()->size(),
           QSize(c.window.Layout().Px(6060), c.window.Layout().Px(2175)));
}

// The information window and the message dialog open beside the main
// window, on the screen, and do not stay above it.
void TestFrmMain::windowsOpenBesideTheMainWindow() {
  ConsoleHarness c;
  const QRect screen = c.window.screen()->availableGeometry();
  c.window.move(screen.topLeft());
  auto alpha = c.Login("alpha", 0);
  c.Trigger("mnuServerView");
  c.ClickLine(0);
  c.Trigger("mnuServerMessage");
  c.Trigger("mnuViewInformation");
  QWidget* message = c.window.MessageDialog();
  QWidget* info = c.window.InfoWindow();
  QVERIFY(message && info);
  QVERIFY(QTest::qWaitForWindowExposed(message) && QTest::qWaitForWindowExposed(info));
  const QRect main = c.window.frameGeometry();
  for (QWidget* w : {message, info}) {
    QVERIFY(!w->parentWidget());
    QVERIFY(!w->windowHandle()->transientParent());
    QVERIFY2(screen.contains(w->frameGeometry()), w->objectName().toLatin1());
    QVERIFY2(!main.intersects(w->frameGeometry()), w->objectName().toLatin1());
  }
  // Beside it where the screen has room, otherwise below it.
  auto beside = [](QWidget* w, const QRect& of) {
    const QRect r = w->frameGeometry();
    return r.left() > of.right() && r.top() == of.top();
  };
  auto below = [](QWidget* w, const QRect& of) {
    const QRect r = w->frameGeometry();
    return r.top() > of.bottom() && r.left() == of.left();
  };
  for (QWidget* w : {message, info}) {
    const bool room = main.right() + 1 + 8 + w->frameGeometry().width() <= screen.right() + 1;
    QVERIFY2(room ? beside(w, main) : below(w, main), w->objectName().toLatin1());
  }
  c.window.Unload();
  QTRY_VERIFY(!c.window.MessageDialog() && !c.window.InfoWindow());

  // A main window at the right edge of the screen: below it.
  ConsoleHarness right;
  right.window.move(screen.right() + 1 - right.window.frameGeometry().width(), screen.top());
  right.Trigger("mnuServerMessage");
  QWidget* dialog = right.window.MessageDialog();
  QVERIFY(QTest::qWaitForWindowExposed(dialog));
  QVERIFY(below(dialog, right.window.frameGeometry()));
  QVERIFY(screen.contains(dialog->frameGeometry()));
  QVERIFY(!right.window.frameGeometry().intersects(dialog->frameGeometry()));

  // In the bottom right corner there is room neither beside nor below: the
  // dialog still opens on the screen.
  right.window.Unload();
  QTRY_VERIFY(!right.window.MessageDialog());
  ConsoleHarness corner;
  corner.window.move(screen.right() + 1 - corner.window.frameGeometry().width(),
                     screen.bottom() + 1 - corner.window.frameGeometry().height());
  corner.Trigger("mnuServerMessage");
  QVERIFY(screen.contains(corner.window.MessageDialog()->frameGeometry()));
}

void TestFrmMain::viewsSwitchWithoutChangingContent() {
  ConsoleHarness c;
  auto alpha = c.h.NewServer("alpha");
  c.window.AppendLogLine("one");
  for (int round = 0; round < 2; ++round) {  // the view already shown changes nothing
    c.Trigger("mnuServerView");
    for (const char* name : kServerView) QVERIFY(Shown(c.window, name));
    for (const char* name : kEventView) QVERIFY(!Shown(c.window, name));
  }
  c.Trigger("mnuEventView");
  for (const char* name : kEventView) QVERIFY(Shown(c.window, name));
  for (const char* name : kServerView) QVERIFY(!Shown(c.window, name));
  QCOMPARE(c.Lines(), QStringList{"alpha"});
  QCOMPARE(c.window.lstOutput->count(), 1);
}

void TestFrmMain::serverListFollowsConnections() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto alpha = c.h.NewServer("alpha");
  auto beta = c.h.NewServer("beta");
  auto gamma = c.h.LoginServer("ALPHA", "secret");  // refused: already online
  auto delta = c.h.NewServer("delta");
  QCOMPARE(c.Lines(), (QStringList{"alpha", "beta", "delta"}));
  QCOMPARE(c.window.windowTitle(), QString("The Velkarin Server Registry [3]"));

  // Selected delta stays selected when a line above it goes.
  c.ClickLine(2);
  beta->socket.disconnectFromHost();
  QTRY_COMPARE(c.Lines(), (QStringList{"alpha", "delta"}));
  QCOMPARE(c.window.lstServers->currentRow(), 1);
  QCOMPARE(c.h.console.SelectedServerText(), std::string("delta"));

  // The selected line going leaves no line selected (not its neighbour).
  c.h.registry->DisconnectClient(c.h.SlotOf("delta"));
  QCOMPARE(c.Lines(), QStringList{"alpha"});
  QVERIFY(c.window.lstServers->selectedItems().isEmpty());
  QCOMPARE(c.h.console.SelectedServer(), -1);
  // The labels keep what they showed.
  QCOMPARE(c.window.lblID->text(), QString("delta"));
}

void TestFrmMain::selectionFillsLabelsAndFollowsPlayerCount() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto plain = c.Login("Plain", 0, "Plain Fields");
  auto odd = c.Login("Odd", 2, "Odd Official");
  auto real = c.Login("Real", 1, "Caf\xE9 Royale");

  c.ClickLine(2);
  QCOMPARE(c.window.lblID->text(), QString("Real"));
  QCOMPARE(c.window.lblName->text(), QString::fromUtf8("Café Royale"));
  QCOMPARE(c.window.lblIP->text(), QString("127.0.0.1"));
  QCOMPARE(c.window.lblCount->text(), QString("0"));
  QCOMPARE(c.window.lblOfficial->text(), QString("Yes"));
  c.ClickLine(1);
  QCOMPARE(c.window.lblID->text(), QString("Odd"));
  QCOMPARE(c.window.lblOfficial->text(), QString("No"));  // only exactly 1 is "Yes"

  // The selected server's new player count shows at once; another's does not.
  odd->SendPacket(Bytes({7, 12}));
  QTRY_COMPARE(c.window.lblCount->text(), QString("12"));
  plain->SendPacket(Bytes({7, 99}));
  QTRY_COMPARE(int(c.h.registry->Client(c.h.SlotOf("Plain")).PlayerCount), 99);
  QCOMPARE(c.window.lblCount->text(), QString("12"));

  // The keyboard moves the selection as well.
  c.window.lstServers->setFocus();
  QTest::keyClick(c.window.lstServers, Qt::Key_Up);
  QCOMPARE(c.window.lblID->text(), QString("Plain"));
  QCOMPARE(c.window.lblCount->text(), QString("99"));
}

void TestFrmMain::descriptionLabel() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  // Nothing shown yet: a click does nothing.
  QTest::mouseClick(c.window.lblDesc, Qt::LeftButton);
  QVERIFY(c.prompts.calls.empty());

  auto alpha = c.h.NewServer("alpha");
  c.ClickLine(0);
  alpha->SendPacket("\x05" + std::string("Alpha Land") + '\0' + "Caf\xE9 rules");
  QTRY_COMPARE(c.window.lblName->text(), QString("Alpha Land"));
  QTest::mouseClick(c.window.lblDesc, Qt::LeftButton);
  QCOMPARE(c.prompts.TakeCalls(),
           (std::vector<PromptCall>{{PromptCall::Notice, QString::fromUtf8("Café rules"),
                                     "Kestrune: Server Description"}}));
  // In the box for long texts, which wraps and scrolls.
  QCOMPARE(c.prompts.longTexts, 1);

  alpha->socket.disconnectFromHost();
  QTRY_VERIFY(c.Lines().isEmpty());
  QCOMPARE(c.window.lblID->text(), QString("alpha"));
  QCOMPARE(c.window.lblName->text(), QString("Alpha Land"));
  QTest::mouseClick(c.window.lblDesc, Qt::LeftButton);
  QCOMPARE(c.prompts.TakeCalls(),
           (std::vector<PromptCall>{
               {PromptCall::Notice, "The selected server is not currently online.", "Tarnwick"}}));
  QCOMPARE(c.prompts.longTexts, 1);
}

void TestFrmMain::rightClickSelectsAndOpensMenu() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  // An empty list opens no menu.
  QTest::mouseClick(c.window.lstServers->viewport(), Qt::RightButton, {}, QPoint(20, 20));
  QVERIFY(!c.window.mnuServer->isVisible());

  auto alpha = c.h.NewServer("alpha");
  auto beta = c.h.NewServer("beta");
  c.ClickLine(0);
  QCOMPARE(c.window.lblID->text(), QString("alpha"));
  c.ClickLine(1, Qt::RightButton);
  QCOMPARE(c.window.lstServers->currentRow(), 1);
  QCOMPARE(c.h.console.SelectedServerText(), std::string("beta"));
  QCOMPARE(c.window.lblID->text(), QString("beta"));
  QTRY_VERIFY(c.window.mnuServer->isVisible());
  c.window.mnuServer->hide();
  // Below the lines: the selected line stays selected and gets the menu.
  QTest::mouseClick(c.window.lstServers->viewport(), Qt::RightButton, {}, QPoint(20, 80));
  QCOMPARE(c.h.console.SelectedServerText(), std::string("beta"));
  QTRY_VERIFY(c.window.mnuServer->isVisible());
  c.window.mnuServer->hide();
}

void TestFrmMain::doubleClickWritesTempTxt() {
  QTemporaryDir cwd;
  const QString before = QDir::currentPath();
  QDir::setCurrent(cwd.path());
  {
    ConsoleHarness c;
    c.Trigger("mnuServerView");
    auto odd = c.Login("Odd", 2, "Odd Official", "Desc \xE9");
    odd->SendPacket(Bytes({7, 5}));
    QTRY_COMPARE(int(c.h.registry->Client(c.h.SlotOf("Odd")).PlayerCount), 5);
    auto plain = c.Login("Plain", 0, "Plain Fields", "");
    QTest::mouseDClick(c.window.lstServers->viewport(), Qt::LeftButton, {}, c.LinePos(0));
    QCOMPARE(ReadFile("temp.txt"), QByteArray("Server ID: Odd\r\n"
                                              "Server Name: Odd Official\r\n"
                                              "Server Description: Desc \xE9\r\n"
                                              "IP Address: 127.0.0.1\r\n"
                                              "Current Player Count: 5\r\n"
                                              "*This is an official server*\r\n"));
    // A second double-click overwrites the file.
    QTest::mouseDClick(c.window.lstServers->viewport(), Qt::LeftButton, {}, c.LinePos(1));
    QCOMPARE(ReadFile("temp.txt"), QByteArray("Server ID: Plain\r\n"
                                              "Server Name: Plain Fields\r\n"
                                              "Server Description: \r\n"
                                              "IP Address: 127.0.0.1\r\n"
                                              "Current Player Count: 0\r\n"));
    QVERIFY(c.prompts.calls.empty());

    // A file that cannot be written is reported.
    QFile::remove("temp.txt");
    QDir().mkdir("temp.txt");
    QTest::mouseDClick(c.window.lstServers->viewport(), Qt::LeftButton, {}, c.LinePos(1));
    QCOMPARE(c.prompts.calls.size(), std::size_t(1));
    QVERIFY(c.prompts.calls[0].text.startsWith("The server details could not be written to temp.txt"));
    QCOMPARE(c.prompts.calls[0].title, QString("Tarnwick"));
  }
  QDir::setCurrent(before);
}

void TestFrmMain::viewInformationReusesWindow() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  c.Trigger("mnuViewInformation");  // nothing selected
  QVERIFY(!c.window.InfoWindow());

  auto odd = c.Login("Odd", 2, "Odd Official", "Two lines");
  auto plain = c.Login("Plain", 0, "Plain Fields", "");
  c.ClickLine(0);
  c.Trigger("mnuViewInformation");
  frmInfo* info = c.window.InfoWindow();
  QVERIFY(info && info->isVisible());
  QCOMPARE(info->windowTitle(), QString("Kestrune [Server Information]"));
  QCOMPARE(info->txtInfo->geometry(), QRect(0, 0, 465, 137));
  QCOMPARE(info->findChild<QPushButton*>("cmdDone")->text(), QString("Done"));
  QCOMPARE(info->txtInfo->toPlainText().split('\n'),
           (QStringList{"Server ID: Odd", "Server Name: Odd Official", "IP: 127.0.0.1",
                        "Player Count: 0", "Official: True", "Description: Two lines"}));
  c.ClickLine(1);
  c.Trigger("mnuViewInformation");
  QCOMPARE(c.window.InfoWindow(), info);
  QVERIFY(info->txtInfo->toPlainText().contains("Official: False"));

  // A server the address map lists with another address shows both; the
  // server view and temp.txt keep the connection's own.
  const IniEntry line{"127.0.0.1=203.0.113.5", true, "127.0.0.1", "203.0.113.5"};
  c.h.registry->SetAddressMap(AddressMap::Read({line}, nullptr));
  c.ClickLine(0);
  c.Trigger("mnuViewInformation");
  QCOMPARE(info->txtInfo->toPlainText().split('\n'),
           (QStringList{"Server ID: Odd", "Server Name: Odd Official", "IP: 127.0.0.1",
                        "Listed to players as: 203.0.113.5", "Player Count: 0", "Official: True",
                        "Description: Two lines"}));
  QCOMPARE(c.window.lblIP->text(), QString("127.0.0.1"));
  QVERIFY(ServerDetailsText(c.h.registry->Client(c.h.SlotOf("Odd"))).find("IP Address: 127.0.0.1\r\n") !=
          std::string::npos);
  QTest::mouseClick(info->cmdDone, Qt::LeftButton);
  QTRY_VERIFY(!c.window.InfoWindow());
}

void TestFrmMain::allowNewAccountsCheckMark() {
  ConsoleHarness c;
  QAction* item = c.window.findChild<QAction*>("mnuAccountsNew");
  QVERIFY(!item->isChecked());
  c.Trigger("mnuAccountsNew");
  QVERIFY(item->isChecked());
  QVERIFY(c.h.console.AllowNewAccounts());
  c.Trigger("mnuAccountsNew");
  QVERIFY(!item->isChecked());
  QVERIFY(!c.h.console.AllowNewAccounts());
  c.h.console.SetAllowNewAccounts(true);
  QVERIFY(item->isChecked());
}

void TestFrmMain::eventLogKeepsNewestSelected() {
  ConsoleHarness c;
  c.window.AppendLogLine("first");
  c.window.AppendLogLine("second");
  c.window.AppendLogLine("");
  QCOMPARE(c.window.lstOutput->count(), 3);
  QCOMPARE(c.window.lstOutput->currentRow(), 2);
  c.window.RemoveFirstLogLine();
  QCOMPARE(c.window.lstOutput->item(0)->text(), QString("second"));
  QCOMPARE(c.window.lstOutput->currentRow(), 1);
  QVERIFY(c.window.lstOutput->item(1)->isSelected());
}

void TestFrmMain::closeAsksBeforeStopping() {
  ConsoleHarness c;
  QSignalSpy stop(&c.window, &frmMain::stopRequested);
  const PromptCall question{PromptCall::YesNo, "Are you sure you want to close the server registry?",
                            "Tarnwick"};
  // No: the window stays hidden, nothing stops.
  QVERIFY(!c.window.close());
  QVERIFY(c.window.isHidden());
  QCOMPARE(c.prompts.TakeCalls(), std::vector<PromptCall>{question});
  QCOMPARE(stop.count(), 0);
  // "Exit" asks the same; Yes stops.
  c.window.show();
  c.prompts.yesNo = {true};
  c.Trigger("mnuFileExit");
  QVERIFY(c.window.isHidden());
  QCOMPARE(c.prompts.TakeCalls(), std::vector<PromptCall>{question});
  QCOMPARE(stop.count(), 1);
  // Unloading for a stop asks nothing.
  c.window.show();
  c.window.Unload();
  QVERIFY(c.window.isHidden());
  QVERIFY(c.prompts.calls.empty());
}

void TestFrmMain::menuItemsLeadingElsewhere() {
  ConsoleHarness c;
  QSignalSpy options(&c.window, &frmMain::optionsRequested);
  QSignalSpy accounts(&c.window, &frmMain::accountsRequested);
  QSignalSpy bans(&c.window, &frmMain::banListRequested);
  c.Trigger("mnuOptions");
  c.Trigger("mnuAccountsEdit");
  c.Trigger("mnuEditBanList");
  QCOMPARE(options.count(), 1);
  QCOMPARE(accounts.count(), 1);
  QCOMPARE(bans.count(), 1);
}

QTEST_MAIN(TestFrmMain)
#include "test_frmmain.moc"
