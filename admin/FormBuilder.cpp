#include "admin/FormBuilder.h"

#include "admin/LimitedTextEdit.h"
#include "storage/Database.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace admin {

QLineEdit* NewBox(const char* name, int maxLength, QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(QLatin1String(name));
  box->setMaxLength(maxLength);
  return box;
}

LimitedTextEdit* NewTextBox(const char* name, int maxLength, const QWidget* oneLine,
                            QWidget* parent) {
  auto* box = new LimitedTextEdit(maxLength, parent);
  box->setObjectName(QLatin1String(name));
  box->setFixedHeight(oneLine->sizeHint().height() * 3);
  return box;
}

QPushButton* NewButton(const char* name, const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QLatin1String(name));
  button->setAutoDefault(false);
  return button;
}

QListWidget* NewList(const char* name, QWidget* parent) {
  auto* list = new QListWidget(parent);
  list->setObjectName(QLatin1String(name));
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  return list;
}

QGridLayout* EditorLayout(QWidget* window, std::initializer_list<CaptionedBox> rows,
                          std::initializer_list<QPushButton*> buttons) {
  auto* grid = new QGridLayout;
  int row = 0;
  for (const CaptionedBox& r : rows) {
    auto* label = new QLabel(QLatin1String(r.caption), window);
    label->setObjectName(QLatin1String(r.name));
    label->setBuddy(r.box);
    const bool tall = qobject_cast<LimitedTextEdit*>(r.box) != nullptr;
    grid->addWidget(label, row, 0, Qt::AlignRight | (tall ? Qt::AlignTop : Qt::AlignVCenter));
    grid->addWidget(r.box, row, 1, 1, r.span);
    ++row;
  }
  grid->setColumnStretch(1, 1);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->addStretch();
  for (QPushButton* button : buttons) buttonRow->addWidget(button);
  auto* layout = new QVBoxLayout(window);
  layout->addLayout(grid);
  layout->addLayout(buttonRow);
  return grid;
}

QGridLayout* ListLayout(QWidget* window, QWidget* list, std::initializer_list<QPushButton*> buttons,
                        int firstRow) {
  auto* grid = new QGridLayout(window);
  const int count = int(buttons.size());
  grid->addWidget(list, firstRow, 0, count + 1, 1);
  int row = firstRow;
  for (QPushButton* button : buttons) grid->addWidget(button, row++, 1);
  grid->setRowStretch(firstRow + count, 1);
  grid->setColumnStretch(0, 1);
  return grid;
}

void TabOrder(std::initializer_list<QWidget*> widgets) {
  QWidget* previous = nullptr;
  for (QWidget* widget : widgets) {
    if (previous) QWidget::setTabOrder(previous, widget);
    previous = widget;
  }
}

QString EngineText(const DatabaseError& e) { return QString::fromUtf8(e.what()); }

}  // namespace admin
