// Relationships: setting and releasing the pair, check-then-enforce per sync mode, the refusals.
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
using Relationship = KVRBasicRelationship3D;
using Counts = std::vector<int>;

// The scene: an inner entity I and an outer entity O, both spatial roots, and a rule R that is not set.
class RelationshipPair : public testing::Test {
 protected:
  void SetUp() override { rule->clearEvents(); }
  void TearDown() override { orphan(rule, inner, outer); }
  static Counts calls(const Rule& r) { return {r.inits, r.verifies, r.enforces, r.cleanups}; }
  KVRSharedHandle<Probe3D> inner = make<Probe3D>(L"I"), outer = make<Probe3D>(L"O");
  KVRSharedHandle<Rule> rule = make<Rule>(L"R");
};

TEST_F(RelationshipPair, RefusedPairsChangeNothingSettingChecksPerSyncModeAndReleaseEmptiesThePairOnce) {
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
}
}  // namespace
