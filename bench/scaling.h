// Growth and anchor checks printed after a benchmark run.
//
// RunAndCheck runs the benchmarks with the console reporter and then prints
// three checks from this same run:
// - growth: for every benchmark measured at two sizes or more (its first
//   argument), the exponent k of n^k over each pair of adjacent sizes (a
//   fit from the smallest size to the largest would let the fixed costs of
//   the small sizes hide a steep upper segment). Every segment is printed
//   with an honest label ("flat", "sublinear", "linear", "n log n",
//   "SUPERLINEAR"), and the worst one is checked: above kLinearLimit it is
//   a cliff. A counter whose name ends in "_MiB" or "_kb" (memory) must stay
//   flat: its worst adjacent step and its whole range at most x kFlatLimit;
// - ours / anchor at every size both were measured at (Pair), in wall time
//   and in CPU time (a busy machine disturbs CPU time less);
// - for benchmarks run with repetitions, the time of a size is the median of
//   its repetitions (never the last or the fastest one), and the count of
//   repetitions is printed with it.
// Whether a benchmark is a first call in a fresh process ("cold") or a call
// after others in the same process ("warm") is said by its name: the names
// end in "Cold" or "Warm" where the program measures both, and Describe()
// gives a line printed with the checks.
// The checks only print: benchmarks are run by hand, never as timed tests.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mvnbench {

// Growth exponents of a segment up to this count as at most n log n (one
// index seek per step: log n grows the exponent by about 0.1 per decade);
// above it the segment is a cliff.
constexpr double kLinearLimit = 1.25;
// A memory counter may grow by this factor and still count as flat.
constexpr double kFlatLimit = 1.5;

// The label of a growth exponent.
inline const char* GrowthLabel(double k) {
  if (k < 0.2) return "flat";
  if (k < 0.85) return "sublinear";
  if (k <= 1.1) return "linear";
  if (k <= kLinearLimit) return "n log n";
  return "SUPERLINEAR";
}

struct Pairing {
  std::string ours, anchor;
};
inline std::vector<Pairing>& Pairs() {
  static std::vector<Pairing> pairs;
  return pairs;
}
// Reports ours / anchor (benchmark function names) after the run.
inline void Pair(std::string ours, std::string anchor) { Pairs().push_back({std::move(ours), std::move(anchor)}); }

