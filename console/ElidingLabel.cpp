#include "console/ElidingLabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

void ElidingLabel::SetText(const QString& text) {
  setText(text);
  UpdateTip();
}

namespace {

// The label shows one line: a line break a game server sent stands as a
// space.
QString OneLine(QString text) {
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

}  // namespace

bool ElidingLabel::IsElided() const {
  return fontMetrics().horizontalAdvance(OneLine(text())) > contentsRect().width();
}

void ElidingLabel::UpdateTip() { setToolTip(IsElided() ? text() : QString()); }

void ElidingLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown = fontMetrics().elidedText(OneLine(text()), Qt::ElideRight, area.width());
  style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), shown,
                        foregroundRole());
}

void ElidingLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  UpdateTip();
}

void ElidingLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) UpdateTip();
}
