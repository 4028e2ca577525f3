// The libFuzzer entry points. When the fuzzer finishes, after its final
// statistics, the calls played and the calls per second are printed: a call,
// not an input, is the unit of the scenario's work and checks.

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "KVRFuzzScenario.h"

namespace {

std::chrono::steady_clock::time_point started;

void printCalls() {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const auto calls = static_cast<unsigned long long>(KVRFuzzCallsPlayed());
  if (calls == 0) return;  // a process that only runs others (-minimize_crash, -jobs)
  std::fprintf(stderr, "kvr_model_fuzzer: %llu checked calls in %.0f s: %.0f calls/s\n", calls, seconds,
               seconds > 0 ? static_cast<double>(calls) / seconds : 0.0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  started = std::chrono::steady_clock::now();
  std::atexit(printCalls);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KVRFuzzRunScenario(data, size);
  return 0;
}
