#pragma once
// The registry core: the client table and the life of each connection, the
// packet framing, the handlers of both modes, ban enforcement and the server
// list query. Everything runs on the one thread of the Qt event loop; every
// handler runs to completion before the next event.
//
// The member functions are spread over one file per concern:
//   Connections.cpp      listening, slots, accept, DisconnectClient, the
//                        time-out scan, the count of accesses per hour
//   Framing.cpp          EncodeLength/DecodeLength, ProcessData and the
//                        dispatch to the handlers, sending, and the write
//                        batch whose commit the replies wait for
//   LoginHandlers.cpp    packets before login (accounts and login)
//   ServerHandlers.cpp   packets from a logged-in game server
//   BanCheck.cpp         refusing banned addresses
//   ServerListQuery.cpp  the server list for players, the address each
//                        player is given for a server (AddressMap.h)
//   Sharing.cpp          the live list shared with the other registries of
//                        the game (storage/SharedList.h)
// and the transport of the connections (Transport.h: the socket array
// wsServer of SocketArray.h, with Listener.h, SendQueue.h and
// LingeringCloses.h, or MemoryTransport.h in tests) and the per-address
// flood limits (FloodGuard.h) are classes of their own. The operator's
// actions on the registry and its database are the rulebook of Operations.h.
#include "core/AddressMap.h"
#include "core/ClientRecord.h"
#include "core/Counters.h"
#include "core/FloodGuard.h"
#include "core/SocketArray.h"
#include "core/Transport.h"
#include "storage/Database.h"
#include "storage/SharedList.h"

#include <QObject>
#include <QString>
#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class ConsoleState;
class LogSink;
class TickClock;
class Calendar;

constexpr std::uint16_t kRegistryPort = 5679;
// Bodies of 512 bytes or more end the connection.
constexpr int kMaxIncomingBody = 511;

namespace packet {
// Packet types. Incoming, before login:
enum : std::uint8_t {
  NewAccount = 0,
  Login = 1,
  ListRequest = 3,
  // after login:
  ServerInfo = 5,
  ChangePassword = 6,
  SetPlayerCount = 7,
  // both modes:
  Pong = 255,
};
// Outgoing:
enum : std::uint8_t {
  LoginAccepted = 0,
  ServerFull = 0,
  AccountExists = 1,
  AlreadyOnline = 2,
  LoginRefused = 3,
  Message = 4,
  ListEntry = 4,
  AddGod = 5,
  Ping = 255,
  ListEnd = 255,
  ListMore = 255,
};
}  // namespace packet

std::string EncodeLength(std::size_t n);
std::size_t DecodeLength(std::string_view twoBytes);

// 3 to 15 characters, each an ASCII letter, digit or underscore.
bool IsValidAccountText(std::string_view text);

// The network form of an address: level 1 replaces the last number with 0,
// level 2 the last two; an address without enough dots is returned unchanged.
std::string MaskIP(std::string_view address, int level);

// True when the date falls on today or earlier (time of day plays no part).
bool BanExpired(const QDate& unbanDay, const QDate& today);

class Registry : public QObject, private SocketEvents {
  Q_OBJECT
 public:
  // Makes the transport that carries the connections, given the events it
  // is to report; the socket array when none is given.
  using TransportFactory = std::function<std::unique_ptr<Transport>(SocketEvents&)>;

  Registry(Database& db, ConsoleState& console, LogSink& log, TickClock& clock,
           Calendar& calendar, QObject* parent = nullptr);
  Registry(Database& db, ConsoleState& console, LogSink& log, TickClock& clock,
           Calendar& calendar, const TransportFactory& transport, QObject* parent = nullptr);
  ~Registry() override;

  // Fills AccessTimes with the current tick (once, at start-up).
  void StartAccessTimes();
  // Starts listening on all IPv4 addresses. Returns false and sets *error
  // when the port cannot be taken.
  bool Listen(std::uint16_t port, QString* error);
  std::uint16_t ListeningPort() const;
  // What one address may hold and do; every limit is on until set.
  void SetFloodLimits(const FloodLimits& limits) { flood_.SetLimits(limits); }
  const FloodGuard& Flood() const { return flood_; }
  // The networks whose game servers are listed with another address to
  // players outside them; none until set.
  void SetAddressMap(AddressMap map);
  const AddressMap& Map() const { return addressMap_; }
  // Shares the live list with the other registries of the game: each
  // server logging in takes its entry there first (one account online once
  // across all of them), and the list for players is the merged one, read
  // by list index. Null, the default, keeps everything to this registry.
  // The list must outlive the registry or be unset first.
  void SetSharedList(SharedList* shared);
  bool Sharing() const { return shared_ != nullptr; }
  // The servers logged in at the other registries, in index order, and the
  // name this registry has among them; both empty without sharing.
  const std::vector<SharedServer>& OtherServers() const;
  const std::string& InstanceName() const;
  // Why logins cannot be taken just now (the shared database or the shared
  // list is away), for the health check; empty when they can.
  std::string SharingProblem() const;

