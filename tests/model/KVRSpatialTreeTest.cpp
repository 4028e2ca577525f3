// The spatial tree: links, order, class filters, refusals, unlinking, and chains far deeper than any stack
// (every walk of the trees runs in a loop).

#include <cstdlib>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Handle3D = KVRSharedHandle<Probe3D>;
using Names = std::vector<std::wstring>;
using Frame = KVRSharedHandle<KVRBasicFrame3D>;

// The scene:   N
//              ├─ C1
//              │   ├─ C11
//              │   └─ C12 (Marker) ── C121 (Marker)
//              └─ C2
//                  └─ C21 (Marker)
class SpatialTree : public testing::Test {
 protected:
  void SetUp() override {
    n->addSpatialChild(c1);
    n->addSpatialChild(c2);
    c1->addSpatialChild(c11);
    c1->addSpatialChild(c12);
    c12->addSpatialChild(c121);
    c2->addSpatialChild(c21);
    n->flushSpatialState();
  }
  void TearDown() override { orphan(n, c1, c2, c11, c12, c121, c21); }
  Handle3D n = make<Probe3D>(L"N"), c1 = make<Probe3D>(L"C1"), c2 = make<Probe3D>(L"C2"),
           c11 = make<Probe3D>(L"C11");
  Handle3D c12 = make<Marker3D>(L"C12"), c121 = make<Marker3D>(L"C121"), c21 = make<Marker3D>(L"C21");
};

TEST_F(SpatialTree, DescendantsComeChildrenFirstThenChildByChildAncestorsRootFirstTheTwoTreesAreIndependent) {
  KVRSharedVector<KVRBasicEntity3D> vector{c21};  // appended to, not replaced
  n->getSpatialDescendants(vector);
  EXPECT_EQ(names(vector), (Names{L"C21", L"C1", L"C2", L"C11", L"C12", L"C121", L"C21"}));
  EXPECT_EQ(n->getSpatialDescendantsCount(), 6);
  EXPECT_EQ(c1->getSpatialDescendant(Marker3D::ClassInfo_), c12);
  EXPECT_TRUE(c11->getSpatialDescendant(Probe3D::ClassInfo_).isNull());
  EXPECT_FALSE(n->hasSpatialDescendant(n) || c2->hasSpatialDescendant(c121));
  KVRSharedList<KVRBasicEntity3D> ancestors;
  c121->getSpatialAncestors(ancestors);
  EXPECT_EQ(names(ancestors), (Names{L"N", L"C1", L"C12"}));
  EXPECT_EQ(c121->getSpatialAncestor(Marker3D::ClassInfo_), c12);  // the one nearest the root
  KVRSharedVector<KVRBasicEntity3D> markers{n};                    // replaced, not appended to
  c1->getSpatialChildren(Marker3D::ClassInfo_, markers);
  EXPECT_EQ(names(markers), Names{L"C12"});
  // Searched depth first: with C12 replaced by a plain probe, C121 comes before C21.
  auto plain = make<Probe3D>(L"Plain");
  c12->removeSpatialChild(c121);
  c1->replaceSpatialChild(c12, plain);
  plain->addSpatialChild(c121);
  EXPECT_EQ(n->getSpatialDescendant(Marker3D::ClassInfo_), c121);
  plain->orphanObject();
  // The two trees are independent.
  auto world = make(L"W");
  world->addLogicalChild(c11);
  c1->removeSpatialChild(c11);
  EXPECT_EQ(c11->getLogicalParent(), world);
  c1->addSpatialChild(c11);
  world->removeLogicalChild(c11);
  EXPECT_EQ(c11->getSpatialParent(), c1);
  world->orphanObject();
}

