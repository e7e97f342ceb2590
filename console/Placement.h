#pragma once
// Where the information window and the message dialog open: beside the main
// window, never over its server list when the screen has room for that.
#include <QPoint>
#include <QRect>
#include <QSize>

// The top-left corner of a window of `size` (its frame included) opened
// beside `main` (the main window's frame) on `screen` (the screen's area
// for windows), `list` being the server list's rectangle, all in screen
// coordinates. Tried in turn: to the right of the main window, below it, to
// its left and above it, `gap` pixels apart, each moved along that side as
// far as the screen needs; the first side where the window fits whole on the
// screen is taken. When none fits, the place on the screen that covers the
// least of the list (then of the main window) is taken.
QPoint PlaceBeside(const QRect& screen, const QRect& main, const QRect& list, const QSize& size,
                   int gap = 8);
