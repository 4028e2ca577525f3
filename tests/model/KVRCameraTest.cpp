// Relationships and cameras: setting and releasing a pair, check-then-enforce per sync mode, and the one
// relationship a camera holds, synchronised when it moves.

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


// Relationships on their own: an inner entity I and an outer entity O, both spatial roots, and a rule R not
// yet set. Refused pairs change nothing; setting checks per sync mode; releasing empties the pair once.
TEST(Relationships, RefusedPairsChangeNothingSettingChecksPerSyncModeAndReleaseEmptiesThePairOnce) {
  using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
  using Relationship = KVRBasicRelationship3D;
  using Counts = std::vector<int>;
  const auto calls = [](const Rule& r) { return Counts{r.inits, r.verifies, r.enforces, r.cleanups}; };
  auto inner = make<Probe3D>(L"I"), outer = make<Probe3D>(L"O");
  auto rule = make<Rule>(L"R");
  rule->clearEvents();
  const std::wstring empty = L"The inner and outer entities of a relationship cannot be empty";
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(Entity3D(), outer); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, Entity3D()); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, inner); },
                                           L"The inner and outer entitis are the same");
  EXPECT_FALSE(rule->isRelationshipSet() || rule->getOuterEntity());
  EXPECT_EQ(pending(*rule), Counts{});
  rule->verdict = 0; rule->synchronize();  // an unset rule is never asked
  EXPECT_EQ(rule->verifyRelationship(), 0);
  EXPECT_XFORM_NEAR(rule->calcVariableProfile().getLocation(), Xform::Identity);
  EXPECT_EQ(calls(*rule), (Counts{0, 0, 0, 0}));
  rule->verdict = 1; rule->setRelationship(inner, outer);
  EXPECT_EQ(calls(*rule), (Counts{1, 1, 0, 0}));
  EXPECT_EQ(pending(*rule), Counts{Relationship::RelationshipSet});
  rule->clearEvents();  // a set relationship is refused before anything else is looked at
  expectThrowWithText<KVREAlreadyRegistered>([&] { rule->setRelationship(Entity3D(), inner); },
                                             L"The specified relation entity is already in use");
  EXPECT_TRUE(rule->getInnerEntity() == inner && rule->getOuterEntity() == outer);
  EXPECT_EQ(calls(*rule), (Counts{1, 1, 0, 0})); EXPECT_EQ(pending(*rule), Counts{});
  rule->verdict = 0; rule->synchronize();
  EXPECT_EQ(rule->enforces, 1);
  auto quiet = make<Rule>(L"Q");
  quiet->setSyncMode(Relationship::NoSyncOnSet); quiet->setRelationship(inner, outer);
  EXPECT_EQ(calls(*quiet), (Counts{1, 0, 0, 0}));
  quiet->clearEvents(); quiet->releaseRelationship();
  EXPECT_FALSE(quiet->isRelationshipSet() || quiet->getOuterEntity());
  EXPECT_EQ(quiet->getSyncMode(), Relationship::SyncOnSet); EXPECT_EQ(quiet->cleanups, 1);
  EXPECT_EQ(pending(*quiet), Counts{Relationship::RelationshipReleased});
  quiet->clearEvents(); quiet->releaseRelationship();
  EXPECT_EQ(pending(*quiet), Counts{});
  quiet->setRelationship(outer, inner); quiet->orphanObject();
  EXPECT_TRUE(!quiet->isRelationshipSet() && quiet->cleanups == 2);
  orphan(rule, inner, outer);
}
}  // namespace
