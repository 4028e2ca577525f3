// The benchmark program's entry point: runs the benchmarks as Google
// Benchmark's own main does, then prints the registered summaries.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <iostream>
#include <string_view>
#include <vector>

#include "KVRBenchSummary.h"

namespace {

std::vector<KVRBenchSummary>& summaries() {
  static std::vector<KVRBenchSummary> registered;
  return registered;
}

// The console output, plus a copy of the counters of every plain run, or of
// the median when the runs are repeated.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      if (aggregate && run.aggregate_name != "median") continue;
      std::map<std::string, double>& counters = results[run.run_name.str()];
      if (!aggregate && !counters.empty()) continue;  // repetitions: the median follows
      counters.clear();
      for (const auto& [name, counter] : run.counters) counters[name] = counter.value;
      const double seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      counters["ns_per_iteration"] = seconds * 1e9;
    }
  }

  KVRBenchResults results;
};

}  // namespace

int KVRRegisterBenchSummary(KVRBenchSummary summary) {
  summaries().push_back(summary);
  return static_cast<int>(summaries().size());
}

int main(int argc, char** argv) {
  // Output in another format than the console's is Google Benchmark's own,
  // for programs that read it: no summary follows.
  const bool console = std::none_of(argv + 1, argv + argc, [](const char* arg) {
    const std::string_view given(arg);
    return given.starts_with("--benchmark_format=") && given != "--benchmark_format=console";
  });
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!console) {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  }
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (KVRBenchSummary summary : summaries()) summary(reporter.results, std::cout);
  benchmark::Shutdown();
  return 0;
}
