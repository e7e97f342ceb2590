// The server list for players: one ListEntry per game server online,
// official servers first, cut once the reply reaches 1024 bytes and closed by
// ListEnd, or by ListMore with the slot to ask for next (with a shared list,
// the list index: see ListedAt). A game server in a
// network of the address map is listed with that network's PUBLIC address to
// players outside it, with its own to players inside it.
#include "core/Clock.h"
#include "core/LogSink.h"
#include "core/Registry.h"

#include <charconv>
#include <cstring>

namespace {

constexpr std::size_t kReplyCut = 1024;
// Addresses remembered as warned of: far more than servers can be online
// at once, and a bound on what logins from a large network can make it hold.
constexpr std::size_t kMaxWarnedAddresses = 4096;
const std::string_view kListEndPacket("\x00\x02\xFF\x04", 4);
const std::string_view kListMoreHead("\x00\x03\xFF\x03", 4);

}  // namespace

// What one ListEntry shows of a server, from a local record or an entry of
// another registry alike.
struct Registry::Listed {
  std::string_view user, ip, name, description, updateUrl;
  std::uint8_t players = 0, official = 0;
};

namespace {

// Writes one ListEntry (length prefix and body) at the end of `out`, in
// place and in one piece: a reply is built without a string per field. `ip`
// is the address this requester is given for the server.
void WriteEntry(std::string& out, const Registry::Listed& c) {
  char count[4];
  const std::size_t countLength =
      std::size_t(std::to_chars(count, count + sizeof count, unsigned(c.players)).ptr - count);
  const std::string_view standing = c.official != 0 ? "Official Server: " : "Unofficial Server: ";
  const std::size_t body = 1 + c.user.size() + 1 + c.ip.size() + 1 + 1 + countLength + 2 +
                           c.name.size() + 1 + standing.size() + c.description.size() + 1 +
                           c.updateUrl.size();
  const std::size_t start = out.size();
  out.resize(start + 2 + body);
  char* p = out.data() + start;
  const std::string length = EncodeLength(body);
  auto put = [&p](std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    p += text.size();
  };
  *p++ = length[0];
  *p++ = length[1];
  *p++ = char(packet::ListEntry);
  put(c.user);
  *p++ = '\0';
  put(c.ip);
  *p++ = '\0';
  *p++ = '[';
  put(std::string_view(count, countLength));
  put("] ");
  put(c.name);
  *p++ = '\0';
  put(standing);
  put(c.description);
  *p++ = '\0';
  put(c.updateUrl);
}

}  // namespace

void Registry::HandleListRequest(int slot, std::string_view payload) {
  if (payload.size() != 1) return DisconnectClient(slot);
  const int start = static_cast<unsigned char>(payload[0]);
  if (start == 0) return;
  const std::string& reply = ListReply(start, addressMap_.RequesterKind(addresses_[slot]));
  if (reply.empty()) return DisconnectClient(slot);
  ClientRecord& c = Clients[slot];
  // One address asking too often cools down as one connecting too often
  // does; the request is not answered.
  if (!flood_.AdmitListRequest(addresses_[slot], c.IP)) return DisconnectClient(slot);
  log_.AddLogLine("Server information sent to " + c.IP);
  // A reply cut by ListMore (type 255, slot to ask for next) leaves a
  // player who will ask again at once.
  c.WaitsForMore = reply.size() >= 5 && reply.compare(reply.size() - 5, 4, kListMoreHead) == 0;
  if (c.WaitsForMore) c.ListMoreTick = clock_.Ticks();
  Counters::Add(counters_.listRequests);
  Counters::Add(counters_.listBytes, reply.size());
  SendRaw(slot, reply);
}

