#include "console/frmMain.h"

#include "console/Twips.h"
#include "console/frmInfo.h"
#include "console/frmMessage.h"
#include "core/ClientRecord.h"
#include "core/ConsoleState.h"
#include "core/Registry.h"
#include "storage/Cp1252.h"
#include "ui/Prompts.h"

#include <QCloseEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QWindow>

namespace {

QString U(const std::string& text) { return cp1252::ToUnicode(text); }

template <class Label = QLabel>
Label* MakeLabel(QWidget* parent, const char* name, const QString& text) {
  auto* label = new Label(text, parent);
  label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);
  return label;
}

// The captions of the information frame, each with the width the layout
// gives it before its value, and the top of its line.
struct InfoLine {
  const char* caption;
  const char* text;
  const char* value;
  int twips;
  int top;
};
const InfoLine kInfoLines[] = {
    {"Label3", "Server ID:", "lblID", 840, 240},
    {"Label4", "Server Name:", "lblName", 1080, 480},
    {"Label6", "IP:", "lblIP", 240, 720},
    {"Label7", "Player Count:", "lblCount", 960, 960},
    {"Label9", "Official:", "lblOfficial", 600, 1200},
};
constexpr int kLabelHeight = 255;
// The values end where the frame's inner margin begins.
constexpr int kValueRight = 3855 - 120;

// The scale at which the layout holds the face: each caption whole in the
// width the layout gives it, the frame's title, the rate at four digits, and
// a line in each label and in the input line.
TwipScale MainLayout(const QFont& font) {
  // A group box's title stands indented, with room on either side.
  const int titleRoom = 4 * QFontMetrics(font).averageCharWidth();
  std::vector<TwipScale::Width> widths = {{"Servers Connected:", 1575},
                                          {"Accesses/Hour = 9999", 1815},
                                          {"Click here for description", 1935},
                                          {"Selected Server Information:", 3855, titleRoom}};
  for (const InfoLine& line : kInfoLines) widths.push_back({line.text, line.twips});
  return TwipScale::ToFit(font, widths, {{kLabelHeight, 2}, {285, 6}});
}

QAction* MakeItem(QMenu* menu, const char* name, const QString& caption) {
  QAction* item = menu->addAction(caption);
  item->setObjectName(name);
  return item;
}

}  // namespace

void ServerListBox::mousePressEvent(QMouseEvent* event) {
  // The list box moves the selection first, for the right button too, so
  // the context menu always belongs to the line under the pointer. A press
  // below the last line keeps the selection as it is.
  if (itemAt(event->position().toPoint()))
    QListWidget::mousePressEvent(event);
  else
    setFocus(Qt::MouseFocusReason);
  emit mouseDown(event->button(), event->globalPosition().toPoint());
}

void ServerListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  QListWidget::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit listDoubleClicked();
}

frmMain::frmMain(ConsoleState& state, Registry& registry, Prompts& prompts, QWidget* parent)
    : QMainWindow(parent), state_(state), registry_(registry), prompts_(prompts) {
  setObjectName("frmMain");
  setWindowIcon(QIcon(":/tarnwick/tarnwick.png"));
  BuildControls();
  BuildMenus();
  MirrorState();
  ShowEventView();
  // The layout does not follow the window's size, so the window keeps the
  // size its layout has: it can be neither resized nor maximised.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);
}

frmMain::~frmMain() {
  delete message_.data();
  delete info_.data();
}

void frmMain::BuildControls() {
  auto* area = new QWidget(this);
  area->setObjectName("clientArea");
  // One face for the whole window: the menu bar's, which is the desktop's.
  area->setFont(menuBar()->font());
  captionGap_ = QFontMetrics(area->font()).averageCharWidth();
  layout_ = MainLayout(area->font());
  const TwipScale& s = layout_;
  area->setFixedSize(s.Px(6060), s.Px(2175));
  setCentralWidget(area);

  serversCaption = MakeLabel(area, "Label1", "Servers Connected:");
  s.Place(serversCaption, 120, 0, 1575, kLabelHeight);
  lstServers = new ServerListBox(area);
  lstServers->setObjectName("lstServers");
  lstServers->setSelectionMode(QAbstractItemView::SingleSelection);
  lstServers->setContextMenuPolicy(Qt::PreventContextMenu);
  s.Place(lstServers, 120, 240, 1815, 1425);
  lblStatus = MakeLabel(area, "lblStatus", QString());
  s.Place(lblStatus, 240, 1800, 1815, kLabelHeight);

  infoFrame = new QGroupBox("Selected Server Information:", area);
  infoFrame->setObjectName("Frame1");
  s.Place(infoFrame, 2160, 0, 3855, 1815);
  BuildInformationFrame();

  lstOutput = new QListWidget(area);
  lstOutput->setObjectName("lstOutput");
  s.Place(lstOutput, 0, 0, 6015, 1815);
  txtInput = new QLineEdit(area);
  txtInput->setObjectName("txtInput");
  s.Place(txtInput, 0, 1850, 6015, 285);

  connect(lstServers, &QListWidget::itemSelectionChanged, this, &frmMain::OnServerSelectionChanged);
  connect(lstServers, &ServerListBox::mouseDown, this, &frmMain::OnServerListMouseDown);
  connect(lstServers, &ServerListBox::listDoubleClicked, this, &frmMain::OnServerListDoubleClicked);
}

