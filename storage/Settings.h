#pragma once
// The settings file server.ini beside the program: a private-profile file of
// [section] lines and key=value lines. Section and key names compare without
// regard to case; when a value is written every other line stays as it was.
//
// Error style of the storage layer: the database throws DatabaseError; the
// settings file reads leniently (what it cannot read is missing) and reports
// a write it could not make by returning false with the reason.
#include <QString>
#include <string>
#include <string_view>
#include <vector>

// One line of a section as a list of entries reads it: the key and the value
// as ReadIni would give them (blanks around both ignored, a value in matching
// quotes without them, at most 255 characters), and the line as written, for
// messages about it. A line without '=' has keyed false and no key or value.
struct IniEntry {
  std::string line;
  bool keyed = false;
  std::string key;
  std::string value;
};

class SettingsFile {
 public:
  explicit SettingsFile(QString programFolder) : folder_(std::move(programFolder)) {}

  // The value of key in section of the file folder + fileName ("/server.ini"),
  // at most 255 characters; empty when the file, section or key is missing.
  std::string ReadIni(std::string_view section, std::string_view key,
                      std::string_view fileName) const;
  // Creates the file, section or key as needed. False when the file could
  // not be written, with the reason in *reason; the file is then as it was.
  bool WriteIni(std::string_view section, std::string_view key, std::string_view value,
                std::string_view fileName, std::string* reason = nullptr) const;

  // Every line of the first section of that name, in file order, except
  // blank lines and comments (lines beginning with ';' or '#').
  std::vector<IniEntry> ReadSection(std::string_view section, std::string_view fileName) const;

  std::string ReadSetting(std::string_view key) const;  // section "Kestrune", "/server.ini"
  bool WriteSetting(std::string_view key, std::string_view value, std::string* reason = nullptr) const;

  QString Path() const { return folder_ + "/server.ini"; }

 private:
  QString folder_;
};

// What one IPv4 address may hold of the registry and do to it. 0 (false for
// EvictIdleClients) switches a limit off.
struct FloodLimits {
  // Connections from one address that have not logged in.
  int MaxClientsPerIP = 32;
  // When every slot is taken, the connection that has not logged in and has
  // been silent longest makes room for a new one.
  bool EvictIdleClients = true;
  // Connections accepted from one address within a minute.
  int MaxConnectsPerMinute = 600;
  // Accounts one address may create over the wire within an hour.
  int MaxNewAccountsPerHour = 10;
  // Refused logins one address may make within an hour; beyond, its
  // connections are refused until the hour is over. Also switches on the
  // lock of an account guessed at from many addresses.
  int MaxFailedLoginsPerHour = 20;
  // Logged-in game servers from one address.
  int MaxServersPerIP = 32;
  // Slots that logged-in servers never take, so that players always find
  // room for a list request.
  int ReservedPlayerSlots = 16;
  // Accounts created over the wire within an hour, from all addresses.
  int MaxNewAccountsPerHourTotal = 100;
  // List requests one address may make within a minute; beyond, it cools
  // down as for too many connections.
  int MaxListRequestsPerMinute = 300;

  static FloodLimits Off() { return {0, false, 0, 0, 0, 0, 0, 0, 0}; }
};

// The HTTP side: where it listens ("off" switches it off), what one address
// may hold of it, who may read the metrics, and a file the list is also
// written to (empty: none). Kept as text here; the HTTP side reads the
// addresses and networks in them.
struct WebSettings {
  std::string HttpListen = "127.0.0.1:5680";
  int HttpMaxClientsPerIP = 8;
  std::string MetricsAllow = "127.0.0.0/8";
  std::string ListFile;
};

struct Settings {
  bool Service = false;
  bool AutoAllow = false;
  // Database=: a libpq connection string naming the PostgreSQL database that
  // several registries share; empty keeps zvlt.dat beside the program.
  std::string Database;
  // InstanceName=: this registry's name among those sharing the database;
  // the machine's host name when the key is missing or empty.
  std::string InstanceName;
  FloodLimits Limits;
  WebSettings Web;
  // The lines of section [AddressMap], NETWORK=PUBLIC each, as written: the
  // core reads them into its address map and reports the ones it cannot.
  std::vector<IniEntry> AddressMap;
};

// "True"/"False" in any case; a number is true unless zero; anything else
// (including the empty text) is false.
bool TextToBool(std::string_view text);

// Reads "Service", then "AutoAllow"; a missing or empty value is "False".
// Then "Database" and "InstanceName".
// Then the flood limits and the HTTP side's settings, each by the name of its
// field: a missing, empty or unreadable value leaves the default. Then the
// lines of [AddressMap].
Settings LoadSettings(const SettingsFile& file);
