// Entity state: reset and history requests, orphaning whole subtrees.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;

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

TEST(EntityState, ResetRunsAtTheFlushUnlessANameChangeIsPending) {
  auto e = make<Resettable>(L"E");
  e->flushLogicalState();
  e->resetEntityState(0);
  EXPECT_EQ(pending(*e), std::vector<int>{8});
  EXPECT_EQ(e->resets, 0);
  e->flushLogicalState();
  EXPECT_EQ(e->resets, 1);

  e->setEntityName(L"Renamed");  // bit 3 pending: the flush propagates instead
  e->resetEntityState(1);
  EXPECT_EQ(e->resets, 1);
  EXPECT_TRUE(e->getPendingEvents().none());
  e->resetEntityState(1);
  EXPECT_EQ(e->resets, 2);

  e->clearHistory();
  EXPECT_EQ(pending(*e), std::vector<int>{7});
}

// The scene: P ── A ─┬─ B ── C
//                    └─ D
// with symbols on A and C.
class Orphaning : public testing::Test {
 protected:
  void SetUp() override {
    p->addLogicalChild(a);
    a->addLogicalChild(b);
    b->addLogicalChild(c);
    a->addLogicalChild(d);
    p->flushLogicalState();
    a->addSymbol(new Counted(deleted));
    c->addSymbol(new Counted(deleted));
  }
  void TearDown() override { p->orphanObject(); }

  struct Counted : KVRSymbolBase {
    explicit Counted(int& deletions) : count(deletions) {}
    ~Counted() override { ++count; }
    int& count;
  };

  int deleted = 0;
  KVRSharedHandle<KVRBasicEntity> p = make(L"P"), a = make(L"A"), b = make(L"B"), c = make(L"C"),
                                  d = make(L"D");
};

TEST_F(Orphaning, LeavesEveryEntityOfTheSubtreeUnlinkedAndWithoutSymbolsOnce) {
  auto special = make<Resettable>(L"R");
  a->addLogicalChild(special);
  a->addLogicalChild(make(L"E"));
  a->orphanLogicalChildren(Resettable::ClassInfo_);  // the others stay, in order
  EXPECT_TRUE(special->isOrphaned());
  KVRSharedVector<KVRBasicEntity> left;
  a->getLogicalChildren(left);
  EXPECT_EQ(names(left), (std::vector<std::wstring>{L"B", L"D", L"E"}));
  left.clear();

  p->orphanLogicalChild(a);
  EXPECT_FALSE(p->hasLogicalChild(a) || p->isOrphaned());
  for (auto* e : {&a, &b, &c, &d}) {
    EXPECT_TRUE((*e)->isOrphaned() && !(*e)->hasLogicalParent());
    EXPECT_EQ((*e)->getLogicalChildrenCount(), 0);
    EXPECT_EQ((*e)->getSymbolCount(), 0);
    EXPECT_EQ((*e)->getNotificationHookCount(), 0);
    EXPECT_EQ((*e)->getReferenceCount(), 1);  // only the fixture holds it now
  }
  EXPECT_EQ(deleted, 2);
  a->orphanObject();  // done once only
  EXPECT_EQ(deleted, 2);
  // An orphaned entity no longer reacts to a flush.
  a->setEntityName(L"Late");
  a->flushLogicalState();
  EXPECT_TRUE(a->isOrphaned());
}

TEST(OrphanedTree, DroppingTheLastHandleFreesEverything) {
  // LeakSanitizer reports if the orphaned entities keep one another alive.
  KVRSharedHandle<KVRBasicEntity> top = make(L"Top");
  for (int i = 0; i < 3; ++i) {
    auto child = make(L"Child");
    top->addLogicalChild(child);
    child->addLogicalChild(make(L"Grandchild"));
  }
  top->orphanObject();
  EXPECT_EQ(top->getReferenceCount(), 1);
}

TEST(EntitySymbols, FirstOfEqualNamesWinsAndRemovalDeletesOnlyIt) {
  auto e = make(L"E");
  KVRSymbolBase* first = new KVRSymbolBase;
  KVRSymbolBase* second = new KVRSymbolBase;
  first->setSymbolName(L"speed");
  second->setSymbolName(L"speed");
  e->addSymbol(first);
  e->addSymbol(second);
  EXPECT_EQ(e->getSymbol(L"speed"), first);
  e->removeSymbol(L"speed");  // deletes `first`; ASan reports a second delete
  EXPECT_EQ(e->getSymbol(L"speed"), second);
  e->removeSymbol(L"missing");
  EXPECT_EQ(e->getSymbolCount(), 1);
}

}  // namespace
