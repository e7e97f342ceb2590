#include "storage/Schema.h"

#include "storage/Database.h"
#include "storage/Sqlite.h"

namespace schema {

namespace {

// The size check of a text column of `size` characters. length() stops at a
// 0x00 character, so it is not used: instr() counts characters up to its
// match over the whole text, and the byte 0xFF, which UTF-8 never holds, put
// at the end is found after every character of the text, 0x00 included.
// A text no longer in bytes than its size is within it in characters too,
// and that cheap test comes first: the check of every row at each start
// then seldom builds the longer text.
std::string SizeCheck(const std::string& column, const std::string& size) {
  return "CHECK(length(CAST(" + column + " AS BLOB)) <= " + size + " OR instr(" + column +
         " || x'FF', x'FF') - 1 <= " + size + ")";
}

std::string ColumnSql(const Table& table, const Column& column) {
  const std::string c(column.name);
  const bool key = column.name == table.key;
  const std::string constraint = " CONSTRAINT \"" + std::string(table.name) + "." + c;
  switch (column.type) {
    case Type::Text: {
      const std::string n = std::to_string(column.size);
      return c + " TEXT COLLATE NOCASE" + constraint + " longer than " + n + " characters\" " +
             SizeCheck(c, n) + (key ? " NOT NULL PRIMARY KEY" : "");
    }
    case Type::Byte:
      // An INTEGER PRIMARY KEY is the rowid, which holds nothing but integers.
      return key ? c + " INTEGER PRIMARY KEY" + constraint + " outside 0..255\" CHECK(" + c +
                       " BETWEEN 0 AND 255)"
                 : c + " INTEGER" + constraint + " outside 0..255\" CHECK(typeof(" + c +
                       ") IN ('integer', 'null') AND " + c + " BETWEEN 0 AND 255)";
    case Type::Date:
      return c + " TEXT" + constraint + " not a date\" CHECK(" + c +
             " GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]')";
  }
  return c;
}

void SetVersion(sqlite3* db, int version) {
  ExecSql(db, ("PRAGMA user_version = " + std::to_string(version)).c_str());
}

// Files stamped 0 were made before versions were kept, by one of three
// releases whose size checks differed (one measured a text holding a 0x00
// in bytes and so refused what fits). Their rows fit the present checks, so
// each table is made anew with them, rowids kept (they are bookmarks).
// Whatever the SQL text of the old tables looks like, only their columns
// are read.
void RebuildTables(sqlite3* db) {
  for (const Table& t : kTables) {
    const std::string name(t.name), old = name + "_before_update", columns = ColumnList(t);
    ExecSql(db, ("ALTER TABLE " + name + " RENAME TO " + old).c_str());
    ExecSql(db, CreateSql(t).c_str());
    ExecSql(db, ("INSERT INTO " + name + "(rowid, " + columns + ") SELECT rowid, " + columns +
                 " FROM " + old)
                    .c_str());
    ExecSql(db, ("DROP TABLE " + old).c_str());
  }
}

struct Step {
  int from;
  void (*run)(sqlite3*);
};

// Each step takes a file from `from` to `from` + 1.
constexpr Step kSteps[] = {
    {0, RebuildTables},
};
static_assert(std::size(kSteps) == kVersion, "one step for every version after 0");

}  // namespace

std::string ColumnList(const Table& table) {
  std::string list;
  for (const Column& c : table.columns) {
    if (!list.empty()) list += ", ";
    list += c.name;
  }
  return list;
}

// One column a line, so ".schema" in the sqlite3 shell stays readable.
std::string CreateSql(const Table& table) {
  std::string sql = "CREATE TABLE " + std::string(table.name) + "(";
  const char* separator = "\n  ";
  for (const Column& c : table.columns) {
    sql += separator + ColumnSql(table, c);
    separator = ",\n  ";
  }
  return sql + ")";
}

void CreateTables(sqlite3* db) {
  for (const Table& t : kTables) ExecSql(db, CreateSql(t).c_str());
  SetVersion(db, kVersion);
}

int VersionOf(sqlite3* db) {
  Query q = Query::Prepare(db, "PRAGMA user_version");
  q.Step();
  return int(q.Int64(0));
}

void Migrate(sqlite3* db) {
  for (const Step& step : kSteps) {
    if (VersionOf(db) != step.from) continue;
    ExecSql(db, "BEGIN IMMEDIATE");
    try {
      // Read again under the write lock, which no other start can hold now.
      if (VersionOf(db) == step.from) {
        step.run(db);
        SetVersion(db, step.from + 1);
      }
      ExecSql(db, "COMMIT");
    } catch (const DatabaseError&) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
}

}  // namespace schema
