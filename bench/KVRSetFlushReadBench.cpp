// The step a script repeats for every entity it drives: set its base
// location, flush it, read the base location back. 1000 frames in a world,
// each moved on its own; ns per entity. The Python module's timing script
// (python/bench/kvr_py_bench.py) runs the same loop from Python and prints
// this figure beside its own. Also: the base locations of many frames read
// into one array of matrices, which the script compares with its bulk read.

#include <benchmark/benchmark.h>

#include <vector>

#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;

void BM_SetFlushReadPerEntity(benchmark::State& state) {
  KVRSharedHandle<KVRBasicWorld> world(new KVRBasicWorld);
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> frames;
  for (int i = 0; i < state.range(0); ++i) {
    frames.emplace_back(new KVRBasicFrame3D);
    world->addEntity(frames.back());
  }
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2, 3), 0.4);
  Xform target(q, KVRBasicVector3D<double>(0.5, -0.2, 1.0));
  double sum = 0;
  for (auto _ : state) {
    for (const auto& frame : frames) {
      frame->setBaseLocation(target);
      frame->flushSpatialState();
      sum += frame->getBaseLocation().getPosition().x();
    }
  }
  benchmark::DoNotOptimize(sum);
  const double visits = static_cast<double>(frames.size()) * static_cast<double>(state.iterations());
  state.counters["ns_per_entity"] =
      benchmark::Counter(visits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  world->orphanObject();
}
BENCHMARK(BM_SetFlushReadPerEntity)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The base locations of n frames read into one array of 4x4 row-major
// matrices: what a script's bulk read does, done in C++.
void BM_ReadBaseLocationsAsMatrices(benchmark::State& state) {
  KVRSharedHandle<KVRBasicWorld> world(new KVRBasicWorld);
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> frames;
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2, 3), 0.4);
  for (int i = 0; i < state.range(0); ++i) {
    frames.emplace_back(new KVRBasicFrame3D);
    world->addEntity(frames.back());
    frames.back()->setBaseLocation(Xform(q, KVRBasicVector3D<double>(0.5, -0.2, 0.001 * i)));
    frames.back()->flushSpatialState();
  }
  std::vector<double> matrices(16 * frames.size());
  for (auto _ : state) {
    double* m = matrices.data();
    for (const auto& frame : frames) {
      const Xform& x = frame->getBaseLocation();
      const Eigen::Matrix3d r = x.getQtn().toRotationMatrix();
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[4 * i + j] = r(i, j);
        m[4 * i + 3] = x.getPosition()[i];
      }
      m[12] = m[13] = m[14] = 0.0;
      m[15] = 1.0;
      m += 16;
    }
    benchmark::DoNotOptimize(matrices.data());
    benchmark::ClobberMemory();
  }
  const double visits = static_cast<double>(frames.size()) * static_cast<double>(state.iterations());
  state.counters["ns_per_entity"] =
      benchmark::Counter(visits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  world->orphanObject();
}
BENCHMARK(BM_ReadBaseLocationsAsMatrices)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
