// Where the information window and the message dialog open: beside the main
// window and off its server list, with the main window in each corner of
// the screen. The windows are checked on a screen of 1600x1200 pixels; the
// test runs once as it is and once at QT_SCALE_FACTOR=2, where the same
// screen holds half as many of the windows' pixels each way.
#include "ConsoleHarness.h"
#include "console/Placement.h"
#include "console/frmInfo.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryFile>
#include <QWindow>
#include <QtTest>
#include <cstdlib>

namespace {

enum class Corner { TopLeft, TopRight, BottomLeft, BottomRight };
const Corner kCorners[] = {Corner::TopLeft, Corner::TopRight, Corner::BottomLeft,
                           Corner::BottomRight};

QPoint CornerPos(Corner corner, const QRect& screen, const QSize& size) {
  const int right = screen.right() + 1 - size.width();
  const int bottom = screen.bottom() + 1 - size.height();
  switch (corner) {
    case Corner::TopLeft: return screen.topLeft();
    case Corner::TopRight: return {right, screen.top()};
    case Corner::BottomLeft: return {screen.left(), bottom};
    case Corner::BottomRight: return {right, bottom};
  }
  return {};
}

// Whether the screen has room for a window of `size` on some side of `main`,
// `gap` apart, found independently of the placement's own steps.
bool SomeSideHasRoom(const QRect& screen, const QRect& main, const QSize& size, int gap) {
  const bool tall = size.height() <= screen.height();
  const bool wide = size.width() <= screen.width();
  return (tall && screen.right() - main.right() - gap >= size.width()) ||
         (tall && main.left() - screen.left() - gap >= size.width()) ||
         (wide && screen.bottom() - main.bottom() - gap >= size.height()) ||
         (wide && main.top() - screen.top() - gap >= size.height());
}

long long Area(const QRect& r) { return r.isEmpty() ? 0 : (long long)(r.width()) * r.height(); }

// The least of `list` that any place of a window of `size` on the screen
// covers, looked for over every place on a grid of 2 pixels.
long long LeastCover(const QRect& screen, const QRect& list, const QSize& size) {
  long long least = -1;
  for (int x = screen.left(); x + size.width() <= screen.right() + 1; x += 2) {
    for (int y = screen.top(); y + size.height() <= screen.bottom() + 1; y += 2) {
      const long long cover = Area(QRect(QPoint(x, y), size).intersected(list));
      if (least < 0 || cover < least) least = cover;
    }
  }
  return least;
}

}  // namespace

class TestPlacement : public QObject {
  Q_OBJECT
 private slots:
  void sidesInTurn();
  void eachCornerAtScaleOneAndTwo();
  void windowsOfTheConsoleInEachCorner();
  void mainWindowKeepsItsPlaceAcrossHideAndShow();
};

// Right, below, left, above: the first side with room, moved along it onto
// the screen.
void TestPlacement::sidesInTurn() {
  const QRect screen(0, 0, 1000, 800);
  const QSize size(300, 200);
  const QRect list(120, 140, 100, 100);
  auto at = [&](QRect main) { return PlaceBeside(screen, main, list, size, 8); };
  QCOMPARE(at({100, 100, 400, 300}), QPoint(508, 100));   // right
  QCOMPARE(at({400, 100, 400, 300}), QPoint(400, 408));   // below
  QCOMPARE(at({400, 400, 400, 300}), QPoint(92, 400));    // left
  QCOMPARE(at({300, 410, 400, 300}), QPoint(300, 202));   // above, the left too narrow
  // Beside it but moved up, so that it stays on the screen.
  QCOMPARE(at({100, 700, 400, 100}), QPoint(508, 600));
  // A window taller than the screen has no side beside; below, where it fits.
  QCOMPARE(PlaceBeside(QRect(0, 0, 1000, 800), QRect(0, 0, 900, 100), list, QSize(300, 600), 8),
           QPoint(0, 108));
}

