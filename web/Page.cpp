#include "web/Page.h"

#include "storage/Cp1252.h"

#include <QFile>
#include <QString>
#include <algorithm>

namespace {

std::string Resource(const char* path) {
  QFile file(QString::fromLatin1(path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

// A link only to the web: anything else a server sent stays text.
bool IsWebLink(std::string_view url) {
  const auto starts = [&](std::string_view prefix) {
    if (url.size() <= prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
      if ((url[i] | 0x20) != prefix[i]) return false;
    return true;
  };
  return starts("http://") || starts("https://");
}

std::string DisplayTime(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

void AppendRow(std::string& out, const ListedServer& s) {
  out += s.official ? "<tr class=\"official\" data-user=\"" : "<tr data-user=\"";
  AppendHtml(out, s.user);
  // Which of the registries sharing the list holds it: a tip for the
  // curious, the list itself is one.
  if (!s.registry.empty()) {
    out += "\" data-registry=\"";
    AppendHtml(out, s.registry);
    out += "\" title=\"On registry ";
    AppendHtml(out, s.registry);
  }
  out += "\"><td class=\"name\">";
  if (s.official) out += "<span class=\"badge\">Official</span> ";
  out += "<span class=\"server\">";
  AppendHtml(out, s.name);
  out += "</span>";
  if (!s.description.empty()) {
    out += "<span class=\"desc\">";
    AppendHtml(out, s.description);
    out += "</span>";
  }
  out += "</td><td class=\"players\">" + std::to_string(s.players) + "</td><td class=\"address\">";
  AppendHtml(out, s.address);
  out += "</td><td class=\"update\">";
  if (IsWebLink(s.updateUrl)) {
    out += "<a rel=\"nofollow noopener\" href=\"";
    AppendHtml(out, s.updateUrl);
    out += "\">";
    AppendHtml(out, s.updateUrl);
    out += "</a>";
  } else {
    AppendHtml(out, s.updateUrl);
  }
  out += "</td></tr>\n";
}

void AppendHeading(std::string& out, const char* order, const char* label, const char* cls, PageOrder shown,
                   PageOrder mine) {
  out += std::string("<th class=\"") + cls + "\"";
  if (shown == mine) out += mine == PageOrder::Name ? " aria-sort=\"ascending\"" : " aria-sort=\"descending\"";
  out += std::string("><a href=\"/?sort=") + order + "\" data-sort=\"" + order + "\">" + label + "</a></th>";
}

}  // namespace

void AppendHtml(std::string& out, std::string_view text) {
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        // Control characters have no place in a page's text.
        if (byte < 0x20 || byte == 0x7F)
          out += "\xEF\xBF\xBD";
        else if (byte >= 0x80)
          cp1252::AppendAsUtf8(out, std::string_view(&ch, 1));
        else
          out += ch;
    }
  }
}

std::vector<ListedServer> Ordered(std::vector<ListedServer> servers, PageOrder order) {
  if (order == PageOrder::Players) {
    std::stable_sort(servers.begin(), servers.end(),
                     [](const ListedServer& a, const ListedServer& b) { return a.players > b.players; });
  } else if (order == PageOrder::Name) {
    std::vector<std::pair<QString, ListedServer>> keyed;
    keyed.reserve(servers.size());
    for (ListedServer& s : servers) keyed.emplace_back(cp1252::ToUnicode(s.name), std::move(s));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
      return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) servers[i] = std::move(keyed[i].second);
  }
  return servers;
}

std::string RenderPage(const std::vector<ListedServer>& servers, std::time_t generated, PageOrder order) {
  int players = 0;
  for (const ListedServer& s : servers) players += s.players;
  std::string out;
  out.reserve(2048 + servers.size() * 300);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta name=\"color-scheme\" content=\"light dark\">"
      "<title>Velkarin servers online</title>"
      "<link rel=\"stylesheet\" href=\"/page.css\"><script src=\"/page.js\" defer></script></head>\n"
      "<body><header><h1>Velkarin servers online</h1>"
      "<p class=\"totals\"><span id=\"serverCount\">" +
      std::to_string(servers.size()) + "</span> servers, <span id=\"playerCount\">" + std::to_string(players) +
      "</span> players. Updated <time id=\"generated\" datetime=\"" + Rfc3339(generated) + "\">" +
      DisplayTime(generated) +
      "</time>.</p></header>\n<main><table id=\"servers\"><thead><tr>";
  AppendHeading(out, "name", "Server", "name", order, PageOrder::Name);
  AppendHeading(out, "players", "Players", "players", order, PageOrder::Players);
  out += "<th class=\"address\">Address</th><th class=\"update\">Updates</th></tr></thead>\n<tbody>\n";
  for (const ListedServer& s : servers) AppendRow(out, s);
  out += "</tbody></table>";
  out += servers.empty() ? "<p id=\"empty\">No server is online.</p>" : "<p id=\"empty\" hidden>No server is online.</p>";
  out +=
      "</main>\n<footer><a href=\"/servers.json\">servers.json</a> &middot; official servers first, "
      "as the game lists them</footer></body></html>\n";
  return out;
}

const std::string& PageStyle() {
  static const std::string style = Resource(":/web/page.css");
  return style;
}

const std::string& PageScript() {
  static const std::string script = Resource(":/web/page.js");
  return script;
}
