// Moving is the hot path of a simulation: a root is moved, its state is
// flushed (every spatial descendant recomputes its base location), and the
// base location of every entity is read. Shapes: a forest of chains of depth
// 20 under one root, one root with 100 000 children, a balanced tree of
// fan-out 8. The flat-array baseline composes the same transforms in one pass
// over arrays, the lower bound of the work. Counters: ns per entity, heap
// allocations per entity during move + flush, and the entity's footprint.

#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "KVRAllocationCounter.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;
using Node = KVRSharedHandle<KVRBasicFrame3D>;

Xform relativePose(int i) {
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2 + i % 3, 3), 0.01 * (i % 17));
  return Xform(q, KVRBasicVector3D<double>(0.1 * (i % 5), 0.2, 0.01 * (i % 7)));
}

// A spatial tree of frames, kept in creation order; parent[i] is the index
// of entity i's parent (-1 for the root).
struct Scene {
  std::vector<Node> nodes;
  std::vector<int> parent;

  int add(int parentIndex) {
    Node node(new KVRBasicFrame3D);
    Xform relative = relativePose(static_cast<int>(nodes.size()));
    node->setRelativeLocation(relative);
    if (parentIndex >= 0) nodes[static_cast<std::size_t>(parentIndex)]->addSpatialChild(node);
    nodes.push_back(node);
    parent.push_back(parentIndex);
    return static_cast<int>(nodes.size()) - 1;
  }
  void settle() {
    nodes.front()->flushBaseLocation();
    for (const Node& n : nodes) n->flushSpatialState();
  }
  ~Scene() {
    for (const Node& n : nodes) n->orphanObject();
  }
};

void buildForest(Scene& scene, int entities) {
  scene.add(-1);
  for (int chain = 0; chain < entities / 20; ++chain) {
    int previous = 0;
    for (int depth = 0; depth < 20; ++depth) previous = scene.add(previous);
  }
}

void buildWide(Scene& scene, int children) {
  scene.add(-1);
  for (int i = 0; i < children; ++i) scene.add(0);
}

void buildBalanced(Scene& scene, int levels) {
  std::vector<int> level{scene.add(-1)};
  for (int l = 1; l < levels; ++l) {
    std::vector<int> next;
    for (int p : level)
      for (int k = 0; k < 8; ++k) next.push_back(scene.add(p));
    level.swap(next);
  }
}

void moveFlushRead(benchmark::State& state, Scene& scene) {
  scene.settle();
  const Node& root = scene.nodes.front();
  std::uint64_t allocations = 0;
  double sum = 0, moveSeconds = 0, readSeconds = 0;
  int i = 0;
  for (auto _ : state) {
    Xform target = relativePose(++i);
    const KVRAllocationWindow window;
    const auto start = std::chrono::steady_clock::now();
    root->setBaseLocation(target);
    root->flushSpatialState();
    const auto moved = std::chrono::steady_clock::now();
    allocations += window.elapsed().allocations;
    for (const Node& n : scene.nodes) sum += n->getBaseLocation().getPosition().x();
    const auto read = std::chrono::steady_clock::now();
    moveSeconds += std::chrono::duration<double>(moved - start).count();
    readSeconds += std::chrono::duration<double>(read - moved).count();
  }
  benchmark::DoNotOptimize(sum);
  const double visits = static_cast<double>(scene.nodes.size()) * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(visits));
  state.counters["entities"] = static_cast<double>(scene.nodes.size());
  state.counters["ns_per_entity"] =
      benchmark::Counter(visits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["move_flush_ns"] = 1e9 * moveSeconds / visits;
  state.counters["read_ns"] = 1e9 * readSeconds / visits;
  state.counters["allocs_per_entity"] = static_cast<double>(allocations) / visits;
}

void BM_MoveForestOfChains(benchmark::State& state) {
  Scene scene;
  buildForest(scene, static_cast<int>(state.range(0)));
  moveFlushRead(state, scene);
}
BENCHMARK(BM_MoveForestOfChains)->Arg(1000)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