  // Enables the time-out and keep-alive scan (every 10 ms while a time-out
  // is due, see ScheduleScan).
  void StartClientTimer();
  void StopClientTimer();

  // The client table, slots 1..256. A record changed from outside the core
  // (tests do) also drops the server lists built from the table.
  const ClientRecord& Client(int slot) const { return Clients[slot]; }
  ClientRecord& MutableClient(int slot) {
    InvalidateLists();
    return Clients[slot];
  }
  int FindFreeSlot() const;
  int FindClientByUser(std::string_view user) const;
  void DisconnectClient(int slot);
  // Ends every connection in slots 1..255 (the stop operation).
  void DisconnectAll();

  void SendPacket(int slot, std::string_view body);
  void SendRaw(int slot, std::string_view bytes);
  void ProcessData(int slot, std::string_view data);

  // Fills the console's information labels from the slot's record.
  void ShowServerInfo(int slot);
  // The address the list gives a player on the internet for the server at
  // the slot: the address map's PUBLIC for it, or its own IP.
  const std::string& ListedAddress(int slot) const;

  // One pass of the time-out and keep-alive scan; the client timer calls it.
  void OnClientTimer();

  int ConnectionCount() const { return connectionCount_; }
  // The rate the main window shows as "Accesses/Hour = ": at most 100
  // accesses in one millisecond, 360,000,000.
  int AccessesPerHour() const { return accessesPerHour_; }
  // What the registry has done since it started (read by the HTTP side).
  const Counters& Stats() const { return counters_; }

  // Calls visit(slot, client) for every server online (a client in server
  // mode), in ascending slot order: the one walk over the servers for the
  // windows and the remote control. The walk changes nothing itself; the
  // visitor may send to the slot or end its connection.
  template <class Visitor>
  void ForEachServer(Visitor&& visit) const {
    for (int slot = 1; slot <= kRegularSlots; ++slot)
      if (IsServerOnline(Clients[slot])) visit(slot, Clients[slot]);
  }

  // What a list entry shows of one server, whichever registry it is at.
  struct Listed;

 signals:
  // Something a server list shows has changed: a server logged in or left,
  // or reported a name, description or player count. Emitted as the list
  // replies are dropped, so a listener can bring its own copy up to date.
  void serversChanged();

 private:
  // The socket array's events.
  void OnConnectionRequest() override;
  void OnDataArrival(int slot, std::string_view data) override;
  void OnSendComplete(int slot) override;
  void OnSocketError(int slot) override;

  void AcceptConnection(SocketArray::Request request);
  void RefuseTableFull(SocketArray::Request request);
  // Connections from the address that have not logged in.
  int WaitingFrom(std::uint32_t address) const;
  // Makes room in a full table: ends a connection that has not logged in
  // (see Connections.cpp); its slot, or 0 when every slot holds a logged-in
  // server.
  int EvictIdleClient();
  void RecordAccess();
  void ShowConnectionCount();
  bool SocketConnected(int slot) const { return sockets_.Connected(slot); }
  void ScheduleScan();

  void HandlePacket(int slot, std::uint8_t type, std::string_view payload);
  void HandleBeforeLogin(int slot, std::uint8_t type, std::string_view payload);
  void HandleFromServer(int slot, std::uint8_t type, std::string_view payload);
  void HandleNewAccount(int slot, std::string_view payload);
  void HandleLogin(int slot, std::string_view payload);
  bool AddAccount(int slot, const std::string& user, const std::string& password);
  void NewAccountNotStored(int slot, const std::string& user, const DatabaseError& e);
  void HandleServerInfo(int slot, std::string_view payload);
  void HandleChangePassword(int slot, std::string_view payload);
  void HandleSetPlayerCount(int slot, std::string_view payload);
  void HandleListRequest(int slot, std::string_view payload);
  void HandlePong(int slot, std::string_view payload);

