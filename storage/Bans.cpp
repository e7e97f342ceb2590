#include "storage/Bans.h"

#include "storage/BanDates.h"
#include "storage/Cp1252.h"
#include "storage/Database.h"
#include "storage/PgBans.h"
#include "storage/Sqlite.h"

#include <bitset>

namespace bandate {

constexpr const char* kDateFormat = "yyyy-MM-dd HH:mm:ss";

std::optional<std::string> ToText(const std::optional<QDateTime>& date) {
  if (!date || !date->isValid()) return std::nullopt;
  const QDateTime local = date->timeSpec() == Qt::LocalTime ? *date : date->toLocalTime();
  return local.toString(kDateFormat).toStdString();
}

std::optional<QDateTime> FromText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const QString s = QString::fromLatin1(text->data(), qsizetype(text->size()));
  const QDate date = QDate::fromString(s.left(10), "yyyy-MM-dd");
  const QTime time = s.size() > 10 ? QTime::fromString(s.mid(11), "HH:mm:ss") : QTime(0, 0);
  if (!date.isValid() || !time.isValid()) return std::nullopt;
  return QDateTime(date, time, Qt::LocalTime);
}

}  // namespace bandate

namespace {

BanRecord ReadBan(const Query& q) {
  BanRecord ban;
  ban.Number = q.Int(0);
  ban.Name = q.Text(1);
  ban.IP = q.Text(2);
  ban.Reason = q.Text(3);
  ban.UnbanDate = bandate::FromText(q.Text(4));
  return ban;
}

}  // namespace

StatementCache& Bans::Statements() {
  if (!statements_) throw DatabaseError("the database is not open");
  return *statements_;
}

// IP and Name compare with the columns' NOCASE collation, which folds A to Z:
// a value made of ASCII alone is found by "=". For one with a letter above
// 127, the range of its look-alikes is read and the program picks the first
// that equals it in code page 1252 case. The value is bound, so an address or
// name holding a quote is looked up as itself.
std::optional<BanRecord> Bans::FindFirst(Column column, std::string_view value) {
  // [by IP][value made of ASCII alone]
  static const char* const kFind[2][2] = {
      {"SELECT Number, Name, IP, Reason, UnbanDate FROM Bans WHERE Name BETWEEN ?1 AND ?2 "
       "ORDER BY Number",
       "SELECT Number, Name, IP, Reason, UnbanDate FROM Bans WHERE Name = ?1 ORDER BY Number "
       "LIMIT 1"},
      {"SELECT Number, Name, IP, Reason, UnbanDate FROM Bans WHERE IP BETWEEN ?1 AND ?2 "
       "ORDER BY Number",
       "SELECT Number, Name, IP, Reason, UnbanDate FROM Bans WHERE IP = ?1 ORDER BY Number "
       "LIMIT 1"},
  };
  const bool ascii = cp1252::IsAscii(value);
  Query q = Statements().Get(kFind[column == Column::IP][ascii]);
  if (ascii) {
    q.BindText(1, value);
  } else {
    q.BindLookAlikes(1, value);
  }
  while (q.Step()) {
    if (ascii || q.HoldsName(int(column), value)) return ReadBan(q);
  }
  return std::nullopt;
}

std::optional<BanRecord> Bans::FindByIP(std::string_view ip) {
  if (pg_) return pg_->FindByIP(ip);
  return FindFirst(Column::IP, ip);
}

std::optional<BanRecord> Bans::FindByName(std::string_view name) {
  if (pg_) return pg_->FindByName(name);
  return FindFirst(Column::Name, name);
}

bool Bans::Empty() {
  if (pg_) return pg_->Empty();

  Query q = Statements().Get("SELECT EXISTS(SELECT 1 FROM Bans)");
  q.Step();
  return q.Int64(0) == 0;
}

int Bans::Count() {
  if (pg_) return pg_->Count();

  Query q = Statements().Get("SELECT count(*) FROM Bans");
  q.Step();
  return int(q.Int64(0));
}

std::vector<BanRecord> Bans::All() {
  if (pg_) return pg_->All();

  Query q =
      Statements().Get("SELECT Number, Name, IP, Reason, UnbanDate FROM Bans ORDER BY Number");
  std::vector<BanRecord> bans;
  while (q.Step()) bans.push_back(ReadBan(q));
  return bans;
}

void Bans::Add(const BanRecord& record) {
  if (pg_) return pg_->Add(record);

  // Number is the table's rowid: SQLite would pick one itself for NULL, so
  // a missing number is refused here, in the engine's words.
  if (!record.Number) throw DatabaseError("NOT NULL constraint failed: Bans.Number");
  Query q = Statements().Get(
      "INSERT INTO Bans(Number, Name, IP, Reason, UnbanDate) VALUES(?1, ?2, ?3, ?4, ?5)");
  q.BindInt(1, record.Number)
      .BindOptional(2, record.Name)
      .BindOptional(3, record.IP)
      .BindOptional(4, record.Reason)
      .BindOptional(5, bandate::ToText(record.UnbanDate));
  q.Run();
}

bool Bans::Edit(int number, const BanRecord& values) {
  if (pg_) return pg_->Edit(number, values);

  Query q = Statements().Get(
      "UPDATE Bans SET IP = ?2, Reason = ?3, UnbanDate = ?4 WHERE Number = ?1");
  q.BindInt(1, number)
      .BindOptional(2, values.IP)
      .BindOptional(3, values.Reason)
      .BindOptional(4, bandate::ToText(values.UnbanDate));
  return q.Run() > 0;
}

bool Bans::Delete(int number) {
  if (pg_) return pg_->Delete(number);

  Query q = Statements().Get("DELETE FROM Bans WHERE Number = ?1");
  q.BindInt(1, number);
  return q.Run() > 0;
}

std::optional<int> Bans::NextBanNumber() {
  if (pg_) return pg_->NextBanNumber();

  std::vector<std::int64_t> numbers;
  Query q = Statements().Get("SELECT Number FROM Bans");
  while (q.Step()) numbers.push_back(q.Int64(0));
  return NextNumber(numbers);
}

std::optional<int> Bans::NextNumber(const std::vector<std::int64_t>& numbers) {
  std::bitset<256> taken;
  for (const std::int64_t n : numbers)
    if (n >= 0 && n <= 255) taken.set(std::size_t(n));
  const int count = int(numbers.size());
  // Count plus one keeps the numbering the operator knows (1, 2, 3, ...) for
  // as long as no ban in the middle has been deleted.
  if (count + 1 <= 255 && !taken.test(std::size_t(count + 1))) return count + 1;
  for (int n = 1; n <= 255; ++n) {
    if (!taken.test(std::size_t(n))) return n;
  }
  if (!taken.test(0)) return 0;
  return std::nullopt;
}
