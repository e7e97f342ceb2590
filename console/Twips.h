#pragma once
// The windows' layouts are drawn in twips (1/1440 inch); the screen has 15
// twips to a pixel.
#include <QFont>
#include <QRect>
#include <QWidget>

constexpr int TwipsToPixels(int twips) { return (twips + 7) / 15; }

inline QRect TwipsRect(int left, int top, int width, int height) {
  return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height));
}

inline void PlaceTwips(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(TwipsRect(left, top, width, height));
}

// The layouts were drawn for a small 8-point face; a narrow face of that
// size keeps every caption whole within them.
inline void UseLayoutFont(QWidget* widget) {
  QFont small = widget->font();
  small.setPixelSize(10);
  small.setStretch(QFont::SemiCondensed);
  widget->setFont(small);
}
