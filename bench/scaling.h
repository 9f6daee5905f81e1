// Growth and anchor checks printed after a benchmark run.
//
// RunAndCheck runs the benchmarks with the console reporter and then, for
// every benchmark measured at two sizes or more (its first argument), prints
// how its time grows from the smallest size to the largest as the exponent
// k of n^k, with a loud "SUPERLINEAR" line when k is clearly above 1; a
// counter whose name ends in "_MiB" or "_kb" (memory) is checked for being
// flat the same way. For each pair declared with Pair(ours, anchor) it prints
// ours / anchor at every size both were measured at, from this same run.
// The checks only print: benchmarks are run by hand, never as timed tests.
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mvnbench {

// Growth exponents up to this count as linear (measurement noise, the
// logarithm of an index seek).
constexpr double kLinearLimit = 1.25;
// A memory counter may grow by this factor from the smallest size to the
// largest and still count as flat.
constexpr double kFlatLimit = 1.5;

struct Pairing {
  std::string ours, anchor;
};
inline std::vector<Pairing>& Pairs() {
  static std::vector<Pairing> pairs;
  return pairs;
}
// Reports ours / anchor (benchmark function names) after the run.
inline void Pair(std::string ours, std::string anchor) { Pairs().push_back({std::move(ours), std::move(anchor)}); }

class CheckingReporter : public benchmark::ConsoleReporter {
 public:
  struct Point {
    double seconds = 0;  // real time per iteration
    std::map<std::string, double> memory;
  };
  // function name -> size -> measurement
  std::map<std::string, std::map<double, Point>> runs;

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const std::string& args = run.run_name.args;
      double size = args.empty() ? 0 : std::strtod(args.c_str(), nullptr);
      Point& p = runs[run.run_name.function_name][size];
      p.seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
      for (const auto& [name, counter] : run.counters)
        if (EndsWith(name, "_MiB") || EndsWith(name, "_kb")) p.memory[name] = counter.value;
    }
  }

  // Prints the checks; returns the number of cliffs found.
  int PrintChecks() const {
    int cliffs = 0;
    std::printf("\n--- growth (smallest to largest size) ---\n");
    for (const auto& [name, sizes] : runs) {
      if (sizes.size() < 2) continue;
      const auto& [n0, p0] = *sizes.begin();
      const auto& [n1, p1] = *sizes.rbegin();
      if (n0 <= 0 || p0.seconds <= 0) continue;
      double k = std::log(p1.seconds / p0.seconds) / std::log(n1 / n0);
      bool cliff = k > kLinearLimit;
      cliffs += cliff;
      std::printf("%-28s n %.0f -> %.0f: time x%.1f, grows as n^%.2f%s\n", name.c_str(), n0, n1,
                  p1.seconds / p0.seconds, k, cliff ? "   <<<<<< SUPERLINEAR: a cliff >>>>>>" : "  (linear)");
      for (const auto& [counter, m0] : p0.memory) {
        auto it = p1.memory.find(counter);
        if (it == p1.memory.end() || m0 <= 0) continue;
        double ratio = it->second / m0;
        bool grows = ratio > kFlatLimit;
        cliffs += grows;
        std::printf("%-28s %s %.1f -> %.1f (x%.2f)%s\n", name.c_str(), counter.c_str(), m0, it->second, ratio,
                    grows ? "   <<<<<< MEMORY GROWS WITH THE SIZE >>>>>>" : "  (flat)");
      }
    }
    if (!Pairs().empty()) std::printf("\n--- ours / anchor (same run) ---\n");
    for (const Pairing& pair : Pairs()) {
      auto ours = runs.find(pair.ours), anchor = runs.find(pair.anchor);
      if (ours == runs.end() || anchor == runs.end()) continue;
      for (const auto& [n, p] : ours->second) {
        auto a = anchor->second.find(n);
        if (a == anchor->second.end() || a->second.seconds <= 0) continue;
        std::printf("%-28s n %-8.0f %10.4f s / %s %10.4f s = %.2f\n", pair.ours.c_str(), n, p.seconds,
                    pair.anchor.c_str(), a->second.seconds, p.seconds / a->second.seconds);
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
