#include "ui/TextNotice.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// The share of the screen's area for windows that the notice may take.
constexpr double kScreenShare = 0.8;
// The widest the text runs before it wraps, in average characters.
constexpr int kWidestLine = 64;

QRect ScreenArea(const QWidget* parent) {
  const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
  return screen->availableGeometry();
}

// Sizes the box to its text: as wide as its longest line, within the widest
// line and the screen, and at least as wide as the title with room for the
// title bar's buttons; as tall as the wrapped text, within the screen.
void FitToText(QTextEdit* box, const QString& title, const QRect& screen, int buttonsHeight) {
  const QFontMetrics metrics(box->font());
  const int frame = 2 * box->frameWidth();
  const int margin = int(2 * box->document()->documentMargin());
  const int scrollBar = box->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  int longest = 0;
  for (const QString& line : box->toPlainText().split(QLatin1Char('\n')))
    longest = std::max(longest, metrics.horizontalAdvance(line));
  const int widest = std::min(kWidestLine * metrics.averageCharWidth(),
                              int(screen.width() * kScreenShare) - frame - margin - scrollBar);
  const int titleRoom = metrics.horizontalAdvance(title) + 12 * metrics.averageCharWidth();
  const int textWidth = std::max(std::min(longest + 1, widest), titleRoom - frame - margin);
  // Measured on a copy: the box lays its own document out only once shown.
  QTextDocument measure;
  measure.setDefaultFont(box->font());
  measure.setDocumentMargin(box->document()->documentMargin());
  QTextOption wrap = measure.defaultTextOption();
  wrap.setWrapMode(box->wordWrapMode());
  measure.setDefaultTextOption(wrap);
  measure.setPlainText(box->toPlainText());
  measure.setTextWidth(textWidth + margin);
  const int textHeight = int(measure.size().height()) + 1;
  const int tallest = int(screen.height() * kScreenShare) - buttonsHeight - frame;
  const bool scrolls = textHeight > tallest;
  box->setFixedSize(textWidth + margin + frame + (scrolls ? scrollBar : 0),
                    std::min(textHeight, tallest) + frame);
}

}  // namespace

QDialog* NewTextNotice(QWidget* parent, const QString& text, const QString& title) {
  auto* notice = new QDialog(parent);
  notice->setObjectName(QStringLiteral("frmTextNotice"));
  notice->setAttribute(Qt::WA_DeleteOnClose);
  notice->setWindowTitle(title);

  auto* box = new QTextEdit(notice);
  box->setObjectName(QStringLiteral("txtText"));
  box->setReadOnly(true);
  box->setAcceptRichText(false);
  box->setLineWrapMode(QTextEdit::WidgetWidth);
  box->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  box->setPlainText(text);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, notice);
  buttons->setCenterButtons(true);
  QObject::connect(buttons, &QDialogButtonBox::accepted, notice, &QDialog::accept);

  auto* layout = new QVBoxLayout(notice);
  layout->addWidget(box);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  const int margins = layout->contentsMargins().top() + layout->contentsMargins().bottom();
  FitToText(box, title, ScreenArea(parent),
            buttons->sizeHint().height() + layout->spacing() + margins);
  buttons->button(QDialogButtonBox::Ok)->setFocus();
  return notice;
}

void ShowTextNotice(QWidget* parent, const QString& text, const QString& title) {
  NewTextNotice(parent, text, title)->exec();
}
