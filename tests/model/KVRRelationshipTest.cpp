// Relationships: setting and releasing the pair, check-then-enforce with its
// sync mode, the variable profile, and the refusals.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
using Relationship = KVRBasicRelationship3D;

// The scene: an inner entity I at base location X_WI, an outer entity O at
// X_WO, both spatial roots, and a rule R that is not set.
class RelationshipPair : public testing::Test {
 protected:
  void SetUp() override {
    place(inner, X_WI);
    place(outer, X_WO);
    rule->clearEvents();
  }
  void TearDown() override { orphan(rule, inner, outer); }
  int calls() const { return rule->inits + rule->verifies + rule->enforces + rule->cleanups; }

  const Xform X_WI = pose(0.8, 1, -2, 0.5);
  const Xform X_WO = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  KVRSharedHandle<Probe3D> inner = make<Probe3D>(L"I"), outer = make<Probe3D>(L"O");
  KVRSharedHandle<Rule> rule = make<Rule>(L"R");
};

TEST_F(RelationshipPair, SyncModeZeroChecksOnSettingAndEnforcesOnlyAFailedRule) {
  rule->setRelationship(inner, outer);
  EXPECT_EQ((std::vector<int>{rule->inits, rule->verifies, rule->enforces}), (std::vector<int>{1, 1, 0}));
  EXPECT_EQ(pending(*rule), std::vector<int>{Relationship::RelationshipSet});
  rule->verdict = 0;
  rule->synchronize();
  EXPECT_EQ(rule->enforces, 1);

  auto quiet = make<Rule>(L"Q");
  quiet->setSyncMode(Relationship::NoSyncOnSet);
  quiet->setRelationship(inner, outer);
  EXPECT_EQ((std::vector<int>{quiet->inits, quiet->verifies, quiet->enforces}), (std::vector<int>{1, 0, 0}));
  quiet->orphanObject();
}

TEST_F(RelationshipPair, RefusedPairsChangeNothingAndAnUnsetRuleIsNeverAsked) {
  const std::wstring empty = L"The inner and outer entities of a relationship cannot be empty";
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(Entity3D(), outer); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, Entity3D()); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, inner); },
                                           L"The inner and outer entitis are the same");
  EXPECT_FALSE(rule->isRelationshipSet() || rule->getOuterEntity());
  EXPECT_EQ(pending(*rule), std::vector<int>{});
  rule->verdict = 0;
  EXPECT_EQ(rule->verifyRelationship(), 0);
  rule->synchronize();
  EXPECT_XFORM_NEAR(rule->calcVariableProfile().getLocation(), Xform::Identity);
  EXPECT_EQ(calls(), 0);

  rule->verdict = 1;
  rule->setRelationship(inner, outer);
  rule->clearEvents();
  // A set relationship is refused before anything else is looked at.
  expectThrowWithText<KVREAlreadyRegistered>([&] { rule->setRelationship(Entity3D(), inner); },
                                             L"The specified relation entity is already in use");
  EXPECT_TRUE(rule->getInnerEntity() == inner && rule->getOuterEntity() == outer);
  EXPECT_EQ(calls(), 2);
  EXPECT_EQ(pending(*rule), std::vector<int>{});
}

TEST_F(RelationshipPair, ReleasingAndOrphaningEmptyThePairOnce) {
  rule->setSyncMode(Relationship::NoSyncOnSet);
  rule->setRelationship(inner, outer);
  rule->clearEvents();
  rule->releaseRelationship();
  EXPECT_FALSE(rule->isRelationshipSet() || rule->getOuterEntity());
  EXPECT_EQ(rule->getSyncMode(), Relationship::SyncOnSet);
  EXPECT_EQ(rule->cleanups, 1);
  EXPECT_EQ(pending(*rule), std::vector<int>{Relationship::RelationshipReleased});
  rule->clearEvents();
  rule->releaseRelationship();
  EXPECT_EQ(pending(*rule), std::vector<int>{});

  rule->setRelationship(outer, inner);
  rule->orphanObject();
  EXPECT_TRUE(!rule->isRelationshipSet() && rule->cleanups == 2);
}

}  // namespace
