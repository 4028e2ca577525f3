// Cameras: the one relationship a camera holds, synchronised when it moves.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

// The scene: a camera C hanging on a free body B at X_BC, a target T at
// X_WT, and a failing rule R relating C (outer) to T (inner), held by the
// camera. R's counters and C's pending bits are cleared after the set-up.
class CameraOnBase : public testing::Test {
 protected:
  void SetUp() override {
    base->attachBody(camera, X_BC);
    place(target, X_WT);
    rule->verdict = 0;
    rule->setRelationship(target, camera);
    camera->setRelationship(rule);
    rule->verifies = rule->enforces = 0;
    camera->clearEvents();
  }
  void TearDown() override { orphan(camera, base, target, rule); }
  void flushWithBaseLocationChanged() {
    camera->setEvent(KVRBasicEntity3D::BaseLocationChanged);
    camera->flushSpatialState();
  }
  const Xform X_BC = pose(0.8, 1, -2, 0.5);
  const Xform X_WT = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  KVRSharedHandle<KVRBasicBody3D> base = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicCamera3D> camera = make<KVRBasicCamera3D>(L"C");
  KVRSharedHandle<Probe3D> target = make<Probe3D>(L"T");
  KVRSharedHandle<Rule> rule = make<Rule>(L"R");
};

// A copy holds no rule; a second rule is refused until the first is
// cleared; orphaning releases the rule but keeps the handle.
TEST_F(CameraOnBase, MovingTheCameraHasItsOneRuleCheckedAtTheFlush) {
  KVRSharedHandle<KVRBasicCamera3D> copy(static_cast<KVRBasicCamera3D*>(camera->replicateObject()));
  EXPECT_FALSE(copy->hasRelationship());
  const Xform X_WC = pose(2.0, -4, 1, 1, KVRBasicVector3D<double>(0, 1, 1));
  ASSERT_EQ(place(camera, X_WC), 2);
  EXPECT_EQ(rule->verifies, 0);
  camera->flushSpatialState();
  EXPECT_TRUE(rule->verifies == 1 && rule->enforces == 1);  // the rule failed: enforced
  EXPECT_XFORM_NEAR(X_WT * rule->checked.getLocation(), X_WC);
  // Other changes, or another sync mode, leave the rule alone.
  camera->setEntityName(L"C2");
  camera->flushSpatialState();
  rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
  flushWithBaseLocationChanged();
  EXPECT_EQ(rule->verifies, 1);
  auto second = make<Rule>(L"S");
  expectThrowWithText<KVREAlreadyRegistered>([&] { camera->setRelationship(second); },
                                             L"The specified relation is already is use");
  EXPECT_TRUE(camera->getRelationship() == rule);
  second->setRelationship(target, copy);
  copy->setRelationship(second);
  copy->setEvent(KVRBasicEntity3D::BaseLocationChanged);
  copy->flushSpatialState();
  EXPECT_EQ(second->verifies, 2);  // on setting, then at the flush
  orphan(copy, second);
  rule->setSyncMode(KVRBasicRelationship3D::SyncOnSet);
  camera->clearRelationship();
  EXPECT_TRUE(rule->isRelationshipSet());  // forgotten, not released
  flushWithBaseLocationChanged();
  EXPECT_EQ(rule->verifies, 1);
  expectThrowWithText<KVREInvalidArgument>(
      [&] { camera->setRelationship(nullptr); },
      L"An empty handle was given as the relationship of " + title(camera));
  auto third = make<Rule>(L"Third");
  third->setRelationship(target, camera);
  camera->setRelationship(third);  // accepted once the first is cleared
  camera->orphanObject();          // releases the rule but keeps the handle
  EXPECT_FALSE(third->isRelationshipSet() || camera->hasInnerBody());
  EXPECT_TRUE(camera->getRelationship() == third);
  EXPECT_EQ(camera->getNotificationHookCount(), 0);
  third->orphanObject();
}

TEST_F(CameraOnBase, AMoveEnforcedWhileTheCameraFlushesReachesItsFramesAtTheNextFlush) {
  auto lens = make<KVRBasicFrame3D>(L"Lens");
  const Xform X_CL = pose(0.3, 0, 0, 0.1), X_BC2 = pose(-0.4, 2, 2, 0);
  camera->addFrame(lens);
  lens->setFrameLocation(X_CL);
  rule->onEnforce = [&] { place(camera, X_BC2); };  // B stays at the origin: X_WC = X_BC2
  flushWithBaseLocationChanged();
  EXPECT_EQ(rule->enforces, 1);
  EXPECT_XFORM_NEAR(camera->getBaseLocation(), X_BC2);
  EXPECT_TRUE(camera->testEvent(KVRBasicEntity3D::BaseLocationChanged));  // still to be pushed down
  rule->onEnforce = nullptr;
  camera->flushSpatialState();
  EXPECT_XFORM_NEAR(lens->getBaseLocation(), X_BC2 * X_CL);
  EXPECT_TRUE(isSound(camera));
  // Enforcing may drop the camera's hold on the rule: the rule outlives its own enforcement.
  auto owned = make<Rule>(L"Owned");
  owned->verdict = 0;
  owned->setRelationship(target, camera);
  camera->clearRelationship();
  camera->setRelationship(owned);
  owned->onEnforce = [cam = camera.get()] { cam->clearRelationship(); };
  owned.detach();  // the camera holds the only handle
  flushWithBaseLocationChanged();
  EXPECT_FALSE(camera->hasRelationship());
}

}  // namespace
