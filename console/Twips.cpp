#include "console/Twips.h"

#include <QFontMetrics>
#include <algorithm>
#include <cmath>

TwipScale TwipScale::ToFit(const QFont& font, const std::vector<Width>& widths,
                           const std::vector<Height>& heights) {
  const QFontMetrics metrics(font);
  // Each need is the pixels wanted over the pixels the layout gives at 1.
  double factor = 1.0;
  for (const Width& w : widths)
    factor = std::max(factor, (metrics.horizontalAdvance(w.text) + w.padding) * 15.0 / w.twips);
  for (const Height& h : heights)
    factor = std::max(factor, (metrics.height() + h.margin) * 15.0 / h.twips);
  // A hair over the exact need, so that rounding a size to whole pixels
  // never takes the last pixel of a caption.
  return TwipScale(factor == 1.0 ? 1.0 : factor + 0.01);
}

int TwipScale::Px(int twips) const { return int(std::lround(twips * factor_ / 15.0)); }

QRect TwipScale::Rect(int left, int top, int width, int height) const {
  return QRect(Px(left), Px(top), Px(width), Px(height));
}