void TestPlacement::eachCornerAtScaleOneAndTwo() {
  // The main window and the dialog keep their sizes in the windows' own
  // pixels; at scale 2 the screen holds half as many of them.
  const QSize main(520, 240);
  const QRect listInMain(10, 60, 150, 120);
  const QSize dialog(400, 300);
  for (const int scale : {1, 2}) {
    for (const QSize physical : {QSize(1600, 1200), QSize(1280, 1024), QSize(800, 600)}) {
      const QRect screen(QPoint(0, 0), physical / scale);
      for (const Corner corner : kCorners) {
        const QRect frame(CornerPos(corner, screen, main), main);
        const QRect list = listInMain.translated(frame.topLeft());
        const QRect placed(PlaceBeside(screen, frame, list, dialog, 8), dialog);
        const QByteArray where = QString("scale %1, %2x%3, corner %4")
                                     .arg(scale).arg(screen.width()).arg(screen.height())
                                     .arg(int(corner)).toLatin1();
        if (dialog.width() <= screen.width() && dialog.height() <= screen.height())
          QVERIFY2(screen.contains(placed), where);
        if (SomeSideHasRoom(screen, frame, dialog, 8)) {
          QVERIFY2(!placed.intersects(list), where);
          QVERIFY2(!placed.intersects(frame), where);
        } else {
          QCOMPARE(Area(placed.intersected(list)), LeastCover(screen, list, dialog));
        }
      }
    }
  }
}

// The real windows, with the main window moved into each corner of the
// screen this process was given.
void TestPlacement::windowsOfTheConsoleInEachCorner() {
  for (const Corner corner : kCorners) {
    ConsoleHarness c;
    const QRect screen = c.window.screen()->availableGeometry();
    c.window.move(CornerPos(corner, screen, c.window.frameGeometry().size()));
    auto alpha = c.Login("alpha", 0);
    c.Trigger("mnuServerView");
    c.ClickLine(0);
    c.Trigger("mnuServerMessage");
    c.Trigger("mnuViewInformation");
    const QRect main = c.window.frameGeometry();
    const QRect list(c.window.lstServers->mapToGlobal(QPoint(0, 0)), c.window.lstServers->size());
    for (QWidget* w : {static_cast<QWidget*>(c.window.MessageDialog()),
                       static_cast<QWidget*>(c.window.InfoWindow())}) {
      QVERIFY(w && QTest::qWaitForWindowExposed(w));
      const QRect placed = w->frameGeometry();
      const QByteArray where = QString("%1, corner %2, screen %3x%4, main %5x%6")
                                   .arg(w->objectName()).arg(int(corner))
                                   .arg(screen.width()).arg(screen.height())
                                   .arg(main.width()).arg(main.height()).toLatin1();
      if (placed.width() <= screen.width() && placed.height() <= screen.height())
        QVERIFY2(screen.contains(placed), where);
      const bool room = SomeSideHasRoom(screen, main, placed.size(), 8);
      qInfo("%s: %s", where.constData(), room ? "beside" : "no side has room");
      if (room) {
        QVERIFY2(!placed.intersects(list), where);
        QVERIFY2(!placed.intersects(main), where);
      } else {
        QCOMPARE(Area(placed.intersected(list)), LeastCover(screen, list, placed.size()));
      }
    }
  }
}

// Hidden (as the tray hides it) and shown again, the main window stands
// where it stood.
void TestPlacement::mainWindowKeepsItsPlaceAcrossHideAndShow() {
  ConsoleHarness c;
  const QRect screen = c.window.screen()->availableGeometry();
  const QPoint place = screen.topLeft() + QPoint(37, 41);
  c.window.move(place);
  QTRY_COMPARE(c.window.pos(), place);
  for (int round = 0; round < 3; ++round) {
    c.window.showMinimized();
    c.window.hide();
    c.window.RestoreFromTray();
    QVERIFY(QTest::qWaitForWindowExposed(&c.window));
    QCOMPARE(c.window.pos(), place);
  }
}

// The screen is given to the offscreen platform before the application
// starts: 1600x1200 pixels.
int main(int argc, char** argv) {
  QTemporaryFile config(QDir::tempPath() + "/tarnwick-screen-XXXXXX.json");
  if (!config.open()) return 2;
  config.write(R"({"screens": [{"name": "big", "x": 0, "y": 0, "width": 1600, "height": 1200,
                  "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
  config.flush();
  const QByteArray platform = "offscreen:configfile=" + QFile::encodeName(config.fileName());
  qputenv("QT_QPA_PLATFORM", platform);
  QApplication app(argc, argv);
  TestPlacement test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_placement.moc"
