// The operator's commands on game servers and the message dialog, checked by
// the bytes the loopback game servers receive.
#include "ConsoleHarness.h"
#include "console/frmMessage.h"

#include <QApplication>
#include <QComboBox>
#include <QMenuBar>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

namespace {

std::string Framed(const std::string& body) {
  return std::string{char(body.size() >> 8), char(body.size() & 0xFF)} + body;
}

QStringList Entries(QComboBox* box) {
  QStringList entries;
  for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
  return entries;
}

// The next control of the dialog that Tab moves to (the focus chain also
// holds the controls' inner parts).
QWidget* NextTabStop(QWidget* from) {
  for (QWidget* w = from->nextInFocusChain(); w != from; w = w->nextInFocusChain())
    if (w->parentWidget() == from->parentWidget() && (w->focusPolicy() & Qt::TabFocus)) return w;
  return nullptr;
}

// Lets the registry and the peers exchange what is in flight.
void Settle() { QTest::qWait(100); }

}  // namespace

class TestCommands : public QObject {
  Q_OBJECT
 private slots:
  void disconnectSelectedServer();
  void addGodSendsTheTypedName();
  void addGodLooksTheServerUpAfterTheInputBox();
  void messageToAllServers();
  void messageToOneServerKeepsLineBreaks();
  void messageToServerThatWentOffline();
  void dialogLayoutAndRefresh();
  void dialogOnceAndChoiceOfMissingServer();
};

void TestCommands::disconnectSelectedServer() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto alpha = c.h.NewServer("alpha");
  auto beta = c.h.NewServer("beta");
  c.Trigger("mnuServerDisconnect");  // nothing selected
  QCOMPARE(c.Lines(), (QStringList{"alpha", "beta"}));
  c.ClickLine(0);
  c.Trigger("mnuServerDisconnect");
  QCOMPARE(c.Lines(), QStringList{"beta"});
  QTRY_VERIFY(alpha->Closed());
  QVERIFY(!beta->Closed());
  QCOMPARE(c.h.log.lines.back(), std::string("alpha has disconnected from 127.0.0.1"));
  QVERIFY(c.prompts.calls.empty());
}

void TestCommands::addGodSendsTheTypedName() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto alpha = c.h.NewServer("alpha");
  auto beta = c.h.NewServer("beta");
  const PromptCall box{PromptCall::Text, "Enter User Name:", "Add God"};

  // No line selected: the box is still asked, nothing is sent.
  c.prompts.texts = {"Someone"};
  c.Trigger("mnuServerAddGod");
  QCOMPARE(c.prompts.TakeCalls(), std::vector<PromptCall>{box});

  c.ClickLine(1);
  c.prompts.texts = {""};  // Cancel, or OK on an empty box
  c.Trigger("mnuServerAddGod");
  // The name as typed: not trimmed, case kept, code page 1252.
  c.prompts.texts = {QString::fromUtf8(" Zoë the Great ")};
  c.Trigger("mnuServerAddGod");
  QCOMPARE(c.prompts.TakeCalls(), (std::vector<PromptCall>{box, box}));
  const std::string expected = Framed("\x05 Zo\xEB the Great ");
  QTRY_COMPARE(beta->received, expected);
  Settle();
  QCOMPARE(beta->received, expected);
  QVERIFY(alpha->received.empty());
}

void TestCommands::addGodLooksTheServerUpAfterTheInputBox() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto alpha = c.h.NewServer("alpha");
  c.ClickLine(0);
  // While the box is open the addressee leaves and another server takes its
  // slot: the name goes to no one.
  std::unique_ptr<Peer> beta;
  c.prompts.texts = {"Zed"};
  c.prompts.whileOpen = [&] {
    c.h.registry->DisconnectClient(c.h.SlotOf("alpha"));
    beta = c.h.NewServer("beta");
  };
  c.Trigger("mnuServerAddGod");
  QCOMPARE(c.h.SlotOf("beta"), 1);
  Settle();
  QVERIFY(beta->received.empty());

  // The addressee comes back under its name in another slot: it gets it.
  c.ClickLine(0);
  QCOMPARE(c.h.console.SelectedServerText(), std::string("beta"));
  std::unique_ptr<Peer> idle, again;
  c.prompts.texts = {"Zed"};
  c.prompts.whileOpen = [&] {
    c.h.registry->DisconnectClient(c.h.SlotOf("beta"));
    idle = c.h.Connect();  // takes slot 1
    again = c.h.LoginServer("BETA", "secret");
  };
  c.Trigger("mnuServerAddGod");
  QVERIFY(c.h.SlotOf("beta") > 1);
  QTRY_COMPARE(again->received, Framed("\x05Zed"));
}

