#pragma once
// The information window: the details of one server in a text box, and a
// "Done" button that closes it. Not modal; the main window reuses an open one.
#include <QDialog>
#include <QStringList>

class QPlainTextEdit;
class QPushButton;

class frmInfo : public QDialog {
  Q_OBJECT
 public:
  explicit frmInfo(QWidget* parent = nullptr);

  // One line each; shown one below the other.
  void SetLines(const QStringList& lines);

  QPlainTextEdit* txtInfo = nullptr;
  QPushButton* cmdDone = nullptr;
};
