// A chain far deeper than any stack: every walk of the trees runs in a loop.

#include <cstdlib>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Frame = KVRSharedHandle<KVRBasicFrame3D>;

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
