#pragma once
// The tables of the shared back end, made from the same description as the
// file's (storage/Schema.h): the same names, columns and sizes. PostgreSQL
// compares text by its bytes, so a table keyed by a name also holds a
// folded copy of it, computed by the program (code page 1252 case), and
// the unique key is on that copy. A row's bookmark is a row id of its own
// that is never given out again.
#include "storage/Schema.h"

#include <string>

class PgConnection;

namespace pgschema {

// The version the present program brings a database to. It is kept in a
// table of its own, tarnwick_schema, made at the first start.
inline constexpr int kVersion = 1;

// The CREATE TABLE statement of the present version.
std::string CreateSql(const schema::Table& table);
// The name of the folded copy of a table's key column ("UserKey").
std::string KeyColumn(const schema::Table& table);

// Brings the database to the present version, the steps and the version
// number they reach in one transaction, under an advisory lock, so two registries
// starting at once take turns and the second finds the work done. A
// database of a later version is left as it is. Throws DatabaseError.
void Migrate(PgConnection& db);
int VersionOf(PgConnection& db);

}  // namespace pgschema
