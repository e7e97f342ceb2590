#include "storage/PgSchema.h"

#include "storage/PgConnection.h"

namespace pgschema {

namespace {

// Any fixed number, the same in every registry of one database.
constexpr const char* kMigrationLock = "7310021968214913537";

std::string Quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

std::string ColumnSql(const schema::Table& table, const schema::Column& column) {
  const std::string c = Quoted(column.name);
  const bool key = column.name == table.key;
  switch (column.type) {
    case schema::Type::Text:
      // varchar(n) counts characters, as the file's check does.
      return c + " varchar(" + std::to_string(column.size) + ")" + (key ? " NOT NULL" : "");
    case schema::Type::Byte:
      return c + " smallint" + (key ? " PRIMARY KEY" : "") + " CHECK(" + c + " BETWEEN 0 AND 255)";
    case schema::Type::Date:
      // Local wall-clock time without a zone, as the operator typed it.
      return c + " timestamp(0) without time zone";
  }
  return c;
}

bool KeyedByText(const schema::Table& table) {
  for (const schema::Column& c : table.columns)
    if (c.name == table.key) return c.type == schema::Type::Text;
  return false;
}

void CreateTables(PgConnection& db) {
  for (const schema::Table& t : schema::kTables) db.Exec(pgschema::CreateSql(t));
}

struct Step {
  int from;
  void (*run)(PgConnection&);
};

constexpr Step kSteps[] = {
    {0, CreateTables},
};
static_assert(std::size(kSteps) == kVersion, "one step for every version after 0");

}  // namespace

std::string KeyColumn(const schema::Table& table) { return std::string(table.key) + "Key"; }

std::string CreateSql(const schema::Table& table) {
  std::string sql = "CREATE TABLE " + Quoted(table.name) + "(";
  const char* separator = "\n  ";
  if (KeyedByText(table)) {
    // The bytes of the folded copy order it, whatever the database's locale.
    sql += separator + std::string("\"Id\" bigserial PRIMARY KEY");
    separator = ",\n  ";
    sql += separator + Quoted(KeyColumn(table)) + " text COLLATE \"C\" NOT NULL CONSTRAINT " +
           Quoted(std::string(table.name) + "." + std::string(table.key) + " unique") + " UNIQUE";
  }
  for (const schema::Column& c : table.columns) {
    sql += separator + ColumnSql(table, c);
    separator = ",\n  ";
  }
  return sql + ")";
}

int VersionOf(PgConnection& db) {
  if (db.Exec("SELECT to_regclass('tarnwick_schema')").IsNull(0, 0)) return 0;
  const PgResult r = db.Exec("SELECT version FROM tarnwick_schema");
  return r.Rows() ? int(r.Int(0, 0)) : 0;
}

void Migrate(PgConnection& db) {
  db.Exec("BEGIN");
  try {
    db.Exec("SELECT pg_advisory_xact_lock(" + std::string(kMigrationLock) + ")");
    db.Exec("CREATE TABLE IF NOT EXISTS tarnwick_schema(version integer NOT NULL)");
    PgResult r = db.Exec("SELECT version FROM tarnwick_schema");
    if (r.Rows() == 0) db.Exec("INSERT INTO tarnwick_schema(version) VALUES(0)");
    int version = r.Rows() ? int(r.Int(0, 0)) : 0;
    for (const Step& step : kSteps) {
      if (version != step.from) continue;
      step.run(db);
      version = step.from + 1;
      db.Exec("UPDATE tarnwick_schema SET version = $1", {std::to_string(version)});
    }
    db.Exec("COMMIT");
  } catch (const DatabaseError&) {
    try {
      db.Exec("ROLLBACK");
    } catch (const DatabaseError&) {
    }
    throw;
  }
}

}  // namespace pgschema