TEST_F(SpatialTree, RefusalsChangeNothing) {
  expectThrowWithText<KVREAlreadyRegistered>([&] { c2->addSpatialChild(c11); },
                                             L"Entity \"/\" has already been assigned a spatial parent");
  EXPECT_THROW(c11->addSpatialParent(c2), KVREAlreadyRegistered);
  EXPECT_EQ(c11->getSpatialParent(), c1);
  expectThrowWithText<KVRENotFound>([&] { c2->removeSpatialChild(c11); },
                                    L"Entity \"/\" is not a spatial child of Entity \"/\"");
  const KVRSharedHandle<KVRBasicEntity3D> none;
  EXPECT_THROW(c2->addSpatialChild(none), KVREInvalidArgument);
  EXPECT_THROW(c2->removeSpatialChild(none), KVREInvalidArgument);
  EXPECT_THROW(c2->addSpatialParent(none), KVREInvalidArgument);
  EXPECT_EQ(c2->getSpatialChildrenCount(), 1);
  c1->removeSpatialChild(c12);  // C12 is a root again, with C121 below
  expectThrowWithText<KVREInvalidRelation>(
      [&] { c121->addSpatialChild(c12); },
      L"Entity \"/\" cannot become a spatial child of Entity \"/\", which lies in its own subtree");
  EXPECT_THROW(c12->addSpatialChild(c12), KVREInvalidRelation);
  EXPECT_THROW(c12->addSpatialParent(c121), KVREInvalidRelation);
  EXPECT_TRUE(!c12->hasSpatialParent() && c121->getSpatialChildrenCount() == 0);
  // Replace checks the new child before removing the old one.
  c1->addSpatialChild(c12);
  EXPECT_THROW(c1->replaceSpatialChild(c11, c21), KVREAlreadyRegistered);
  EXPECT_TRUE(c11->getSpatialParent() == c1 && c21->getSpatialParent() == c2);
  EXPECT_THROW(c1->replaceSpatialChild(c2, c21), KVRENotFound);
  auto fresh = make<Probe3D>(L"Fresh");
  c1->replaceSpatialChild(c11, fresh);
  KVRSharedVector<KVRBasicEntity3D> children;
  c1->getSpatialChildren(children);
  EXPECT_EQ(names(children), (Names{L"C12", L"Fresh"}));
  EXPECT_FALSE(c11->hasSpatialParent());
  fresh->orphanObject();
}

TEST_F(SpatialTree, UnlinkingKeepsTheChildsPlaceAndNeverOrphansIt) {
  auto loose = make<Probe3D>(L"Loose");
  loose->addSpatialParent(c21);
  EXPECT_TRUE(loose->getSpatialParent() == c21 && c21->hasSpatialChild(loose));
  for (int k = 0; k < 2; ++k) loose->removeSpatialParent();  // the second time without a parent: nothing
  EXPECT_FALSE(c21->hasSpatialChild(loose));
  c11->relative = pose(0.3, 1, 2, 3);
  place(n, pose(0.7, -1, 0, 4));
  n->flushSpatialState();
  const auto before = c11->getBaseLocation();
  c1->removeSpatialChild(c11);
  EXPECT_XFORM_NEAR(c11->getBaseLocation(), before);
  EXPECT_EQ(c11->getSpatialAncestorsCount(), 0);
  EXPECT_EQ(pending(*c11), (std::vector<int>{9, 11}));
  flushSpatial(c1, c11);
  c1->addSpatialChild(c11);  // linking sets 9 and 11 on the child only
  EXPECT_EQ(pending(*c11), (std::vector<int>{9, 11}));
  EXPECT_TRUE(c1->getPendingEvents().none());
  // Orphaning, removing and destroying detach but never orphan the children.
  c2->orphanObject();
  EXPECT_FALSE(n->hasSpatialChild(c2) || c21->hasSpatialParent() || c21->isOrphaned());
  c1->removeSpatialChildren(Marker3D::ClassInfo_);
  KVRSharedVector<KVRBasicEntity3D> left;
  c1->getSpatialChildren(left);
  EXPECT_EQ(names(left), Names{L"C11"});
  c12->removeSpatialChildren();
  EXPECT_FALSE(c121->hasSpatialParent());
  flushSpatial(n, c1);
  n->destroySpatialChildren();  // one level only, without location events
  EXPECT_TRUE(n->getSpatialChildrenCount() == 0 && !c1->isOrphaned() && c1->getSpatialChildrenCount() == 1);
  // Bit 9 stays, so that the next flush drops N from the ancestor lists below.
  EXPECT_EQ(pending(*c1), std::vector<int>{9});
  EXPECT_TRUE(c11->hasSpatialAncestor(n));
  c1->flushSpatialState();
  EXPECT_FALSE(c11->hasSpatialAncestor(n));
  EXPECT_TRUE(isSound(n) && isSound(c1));
}

