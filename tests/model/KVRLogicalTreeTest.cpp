// The logical tree: links, queries, refusals, names and ancestors on flush; names of every character; copies.

#include <algorithm>
#include <random>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Names = std::vector<std::wstring>;

// The scene:   R
//              └─ W
//                 ├─ B ── F ── P
//                 └─ M (Marker3D) ── N (Marker3D)
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
  void TearDown() override { orphan(r, w, b, f, p, m, n); }
  KVRSharedHandle<KVRBasicEntity> r = make(L"R"), w = make(L"W"), b = make(L"B"), f = make(L"F"),
                                  p = make(L"P");
  KVRSharedHandle<KVRBasicEntity> m = make<Marker3D>(L"M"), n = make<Marker3D>(L"N");
};

TEST_F(LogicalTree, AddingSetsTheChildsBitsOnlyQueriesKeepChildOrderRemovingUnlinksBothWays) {
  auto x = make(L"X"), twin = make(L"B");
  x->flushLogicalState();
  w->addLogicalChild(x);
  EXPECT_TRUE(x->getLogicalParent() == w && w->hasLogicalChild(x));
  KVRSharedVector<KVRBasicEntity> ancestors;
  x->getLogicalAncestors(ancestors);
  EXPECT_EQ(ancestors, (KVRSharedVector<KVRBasicEntity>{r, w}));
  EXPECT_EQ(pending(*x), (std::vector<int>{3, 5}));
  EXPECT_TRUE(w->getPendingEvents().none());
  w->addLogicalChild(twin);
  EXPECT_EQ(w->getLogicalChild(L"B"), b);    // the first added
  KVRSharedList<KVRBasicEntity> markers{p};  // replaced, not appended to
  w->getLogicalChildren(Marker3D::ClassInfo_, markers);
  EXPECT_EQ(names(markers), Names{L"M"});
  EXPECT_EQ(w->getLogicalChildrenCount(Marker3D::ClassInfo_), 1);
  // The ancestor of a class is the one nearest the root.
  auto leaf = make(L"Leaf");
  n->addLogicalChild(leaf);
  EXPECT_EQ(leaf->getLogicalAncestor(Marker3D::ClassInfo_), m);  // not N
  EXPECT_EQ(p->getLogicalAncestor(KVRBasicEntity::ClassInfo_), r);
  EXPECT_TRUE(p->getLogicalAncestor(Marker3D::ClassInfo_).isNull());
  w->removeLogicalChildren(Marker3D::ClassInfo_);
  KVRSharedVector<KVRBasicEntity> left;
  w->getLogicalChildren(left);
  EXPECT_EQ(names(left), (Names{L"B", L"X", L"B"}));
  EXPECT_FALSE(m->hasLogicalParent());
  for (int k = 0; k < 2; ++k) x->removeLogicalParent();  // the second time without a parent: nothing
  EXPECT_FALSE(w->hasLogicalChild(x));
  m->removeLogicalChildren();
  EXPECT_FALSE(n->hasLogicalParent());
  twin->orphanObject();
}

