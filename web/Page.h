#pragma once
// The server list as a web page (GET /): rendered here, so that it reads
// without JavaScript; its own script (page.js, embedded in the program)
// refreshes it from /servers.json and sorts it in place. Every text a game
// server sent is escaped.
#include "web/ServerList.h"

#include <ctime>
#include <string>
#include <vector>

enum class PageOrder { Game, Players, Name };

// The servers in the order: as listed, by players (most first), or by name.
std::vector<ListedServer> Ordered(std::vector<ListedServer> servers, PageOrder order);

std::string RenderPage(const std::vector<ListedServer>& servers, std::time_t generated, PageOrder order);

// Appends code page 1252 text as HTML text (also fit for attribute values
// in double quotes).
void AppendHtml(std::string& out, std::string_view cp1252Text);

// The page's style and script, as embedded in the program.
const std::string& PageStyle();
const std::string& PageScript();