inline std::vector<std::pair<std::string, std::string>>& Descriptions() {
  static std::vector<std::pair<std::string, std::string>> d;
  return d;
}
// A line about what a benchmark measures (cold or warm, what its time
// spans), printed with the checks.
inline void Describe(std::string name, std::string text) {
  Descriptions().emplace_back(std::move(name), std::move(text));
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

class CheckingReporter : public benchmark::ConsoleReporter {
 public:
  struct Point {
    std::vector<double> seconds;  // real time per iteration, one per repetition
    // CPU seconds per iteration: the "cpu_s" counter where the benchmark
    // measures another process's CPU, else this process's.
    std::vector<double> cpu;
    std::map<std::string, std::vector<double>> memory;
    double Seconds() const { return Median(seconds); }
    double Memory(const std::string& name) const {
      auto it = memory.find(name);
      return it == memory.end() ? 0 : Median(it->second);
    }
  };
  // function name -> size -> measurements
  std::map<std::string, std::map<double, Point>> runs;

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const std::string& args = run.run_name.args;
      double size = args.empty() ? 0 : std::strtod(args.c_str(), nullptr);
      Point& p = runs[run.run_name.function_name][size];
      p.seconds.push_back(run.real_accumulated_time / static_cast<double>(run.iterations));
      auto cpu = run.counters.find("cpu_s");
      p.cpu.push_back(cpu != run.counters.end() ? cpu->second.value
                                                : run.cpu_accumulated_time / static_cast<double>(run.iterations));
      for (const auto& [name, counter] : run.counters)
        if (EndsWith(name, "_MiB") || EndsWith(name, "_kb")) p.memory[name].push_back(counter.value);
    }
  }

  // Prints the checks; returns the number of cliffs found.
  int PrintChecks() const {
    int cliffs = 0;
    if (!Descriptions().empty()) std::printf("\n--- what is measured ---\n");
    for (const auto& [name, text] : Descriptions()) std::printf("%-34s %s\n", name.c_str(), text.c_str());
    std::printf("\n--- growth over each pair of adjacent sizes (median of repetitions) ---\n");
    for (const auto& [name, sizes] : runs) {
      if (sizes.size() < 2) continue;
      double worst = -1e9;
      std::string worstText;
      bool usable = true;
      for (auto it = sizes.begin(), next = std::next(it); next != sizes.end(); ++it, ++next) {
        double n0 = it->first, n1 = next->first, t0 = it->second.Seconds(), t1 = next->second.Seconds();
        if (n0 <= 0 || t0 <= 0 || t1 <= 0) {
          usable = false;
          break;
        }
        double k = std::log(t1 / t0) / std::log(n1 / n0);
        char text[200];
        std::snprintf(text, sizeof text, "n %.0f -> %.0f: time x%.2f (%.4f s -> %.4f s), n^%.2f %s", n0, n1, t1 / t0,
                      t0, t1, k, GrowthLabel(k));
        std::printf("%-34s %s  [%zu rep]\n", name.c_str(), text, next->second.seconds.size());
        if (k > worst) {
          worst = k;
          worstText = text;
        }
      }
      if (!usable) continue;
      bool cliff = worst > kLinearLimit;
      cliffs += cliff;
      std::printf("%-34s worst segment: %s%s\n", name.c_str(), worstText.c_str(),
                  cliff ? "   <<<<<< SUPERLINEAR: a cliff >>>>>>" : "");
      const Point& first = sizes.begin()->second;
      for (const auto& [counter, values] : first.memory) {
        double m0 = Median(values);
        if (m0 <= 0) continue;
        double worstStep = 0, last = m0;
        bool complete = true;
        for (auto it = sizes.begin(), next = std::next(it); next != sizes.end(); ++it, ++next) {
          double a = it->second.Memory(counter), b = next->second.Memory(counter);
          if (a <= 0 || b <= 0) {
            complete = false;
            break;
          }
          worstStep = std::max(worstStep, b / a);
          last = b;
        }
        if (!complete) continue;
        bool grows = worstStep > kFlatLimit || last / m0 > kFlatLimit;
        cliffs += grows;
        std::printf("%-34s %s %.2f -> %.2f (x%.2f overall, worst step x%.2f)%s\n", name.c_str(), counter.c_str(), m0,
                    last, last / m0, worstStep, grows ? "   <<<<<< MEMORY GROWS WITH THE SIZE >>>>>>" : "  (flat)");
      }
    }
    if (!Pairs().empty()) std::printf("\n--- ours / anchor (same run, medians) ---\n");
    for (const Pairing& pair : Pairs()) {
      auto ours = runs.find(pair.ours), anchor = runs.find(pair.anchor);
      if (ours == runs.end() || anchor == runs.end()) continue;
      for (const auto& [n, p] : ours->second) {
        auto a = anchor->second.find(n);
        if (a == anchor->second.end() || a->second.Seconds() <= 0) continue;
        double ourCpu = Median(p.cpu), anchorCpu = Median(a->second.cpu);
        std::printf("%-28s n %-8.0f %10.4f s / %s %10.4f s = %.2f   (CPU %.4f s / %.4f s = %.2f)\n",
                    pair.ours.c_str(), n, p.Seconds(), pair.anchor.c_str(), a->second.Seconds(),
                    p.Seconds() / a->second.Seconds(), ourCpu, anchorCpu, anchorCpu > 0 ? ourCpu / anchorCpu : 0.0);
      }
    }
    std::printf(cliffs ? "\n*** %d CLIFF(S) FOUND ***\n" : "\nno cliff found\n", cliffs);
    return cliffs;
  }

 private:
  static bool EndsWith(const std::string& s, const char* end) {
    std::string e(end);
    return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
  }
};

// Initialize, run with the checks, Shutdown. Returns main's exit code (the
// checks never change it: a cliff is printed, not failed).
inline int RunAndCheck(int* argc, char** argv) {
  benchmark::Initialize(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(*argc, argv)) return 1;
  CheckingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintChecks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace mvnbench