// A chain built bottom-up in both trees, flushed once: no level repeats the
// walk below it, and C30, moved before the flush, still marks those below it.
TEST(FirstFlush, AChainBuiltBottomUpIsFlushedInOnePassPerKindOfChange) {
  constexpr int depth = 60;
  const Frame root = make<KVRBasicFrame3D>(L"R");
  std::vector<Frame> c;
  for (int k = 0; k < depth; ++k) {
    c.push_back(make<KVRBasicFrame3D>(L"C" + std::to_wstring(k)));
    KVRBasicXform3D<double> X_PC = at(k, 1, 0, 7.0 * k);
    c.back()->setRelativeLocation(X_PC);
  }
  const auto hang = [](const Frame& parent, const Frame& child) {
    parent->addLogicalChild(child);
    parent->addSpatialChild(child);
  };
  for (int k = depth - 1; k > 0; --k) hang(c[k - 1], c[k]);
  KVRBasicXform3D<double> moved = at(5, 5, 5);
  c[30]->setRelativeLocation(moved);
  c[30]->updateRelativeLocation(moved);  // C30 moved: bits 10 and 11
  hang(root, c[0]);
  EventLog log;
  for (const Frame& e : c) log.watch(e);
  root->flushBaseLocation();                                  // hands the root's place down without marking
  KVRBasicXform3D<double> X_WC;                               // the root stands at the origin
  std::map<std::wstring, std::pair<std::size_t, bool>> seen;  // publications; whether one held bit 12
  for (const auto& [name, bits] : log.seen)
    seen[name] = {seen[name].first + 1, seen[name].second || std::count(bits.begin(), bits.end(), 12)};
  for (int k = 0; k < depth; ++k) {
    SCOPED_TRACE(k);
    X_WC = X_WC * (k == 30 ? at(5, 5, 5) : at(k, 1, 0, 7.0 * k));
    EXPECT_XFORM_NEAR(c[k]->getBaseLocation(), X_WC);
    const auto [published, marked] = seen[L"C" + std::to_wstring(k)];
    EXPECT_TRUE(published <= 4 && marked == (k > 30));  // whatever the depth
    KVRSharedVector<KVRBasicEntity3D> ancestors;
    c[k]->getSpatialAncestors(ancestors);
    ASSERT_EQ(ancestors.size(), static_cast<std::size_t>(k + 1));
    EXPECT_TRUE(ancestors.front() == root &&
                ancestors.back() == (k ? KVRSharedHandle<KVRBasicEntity3D>(c[k - 1]) : root));
  }
  // Full names start below the root, which stands for the universe here.
  EXPECT_EQ(fullName(c[depth - 1]).size(), 10 * 3 + 50 * 4u);
  EXPECT_EQ(fullName(c[depth - 1]).substr(0, 12), L"/C0/C1/C2/C3");
  EXPECT_TRUE(isSound(root));
  orphan(root);
}


// The sanitizers' shadow memory makes a million entities too large a test there.
#if defined(__SANITIZE_ADDRESS__)
constexpr int Depth = 100000;
#else
constexpr int Depth = 1000000;
#endif

TEST(DeepTree, AChainOfAMillionIsBuiltMovedFlushedRenamedCopiedCheckedAndOrphaned) {
  const char* given = std::getenv("KVR_DEEP_TREE_DEPTH");  // to try a depth by hand
  const int n = given ? std::atoi(given) : Depth;
  std::vector<Frame> chain;
  chain.reserve(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    chain.push_back(make<KVRBasicFrame3D>(L"F"));
    KVRBasicXform3D<double> X_PC = at(1, 0, 0);
    chain.back()->setRelativeLocation(X_PC);
    if (k > 0) chain[k - 1]->addLogicalChild(chain[k]);
    if (k > 0) chain[k - 1]->addSpatialChild(chain[k]);
  }
  const Frame &root = chain.front(), &leaf = chain.back();
  place(root, at(0, 0, 7));
  root->flushSpatialState();
  EXPECT_XFORM_NEAR(leaf->getBaseLocation(), at(n - 1, 0, 7));
  EXPECT_EQ(leaf->getSpatialAncestorsCount(), n - 1);
  place(root, at(0, 1, 0));
  root->flushSpatialState();
  EXPECT_XFORM_NEAR(leaf->getBaseLocation(), at(n - 1, 1, 0));
  EXPECT_XFORM_NEAR(leaf->computeBaseLocation(), at(n - 1, 1, 0));
  EXPECT_EQ(root->getSpatialDescendantsCount(), n - 1);
  EXPECT_TRUE(root->hasSpatialDescendant(KVRSharedHandle<KVRBasicEntity3D>(leaf)));
  chain[1]->setEntityName(L"G");
  chain[1]->flushLogicalState();
  EXPECT_EQ(fullName(leaf).substr(0, 6), L"/G/F/F");
  const Frame copy(static_cast<KVRBasicFrame3D*>(root->duplicateObject(KVRBasicEntity::CopyDeep)));
  int copied = 1;
  for (KVRSharedHandle<KVRBasicEntity> e = copy; e->getLogicalChildrenCount(); ++copied) {
    KVRSharedVector<KVRBasicEntity> children;
    e->getLogicalChildren(children);
    e = children.front();
  }
  EXPECT_EQ(copied, n);
  EXPECT_TRUE(isSound(root));
  chain[n / 2]->orphanObject();
  EXPECT_TRUE(leaf->isOrphaned() && !chain[n / 2 - 1]->isOrphaned());
  orphan(root, copy);
}

}  // namespace
