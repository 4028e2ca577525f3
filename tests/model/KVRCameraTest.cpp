// Cameras: the one relationship a camera holds, the hook that has it
// synchronised when the camera's base location changes, and what orphaning
// does to it.

#include <functional>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Rule = KVRSharedHandle<KVRBasicRelationship3D>;

// A rule that counts the checks and enforcements it is asked for, answers
// with a chosen verdict and may run a caller's action when enforced.
class WatchRule : public KVRBasicRelationship3D {
 public:
  static const KVRClassInfo ClassInfo_;
  WatchRule() = default;
  WatchRule(const WatchRule& source, CopyMode mode) : KVRBasicRelationship3D(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }

  int verifyVariableProfile(const Profile& variable) const override {
    ++verifies;
    checked = variable;
    return verdict;
  }
  void enforceRelationship() override {
    ++enforces;
    if (onEnforce) onEnforce();
  }
  void cleanup() override { ++cleanups; }

  int verdict = 0;
  mutable int verifies = 0;
  mutable Profile checked;
  int enforces = 0, cleanups = 0;
  std::function<void()> onEnforce;
};
constinit const KVRClassInfo WatchRule::ClassInfo_ =
    KVRClassInfo::concrete<WatchRule>("WatchRule", KVRBasicRelationship3D::ClassInfo_);

// The scene: a camera C hanging on a body B at X_BC (B free, at the world
// origin), a target T at X_WT, and a rule R relating C (outer) to T (inner),
// held by the camera. R's counters and every pending bit are cleared after
// the set-up; R fails its check unless told otherwise.
class CameraOnBase : public testing::Test {
 protected:
  void SetUp() override {
    base->attachBody(camera, X_BC);
    Xform location = X_WT;
    target->setBaseLocation(location);
    rule->setRelationship(target, camera);
    camera->setRelationship(rule);
    rule->verifies = rule->enforces = 0;
    for (KVRNotificationAgent* agent :
         {static_cast<KVRNotificationAgent*>(base.get()), static_cast<KVRNotificationAgent*>(camera.get()),
          static_cast<KVRNotificationAgent*>(rule.get())})
      agent->clearEvents();
  }
  void TearDown() override {
    camera->orphanObject();
    base->orphanObject();
    target->orphanObject();
    rule->orphanObject();
  }

  const Xform X_BC = pose(0.8, 1, -2, 0.5);
  const Xform X_WT = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  KVRSharedHandle<KVRBasicBody3D> base = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicCamera3D> camera = make<KVRBasicCamera3D>(L"C");
  KVRSharedHandle<Probe3D> target = make<Probe3D>(L"T");
  KVRSharedHandle<WatchRule> rule = make<WatchRule>(L"R");
};

TEST_F(CameraOnBase, MovingTheCameraHasTheRuleCheckedAndEnforcedAtTheFlush) {
  EXPECT_XFORM_NEAR(camera->getBaseLocation(), X_BC);
  const Xform X_WC = pose(2.0, -4, 1, 1, KVRBasicVector3D<double>(0, 1, 1));
  Xform location = X_WC;
  EXPECT_EQ(camera->setBaseLocation(location), 2);
  EXPECT_TRUE(camera->testEvent(KVRBasicEntity3D::BaseLocationChanged));
  EXPECT_EQ(rule->verifies, 0);

  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 1);
  EXPECT_EQ(rule->enforces, 1);
  // The rule saw the camera where it now stands, seen from the target.
  EXPECT_XFORM_NEAR(X_WT * rule->checked.getLocation(), X_WC);

  // A rule that holds is not enforced.
  rule->verdict = 1;
  location = pose(0.1, 0, 0, 1);
  camera->setBaseLocation(location);
  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 2);
  EXPECT_EQ(rule->enforces, 1);
}

TEST_F(CameraOnBase, InAnotherSyncModeTheRuleIsNotAsked) {
  rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
  Xform location = pose(2.0, -4, 1, 1);
  EXPECT_EQ(camera->setBaseLocation(location), 2);
  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 0);
  EXPECT_EQ(rule->enforces, 0);
}

TEST_F(CameraOnBase, OnlyABaseLocationChangeReachesTheRule) {
  camera->setEntityName(L"C2");
  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 0);

  camera->setEvent(KVRBasicEntity3D::BaseLocationChanged);
  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 1);
}

