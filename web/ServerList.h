#pragma once
// The server list as the HTTP side shows it: the servers online in the order
// a player's client receives them over the game protocol, and that list as
// JSON (/servers.json). Texts stay code page 1252 here; the JSON is UTF-8.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class Registry;
struct SharedServer;

struct ListedServer {
  int slot = 0;
  std::string user;
  std::string address;       // as the list gives it to a player on the internet
  std::string localAddress;  // the connection's own, when the address map lists another
  int players = 0;
  std::string name;
  bool official = false;
  std::string description;  // without the standing the game's list puts in front
  std::string updateUrl;
  // Where several registries share the list: the one it is logged in at
  // (slot 0 when that is another). Empty without sharing.
  std::string registry;
};

// Every server online, in the order a player on the internet whose client
// follows each ListMore from slot 1 to the ListEnd receives them: each reply holds the official
// servers it covers first (in descending slot order), then the others (in
// ascending slot order), and a reply is cut once it reaches 1024 bytes.
// Where several registries share the list, the walk is over the list
// indexes instead of the slots (the same at every registry), and takes in
// the servers logged in at the others with the address their registry lists
// them with.
std::vector<ListedServer> ListedServers(const Registry& registry);

// The other registries' servers as the list shows them.
ListedServer Listed(const SharedServer& server);

// Seconds since the epoch as RFC 3339 in UTC ("2026-12-09T17:20:05Z").
std::string Rfc3339(std::time_t when);

// {"generated": ..., "serverCount": n, "playerCount": n, "servers": [...]}
std::string ServerListJson(const std::vector<ListedServer>& servers, std::time_t generated);

// Appends the code page 1252 text as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view cp1252Text);
