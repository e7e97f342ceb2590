// Takes the README's pictures of the accounts list and the ban list: a
// throw-away database with a few accounts and bans, each window opened as the
// operator would see it and grabbed into <folder>/accounts.png and
// <folder>/bans.png. With --editors it also grabs the two editors
// (account.png, ban.png). Run it through scripts/screenshots-admin, which
// starts it under Xvfb.
#include "admin/AdminWindows.h"
#include "admin/frmAccounts.h"
#include "admin/frmBan.h"
#include "admin/frmBans.h"
#include "common/RegistryHarness.h"
#include "common/ScriptedPrompts.h"

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <cstdio>

namespace {

// Xvfb runs no window manager, so a window has no frame of its own: the
// picture gets a plain title bar carrying the window's caption.
QImage WithCaption(QWidget* window) {
  const QPixmap content = window->grab();
  const int bar = window->fontMetrics().height() + 10;
  QImage picture(content.width() + 2, content.height() + bar + 1, QImage::Format_RGB32);
  picture.fill(QColor(0x3c, 0x4a, 0x5c));
  QPainter painter(&picture);
  painter.drawPixmap(1, bar, content);
  QFont font = window->font();
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(8, 0, picture.width() - 16, bar), Qt::AlignVCenter | Qt::AlignLeft,
                   window->windowTitle());
  return picture;
}

bool Save(QWidget* window, const QString& file) {
  window->show();
  window->raise();
  QTest::qWait(300);  // let the window system map and paint it
  if (!WithCaption(window).save(file)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s\n", qPrintable(file));
  return true;
}

void AddAccount(Database& db, const char* user, const char* name, int official) {
  AccountRecord a;
  a.User = user;
  a.Password = "SECRET";
  a.Name = name;
  a.Description = "";
  a.UpdateURL = "";
  a.Official = official;
  db.accounts().Add(a);
}

void AddBan(Database& db, int number, const char* name, const char* ip, std::optional<QDateTime> until,
            const char* reason) {
  BanRecord b;
  b.Number = number;
  b.Name = name;
  b.IP = ip;
  b.Reason = reason;
  b.UnbanDate = until;
  db.bans().Add(b);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  app.setApplicationName("Tarnwick");
  const QStringList args = app.arguments();
  const QDir out(args.value(1, QStringLiteral(".")));
  const bool editors = args.contains(QStringLiteral("--editors"));

  RegistryHarness h;
  ScriptedPrompts prompts;
  AdminWindows windows(h.db, *h.registry, prompts, h.calendar);

  AddAccount(h.db, "Aldermoor", "Aldermoor Keep", 1);
  AddAccount(h.db, "brackenfell", "Brackenfell", 0);
  AddAccount(h.db, "Castle_Grim", "Castle Grim PvP", 1);
  AddAccount(h.db, "duskhollow", "Dusk Hollow RP", 0);
  AddAccount(h.db, "Eastwatch", "Eastwatch", 0);
  AddAccount(h.db, "frostmere_01", "Frostmere", 0);
  AddAccount(h.db, "Gloomspire", "Gloomspire", 1);

  AddBan(h.db, 1, "Flooder", "203.0.113.7", QDateTime(QDate(2026, 12, 31), QTime(0, 0)), "Floods the list");
  AddBan(h.db, 2, "Scanner", "198.51.100.0", std::nullopt, "Port scans from the whole network");
  AddBan(h.db, 3, "Cheater", "192.0.2.44", QDateTime(QDate(2027, 1, 15), QTime(18, 30)), "Speed hack");
  AddBan(h.db, 4, "Spam net", "10.66.0.0", QDateTime(QDate(2027, 3, 1), QTime(0, 0)), "");

  bool ok = true;
  frmAccounts* accounts = windows.OpenAccounts(nullptr);
  auto* list = accounts->findChild<QListWidget*>("lstAccounts");
  list->setCurrentRow(2);
  ok &= Save(accounts, out.filePath("accounts.png"));
  if (editors) {
    accounts->findChild<QPushButton*>("btnEdit")->click();
    QWidget* editor = QApplication::activeModalWidget();
    if (editor && editor != accounts) ok &= Save(editor, out.filePath("account.png"));
  }
  windows.CloseAll();

  frmBans* bans = windows.OpenBanList();
  bans->findChild<QListWidget*>("lstIPs")->setCurrentRow(2);
  ok &= Save(bans, out.filePath("bans.png"));
  if (editors) {
    bans->findChild<QPushButton*>("cmdEditBan")->click();
    if (QWidget* editor = windows.BanEditor()) ok &= Save(editor, out.filePath("ban.png"));
  }
  windows.CloseAll();
  return ok ? 0 : 1;
}