// Each caption stands where the layout puts it, as wide as its text; its
// value follows after one gap, the same for every line, and reaches to the
// frame's margin. A value wider than that ends with an ellipsis.
void frmMain::BuildInformationFrame() {
  const TwipScale& s = layout_;
  const QFontMetrics metrics(infoFrame->font());
  for (const InfoLine& line : kInfoLines) {
    QLabel* caption = MakeLabel(infoFrame, line.caption, line.text);
    const int width = metrics.horizontalAdvance(caption->text());
    caption->setGeometry(s.Px(120), s.Px(line.top), width + 1, s.Px(kLabelHeight));
    auto* value = MakeLabel<ElidingLabel>(infoFrame, line.value, QString());
    const int left = caption->x() + width + captionGap_;
    value->setGeometry(left, caption->y(), s.Px(kValueRight) - left, caption->height());
  }
  idCaption = infoFrame->findChild<QLabel*>("Label3");
  nameCaption = infoFrame->findChild<QLabel*>("Label4");
  ipCaption = infoFrame->findChild<QLabel*>("Label6");
  countCaption = infoFrame->findChild<QLabel*>("Label7");
  officialCaption = infoFrame->findChild<QLabel*>("Label9");
  lblID = infoFrame->findChild<ElidingLabel*>("lblID");
  lblName = infoFrame->findChild<ElidingLabel*>("lblName");
  lblIP = infoFrame->findChild<ElidingLabel*>("lblIP");
  lblCount = infoFrame->findChild<ElidingLabel*>("lblCount");
  lblOfficial = infoFrame->findChild<ElidingLabel*>("lblOfficial");

  lblDesc = MakeLabel(infoFrame, "lblDesc", "Click here for description");
  s.Place(lblDesc, 1080, 1440, 1935, kLabelHeight);
  QFont link = lblDesc->font();
  link.setUnderline(true);
  lblDesc->setFont(link);
  lblDesc->setCursor(Qt::PointingHandCursor);
  lblDesc->installEventFilter(this);
}

void frmMain::BuildMenus() {
  mnuFile = menuBar()->addMenu("&File");
  mnuFile->setObjectName("mnuFile");
  connect(MakeItem(mnuFile, "mnuOptions", "&Options"), &QAction::triggered, this,
          &frmMain::optionsRequested);
  connect(MakeItem(mnuFile, "mnuServerMessage", "&Server Message"), &QAction::triggered, this,
          &frmMain::OpenServerMessage);
  connect(MakeItem(mnuFile, "mnuFileExit", "E&xit"), &QAction::triggered, this,
          &frmMain::QueryUnload);

  mnuAccounts = menuBar()->addMenu("&Accounts");
  mnuAccounts->setObjectName("mnuAccounts");
  QAction* allow = MakeItem(mnuAccounts, "mnuAccountsNew", "&Allow New Accounts");
  allow->setCheckable(true);
  // Each choice toggles the mark; the state decides what the mark shows.
  connect(allow, &QAction::triggered, this,
          [this] { state_.SetAllowNewAccounts(!state_.AllowNewAccounts()); });
  connect(MakeItem(mnuAccounts, "mnuAccountsEdit", "&Edit"), &QAction::triggered, this,
          &frmMain::accountsRequested);

  mnuServer = new QMenu("&Server", this);
  mnuServer->setObjectName("mnuServer");
  connect(MakeItem(mnuServer, "mnuServerAddGod", "&Add God"), &QAction::triggered, this,
          &frmMain::AddGod);
  connect(MakeItem(mnuServer, "mnuSendMessage", "&Send Message"), &QAction::triggered, this,
          &frmMain::SendMessageToSelected);
  connect(MakeItem(mnuServer, "mnuViewInformation", "&View Information"), &QAction::triggered,
          this, &frmMain::ViewInformation);
  connect(MakeItem(mnuServer, "mnuServerDisconnect", "&Disconnect"), &QAction::triggered, this,
          &frmMain::DisconnectSelected);

  mnuBans = menuBar()->addMenu("&Bans");
  mnuBans->setObjectName("mnuBans");
  connect(MakeItem(mnuBans, "mnuEditBanList", "&Edit Ban List"), &QAction::triggered, this,
          &frmMain::banListRequested);

  mnuViews = menuBar()->addMenu("&Views");
  mnuViews->setObjectName("mnuViews");
  connect(MakeItem(mnuViews, "mnuServerView", "&Server View"), &QAction::triggered, this,
          &frmMain::ShowServerView);
  connect(MakeItem(mnuViews, "mnuEventView", "&Event View"), &QAction::triggered, this,
          &frmMain::ShowEventView);
}

