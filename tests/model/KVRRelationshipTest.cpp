// Relationships: setting and releasing the pair, the check-then-enforce cycle
// and its sync mode, the variable profile, and the refusals.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;

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

  int verdict = 1;
  mutable int verifies = 0;
  mutable Profile checked;
  int enforces = 0, inits = 0, cleanups = 0;
};
constinit const KVRClassInfo CountingRule::ClassInfo_ =
    KVRClassInfo::concrete<CountingRule>("CountingRule", KVRBasicRelationship3D::ClassInfo_);

// The scene: an inner entity I at base location X_WI and an outer entity O
// at X_WO, both roots of the spatial tree, and a rule R not yet set.
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
    rule->orphanObject();
    inner->orphanObject();
    outer->orphanObject();
  }

  // The rule is unset and was asked nothing.
  void expectUntouched() {
    EXPECT_FALSE(rule->isRelationshipSet());
    EXPECT_TRUE(rule->getInnerEntity().isNull());
    EXPECT_TRUE(rule->getOuterEntity().isNull());
    EXPECT_EQ(rule->inits + rule->verifies + rule->enforces + rule->cleanups, 0);
    EXPECT_EQ(pending(*rule), std::vector<int>{});
  }

  const Xform X_WI = pose(0.8, 1, -2, 0.5);
  const Xform X_WO = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  KVRSharedHandle<Probe3D> inner = make<Probe3D>(L"I"), outer = make<Probe3D>(L"O");
  KVRSharedHandle<CountingRule> rule = make<CountingRule>(L"R");
};

TEST_F(RelationshipPair, SettingInSyncModeZeroChecksOnceAndEnforcesOnlyAFailedRule) {
  rule->setRelationship(inner, outer);
  EXPECT_TRUE(rule->isRelationshipSet());
  EXPECT_TRUE(rule->getInnerEntity() == inner);
  EXPECT_TRUE(rule->getOuterEntity() == outer);
  EXPECT_EQ(rule->inits, 1);
  EXPECT_EQ(rule->verifies, 1);
  EXPECT_EQ(rule->enforces, 0);
  EXPECT_EQ(pending(*rule), std::vector<int>{KVRBasicRelationship3D::RelationshipSet});

  auto failing = make<CountingRule>(L"F");
  failing->verdict = 0;
  failing->setRelationship(inner, outer);
  EXPECT_EQ(failing->verifies, 1);
  EXPECT_EQ(failing->enforces, 1);
  failing->orphanObject();
}

TEST_F(RelationshipPair, AnotherSyncModeNeitherChecksNorEnforcesOnSetting) {
  rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
  rule->verdict = 0;
  rule->setRelationship(inner, outer);
  EXPECT_EQ(rule->inits, 1);
  EXPECT_EQ(rule->verifies, 0);
  EXPECT_EQ(rule->enforces, 0);
  EXPECT_EQ(pending(*rule), std::vector<int>{KVRBasicRelationship3D::RelationshipSet});

  // Asked explicitly, it checks and enforces.
  rule->synchronize();
  EXPECT_EQ(rule->verifies, 1);
  EXPECT_EQ(rule->enforces, 1);
}

TEST_F(RelationshipPair, TheVariableProfileIsTheOuterEntitySeenFromTheInner) {
  rule->setRelationship(inner, outer);
  const Xform X_IO = rule->checked.getLocation();
  EXPECT_XFORM_NEAR(X_WI * X_IO, X_WO);
  EXPECT_XFORM_NEAR(rule->calcVariableProfile().getLocation(), X_IO);
  EXPECT_EQ(rule->verifyRelationship(), 1);

  // It follows the entities' current base locations, with no motion.
  const Xform X_WO2 = pose(2.0, -4, 1, 1, KVRBasicVector3D<double>(0, 1, 1));
  Xform location = X_WO2;
  outer->setBaseLocation(location);
  const KVRBasicProfile3D<double> variable = rule->calcVariableProfile();
  EXPECT_XFORM_NEAR(X_WI * variable.getLocation(), X_WO2);
  for (const auto& v : {variable.getLinearVelocity(), variable.getAngularVelocity(),
                        variable.getLinearAcceleration(), variable.getAngularAcceleration()})
    EXPECT_TRUE(v == KVRBasicVector3D<double>::Zero);
}

