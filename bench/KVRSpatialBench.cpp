// Moving is the hot path of a simulation: a root is moved, its state is
// flushed (every spatial descendant recomputes its base location), and the
// base location of every entity is read. Five trees of frames: forests of
// chains of depth 20 under one root (20 000 and 200 000 entities), one root
// with 10 000 and with 100 000 children, a balanced tree of fan-out 8. Each is
// also moved as flat arrays, X_W[i] = X_W[parent[i]] · X_P[i] in one pass in
// topological order, compiled into this program at the same optimisation
// level: the limit of the work. The summary prints the ratio per tree, the
// fresh pose of a depth-20 leaf (computeBaseLocation) next to the flat
// arrays' walk up the same chain, the heap memory of a frame linked in a
// tree, and the allocations of a flush.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "KVRAllocationCounter.h"
#include "KVRBenchSummary.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;
using Node = KVRSharedHandle<KVRBasicFrame3D>;

Xform relativePose(int i) {
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2 + i % 3, 3), 0.01 * (i % 17));
  return Xform(q, KVRBasicVector3D<double>(0.1 * (i % 5), 0.2, 0.01 * (i % 7)));
}

// The bytes the heap has handed out and not taken back.
std::size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A spatial tree of frames, kept in creation order; parent[i] is the index
// of entity i's parent (-1 for the root).
struct Scene {
  std::vector<Node> nodes;
  std::vector<int> parent;