void TestCommands::messageToAllServers() {
  ConsoleHarness c;
  // No server online: the notice all the same, nothing sent.
  c.Trigger("mnuServerMessage");
  frmMessage* dialog = c.window.MessageDialog();
  QVERIFY(dialog && dialog->isVisible());
  QCOMPARE(dialog->cmbServers->currentText(), QString("<All Online Servers>"));
  QTest::mouseClick(dialog->cmdSend, Qt::LeftButton);
  QCOMPARE(c.prompts.TakeCalls(), (std::vector<PromptCall>{
                                      {PromptCall::Notice, "Message sent to all online servers.", "Tarnwick"}}));
  QTRY_VERIFY(!c.window.MessageDialog());

  auto alpha = c.h.NewServer("alpha");
  auto idle = c.h.Connect();  // connected, not logged in
  auto beta = c.h.NewServer("beta");
  c.Trigger("mnuServerMessage");
  dialog = c.window.MessageDialog();
  QCOMPARE(Entries(dialog->cmbServers), (QStringList{"<All Online Servers>", "alpha", "beta"}));
  QCOMPARE(dialog->focusWidget(), static_cast<QWidget*>(dialog->txtMessage));
  dialog->txtMessage->setPlainText("Restart in 5");
  QTest::mouseClick(dialog->cmdSend, Qt::LeftButton);
  QTRY_COMPARE(alpha->received, Framed("\x04Restart in 5"));
  QTRY_COMPARE(beta->received, Framed("\x04Restart in 5"));
  Settle();
  QVERIFY(idle->received.empty());
  QCOMPARE(c.prompts.calls.size(), std::size_t(1));
  QTRY_VERIFY(!c.window.MessageDialog());
  // Nothing is logged.
  QCOMPARE(c.h.log.lines.size(), std::size_t(2));
}

void TestCommands::messageToOneServerKeepsLineBreaks() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto alpha = c.h.NewServer("alpha");
  auto beta = c.h.NewServer("beta");
  c.ClickLine(1, Qt::RightButton);
  c.window.mnuServer->hide();
  c.Trigger("mnuSendMessage");
  frmMessage* dialog = c.window.MessageDialog();
  QVERIFY(dialog);
  QCOMPARE(dialog->cmbServers->currentText(), QString("beta"));
  QTest::keyClicks(dialog->txtMessage, "Line one");
  QTest::keyClick(dialog->txtMessage, Qt::Key_Return);
  QTest::keyClicks(dialog->txtMessage, "Line two ");
  dialog->txtMessage->insertPlainText(QString::fromUtf8("€"));
  QTest::mouseClick(dialog->cmdSend, Qt::LeftButton);
  QTRY_COMPARE(beta->received, Framed("\x04Line one\r\nLine two \x80"));
  QCOMPARE(c.prompts.TakeCalls(), (std::vector<PromptCall>{
                                      {PromptCall::Notice, "Message sent successfully.", "Tarnwick"}}));
  QTRY_VERIFY(!c.window.MessageDialog());

  // An empty message is the type byte alone.
  c.Trigger("mnuSendMessage");
  QTest::mouseClick(c.window.MessageDialog()->cmdSend, Qt::LeftButton);
  QTRY_COMPARE(beta->received, Framed("\x04Line one\r\nLine two \x80") + Framed("\x04"));
  Settle();
  QVERIFY(alpha->received.empty());

  // One that no packet can hold is refused, not reported as sent.
  c.Trigger("mnuSendMessage");
  dialog = c.window.MessageDialog();
  dialog->txtMessage->setPlainText(QString(70000, 'x'));
  QTest::mouseClick(dialog->cmdSend, Qt::LeftButton);
  QCOMPARE(c.prompts.TakeCalls().back().text, QString("The message is too long to send."));
  QVERIFY(c.window.MessageDialog());
  QTest::mouseClick(dialog->cmdCancel, Qt::LeftButton);
  QTRY_VERIFY(!c.window.MessageDialog());
}