// The entries of the servers online from `start` on, official ones in front
// as they are found, cut once the reply reaches 1024 bytes, then ListEnd or
// ListMore with the position to ask for next. Empty when no server is
// online at or after start. The cut measures the entries as this kind of
// requester gets them, so addresses of other lengths may move it.
const std::string& Registry::ListReply(int start, int kind) {
  const auto kinds = std::size_t(addressMap_.Kinds());
  if (listReplies_.size() < kinds) listReplies_.resize(kinds);
  auto& kept = listReplies_[std::size_t(kind)];
  if (!kept) kept = std::make_unique<KeptReplies>();
  std::string& reply = kept->reply[std::size_t(start)];
  if (kept->built.test(std::size_t(start))) return reply;
  reply.clear();
  if (shared_ && !indexed_) IndexServers();
  std::string official;
  Listed entry;
  int j = start;
  for (; j <= kRegularSlots; ++j) {
    if (!ListedAt(j, kind, entry)) continue;
    if (reply.size() >= kReplyCut) break;
    if (entry.official != 0) {
      official.clear();
      WriteEntry(official, entry);
      reply.insert(0, official);
    } else {
      WriteEntry(reply, entry);
    }
  }
  if (!reply.empty()) {
    if (j > kRegularSlots) {
      reply += kListEndPacket;
    } else {
      reply += kListMoreHead;
      reply += char(j);
    }
  }
  kept->built.set(std::size_t(start));
  return reply;
}

// Without sharing the walk is over the slots; with it, over the list
// indexes, the same at every registry, so a ListMore asked of another
// registry goes on where this one stopped. Another registry's server is
// given to the requester as this registry's address map says for its
// address: the registries of one game share their settings.
bool Registry::ListedAt(int j, int kind, Listed& out) {
  const int at = shared_ ? byIndex_[std::size_t(j)] : j;
  if (at > 0) {
    const ClientRecord& c = Clients[std::size_t(at)];
    if (c.Mode != kModeServer) return false;
    out = {c.User, addressMap_.ListedTo(addresses_[std::size_t(at)], c.IP, kind), c.Name, c.Description,
           c.UpdateURL, c.PlayerCount, c.Official};
    return true;
  }
  const auto& others = OtherServers();
  if (at == 0 || std::size_t(-1 - at) >= others.size()) return false;
  const SharedServer& s = others[std::size_t(-1 - at)];
  const std::uint32_t address = ParseIPv4(s.ip).value_or(0);
  out = {s.user, addressMap_.ListedTo(address, s.ip, kind), s.name, s.description, s.updateUrl, s.players,
         s.official};
  return true;
}

void Registry::IndexServers() {
  byIndex_.fill(0);
  const auto& others = shared_->Others();
  for (std::size_t i = 0; i < others.size(); ++i) {
    const int index = others[i].index;
    if (index >= 1 && index <= kRegularSlots) byIndex_[std::size_t(index)] = -1 - int(i);
  }
  // A local server is never shadowed by a stale entry of another registry.
  ForEachServer([&](int slot, const ClientRecord& c) {
    if (c.ListIndex >= 1 && c.ListIndex <= kRegularSlots) byIndex_[std::size_t(c.ListIndex)] = slot;
  });
  indexed_ = true;
}

void Registry::SetAddressMap(AddressMap map) {
  addressMap_ = std::move(map);
  listReplies_.clear();
}

const std::string& Registry::ListedAddress(int slot) const {
  return addressMap_.ListedTo(addresses_[std::size_t(slot)], Clients[std::size_t(slot)].IP, 0);
}

// Only where no line of the map applies: a mapped server is listed as the
// operator said.
void Registry::WarnIfUnreachable(int slot) {
  const std::uint32_t address = addresses_[std::size_t(slot)];
  if (!IsUnreachableFromInternet(address) || addressMap_.Match(address) >= 0) return;
  if (warnedUnreachable_.size() >= kMaxWarnedAddresses || !warnedUnreachable_.insert(address).second)
    return;
  const ClientRecord& c = Clients[std::size_t(slot)];
  log_.Warning("Game server " + c.User + " is listed with the private address " + c.IP +
               ": players on the internet cannot reach it; see [AddressMap] in the README.");
}
