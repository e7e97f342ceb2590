#include "bench/Report.h"

#include "bench/Proc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

std::string Verdict(const Row& r) {
  if (!r.met) return "";
  return *r.met ? "met" : "MISSED";
}

QJsonValue Text(const std::string& s) { return QString::fromStdString(s); }

// Six significant digits, as the numbers of the tables; null for no value.
QJsonValue Number(double v) {
  if (std::isnan(v)) return QJsonValue::Null;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return std::strtod(buf, nullptr);
}

QJsonObject MachineJson(const Machine& machine) {
  return {{"cpu", Text(machine.cpu)},
          {"cores", machine.cores},
          {"memory_mib", qint64(machine.memoryMib)},
          {"kernel", Text(machine.kernel)},
          {"load_before", Text(machine.loadBefore)},
          {"load_after", Text(machine.loadAfter)}};
}

QJsonObject RowJson(const Row& r) {
  return {{"scenario", Text(r.scenario)},
          {"measure", Text(r.measure)},
          {"registry", Number(r.registry)},
          {"reference", Number(r.reference)},
          {"ratio", Number(r.ratio)},
          {"target", Text(r.target)},
          {"met", r.met ? QJsonValue(*r.met) : QJsonValue(QJsonValue::Null)}};
}

}  // namespace

std::string Fixed(double v, int decimals) {
  if (std::isnan(v)) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string ErrorsText(const Throughput& t) {
  std::string text;
  for (const auto& [kind, count] : t.errors) {
    if (!text.empty()) text += ", ";
    text += std::to_string(count) + " " + kind;
  }
  return text;
}

std::string LoadAverage() {
  const std::string text = ReadFile("/proc/loadavg");
  std::istringstream in(text);
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

Machine DescribeMachine() {
  Machine m;
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      m.cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  m.cores = int(sysconf(_SC_NPROCESSORS_ONLN));
  m.memoryMib = long(sysconf(_SC_PHYS_PAGES) / 1024 * sysconf(_SC_PAGESIZE) / 1024);
  utsname u{};
  uname(&u);
  m.kernel = std::string(u.sysname) + " " + u.release;
  m.loadBefore = LoadAverage();
  return m;
}

std::string Table(const std::vector<Row>& rows, bool markdown) {
  const std::vector<std::string> head = {"scenario", "measure", "registry", "reference", "ratio", "target", "result"};
  std::vector<std::vector<std::string>> cells;
  for (const Row& r : rows)
    cells.push_back({r.scenario, r.measure, Fixed(r.registry, r.decimals), Fixed(r.reference, r.decimals),
                     Fixed(r.ratio, 2), r.target, Verdict(r)});
  std::ostringstream out;
  if (markdown) {
    auto line = [&](const std::vector<std::string>& c) {
      out << "|";
      for (const auto& s : c) out << " " << s << " |";
      out << "\n";
    };
    line(head);
    out << "|---|---|--:|--:|--:|---|---|\n";
    for (const auto& c : cells) line(c);
    return out.str();
  }
  std::vector<std::size_t> width(head.size());
  for (std::size_t i = 0; i < head.size(); ++i) width[i] = head[i].size();
  for (const auto& c : cells)
    for (std::size_t i = 0; i < c.size(); ++i) width[i] = std::max(width[i], c[i].size());
  auto line = [&](const std::vector<std::string>& c) {
    for (std::size_t i = 0; i < c.size(); ++i) {
      const bool number = i >= 2 && i <= 4;
      const std::string pad(width[i] - c[i].size(), ' ');
      out << (number ? pad + c[i] : c[i] + pad) << (i + 1 < c.size() ? "  " : "\n");
    }
  };
  line(head);
  for (const auto& c : cells) line(c);
  return out.str();
}

void WriteJson(const std::string& path, const Config& config, const Machine& machine, const std::vector<Row>& rows,
               const std::vector<std::string>& notes) {
  QJsonArray results, noteList;
  for (const Row& r : rows) results.append(RowJson(r));
  for (const std::string& n : notes) noteList.append(Text(n));
  const QJsonObject report{{"command", Text(config.command)},
                           {"seconds", Number(config.seconds)},
                           {"servers", config.servers},
                           {"clients", config.clients},
                           {"rounds", config.rounds},
                           {"machine", MachineJson(machine)},
                           {"results", results},
                           {"notes", noteList}};
  std::ofstream(path) << QJsonDocument(report).toJson(QJsonDocument::Indented).toStdString();
}

void WriteMarkdown(const std::string& path, const Config& config, const Machine& machine,
                   const std::vector<Row>& rows, const std::vector<std::string>& notes) {
  const std::string begin = "<!-- bench:begin -->", end = "<!-- bench:end -->";
  std::ostringstream s;
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
  s << begin << "\n";
  s << "Latest run: " << date << ", made by `" << config.command << "`.\n\n";
  s << "Machine: " << machine.cpu << ", " << machine.cores << " cores, " << machine.memoryMib << " MiB, "
    << machine.kernel << "; load average " << machine.loadBefore << " before, " << machine.loadAfter
    << " after. Servers pinned to core " << kServerCore << ", load generator to core " << kLoadCore
    << (machine.favoured ? ", all at nice -20 but the siege's attackers (nice 10)" : "") << ".\n\n";
  s << "Each measure ran " << Fixed(config.seconds, 0) << " s (list and churn that long on each server, in "
    << config.rounds << " alternating rounds; idle " << Fixed(IdleWindow(config), 0) << " s; siege "
    << Fixed(SiegeWindow(config), 0) << " s with and as long without attackers, in as many rounds), "
    << config.servers << " game servers logged in, " << config.clients << " connections.\n\n";
  s << Table(rows, true);
  if (!notes.empty()) {
    s << "\n";
    for (const auto& n : notes) s << "- " << n << "\n";
  }
  s << end << "\n";

  std::string text = ReadFile(path);
  const std::size_t b = text.find(begin), e = text.find(end);
  if (b != std::string::npos && e != std::string::npos && e > b) {
    text = text.substr(0, b) + s.str() + text.substr(e + end.size() + (text.size() > e + end.size() && text[e + end.size()] == '\n' ? 1 : 0));
  } else {
    text = "# Benchmarks\n\nMade by `make bench` (see README). Targets are checked here, never in tests.\n\n" + s.str();
  }
  std::ofstream(path) << text;
}

}  // namespace bench
