#include "storage/PgBans.h"

#include "storage/BanDates.h"
#include "storage/Bans.h"
#include "storage/Cp1252.h"
#include "storage/PgStore.h"

namespace {

constexpr const char* kSelect =
    "SELECT \"Number\", \"Name\", \"IP\", \"Reason\", "
    "to_char(\"UnbanDate\", 'YYYY-MM-DD HH24:MI:SS') FROM \"Bans\" ORDER BY \"Number\"";

PgConnection::Param Number(const std::optional<int>& n) {
  if (!n) return std::nullopt;
  return std::to_string(*n);
}

// The first ban (lowest number) whose field equals value ignoring case.
template <typename Field>
std::optional<BanRecord> FindFirst(const std::vector<BanRecord>& bans, std::string_view value,
                                   Field field) {
  for (const BanRecord& ban : bans) {
    const std::optional<std::string>& text = ban.*field;
    if (text && cp1252::EqualsIgnoringCase(*text, value)) return ban;
  }
  return std::nullopt;
}

}  // namespace

std::optional<BanRecord> PgBans::FindByIP(std::string_view ip) const {
  return FindFirst(memory_, ip, &BanRecord::IP);
}

std::optional<BanRecord> PgBans::FindByName(std::string_view name) const {
  return FindFirst(memory_, name, &BanRecord::Name);
}

std::vector<BanRecord> PgBans::Read() {
  const PgResult r = store_.Exec(kSelect);
  std::vector<BanRecord> bans;
  bans.reserve(std::size_t(r.Rows()));
  for (int i = 0; i < r.Rows(); ++i) {
    BanRecord ban;
    ban.Number = int(r.Int(i, 0));
    ban.Name = PgStore::FromText(r.OptionalText(i, 1));
    ban.IP = PgStore::FromText(r.OptionalText(i, 2));
    ban.Reason = PgStore::FromText(r.OptionalText(i, 3));
    ban.UnbanDate = bandate::FromText(r.OptionalText(i, 4));
    bans.push_back(std::move(ban));
  }
  return bans;
}

void PgBans::Reload() { memory_ = Read(); }

int PgBans::Count() { return int(store_.Exec("SELECT count(*) FROM \"Bans\"").Int(0, 0)); }

std::vector<BanRecord> PgBans::All() { return Read(); }

int PgBans::Write(const std::string& sql, const std::vector<std::optional<std::string>>& params) {
  PgStore::Write write(store_, true);
  const int changed = store_.Exec(sql, params).Affected();
  if (changed > 0) store_.Exec(std::string("NOTIFY ") + kChannel);
  write.Done();
  if (changed > 0) store_.MarkBansWritten();
  return changed;
}

void PgBans::Add(const BanRecord& record) {
  Write("INSERT INTO \"Bans\"(\"Number\", \"Name\", \"IP\", \"Reason\", \"UnbanDate\") "
        "VALUES($1, $2, $3, $4, $5)",
        {Number(record.Number), PgStore::Text(record.Name), PgStore::Text(record.IP),
         PgStore::Text(record.Reason), bandate::ToText(record.UnbanDate)});
}

bool PgBans::Edit(int number, const BanRecord& values) {
  return Write("UPDATE \"Bans\" SET \"IP\" = $2, \"Reason\" = $3, \"UnbanDate\" = $4 "
               "WHERE \"Number\" = $1",
               {std::to_string(number), PgStore::Text(values.IP), PgStore::Text(values.Reason),
                bandate::ToText(values.UnbanDate)}) > 0;
}

bool PgBans::Delete(int number) {
  return Write("DELETE FROM \"Bans\" WHERE \"Number\" = $1", {std::to_string(number)}) > 0;
}

std::optional<int> PgBans::NextBanNumber() {
  const PgResult r = store_.Exec("SELECT \"Number\" FROM \"Bans\"");
  std::vector<std::int64_t> numbers;
  numbers.reserve(std::size_t(r.Rows()));
  for (int i = 0; i < r.Rows(); ++i) numbers.push_back(r.Int(i, 0));
  return Bans::NextNumber(numbers);
}