TEST_F(CameraOnBase, ASecondRelationshipIsRefusedUntilTheFirstIsCleared) {
  auto second = make<WatchRule>(L"S");
  expectThrowWithText<KVREAlreadyRegistered>([&] { camera->setRelationship(second); },
                                             L"The specified relation is already is use");
  EXPECT_TRUE(camera->getRelationship() == rule);

  camera->clearRelationship();
  EXPECT_FALSE(camera->hasRelationship());
  EXPECT_TRUE(rule->isRelationshipSet());  // forgotten, not released
  EXPECT_EQ(rule->cleanups, 0);
  camera->setEvent(KVRBasicEntity3D::BaseLocationChanged);
  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 0);

  expectThrowWithText<KVREInvalidArgument>(
      [&] { camera->setRelationship(Rule()); },
      L"An empty handle was given as the relationship of " + title(camera));
  EXPECT_FALSE(camera->hasRelationship());
  camera->setRelationship(second);
  EXPECT_TRUE(camera->getRelationship() == second);
  second->orphanObject();
}

TEST_F(CameraOnBase, OrphaningReleasesTheRuleAndKeepsTheHandle) {
  camera->orphanObject();
  EXPECT_FALSE(rule->isRelationshipSet());
  EXPECT_EQ(rule->cleanups, 1);
  EXPECT_TRUE(camera->getRelationship() == rule);
  EXPECT_FALSE(camera->hasInnerBody());
  EXPECT_EQ(camera->getNotificationHookCount(), 0);
}

// Enforcing the rule may drop the camera's hold on it; the rule must outlive
// its own enforcement.
TEST_F(CameraOnBase, ARuleDroppedWhileEnforcedOutlivesTheCall) {
  auto owned = make<WatchRule>(L"Owned");
  owned->setRelationship(target, camera);
  camera->clearRelationship();
  camera->setRelationship(owned);
  owned->onEnforce = [cam = camera.get()] { cam->clearRelationship(); };
  owned.detach();  // the camera holds the only handle now

  camera->setEvent(KVRBasicEntity3D::BaseLocationChanged);
  camera->flushSpatialState();
  EXPECT_FALSE(camera->hasRelationship());
}

TEST(CameraAlone, ANewCameraIsABodyWithNothingAttached) {
  auto camera = make<KVRBasicCamera3D>(L"C");
  EXPECT_EQ(camera->getEntityTypeName().getText(), L"Camera");
  EXPECT_TRUE(camera->isDerivedFrom(KVRBasicBody3D::ClassInfo_));
  EXPECT_TRUE(KVRBasicCamera3D::ClassInfo_.hasFactory());
  EXPECT_FALSE(camera->hasRelationship());
  EXPECT_FALSE(camera->hasInnerBody());
  EXPECT_EQ(camera->getFrameCount(), 0);
  // Its own hook comes on top of a body's.
  auto body = make<KVRBasicBody3D>(L"B");
  EXPECT_EQ(camera->getNotificationHookCount(), body->getNotificationHookCount() + 1);
  camera->orphanObject();
  body->orphanObject();
}

TEST(CameraAlone, ACopyHasNoRuleButWatchesItsOwnMoves) {
  auto camera = make<KVRBasicCamera3D>(L"C");
  auto rule = make<WatchRule>(L"R");
  auto target = make<Probe3D>(L"T");
  camera->setRelationship(rule);
  KVRSharedHandle<KVRBasicCamera3D> copy(
      static_cast<KVRBasicCamera3D*>(camera->duplicateObject(KVRDynamicObject::CopyAlone)));
  ASSERT_TRUE(copy);
  EXPECT_FALSE(copy->hasRelationship());
  EXPECT_EQ(copy->getNotificationHookCount(), camera->getNotificationHookCount());

  rule->setRelationship(target, copy);
  rule->verifies = 0;
  camera->clearRelationship();
  copy->setRelationship(rule);
  copy->setEvent(KVRBasicEntity3D::BaseLocationChanged);
  copy->flushSpatialState();
  EXPECT_EQ(rule->verifies, 1);
  for (KVRBasicEntity* e :
       {static_cast<KVRBasicEntity*>(copy.get()), static_cast<KVRBasicEntity*>(camera.get()),
        static_cast<KVRBasicEntity*>(rule.get()), static_cast<KVRBasicEntity*>(target.get())})
    e->orphanObject();
}

}  // namespace