void TestCommands::messageToServerThatWentOffline() {
  ConsoleHarness c;
  auto alpha = c.h.NewServer("alpha");
  auto beta = c.h.NewServer("beta");
  c.Trigger("mnuServerMessage");
  frmMessage* dialog = c.window.MessageDialog();
  dialog->cmbServers->setCurrentIndex(2);
  dialog->txtMessage->setPlainText("Hello");
  beta->socket.disconnectFromHost();
  QTRY_COMPARE(c.Lines(), QStringList{"alpha"});
  // The dialog's list is a copy: it still offers beta.
  QCOMPARE(dialog->cmbServers->currentText(), QString("beta"));
  QTest::mouseClick(dialog->cmdSend, Qt::LeftButton);
  QCOMPARE(c.prompts.TakeCalls(), (std::vector<PromptCall>{
                                      {PromptCall::Notice, "The selected server has gone offline.", "Tarnwick"}}));
  QCOMPARE(c.window.MessageDialog(), dialog);
  QCOMPARE(Entries(dialog->cmbServers), (QStringList{"<All Online Servers>", "alpha"}));
  QCOMPARE(dialog->cmbServers->currentText(), QString("<All Online Servers>"));
  QCOMPARE(dialog->txtMessage->toPlainText(), QString("Hello"));
  Settle();
  QVERIFY(alpha->received.empty());
}

