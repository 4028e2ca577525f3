// Export: the JSON snapshot of a world of 100 000 entities (1 000 bodies
// hanging on a floor, each with 62 frames, 35 tag points and 2 paths through
// them, all at generic poses), and the text tree of the same world.

#include <benchmark/benchmark.h>

#include <string>

#include "KVRAllocationCounter.h"
#include "KVRExport.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;

// A rotation about a skew axis and a translation, different for every i.
Xform poseAt(int i) {
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2 + i % 3, 3), 0.37 * i);
  return Xform(q, KVRBasicVector3D<double>(0.013 * i, 0.5 - 0.007 * i, 0.25 + 0.001 * i));
}

class LargeWorld {
 public:
  static constexpr int Bodies = 1000, FramesPerBody = 62, PointsPerBody = 35, PathsPerBody = 2;

  LargeWorld() : world_(new KVRBasicWorld) {
    world_->setEntityName(L"Plant");
    KVRSharedHandle<KVRBasicBody3D> floor(new KVRBasicBody3D);
    floor->setEntityName(L"Floor");
    world_->addEntity(floor);
    int k = 0;
    for (int b = 0; b < Bodies; ++b) {
      KVRSharedHandle<KVRBasicBody3D> body(new KVRBasicBody3D);
      body->setEntityName(L"Station" + std::to_wstring(b));
      world_->addEntity(body);
      floor->attachBody(body, poseAt(b));
      for (int f = 0; f < FramesPerBody; ++f) {
        KVRSharedHandle<KVRBasicFrame3D> frame(new KVRBasicFrame3D);
        frame->setEntityName(L"Frame" + std::to_wstring(f));
        body->addFrame(frame);
        Xform offset = poseAt(++k);
        frame->setFrameLocation(offset);
      }
      KVRSharedVector<KVRBasicTagPoint3D> points;
      for (int p = 0; p < PointsPerBody; ++p) {
        KVRSharedHandle<KVRBasicTagPoint3D> point(new KVRBasicTagPoint3D);
        point->setEntityName(L"Point" + std::to_wstring(p));
        body->addTagPoint(point);
        Xform offset = poseAt(++k);
        point->setTagPointLocation(offset);
        points.push_back(point);
      }
      for (int p = 0; p < PathsPerBody; ++p) {
        KVRSharedHandle<KVRBasicPath3D> path(new KVRBasicPath3D);
        path->setEntityName(L"Path" + std::to_wstring(p));
        body->addPath(path);
        KVRSharedVector<KVRBasicTagPoint3D> route(points.begin() + p * PointsPerBody / 2,
                                                  points.begin() + (p + 1) * PointsPerBody / 2);
        path->setTagPoints(route);
      }
    }
    world_->flushLogicalState();
    floor->flushBaseLocation();
  }
  ~LargeWorld() { world_->orphanObject(); }

  const KVRSharedHandle<KVRBasicWorld>& world() const { return world_; }
  static constexpr int entityCount() {
    return 2 + Bodies * (1 + FramesPerBody + PointsPerBody + PathsPerBody);
  }

 private:
  KVRSharedHandle<KVRBasicWorld> world_;
};

void reportPerEntity(benchmark::State& state, std::uint64_t allocations, std::size_t bytes) {
  const double entities = static_cast<double>(LargeWorld::entityCount()) * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(entities));
  state.counters["ns_per_entity"] =
      benchmark::Counter(entities, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_entity"] = static_cast<double>(allocations) / entities;
  state.counters["bytes_per_entity"] = static_cast<double>(bytes) / LargeWorld::entityCount();
}

void BM_JsonSnapshotOf100000Entities(benchmark::State& state) {
  const LargeWorld plant;
  const KVRSharedHandle<KVRBasicEntity> root(plant.world());
  std::uint64_t allocations = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    const std::string json = KVRSnapshot::toJson(root);
    allocations += window.elapsed().allocations;
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  reportPerEntity(state, allocations, bytes);
}
BENCHMARK(BM_JsonSnapshotOf100000Entities)->Unit(benchmark::kMillisecond);

void BM_TextTreeOf100000Entities(benchmark::State& state) {
  const LargeWorld plant;
  const KVRSharedHandle<KVRBasicEntity> root(plant.world());
  std::uint64_t allocations = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    const std::string text = KVRTextTree::toText(root);
    allocations += window.elapsed().allocations;
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  reportPerEntity(state, allocations, bytes);
}
BENCHMARK(BM_TextTreeOf100000Entities)->Unit(benchmark::kMillisecond);

}  // namespace
