#pragma once
// loadgen's results: one row per measure, the machine they were measured
// on, and the three ways they are reported: a table on standard output, a
// JSON file, and the table in BENCHMARKS.md.
#include "bench/Options.h"
#include "bench/Scenarios.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Row {
  Row(std::string s, std::string m, double reg = NAN, double ref = NAN, double r = NAN)
      : scenario(std::move(s)), measure(std::move(m)), registry(reg), reference(ref), ratio(r) {}
  std::string scenario;
  std::string measure;
  double registry;
  double reference;
  double ratio;
  std::string target;
  std::optional<bool> met;
  int decimals = 0;
};

// v with that many decimals; empty text for NaN (no value).
std::string Fixed(double v, int decimals);
// "4 refused, 1 timeout": the errors a run counted.
std::string ErrorsText(const Throughput& t);

struct Machine {
  std::string cpu;
  int cores = 0;
  long memoryMib = 0;
  std::string kernel;
  std::string loadBefore;
  std::string loadAfter;
  bool favoured = false;
};

// The three load averages of /proc/loadavg.
std::string LoadAverage();
// The processor, cores, memory and kernel, and the load average now.
Machine DescribeMachine();

// The rows as aligned columns, or as a Markdown table.
std::string Table(const std::vector<Row>& rows, bool markdown);
void WriteJson(const std::string& path, const Config& config, const Machine& machine, const std::vector<Row>& rows,
               const std::vector<std::string>& notes);
// Replaces the part of BENCHMARKS.md between the two markers (the whole file
// when it has none), so notes written around the table stay.
void WriteMarkdown(const std::string& path, const Config& config, const Machine& machine,
                   const std::vector<Row>& rows, const std::vector<std::string>& notes);

}  // namespace bench