void BM_MoveWideTree(benchmark::State& state) {
  Scene scene;
  buildWide(scene, static_cast<int>(state.range(0)));
  moveFlushRead(state, scene);
}
BENCHMARK(BM_MoveWideTree)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_MoveBalancedTree(benchmark::State& state) {
  Scene scene;
  buildBalanced(scene, 6);  // 1 + 8 + ... + 8^5 = 37 449 entities
  moveFlushRead(state, scene);
}
BENCHMARK(BM_MoveBalancedTree)->Unit(benchmark::kMillisecond);

// The same work on flat arrays: X_W[i] = X_W[parent[i]] · X_P[i] in creation
// order (parents come first), then every base location read.
void flatBaseline(benchmark::State& state, Scene& scene) {
  const std::size_t n = scene.nodes.size();
  std::vector<Xform> relative(n), base(n);
  for (std::size_t i = 0; i < n; ++i) relative[i] = scene.nodes[i]->getRelativeLocation();
  double sum = 0;
  int k = 0;
  for (auto _ : state) {
    base[0] = relativePose(++k);
    for (std::size_t i = 1; i < n; ++i)
      base[i] = base[static_cast<std::size_t>(scene.parent[i])] * relative[i];
    for (const Xform& x : base) sum += x.getPosition().x();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["ns_per_entity"] =
      benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_FlatArrayBaseline_Forest(benchmark::State& state) {
  Scene scene;
  buildForest(scene, static_cast<int>(state.range(0)));
  flatBaseline(state, scene);
}
BENCHMARK(BM_FlatArrayBaseline_Forest)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond);

void BM_FlatArrayBaseline_Balanced(benchmark::State& state) {
  Scene scene;
  buildBalanced(scene, 6);
  flatBaseline(state, scene);
}
BENCHMARK(BM_FlatArrayBaseline_Balanced)->Unit(benchmark::kMillisecond);

// Reading a base location in another entity's coordinates (E⁻¹ · X).
void BM_BaseLocationRelativeToAnotherEntity(benchmark::State& state) {
  Scene scene;
  buildForest(scene, 40);
  scene.settle();
  const Node& leaf = scene.nodes.back();
  const KVRSharedHandle<KVRBasicEntity3D> reference = scene.nodes[21];  // in the other chain
  for (auto _ : state) benchmark::DoNotOptimize(leaf->getBaseLocation(reference));
}
BENCHMARK(BM_BaseLocationRelativeToAnotherEntity);

void BM_BaseLocationCached(benchmark::State& state) {
  Scene scene;
  buildForest(scene, 40);
  scene.settle();
  const Node& leaf = scene.nodes.back();
  for (auto _ : state) benchmark::DoNotOptimize(leaf->getBaseLocation());
}
BENCHMARK(BM_BaseLocationCached);

// The footprint of one frame: its object and what it allocates on the heap
// when made, named and linked under a parent.
void BM_FootprintOfAFrame(benchmark::State& state) {
  Node parent(new KVRBasicFrame3D);
  std::uint64_t bytes = 0, allocations = 0, made = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    Node node(new KVRBasicFrame3D);
    node->setEntityName(L"Frame12");
    parent->addSpatialChild(node);
    parent->addLogicalChild(node);
    const KVRAllocationCount used = window.elapsed();
    bytes += used.bytes;
    allocations += used.allocations;
    ++made;
    state.PauseTiming();
    node->orphanObject();
    state.ResumeTiming();
  }
  state.counters["sizeof_frame"] = sizeof(KVRBasicFrame3D);
  state.counters["sizeof_entity"] = sizeof(KVRBasicEntity);
  state.counters["heap_bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(made);
  state.counters["allocs_per_frame"] = static_cast<double>(allocations) / static_cast<double>(made);
  parent->orphanObject();
}
BENCHMARK(BM_FootprintOfAFrame)->Iterations(10000);

}  // namespace
