// Frames and tag points: locations set two ways, profiles, timing and the lock.

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
    flushSpatial(b, f, t);
  }
  void TearDown() override { orphan(b, carrier); }
  const Xform X_CB = pose(0.7, 1, 2, 3);
  KVRSharedHandle<KVRBasicBody3D> carrier = make<KVRBasicBody3D>(L"Carrier"), b = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicFrame3D> f = make<KVRBasicFrame3D>(L"F");
  KVRSharedHandle<KVRBasicTagPoint3D> t = make<KVRBasicTagPoint3D>(L"T");
};

TEST_F(FramesAndPoints, LocationsAndProfilesFollowTheBody) {
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
