#include "console/frmInfo.h"

#include "console/Twips.h"

#include <QPlainTextEdit>
#include <QPushButton>

frmInfo::frmInfo(QWidget* parent) : QDialog(parent) {
  setObjectName("frmInfo");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Kestrune [Server Information]");

  txtInfo = new QPlainTextEdit(this);
  txtInfo->setObjectName("txtInfo");
  txtInfo->setReadOnly(true);
  PlaceTwips(txtInfo, 0, 0, 6975, 2055);

  cmdDone = new QPushButton("Done", this);
  cmdDone->setObjectName("cmdDone");
  const QRect text = txtInfo->geometry();
  cmdDone->setGeometry(text.width() / 2 - 40, text.bottom() + 9, 81, 25);
  connect(cmdDone, &QPushButton::clicked, this, &QDialog::close);

  setFixedSize(text.width(), cmdDone->geometry().bottom() + 9);
}

void frmInfo::SetLines(const QStringList& lines) { txtInfo->setPlainText(lines.join('\n')); }
