#pragma once
// The two tables of zvlt.dat described once: every column with its type and
// size, in the order of the file. The SQL that creates the tables, the
// column lists of the checks at start-up and of the migrations, and the
// field limits that the windows and the handlers hold input to are all
// taken from here, so a size changes in one place.
#include <span>
#include <string>
#include <string_view>

struct sqlite3;

namespace schema {

enum class Type {
  Text,  // TEXT COLLATE NOCASE, at most `size` characters
  Byte,  // INTEGER 0..255
  Date,  // TEXT "YYYY-MM-DD HH:MM:SS", local time
};

struct Column {
  std::string_view name;
  Type type;
  int size = 0;  // characters; text columns only
};

struct Table {
  std::string_view name;
  std::span<const Column> columns;
  std::string_view key;  // the primary key column
};

inline constexpr Column kServersColumns[] = {
    {"User", Type::Text, 15},         {"Password", Type::Text, 15},
    {"Name", Type::Text, 50},         {"Description", Type::Text, 255},
    {"UpdateURL", Type::Text, 255},   {"Official", Type::Byte},
};
inline constexpr Column kBansColumns[] = {
    {"Number", Type::Byte},   {"Name", Type::Text, 15},      {"IP", Type::Text, 15},
    {"Reason", Type::Text, 255}, {"UnbanDate", Type::Date},
};

inline constexpr Table kServers{"Servers", kServersColumns, "User"};
inline constexpr Table kBans{"Bans", kBansColumns, "Number"};
inline constexpr Table kTables[] = {kServers, kBans};

// The size of a text column; 0 for any other name (which fails to compile
// where the result is a constant).
constexpr int SizeOf(const Table& table, std::string_view column) {
  for (const Column& c : table.columns)
    if (c.name == column) return c.size;
  return 0;
}

// The field limits in characters (of code page 1252, one byte each).
inline constexpr int kUserSize = SizeOf(kServers, "User");
inline constexpr int kPasswordSize = SizeOf(kServers, "Password");
inline constexpr int kServerNameSize = SizeOf(kServers, "Name");
inline constexpr int kDescriptionSize = SizeOf(kServers, "Description");
inline constexpr int kUpdateURLSize = SizeOf(kServers, "UpdateURL");
inline constexpr int kBanNameSize = SizeOf(kBans, "Name");
inline constexpr int kIPSize = SizeOf(kBans, "IP");
inline constexpr int kReasonSize = SizeOf(kBans, "Reason");
static_assert(kUserSize == 15 && kServerNameSize == 50 && kReasonSize == 255);

// The version the present program writes into PRAGMA user_version. Files
// made before versions were kept hold 0.
inline constexpr int kVersion = 1;

// "User, Password, ...": the columns in the order of the file.
std::string ColumnList(const Table& table);
// The CREATE TABLE statement of the present version, one column a line.
std::string CreateSql(const Table& table);

// Makes both tables of the present version in an empty file and stamps it,
// in the caller's transaction.
void CreateTables(sqlite3* db);
// Brings a file of any earlier version to the present one, each step in one
// transaction with its new version number, so a start killed halfway leaves
// the file as it was and the next start does the step again. A file of a
// later version is left as it is. Throws DatabaseError.
void Migrate(sqlite3* db);
// The version stamped in the file.
int VersionOf(sqlite3* db);

}  // namespace schema
