// Bodies and what they own: frames, tag points and paths in both trees, inner bodies, locations, copies.

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
  b->flushSpatialState();
  b->removeFrames();  // none left: a bulk removal sets its bit all the same
  b->removeTagPoints();
  b->destroyPaths();
  EXPECT_EQ(pending(*b), (std::vector<int>{16, 17, 18}));
  EXPECT_TRUE(!t->hasLogicalParent() && !t->hasSpatialParent() && !t->isOrphaned() && p->isOrphaned());
  EXPECT_EQ(b->getLogicalChildrenCount() + b->getSpatialChildrenCount(), 0);
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

// B hung on a carrier at X_CB through an attachment, so that it can move.
TEST_F(Bodies, FrameAndPointLocationsAndProfilesFollowTheBody) {
  const Xform X_CB = pose(0.7, 1, 2, 3);
  auto carrier = make<KVRBasicBody3D>(L"Carrier");
  w->addEntity(carrier);
  carrier->attachBody(b, X_CB);
  flushSpatial(b, f, t);
  const Xform y = pose(0.9, 1, 0, 0), X_WB = pose(1.2, 4, 0, 0);
  Xform request = pose(-0.4, 0, 1, 0);
  EXPECT_EQ(f->setRelativeLocation(request), 2);
  EXPECT_EQ(pending(*f), std::vector<int>{16});
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_CB);  // recomputed at the flush only
  f->flushSpatialState();
  request = y;
  EXPECT_EQ(f->setFrameLocation(request), 2);  // recomputed at once
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_CB * y);
  EXPECT_EQ(pending(*f), (std::vector<int>{10, 11, 16}));
  EXPECT_EQ(place(b, X_WB), 2);  // through its attachment
  b->flushSpatialState();
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_WB * y);
  EXPECT_XFORM_NEAR(t->getBaseLocation(), X_WB);
  EXPECT_EQ(t->getAttachedBody(), b);
  // Profiles keep the location and drop the motion.
  KVRBasicProfile3D<double> profile, expected;
  expected.setLocation(pose(0.2, 1, 1, 1));
  profile = expected;
  profile.setLinearVelocity(KVRBasicVector3D<double>(1, 0, 0));
  KVRBasicProfile3D<double> forPoint = profile;
  EXPECT_EQ(f->setRelativeProfile(profile), 1);  // a frame reports the modified form
  EXPECT_EQ(t->setRelativeProfile(forPoint), 2);
  EXPECT_TRUE(profile == expected && forPoint == expected && f->getRelativeProfile() == expected);
}

// Timing sets no bit and copies keep it; the lock refuses ordinary requests
// but not profiles; a point on a path has no attached body.
TEST(TagPoints, TimingTheLockAndAPointOnAPath) {
  auto t = make<KVRBasicTagPoint3D>(L"T");
  t->setVelocity(2.5);
  EXPECT_EQ(t->getTimingMode(), KVRBasicTagPoint3D::VelocityTiming);
  EXPECT_EQ(pending(*t), (std::vector<int>{2, 3}));  // the naming bits only
  KVRSharedHandle<KVRBasicTagPoint3D> copy(new KVRBasicTagPoint3D(*t));
  EXPECT_EQ(copy->getVelocity(), 2.5);
  t->setDuration(KVRSimTime(1.25));
  EXPECT_EQ(t->getTimingMode(), KVRBasicTagPoint3D::DurationTiming);
  t->flushSpatialState();
  t->lockRelativeLocation();
  Xform x = pose(0.5, 1, 0, 0);
  EXPECT_EQ(t->setRelativeLocation(x) + t->setTagPointLocation(x) + t->setBaseLocation(x), 0);
  EXPECT_XFORM_NEAR(t->getPointLocation(), Xform::Identity);
  EXPECT_EQ(pending(*t), std::vector<int>{});
  KVRBasicProfile3D<double> profile;
  profile.setLocation(x);
  EXPECT_EQ(t->setRelativeProfile(profile), 2);
  EXPECT_XFORM_NEAR(t->getPointLocation(), x);
  EXPECT_EQ(pending(*t), std::vector<int>{16});
  t->unlockRelativeLocation();
  EXPECT_EQ(t->setTagPointLocation(x), 2);
  EXPECT_XFORM_NEAR(t->getBaseLocation(), x);
  auto path = make<KVRBasicPath3D>(L"Route");
  path->addTagPoint(t);
  expectThrowWithText<KVREInvalidCast>([&] { (void)t->getAttachedBody(); },
                                       L"The source and target handles have incompatible referent types");
  path->orphanObject();
}

}  // namespace
