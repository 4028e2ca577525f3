// The benchmark program's entry point: runs the benchmarks as Google
// Benchmark's own main does, then prints the registered summaries.

#include <benchmark/benchmark.h>

#include <iostream>
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
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (KVRBenchSummary summary : summaries()) summary(reporter.results, std::cout);
  benchmark::Shutdown();
  return 0;
}
