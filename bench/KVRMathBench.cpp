// Cost of composing and inverting rigid transforms, against Eigen::Isometry3d for comparison.

#include <benchmark/benchmark.h>

#include <Eigen/Geometry>
#include <random>
#include <vector>

#include "KVRBasicXform3D.h"

using KVRXform = KVRBasicXform3D<double>;

static constexpr int kChainLength = 1000;

// The same kChainLength random poses for every benchmark: uniform random rotations and positions
// within a 2 m cube.
static const std::vector<KVRXform>& randomPoses() {
  static const std::vector<KVRXform> poses = [] {
    std::mt19937 rng(1234);
    std::normal_distribution<double> gauss;
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<KVRXform> result;
    result.reserve(kChainLength);
    for (int i = 0; i < kChainLength; ++i) {
      KVRBasicQtn3D<double> q(gauss(rng), gauss(rng), gauss(rng), gauss(rng));
      q.normalize();
      result.emplace_back(q, KVRBasicVector3D<double>(uniform(rng), uniform(rng), uniform(rng)));
    }
    return result;
  }();
  return poses;
}

static std::vector<Eigen::Isometry3d> randomIsometries() {
  std::vector<Eigen::Isometry3d> result;
  for (const KVRXform& x : randomPoses()) result.push_back(x.toIsometry());
  return result;
}

// out[i] = out[i-1] * rel[i]: each product depends on the previous one, as along a kinematic chain.
static void BM_XformComposeChain(benchmark::State& state) {
  const std::vector<KVRXform>& rel = randomPoses();
  std::vector<KVRXform> out(kChainLength);
  for (auto _ : state) {
    out[0] = rel[0];
    for (int i = 1; i < kChainLength; ++i) out[i] = out[i - 1] * rel[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * (kChainLength - 1));
}
BENCHMARK(BM_XformComposeChain);

static void BM_EigenIsometryComposeChain(benchmark::State& state) {
  const std::vector<Eigen::Isometry3d> rel = randomIsometries();
  std::vector<Eigen::Isometry3d> out(kChainLength);
  for (auto _ : state) {
    out[0] = rel[0];
    for (int i = 1; i < kChainLength; ++i) out[i] = out[i - 1] * rel[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * (kChainLength - 1));
}
BENCHMARK(BM_EigenIsometryComposeChain);

// out[i] = rel[i]^-1 * out[i-1]: a location re-expressed relative to another one.
static void BM_XformInverseTimes(benchmark::State& state) {
  const std::vector<KVRXform>& rel = randomPoses();
  std::vector<KVRXform> out(kChainLength);
  for (auto _ : state) {
    out[0] = rel[0];
    for (int i = 1; i < kChainLength; ++i) out[i] = rel[i].inverse() * out[i - 1];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * (kChainLength - 1));
}
BENCHMARK(BM_XformInverseTimes);

static void BM_EigenIsometryInverseTimes(benchmark::State& state) {
  const std::vector<Eigen::Isometry3d> rel = randomIsometries();
  std::vector<Eigen::Isometry3d> out(kChainLength);
  for (auto _ : state) {
    out[0] = rel[0];
    for (int i = 1; i < kChainLength; ++i) out[i] = rel[i].inverse(Eigen::Isometry) * out[i - 1];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * (kChainLength - 1));
}
BENCHMARK(BM_EigenIsometryInverseTimes);
