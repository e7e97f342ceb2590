#include "console/Placement.h"

#include <algorithm>
#include <vector>

namespace {

// The window moved as little as it takes to stand on the screen; a window
// larger than the screen keeps its top-left corner on it.
QPoint OnScreen(QPoint at, const QSize& size, const QRect& screen) {
  const int lastX = std::max(screen.left(), screen.right() + 1 - size.width());
  const int lastY = std::max(screen.top(), screen.bottom() + 1 - size.height());
  return QPoint(std::clamp(at.x(), screen.left(), lastX), std::clamp(at.y(), screen.top(), lastY));
}

long long Covered(const QRect& window, const QRect& area) {
  const QRect both = window.intersected(area);
  return both.isEmpty() ? 0 : (long long)(both.width()) * both.height();
}

}  // namespace

QPoint PlaceBeside(const QRect& screen, const QRect& main, const QRect& list, const QSize& size,
                   int gap) {
  const QPoint right(main.right() + 1 + gap, main.top());
  const QPoint below(main.left(), main.bottom() + 1 + gap);
  const QPoint left(main.left() - gap - size.width(), main.top());
  const QPoint above(main.left(), main.top() - gap - size.height());
  const bool tallEnough = size.height() <= screen.height();
  const bool wideEnough = size.width() <= screen.width();
  // A side fits when the window, moved along it onto the screen, stays
  // clear of the main window on that side.
  if (tallEnough && right.x() + size.width() <= screen.right() + 1)
    return OnScreen(right, size, screen);
  if (wideEnough && below.y() + size.height() <= screen.bottom() + 1)
    return OnScreen(below, size, screen);
  if (tallEnough && left.x() >= screen.left()) return OnScreen(left, size, screen);
  if (wideEnough && above.y() >= screen.top()) return OnScreen(above, size, screen);

  // No side has room: the sides pushed onto the screen, and its corners.
  const std::vector<QPoint> candidates = {
      OnScreen(right, size, screen),
      OnScreen(below, size, screen),
      OnScreen(left, size, screen),
      OnScreen(above, size, screen),
      OnScreen(screen.topLeft(), size, screen),
      OnScreen(QPoint(screen.right(), screen.top()), size, screen),
      OnScreen(QPoint(screen.left(), screen.bottom()), size, screen),
      OnScreen(screen.bottomRight(), size, screen),
  };
  QPoint best = candidates.front();
  std::pair<long long, long long> least{-1, -1};
  for (const QPoint& at : candidates) {
    const QRect window(at, size);
    const std::pair<long long, long long> cover{Covered(window, list), Covered(window, main)};
    if (least.first < 0 || cover < least) {
      least = cover;
      best = at;
    }
  }
  return best;
}
