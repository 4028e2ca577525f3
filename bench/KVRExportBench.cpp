// Export: the JSON snapshot of a world of 100 000 entities, read back as a
// new world (1 000 bodies
// hanging on a floor, each with 62 frames, 35 tag points and 2 paths through
// them), and the text tree of the same world. In the laid-out world the
// stations stand on a grid turned by quarter turns and the frames and points
// sit at millimetre offsets, as a cell drawn by a person would; in the generic
// world every pose is a rotation about a skew axis, so that every number
// written has all its digits.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>

#include "KVRAllocationCounter.h"
#include "KVRBenchSummary.h"
#include "KVRExport.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;

enum class Poses { LaidOut, Generic };

// A rotation about a skew axis and a translation, different for every i.
Xform genericPose(int i) {
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2 + i % 3, 3), 0.37 * i);
  return Xform(q, KVRBasicVector3D<double>(0.013 * i, 0.5 - 0.007 * i, 0.25 + 0.001 * i));
}

Xform at(double x, double y, double z, int quarterTurns) {
  Xform pose;
  pose.setPosition(x, y, z);
  pose.setRPY(0, 0, quarterTurns * KVRMathConst::Pi_2);
  return pose;
}

// Station b on a grid of 2 m, turned by a quarter turn now and then.
Xform stationPose(Poses poses, int b) {
  return poses == Poses::Generic ? genericPose(b) : at(2.0 * (b % 40), 2.0 * (b / 40), 0, b % 4);
}

// The i-th frame or point of a station: millimetre offsets on the station's top.
Xform offsetPose(Poses poses, int k, int i) {
  return poses == Poses::Generic ? genericPose(k) : at(0.025 * (i % 8), 0.04 * (i / 8), 0.75, i % 5 == 0);
}

class LargeWorld {
 public:
  static constexpr int Bodies = 1000, FramesPerBody = 62, PointsPerBody = 35, PathsPerBody = 2;

  explicit LargeWorld(Poses poses) : world_(new KVRBasicWorld) {
    world_->setEntityName(L"Plant");
    KVRSharedHandle<KVRBasicBody3D> floor(new KVRBasicBody3D);
    floor->setEntityName(L"Floor");
    world_->addEntity(floor);
    int k = 0;
    for (int b = 0; b < Bodies; ++b) {
      KVRSharedHandle<KVRBasicBody3D> body(new KVRBasicBody3D);
      body->setEntityName(L"Station" + std::to_wstring(b));
      world_->addEntity(body);
      floor->attachBody(body, stationPose(poses, b));
      for (int f = 0; f < FramesPerBody; ++f) {
        KVRSharedHandle<KVRBasicFrame3D> frame(new KVRBasicFrame3D);
        frame->setEntityName(L"Frame" + std::to_wstring(f));
        body->addFrame(frame);
        Xform offset = offsetPose(poses, ++k, f);
        frame->setFrameLocation(offset);
      }
      KVRSharedVector<KVRBasicTagPoint3D> points;
      for (int p = 0; p < PointsPerBody; ++p) {
        KVRSharedHandle<KVRBasicTagPoint3D> point(new KVRBasicTagPoint3D);
        point->setEntityName(L"Point" + std::to_wstring(p));
        body->addTagPoint(point);
        Xform offset = offsetPose(poses, ++k, p);
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
  const double entities =
      static_cast<double>(LargeWorld::entityCount()) * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(entities));
  state.counters["ns_per_entity"] =
      benchmark::Counter(entities, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_entity"] = static_cast<double>(allocations) / entities;
  state.counters["bytes_per_entity"] = static_cast<double>(bytes) / LargeWorld::entityCount();
}

// Written to a stream, as to a file; the stream itself costs nothing here.
class DiscardingBuffer : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  int overflow(int c) override { return c; }
};

void BM_JsonSnapshotOf100000Entities(benchmark::State& state) {
  const LargeWorld plant(static_cast<Poses>(state.range(0)));
  const KVRSharedHandle<KVRBasicEntity> root(plant.world());
  DiscardingBuffer discard;
  std::ostream out(&discard);
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    KVRSnapshot::write(out, root);
    allocations += window.elapsed().allocations;
  }
  reportPerEntity(state, allocations, KVRSnapshot::toJson(root).size());
  state.SetLabel(state.range(0) == 0 ? "laid out" : "generic poses");
}
BENCHMARK(BM_JsonSnapshotOf100000Entities)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same into one string in memory.
void BM_JsonSnapshotOf100000EntitiesToString(benchmark::State& state) {
  const LargeWorld plant(Poses::LaidOut);
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
BENCHMARK(BM_JsonSnapshotOf100000EntitiesToString)->Unit(benchmark::kMillisecond);

// The snapshot read back as a new world, with the model checker going
// through it (argument 1) or not (0); taking the world apart is not timed.
void BM_JsonLoadOf100000Entities(benchmark::State& state) {
  std::string text;
  {
    const LargeWorld plant(Poses::LaidOut);
    text = KVRSnapshot::toJson(plant.world());
  }
  KVRSnapshot::ReadOptions options;
  options.check = state.range(0) != 0;
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    KVRSharedHandle<KVRBasicEntity> world = KVRSnapshot::read(text, options);
    allocations += window.elapsed().allocations;
    state.PauseTiming();
    world->orphanObject();
    world = {};
    state.ResumeTiming();
  }
  reportPerEntity(state, allocations, text.size());
  state.SetLabel(options.check ? "checked" : "not checked");
}
BENCHMARK(BM_JsonLoadOf100000Entities)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_TextTreeOf100000Entities(benchmark::State& state) {
  const LargeWorld plant(Poses::LaidOut);
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

// Saving and loading a cell file, per entity, measured in the same run.
void summarise(const KVRBenchResults& results, std::ostream& out) {
  const auto perEntity = [&](const char* name) {
    const auto run = results.find(name);
    if (run == results.end() || !run->second.count("ns_per_entity")) return -1.0;
    return 1e6 * run->second.at("ns_per_entity");  // inverted rates are kept in seconds
  };
  const double save = perEntity("BM_JsonSnapshotOf100000Entities/0"),
               load = perEntity("BM_JsonLoadOf100000Entities/1"),
               unchecked = perEntity("BM_JsonLoadOf100000Entities/0");
  if (save < 0 && load < 0) return;
  char line[200];
  std::snprintf(line, sizeof line,
                "\nCell files of 100 000 entities (us per entity): save %.2f, load %.2f (checked), %.2f "
                "(not checked)\n",
                save, load, unchecked);
  out << line;
}

const int summary = KVRRegisterBenchSummary(summarise);

}  // namespace