void frmMain::MirrorState() {
  auto caption = [this] { setWindowTitle(U(state_.Caption())); };
  auto status = [this] { lblStatus->setText(U(state_.Status())); };
  auto allow = [this] {
    findChild<QAction*>("mnuAccountsNew")->setChecked(state_.AllowNewAccounts());
  };
  auto info = [this] {
    const ServerInfoLabels& labels = state_.Info();
    lblID->SetText(U(labels.ID));
    lblName->SetText(U(labels.Name));
    lblIP->SetText(U(labels.IP));
    lblCount->SetText(U(labels.Count));
    lblOfficial->SetText(U(labels.Official));
  };
  caption();
  status();
  allow();
  info();
  syncing_ = true;
  for (const std::string& line : state_.ServerLines()) lstServers->addItem(U(line));
  syncing_ = false;
  ShowOtherServers();
  SyncSelection();
  connect(&registry_, &Registry::serversChanged, this, &frmMain::ShowOtherServers);

  connect(&state_, &ConsoleState::captionChanged, this, caption);
  connect(&state_, &ConsoleState::statusChanged, this, status);
  connect(&state_, &ConsoleState::allowNewAccountsChanged, this, allow);
  connect(&state_, &ConsoleState::infoChanged, this, info);
  connect(&state_, &ConsoleState::serverAppended, this, [this](int index) {
    syncing_ = true;
    lstServers->insertItem(index, U(state_.ServerLines()[std::size_t(index)]));
    syncing_ = false;
  });
  connect(&state_, &ConsoleState::serverRemoved, this, [this](int index) {
    syncing_ = true;
    delete lstServers->takeItem(index);
    syncing_ = false;
  });
  connect(&state_, &ConsoleState::selectionChanged, this, &frmMain::SyncSelection);
}

// The list widget would move the selection to a neighbour when the selected
// line goes; the state, like the list box it models, leaves none selected.
void frmMain::SyncSelection() {
  syncing_ = true;
  const int selected = state_.SelectedServer();
  if (selected < 0 && SelectedElsewhere()) {
    // The state knows only this registry's lines: none of them is selected.
  } else if (selected < 0) {
    lstServers->clearSelection();
    lstServers->setCurrentRow(-1);
  } else {
    lstServers->setCurrentRow(selected);
  }
  syncing_ = false;
}

void frmMain::ShowEventView() {
  for (QWidget* w : std::initializer_list<QWidget*>{lstServers, serversCaption, infoFrame, lblStatus}) w->hide();
  lstOutput->show();
  txtInput->show();
}

void frmMain::ShowServerView() {
  for (QWidget* w : std::initializer_list<QWidget*>{lstServers, serversCaption, infoFrame, lblStatus}) w->show();
  lstOutput->hide();
  txtInput->hide();
}

std::string frmMain::SelectedLine() const { return state_.SelectedServerText(); }

void frmMain::ShowSelectedServerInfo() {
  if (const SharedServer* other = SelectedElsewhere()) {
    const ClientRecord c = AsRecord(*other);
    state_.SetInfo({c.User, c.Name, c.IP, std::to_string(c.PlayerCount), c.Official == 1 ? "Yes" : "No"});
    return;
  }
  const std::string user = SelectedLine();
  if (user.empty()) return;
  if (const int slot = registry_.FindClientByUser(user)) registry_.ShowServerInfo(slot);
}

void frmMain::OnServerSelectionChanged() {
  if (syncing_) return;
  const QList<QListWidgetItem*> selected = lstServers->selectedItems();
  const int row = selected.isEmpty() ? -1 : lstServers->row(selected.first());
  if (row >= FirstOtherRow()) {
    SelectOtherServer(row);
  } else {
    selectedOther_.clear();
    state_.SelectServer(row);
  }
  ShowSelectedServerInfo();
}

