#pragma once
// The bans table of the shared back end; Bans hands every call to it while
// the database is shared, with the same meaning (see Bans.h).
//
// The table (at most 256 rows, one per number) is also kept in memory, and
// FindByIP, FindByName and Empty answer from there: a ban check never waits
// on the database, and a banned address stays refused while the database is
// away. The copy is read again after this registry's own writes, when
// another registry says it changed a ban (NOTIFY tarnwick_bans, sent inside
// the transaction that changes it), at every connect and once a minute.
// Count, All and NextBanNumber, and every write, go to the database.
#include "storage/Records.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class PgStore;

class PgBans {
 public:
  static constexpr const char* kChannel = "tarnwick_bans";

  explicit PgBans(PgStore& store) : store_(store) {}

  std::optional<BanRecord> FindByIP(std::string_view ip) const;
  std::optional<BanRecord> FindByName(std::string_view name) const;
  bool Empty() const { return memory_.empty(); }
  int Count();
  std::vector<BanRecord> All();
  void Add(const BanRecord& record);
  bool Edit(int number, const BanRecord& values);
  bool Delete(int number);
  std::optional<int> NextBanNumber();

  // Reads the table into memory again. Throws DatabaseError, and keeps what
  // it had, when the database cannot be read.
  void Reload();

 private:
  std::vector<BanRecord> Read();
  // One write and its NOTIFY in one transaction; the rows it changed.
  int Write(const std::string& sql, const std::vector<std::optional<std::string>>& params);

  PgStore& store_;
  std::vector<BanRecord> memory_;  // by Number
};