  int add(int parentIndex) {
    Node node(new KVRBasicFrame3D);
    Xform X_PC = relativePose(static_cast<int>(nodes.size()));
    node->setRelativeLocation(X_PC);
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

enum class Shape { Chains, Wide, Balanced };

struct Workload {
  const char* key;    // in the benchmark names
  const char* label;  // in the summary
  Shape shape;
  int size;  // entities below the root; levels for the balanced tree
};

constexpr Workload workloads[] = {
    {"chains/20000", "chains of depth 20, 20 000", Shape::Chains, 20000},
    {"chains/200000", "chains of depth 20, 200 000", Shape::Chains, 200000},
    {"wide/10000", "wide, 10 000 children", Shape::Wide, 10000},
    {"wide/100000", "wide, 100 000 children", Shape::Wide, 100000},
    {"balanced/37449", "balanced, fan-out 8, 37 449", Shape::Balanced, 6},
};

void build(Scene& scene, const Workload& w) {
  scene.add(-1);
  switch (w.shape) {
    case Shape::Chains:
      for (int chain = 0; chain < w.size / 20; ++chain) {
        int previous = 0;
        for (int depth = 0; depth < 20; ++depth) previous = scene.add(previous);
      }
      break;
    case Shape::Wide:
      for (int i = 0; i < w.size; ++i) scene.add(0);
      break;
    case Shape::Balanced: {
      std::vector<int> level{0};
      for (int l = 1; l < w.size; ++l) {
        std::vector<int> next;
        for (int p : level)
          for (int k = 0; k < 8; ++k) next.push_back(scene.add(p));
        level.swap(next);
      }
      break;
    }
  }
}

// Moves the root, flushes it and reads every base location, per iteration.
void moveFlushRead(benchmark::State& state, const Workload& w) {
  // The heap in use before the tree is built and once it has been flushed
  // enough to be laid out flat, less the bench's own list of handles. The
  // entities' blocks are counted as blocks: the slabs they are cut from may
  // have been taken from the heap before (and kept) or be only partly used.
  const std::size_t heapBefore = heapInUse();
  const std::size_t slabsBefore = KVRBasicEntity3D::getEntitySlabBytes();
  const std::size_t blocksBefore = KVRBasicEntity3D::getEntityBlockBytes();
  Scene scene;
  build(scene, w);
  scene.settle();
  const Node& root = scene.nodes.front();
  // The first flushes of a moved root may prepare what later flushes reuse.
  const KVRAllocationWindow preparing;
  for (int i = 0; i < 3; ++i) {
    root->setBaseLocation(relativePose(i));
    root->flushSpatialState();
  }
  const double preparedBytes = static_cast<double>(preparing.elapsed().bytes);
  const double heapBytes =
      static_cast<double>(heapInUse() - heapBefore) -
      static_cast<double>(KVRBasicEntity3D::getEntitySlabBytes() - slabsBefore) +
      static_cast<double>(KVRBasicEntity3D::getEntityBlockBytes() - blocksBefore) -
      static_cast<double>(scene.nodes.capacity() * sizeof(Node) + scene.parent.capacity() * sizeof(int));
  std::uint64_t allocations = 0;
  double sum = 0, moveSeconds = 0, readSeconds = 0;
  int i = 0;
  for (auto _ : state) {
    const Xform X_WR = relativePose(++i);
    const KVRAllocationWindow window;
    const auto start = std::chrono::steady_clock::now();
    root->setBaseLocation(X_WR);
    root->flushSpatialState();
    const auto moved = std::chrono::steady_clock::now();
    allocations += window.elapsed().allocations;
    for (const Node& n : scene.nodes) sum += n->getBaseLocation().getPosition().x();
    const auto read = std::chrono::steady_clock::now();
    moveSeconds += std::chrono::duration<double>(moved - start).count();
    readSeconds += std::chrono::duration<double>(read - moved).count();
  }
  benchmark::DoNotOptimize(sum);
  const double entities = static_cast<double>(scene.nodes.size());
  const double visits = entities * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(visits));
  state.counters["entities"] = entities;
  state.counters["ns_per_entity"] =
      benchmark::Counter(visits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["move_flush_ns"] = 1e9 * moveSeconds / visits;
  state.counters["read_ns"] = 1e9 * readSeconds / visits;
  state.counters["allocs_per_flush"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
  state.counters["prepared_bytes_per_entity"] = preparedBytes / entities;
  state.counters["heap_bytes_per_entity"] = heapBytes / entities;
}

// The same work on flat arrays: the base locations composed in creation
// order (parents come first), then every base location read.
void flatArrays(benchmark::State& state, const Workload& w) {
  Scene scene;
  build(scene, w);
  const std::size_t n = scene.nodes.size();
  std::vector<Xform> X_PC(n), X_WC(n);
  for (std::size_t i = 0; i < n; ++i) X_PC[i] = scene.nodes[i]->getRelativeLocation();
  const std::vector<int>& parent = scene.parent;
  double sum = 0;
  int k = 0;
  for (auto _ : state) {
    X_WC[0] = relativePose(++k);
    for (std::size_t i = 1; i < n; ++i) X_WC[i] = X_WC[static_cast<std::size_t>(parent[i])] * X_PC[i];
    for (const Xform& X : X_WC) sum += X.getPosition().x();
  }
  benchmark::DoNotOptimize(sum);
  const double visits = static_cast<double>(n) * static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(visits));
  state.counters["entities"] = static_cast<double>(n);
  state.counters["ns_per_entity"] =
      benchmark::Counter(visits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::string oursName(const Workload& w) { return std::string("BM_SpatialMove/ours/") + w.key; }
std::string flatName(const Workload& w) { return std::string("BM_SpatialMove/flat/") + w.key; }

const int registered = [] {
  for (const Workload& w : workloads) {
    benchmark::RegisterBenchmark(oursName(w).c_str(), moveFlushRead, w)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(flatName(w).c_str(), flatArrays, w)->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

// --- A fresh pose without a flush ---------------------------------------------

// Two chains of depth 20 under a root; the root has moved and nothing is
// flushed, so a cached base location would be stale.
struct TwoChains {
  Scene scene;
  TwoChains() {
    build(scene, Workload{"", "", Shape::Chains, 40});
    scene.settle();
    scene.nodes.front()->setBaseLocation(relativePose(7));
  }
  const Node& leaf() const { return scene.nodes[20]; }
  const Node& otherLeaf() const { return scene.nodes[40]; }
};

void BM_ComputeBaseLocation_Depth20(benchmark::State& state) {
  const TwoChains chains;
  const Node& leaf = chains.leaf();
  for (auto _ : state) benchmark::DoNotOptimize(leaf->computeBaseLocation());
  state.counters["depth"] = leaf->getSpatialAncestorsCount();
}
BENCHMARK(BM_ComputeBaseLocation_Depth20);

// The flat arrays' walk up the same chain: X_WL = X_WR · X_R1 · ... · X_PL.
void BM_FlatWalkUp_Depth20(benchmark::State& state) {
  const TwoChains chains;
  const std::size_t n = chains.scene.nodes.size();
  std::vector<Xform> X_PC(n);
  for (std::size_t i = 0; i < n; ++i) X_PC[i] = chains.scene.nodes[i]->getRelativeLocation();
  const Xform X_WR = chains.scene.nodes.front()->getBaseLocation();
  const std::vector<int>& parent = chains.scene.parent;
  for (auto _ : state) {
    int i = 20;
    Xform X = X_PC[20];
    for (i = parent[20]; i > 0; i = parent[static_cast<std::size_t>(i)])
      X = X_PC[static_cast<std::size_t>(i)] * X;
    benchmark::DoNotOptimize(X = X_WR * X);
  }
}
BENCHMARK(BM_FlatWalkUp_Depth20);

void BM_ComputeLocationRelativeTo_Depth20(benchmark::State& state) {
  const TwoChains chains;
  const Node& leaf = chains.leaf();
  const KVRSharedHandle<KVRBasicEntity3D> reference = chains.otherLeaf();
  for (auto _ : state) benchmark::DoNotOptimize(leaf->computeLocationRelativeTo(reference));
}
BENCHMARK(BM_ComputeLocationRelativeTo_Depth20);

// Reading a cached base location in another entity's coordinates (E⁻¹ · X).
void BM_BaseLocationRelativeToAnotherEntity(benchmark::State& state) {
  const TwoChains chains;
  chains.scene.nodes.front()->flushSpatialState();
  const KVRSharedHandle<KVRBasicEntity3D> reference = chains.otherLeaf();
  for (auto _ : state) benchmark::DoNotOptimize(chains.leaf()->getBaseLocation(reference));
}
BENCHMARK(BM_BaseLocationRelativeToAnotherEntity);

void BM_BaseLocationCached(benchmark::State& state) {
  const TwoChains chains;
  for (auto _ : state) benchmark::DoNotOptimize(chains.leaf()->getBaseLocation());
}
BENCHMARK(BM_BaseLocationCached);

// --- Memory ---------------------------------------------------------------------

// The heap memory of one frame made and linked into a tree (a logical and
// spatial child of a body), unnamed (range 0) or named (range 1): the block
// that holds the object and everything it allocates on the way. What the
// heap gave for entities (slabs) is left out of the bytes: their share is
// the block.
void BM_FrameMemory(benchmark::State& state) {
  const bool named = state.range(0) != 0;
  const KVRSharedHandle<KVRBasicBody3D> body(new KVRBasicBody3D);
  body->setEntityName(L"Body");
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> frames;
  frames.reserve(static_cast<std::size_t>(state.max_iterations));
  std::uint64_t bytes = 0, allocations = 0, made = 0;
  for (auto _ : state) {
    // The name is the caller's: made before the count starts.
    const std::wstring name = named ? L"Frame" + std::to_wstring(made % 100) : std::wstring();
    const std::size_t blocksBefore = KVRBasicEntity3D::getEntityBlockBytes();
    const std::size_t slabsBefore = KVRBasicEntity3D::getEntitySlabBytes();
    const KVRAllocationWindow window;
    KVRSharedHandle<KVRBasicFrame3D> frame(new KVRBasicFrame3D);
    if (named) frame->setEntityName(name);
    body->addFrame(frame);
    const KVRAllocationCount used = window.elapsed();
    const std::size_t slabs = KVRBasicEntity3D::getEntitySlabBytes() - slabsBefore;
    bytes += used.bytes - slabs + (KVRBasicEntity3D::getEntityBlockBytes() - blocksBefore);
    allocations += used.allocations;
    ++made;
    state.PauseTiming();
    frames.push_back(std::move(frame));
    state.ResumeTiming();
  }
  state.counters["sizeof_frame"] = sizeof(KVRBasicFrame3D);
  state.counters["sizeof_entity3d"] = sizeof(KVRBasicEntity3D);
  state.counters["sizeof_entity"] = sizeof(KVRBasicEntity);
  state.counters["heap_bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(made);
  state.counters["allocs_per_frame"] = static_cast<double>(allocations) / static_cast<double>(made);
  body->orphanObject();
}
BENCHMARK(BM_FrameMemory)->Arg(0)->Arg(1)->Iterations(10000);

// --- Building and the first flushes -------------------------------------------------

// A forest of frames in chains of `depth` under one root, each frame linked
// under its parent in both trees: top-down (each frame under a parent already
// in the forest) or bottom-up (each chain from its leaf up, then hung under
// the root). Then the root is moved and flushed four times. Counters: ns per
// entity to link, and for the first, second and fourth flush.
void BM_BuildThenFlushChains(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const int depth = static_cast<int>(state.range(0));
  const bool bottomUp = state.range(1) != 0;
  const int entities = depth >= 10000 ? 10000 : 100000;
  double link = 0, flush[4] = {};
  for (auto _ : state) {
    const Node root(new KVRBasicFrame3D);
    std::vector<Node> frames;
    frames.reserve(static_cast<std::size_t>(entities));
    for (int i = 0; i < entities; ++i) {
      frames.emplace_back(new KVRBasicFrame3D);
      Xform X_PC = relativePose(i);
      frames.back()->setRelativeLocation(X_PC);
    }
    const auto hang = [](const Node& parent, const Node& child) {
      parent->addLogicalChild(child);
      parent->addSpatialChild(child);
    };
    const Clock::time_point start = Clock::now();
    for (int c = 0; c < entities / depth; ++c) {
      const Node* chain = &frames[static_cast<std::size_t>(c * depth)];
      if (bottomUp) {
        for (int d = depth - 1; d > 0; --d) hang(chain[d - 1], chain[d]);
        hang(root, chain[0]);
      } else {
        hang(root, chain[0]);
        for (int d = 1; d < depth; ++d) hang(chain[d - 1], chain[d]);
      }
    }
    link += std::chrono::duration<double>(Clock::now() - start).count();
    for (int k = 0; k < 4; ++k) {
      const Clock::time_point moved = Clock::now();
      root->setBaseLocation(relativePose(k + 1));
      root->flushSpatialState();
      flush[k] += std::chrono::duration<double>(Clock::now() - moved).count();
    }
    root->orphanObject();
  }
  const double per = 1e9 / (static_cast<double>(entities) * static_cast<double>(state.iterations()));
  state.counters["link_ns"] = link * per;
  state.counters["flush1_ns"] = flush[0] * per;
  state.counters["flush2_ns"] = flush[1] * per;
  state.counters["flush4_ns"] = flush[3] * per;
}
BENCHMARK(BM_BuildThenFlushChains)
    ->ArgsProduct({{20, 1000, 10000}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// --- Summary --------------------------------------------------------------------

double counter(const KVRBenchResults& results, const std::string& name, const char* which) {
  const auto run = results.find(name);
  if (run == results.end()) return -1;
  const auto value = run->second.find(which);
  return value == run->second.end() ? -1 : value->second;
}

void printRow(std::ostream& out, const char* label, double flat, double ours, double heapBytes = -1) {
  char line[160];
  if (flat > 0 && ours > 0)
    std::snprintf(line, sizeof line, "  %-34s %10.1f %10.1f %9.2fx", label, flat, ours, ours / flat);
  else
    std::snprintf(line, sizeof line, "  %-34s %10s %10s %10s", label, "-", "-", "-");
  out << line;
  if (heapBytes > 0) {
    std::snprintf(line, sizeof line, " %10.0f", heapBytes);
    out << line;
  }
  out << "\n";
}

void summarise(const KVRBenchResults& results, std::ostream& out) {
  bool any = false;
  for (const Workload& w : workloads) any = any || results.count(oursName(w)) || results.count(flatName(w));
  if (!any && !results.count("BM_ComputeBaseLocation_Depth20")) return;
  out << "\nSpatial core next to the flat-array limit, same binary, same optimisation level\n"
      << "(ns per entity to move the root, flush and read every base location)\n";
  char header[160];
  std::snprintf(header, sizeof header, "  %-34s %10s %10s %10s %10s\n", "workload", "flat array", "ours", "ratio",
                "heap B/e");
  out << header;
  double allocations = 0;
  for (const Workload& w : workloads) {
    // Inverted rates are kept in seconds.
    printRow(out, w.label, 1e9 * counter(results, flatName(w), "ns_per_entity"),
             1e9 * counter(results, oursName(w), "ns_per_entity"),
             counter(results, oursName(w), "heap_bytes_per_entity"));
    allocations = std::max(allocations, counter(results, oursName(w), "allocs_per_flush"));
  }
  out << "(ns per call)\n";
  printRow(out, "computeBaseLocation, depth-20 leaf",
           counter(results, "BM_FlatWalkUp_Depth20", "ns_per_iteration"),
           counter(results, "BM_ComputeBaseLocation_Depth20", "ns_per_iteration"));
  char line[200];
  std::snprintf(line, sizeof line,
                "Heap bytes per frame linked in a tree: unnamed %.0f, named %.0f (object %.0f)\n"
                "Allocations per flush (largest of the five trees): %.2f\n",
                counter(results, "BM_FrameMemory/0/iterations:10000", "heap_bytes_per_frame"),
                counter(results, "BM_FrameMemory/1/iterations:10000", "heap_bytes_per_frame"),
                counter(results, "BM_FrameMemory/1/iterations:10000", "sizeof_frame"), allocations);
  out << line;
  if (!results.count("BM_BuildThenFlushChains/20/0/iterations:1")) return;
  out << "Building chains of frames, then moving the root and flushing (ns per entity)\n";
  std::snprintf(line, sizeof line, "  %-24s %10s %10s %10s %10s\n", "depth, build", "link", "1st flush", "2nd flush",
                "4th flush");
  out << line;
  for (const int depth : {20, 1000, 10000})
    for (const int bottomUp : {0, 1}) {
      const std::string name = "BM_BuildThenFlushChains/" + std::to_string(depth) + "/" + std::to_string(bottomUp) +
                               "/iterations:1";
      char label[40];
      std::snprintf(label, sizeof label, "%d, %s", depth, bottomUp ? "bottom-up" : "top-down");
      std::snprintf(line, sizeof line, "  %-24s %10.0f %10.0f %10.0f %10.0f\n", label,
                    counter(results, name, "link_ns"), counter(results, name, "flush1_ns"),
                    counter(results, name, "flush2_ns"), counter(results, name, "flush4_ns"));
      out << line;
    }
}

const int summary = KVRRegisterBenchSummary(summarise);

}  // namespace
