// Entity state: reset and history requests, flushing, orphaning whole subtrees, the memory entities hold.
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Bits = std::vector<int>;

// An entity that counts its resets.
class Resettable : public KVRBasicEntity {
 public:
  static const KVRClassInfo ClassInfo_;
  Resettable() = default;
  Resettable(const Resettable& source, CopyMode mode) : KVRBasicEntity(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  void resetEntity() override { ++resets; }
  int resets = 0;
};
constinit const KVRClassInfo Resettable::ClassInfo_ =
    KVRClassInfo::concrete<Resettable>("Resettable", KVRBasicEntity::ClassInfo_);
struct Counted : KVRSymbolBase {  // counts its deletions
  explicit Counted(int& deletions) : count(deletions) {}
  ~Counted() override { ++count; }
  int& count;
};

TEST(EntityState, ResetRunsAtTheFlushUnlessANameChangeIsPendingAndSymbolsAreFoundByName) {
  auto e = make<Resettable>(L"E");
  e->flushLogicalState(); e->resetEntityState(0);
  EXPECT_EQ(pending(*e), Bits{8}); EXPECT_EQ(e->resets, 0);
  e->flushLogicalState();
  EXPECT_EQ(e->resets, 1);
  e->setEntityName(L"Renamed"); e->resetEntityState(1);  // bit 3 pending: the flush propagates instead
  EXPECT_TRUE(e->resets == 1 && e->getPendingEvents().none());
  e->resetEntityState(1); e->clearHistory();
  EXPECT_EQ(e->resets, 2); EXPECT_EQ(pending(*e), Bits{7});
  // Symbols: the first of equal names wins, and removal deletes only it.
  KVRSymbolBase *first = new KVRSymbolBase, *second = new KVRSymbolBase;
  first->setSymbolName(L"speed"); second->setSymbolName(L"speed");
  e->addSymbol(first); e->addSymbol(second);
  EXPECT_EQ(e->getSymbol(L"speed"), first);
  e->removeSymbol(L"speed");  // deletes `first`; ASan reports a second delete
  EXPECT_EQ(e->getSymbol(L"speed"), second);
  e->removeSymbol(L"missing");
  EXPECT_EQ(e->getSymbolCount(), 1);
}

// The scene, in world W: Load is the logical parent of Carrier, while spatially Ground carries Carrier at
// X_GC, which carries Load at X_CL. Each tree alone is a tree; together they form a cycle.
TEST(Flushing, AFlushEndsWhenTheTwoTreesTogetherFormACycle) {
  auto w = makeWorld(L"W");
  auto ground = make<KVRBasicBody3D>(L"Ground"), carrier = make<KVRBasicBody3D>(L"Carrier"),
       load = make<KVRBasicBody3D>(L"Load");
  w->addEntity(ground); w->addEntity(load); load->addLogicalChild(carrier);
  const auto X_GC = pose(0.3, 1, 0, 0), X_CL = pose(-0.7, 0, 2, 0), X_GC2 = pose(1.2, 0, 0, 4);
  ground->attachBody(carrier, X_GC); carrier->attachBody(load, X_CL); w->flushLogicalState();
  flushSpatial(ground, carrier, load);
  EXPECT_EQ(carrier->setBaseLocation(X_GC2), 2);
  load->setEntityName(L"Cargo");
  carrier->flushSpatialState();  // reaches Load, whose rename reaches Carrier, which is flushing already
  EXPECT_XFORM_NEAR(load->getBaseLocation(), X_GC2 * X_CL); EXPECT_EQ(fullName(carrier), L"/W/Cargo/Carrier");
  EXPECT_EQ(pending(*carrier), Bits{KVRBasicEntity::FullNameChanged});  // for its next flush
  carrier->flushSpatialState();
  EXPECT_TRUE(carrier->getPendingEvents().none() && load->getPendingEvents().none() && isSound(w));
  w->orphanObject();
}

// The scene: P ── A ─┬─ B ── C       with symbols on A and C
//                    ├─ D
//                    ├─ R (Resettable)
//                    └─ E
TEST(Orphaning, LeavesEveryEntityOfTheSubtreeUnlinkedAndWithoutSymbolsOnce) {
  int deleted = 0;
  KVRSharedHandle<KVRBasicEntity> p = make(L"P"), a = make(L"A"), b = make(L"B"), c = make(L"C"),
                                  d = make(L"D"), extra = make(L"E");
  auto special = make<Resettable>(L"R");
  p->addLogicalChild(a); a->addLogicalChild(b); b->addLogicalChild(c);
  a->addLogicalChild(d); a->addLogicalChild(special); a->addLogicalChild(extra);
  p->flushLogicalState(); a->addSymbol(new Counted(deleted)); c->addSymbol(new Counted(deleted));
  a->orphanLogicalChildren(Resettable::ClassInfo_);  // the others stay, in order
  KVRSharedVector<KVRBasicEntity> left;
  a->getLogicalChildren(left);
  EXPECT_TRUE(special->isOrphaned()); EXPECT_EQ(names(left), (std::vector<std::wstring>{L"B", L"D", L"E"}));
  left.clear(); p->orphanLogicalChild(a);
  EXPECT_FALSE(p->hasLogicalChild(a) || p->isOrphaned());
  for (const auto& e : {a, b, c, d}) {
    EXPECT_TRUE(e->isOrphaned() && !e->hasLogicalParent());
    EXPECT_EQ(e->getLogicalChildrenCount() + e->getSymbolCount() + e->getNotificationHookCount(), 0);
    EXPECT_EQ(e->getReferenceCount(), 2);  // this test's handle and the loop's copy
  }
  EXPECT_EQ(deleted, 2);
  a->orphanObject();  // done once only
  a->setEntityName(L"Late"); a->flushLogicalState();  // an orphaned entity no longer reacts to a flush
  EXPECT_TRUE(a->isOrphaned()); EXPECT_EQ(deleted, 2);
  a->addSymbol(new Counted(deleted)); a.detach();  // freed by the destructor
  EXPECT_EQ(deleted, 3);
  p->orphanObject();
  // LeakSanitizer reports if the orphaned entities keep one another alive.
  KVRSharedHandle<KVRBasicEntity> top = make(L"Top");
  for (int i = 0; i < 3; ++i) {
    auto child = make(L"Child");
    top->addLogicalChild(child); child->addLogicalChild(make(L"Grandchild"));
  }
  top->orphanObject();
  EXPECT_EQ(top->getReferenceCount(), 1);
}

// A derived class too large for a slab block: its entities come from the heap.
struct LargeFrame : KVRBasicFrame3D {
  double payload[512] = {};
};

std::size_t blockOf(std::size_t size) { return (size + 63) / 64 * 64; }

TEST(EntityBlocks, EachEntityHoldsWholeCacheLinesUntilItIsFreed) {
  const std::size_t before = KVRBasicEntity3D::getEntityBlockBytes();
  {
    const auto frame = make<KVRBasicFrame3D>(L"F");
    const auto body = make<KVRBasicBody3D>(L"B");
    const KVRSharedHandle<LargeFrame> large(new LargeFrame);
    large->payload[511] = 1;
    for (const void* e : {(void*)frame.get(), (void*)body.get(), (void*)large.get()})
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e) % 64, 0U);
    const std::size_t blocks =
        blockOf(sizeof(KVRBasicFrame3D)) + blockOf(sizeof(KVRBasicBody3D)) + blockOf(sizeof(LargeFrame));
    EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes() - before, blocks);
    body->addFrame(frame);
    body->addSpatialChild(large);
    orphan(body, frame, large);
  }
  EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
  // A constructor that throws gives its block back.
  struct Refused : KVRBasicFrame3D {
    Refused() { throw std::runtime_error("refused"); }
  };
  EXPECT_THROW(KVRSharedHandle<Refused>(new Refused), std::runtime_error);
  EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
}
}  // namespace
