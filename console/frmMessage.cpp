#include "console/frmMessage.h"

#include "console/Twips.h"
#include "core/ClientRecord.h"
#include "core/ConsoleState.h"
#include "core/Operations.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "ui/Prompts.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>

frmMessage::frmMessage(ConsoleState& state, Registry& registry, Prompts& prompts, QWidget* parent)
    : QDialog(parent), state_(state), registry_(registry), prompts_(prompts) {
  setObjectName("frmMessage");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Server Message ");
  // The desktop's face, as in every other dialog, with the layout scaled
  // to it: the captions whole inside their buttons, a line inside each box.
  const int framePad = 2 * (style()->pixelMetric(QStyle::PM_ButtonMargin) +
                            style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
  const TwipScale s = TwipScale::ToFit(
      font(), {{"Send to:", 735}, {"Refresh", 735, framePad}, {"Cancel", 1095, framePad}},
      {{255, 6}, {315, 8}});
  layout_ = s;
  setFixedSize(s.Px(4680), s.Px(3435));

  sendToCaption = new QLabel("Send to:", this);
  sendToCaption->setObjectName("Label1");
  s.Place(sendToCaption, 120, 0, 735, 255);

  cmbServers = new QComboBox(this);
  cmbServers->setObjectName("cmbServers");
  cmbServers->setEditable(true);
  cmbServers->setInsertPolicy(QComboBox::NoInsert);
  s.Place(cmbServers, 240, 240, 3255, 315);

  cmdRefresh = new QPushButton("Refresh", this);
  cmdRefresh->setObjectName("cmdRefresh");
  s.Place(cmdRefresh, 3720, 240, 735, 255);

  txtMessage = new QPlainTextEdit(this);
  txtMessage->setObjectName("txtMessage");
  txtMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtMessage->setTabChangesFocus(true);
  s.Place(txtMessage, 120, 720, 4455, 2295);

  cmdSend = new QPushButton("Send", this);
  cmdSend->setObjectName("cmdSend");
  s.Place(cmdSend, 600, 3120, 1095, 255);

  cmdCancel = new QPushButton("Cancel", this);
  cmdCancel->setObjectName("cmdCancel");
  s.Place(cmdCancel, 2880, 3120, 1095, 255);

  // Enter belongs to the message box; no button is pressed by it.
  for (QPushButton* button : {cmdRefresh, cmdSend, cmdCancel}) button->setAutoDefault(false);

  // Tab order: Refresh, (the label), the message, Send, Cancel, the list.
  setTabOrder(cmdRefresh, txtMessage);
  setTabOrder(txtMessage, cmdSend);
  setTabOrder(cmdSend, cmdCancel);
  setTabOrder(cmdCancel, cmbServers);

  connect(cmdRefresh, &QPushButton::clicked, this, &frmMessage::RefreshServerList);
  connect(cmdSend, &QPushButton::clicked, this, &frmMessage::OnSend);
  connect(cmdCancel, &QPushButton::clicked, this, &QDialog::close);
  // The addressee is chosen from the list, not typed: typing in its box
  // sends the operator on to the message.
  connect(cmbServers->lineEdit(), &QLineEdit::textEdited, this, [this] { txtMessage->setFocus(); });
}

void frmMessage::Load() {
  RefreshServerList();
  show();
  raise();
  activateWindow();
  txtMessage->setFocus();
}

void frmMessage::RefreshServerList() {
  const QString chosen = cmbServers->currentText();
  cmbServers->clear();
  cmbServers->addItem(kAllServers);
  for (const std::string& line : state_.ServerLines()) cmbServers->addItem(cp1252::ToUnicode(line));
  cmbServers->setCurrentIndex(0);
  for (int i = 1; i < cmbServers->count(); ++i) {
    if (cmbServers->itemText(i) == chosen) {
      cmbServers->setCurrentIndex(i);
      break;
    }
  }
}

void frmMessage::ChooseServer(const QString& user) {
  int index = cmbServers->findText(user, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index < 0) {
    RefreshServerList();
    index = cmbServers->findText(user, Qt::MatchExactly | Qt::MatchCaseSensitive);
  }
  if (index >= 0)
    cmbServers->setCurrentIndex(index);
  else
    cmbServers->setEditText(user);
}

std::string frmMessage::MessageText() const {
  // A line break typed into the box is a carriage return and line feed, as
  // the game servers expect it.
  QString text = txtMessage->toPlainText();
  text.replace('\n', QStringLiteral("\r\n"));
  return cp1252::FromUnicode(text);
}

void frmMessage::OnSend() {
  const std::string text = MessageText();
  QPointer<frmMessage> self(this);
  const QString chosen = cmbServers->currentText();
  SharedServer where;
  const ops::Refusal refusal =
      chosen == kAllServers ? ops::SendMessageToAll(registry_, text, nullptr)
                            : ops::SendMessageTo(registry_, cp1252::FromUnicode(chosen), text, &where);
  if (refusal == ops::Refusal::MessageTooLong) {
    // Saying "sent" for a message that never left would mislead the
    // operator.
    prompts_.Notice(this, "The message is too long to send.", kAppTitle);
    return;
  }
  if (refusal == ops::Refusal::OnOtherRegistry) {
    // Logged in at another registry meanwhile: only that one can send it.
    prompts_.Notice(this, cp1252::ToUnicode(ops::OnOtherRegistryText(where)), kAppTitle);
    if (self) RefreshServerList();
    return;
  }
  if (refusal == ops::Refusal::NotOnline) {
    prompts_.Notice(this, "The selected server has gone offline.", kAppTitle);
    if (self) RefreshServerList();
    return;
  }
  prompts_.Notice(this, chosen == kAllServers ? "Message sent to all online servers."
                                              : "Message sent successfully.",
                  kAppTitle);
  if (self) close();
}
