// Change logs: what moved, changed holder or members since the last take, each entity listed once.
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Listed = std::vector<std::pair<std::wstring, int>>;

Listed listed(KVRChangeLog& log) {
  std::vector<KVRChangeLog::Entry> entries;
  log.take(entries);
  Listed out;
  for (const auto& e : entries) out.emplace_back(e.entity->getEntityName(), e.changes);
  return out;
}

// A: an assembly holding the body B (with its frame F) and the group G.
TEST(ChangeLogs, ListEachChangedEntityOnceWithItsChanges) {
  const auto w = makeWorld(L"W");
  const auto a = make<KVRBasicMfgAssembly3D>(L"A"); const auto g = make<KVRBasicGroup3D>(L"G");
  auto b = make<KVRBasicBody3D>(L"B"), c = make<KVRBasicBody3D>(L"C");
  const auto f = make<KVRBasicFrame3D>(L"F");
  w->addEntity(a); a->addBody(b); a->addBody(c);
  a->addBody(g); b->addFrame(f); flushSpatial(a, b, c, f, g);
  auto log = std::make_unique<KVRChangeLog>();
  using Enrolled = KVRSharedHandle<KVRBasicEntity3D>;
  for (const Enrolled& e : {Enrolled(b), Enrolled(c), Enrolled(f), Enrolled(g)}) e->setChangeLog(log.get());
  EXPECT_EQ(log->getEnrolledCount(), 4u); EXPECT_TRUE(log->isEmpty());
  // Moved again and again (the later flushes run flat): B and F once each.
  for (int k = 1; k <= 4; ++k) {
    place(b, at(k, 0, 0)); b->flushSpatialState();
  }
  EXPECT_EQ(listed(*log), (Listed{{L"B", 1}, {L"F", 1}})); EXPECT_EQ(f->getBaseLocation(), at(4, 0, 0));
  // A grab (C moves onto B: its holder changes, its place does not), a member, a cleared history.
  b->grabBody(c, 3); g->addEntity(f); g->removeEntity(f);
  f->clearHistory();
  EXPECT_EQ(listed(*log), (Listed{{L"C", KVRChangeLog::Holder | 1},
                                  {L"G", KVRChangeLog::Members},
                                  {L"F", KVRChangeLog::HistoryCleared}}));
  // An entity that leaves (by being destroyed, or by choice) is no longer listed.
  place(b, at(0, 0, 0)); b->flushSpatialState(); c->setChangeLog(nullptr);
  c->detachBody(); a->orphanLogicalChild(b);
  b = {};
  EXPECT_EQ(listed(*log), (Listed{{L"F", 1}})); EXPECT_EQ(log->getEnrolledCount(), 2u);
  // A log destroyed first lets go of its entities.
  log.reset();
  EXPECT_EQ(g->getChangeLog(), nullptr);
  g->addEntity(c);
  EXPECT_TRUE(isSound(w));
  w->orphanObject();
}
}  // namespace