TEST_F(LogicalTree, RefusalsChangeNothingNamesAndAncestorsPropagateOnFlush) {
  expectThrowWithText<KVREAlreadyRegistered>([&] { m->addLogicalChild(b); },
                                             L"Entity \"/W/B\" has already been assigned a logical parent");
  EXPECT_TRUE(b->getLogicalParent() == w && m->getLogicalChildrenCount() == 1);
  expectThrowWithText<KVRENotFound>([&] { w->removeLogicalChild(p); },
                                    L"Entity \"/W/B/F/P\" is not a logical child of Entity \"/W\"");
  EXPECT_THROW(w->orphanLogicalChild(p), KVRENotFound);
  EXPECT_TRUE(p->getLogicalParent() == f && !p->isOrphaned());
  const KVRSharedHandle<KVRBasicEntity> none;
  expectThrowWithText<KVREInvalidArgument>([&] { w->addLogicalChild(none); },
                                           L"An empty handle was given as a logical child of Entity \"/W\"");
  EXPECT_THROW(w->removeLogicalChild(none), KVREInvalidArgument);
  EXPECT_THROW(w->orphanLogicalChild(none), KVREInvalidArgument);
  EXPECT_THROW(w->findLogicalChild(none), KVREInvalidArgument);
  EXPECT_TRUE(w->getLogicalChildrenCount() == 2 && !w->hasLogicalChild(none));
  expectThrowWithText<KVREInvalidRelation>(
      [&] { p->addLogicalChild(r); },
      L"Entity \"/\" cannot become a logical child of Entity \"/W/B/F/P\", which lies in its own subtree");
  expectThrowWithText<KVREInvalidRelation>(
      [&] { r->addLogicalChild(r); },
      L"Entity \"/\" cannot become a logical child of Entity \"/\", which lies in its own subtree");
  EXPECT_TRUE(!r->hasLogicalParent() && p->getLogicalChildrenCount() + r->getLogicalChildrenCount() == 1);
  // Renaming propagates on flush depth first in child order, after the children are updated; a removed child
  // becomes a root; a reparented one takes its new ancestors at the flush.
  KVRSharedHandle<EventLog> log(new EventLog);
  log->watch(w, b, f, p, m, n);
  w->setEntityName(L"Cell");
  EXPECT_EQ(fullName(w), L"/Cell");
  EXPECT_EQ(fullName(n), L"/W/M/N");  // not yet flushed
  w->flushLogicalState();
  // Depth first, children before their parent; no bit 5: the ancestor lists are not rebuilt.
  EXPECT_EQ(
      log->seen,
      (EventLog::Seen{{L"P", {3}}, {L"F", {3}}, {L"B", {3}}, {L"N", {3}}, {L"M", {3}}, {L"Cell", {2, 3}}}));
  EXPECT_EQ(fullName(n), L"/Cell/M/N");
  EXPECT_EQ(fullName(p), L"/Cell/B/F/P");
  EXPECT_TRUE(p->getPendingEvents().none());
  w->removeLogicalChild(b);
  EXPECT_EQ(fullName(b), L"/");
  b->flushLogicalState();
  EXPECT_EQ(fullName(p), L"/F/P");
  EXPECT_EQ(p->getLogicalAncestorsCount(), 2);
  m->addLogicalChild(b);
  EXPECT_EQ(p->getLogicalAncestorsCount(), 2);  // B, F: stale until the flush
  b->flushLogicalState();
  EXPECT_EQ(fullName(p), L"/Cell/M/B/F/P");
  KVRSharedList<KVRBasicEntity> ancestors;
  p->getLogicalAncestors(ancestors);
  EXPECT_EQ(names(ancestors), (Names{L"R", L"Cell", L"M", L"B", L"F"}));
  KVRSharedVector<KVRBasicEntity> children;
  m->getLogicalChildren(children);
  EXPECT_EQ(names(children), (Names{L"N", L"B"}));
}

