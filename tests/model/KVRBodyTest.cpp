// Bodies: owned objects in both trees, inner bodies, location requests, copies.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

// The scene: world W holding body B with frame F, tag point T and path P.
class Bodies : public testing::Test {
 protected:
  void SetUp() override {
    w->addEntity(b);
    b->addFrame(f);
    b->addTagPoint(t);
    b->addPath(p);
    w->flushLogicalState();
    b->flushSpatialState();
  }
  void TearDown() override { w->orphanObject(); }
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body b = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicFrame3D> f = make<KVRBasicFrame3D>(L"F");
  KVRSharedHandle<KVRBasicTagPoint3D> t = make<KVRBasicTagPoint3D>(L"T");
  KVRSharedHandle<KVRBasicPath3D> p = make<KVRBasicPath3D>(L"P");
};

TEST_F(Bodies, OwnedObjectsLiveInBothTreesUntilRemovedOrDestroyedAndNowhereElse) {
  EXPECT_EQ(title(f), L"Frame \"/W/B/F\"");
  EXPECT_EQ(b->getOuterBodyCount(), 0);  // a frame is no outer body
  KVRSharedVector<KVRBasicFrame3D> frames{make<KVRBasicFrame3D>(L"Stale")};
  b->getFrames(frames);  // replaced
  EXPECT_EQ(names(frames), std::vector<std::wstring>{L"F"});
  // An object owned elsewhere is refused, even when linked spatially only.
  auto other = make<KVRBasicBody3D>(L"Other");
  EXPECT_THROW(other->addFrame(f), KVREAlreadyRegistered);
  b->removeLogicalChild(f);
  expectThrowWithText<KVREAlreadyRegistered>([&] { other->addFrame(f); },
                                             L"Frame \"/\" has already been assigned a spatial parent");
  EXPECT_EQ(other->getLogicalChildrenCount(), 0);
  EXPECT_THROW(other->removeFrame(f), KVRENotFound);
  EXPECT_THROW(b->addFrame(KVRSharedHandle<KVRBasicFrame3D>()), KVREInvalidArgument);
  other->orphanObject();
  b->addLogicalChild(f);
  b->removeFrame(f);
  EXPECT_FALSE(f->hasLogicalParent() || f->hasSpatialParent() || f->isOrphaned());
  b->destroyPoint(t);
  b->destroyPaths();
  EXPECT_TRUE(t->isOrphaned() && p->isOrphaned());
  EXPECT_EQ(b->getLogicalChildrenCount() + b->getSpatialChildrenCount(), 0);
}

TEST_F(Bodies, BulkRemovalSetsItsBitEvenWhenThereIsNothingToRemove) {
  b->removeFrames();
  b->removeFrames();
  EXPECT_TRUE(b->testEvent(KVRBasicBody3D::FramesRemoved));
  b->flushSpatialState();
  b->removeTagPoints();
  b->removePaths();
  EXPECT_EQ(pending(*b), (std::vector<int>{17, 18}));
  EXPECT_FALSE(t->hasLogicalParent() || p->hasSpatialParent());
  b->flushSpatialState();
  b->destroyPoints();
  EXPECT_EQ(pending(*b), std::vector<int>{17});
}

TEST_F(Bodies, AFreeBodyRefusesLocationRequestsAndInnerBodyLinksSetTheirBits) {
  const Xform asked = pose(0.5, 1, 2, 3);
  Xform request = asked;
  KVRBasicProfile3D<double> profile;
  EXPECT_EQ(b->setRelativeLocation(request) + b->setBaseLocation(request) + b->setRelativeProfile(profile),
            0);
  EXPECT_XFORM_NEAR(request, asked);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), Xform::Identity);
  EXPECT_EQ(pending(*b), std::vector<int>{});
  // Inner body links and their bits.
  auto inner = make<KVRBasicBody3D>(L"Inner");
  KVRSharedHandle<KVRBasicAttachment3D> connection(new KVRBasicAttachment3D);
  connection->connectBodies(inner, b, Xform::Identity, Xform::Identity);
  inner->flushSpatialState();
  b->setInnerBody(inner, connection);
  EXPECT_TRUE(inner->hasOuterBody(b));
  EXPECT_EQ(pending(*b), (std::vector<int>{9, 11, 19, 20, 21}));
  expectThrowWithText<KVREAlreadyRegistered>([&] { b->setInnerBody(make<KVRBasicBody3D>(L"X"), connection); },
                                             L"Body \"/W/B\" is already connected to another body");
  b->flushSpatialState();
  b->setTransientState(4);
  b->clearInnerBody();
  EXPECT_FALSE(b->hasInnerConnection() || b->getTransientState() != 0 || inner->hasOuterBody(b));
  EXPECT_EQ(pending(*b), (std::vector<int>{9, 11, 19, 20, 22}));
  EXPECT_EQ(pending(*inner), std::vector<int>{24});
  orphan(connection, inner);
  // A spatial parent that is not a body cannot be read as the inner body.
  auto plain = make<Probe3D>(L"Plain");
  plain->addSpatialChild(b);
  EXPECT_THROW((void)b->getInnerBody(), KVREInvalidCast);
  plain->orphanObject();
}

TEST_F(Bodies, CopiesAreRootsDeepModesReparentTheCopiedObjectsARefusedAddChangesNothing) {
  Xform offset = pose(0.3, 0, 0, 2);
  f->setFrameLocation(offset);
  Body copy = duplicate(b, KVRDynamicObject::CopyDeepAll);
  KVRSharedVector<KVRBasicFrame3D> frames;
  copy->getFrames(frames);
  ASSERT_EQ(names(frames), std::vector<std::wstring>{L"Copy of F"});
  EXPECT_EQ(frames[0]->getSpatialParent(), copy);
  EXPECT_XFORM_NEAR(frames[0]->getFrameLocation(), offset);
  EXPECT_EQ(copy->getTagPointCount() + copy->getPathCount(), 2);
  copy->orphanObject();
  // A copy of F, standing spatially above B: adding it to B would close a spatial cycle.
  auto above = KVRDuplicate(f, KVRDynamicObject::CopyAlone);
  EXPECT_EQ(fullName(above), L"/");  // a root, wherever its source stands
  above->addSpatialChild(b);
  above->flushLogicalState();
  above->flushSpatialState();
  const std::wstring before = above->getStoredFullName();
  EXPECT_THROW(b->addFrame(above), KVREInvalidRelation);
  EXPECT_EQ(above->getStoredFullName(), before);
  EXPECT_EQ(pending(*above), std::vector<int>{});
  EXPECT_FALSE(above->hasLogicalParent() || b->hasFrame(above));
  EXPECT_TRUE(isSound(above));
  above->orphanObject();
}

}  // namespace