TEST_F(RelationshipPair, ASetRelationshipRefusesASecondPair) {
  rule->setRelationship(inner, outer);
  rule->clearEvents();
  auto other = make<Probe3D>(L"X");
  expectThrowWithText<KVREAlreadyRegistered>([&] { rule->setRelationship(outer, other); },
                                             L"The specified relation entity is already in use");
  // Set comes before every other check.
  expectThrowWithText<KVREAlreadyRegistered>([&] { rule->setRelationship(Entity3D(), other); },
                                             L"The specified relation entity is already in use");
  EXPECT_TRUE(rule->getInnerEntity() == inner);
  EXPECT_TRUE(rule->getOuterEntity() == outer);
  EXPECT_EQ(rule->inits, 1);
  EXPECT_EQ(rule->verifies, 1);
  EXPECT_EQ(pending(*rule), std::vector<int>{});
  other->orphanObject();
}

TEST_F(RelationshipPair, AnEmptyOrRepeatedEntityIsRefused) {
  const std::wstring empty = L"The inner and outer entities of a relationship cannot be empty";
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(Entity3D(), outer); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, Entity3D()); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(Entity3D(), Entity3D()); }, empty);
  expectThrowWithText<KVREInvalidRelation>([&] { rule->setRelationship(inner, inner); },
                                           L"The inner and outer entitis are the same");
  expectUntouched();
}

TEST_F(RelationshipPair, ReleasingEmptiesThePairOnceAndResetsTheSyncMode) {
  rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
  rule->setRelationship(inner, outer);
  rule->clearEvents();
  rule->releaseRelationship();
  EXPECT_FALSE(rule->isRelationshipSet());
  EXPECT_TRUE(rule->getInnerEntity().isNull());
  EXPECT_TRUE(rule->getOuterEntity().isNull());
  EXPECT_EQ(rule->getSyncMode(), KVRBasicRelationship3D::SyncOnSet);
  EXPECT_EQ(rule->cleanups, 1);
  EXPECT_EQ(pending(*rule), std::vector<int>{KVRBasicRelationship3D::RelationshipReleased});

  rule->clearEvents();
  rule->releaseRelationship();
  EXPECT_EQ(rule->cleanups, 1);
  EXPECT_EQ(pending(*rule), std::vector<int>{});

  // Released, it can be set again.
  rule->setRelationship(outer, inner);
  EXPECT_TRUE(rule->getInnerEntity() == outer);
}

TEST_F(RelationshipPair, AnUnsetRelationshipHasNothingToCheckOrEnforce) {
  rule->verdict = 0;
  EXPECT_EQ(rule->verifyRelationship(), 0);
  rule->synchronize();
  EXPECT_XFORM_NEAR(rule->calcVariableProfile().getLocation(), Xform::Identity);
  expectUntouched();
}

TEST_F(RelationshipPair, OrphaningReleasesThePair) {
  rule->setRelationship(inner, outer);
  rule->orphanObject();
  EXPECT_FALSE(rule->isRelationshipSet());
  EXPECT_EQ(rule->cleanups, 1);
  // The entities are left as they were.
  EXPECT_FALSE(inner->isOrphaned());
  EXPECT_XFORM_NEAR(outer->getBaseLocation(), X_WO);
}

TEST(RelationshipAlone, ACopyKeepsTheSyncModeButNotThePair) {
  EXPECT_FALSE(KVRBasicRelationship3D::ClassInfo_.hasFactory());
  EXPECT_TRUE(KVRBasicRelationship3D::ClassInfo_.getBaseClass() == &KVRBasicEntity::ClassInfo_);

  auto rule = make<CountingRule>(L"R");
  auto inner = make<Probe3D>(L"I"), outer = make<Probe3D>(L"O");
  rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
  rule->setRelationship(inner, outer);
  KVRSharedHandle<CountingRule> copy(
      static_cast<CountingRule*>(rule->duplicateObject(KVRDynamicObject::CopyAlone)));
  ASSERT_TRUE(copy);
  EXPECT_FALSE(copy->isRelationshipSet());
  EXPECT_EQ(copy->getSyncMode(), KVRBasicRelationship3D::NoSyncOnSet);
  EXPECT_EQ(copy->getEntityName(), L"Copy of R");
  EXPECT_EQ(copy->getEntityTypeName().getText(), L"Relationship");
  for (KVRBasicEntity* e :
       {static_cast<KVRBasicEntity*>(copy.get()), static_cast<KVRBasicEntity*>(rule.get()),
        static_cast<KVRBasicEntity*>(inner.get()), static_cast<KVRBasicEntity*>(outer.get())})
    e->orphanObject();
}

}  // namespace
