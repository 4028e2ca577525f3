// Benchmarks of the symbol table: reading and writing a real symbol through
// the copy the table hands out, and finding a real symbol by a three-level
// path among 1 000 siblings per level.

#include <benchmark/benchmark.h>

#include <string>

#include "KVRAllocationCounter.h"
#include "KVRBenchSupport.h"
#include "KVRWorldModel.h"

namespace {

using namespace kvrbench;

using Handle = KVRSharedHandle<KVRBasicEntity>;

void reportAllocations(benchmark::State& state, const KVRAllocationWindow& window) {
  state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(window.elapsed().allocations),
                                                   benchmark::Counter::kAvgIterations);
}

// One access is a read and a write, each an indirect call to the holder.
void BM_ReadWriteRealSymbolCopy(benchmark::State& state) {
  Handle conveyor = named(L"Conveyor");
  KVRWDMSymbolTable table(conveyor);
  KVRSymbol<double> speed = table.getRealSymbol(L"speed", L'/', L'.');
  const KVRAllocationWindow window;
  for (auto _ : state) {
    speed.setValue(speed.getValue() + 0.5);
    benchmark::ClobberMemory();
  }
  reportAllocations(state, window);
  state.SetItemsProcessed(state.iterations());
  conveyor->orphanObject();
}
BENCHMARK(BM_ReadWriteRealSymbolCopy);

// The symbol sits on the last of 1 000 siblings at the third level, and each
// entity on the path is the last of its siblings: the lookup scans them all.
void BM_GetRealSymbolByThreeLevelPath(benchmark::State& state) {
  constexpr int levels = 3, siblings = 1000;
  Handle cell = named(L"Cell");
  Handle parent = cell;
  std::wstring path;
  for (int level = 0; level < levels; ++level) {
    Handle onPath;
    for (int i = 0; i < siblings; ++i) {
      onPath = named(L"L" + std::to_wstring(level) + L"_" + std::to_wstring(i));
      parent->addLogicalChild(onPath);
    }
    path += (level ? L"/" : L"") + onPath->getEntityName();
    parent = onPath;
  }
  cell->flushLogicalState();
  path += L".speed";
  KVRWDMSymbolTable table(cell);
  table.getRealSymbol(path, L'/', L'.').setValue(1.5);  // created on the deepest entity

  const KVRAllocationWindow window;
  for (auto _ : state) benchmark::DoNotOptimize(table.getRealSymbol(path, L'/', L'.'));
  reportAllocations(state, window);
  state.SetItemsProcessed(state.iterations());
  cell->orphanObject();
}
BENCHMARK(BM_GetRealSymbolByThreeLevelPath)->Unit(benchmark::kMicrosecond);

}  // namespace
