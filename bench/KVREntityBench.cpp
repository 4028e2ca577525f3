// Benchmarks of the entity spine: renaming and flushing a large subtree,
// path lookup among many siblings, building and orphaning a large tree.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "KVRBenchSupport.h"
#include "KVRWorldModel.h"

namespace {

using namespace kvrbench;

using Handle = KVRSharedHandle<KVRBasicEntity>;

// A tree of `count` entities below `root`, fan-out `fanOut`, breadth first.
void grow(const Handle& root, int count, int fanOut) {
  std::vector<Handle> level{root};
  int made = 0;
  while (made < count) {
    std::vector<Handle> next;
    for (const Handle& parent : level) {
      for (int i = 0; i < fanOut && made < count; ++i, ++made) {
        Handle child = named(L"Node" + std::to_wstring(made));
        parent->addLogicalChild(child);
        next.push_back(child);
      }
    }
    level.swap(next);
  }
  root->flushLogicalState();
}

void BM_RenameRootAndFlush(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Handle root = named(L"Root");
  grow(root, count, 10);
  bool flip = false;
  for (auto _ : state) {
    root->setEntityName(flip ? L"Cell A" : L"Cell B");
    root->flushLogicalState();
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations() * count);
  root->orphanObject();
}
BENCHMARK(BM_RenameRootAndFlush)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ReparentSubtreeAndFlush(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  Handle a = named(L"A"), b = named(L"B"), subtree = named(L"Subtree");
  a->addLogicalChild(subtree);
  grow(subtree, count, 10);
  for (auto _ : state) {
    Handle from = subtree->getLogicalParent();
    from->removeLogicalChild(subtree);
    (from == a ? b : a)->addLogicalChild(subtree);
    subtree->flushLogicalState();
  }
  state.SetItemsProcessed(state.iterations() * count);
  a->orphanObject();
  b->orphanObject();
}
BENCHMARK(BM_ReparentSubtreeAndFlush)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_FindTenLevelPathAmongThousandSiblings(benchmark::State& state) {
  constexpr int levels = 10, siblings = 1000;
  Handle root = named(L"Root");
  Handle parent = root;
  std::wstring path;
  for (int level = 0; level < levels; ++level) {
    Handle onPath;
    for (int i = 0; i < siblings; ++i) {
      Handle child = named(L"L" + std::to_wstring(level) + L"_" + std::to_wstring(i));
      parent->addLogicalChild(child);
      onPath = child;  // the last sibling: the lookup scans all of them
    }
    path += (level ? L"/" : L"") + onPath->getEntityName();
    parent = onPath;
  }
  for (auto _ : state) benchmark::DoNotOptimize(root->findEntity(path, L'/'));
  state.SetItemsProcessed(state.iterations());
  root->orphanObject();
}
BENCHMARK(BM_FindTenLevelPathAmongThousandSiblings)->Unit(benchmark::kMicrosecond);

void BM_BuildAndOrphanTree(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Handle root = named(L"Root");
    grow(root, count, 10);
    root->orphanObject();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_BuildAndOrphanTree)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_FlushWithNothingPending(benchmark::State& state) {
  Handle e = named(L"Idle");
  e->flushLogicalState();
  for (auto _ : state) e->flushLogicalState();
}
BENCHMARK(BM_FlushWithNothingPending);

}  // namespace
