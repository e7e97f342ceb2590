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
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>

namespace {

QString U(const std::string& text) { return cp1252::ToUnicode(text); }

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top,
                  int width) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  PlaceTwips(label, left, top, width, 255);
  return label;
}

// The widest text each label of the server view is to show whole: its
// caption, or for a value label the widest value it commonly holds.
const std::pair<const char*, const char*> kWidestTexts[] = {
    {"Label1", "Servers Connected:"}, {"lblStatus", "Accesses/Hour = 9999"},
    {"Label3", "Server ID:"},         {"Label4", "Server Name:"},
    {"Label6", "IP:"},                {"lblIP", "255.255.255.255"},
    {"Label7", "Player Count:"},      {"lblCount", "255"},
    {"Label9", "Official:"},          {"lblOfficial", "Yes"},
    {"lblDesc", "Click here for description"},
};

// The menu bar's face (the one the dialogs show too), at the largest size
// not above the menu bar's at which every label's text fits its width: the
// layout's widths were drawn for a face smaller than most desktops' own.
QFont FittingFont(const QFont& menuFont, const QWidget* area) {
  QFont font = menuFont;
  for (int px = QFontInfo(menuFont).pixelSize(); px > 6; --px) {
    font.setPixelSize(px);
    const QFontMetrics metrics(font);
    bool fits = true;
    for (const auto& [name, text] : kWidestTexts) {
      const auto* label = area->findChild<const QWidget*>(QLatin1String(name));
      fits = fits && metrics.horizontalAdvance(QLatin1String(text)) <= label->width();
    }
    if (fits) break;
  }
  return font;
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
}

frmMain::~frmMain() {
  delete message_.data();
  delete info_.data();
}

void frmMain::BuildControls() {
  auto* area = new QWidget(this);
  area->setObjectName("clientArea");
  area->setFixedSize(TwipsToPixels(6060), TwipsToPixels(2175));
  setCentralWidget(area);

  Label1 = MakeLabel(area, "Label1", "Servers Connected:", 120, 0, 1575);
  lstServers = new ServerListBox(area);
  lstServers->setObjectName("lstServers");
  lstServers->setSelectionMode(QAbstractItemView::SingleSelection);
  lstServers->setContextMenuPolicy(Qt::PreventContextMenu);
  PlaceTwips(lstServers, 120, 240, 1815, 1425);
  lblStatus = MakeLabel(area, "lblStatus", QString(), 240, 1800, 1815);

  Frame1 = new QGroupBox("Selected Server Information:", area);
  Frame1->setObjectName("Frame1");
  PlaceTwips(Frame1, 2160, 0, 3855, 1815);
  Label3 = MakeLabel(Frame1, "Label3", "Server ID:", 120, 240, 840);
  lblID = MakeLabel(Frame1, "lblID", QString(), 960, 240, 1455);
  Label4 = MakeLabel(Frame1, "Label4", "Server Name:", 120, 480, 1080);
  lblName = MakeLabel(Frame1, "lblName", QString(), 1200, 480, 2535);
  Label6 = MakeLabel(Frame1, "Label6", "IP:", 120, 720, 240);
  lblIP = MakeLabel(Frame1, "lblIP", QString(), 360, 720, 2055);
  Label7 = MakeLabel(Frame1, "Label7", "Player Count:", 120, 960, 960);
  lblCount = MakeLabel(Frame1, "lblCount", QString(), 1080, 960, 1575);
  Label9 = MakeLabel(Frame1, "Label9", "Official:", 120, 1200, 600);
  lblOfficial = MakeLabel(Frame1, "lblOfficial", QString(), 720, 1200, 735);
  lblDesc = MakeLabel(Frame1, "lblDesc", "Click here for description", 1080, 1440, 1935);
  lblDesc->setCursor(Qt::PointingHandCursor);
  lblDesc->installEventFilter(this);

  area->setFont(FittingFont(menuBar()->font(), area));
  QFont link = area->font();
  link.setUnderline(true);
  lblDesc->setFont(link);

  lstOutput = new QListWidget(area);
  lstOutput->setObjectName("lstOutput");
  PlaceTwips(lstOutput, 0, 0, 6015, 1815);
  txtInput = new QLineEdit(area);
  txtInput->setObjectName("txtInput");
  PlaceTwips(txtInput, 0, 1850, 6015, 285);

  connect(lstServers, &QListWidget::itemSelectionChanged, this, &frmMain::OnServerSelectionChanged);
  connect(lstServers, &ServerListBox::mouseDown, this, &frmMain::OnServerListMouseDown);
  connect(lstServers, &ServerListBox::listDoubleClicked, this, &frmMain::OnServerListDoubleClicked);
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
    lblID->setText(U(labels.ID));
    lblName->setText(U(labels.Name));
    lblIP->setText(U(labels.IP));
    lblCount->setText(U(labels.Count));
    lblOfficial->setText(U(labels.Official));
  };
  caption();
  status();
  allow();
  info();
  syncing_ = true;
  for (const std::string& line : state_.ServerLines()) lstServers->addItem(U(line));
  syncing_ = false;
  SyncSelection();

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
  if (selected < 0) {
    lstServers->clearSelection();
    lstServers->setCurrentRow(-1);
  } else {
    lstServers->setCurrentRow(selected);
  }
  syncing_ = false;
}

void frmMain::ShowEventView() {
  for (QWidget* w : std::initializer_list<QWidget*>{lstServers, Label1, Frame1, lblStatus}) w->hide();
  lstOutput->show();
  txtInput->show();
}

void frmMain::ShowServerView() {
  for (QWidget* w : std::initializer_list<QWidget*>{lstServers, Label1, Frame1, lblStatus}) w->show();
  lstOutput->hide();
  txtInput->hide();
}

std::string frmMain::SelectedLine() const { return state_.SelectedServerText(); }

void frmMain::ShowSelectedServerInfo() {
  const std::string user = SelectedLine();
  if (user.empty()) return;
  if (const int slot = registry_.FindClientByUser(user)) registry_.ShowServerInfo(slot);
}

void frmMain::OnServerSelectionChanged() {
  if (syncing_) return;
  const QList<QListWidgetItem*> selected = lstServers->selectedItems();
  state_.SelectServer(selected.isEmpty() ? -1 : lstServers->row(selected.first()));
  ShowSelectedServerInfo();
}

void frmMain::OnServerListMouseDown(Qt::MouseButton button, const QPoint& globalPos) {
  ShowSelectedServerInfo();
  if (button == Qt::RightButton && state_.SelectedServer() >= 0) mnuServer->popup(globalPos);
}

void frmMain::OnServerListDoubleClicked() {
  if (state_.SelectedServer() < 0) return;
  const int slot = registry_.FindClientByUser(SelectedLine());
  if (slot == 0) return;
  const std::string text = ServerDetailsText(registry_.Client(slot));
  QFile file("temp.txt");
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.flush()) {
    prompts_.Notice(this, "The server details could not be written to temp.txt: " + file.errorString(),
                    kAppTitle);
  }
}

void frmMain::OnDescriptionClicked() {
  if (lblID->text().isEmpty()) return;
  const int slot = registry_.FindClientByUser(cp1252::FromUnicode(lblID->text()));
  if (slot == 0) {
    prompts_.Notice(this, "The selected server is not currently online.", kAppTitle);
    return;
  }
  prompts_.Notice(this, U(registry_.Client(slot).Description), "Kestrune: Server Description");
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
