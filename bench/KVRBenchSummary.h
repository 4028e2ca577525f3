#pragma once

// Summaries printed after every benchmark has run: a benchmark file
// registers a function that reads the results (the counters of each run, by
// benchmark name; the medians when the runs are repeated) and prints a table.

#include <map>
#include <ostream>
#include <string>

// Counters by benchmark name; "ns_per_iteration" holds the CPU time of one iteration.
using KVRBenchResults = std::map<std::string, std::map<std::string, double>>;
using KVRBenchSummary = void (*)(const KVRBenchResults& results, std::ostream& out);

// Registers a summary; returns a value so that it can initialise a static.
int KVRRegisterBenchSummary(KVRBenchSummary summary);