void frmMain::OnServerListMouseDown(Qt::MouseButton button, const QPoint& globalPos) {
  ShowSelectedServerInfo();
  if (button == Qt::RightButton && !SelectedUser().empty()) mnuServer->popup(globalPos);
}

void frmMain::OnServerListDoubleClicked() {
  ClientRecord shown;
  if (const SharedServer* other = SelectedElsewhere()) {
    shown = AsRecord(*other);
  } else {
    if (state_.SelectedServer() < 0) return;
    const int slot = registry_.FindClientByUser(SelectedLine());
    if (slot == 0) return;
    shown = registry_.Client(slot);
  }
  const std::string text = ServerDetailsText(shown);
  QFile file("temp.txt");
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.flush()) {
    prompts_.Notice(this, "The server details could not be written to temp.txt: " + file.errorString(),
                    kAppTitle);
  }
}

void frmMain::OnDescriptionClicked() {
  if (lblID->text().isEmpty()) return;
  const std::string user = cp1252::FromUnicode(lblID->text());
  const int slot = registry_.FindClientByUser(user);
  const SharedServer* other = slot ? nullptr : ops::FindElsewhere(registry_.OtherServers(), user);
  if (slot == 0 && !other) {
    prompts_.Notice(this, "The selected server is not currently online.", kAppTitle);
    return;
  }
  // Read whole, however long: a description need hold no space to wrap at.
  prompts_.ShowText(this, U(other ? other->description : registry_.Client(slot).Description),
                    "Kestrune: Server Description");
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lblDesc && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton && lblDesc->rect().contains(mouse->position().toPoint())) {
      OnDescriptionClicked();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void frmMain::AppendLogLines(const QStringList& lines) {
  constexpr int kMaxLogLines = 50;
  if (lines.isEmpty()) return;
  if (lines.size() >= kMaxLogLines) lstOutput->clear();
  lstOutput->addItems(lines.size() > kMaxLogLines ? lines.mid(lines.size() - kMaxLogLines) : lines);
  const int excess = lstOutput->count() - kMaxLogLines;
  if (excess > 0) lstOutput->model()->removeRows(0, excess);
  lstOutput->setCurrentRow(lstOutput->count() - 1);
}

void frmMain::RemoveFirstLogLine() {
  if (lstOutput->count() == 0) return;
  delete lstOutput->takeItem(0);
  lstOutput->setCurrentRow(lstOutput->count() - 1);
}

void frmMain::closeEvent(QCloseEvent* event) {
  if (unloading_) {
    event->accept();
    return;
  }
  // Closing never unloads by itself: the stop decides, after the question.
  event->ignore();
  QueryUnload();
}

void frmMain::QueryUnload() {
  if (asking_ || unloading_) return;
  hide();
  asking_ = true;
  const bool yes =
      prompts_.AskYesNo(nullptr, "Are you sure you want to close the server registry?", kAppTitle);
  asking_ = false;
  if (yes) emit stopRequested();
}

void frmMain::Unload() {
  unloading_ = true;
  if (message_) message_->close();
  if (info_) info_->close();
  close();
}

// Hidden and shown again (the tray does that to a minimised window), a
// window whose place the program never chose is placed anew by the window
// manager, which some cascade a little further each time. Fixing the place
// it has as the program's own keeps it where it stood.
void frmMain::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  if (event->spontaneous() || unloading_ || !windowHandle()) return;
  windowHandle()->setFramePosition(pos());
}

void frmMain::RestoreFromTray() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

std::string ServerDetailsText(const ClientRecord& c) {
  std::string text = "Server ID: " + c.User + "\r\n";
  text += "Server Name: " + c.Name + "\r\n";
  text += "Server Description: " + c.Description + "\r\n";
  text += "IP Address: " + c.IP + "\r\n";
  text += "Current Player Count: " + std::to_string(c.PlayerCount) + "\r\n";
  if (c.Official != 0) text += "*This is an official server*\r\n";
  return text;
}

QStringList ServerInfoLines(const ClientRecord& c, const std::string& listedIP) {
  QStringList lines{"Server ID: " + U(c.User), "Server Name: " + U(c.Name), "IP: " + U(c.IP)};
  if (listedIP != c.IP) lines << "Listed to players as: " + U(listedIP);
  lines << "Player Count: " + QString::number(c.PlayerCount)
        << QString("Official: ") + (c.Official != 0 ? "True" : "False")
        << "Description: " + U(c.Description);
  return lines;
}
