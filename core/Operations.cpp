#include "core/Operations.h"

#include "core/LogSink.h"
#include "core/Registry.h"
#include "core/Text.h"
#include "storage/Database.h"
#include "storage/Schema.h"

namespace ops {

std::optional<FieldLimit> TooLongField(Refusal refusal) {
  switch (refusal) {
    case Refusal::UserTooLong: return FieldLimit{"Servers", "User", schema::kUserSize};
    case Refusal::PasswordTooLong: return FieldLimit{"Servers", "Password", schema::kPasswordSize};
    case Refusal::ServerNameTooLong: return FieldLimit{"Servers", "Name", schema::kServerNameSize};
    case Refusal::DescriptionTooLong:
      return FieldLimit{"Servers", "Description", schema::kDescriptionSize};
    case Refusal::UpdateURLTooLong: return FieldLimit{"Servers", "UpdateURL", schema::kUpdateURLSize};
    case Refusal::BanNameTooLong: return FieldLimit{"Bans", "Name", schema::kBanNameSize};
    case Refusal::IPTooLong: return FieldLimit{"Bans", "IP", schema::kIPSize};
    case Refusal::ReasonTooLong: return FieldLimit{"Bans", "Reason", schema::kReasonSize};
    default: return std::nullopt;
  }
}

std::string TooLongText(std::string_view field, int limit) {
  return "The " + std::string(field) + " can be at most " + std::to_string(limit) + " characters.";
}

std::string Describe(Refusal refusal) {
  if (const std::optional<FieldLimit> f = TooLongField(refusal)) return TooLongText(f->column, f->limit);
  switch (refusal) {
    case Refusal::None: return "";
    case Refusal::AccountRule:
      return "User name and password must be 3 to 15 characters long, each a letter, a digit or "
             "the underscore";
    case Refusal::PasswordsDiffer: return "The two passwords entered do not match";
    case Refusal::AccountExists: return "The username selected already exists";
    case Refusal::NoSuchAccount: return "The account specified does not exist";
    case Refusal::NameMissing:
    case Refusal::IPMissing: return "A ban name and IP must be entered";
    case Refusal::NameInUse: return "The ban name specified already exists";
    case Refusal::IPBanned: return "The IP specified is already banned";
    case Refusal::NoSuchBan: return "The ban specified does not exist";
    case Refusal::NoBanNumber:
      return "The ban cannot be added: every ban number from 0 to 255 is taken";
    case Refusal::NotAServer: return "Client index not found or not in server mode";
    case Refusal::NotOnline: return "No server is online under that user name";
    case Refusal::MessageTooLong: return "The message is too long to send";
    case Refusal::NoGodName: return "Name is empty";
    case Refusal::OnOtherRegistry:
      return "The server is online at another registry: ask that registry";
    default: return "";
  }
}

namespace {

AccountRecord Row(const AccountFields& a) {
  AccountRecord row;
  row.User = a.User;
  row.Password = a.Password;
  row.Name = a.Name;
  row.Description = a.Description;
  row.UpdateURL = a.UpdateURL;
  row.Official = a.Official;
  return row;
}

// The rule first, one refusal for both texts; then the confirmation.
Refusal CheckTexts(const AccountFields& a, AccountTexts texts) {
  if (texts == AccountTexts::Checked &&
      (!IsValidAccountText(a.User) || (!a.KeepPassword && !IsValidAccountText(a.Password))))
    return Refusal::AccountRule;
  if (a.Confirmation && !EqualsIgnoringCase(a.Password, *a.Confirmation))
    return Refusal::PasswordsDiffer;
  return Refusal::None;
}

std::optional<std::string> NullIfEmpty(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<QDateTime> DateOf(const BanFields& ban, const std::optional<QDateTime>& previous) {
  return ban.UnbanDate ? ban.UnbanDate(previous) : std::nullopt;
}

// The first of the texts, in the order given, that is longer than its
// field (in code page 1252, one byte a character, as the store counts).
struct Limited {
  const std::string& text;
  Refusal refusal;
};
Refusal FirstTooLong(TooLongTexts tooLong, std::initializer_list<Limited> texts) {
  if (tooLong == TooLongTexts::StoreRefuses) return Refusal::None;
  for (const Limited& t : texts)
    if (t.text.size() > std::size_t(TooLongField(t.refusal)->limit)) return t.refusal;
  return Refusal::None;
}

Refusal AccountTooLong(const AccountFields& a, TooLongTexts tooLong) {
  static const std::string kNone;
  return FirstTooLong(tooLong, {{a.User, Refusal::UserTooLong},
                                {a.KeepPassword ? kNone : a.Password, Refusal::PasswordTooLong},
                                {a.Name, Refusal::ServerNameTooLong},
                                {a.Description, Refusal::DescriptionTooLong},
                                {a.UpdateURL, Refusal::UpdateURLTooLong}});
}

}  // namespace

Refusal CreateAccount(Database& db, const AccountFields& account, AccountTexts texts,
                      TooLongTexts tooLong) {
  if (const Refusal r = CheckTexts(account, texts); r != Refusal::None) return r;
  if (db.accounts().Seek(account.User)) return Refusal::AccountExists;
  if (const Refusal r = AccountTooLong(account, tooLong); r != Refusal::None) return r;
  try {
    db.accounts().Add(Row(account));
  } catch (const DatabaseError& e) {
    // Made at the same moment at another registry sharing the database.
    if (e.Duplicate()) return Refusal::AccountExists;
    throw;
  }
  return Refusal::None;
}

Refusal EditAccount(Database& db, const AccountFields& account, AccountTexts texts,
                    TooLongTexts tooLong) {
  if (const Refusal r = CheckTexts(account, texts); r != Refusal::None) return r;
  // As when the store refuses the row: an account that is gone is reported
  // as gone, whatever it was to be given.
  if (const Refusal r = AccountTooLong(account, tooLong); r != Refusal::None)
    return db.accounts().Seek(account.User) ? r : Refusal::NoSuchAccount;
  AccountRecord row = Row(account);
  if (account.KeepPassword) {
    const std::optional<AccountRecord> stored = db.accounts().Seek(account.User);
    if (!stored) return Refusal::NoSuchAccount;
    row.Password = stored->Password;
  }
  return db.accounts().Edit(row) ? Refusal::None : Refusal::NoSuchAccount;
}

Refusal DeleteAccount(Database& db, Registry& registry, const std::string& user,
                      OnlineServers online) {
  // The servers logged in with the account go first, so none of them can
  // go on under an account that no longer exists.
  if (online == OnlineServers::Disconnect)
    registry.ForEachServer([&](int slot, const ClientRecord& client) {
      if (EqualsIgnoringCase(client.User, user)) registry.DisconnectClient(slot);
    });
  return db.accounts().Delete(user) ? Refusal::None : Refusal::NoSuchAccount;
}

Refusal AddBan(Database& db, const BanFields& ban, SecondBanOnAddress second,
               TooLongTexts tooLong) {
  if (ban.Name.empty()) return Refusal::NameMissing;
  if (ban.IP.empty()) return Refusal::IPMissing;
  Bans& bans = db.bans();
  if (bans.FindByName(ban.Name)) return Refusal::NameInUse;
  if (second == SecondBanOnAddress::Refused && bans.FindByIP(ban.IP)) return Refusal::IPBanned;
  // Count plus one while that is free, else the lowest free number: after a
  // deletion the count plus one may already be taken.
  const std::optional<int> number = bans.NextBanNumber();
  if (!number) return Refusal::NoBanNumber;
  BanRecord row;
  row.Number = *number;
  row.Name = ban.Name;
  row.IP = ban.IP;
  row.Reason = NullIfEmpty(ban.Reason);
  row.UnbanDate = DateOf(ban, std::nullopt);
  if (const Refusal r = FirstTooLong(tooLong, {{ban.Name, Refusal::BanNameTooLong},
                                               {ban.IP, Refusal::IPTooLong},
                                               {ban.Reason, Refusal::ReasonTooLong}});
      r != Refusal::None)
    return r;
  bans.Add(row);
  return Refusal::None;
}

Refusal EditBan(Database& db, const BanFields& ban, BanNameCheck nameCheck,
                TooLongTexts tooLong) {
  if (nameCheck == BanNameCheck::First && ban.Name.empty()) return Refusal::NameMissing;
  if (ban.IP.empty()) return Refusal::IPMissing;
  Bans& bans = db.bans();
  const std::optional<BanRecord> found = bans.FindByName(ban.Name);
  if (!found) return Refusal::NoSuchBan;
  BanRecord values;
  values.IP = ban.IP;
  values.Reason = NullIfEmpty(ban.Reason);
  values.UnbanDate = DateOf(ban, found->UnbanDate);
  if (const Refusal r = FirstTooLong(
          tooLong, {{ban.IP, Refusal::IPTooLong}, {ban.Reason, Refusal::ReasonTooLong}});
      r != Refusal::None)
    return r;
  // The date may have been asked for with a notice, which lets other events
  // run: the ban may have gone since.
  return bans.Edit(found->Number.value_or(-1), values) ? Refusal::None : Refusal::NoSuchBan;
}

Refusal DeleteBan(Database& db, const std::string& name) {
  const std::optional<BanRecord> found = db.bans().FindByName(name);
  if (!found) return Refusal::NoSuchBan;
  return db.bans().Delete(found->Number.value_or(-1)) ? Refusal::None : Refusal::NoSuchBan;
}

Refusal DeleteBanOfIP(Database& db, const std::string& ip) {
  const std::optional<BanRecord> found = db.bans().FindByIP(ip);
  if (!found) return Refusal::NoSuchBan;
  return db.bans().Delete(found->Number.value_or(-1)) ? Refusal::None : Refusal::NoSuchBan;
}

namespace {

bool Fits(const std::string& text) { return text.size() <= kMaxPacketText; }

std::string Body(std::uint8_t type, const std::string& text) { return char(type) + text; }

bool IsServer(const Registry& registry, int slot) {
  return slot >= 1 && slot <= kOverflowSlot && IsServerOnline(registry.Client(slot));
}

}  // namespace

Refusal SendMessage(Registry& registry, int slot, const std::string& text) {
  if (!IsServer(registry, slot)) return Refusal::NotAServer;
  if (!Fits(text)) return Refusal::MessageTooLong;
  registry.SendPacket(slot, Body(packet::Message, text));
  return Refusal::None;
}

Refusal Disconnect(Registry& registry, int slot) {
  if (!IsServer(registry, slot)) return Refusal::NotAServer;
  registry.DisconnectClient(slot);
  return Refusal::None;
}

const SharedServer* FindElsewhere(const std::vector<SharedServer>& others, std::string_view user) {
  for (const SharedServer& server : others)
    if (EqualsIgnoringCase(server.user, user)) return &server;
  return nullptr;
}

std::string OnOtherRegistryText(const SharedServer& server) {
  return "Server " + server.user + " is on registry " + server.instance + ": ask that registry.";
}

namespace {

// The slot of the server online here as user; 0 with the refusal in
// *refusal when there is none: OnOtherRegistry when another registry of the
// game holds it (copied to *elsewhere), NotOnline when none does.
int FindOnline(const Registry& registry, const std::string& user, SharedServer* elsewhere,
               Refusal* refusal) {
  if (const int slot = registry.FindClientByUser(user)) return slot;
  const SharedServer* other = FindElsewhere(registry.OtherServers(), user);
  if (other && elsewhere) *elsewhere = *other;
  *refusal = other ? Refusal::OnOtherRegistry : Refusal::NotOnline;
  return 0;
}

}  // namespace

Refusal SendMessageTo(Registry& registry, const std::string& user, const std::string& text,
                      SharedServer* elsewhere) {
  if (!Fits(text)) return Refusal::MessageTooLong;
  Refusal refusal = Refusal::None;
  const int slot = FindOnline(registry, user, elsewhere, &refusal);
  if (slot == 0) return refusal;
  registry.SendPacket(slot, Body(packet::Message, text));
  return Refusal::None;
}

Refusal DisconnectUser(Registry& registry, const std::string& user, SharedServer* elsewhere) {
  Refusal refusal = Refusal::None;
  const int slot = FindOnline(registry, user, elsewhere, &refusal);
  if (slot == 0) return refusal;
  registry.DisconnectClient(slot);
  return Refusal::None;
}

// The console's input box sends nothing for an empty name; neither does
// anyone else.
Refusal AddGod(Registry& registry, const std::string& user, const std::string& name,
               SharedServer* elsewhere) {
  if (name.empty()) return Refusal::NoGodName;
  if (!Fits(name)) return Refusal::MessageTooLong;
  Refusal refusal = Refusal::None;
  const int slot = FindOnline(registry, user, elsewhere, &refusal);
  if (slot == 0) return refusal;
  registry.SendPacket(slot, Body(packet::AddGod, name));
  return Refusal::None;
}

Refusal SendMessageToAll(Registry& registry, const std::string& text, LogSink* logTo) {
  if (!Fits(text)) return Refusal::MessageTooLong;
  const std::string body = Body(packet::Message, text);
  registry.ForEachServer([&](int slot, const ClientRecord&) { registry.SendPacket(slot, body); });
  if (logTo) logTo->AddLogLine("Server Message: " + text);
  return Refusal::None;
}

}  // namespace ops
