// Relationships: setting and releasing the pair, check-then-enforce with its
// sync mode, the variable profile, and the refusals.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
using Relationship = KVRBasicRelationship3D;

// A rule that counts what the base class asks of it and answers with a chosen verdict.
class CountingRule : public KVRBasicRelationship3D {
 public:
  static const KVRClassInfo ClassInfo_;
  CountingRule() = default;
  CountingRule(const CountingRule& source, CopyMode mode) : KVRBasicRelationship3D(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  int verifyVariableProfile(const Profile& variable) const override {
    ++verifies;
    checked = variable;
    return verdict;
  }
  void enforceRelationship() override { ++enforces; }
  void initRelationship() override { ++inits; }
  void cleanup() override { ++cleanups; }

  int verdict = 1, enforces = 0, inits = 0, cleanups = 0;
  mutable int verifies = 0;
  mutable Profile checked;
};
constinit const KVRClassInfo CountingRule::ClassInfo_ =
    KVRClassInfo::concrete<CountingRule>("CountingRule", KVRBasicRelationship3D::ClassInfo_);

// The scene: an inner entity I at base location X_WI, an outer entity O at
// X_WO, both spatial roots, and a rule R that is not set.
class RelationshipPair : public testing::Test {
 protected:
  void SetUp() override {
    Xform location = X_WI;
    inner->setBaseLocation(location);
    location = X_WO;
    outer->setBaseLocation(location);
    rule->clearEvents();
  }
  void TearDown() override {
    for (KVRBasicEntity* e : std::initializer_list<KVRBasicEntity*>{rule.get(), inner.get(), outer.get()})
      e->orphanObject();
  }
  int calls() const { return rule->inits + rule->verifies + rule->enforces + rule->cleanups; }

  const Xform X_WI = pose(0.8, 1, -2, 0.5);
  const Xform X_WO = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  KVRSharedHandle<Probe3D> inner = make<Probe3D>(L"I"), outer = make<Probe3D>(L"O");
  KVRSharedHandle<CountingRule> rule = make<CountingRule>(L"R");
};

TEST_F(RelationshipPair, SyncModeZeroChecksOnSettingAndEnforcesOnlyAFailedRule) {
  rule->setRelationship(inner, outer);
  EXPECT_TRUE(rule->getInnerEntity() == inner && rule->getOuterEntity() == outer);
  EXPECT_EQ((std::vector<int>{rule->inits, rule->verifies, rule->enforces}), (std::vector<int>{1, 1, 0}));
  EXPECT_EQ(pending(*rule), std::vector<int>{Relationship::RelationshipSet});
  rule->verdict = 0;
  rule->synchronize();
  EXPECT_EQ(rule->enforces, 1);

  auto quiet = make<CountingRule>(L"Q");
  quiet->setSyncMode(Relationship::NoSyncOnSet);
  quiet->setRelationship(inner, outer);
  EXPECT_EQ((std::vector<int>{quiet->inits, quiet->verifies, quiet->enforces}), (std::vector<int>{1, 0, 0}));
  quiet->orphanObject();
}

TEST_F(RelationshipPair, TheVariableProfileIsTheOuterEntitySeenFromTheInner) {
  rule->setRelationship(inner, outer);
  EXPECT_XFORM_NEAR(X_WI * rule->checked.getLocation(), X_WO);
  const Xform X_WO2 = pose(2.0, -4, 1, 1, KVRBasicVector3D<double>(0, 1, 1));
  Xform location = X_WO2;
  outer->setBaseLocation(location);
  const KVRBasicProfile3D<double> variable = rule->calcVariableProfile();
  EXPECT_XFORM_NEAR(X_WI * variable.getLocation(), X_WO2);
  EXPECT_TRUE(variable.getLinearVelocity() == KVRBasicVector3D<double>::Zero);
  EXPECT_TRUE(variable.getAngularAcceleration() == KVRBasicVector3D<double>::Zero);
}

TEST_F(RelationshipPair, RefusedPairsChangeNothing) {
  const std::wstring empty = L"The inner and outer entities of a relationship cannot be empty";
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(Entity3D(), outer); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, Entity3D()); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, inner); },
                                           L"The inner and outer entitis are the same");
  EXPECT_FALSE(rule->isRelationshipSet() || rule->getOuterEntity());
  EXPECT_EQ(calls(), 0);
  EXPECT_EQ(pending(*rule), std::vector<int>{});

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
  EXPECT_FALSE(rule->isRelationshipSet());
  EXPECT_EQ(rule->cleanups, 2);
}

TEST_F(RelationshipPair, AnUnsetRelationshipHasNothingToCheckOrEnforce) {
  rule->verdict = 0;
  EXPECT_EQ(rule->verifyRelationship(), 0);
  rule->synchronize();
  EXPECT_XFORM_NEAR(rule->calcVariableProfile().getLocation(), Xform::Identity);
  EXPECT_EQ(calls(), 0);
}

}  // namespace
