// Cameras: the one relationship a camera holds, the hook that has it
// synchronised when the camera's base location changes, and orphaning.

#include <functional>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Relationship = KVRBasicRelationship3D;

// A rule that counts checks and enforcements, fails its check unless told
// otherwise, and may run a caller's action when enforced.
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
    if (onEnforce) onEnforce();
    ++enforces;  // touches the rule after the action
  }

  int verdict = 0, enforces = 0;
  mutable int verifies = 0;
  mutable Profile checked;
  std::function<void()> onEnforce;
};
constinit const KVRClassInfo WatchRule::ClassInfo_ =
    KVRClassInfo::concrete<WatchRule>("WatchRule", KVRBasicRelationship3D::ClassInfo_);

// The scene: a camera C hanging on a free body B at X_BC, a target T at
// X_WT, and a rule R relating C (outer) to T (inner), held by the camera.
// R's counters and C's pending bits are cleared after the set-up.
class CameraOnBase : public testing::Test {
 protected:
  void SetUp() override {
    base->attachBody(camera, X_BC);
    Xform location = X_WT;
    target->setBaseLocation(location);
    rule->setRelationship(target, camera);
    camera->setRelationship(rule);
    rule->verifies = rule->enforces = 0;
    camera->clearEvents();
  }
  void TearDown() override {
    for (KVRBasicEntity* e :
         std::initializer_list<KVRBasicEntity*>{camera.get(), base.get(), target.get(), rule.get()})
      e->orphanObject();
  }
  void flushWithBaseLocationChanged() {
    camera->setEvent(KVRBasicEntity3D::BaseLocationChanged);
    camera->flushSpatialState();
  }

  const Xform X_BC = pose(0.8, 1, -2, 0.5);
  const Xform X_WT = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  KVRSharedHandle<KVRBasicBody3D> base = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicCamera3D> camera = make<KVRBasicCamera3D>(L"C");
  KVRSharedHandle<Probe3D> target = make<Probe3D>(L"T");
  KVRSharedHandle<WatchRule> rule = make<WatchRule>(L"R");
};

TEST_F(CameraOnBase, MovingTheCameraHasTheRuleCheckedAtTheFlush) {
  const Xform X_WC = pose(2.0, -4, 1, 1, KVRBasicVector3D<double>(0, 1, 1));
  Xform location = X_WC;
  ASSERT_EQ(camera->setBaseLocation(location), 2);
  EXPECT_EQ(rule->verifies, 0);
  camera->flushSpatialState();
  EXPECT_EQ(rule->verifies, 1);
  EXPECT_EQ(rule->enforces, 1);
  EXPECT_XFORM_NEAR(X_WT * rule->checked.getLocation(), X_WC);

  // Other changes, or another sync mode, leave the rule alone.
  camera->setEntityName(L"C2");
  camera->flushSpatialState();
  rule->setSyncMode(Relationship::NoSyncOnSet);
  flushWithBaseLocationChanged();
  EXPECT_EQ(rule->verifies, 1);
}

TEST_F(CameraOnBase, ASecondRelationshipIsRefusedUntilTheFirstIsCleared) {
  auto second = make<WatchRule>(L"S");
  expectThrowWithText<KVREAlreadyRegistered>([&] { camera->setRelationship(second); },
                                             L"The specified relation is already is use");
  EXPECT_TRUE(camera->getRelationship() == rule);

  camera->clearRelationship();
  EXPECT_TRUE(rule->isRelationshipSet());  // forgotten, not released
  flushWithBaseLocationChanged();
  EXPECT_EQ(rule->verifies, 0);
  expectThrowWithText<KVREInvalidArgument>(
      [&] { camera->setRelationship(nullptr); },
      L"An empty handle was given as the relationship of " + title(camera));
  camera->setRelationship(second);
  EXPECT_TRUE(camera->getRelationship() == second);
  second->orphanObject();
}

TEST_F(CameraOnBase, OrphaningReleasesTheRuleAndKeepsTheHandle) {
  camera->orphanObject();
  EXPECT_FALSE(rule->isRelationshipSet());
  EXPECT_TRUE(camera->getRelationship() == rule);
  EXPECT_FALSE(camera->hasInnerBody());
  EXPECT_EQ(camera->getNotificationHookCount(), 0);
}

// Enforcing may drop the camera's hold on the rule; the rule must outlive
// its own enforcement.
TEST_F(CameraOnBase, ARuleDroppedWhileEnforcedOutlivesTheCall) {
  auto owned = make<WatchRule>(L"Owned");
  owned->setRelationship(target, camera);
  camera->clearRelationship();
  camera->setRelationship(owned);
  owned->onEnforce = [cam = camera.get()] { cam->clearRelationship(); };
  owned.detach();  // the camera holds the only handle
  flushWithBaseLocationChanged();
  EXPECT_FALSE(camera->hasRelationship());
}

TEST(CameraAlone, ACopyHasNoRuleButWatchesItsOwnMoves) {
  auto camera = make<KVRBasicCamera3D>(L"C");
  auto rule = make<WatchRule>(L"R");
  auto target = make<Probe3D>(L"T");
  camera->setRelationship(rule);
  KVRSharedHandle<KVRBasicCamera3D> copy(static_cast<KVRBasicCamera3D*>(camera->replicateObject()));
  EXPECT_FALSE(copy->hasRelationship());
  EXPECT_EQ(copy->getNotificationHookCount(), make<KVRBasicBody3D>(L"B")->getNotificationHookCount() + 1);

  rule->setRelationship(target, copy);
  rule->verifies = 0;
  copy->setRelationship(rule);
  copy->setEvent(KVRBasicEntity3D::BaseLocationChanged);
  copy->flushSpatialState();
  EXPECT_EQ(rule->verifies, 1);
  for (KVRBasicEntity* e :
       std::initializer_list<KVRBasicEntity*>{copy.get(), camera.get(), rule.get(), target.get()})
    e->orphanObject();
}

}  // namespace
