// Frames and tag points: their relative locations, the two ways of setting
// them, timing data and the lock.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

// The scene: a body B hanging on a carrier through an attachment at X_CB,
// so that B can move; frame F and tag point T on B.
class FramesAndPoints : public testing::Test {
 protected:
  void SetUp() override {
    carrier->attachBody(b, X_CB);
    b->addFrame(f);
    b->addTagPoint(t);
    b->flushSpatialState();
    f->flushSpatialState();
    t->flushSpatialState();
  }
  void TearDown() override {
    b->orphanObject();
    carrier->orphanObject();
  }

  const Xform X_CB = pose(0.7, 1, 2, 3);
  KVRSharedHandle<KVRBasicBody3D> carrier = make<KVRBasicBody3D>(L"Carrier"), b = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicFrame3D> f = make<KVRBasicFrame3D>(L"F");
  KVRSharedHandle<KVRBasicTagPoint3D> t = make<KVRBasicTagPoint3D>(L"T");
};

TEST_F(FramesAndPoints, SetRelativeLocationRecordsAndRaisesSixteenButLeavesTheCache) {
  EXPECT_XFORM_NEAR(f->getFrameLocation(), Xform::Identity);
  const Xform x = pose(-0.4, 0, 1, 0);
  Xform request = x;
  EXPECT_EQ(f->setRelativeLocation(request), 2);
  EXPECT_XFORM_NEAR(f->getFrameLocation(), x);
  EXPECT_EQ(pending(*f), std::vector<int>{16});
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_CB);  // not recomputed yet
}

TEST_F(FramesAndPoints, SetFrameLocationAlsoRecomputesTheBaseLocationAtOnce) {
  const Xform x = pose(-0.4, 0, 1, 0);
  Xform request = x;
  EXPECT_EQ(f->setFrameLocation(request), 2);
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_CB * x);
  EXPECT_EQ(pending(*f), (std::vector<int>{10, 11, 16}));

  auto loose = make<KVRBasicFrame3D>(L"Loose");
  Xform again = x;
  EXPECT_EQ(loose->setFrameLocation(again), 2);  // under no body it still stores
  EXPECT_XFORM_NEAR(loose->getFrameLocation(), x);
}

TEST_F(FramesAndPoints, ProfilesKeepTheLocationAndDropTheMotion) {
  KVRBasicProfile3D<double> profile;
  profile.setLocation(pose(0.2, 1, 1, 1));
  profile.setLinearVelocity(KVRBasicVector3D<double>(1, 0, 0));
  profile.setAngularAcceleration(KVRBasicVector3D<double>(0, 0, 3));
  KVRBasicProfile3D<double> forPoint = profile;
  EXPECT_EQ(f->setRelativeProfile(profile), 1);  // a frame reports the modified form
  EXPECT_EQ(t->setRelativeProfile(forPoint), 2);
  for (const auto* p : {&profile, &forPoint}) {
    EXPECT_EQ(p->getLinearVelocity(), KVRBasicVector3D<double>::Zero);
    EXPECT_EQ(p->getAngularAcceleration(), KVRBasicVector3D<double>::Zero);
    EXPECT_XFORM_NEAR(p->getLocation(), pose(0.2, 1, 1, 1));
  }
  EXPECT_XFORM_NEAR(f->getRelativeProfile().getLocation(), pose(0.2, 1, 1, 1));
  EXPECT_EQ(f->getRelativeProfile().getLinearVelocity(), KVRBasicVector3D<double>::Zero);
}

TEST_F(FramesAndPoints, FramesAndPointsFollowTheirBodyAtTheFlush) {
  const Xform X_BF = pose(0.3, 0, 0, 1);
  Xform offset = X_BF;
  f->setFrameLocation(offset);
  const Xform X_WB = pose(1.2, 4, 0, 0);
  Xform move = X_WB;
  EXPECT_EQ(b->setBaseLocation(move), 2);  // through its attachment
  b->flushSpatialState();
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_WB * X_BF);
  EXPECT_XFORM_NEAR(t->getBaseLocation(), X_WB);
}

TEST_F(FramesAndPoints, TheAttachedBodyIsTheSpatialParent) {
  EXPECT_EQ(f->getAttachedBody(), b);
  EXPECT_EQ(t->getAttachedBody(), b);
  EXPECT_TRUE(make<KVRBasicFrame3D>(L"Free")->getAttachedBody().isNull());
  auto path = make<KVRBasicPath3D>(L"Route");
  auto onPath = make<KVRBasicTagPoint3D>(L"P1");
  path->addTagPoint(onPath);
  expectThrowWithText<KVREInvalidCast>([&] { (void)onPath->getAttachedBody(); },
                                       L"The source and target handles have incompatible referent types");
  path->orphanObject();
}

TEST_F(FramesAndPoints, CopiesKeepTheOwnData) {
  Xform x = pose(0.9, 3, 2, 1);
  f->setRelativeLocation(x);
  t->setRelativeLocation(x);
  t->setVelocity(2.5);
  t->lockRelativeLocation();
  KVRSharedHandle<KVRBasicFrame3D> frameCopy(new KVRBasicFrame3D(*f));
  KVRSharedHandle<KVRBasicTagPoint3D> pointCopy(new KVRBasicTagPoint3D(*t));
  EXPECT_XFORM_NEAR(frameCopy->getFrameLocation(), x);
  EXPECT_XFORM_NEAR(pointCopy->getPointLocation(), x);
  EXPECT_EQ(pointCopy->getTimingMode(), KVRBasicTagPoint3D::VelocityTiming);
  EXPECT_EQ(pointCopy->getVelocity(), 2.5);
  EXPECT_TRUE(pointCopy->isRelativeLocationLocked());
  EXPECT_FALSE(frameCopy->hasSpatialParent());
  EXPECT_EQ(f->getEntityTypeName().scribe(KVRLocale::global()), L"Frame");
  EXPECT_EQ(t->getEntityTypeName().scribe(KVRLocale::global()), L"Tag Point");
}

TEST(TagPointTiming, DurationAndVelocityModes) {
  auto t = make<KVRBasicTagPoint3D>(L"T");
  EXPECT_EQ(t->getTimingMode(), KVRBasicTagPoint3D::DurationTiming);
  EXPECT_EQ(t->getDuration(), KVRSimTime(5.0));
  EXPECT_EQ(t->getVelocity(), 1.0);
  EXPECT_FALSE(t->isRelativeLocationLocked());
  t->setVelocity(2.5);
  EXPECT_EQ(t->getTimingMode(), KVRBasicTagPoint3D::VelocityTiming);
  EXPECT_EQ(t->getDuration(), KVRSimTime(5.0));
  t->setDuration(KVRSimTime(1.25));
  EXPECT_EQ(t->getTimingMode(), KVRBasicTagPoint3D::DurationTiming);
  EXPECT_EQ(t->getVelocity(), 2.5);
  EXPECT_EQ(t->getDuration(), KVRSimTime(1.25));
  EXPECT_TRUE(t->getPendingEvents() == std::bitset<64>().set(2).set(3));  // timing sets no bit
}

TEST(TagPointLock, RefusesOrdinaryRequestsButNotProfiles) {
  auto t = make<KVRBasicTagPoint3D>(L"T");
  t->flushSpatialState();
  t->lockRelativeLocation();
  Xform x = pose(0.5, 1, 0, 0);
  EXPECT_EQ(t->setRelativeLocation(x), 0);
  EXPECT_EQ(t->setTagPointLocation(x), 0);
  EXPECT_EQ(t->setBaseLocation(x), 0);
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
}

}  // namespace
