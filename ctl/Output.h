#pragma once
// What tarnwickctl prints: tables and "Field: value" lines for people, JSON
// for scripts. Texts in tables come from game servers and other programs, so
// control characters are shown escaped rather than sent to the terminal.
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <vector>

namespace ctl {

// The text with control characters written as \n, \r, \t or \xHH.
QString Shown(const QString& text);

// To standard output, in UTF-8, followed by a line end; flushed, so that a
// reader at the other end of a pipe sees each line as it comes.
void PrintLine(const QString& line);
void PrintJson(const QJsonValue& value);

// Columns left-aligned under upper-case headings, two spaces apart.
class Table {
 public:
  explicit Table(QStringList headings) : rows_{std::move(headings)} {}
  // Cells are shown through Shown().
  void Add(const QStringList& cells);
  void Print() const;

 private:
  std::vector<QStringList> rows_;
};

// "Label:" lines with the values lined up.
class Fields {
 public:
  void Add(const QString& label, const QString& value) { rows_.push_back({label + ':', Shown(value)}); }
  void Print() const;

 private:
  std::vector<QStringList> rows_;
};

}  // namespace ctl
