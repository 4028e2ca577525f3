#pragma once

// Counts the heap allocations of the benchmark process (global operator new
// is replaced in KVRAllocationCounter.cpp), so that benchmarks can report
// allocations and bytes per entity.

#include <cstddef>
#include <cstdint>

struct KVRAllocationCount {
  std::uint64_t allocations = 0;
  std::uint64_t bytes = 0;
};

// The totals since the process started.
KVRAllocationCount KVRAllocationsSoFar();

// The allocations made between construction and `elapsed()`.
class KVRAllocationWindow {
 public:
  KVRAllocationWindow() : start_(KVRAllocationsSoFar()) {}
  KVRAllocationCount elapsed() const {
    const KVRAllocationCount now = KVRAllocationsSoFar();
    return {now.allocations - start_.allocations, now.bytes - start_.bytes};
  }

 private:
  KVRAllocationCount start_;
};
