#pragma once
// A value label of the main window. A text wider than the label ends with
// "…" where the label ends, and the whole text is then the label's tooltip;
// text() is always the whole text.
#include <QLabel>

class ElidingLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

  // Sets the text and, when it does not fit, the tooltip.
  void SetText(const QString& text);
  bool IsElided() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void UpdateTip();
};
