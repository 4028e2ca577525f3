// The logical tree: links, queries, refusals that change nothing, and the
// propagation of full names and ancestor lists on flush.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;

// A marker subclass, to exercise class filters.
class Marker : public KVRBasicEntity {
 public:
  static const KVRClassInfo ClassInfo_;
  Marker() = default;
  Marker(const Marker& source, CopyMode mode) : KVRBasicEntity(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
};
constinit const KVRClassInfo Marker::ClassInfo_ =
    KVRClassInfo::concrete<Marker>("Marker", KVRBasicEntity::ClassInfo_);

// The scene:   R
//              └─ W
//                 ├─ B ── F ── P
//                 └─ M (Marker) ── N (Marker)
class LogicalTree : public testing::Test {
 protected:
  void SetUp() override {
    r->addLogicalChild(w);
    w->addLogicalChild(b);
    b->addLogicalChild(f);
    f->addLogicalChild(p);
    w->addLogicalChild(m);
    m->addLogicalChild(n);
    r->flushLogicalState();
  }
  void TearDown() override {
    r->orphanObject();
    for (auto* e : {&r, &w, &b, &f, &p, &m, &n}) (*e)->orphanObject();
  }

  KVRSharedHandle<KVRBasicEntity> r = make(L"R"), w = make(L"W"), b = make(L"B"), f = make(L"F"),
                                  p = make(L"P");
  KVRSharedHandle<KVRBasicEntity> m = make<Marker>(L"M"), n = make<Marker>(L"N");
};

TEST_F(LogicalTree, AddingLinksBothWaysAndSetsTheChildsBitsOnly) {
  auto x = make(L"X");
  x->flushLogicalState();
  w->flushLogicalState();
  const int before = w->getLogicalChildrenCount();
  w->addLogicalChild(x);
  EXPECT_EQ(x->getLogicalParent(), w);
  EXPECT_EQ(w->getLogicalChildrenCount(), before + 1);
  KVRSharedVector<KVRBasicEntity> ancestors;
  x->getLogicalAncestors(ancestors);
  EXPECT_EQ(ancestors, (KVRSharedVector<KVRBasicEntity>{r, w}));
  EXPECT_EQ(x->getLogicalAncestorsCount(), 2);
  EXPECT_EQ(pending(*x), (std::vector<int>{3, 5}));
  EXPECT_TRUE(w->getPendingEvents().none());
  EXPECT_TRUE(w->hasLogicalChild(x));
  EXPECT_TRUE(w->hasLogicalChild(std::wstring(L"X")));
  EXPECT_TRUE(x->hasLogicalAncestor(r));
  EXPECT_FALSE(x->hasLogicalAncestor(b));
}

TEST_F(LogicalTree, QueriesByNameAndClassKeepChildOrder) {
  auto twin = make(L"B");
  w->addLogicalChild(twin);
  EXPECT_EQ(w->getLogicalChild(L"B"), b);  // the first added
  KVRSharedList<KVRBasicEntity> markers;
  w->getLogicalChildren(Marker::ClassInfo_, markers);
  EXPECT_EQ(names(markers), std::vector<std::wstring>{L"M"});
  EXPECT_EQ(w->getLogicalChildrenCount(Marker::ClassInfo_), 1);
  KVRSharedVector<KVRBasicEntity> all{p};  // replaced, not appended to
  w->getLogicalChildren(all);
  EXPECT_EQ(names(all), (std::vector<std::wstring>{L"B", L"M", L"B"}));
  EXPECT_TRUE(w->getLogicalChild(L"Q").isNull());
}

TEST_F(LogicalTree, AncestorOfAClassIsTheOneNearestTheRoot) {
  EXPECT_EQ(n->getLogicalAncestor(Marker::ClassInfo_), m);
  auto inner = make<Marker>(L"Inner");
  n->addLogicalChild(inner);
  auto leaf = make(L"Leaf");
  inner->addLogicalChild(leaf);
  n->flushLogicalState();
  EXPECT_EQ(leaf->getLogicalAncestor(Marker::ClassInfo_), m);  // outer one, not `inner`
  EXPECT_EQ(p->getLogicalAncestor(KVRBasicEntity::ClassInfo_), r);
  EXPECT_TRUE(p->getLogicalAncestor(Marker::ClassInfo_).isNull());
}

TEST_F(LogicalTree, AddingAChildThatHasAParentIsRefusedAndChangesNothing) {
  expectThrowWithText<KVREAlreadyRegistered>([&] { m->addLogicalChild(b); },
                                             L"Entity \"/W/B\" has already been assigned a logical parent");
  EXPECT_EQ(b->getLogicalParent(), w);
  EXPECT_EQ(m->getLogicalChildrenCount(), 1);
}

TEST_F(LogicalTree, AddingAnEntityUnderItselfOrItsDescendantIsRefused) {
  auto loose = make(L"Loose");
  auto below = make(L"Below");
  loose->addLogicalChild(below);
  loose->flushLogicalState();
  expectThrowWithText<KVREInvalidRelation>(
      [&] { below->addLogicalChild(loose); },
      L"Entity \"/\" cannot become a logical child of Entity \"/Below\", which lies in its own subtree");
  expectThrowWithText<KVREInvalidRelation>(
      [&] { loose->addLogicalChild(loose); },
      L"Entity \"/\" cannot become a logical child of Entity \"/\", which lies in its own subtree");
  EXPECT_FALSE(loose->hasLogicalParent());
  EXPECT_EQ(below->getLogicalChildrenCount(), 0);
  EXPECT_EQ(loose->getLogicalChildrenCount(), 1);
  loose->orphanObject();
}

TEST_F(LogicalTree, EmptyHandlesAreRefused) {
  const KVRSharedHandle<KVRBasicEntity> none;
  expectThrowWithText<KVREInvalidArgument>([&] { w->addLogicalChild(none); },
                                           L"An empty handle was given as a logical child of Entity \"/W\"");
  EXPECT_THROW(w->removeLogicalChild(none), KVREInvalidArgument);
  EXPECT_THROW(w->orphanLogicalChild(none), KVREInvalidArgument);
  EXPECT_THROW(w->findLogicalChild(none), KVREInvalidArgument);
  EXPECT_EQ(w->getLogicalChildrenCount(), 2);
  EXPECT_FALSE(w->hasLogicalChild(none));
}

TEST_F(LogicalTree, RemovingAnEntityThatIsNotAChildIsRefused) {
  expectThrowWithText<KVRENotFound>([&] { w->removeLogicalChild(p); },
                                    L"Entity \"/W/B/F/P\" is not a logical child of Entity \"/W\"");
  EXPECT_THROW(w->orphanLogicalChild(p), KVRENotFound);
  EXPECT_EQ(p->getLogicalParent(), f);
  EXPECT_FALSE(p->isOrphaned());
}

TEST_F(LogicalTree, ARemovedChildBecomesARootAndKeepsItsSubtree) {
  w->removeLogicalChild(b);
  EXPECT_FALSE(b->hasLogicalParent());
  EXPECT_EQ(fullName(b), L"/");
  EXPECT_EQ(b->getLogicalAncestorsCount(), 0);
  EXPECT_FALSE(w->hasLogicalChild(b));
  EXPECT_EQ(b->getLogicalChild(L"F"), f);
  b->flushLogicalState();
  EXPECT_EQ(fullName(p), L"/F/P");
  EXPECT_EQ(p->getLogicalAncestorsCount(), 2);
}

TEST_F(LogicalTree, RemoveParentAndRemoveChildrenByClass) {
  auto x = make(L"X");
  w->addLogicalChild(x);
  w->removeLogicalChildren(Marker::ClassInfo_);
  KVRSharedVector<KVRBasicEntity> left;
  w->getLogicalChildren(left);
  EXPECT_EQ(names(left), (std::vector<std::wstring>{L"B", L"X"}));
  EXPECT_FALSE(m->hasLogicalParent());

  x->removeLogicalParent();
  x->removeLogicalParent();  // without a parent: nothing
  EXPECT_FALSE(w->hasLogicalChild(x));
  w->removeLogicalChildren();
  EXPECT_EQ(w->getLogicalChildrenCount(), 0);
  EXPECT_FALSE(b->hasLogicalParent());
}

TEST_F(LogicalTree, RenamingPropagatesFullNamesOnFlushOnly) {
  b->setEntityName(L"Body");
  EXPECT_EQ(fullName(b), L"/W/Body");
  EXPECT_EQ(fullName(p), L"/W/B/F/P");  // not yet flushed
  b->flushLogicalState();
  EXPECT_EQ(fullName(f), L"/W/Body/F");
  EXPECT_EQ(fullName(p), L"/W/Body/F/P");
  EXPECT_TRUE(b->getPendingEvents().none());
  EXPECT_TRUE(p->getPendingEvents().none());
}

// Watches which entities publish which bits, in order.
struct FlushLog : KVRNotificationAgent {
  std::vector<std::pair<std::wstring, std::vector<int>>> seen;
  void onEvent(const KVRSharedConstPointer<KVRBasicEntity>& sender, const std::bitset<64>& mask) {
    std::vector<int> bits;
    for (int i = 0; i < 64; ++i)
      if (mask.test(static_cast<std::size_t>(i))) bits.push_back(i);
    seen.emplace_back(sender->getEntityName(), bits);
  }
};

TEST_F(LogicalTree, AFlushPublishesDepthFirstInChildOrderAfterTheChildrenAreUpdated) {
  auto log = KVRSharedHandle<FlushLog>(new FlushLog);
  for (auto* e : {&w, &b, &f, &p, &m, &n})
    (*e)->addSubscriber(KVRMakeEventFunctor(log.get(), &FlushLog::onEvent), std::bitset<64>().set(), -1);
  w->setEntityName(L"Cell");
  w->flushLogicalState();
  using Seen = std::vector<std::pair<std::wstring, std::vector<int>>>;
  EXPECT_EQ(log->seen,
            (Seen{{L"P", {3}}, {L"F", {3}}, {L"B", {3}}, {L"N", {3}}, {L"M", {3}}, {L"Cell", {2, 3}}}));
  EXPECT_EQ(fullName(n), L"/Cell/M/N");
}

TEST_F(LogicalTree, ReparentingPropagatesFullNamesAndAncestorsOnFlush) {
  w->removeLogicalChild(b);
  m->addLogicalChild(b);
  EXPECT_EQ(p->getLogicalAncestorsCount(), 4);  // R, W, B, F: stale until the flush
  b->flushLogicalState();
  EXPECT_EQ(fullName(p), L"/W/M/B/F/P");
  KVRSharedList<KVRBasicEntity> ancestors;
  p->getLogicalAncestors(ancestors);
  EXPECT_EQ(names(ancestors), (std::vector<std::wstring>{L"R", L"W", L"M", L"B", L"F"}));
  KVRSharedVector<KVRBasicEntity> children;
  m->getLogicalChildren(children);
  EXPECT_EQ(names(children), (std::vector<std::wstring>{L"N", L"B"}));
}

TEST_F(LogicalTree, RenamingDoesNotRebuildTheDescendantsAncestorLists) {
  f->flushLogicalState();
  b->setEntityName(L"Renamed");
  b->flushLogicalState();
  EXPECT_EQ(pending(*p), std::vector<int>{});
  // A flush that only propagated full names never set bit 5 on the way.
  struct Bits : KVRNotificationAgent {
    std::bitset<64> all;
    void onEvent(const KVRSharedConstPointer<KVRBasicEntity>&, const std::bitset<64>& mask) { all |= mask; }
  };
  KVRSharedHandle<Bits> bits(new Bits);
  p->addSubscriber(KVRMakeEventFunctor(bits.get(), &Bits::onEvent), std::bitset<64>().set(), -1);
  b->setEntityName(L"Again");
  b->flushLogicalState();
  EXPECT_TRUE(bits->all.test(3));
  EXPECT_FALSE(bits->all.test(5));
}

TEST_F(LogicalTree, PrimitiveStepsKeepTheSameRules) {
  auto x = make(L"X");
  KVRSharedList<KVRBasicEntity> ancestors{r};
  x->setLogicalParent(w, w->getStoredFullName(), ancestors);
  EXPECT_EQ(x->getStoredFullName(), L"\nR\nW\nX");
  EXPECT_EQ(x->getLogicalAncestorsCount(), 2);
  EXPECT_THROW(x->setLogicalParent(w, w->getStoredFullName(), ancestors), KVREAlreadyRegistered);
  w->setLogicalChild(x);
  EXPECT_TRUE(w->hasLogicalChild(x));
  w->clearLogicalChild(w->findLogicalChild(x));
  x->clearLogicalParent();
  EXPECT_FALSE(w->hasLogicalChild(x));
  EXPECT_EQ(x->getStoredFullName(), L"\nX");
}

}  // namespace