void TestCommands::dialogLayoutAndRefresh() {
  ConsoleHarness c;
  auto alpha = c.h.NewServer("alpha");
  c.Trigger("mnuServerMessage");
  frmMessage* d = c.window.MessageDialog();
  QCOMPARE(d->windowTitle(), QString("Server Message "));
  // The twip layout, scaled to the dialog's face; at factor 1 it is the
  // drawn one at 15 twips to the pixel.
  const TwipScale& s = d->Layout();
  QCOMPARE(d->size(), QSize(s.Px(4680), s.Px(3435)));
  QCOMPARE(d->sendToCaption->text(), QString("Send to:"));
  QCOMPARE(d->sendToCaption->geometry(), s.Rect(120, 0, 735, 255));
  QCOMPARE(d->cmbServers->geometry(), s.Rect(240, 240, 3255, 315));
  QCOMPARE(d->cmdRefresh->geometry(), s.Rect(3720, 240, 735, 255));
  QCOMPARE(d->txtMessage->geometry(), s.Rect(120, 720, 4455, 2295));
  QCOMPARE(d->cmdSend->geometry(), s.Rect(600, 3120, 1095, 255));
  QCOMPARE(d->cmdCancel->geometry(), s.Rect(2880, 3120, 1095, 255));
  const TwipScale one;
  QCOMPARE(QSize(one.Px(4680), one.Px(3435)), QSize(312, 229));
  QCOMPARE(one.Rect(120, 0, 735, 255), QRect(8, 0, 49, 17));
  QCOMPARE(one.Rect(240, 240, 3255, 315), QRect(16, 16, 217, 21));
  QCOMPARE(one.Rect(3720, 240, 735, 255), QRect(248, 16, 49, 17));
  QCOMPARE(one.Rect(120, 720, 4455, 2295), QRect(8, 48, 297, 153));
  QCOMPARE(one.Rect(600, 3120, 1095, 255), QRect(40, 208, 73, 17));
  QCOMPARE(one.Rect(2880, 3120, 1095, 255), QRect(192, 208, 73, 17));
  // The desktop's face, as in the other dialogs, every caption whole and a
  // line within each control's height.
  QCOMPARE(d->font(), QApplication::font(d));
  QCOMPARE(QFontInfo(d->cmdSend->font()).pixelSize(), QFontInfo(c.window.menuBar()->font()).pixelSize());
  const QFontMetrics metrics(d->font());
  for (QWidget* control : std::initializer_list<QWidget*>{d->sendToCaption, d->cmdRefresh, d->cmdSend,
                                                          d->cmdCancel}) {
    const QString text = control == d->sendToCaption ? d->sendToCaption->text()
                                              : static_cast<QPushButton*>(control)->text();
    QVERIFY2(metrics.horizontalAdvance(text) < control->width(), qPrintable(text));
    QVERIFY2(metrics.height() < control->height(), qPrintable(text));
  }
  QCOMPARE(d->cmdRefresh->text(), QString("Refresh"));
  QCOMPARE(d->cmdSend->text(), QString("Send"));
  QCOMPARE(d->cmdCancel->text(), QString("Cancel"));
  // Tab order: Refresh, message, Send, Cancel, the list.
  QCOMPARE(NextTabStop(d->cmdRefresh), static_cast<QWidget*>(d->txtMessage));
  QCOMPARE(NextTabStop(d->txtMessage), static_cast<QWidget*>(d->cmdSend));
  QCOMPARE(NextTabStop(d->cmdSend), static_cast<QWidget*>(d->cmdCancel));
  QCOMPARE(NextTabStop(d->cmdCancel), static_cast<QWidget*>(d->cmbServers));
  QCOMPARE(NextTabStop(d->cmbServers), static_cast<QWidget*>(d->cmdRefresh));

  // Refresh keeps a choice that is still online and picks up newcomers.
  d->cmbServers->setCurrentIndex(1);
  auto beta = c.h.NewServer("beta");
  QCOMPARE(Entries(d->cmbServers), (QStringList{"<All Online Servers>", "alpha"}));
  QTest::mouseClick(d->cmdRefresh, Qt::LeftButton);
  QCOMPARE(Entries(d->cmbServers), (QStringList{"<All Online Servers>", "alpha", "beta"}));
  QCOMPARE(d->cmbServers->currentText(), QString("alpha"));
  // A choice that has gone falls back to all servers.
  alpha->socket.disconnectFromHost();
  QTRY_COMPARE(c.Lines(), QStringList{"beta"});
  d->RefreshServerList();
  QCOMPARE(d->cmbServers->currentText(), QString("<All Online Servers>"));

  // Typing into the list's box sends the operator on to the message.
  d->cmbServers->setFocus();
  QTest::keyClick(d->cmbServers->lineEdit(), Qt::Key_B);
  QTRY_VERIFY(d->txtMessage->hasFocus());
}

void TestCommands::dialogOnceAndChoiceOfMissingServer() {
  ConsoleHarness c;
  c.Trigger("mnuServerView");
  auto alpha = c.h.NewServer("alpha");
  c.Trigger("mnuServerMessage");
  frmMessage* d = c.window.MessageDialog();
  d->cmbServers->setCurrentIndex(1);
  d->txtMessage->setPlainText("kept");
  // Opening it again brings the same dialog forward unchanged.
  c.Trigger("mnuServerMessage");
  QCOMPARE(c.window.MessageDialog(), d);
  QCOMPARE(d->cmbServers->currentText(), QString("alpha"));
  QCOMPARE(d->txtMessage->toPlainText(), QString("kept"));

  // "Send Message" for a server the open dialog does not list yet.
  auto beta = c.h.NewServer("beta");
  c.ClickLine(1);
  c.Trigger("mnuSendMessage");
  QCOMPARE(c.window.MessageDialog(), d);
  QCOMPARE(d->cmbServers->currentText(), QString("beta"));
  QCOMPARE(d->txtMessage->toPlainText(), QString("kept"));

  // "Send Message" with no line selected does nothing.
  QTest::mouseClick(d->cmdCancel, Qt::LeftButton);
  QTRY_VERIFY(!c.window.MessageDialog());
  c.h.registry->DisconnectClient(c.h.SlotOf("beta"));
  c.Trigger("mnuSendMessage");
  QVERIFY(!c.window.MessageDialog());
  Settle();
  QVERIFY(alpha->received.empty());
}

QTEST_MAIN(TestCommands)
#include "test_commands.moc"
