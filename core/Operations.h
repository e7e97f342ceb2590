#pragma once
// The operator's actions, one rulebook for every way of asking for them: the
// account and ban windows, the console's commands, Tarnwick._clsControl,
// Tarnwick.Operator (and so tarnwickctl) all call these functions and
// nothing else to change accounts and bans or to act on servers online.
// Each caller turns a refusal into its own words (a notice, an ErrData
// report, a D-Bus error); the checks and their order are decided here.
//
// Where Tarnwick._clsControl must behave as the programs written for it
// expect, the difference is an option of the call, named for what it
// changes, so each one is visible where the old interface makes the call.
//
// Error style of this layer: a refusal is the returned Refusal; a fault of
// the database is the DatabaseError the storage layer throws, and nothing
// has then been written.
#include <QDateTime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Database;
class LogSink;
class Registry;
struct SharedServer;

namespace ops {

enum class Refusal {
  None,  // done
  // Accounts.
  AccountRule,      // user name or password breaks IsValidAccountText
  PasswordsDiffer,  // the confirmation differs (letter case aside)
  AccountExists,
  NoSuchAccount,
  // Bans.
  NameMissing,
  IPMissing,
  NameInUse,
  IPBanned,
  NoSuchBan,
  NoBanNumber,  // all 256 ban numbers are taken
  // Servers online.
  NotAServer,      // the slot holds no server (by slot)
  NotOnline,       // no server is online under that user name
  MessageTooLong,  // the packet's length prefix cannot carry it
  NoGodName,
  // The server is online at another registry of the game, which alone holds
  // its connection (by user name; see OnOtherRegistryText).
  OnOtherRegistry,
  // A text longer than its field (the limits of storage/Schema.h), found
  // just before the write, the fields in the order of their table's columns.
  UserTooLong,
  PasswordTooLong,
  ServerNameTooLong,
  DescriptionTooLong,
  UpdateURLTooLong,
  BanNameTooLong,
  IPTooLong,
  ReasonTooLong,
};

// The refusal in the words of the operator's interface: the texts the old
// interface's reports use where it has one.
std::string Describe(Refusal refusal);

// The field a ...TooLong refusal names: its table and column as the store
// names them ("Bans", "IP") and the characters it holds.
struct FieldLimit {
  const char* table;
  const char* column;
  int limit;
};
// nullopt for every refusal but the ...TooLong ones.
std::optional<FieldLimit> TooLongField(Refusal refusal);
// "The IP can be at most 15 characters.": a field, by the name its caller
// gives it, and its limit.
std::string TooLongText(std::string_view field, int limit);

enum class TooLongTexts {
  Refused,       // refused before the write as ...TooLong (windows, Tarnwick.Operator)
  StoreRefuses,  // left to the store, which refuses the row with its own error (Tarnwick._clsControl)
};

// The most one packet's body (the type byte and the payload) holds: its
// length must fit the 16-bit prefix.
inline constexpr std::size_t kMaxPacketBody = 65535;
// The most text one Message or AddGod packet carries, after its type byte.
inline constexpr std::size_t kMaxPacketText = kMaxPacketBody - 1;

// --- Accounts ----------------------------------------------------------------

struct AccountFields {
  std::string User, Password, Name, Description, UpdateURL;
  int Official = 0;
  // The password typed a second time; nullopt when the caller asks only once.
  std::optional<std::string> Confirmation;
  // Edit only: the stored password stays and Password is not looked at
  // (tarnwickctl's edit without a new password); the rule then holds the
  // user name only.
  bool KeepPassword = false;
};

enum class AccountTexts {
  Checked,  // user name and password follow IsValidAccountText (windows, Tarnwick.Operator)
  AsGiven,  // stored as passed, no rule (Tarnwick._clsControl)
};

// The rule (when Checked), the confirmation, an account of that name, then
// the length of every field (when Refused).
Refusal CreateAccount(Database& db, const AccountFields& account, AccountTexts texts,
                      TooLongTexts tooLong = TooLongTexts::Refused);
// Changes Password, Name, Description, UpdateURL and Official of the account
// named account.User. A server online with it keeps what it logged in with.
// An account that is not there is refused before a text too long.
Refusal EditAccount(Database& db, const AccountFields& account, AccountTexts texts,
                    TooLongTexts tooLong = TooLongTexts::Refused);

enum class OnlineServers {
  Disconnect,  // the servers logged in with it are disconnected first (windows, Tarnwick.Operator)
  LeaveAlone,  // they stay connected and listed (Tarnwick._clsControl)
};
Refusal DeleteAccount(Database& db, Registry& registry, const std::string& user,
                      OnlineServers online);

// --- Bans ------------------------------------------------------------------

struct BanFields {
  std::string Name, IP;
  std::string Reason;  // empty: no reason
  // Asked for only once every check has passed, with the date the ban has
  // now (nullopt for a new ban): the ban editor's notice about a date it
  // cannot read comes after the other notices and lets the save go on with
  // that date, a remote caller's bad date after the refusals.
  std::function<std::optional<QDateTime>(const std::optional<QDateTime>& previous)> UnbanDate;
};

enum class SecondBanOnAddress {
  Refused,   // an IP already banned is refused (windows, Tarnwick.Operator)
  Accepted,  // Tarnwick._clsControl's CreateBan takes it
};

// Name, then IP required; the name free; the IP not banned yet (unless
// Accepted); a free ban number; then, with the date asked for, the length
// of every field (when Refused).
Refusal AddBan(Database& db, const BanFields& ban, SecondBanOnAddress second,
               TooLongTexts tooLong = TooLongTexts::Refused);

enum class BanNameCheck {
  First,     // the ban editor: an empty name is refused before the IP is looked at
  NotFound,  // the remote interfaces: an empty name is simply not found
};
// Sets IP, Reason and UnbanDate of the ban named ban.Name; Name and Number
// stay. Another ban may have the same IP. The lengths of IP and Reason are
// looked at once the date has been asked for.
Refusal EditBan(Database& db, const BanFields& ban, BanNameCheck nameCheck,
                TooLongTexts tooLong = TooLongTexts::Refused);

Refusal DeleteBan(Database& db, const std::string& name);
// The first ban of the address, as the ban list finds its lines' bans.
Refusal DeleteBanOfIP(Database& db, const std::string& ip);

// --- Servers online ----------------------------------------------------------

// By slot (Tarnwick._clsControl): NotAServer when the slot holds none.
Refusal SendMessage(Registry& registry, int slot, const std::string& text);
Refusal Disconnect(Registry& registry, int slot);
// By user name (the console, Tarnwick.Operator): NotOnline when no server
// is online as user. The text is checked before the server is looked for.
// A registry acts only on the connections it holds: a server online at
// another registry of the game is OnOtherRegistry, and *elsewhere (when
// given) is then that server as this registry knows it.
Refusal SendMessageTo(Registry& registry, const std::string& user, const std::string& text,
                      SharedServer* elsewhere = nullptr);
Refusal DisconnectUser(Registry& registry, const std::string& user,
                       SharedServer* elsewhere = nullptr);
Refusal AddGod(Registry& registry, const std::string& user, const std::string& name,
               SharedServer* elsewhere = nullptr);

// The server online as user (letter case aside) among the other
// registries' servers; nullptr when there is none.
const SharedServer* FindElsewhere(const std::vector<SharedServer>& others, std::string_view user);
// "Server NAME is on registry B: ask that registry." for OnOtherRegistry.
std::string OnOtherRegistryText(const SharedServer& server);

// To every server online. Refused only as MessageTooLong, before anything
// is sent. The remote interfaces pass the event log, which then gets
// "Server Message: " and the text (also when no server was online); the
// console's message dialog passes nullptr and logs nothing.
Refusal SendMessageToAll(Registry& registry, const std::string& text, LogSink* logTo);

}  // namespace ops
