#pragma once
// One slot of the client table. Slots 1..255 are the regular slots; slot 256
// only ever carries the "table full" refusal.
#include "storage/Records.h"

#include <cstdint>
#include <string>

constexpr int kRegularSlots = 255;
constexpr int kOverflowSlot = 256;

enum : std::uint8_t { kModeConnected = 0, kModeServer = 2 };

struct ClientRecord {
  std::string Buffer;         // received bytes not yet cut into packets
  bool InUse = false;
  std::uint8_t Mode = kModeConnected;
  std::uint32_t LastTick = 0;  // tick of the last data arrival
  std::string User;           // account user name as sent at login
  std::uint8_t PlayerCount = 0;
  std::string Name;
  std::string IP;
  std::string Description;
  std::string UpdateURL;
  std::uint8_t Official = 0;  // anything but 0 is official
  Bookmark Position = 0;      // the account's row, kept from login
  int ListIndex = 0;          // its entry in the shared list, 0 when not shared
  bool CloseAfterSend = false;

  // What makes room in a full table looks at: when the connection was
  // taken, when it was last sent a ListMore (a player between two parts of
  // the list), and whether it ever asked for anything but keep-alives.
  std::uint32_t ConnectTick = 0;
  std::uint32_t ListMoreTick = 0;
  bool WaitsForMore = false;  // ListMoreTick holds a moment
  bool AskedSomething = false;
  // The conversation is over (a refused login): nothing more the peer sends
  // is handled, and the connection ends once the refusal has been sent, or
  // kRefusalGraceMs after RefusedTick at the latest.
  bool Refused = false;
  std::uint32_t RefusedTick = 0;
};

constexpr std::uint32_t kRefusalGraceMs = 5000;

// Only clients in server mode count as servers online.
inline bool IsServerOnline(const ClientRecord& c) { return c.InUse && c.Mode == kModeServer; }
