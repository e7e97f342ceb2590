// The live list shared with the other registries of the game. A server
// logging in takes its entry in the shared list after the checks of this
// registry's own table, so the database decides which of two logins at two
// registries is the one online; every way a server leaves gives the entry
// back (DisconnectClient), and what the list shows of it is written on as
// it changes. Without a shared list none of this runs.
#include "core/LogSink.h"
#include "core/Registry.h"
#include "core/Text.h"
#include "storage/Cp1252.h"

namespace {

const std::string_view kAccountExistsBody("\x01", 1);
const std::string_view kAlreadyOnlineBody("\x02", 1);
const std::string_view kLoginRefusedBody("\x03", 1);
const std::vector<SharedServer> kNoServers;
const std::string kNoName;

}  // namespace

void Registry::SetSharedList(SharedList* shared) {
  if (shared_) disconnect(shared_, nullptr, this, nullptr);
  shared_ = shared;
  InvalidateLists();
  if (!shared_) return;
  shared_->SetOwnServers([this] { return OwnEntries(); });
  connect(shared_, &SharedList::othersChanged, this, &Registry::InvalidateLists);
  connect(shared_, &SharedList::entryLost, this, &Registry::OnEntryLost);
  connect(shared_, &SharedList::indexChanged, this, &Registry::OnIndexChanged);
  connect(shared_, &SharedList::availabilityChanged, this, &Registry::OnSharingChanged);
}

const std::vector<SharedServer>& Registry::OtherServers() const {
  return shared_ ? shared_->Others() : kNoServers;
}

const std::string& Registry::InstanceName() const { return shared_ ? shared_->Instance() : kNoName; }

std::string Registry::SharingProblem() const {
  if (db_.Shared() && !db_.Reachable()) return "the database is unreachable: " + db_.Problem();
  if (shared_ && !shared_->Available()) return "the shared server list is unreachable: " + shared_->Problem();
  return {};
}

SharedServer Registry::EntryOf(int slot) const {
  const ClientRecord& c = Clients[std::size_t(slot)];
  SharedServer s;
  s.index = c.ListIndex;
  s.instance = InstanceName();
  s.user = c.User;
  s.ip = c.IP;
  s.listedIp = ListedAddress(slot);
  s.players = c.PlayerCount;
  s.name = c.Name;
  s.official = c.Official;
  s.description = c.Description;
  s.updateUrl = c.UpdateURL;
  return s;
}

SharedList::Claim Registry::TakeEntry(int slot) {
  SharedServer entry = EntryOf(slot);
  std::string heldBy;
  const SharedList::Claim claim = shared_->TakeEntry(entry, &heldBy);
  if (claim == SharedList::Claim::Claimed) Clients[std::size_t(slot)].ListIndex = entry.index;
  return claim;
}

// The replies of this registry's own table for the same cases: online
// elsewhere is online, a full shared list is a full table. A new account
// whose name is online elsewhere exists already.
void Registry::RefuseClaim(int slot, SharedList::Claim claim, bool newAccount) {
  switch (claim) {
    case SharedList::Claim::Claimed: return;
    case SharedList::Claim::AlreadyOnline:
      Counters::Add(newAccount ? counters_.accountsNameTaken : counters_.loginsAlreadyOnline);
      SendPacket(slot, newAccount ? kAccountExistsBody : kAlreadyOnlineBody);
      return DisconnectClient(slot);
    case SharedList::Claim::ListFull:
      Counters::Add(newAccount ? counters_.accountsTableFull : counters_.loginsTableFull);
      return RefuseServerFull(slot);
    case SharedList::Claim::Unavailable:
      return RefuseUnreachable(slot, newAccount ? "New account" : "Login");
  }
}

// Nothing is written and nothing claimed; the peer may try again once the
// database is back. The outage itself is reported once, where it is noticed.
void Registry::RefuseUnreachable(int slot, const char* what) {
  Counters::Add(counters_.loginsRefused);
  log_.AddLogLine(std::string(what) + " from " + Clients[std::size_t(slot)].IP +
                  " refused: the database is unreachable");
  SendPacket(slot, kLoginRefusedBody);
  DisconnectClient(slot);
}

bool Registry::SharedOutage(const DatabaseError& e) const { return shared_ && e.Unreachable(); }

void Registry::PublishEntry(int slot) {
  if (shared_ && Clients[std::size_t(slot)].ListIndex != 0) shared_->Update(EntryOf(slot));
}

// Given back at every way a server leaves; DisconnectClient calls it.
void Registry::ReleaseEntry(ClientRecord& c) {
  if (!shared_ || c.ListIndex == 0) return;
  c.ListIndex = 0;
  shared_->Release(c.User);
}

std::vector<SharedServer> Registry::OwnEntries() const {
  std::vector<SharedServer> own;
  ForEachServer([&](int slot, const ClientRecord& c) {
    if (c.ListIndex != 0) own.push_back(EntryOf(slot));
  });
  return own;
}

// The database gave the account's entry to a login at another registry
// while this one could not reach it: that one is online, this one goes.
// Its entry is not ours to give back.
void Registry::OnEntryLost(const QString& user) {
  const int slot = FindClientByUser(cp1252::FromUnicode(user));
  if (slot == 0) return;
  ClientRecord& c = Clients[std::size_t(slot)];
  log_.AddLogLine(c.User + " logged in at another registry meanwhile; disconnected here");
  c.ListIndex = 0;
  DisconnectClient(slot);
}

// At the catch-up the index this registry held was taken meanwhile: the
// server is listed under its new one, the same at every registry.
void Registry::OnIndexChanged(const QString& user, int index) {
  const int slot = FindClientByUser(cp1252::FromUnicode(user));
  if (slot == 0 || index < 1 || index > kRegularSlots) return;
  Clients[std::size_t(slot)].ListIndex = index;
  InvalidateLists();
}

void Registry::OnSharingChanged(bool available, const QString& reason) {
  if (available)
    log_.Warning("The shared server list is reachable again");
  else
    log_.Error("The shared server list is unreachable: " + cp1252::FromUnicode(reason) +
               "; logins are refused until it is back");
  InvalidateLists();
}
