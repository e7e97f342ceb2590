#pragma once
// What a Database holds, shared by the files of its two back ends (inside
// storage/ only). Exactly one of `db` (the file) and `pg` (the shared back
// end) is set while the database is open.
#include "storage/Database.h"
#include "storage/PgAccounts.h"
#include "storage/PgBans.h"
#include "storage/PgStore.h"
#include "storage/Sqlite.h"

#include <QSocketNotifier>

#include <chrono>
#include <memory>

struct Database::Impl {
  sqlite3* db = nullptr;
  bool failCommits = false;
  std::unique_ptr<StatementCache> statements;
  std::unique_ptr<Accounts> accounts;
  std::unique_ptr<Bans> bans;

  std::unique_ptr<PgStore> pg;
  std::unique_ptr<PgAccounts> pgAccounts;
  std::unique_ptr<PgBans> pgBans;
  // Watches the connection's socket for notices from other registries;
  // made again for every connection.
  std::unique_ptr<QSocketNotifier> notifier;
  int watchedSocket = -1;
  std::chrono::steady_clock::time_point bansRead{};

  void CloseShared();
};
