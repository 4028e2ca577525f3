// Bodies: one body carrying 1 000 frames and 1 000 tag points moved and
// flushed; a chain of 100 bodies, each attached to the one before, whose
// base is moved and flushed.

#include <benchmark/benchmark.h>

#include <vector>

#include "KVRAllocationCounter.h"
#include "KVRBenchSupport.h"
#include "KVRWorldModel.h"

namespace {

using namespace kvrbench;

using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

void BM_MoveBodyWithThousandFramesAndTagPoints(benchmark::State& state) {
  Body base(new KVRBasicBody3D), body(new KVRBasicBody3D);
  base->attachBody(body);  // a body moves through the connection it hangs on
  for (int i = 0; i < 1000; ++i) {
    KVRSharedHandle<KVRBasicFrame3D> frame(new KVRBasicFrame3D);
    KVRSharedHandle<KVRBasicTagPoint3D> point(new KVRBasicTagPoint3D);
    Xform offset = poseAt(i);
    body->addFrame(frame);
    body->addTagPoint(point);
    frame->setFrameLocation(offset);
    point->setTagPointLocation(offset);
  }
  body->flushBaseLocation();
  std::uint64_t allocations = 0;
  int i = 0;
  for (auto _ : state) {
    Xform target = poseAt(++i);
    const KVRAllocationWindow window;
    body->setBaseLocation(target);
    body->flushSpatialState();
    allocations += window.elapsed().allocations;
  }
  reportPerEntity(state, 2001, allocations);
  body->orphanObject();
  base->orphanObject();
}
BENCHMARK(BM_MoveBodyWithThousandFramesAndTagPoints)->Unit(benchmark::kMicrosecond);

void BM_MoveBaseOfHundredAttachedBodies(benchmark::State& state) {
  std::vector<Body> chain;
  chain.emplace_back(new KVRBasicBody3D);
  Body ground(new KVRBasicBody3D);
  ground->attachBody(chain.front());
  for (int i = 1; i < 100; ++i) {
    chain.emplace_back(new KVRBasicBody3D);
    chain[static_cast<std::size_t>(i - 1)]->attachBody(chain.back(), poseAt(i));
  }
  std::uint64_t allocations = 0;
  int i = 0;
  for (auto _ : state) {
    Xform target = poseAt(++i);
    const KVRAllocationWindow window;
    chain.front()->setBaseLocation(target);
    chain.front()->flushSpatialState();
    allocations += window.elapsed().allocations;
    benchmark::DoNotOptimize(chain.back()->getBaseLocation());
  }
  reportPerEntity(state, chain.size(), allocations);
  for (const Body& body : chain) body->orphanObject();
  ground->orphanObject();
}
BENCHMARK(BM_MoveBaseOfHundredAttachedBodies)->Unit(benchmark::kMicrosecond);

}  // namespace