// A parent of many children (searched through an index) goes through random
// adds, removals, orphanings and renames among few names, many equal; after
// each, every name and path finds the first child of that name in child order.
TEST(ChildrenByName, TheFirstOfEachNameIsFoundThroughEveryChange) {
  const KVRSharedHandle<KVRBasicEntity> root = make<KVRBasicEntity>(L"Root"),
                                        parent = make<KVRBasicEntity>(L"P");
  root->addLogicalChild(parent);
  const Names names{L"A", L"B", L"C", L"", L"Long name of a child"};  // "" gives the default name
  std::vector<KVRSharedHandle<KVRBasicEntity>> pool;
  for (int i = 0; i < 40; ++i) pool.push_back(make<KVRBasicEntity>(names[static_cast<std::size_t>(i) % 4]));
  std::mt19937 random(7);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const auto check = [&](int step) {
    KVRSharedVector<KVRBasicEntity> children;
    parent->getLogicalChildren(children);
    for (const std::wstring& asked : {std::wstring(L"A"), std::wstring(L"B"), std::wstring(L"C"),
                                      KVRBasicEntity::DefaultBaseName, names[4], std::wstring(L"none")}) {
      const auto first = std::find_if(children.begin(), children.end(),
                                      [&](const auto& c) { return c->getEntityName() == asked; });
      const KVRSharedHandle<KVRBasicEntity> expected = first == children.end() ? nullptr : *first;
      ASSERT_EQ(parent->getLogicalChild(asked), expected) << "step " << step << ", name " << asked;
      ASSERT_EQ(root->findEntity(L"P/" + asked), asked.empty() ? nullptr : expected) << "step " << step;
    }
  };
  for (int step = 0; step < 3000; ++step) {
    const KVRSharedHandle<KVRBasicEntity>& e = pool[pick(pool.size())];
    const std::size_t change = pick(4);
    if (change == 0 && !e->hasLogicalParent()) {
      parent->addLogicalChild(e);  // at the end
    } else if (change == 1 && e->getLogicalParent() == parent) {
      parent->removeLogicalChild(e);
    } else if (change == 2) {
      e->setEntityName(names[pick(names.size())]);
    } else if (change == 3 && e->getLogicalParent() == parent && pick(8) == 0) {
      e->orphanObject();  // a new entity takes its place in the pool
      pool[static_cast<std::size_t>(&e - pool.data())] = make<KVRBasicEntity>(names[pick(4)]);
    }
    check(step);
  }
  EXPECT_GE(parent->getLogicalChildrenCount(), 8);  // the index was in use
  root->orphanObject();
}


// An empty name gives the default; no character but the separator is refused;
// a rename sets bits 2 and 3 and replaces the whole last component. Names of
// one-byte characters are kept a byte each, others as given: both read back,
// compare, and make full names and copies' names unchanged.
TEST(EntityNames, DefaultsRenamingTheRefusedSeparatorAndEveryOtherCharacter) {
  auto w = makeWorld(L"W");
  auto e = make(L"");
  EXPECT_EQ(e->getEntityName(), L"New Entity");
  EXPECT_TRUE(fullName(e) == L"/" && e->getStoredFullName() == L"\nNew Entity");
  w->addEntity(e);
  w->flushLogicalState();
  e->setEntityName(L"Arm/1");
  EXPECT_EQ(e->getStoredFullName(), L"\nUniverse\nW\nArm/1");
  EXPECT_EQ(pending(*e), (std::vector<int>{2, 3}));
  e->flushLogicalState();
  expectThrowWithText<KVREInvalidArgument>([&] { e->setEntityName(L"Left\nRight"); },
                                           L"A line feed cannot be part of the name of Entity \"/W/Arm/1\"");
  EXPECT_TRUE(e->getEntityName() == L"Arm/1" && fullName(e) == L"/W/Arm/1");
  EXPECT_TRUE(e->getPendingEvents().none());

  const std::wstring latin = L"Gr\u00fc\u00dfe \u00ff\u0001";  // the last byte value, a control character
  const std::wstring wide = L"\u0100 \u041f\u0440\u0438\u0432\u043e\u0434 \U0001F916";
  auto a = make(latin), b = make(wide);
  w->addEntity(a);
  a->addLogicalChild(b);
  w->flushLogicalState();
  a->flushLogicalState();
  EXPECT_TRUE(a->getEntityName() == latin && b->getEntityName() == wide);
  EXPECT_EQ(fullName(b), L"/W/" + latin + L"/" + wide);
  EXPECT_TRUE(w->getLogicalChild(latin) == a && a->getLogicalChild(wide) == b);
  // Same length, differing only above one byte: no match.
  EXPECT_FALSE(w->getLogicalChild(L"Gr\u00fc\u00dfe \u01ff\u0001"));
  EXPECT_FALSE(a->getLogicalChild(L"\u0100 \u041f\u0440\u0438\u0432\u043e\u0434 \U0001F917"));
  const auto copy = KVRDuplicate(b);
  EXPECT_EQ(copy->getEntityName(), L"Copy of " + wide);
  EXPECT_TRUE(isSound(w));
  orphan(copy, w);
}