  // Ends the conversation after a refused login: the reply goes out, the
  // name it held is let go, nothing more is handled, and the connection ends
  // when the reply has been sent or kRefusalGraceMs later at the latest.
  // `account` is the upper-cased name of the account it tried (empty when
  // there is none); `reason` goes on the operator's line.
  void RefuseLogin(int slot, const std::string& account, const char* reason);
  // Whether one more logged-in server may come from the slot's address, and
  // the table keeps its reserved player slots free of servers.
  bool RoomForServer(int slot) const;
  // Sends the table-full reply and ends the connection.
  void RefuseServerFull(int slot);

  // The database writes of one data arrival are committed together at its
  // end, so a flood of small packets costs one commit per slice, not one per
  // packet. Replies queued meanwhile leave only after the commit.
  void BeginWrite();
  // False with the engine's message in *error when the commit failed;
  // the replies held back for it are then dropped.
  // *unreachable tells a shared database that is away.
  bool CommitWrites(std::string* error, bool* unreachable = nullptr);

  // The shared side of a login (Sharing.cpp). TakeEntry claims the entry of
  // the server at the slot about to log in, with what its record shows;
  // RefuseClaim gives the reply of this registry's own table for a claim
  // that failed and ends the connection.
  SharedServer EntryOf(int slot) const;
  SharedList::Claim TakeEntry(int slot);
  void RefuseClaim(int slot, SharedList::Claim claim, bool newAccount);
  // Ends a login or new account the shared database could not serve: the
  // peer is told LoginRefused, not that it succeeded.
  void RefuseUnreachable(int slot, const char* what);
  // True for an error that means the shared database is away (never
  // without sharing: the file back end keeps its own handling).
  bool SharedOutage(const DatabaseError& e) const;
  // The server at the slot reported something the list shows.
  void PublishEntry(int slot);
  void ReleaseEntry(ClientRecord& c);
  std::vector<SharedServer> OwnEntries() const;
  void OnEntryLost(const QString& user);
  void OnIndexChanged(const QString& user, int index);
  void OnSharingChanged(bool available, const QString& reason);

  // Ban check of a newly accepted address: true when it must be refused.
  bool RefusedByBan(const std::string& address);

  // A list reply depends only on the records of the servers online, the
  // slot it starts at and the requester's kind (AddressMap.h), so each is
  // built once and kept until a server logs in, leaves or reports something
  // the list shows.
  void InvalidateLists() {
    indexed_ = false;
    for (auto& kept : listReplies_)
      if (kept) kept->built.reset();
    emit serversChanged();
  }
  const std::string& ListReply(int start, int kind);
  // The server at position j of the list walk (a slot, or with sharing a
  // list index), or false when none is there.
  bool ListedAt(int j, int kind, Listed& out);
  // With sharing: which local slot or entry of OtherServers() holds each
  // list index; rebuilt with the first list reply after a change.
  void IndexServers();
  // Tells the operator, once per address, of a game server listed with an
  // address players on the internet cannot reach.
  void WarnIfUnreachable(int slot);

  Database& db_;
  ConsoleState& console_;
  LogSink& log_;
  TickClock& clock_;
  Calendar& calendar_;

  std::array<ClientRecord, kOverflowSlot + 1> Clients{};  // index 0 unused
  std::unique_ptr<Transport> transport_;
  Transport& sockets_;
  FloodGuard flood_;
  std::array<std::uint32_t, kOverflowSlot + 1> addresses_{};  // of each slot's peer
  class QTimer* clientTimer_ = nullptr;
  bool scanScheduled_ = false;

  std::optional<Database::Transaction> batch_;
  // Replies to the slot whose arrival is being handled wait here while its
  // database writes are not committed.
  int heldSlot_ = 0;
  std::string held_;

  SharedList* shared_ = nullptr;
  // Per list index: a local slot (> 0), an entry of OtherServers() (-1 - its
  // position), or 0 for none; valid while indexed_.
  std::array<int, kRegularSlots + 1> byIndex_{};
  bool indexed_ = false;

  AddressMap addressMap_;
  struct KeptReplies {
    std::array<std::string, kRegularSlots + 1> reply;
    std::bitset<kRegularSlots + 1> built;
  };
  // Per requester kind, made when a requester of the kind first asks.
  std::vector<std::unique_ptr<KeptReplies>> listReplies_;
  // Addresses already warned of (a bounded number of them).
  std::set<std::uint32_t> warnedUnreachable_;

  Counters counters_;
  int connectionCount_ = 0;
  int accessCount_ = 0;
  int accessesPerHour_ = 0;
  std::array<std::uint32_t, 101> accessTimes_{};  // entries 1..100, oldest first
};
