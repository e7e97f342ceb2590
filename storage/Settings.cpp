#include "storage/Settings.h"

#include "storage/Cp1252.h"

#include <QFile>
#include <QDir>
#include <QSaveFile>
#include <QSysInfo>

#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

// server.ini is read and written the way the private-profile functions of
// Windows do it: "[section]" lines, "key=value" lines, names compared without
// regard to case, blanks around names and values ignored, the first section
// and the first key of a name winning. A write changes or adds one line and
// keeps every other byte of the file.

namespace {

constexpr std::size_t kMaxValue = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return cp1252::ToUnicode(a).compare(cp1252::ToUnicode(b), Qt::CaseInsensitive) == 0;
}

// One line of the file, without its line end.
struct Line {
  std::string_view text;
  std::size_t begin;  // offset of the line in the file
  std::size_t end;    // offset just past its line end
};

std::vector<Line> SplitLines(std::string_view file) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < file.size()) {
    std::size_t nl = file.find('\n', pos);
    const std::size_t next = nl == std::string_view::npos ? file.size() : nl + 1;
    std::string_view text = file.substr(pos, (nl == std::string_view::npos ? file.size() : nl) - pos);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    lines.push_back({text, pos, next});
    pos = next;
  }
  return lines;
}

// The name of a section header line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos || close == 0) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct Entry {
  std::string_view key;
  std::string_view value;
};

std::optional<Entry> KeyLine(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return Entry{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

// Where the key lives in the file, or where it would go.
struct Location {
  std::optional<std::size_t> sectionLine;  // index of the section header
  std::optional<std::size_t> keyLine;      // index of the key's line
  std::size_t lastContentLine = 0;         // last non-blank line of the section
};

Location Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location at;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i].text);
    if (!at.sectionLine) {
      if (name && SameName(*name, section)) {
        at.sectionLine = i;
        at.lastContentLine = i;
      }
      continue;
    }
    if (name) break;  // the next section
    if (!Trim(lines[i].text).empty()) at.lastContentLine = i;
    const auto entry = KeyLine(lines[i].text);
    if (entry && SameName(entry->key, key)) {
      at.keyLine = i;
      break;
    }
  }
  return at;
}

std::optional<std::string> ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray data = file.readAll();
  return data.toStdString();
}

QString FilePath(const QString& folder, std::string_view fileName) {
  QString name = QString::fromLatin1(fileName.data(), qsizetype(fileName.size()));
  if (name.startsWith('\\')) name[0] = '/';
  if (!name.startsWith('/')) name.prepend('/');
  return folder + name;
}

// A value in matching quotes is read without them.
std::string ValueOf(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kMaxValue));
}

}  // namespace

std::string SettingsFile::ReadIni(std::string_view section, std::string_view key,
                                  std::string_view fileName) const {
  const auto file = ReadFile(FilePath(folder_, fileName));
  if (!file) return {};
  const auto lines = SplitLines(*file);
  const Location at = Find(lines, section, key);
  if (!at.keyLine) return {};
  return ValueOf(KeyLine(lines[*at.keyLine].text)->value);
}