// An entity whose copy fails, to break a deep copy half-way.
class Uncopyable : public KVRBasicEntity {
 public:
  static const KVRClassInfo ClassInfo_;
  Uncopyable() = default;
  Uncopyable(const Uncopyable&, CopyMode) { throw std::runtime_error("no copies"); }
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
};
constinit const KVRClassInfo Uncopyable::ClassInfo_ =
    KVRClassInfo::concrete<Uncopyable>("Uncopyable", KVRBasicEntity::ClassInfo_);

// The scene: Arm ─┬─ Link1
//                 └─ Link2 ── Flange
// A copy is a root, typed like its source, until it is adopted; the deep
// modes copy the children in order with the prefix, the others none.
TEST(EntityDuplication, ACopyIsARootAndDeepModesCopyTheChildrenInOrder) {
  auto w = makeWorld(L"W");
  auto body = make<KVRBasicBody3D>(L"B");
  w->addEntity(body);
  w->flushLogicalState();
  KVRSharedHandle<KVRBasicBody3D> copy = KVRDuplicate(body);
  EXPECT_TRUE(title(copy) == L"Body \"/\"" && copy->getStoredFullName() == L"\nCopy of B");
  w->addEntity(copy);
  EXPECT_EQ(fullName(copy), L"/W/Copy of B");
  EXPECT_TRUE(KVRDuplicate(KVRSharedHandle<KVRBasicBody3D>()).isNull());
  EXPECT_TRUE(isSound(w));
  w->orphanObject();

  auto arm = make(L"Arm"), link2 = make(L"Link2");
  arm->setDescription(L"six axes");
  arm->addLogicalChild(make(L"Link1"));
  arm->addLogicalChild(link2);
  link2->addLogicalChild(make(L"Flange"));
  for (auto mode : {KVRDynamicObject::CopyDeep, KVRDynamicObject::CopyDeepAll}) {
    auto deep = duplicate(arm, mode);
    EXPECT_EQ(deep->getEntityName(), L"Copy of Arm");
    KVRSharedList<KVRBasicEntity> children;
    deep->getLogicalChildren(children);
    EXPECT_EQ(names(children), (Names{L"Copy of Link1", L"Copy of Link2"}));
    EXPECT_FALSE(children.back()->getLogicalChild(L"Copy of Flange").isNull());
    EXPECT_TRUE(deep->getUUID() != arm->getUUID() && deep->getDescription() == L"six axes");
    deep->orphanObject();
  }
  EXPECT_EQ(duplicate(arm, KVRDynamicObject::CopyAlone)->getLogicalChildrenCount(), 0);
  // The copy constructor copies no tree and none of the owned symbols.
  arm->addSymbol(new KVRSymbolBase);
  KVRSharedHandle<KVRBasicEntity> alone(new KVRBasicEntity(*arm, KVRDynamicObject::CopyDeep));
  EXPECT_EQ(alone->getLogicalChildrenCount() + alone->getSymbolCount(), 0);
  // Cloning an entity's own children appends one copy of each, once.
  link2->orphanObject();
  arm->cloneLogicalChildren(*arm, KVRDynamicObject::CopyDeep);
  KVRSharedVector<KVRBasicEntity> children;
  arm->getLogicalChildren(children);
  EXPECT_EQ(names(children), (Names{L"Link1", L"Copy of Link1"}));
  // A deep copy that fails half-way leaves the source as it was and, as
  // LeakSanitizer checks, nothing of the half-built copy behind.
  arm->addLogicalChild(make<Uncopyable>(L"Sealed"));
  EXPECT_THROW(arm->duplicateObject(KVRDynamicObject::CopyDeep), std::runtime_error);
  EXPECT_EQ(arm->getLogicalChildrenCount(), 3);
  arm->orphanObject();
}

}  // namespace
