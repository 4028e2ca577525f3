// Groups and assemblies: a group of 10 000 members (a tenth of them below
// another member) moved and flushed; an assembly of 1 000 parts moved and
// flushed, next to 1 000 bodies attached to one carrier and to a chain of
// 1 000 attached bodies, which move through the same spatial propagation;
// adding 1 000 parts to an assembly. Counters: ns and heap allocations per
// member, part or body.

#include <benchmark/benchmark.h>

#include <vector>

#include "KVRAllocationCounter.h"
#include "KVRBenchSupport.h"
#include "KVRWorldModel.h"

namespace {

using namespace kvrbench;

using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

// Moves `moved` (which hangs on something, so that it accepts the request)
// and flushes it, once per iteration.
void moveAndFlush(benchmark::State& state, const Body& moved, std::size_t entities) {
  moved->flushBaseLocation();
  std::uint64_t allocations = 0;
  int i = 0;
  for (auto _ : state) {
    Xform target = poseAt(++i);
    const KVRAllocationWindow window;
    moved->setBaseLocation(target);
    moved->flushSpatialState();
    allocations += window.elapsed().allocations;
  }
  reportPerEntity(state, entities, allocations);
}

void BM_MoveGroupOfTenThousandMembers(benchmark::State& state) {
  constexpr int Members = 10000;
  const Body floor(new KVRBasicBody3D);
  const KVRSharedHandle<KVRBasicGroup3D> group(new KVRBasicGroup3D);
  floor->attachBody(group);
  std::vector<Body> bodies;
  bodies.reserve(Members);
  // Every tenth body hangs on the body made before it: a member below another member.
  for (int i = 0; i < Members; ++i) {
    bodies.emplace_back(new KVRBasicBody3D);
    const Body& carrier = i % 10 == 9 ? bodies[static_cast<std::size_t>(i - 1)] : floor;
    carrier->attachBody(bodies.back(), poseAt(i));
    group->addEntity(bodies.back());
  }
  group->activate();
  moveAndFlush(state, group, Members);
  group->removeAll();
  for (const Body& body : bodies) body->orphanObject();
  group->orphanObject();
  floor->orphanObject();
}
BENCHMARK(BM_MoveGroupOfTenThousandMembers)->Unit(benchmark::kMicrosecond);

void BM_MoveAssemblyOfThousandParts(benchmark::State& state) {
  constexpr int Parts = 1000;
  const Body floor(new KVRBasicBody3D);
  const KVRSharedHandle<KVRBasicMfgAssembly3D> assembly(new KVRBasicMfgAssembly3D);
  floor->attachBody(assembly);
  for (int i = 0; i < Parts; ++i) {
    const KVRSharedHandle<KVRBasicPart3D> part(new KVRBasicPart3D);
    part->setCachedBaseLocation(poseAt(i));
    assembly->addBody(part);
  }
  moveAndFlush(state, assembly, Parts);
  assembly->orphanObject();
  floor->orphanObject();
}
BENCHMARK(BM_MoveAssemblyOfThousandParts)->Unit(benchmark::kMicrosecond);

// The same shape without an assembly: 1 000 bodies attached to one carrier.
void BM_MoveCarrierOfThousandAttachedBodies(benchmark::State& state) {
  constexpr int Bodies = 1000;
  const Body floor(new KVRBasicBody3D), carrier(new KVRBasicBody3D);
  floor->attachBody(carrier);
  std::vector<Body> bodies;
  for (int i = 0; i < Bodies; ++i) {
    bodies.emplace_back(new KVRBasicBody3D);
    carrier->attachBody(bodies.back(), poseAt(i));
  }
  moveAndFlush(state, carrier, Bodies);
  for (const Body& body : bodies) body->orphanObject();
  carrier->orphanObject();
  floor->orphanObject();
}
BENCHMARK(BM_MoveCarrierOfThousandAttachedBodies)->Unit(benchmark::kMicrosecond);

// A chain of 1 000 bodies, each attached to the one before.
void BM_MoveBaseOfThousandAttachedBodies(benchmark::State& state) {
  constexpr int Bodies = 1000;
  const Body floor(new KVRBasicBody3D);
  std::vector<Body> chain;
  chain.emplace_back(new KVRBasicBody3D);
  floor->attachBody(chain.front());
  for (int i = 1; i < Bodies; ++i) {
    chain.emplace_back(new KVRBasicBody3D);
    chain[static_cast<std::size_t>(i - 1)]->attachBody(chain.back(), poseAt(i));
  }
  moveAndFlush(state, chain.front(), Bodies);
  for (const Body& body : chain) body->orphanObject();
  floor->orphanObject();
}
BENCHMARK(BM_MoveBaseOfThousandAttachedBodies)->Unit(benchmark::kMicrosecond);

void BM_AddThousandPartsToAnAssembly(benchmark::State& state) {
  constexpr int Parts = 1000;
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const KVRSharedHandle<KVRBasicMfgAssembly3D> assembly(new KVRBasicMfgAssembly3D);
    assembly->setEntityName(L"Fixture");
    std::vector<KVRSharedHandle<KVRBasicPart3D>> parts;
    for (int i = 0; i < Parts; ++i) {
      parts.emplace_back(new KVRBasicPart3D);
      parts.back()->setEntityName(L"Part" + std::to_wstring(i));
      parts.back()->setCachedBaseLocation(poseAt(i));
    }
    state.ResumeTiming();
    const KVRAllocationWindow window;
    for (const auto& part : parts) assembly->addBody(part);
    allocations += window.elapsed().allocations;
    state.PauseTiming();
    assembly->destroyAll();
    assembly->orphanObject();
    state.ResumeTiming();
  }
  reportPerEntity(state, Parts, allocations);
}
BENCHMARK(BM_AddThousandPartsToAnAssembly)->Unit(benchmark::kMicrosecond);

}  // namespace
