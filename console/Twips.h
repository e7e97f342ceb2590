#pragma once
// The windows' layouts are drawn in twips (1/1440 inch); the screen has 15
// twips to a pixel. The layouts were drawn for the small face of their day,
// so a window shows the desktop's own face and scales its layout to it
// instead: by the smallest factor, never below 1, at which every caption
// fits the width the layout gives it and every line of the face fits the
// height its control has.
#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>
#include <vector>

constexpr int TwipsToPixels(int twips) { return (twips + 7) / 15; }

inline QRect TwipsRect(int left, int top, int width, int height) {
  return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height));
}

inline void PlaceTwips(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(TwipsRect(left, top, width, height));
}

class TwipScale {
 public:
  // A text that must fit `twips` of width; `padding` pixels go with it (a
  // button's frame around its caption, the gap after a caption).
  struct Width {
    QString text;
    int twips;
    int padding = 0;
  };
  // A line of the face, with `margin` pixels (a box's frame), that must fit
  // `twips` of height.
  struct Height {
    int twips;
    int margin = 0;
  };

  explicit TwipScale(double factor = 1.0) : factor_(factor) {}

  static TwipScale ToFit(const QFont& font, const std::vector<Width>& widths,
                         const std::vector<Height>& heights);

  double Factor() const { return factor_; }
  // At factor 1 these are exactly the 15-to-a-pixel conversions above.
  int Px(int twips) const;
  QRect Rect(int left, int top, int width, int height) const;
  void Place(QWidget* widget, int left, int top, int width, int height) const {
    widget->setGeometry(Rect(left, top, width, height));
  }

 private:
  double factor_;
};