std::vector<IniEntry> SettingsFile::ReadSection(std::string_view section,
                                                std::string_view fileName) const {
  std::vector<IniEntry> entries;
  const auto file = ReadFile(FilePath(folder_, fileName));
  if (!file) return entries;
  bool inside = false;
  for (const Line& line : SplitLines(*file)) {
    const auto name = SectionName(line.text);
    if (name) {
      if (inside) break;  // only the first section of the name counts
      inside = SameName(*name, section);
      continue;
    }
    const std::string_view text = Trim(line.text);
    if (!inside || text.empty() || text.front() == ';' || text.front() == '#') continue;
    IniEntry entry;
    entry.line = std::string(text);
    if (const auto kv = KeyLine(text)) {
      entry.keyed = true;
      entry.key = std::string(kv->key);
      entry.value = ValueOf(kv->value);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool SettingsFile::WriteIni(std::string_view section, std::string_view key,
                            std::string_view value, std::string_view fileName,
                            std::string* reason) const {
  // A line end inside the value would turn its rest into lines of its own.
  value = value.substr(0, value.find_first_of("\r\n"));

  const QString path = FilePath(folder_, fileName);
  const std::string file = ReadFile(path).value_or(std::string());
  const auto lines = SplitLines(file);
  const std::string eol = file.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  const Location at = Find(lines, section, key);

  std::string out;
  out.reserve(file.size() + key.size() + value.size() + section.size() + 8);
  if (at.keyLine) {
    // The key keeps its spelling; only the value changes.
    const Line& line = lines[*at.keyLine];
    out.append(file, 0, line.begin);
    out.append(KeyLine(line.text)->key).append("=").append(value);
    out.append(file, line.begin + line.text.size(), std::string::npos);
  } else if (at.sectionLine) {
    const Line& last = lines[at.lastContentLine];
    out.append(file, 0, last.end);
    if (last.end == file.size() && !file.empty() && file.back() != '\n') out += eol;
    out.append(key).append("=").append(value).append(eol);
    out.append(file, last.end, std::string::npos);
  } else {
    out = file;
    if (!out.empty() && out.back() != '\n') out += eol;
    if (!out.empty() && !Trim(lines.back().text).empty()) out += eol;  // a blank line between
    out.append("[").append(section).append("]").append(eol);
    out.append(key).append("=").append(value).append(eol);
  }

  // The new file is complete on disk before it replaces the old one, so a
  // crash leaves either the old settings or the new ones.
  QSaveFile save(path);
  const auto failed = [&] {
    if (reason) *reason = QDir::toNativeSeparators(path).toStdString() + ": " + save.errorString().toStdString();
    save.cancelWriting();
    return false;
  };
  if (!save.open(QIODevice::WriteOnly)) return failed();
  if (save.write(out.data(), qint64(out.size())) != qint64(out.size())) return failed();
  if (!save.commit()) return failed();
  return true;
}

std::string SettingsFile::ReadSetting(std::string_view key) const {
  return ReadIni("Kestrune", key, "/server.ini");
}

bool SettingsFile::WriteSetting(std::string_view key, std::string_view value, std::string* reason) const {
  return WriteIni("Kestrune", key, value, "/server.ini", reason);
}

bool TextToBool(std::string_view text) {
  text = Trim(text);
  if (SameName(text, "True")) return true;
  if (SameName(text, "False")) return false;
  // A decimal number, as in "1", "-1", "0", "2.5" or "1e3": true unless zero.
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || !(std::isdigit(static_cast<unsigned char>(digits.front())) ||
                          digits.front() == '.')) {
    return false;
  }
  double number = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  return number != 0;
}

Settings LoadSettings(const SettingsFile& file) {
  auto read = [&](std::string_view key) {
    std::string text = file.ReadSetting(key);
    return TextToBool(text.empty() ? "False" : text);
  };
  Settings settings;
  settings.Service = read("Service");
  settings.AutoAllow = read("AutoAllow");
  settings.Database = std::string(Trim(file.ReadSetting("Database")));
  settings.InstanceName = std::string(Trim(file.ReadSetting("InstanceName")));
  if (settings.InstanceName.empty())
    settings.InstanceName = cp1252::FromUnicode(QSysInfo::machineHostName());
  FloodLimits& limits = settings.Limits;
  auto count = [&](std::string_view key, int& value) {
    const std::string text(Trim(file.ReadSetting(key)));
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (!text.empty() && error == std::errc() && end == text.data() + text.size() && number >= 0)
      value = number;
  };
  count("MaxClientsPerIP", limits.MaxClientsPerIP);
  const std::string evict(Trim(file.ReadSetting("EvictIdleClients")));
  if (SameName(evict, "True")) limits.EvictIdleClients = true;
  if (SameName(evict, "False")) limits.EvictIdleClients = false;
  count("MaxConnectsPerMinute", limits.MaxConnectsPerMinute);
  count("MaxNewAccountsPerHour", limits.MaxNewAccountsPerHour);
  count("MaxFailedLoginsPerHour", limits.MaxFailedLoginsPerHour);
  count("MaxServersPerIP", limits.MaxServersPerIP);
  count("ReservedPlayerSlots", limits.ReservedPlayerSlots);
  count("MaxNewAccountsPerHourTotal", limits.MaxNewAccountsPerHourTotal);
  count("MaxListRequestsPerMinute", limits.MaxListRequestsPerMinute);
  WebSettings& web = settings.Web;
  const auto text = [&](std::string_view key, std::string& value) {
    const std::string read(Trim(file.ReadSetting(key)));
    if (!read.empty()) value = read;
  };
  text("HttpListen", web.HttpListen);
  count("HttpMaxClientsPerIP", web.HttpMaxClientsPerIP);
  text("MetricsAllow", web.MetricsAllow);
  text("ListFile", web.ListFile);
  settings.AddressMap = file.ReadSection("AddressMap", "/server.ini");
  return settings;
}
