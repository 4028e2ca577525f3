#pragma once

// Helpers the benchmark programs share: a pose that differs per index, a
// named entity, and per-entity counters.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "KVRWorldModel.h"

namespace kvrbench {

// A pose turned a little more and shifted a little further for each index.
inline KVRBasicXform3D<double> poseAt(int i) {
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2, 3), 0.001 * i);
  return KVRBasicXform3D<double>(q, KVRBasicVector3D<double>(0.01 * i, 0.5, 0.25));
}

inline KVRSharedHandle<KVRBasicEntity> named(const std::wstring& name) {
  KVRSharedHandle<KVRBasicEntity> e(new KVRBasicEntity);
  e->setEntityName(name);
  return e;
}

// Items, nanoseconds and allocations per entity, for `entities` visited per iteration.
inline void reportPerEntity(benchmark::State& state, std::size_t entities, std::uint64_t allocations) {
  const double visits = static_cast<double>(entities) * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(visits));
  state.counters["ns_per_entity"] =
      benchmark::Counter(visits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_entity"] = static_cast<double>(allocations) / visits;
}

}  // namespace kvrbench
