// Bodies: the owned frames, tag points and paths in both trees, inner and
// outer bodies, location requests through the inner connection, duplication
// and destruction.

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

TEST_F(Bodies, OwnedObjectsLiveInBothTreesUntilRemovedOrDestroyed) {
  EXPECT_EQ(title(f), L"Frame \"/W/B/F\"");
  EXPECT_EQ(b->getOuterBodyCount(), 0);  // a frame is no outer body
  KVRSharedVector<KVRBasicFrame3D> frames{make<KVRBasicFrame3D>(L"Stale")};
  b->getFrames(frames);  // replaced
  EXPECT_EQ(names(frames), std::vector<std::wstring>{L"F"});

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

TEST_F(Bodies, AddingAnObjectOwnedElsewhereIsRefusedAndChangesNothing) {
  auto other = make<KVRBasicBody3D>(L"Other");
  EXPECT_THROW(other->addFrame(f), KVREAlreadyRegistered);
  // Spatially linked but without a logical parent: refused before the logical link is made.
  b->removeLogicalChild(f);
  expectThrowWithText<KVREAlreadyRegistered>([&] { other->addFrame(f); },
                                             L"Frame \"/\" has already been assigned a spatial parent");
  EXPECT_EQ(other->getLogicalChildrenCount(), 0);
  EXPECT_THROW(other->removeFrame(f), KVRENotFound);
  EXPECT_THROW(b->addFrame(KVRSharedHandle<KVRBasicFrame3D>()), KVREInvalidArgument);
  other->orphanObject();
}

TEST_F(Bodies, AFreeBodyRefusesLocationRequestsAndInnerBodyLinksSetTheirBits) {
  const Xform asked = pose(0.5, 1, 2, 3);
  Xform request = asked;
  EXPECT_EQ(b->setRelativeLocation(request), 0);
  EXPECT_EQ(b->setBaseLocation(request), 0);
  EXPECT_XFORM_NEAR(request, asked);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), Xform::Identity);
  KVRBasicProfile3D<double> profile;
  EXPECT_EQ(b->setRelativeProfile(profile), 0);
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
  connection->orphanObject();
  inner->orphanObject();

  // A spatial parent that is not a body cannot be read as the inner body.
  auto plain = make<Probe3D>(L"Plain");
  plain->addSpatialChild(b);
  EXPECT_THROW((void)b->getInnerBody(), KVREInvalidCast);
  plain->orphanObject();
}

TEST_F(Bodies, DuplicatingInADeepModeReparentsTheCopiedObjectsSpatially) {
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
}

TEST_F(Bodies, ARefusedAddChangesNeitherTheMembersNameNorItsBits) {
  // A copy of F, standing spatially above B: adding it to B would close a spatial cycle.
  auto copy = KVRDuplicate(f, KVRDynamicObject::CopyAlone);
  EXPECT_EQ(fullName(copy), L"/");  // a root, wherever its source stands
  copy->addSpatialChild(b);
  copy->flushLogicalState();
  copy->flushSpatialState();
  const std::wstring before = copy->getStoredFullName();
  EXPECT_THROW(b->addFrame(copy), KVREInvalidRelation);
  EXPECT_EQ(copy->getStoredFullName(), before);
  EXPECT_TRUE(copy->getPendingEvents().none()) << testing::PrintToString(pending(*copy));
  EXPECT_FALSE(copy->hasLogicalParent() || b->hasFrame(copy));
  EXPECT_TRUE(isSound(copy));
  copy->orphanObject();
}

TEST_F(Bodies, DestroyingAHangingBodyLeavesItsInnerBodyOneOuterBodyFewer) {
  auto carrier = make<KVRBasicBody3D>(L"Carrier");
  auto carried = make<KVRBasicBody3D>(L"Carried");
  w->addEntity(carrier);
  carrier->attachBody(b);
  b->attachBody(carried);
  w->destroyEntity(b);
  EXPECT_EQ(carrier->getOuterBodyCount(), 0);
  EXPECT_TRUE(f->isOrphaned());                                        // its own objects go with it
  EXPECT_FALSE(carried->isOrphaned() || carried->hasSpatialParent());  // bodies hanging on it are let go
  EXPECT_FALSE(carried->hasInnerConnection() || carried->isAttached());
  EXPECT_TRUE(isSound(w) && isSound(carried));
  carried->orphanObject();
}

}  // namespace
