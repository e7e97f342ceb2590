#include "storage/Recovery.h"

#include "storage/Database.h"
#include "storage/FileOps.h"
#include "storage/Schema.h"
#include "storage/Sqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <optional>
#include <string>

namespace recovery {

namespace {

constexpr mode_t kNewDatabaseMode = 0640;

QString Shown(const QString& path) { return QDir::toNativeSeparators(path); }

}  // namespace

std::string InFile(const QString& path, const std::string& message) {
  return Shown(path).toStdString() + ": " + message;
}

namespace {

enum class State { Missing, Empty, Sound, Damaged };

struct Inspection {
  State state = State::Missing;
  std::string problem;  // why it is damaged, in the engine's words
  Connection connection;
  std::int64_t servers = 0;
  std::int64_t bans = 0;
};

// The problems PRAGMA quick_check reports, at most five, joined; empty
// when there are none.
std::string QuickCheck(sqlite3* db) {
  Query check = Query::Prepare(db, "PRAGMA quick_check(5)");
  std::string problems;
  while (check.Step()) {
    const std::string text = check.Utf8(0);
    if (text == "ok") continue;
    if (!problems.empty()) problems += "; ";
    problems += text;
  }
  return problems;
}

std::int64_t TableCount(sqlite3* db) {
  Query tables = Query::Prepare(
      db, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!'");
  tables.Step();
  return tables.Int64(0);
}

// Both tables with every column the program reads; the counts let the
// compacted copy be compared with its source.
std::string CountsSql() {
  return "SELECT (SELECT count(*) FROM (SELECT " + schema::ColumnList(schema::kServers) +
         " FROM Servers)), (SELECT count(*) FROM (SELECT " + schema::ColumnList(schema::kBans) +
         " FROM Bans))";
}

// Opens the file and decides whether it holds a sound copy of the data. A
// file the engine calls corrupt or not a database is Damaged; every other
// failure (locked, unreadable, out of space) throws, because it says nothing
// about the data and must not lead to any file being replaced.
Inspection Inspect(const QString& path) {
  Inspection result;
  if (!fileops::Exists(path)) return result;
  result.connection.Open(path, SQLITE_OPEN_READWRITE);
  sqlite3* db = result.connection.get();

  auto damaged = [&](std::string problem) {
    result.state = State::Damaged;
    result.problem = std::move(problem);
    return std::move(result);
  };
  try {
    if (std::string problems = QuickCheck(db); !problems.empty()) return damaged(problems);
    if (TableCount(db) == 0) {
      result.state = State::Empty;
      return result;
    }
    std::optional<Query> counts;
    try {
      counts.emplace(Query::Prepare(db, CountsSql().c_str()));
    } catch (const DatabaseError& e) {
      if ((e.code() & 0xFF) == SQLITE_ERROR) return damaged(e.what());  // no such table/column
      throw;
    }
    counts->Step();
    result.servers = counts->Int64(0);
    result.bans = counts->Int64(1);
  } catch (const DatabaseError& e) {
    if (IsDamage(e.code())) return damaged(e.what());
    throw DatabaseError(InFile(path, e.what()), e.code());
  }
  result.state = State::Sound;
  return result;
}

// Writes a compacted copy of the open database to `target`, which must not
// exist or be empty. SQLite does not sync the copy; the caller does before
// using it. The caller makes `target` beforehand with the mode, owner and
// group of the file the copy replaces, so it never holds the passwords
// under looser permissions, and zvlt.dat keeps an operator's chmod and
// chown from one start to the next.
void VacuumInto(sqlite3* db, const QString& target) {
  Query vacuum = Query::Prepare(db, "VACUUM INTO ?1");
  const QByteArray name = QFile::encodeName(target);
  vacuum.BindUtf8(1, std::string_view(name.constData(), std::size_t(name.size())));
  vacuum.Run();
}

// The database file and the engine's companion files beside it.
void RemoveWithCompanions(const QString& path) {
  fileops::Remove(path + "-journal");
  fileops::Remove(path + "-wal");
  fileops::Remove(path + "-shm");
  fileops::Remove(path);
}

// Puts a zvlt.dat that is about to be replaced, with its -wal and -journal,
// under a name no start reads, so nothing of it is lost and none of its
// companion files can be applied to the file that replaces it.
void SetAside(const Paths& p) {
  const QString base = p.folder + "/zvlt.damaged";
  QString aside = base;
  for (int i = 2; fileops::Exists(aside) || fileops::Exists(aside + "-wal") ||
                  fileops::Exists(aside + "-journal");
       ++i) {
    aside = base + "." + QString::number(i);
  }
  for (const char* suffix : {"-wal", "-journal", ""}) {
    if (fileops::Exists(p.dat + suffix)) fileops::Rename(p.dat + suffix, aside + suffix);
  }
  fileops::Remove(p.dat + "-shm");
}

// Makes the compacted copy zvlt.dat, in one rename that is on disk before
// the start goes on.
void Install(const Paths& p) { fileops::MoveReplacing(p.tmp, p.dat, p.staging); }

// The usual start: zvlt.dat is sound. A compacted copy is written to
// zvlt.tmp, checked against the source, synced and renamed over zvlt.dat;
// until that rename zvlt.dat stays complete where it is.
void Compact(Inspection& dat, const Paths& p) {
  RemoveWithCompanions(p.tmp);
  try {
    fileops::CreateLike(p.tmp, p.dat);
    VacuumInto(dat.connection.get(), p.tmp);
  } catch (const DatabaseError& e) {
    dat.connection.Close();
    RemoveWithCompanions(p.tmp);
    throw DatabaseError("compacting " + Shown(p.dat).toStdString() + " into " +
                        Shown(p.tmp).toStdString() + " failed: " + e.what());
  }
  // Closing the last connection folds a killed run's -wal into zvlt.dat
  // (the copy already read through it) and deletes it. If the -wal is
  // still there, another program has the database open and may write to
  // it after the copy was taken: replacing the file would lose that.
  dat.connection.Close();
  if (fileops::Exists(p.dat + "-wal")) {
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(Shown(p.dat).toStdString() +
                        " is in use by another program; close it and start again");
  }
  Inspection copy = Inspect(p.tmp);
  if (copy.state != State::Sound || copy.servers != dat.servers || copy.bans != dat.bans) {
    copy.connection.Close();
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(InFile(p.dat, "compacting failed, the copy did not match: " +
                                          (copy.problem.empty() ? "row counts differ"
                                                                : copy.problem)));
  }
  copy.connection.Close();
  Install(p);
}

// zvlt.dat fails its check and no leftover copy can stand in for it. What
// the engine can still read is copied into a fresh file; when that copy is
// sound it becomes zvlt.dat and the damaged file is kept aside. When the
// engine cannot read it, the start ends and every file stays as it is.
void Repair(Inspection& dat, const Paths& p) {
  const std::string failure = InFile(p.dat, dat.problem);
  RemoveWithCompanions(p.tmp);
  if (!dat.connection.get()) throw DatabaseError(failure);
  try {
    fileops::CreateLike(p.tmp, p.dat);
    VacuumInto(dat.connection.get(), p.tmp);
  } catch (const DatabaseError& e) {
    dat.connection.Close();
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(InFile(p.dat, e.what()));
  }
  dat.connection.Close();
  Inspection copy = Inspect(p.tmp);
  copy.connection.Close();
  if (copy.state != State::Sound) {
    RemoveWithCompanions(p.tmp);
    throw DatabaseError(failure);
  }
  fileops::SyncFile(p.tmp);  // on disk before zvlt.dat makes way for it
  SetAside(p);
  Install(p);
}

// First start, or a file an interrupted first start left without tables.
// The tables are made in one transaction, so a crash leaves either both or
// none, and a file without tables is simply made again.
void Create(Inspection& dat, const Paths& p) {
  dat.connection.Close();
  if (dat.state == State::Missing) {
    SetAside(p);  // an orphaned -wal must not meet the new file
    // The file will hold passwords: readable by its owner and group only,
    // under any umask. SQLite gives its -wal and -shm the same mode.
    fileops::CreateWithMode(p.dat, kNewDatabaseMode);
  }
  Connection db;
  db.Open(p.dat, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  try {
    ExecSql(db.get(), "PRAGMA journal_mode=WAL");
    ExecSql(db.get(), "PRAGMA synchronous=FULL");
    ExecSql(db.get(), "BEGIN IMMEDIATE");
    schema::CreateTables(db.get());
    ExecSql(db.get(), "COMMIT");
  } catch (const DatabaseError& e) {
    throw DatabaseError(InFile(p.dat, e.what()));
  }
  db.Close();
  fileops::SyncDirectory(p.folder);
}

}  // namespace

void PrepareFile(const Paths& p) {
  // Only ever a partial copy whose source still exists.
  fileops::Remove(p.staging);

  Inspection dat = Inspect(p.dat);
  if (dat.state == State::Sound) {
    // zvlt.dat is complete, so a leftover zvlt.tmp can hold nothing newer:
    // this program only leaves one behind before its rename over zvlt.dat.
    RemoveWithCompanions(p.tmp);
    Compact(dat, p);
    return;
  }

  Inspection tmp = Inspect(p.tmp);
  if (tmp.state == State::Sound) {
    // An interrupted start: the data survives in zvlt.tmp.
    tmp.connection.Close();
    dat.connection.Close();
    fileops::SyncFile(p.tmp);  // on disk before zvlt.dat makes way for it
    SetAside(p);
    Install(p);
    Inspection recovered = Inspect(p.dat);
    if (recovered.state != State::Sound) {
      throw DatabaseError(InFile(p.dat, "the copy recovered from zvlt.tmp fails its check"));
    }
    Compact(recovered, p);
    return;
  }
  if (tmp.state == State::Damaged) {
    const std::string tmpProblem = InFile(p.tmp, tmp.problem);
    if (dat.state == State::Damaged) {
      throw DatabaseError(InFile(p.dat, dat.problem) + "; " + tmpProblem +
                          ". Neither file was changed.");
    }
    throw DatabaseError(Shown(p.dat).toStdString() +
                        " is missing and the copy left by an interrupted start is damaged (" +
                        tmpProblem + "). Nothing was changed; move " + Shown(p.tmp).toStdString() +
                        " away to start with an empty database.");
  }
  // No zvlt.tmp, or one without tables: nothing in it to keep.
  tmp.connection.Close();
  RemoveWithCompanions(p.tmp);

  if (dat.state == State::Damaged) {
    Repair(dat, p);
  } else {
    Create(dat, p);
  }
}


Paths PathsFor(const QString& programFolder, const QString& workDir) {
  Paths p;
  p.folder = QDir(programFolder).absolutePath();
  p.dat = p.folder + "/zvlt.dat";
  p.tmp = QDir(workDir).absoluteFilePath("zvlt.tmp");
  // A zvlt.dat that is a symbolic link stays one: the registry works on the
  // file it points to and makes every copy beside that file, so the final
  // rename replaces the target, on the target's own file system.
  const QString target = fileops::ResolveLinks(p.dat);
  if (target != p.dat) {
    p.dat = target;
    p.folder = QFileInfo(target).absolutePath();
    p.tmp = p.folder + "/zvlt.tmp";
  }
  p.staging = p.folder + "/zvlt.new";
  return p;
}

}  // namespace recovery
