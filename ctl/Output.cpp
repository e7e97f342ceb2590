#include "ctl/Output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>

namespace ctl {

QString Shown(const QString& text) {
  QString shown;
  shown.reserve(text.size());
  for (const QChar c : text) {
    const ushort u = c.unicode();
    if (u >= 0x20 && u != 0x7F && (u < 0x80 || u > 0x9F)) {
      shown += c;
    } else if (u == '\n') {
      shown += QLatin1String("\\n");
    } else if (u == '\r') {
      shown += QLatin1String("\\r");
    } else if (u == '\t') {
      shown += QLatin1String("\\t");
    } else {
      shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
  }
  return shown;
}

void PrintLine(const QString& line) {
  const QByteArray text = line.toUtf8() + '\n';
  std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout);
  std::fflush(stdout);
}

void PrintJson(const QJsonValue& value) {
  QByteArray text;
  if (value.isArray())
    text = QJsonDocument(value.toArray()).toJson(QJsonDocument::Indented);
  else if (value.isObject())
    text = QJsonDocument(value.toObject()).toJson(QJsonDocument::Indented);
  else  // a lone value, as one line
    text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + '\n';
  std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout);
  std::fflush(stdout);
}

namespace {

// Rows of cells, each column as wide as its widest cell; nothing is padded
// at the end of a line.
void PrintColumns(const std::vector<QStringList>& rows) {
  std::vector<qsizetype> widths;
  for (const QStringList& row : rows) {
    widths.resize(std::max(widths.size(), std::size_t(row.size())));
    for (qsizetype i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const QStringList& row : rows) {
    QString line;
    for (qsizetype i = 0; i < row.size(); ++i) {
      if (i + 1 < row.size())
        line += row[i].leftJustified(widths[i] + 2);
      else
        line += row[i];
    }
    while (line.endsWith(QLatin1Char(' '))) line.chop(1);
    PrintLine(line);
  }
}

}  // namespace

void Table::Add(const QStringList& cells) {
  QStringList shown;
  for (const QString& cell : cells) shown << Shown(cell);
  rows_.push_back(shown);
}

void Table::Print() const { PrintColumns(rows_); }

void Fields::Print() const { PrintColumns(rows_); }

}  // namespace ctl
