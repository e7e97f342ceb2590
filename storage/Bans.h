#pragma once
// The bans table Bans(Number, Name, IP, Reason, UnbanDate). Look-ups compare
// without regard to case over all of code page 1252 and bind their values, so
// any text, quotes included, is found as itself. "First" means lowest Number,
// which is also the order of All().
//
// While the database is shared (PostgreSQL) the calls go to PgBans, which
// answers FindByIP, FindByName and Empty from the bans it keeps in memory,
// so a ban check never waits on the database and still refuses a banned
// address while the database is away.
#include "storage/Records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class StatementCache;
class PgBans;

class Bans {
 public:
  std::optional<BanRecord> FindByIP(std::string_view ip);
  std::optional<BanRecord> FindByName(std::string_view name);
  bool Empty();
  int Count();
  std::vector<BanRecord> All();
  // Throws DatabaseError (duplicate Number, Number outside 0..255, text
  // longer than its column) and writes nothing.
  void Add(const BanRecord& record);
  // Sets IP, Reason and UnbanDate of the ban with this number; Name and
  // Number stay. Returns false if there is no such ban.
  bool Edit(int number, const BanRecord& values);
  bool Delete(int number);
  // The number for a new ban: the count plus one when that is free and at
  // most 255, otherwise the lowest free number from 1 to 255, then 0;
  // nullopt when all 256 are taken.
  std::optional<int> NextBanNumber();
  // The same choice among the numbers taken (both back ends make it).
  static std::optional<int> NextNumber(const std::vector<std::int64_t>& taken);

 private:
  friend class Database;
  Bans() = default;
  StatementCache& Statements();
  // The two columns looked up by, numbered as in the SELECTs.
  enum class Column { Name = 1, IP = 2 };
  // The first ban whose column equals value, ignoring case.
  std::optional<BanRecord> FindFirst(Column column, std::string_view value);
  StatementCache* statements_ = nullptr;  // set while the database is open
  PgBans* pg_ = nullptr;                   // set while the database is shared
};
