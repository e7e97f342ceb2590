#include "admin/TooLongText.h"

#include "storage/Database.h"

#include <QRegularExpression>

namespace admin {

std::optional<TooLongText> TooLongTextIn(const DatabaseError& e) {
  // The size check of a text column is named "<table>.<column> longer than
  // <n> characters"; the engine's refusal carries that name.
  static const QRegularExpression check(QStringLiteral(R"((\w+)\.(\w+) longer than (\d+) characters)"));
  const QRegularExpressionMatch m = check.match(QString::fromUtf8(e.what()));
  if (!m.hasMatch()) return std::nullopt;
  return TooLongText{m.captured(1).toStdString(), m.captured(2).toStdString(), m.captured(3).toInt()};
}

QString TooLongNotice(const QString& field, int limit) {
  return QStringLiteral("The %1 can be at most %2 characters.").arg(field).arg(limit);
}

}  // namespace admin
