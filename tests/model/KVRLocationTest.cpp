// Locations: the cached base location, the request-status protocol, moves in
// base and reference coordinates, propagation on flush and the bits it leaves.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Handle3D = KVRSharedHandle<Probe3D>;
using Xform = KVRBasicXform3D<double>;

// The scene: a parent P at base location X_WP with a child C at X_PC and a
// grandchild G at X_CG. Poses are generic: rotations about skew axes plus translations.
class Locations : public testing::Test {
 protected:
  void SetUp() override {
    Xform start = X_WP;
    p->setBaseLocation(start);
    p->flushSpatialState();
    hang(p, c, X_PC);
    hang(c, g, X_CG);
    for (auto* e : {&p, &c, &g}) (*e)->flushSpatialState();
  }
  void TearDown() override {
    for (auto* e : {&p, &c, &g}) (*e)->orphanObject();
  }

  const Xform X_WP = pose(0.8, 1, -2, 0.5);
  const Xform X_PC = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  const Xform X_CG = pose(2.0, -4, 1, 1, KVRBasicVector3D<double>(0, 1, 1));
  Handle3D p = make<Probe3D>(L"P"), c = make<Probe3D>(L"C"), g = make<Probe3D>(L"G");
};

TEST_F(Locations, ALinkedChildTakesParentTimesRelative) {
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP * X_PC);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP * X_PC * X_CG);
  EXPECT_XFORM_NEAR(c->getCachedParentProfile().getLocation(), X_WP);
}

TEST_F(Locations, StatusTwoAppliesTheRequestAsGiven) {
  const Xform X_WC = pose(0.4, 5, 5, 5);
  Xform request = X_WC;
  EXPECT_EQ(c->setBaseLocation(request), 2);
  EXPECT_XFORM_NEAR(c->requested, X_WP.inverse() * X_WC);  // P⁻¹ · X reaches the concrete class
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WC);
  EXPECT_XFORM_NEAR(request, X_WC);
  EXPECT_EQ(pending(*c), (std::vector<int>{10, 11}));
}

TEST_F(Locations, StatusOneReturnsWhatWasAppliedInBaseCoordinates) {
  c->status = 1;
  c->adapted = pose(0.1, 0, 0, 1);
  Xform request = pose(0.4, 5, 5, 5);
  EXPECT_EQ(c->setBaseLocation(request), 1);
  EXPECT_XFORM_NEAR(request, X_WP * c->adapted);
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP * c->adapted);
  EXPECT_EQ(pending(*c), (std::vector<int>{10, 11}));
}

TEST_F(Locations, RefusedAndInvalidRequestsChangeNothing) {
  const Xform before = c->getBaseLocation();
  for (int status : {0, 7}) {
    ReportRecorder recorder;
    c->status = status;
    const Xform asked = pose(0.4, 5, 5, 5);
    Xform request = asked;
    EXPECT_EQ(c->setBaseLocation(request), status);
    EXPECT_XFORM_NEAR(request, asked);
    EXPECT_XFORM_NEAR(c->getBaseLocation(), before);
    EXPECT_EQ(pending(*c), std::vector<int>{});
    EXPECT_EQ(recorder.texts(), status == 7 ? std::vector<std::wstring>{L"Invalid request status"}
                                            : std::vector<std::wstring>{});
  }
}

TEST_F(Locations, MovingARootMovesTheSubtreeOnlyAtTheFlush) {
  const Xform c0 = c->getBaseLocation(), g0 = g->getBaseLocation();
  const Xform X_WP2 = pose(-0.6, 3, 3, -1, KVRBasicVector3D<double>(1, 0, 1));
  Xform move = X_WP2;
  EXPECT_EQ(p->setBaseLocation(move), 2);
  EXPECT_XFORM_NEAR(c->getBaseLocation(), c0);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), g0);
  p->flushSpatialState();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP2 * X_PC);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP2 * X_PC * X_CG);
  EXPECT_XFORM_NEAR(c->getRelativeLocation(), X_PC);  // relative locations are unchanged
  for (auto* e : {&p, &c, &g}) EXPECT_TRUE((*e)->getPendingEvents().none());
}

// Records every mask a watched entity publishes.
struct MaskLog : KVRNotificationAgent {
  std::vector<std::pair<std::wstring, std::vector<int>>> seen;
  void onEvent(const KVRSharedConstPointer<KVRBasicEntity3D>& sender, const std::bitset<64>& mask) {
    std::vector<int> bits;
    for (int i = 0; i < 64; ++i)
      if (mask.test(static_cast<std::size_t>(i))) bits.push_back(i);
    seen.emplace_back(sender->getEntityName(), bits);
  }
};

TEST_F(Locations, DescendantsPublishTwelveAndElevenDepthFirst) {
  KVRSharedHandle<MaskLog> log(new MaskLog);
  for (auto* e : {&p, &c, &g})
    (*e)->addSubscriber(KVRMakeEventFunctor(log.get(), &MaskLog::onEvent), std::bitset<64>().set(), -1);
  p->translateBase(KVRBasicVector3D<double>(1, 0, 0), KVRMath3D::ParentFrame);
  p->flushSpatialState();
  using Seen = std::vector<std::pair<std::wstring, std::vector<int>>>;
  EXPECT_EQ(log->seen, (Seen{{L"G", {11, 12}}, {L"C", {11, 12}}, {L"P", {10, 11}}}));
}

TEST_F(Locations, FlushBaseLocationForcesAndCancelKeepsTheCacheFromTheChildren) {
  // Break the child's cache on purpose, then force the parent's location down.
  c->relative = pose(0.2, 9, 9, 9);
  p->flushBaseLocation();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP * c->relative);

  const Xform before = c->getBaseLocation();
  Xform elsewhere = pose(1.0, 0, 0, 0);
  p->setBaseLocation(elsewhere);
  p->cancelSpatialState();
  p->resetEvent(KVRBasicEntity3D::LocationSet);
  p->flushSpatialState();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), before);
}

TEST_F(Locations, CancelledBaseLocationStillMarksTheChildren) {
  Xform elsewhere = pose(1.0, 0, 0, 0);
  p->setBaseLocation(elsewhere);
  p->cancelSpatialState();  // bit 10 stays: the children get bit 12 but no new location
  KVRSharedHandle<MaskLog> log(new MaskLog);
  c->addSubscriber(KVRMakeEventFunctor(log.get(), &MaskLog::onEvent), std::bitset<64>().set(), -1);
  const Xform before = c->getBaseLocation();
  p->flushSpatialState();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), before);
  ASSERT_EQ(log->seen.size(), 1u);
  EXPECT_EQ(log->seen[0].second, std::vector<int>{12});
}

TEST_F(Locations, ReadingInAnotherEntitysCoordinates) {
  EXPECT_XFORM_NEAR(g->getBaseLocation(c), X_CG);
  EXPECT_XFORM_NEAR(g->getBaseLocation(p), X_PC * X_CG);
  EXPECT_XFORM_NEAR(g->getBaseLocation(KVRSharedHandle<KVRBasicEntity3D>()), g->getBaseLocation());
  EXPECT_XFORM_NEAR(c->getEntityLocation(p), X_WP);  // the parent location as last delivered
  EXPECT_XFORM_NEAR(c->getEntityLocation(KVRSharedHandle<KVRBasicEntity3D>()), Xform::Identity);
}

TEST_F(Locations, SettingInAnotherEntitysCoordinates) {
  const Xform X_CT = pose(0.5, 1, 1, 1);
  EXPECT_EQ(g->setBaseLocation(X_CT, c), 2);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP * X_PC * X_CT);
  EXPECT_XFORM_NEAR(g->getRelativeLocation(), X_CT);
}

TEST_F(Locations, MovesInBaseAndInOwnAxes) {
  const Xform X_WG = g->getBaseLocation();
  const KVRBasicVector3D<double> d(1, 2, 3);
  g->translateBase(d, KVRMath3D::ParentFrame);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), Xform(X_WG.getQtn(), X_WG.getPosition() + d));
  g->translateBase(-d, KVRMath3D::ParentFrame);
  g->translateBase(d, KVRMath3D::LocalFrame);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WG * Xform(KVRBasicQtn3D<double>(), d));

  Xform turn = pose(0.9, 0, 0, 0, KVRBasicVector3D<double>(0, 0, 1));
  g->moveBase(turn.inverse(), KVRMath3D::LocalFrame);
  g->translateBase(-d, KVRMath3D::LocalFrame);
  g->rotateBase(KVRMath3D::ZAxis, 0.9, KVRMath3D::LocalFrame);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WG * Xform(KVRBasicQtn3D<double>(), d) * turn.inverse() *
                                              Xform(KVRBasicQtn3D<double>(), -d) * turn);
}

TEST_F(Locations, MovesExpressedInAReferenceEntitysAxes) {
  // A translation along the reference's x axis moves the point by R_WC · x in base terms.
  const Xform X_WC = c->getBaseLocation();
  const Xform X_WG = g->getBaseLocation();
  const KVRBasicVector3D<double> d(2, 0, 0);
  g->translateBase(d, c);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), Xform(X_WG.getQtn(), X_WG.getPosition() + X_WC.getQtn() * d));

  // A general motion M in the reference's axes: E · M · E⁻¹ · base.
  const Xform M = pose(0.3, 0.5, -1, 2);
  const Xform before = g->getBaseLocation();
  g->moveBase(M, c);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WC * M * X_WC.inverse() * before);

  const Xform beforeTurn = g->getBaseLocation();
  g->rotateBase(KVRBasicVector3D<double>(0, 0, 1), 0.25, p);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP * pose(0.25, 0, 0, 0, KVRBasicVector3D<double>(0, 0, 1)) *
                                              X_WP.inverse() * beforeTurn);
}

TEST_F(Locations, UnlinkingWithAndWithoutKeepingThePlace) {
  const Xform g0 = g->getBaseLocation();
  c->clearSpatialParent(1);
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP * X_PC);
  EXPECT_EQ(pending(*c), (std::vector<int>{9, 11}));
  c->flushSpatialState();
  g->clearSpatialParent(0);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), g0);
  EXPECT_EQ(pending(*g), std::vector<int>{});
  // Repair the lists the primitives left behind, so that teardown stays sound.
  p->clearSpatialChild(p->findSpatialChild(c));
  c->clearSpatialChild(c->findSpatialChild(g));
}

TEST_F(Locations, LinkingSetsNineAndElevenOnTheChild) {
  auto d = make<Probe3D>(L"D");
  d->flushSpatialState();
  g->addSpatialChild(d);
  EXPECT_EQ(pending(*d), (std::vector<int>{9, 11}));
  EXPECT_TRUE(g->getPendingEvents().none());
  d->orphanObject();
}

TEST(LocationDepth, ANormalisedCopyIsStoredAtEveryTwentiethLevel) {
  // A chain of 22 probes whose relative rotation is slightly off unit length.
  std::vector<KVRSharedHandle<Probe3D>> chain;
  for (int i = 0; i < 22; ++i) chain.push_back(make<Probe3D>(L"N" + std::to_wstring(i)));
  const Xform skewed(KVRBasicQtn3D<double>(1.0, 0.0, 0.0, 0.0001), KVRBasicVector3D<double>(0, 0, 1));
  for (int i = 1; i < 22; ++i) {
    chain[i]->relative = skewed;
    chain[i - 1]->addSpatialChild(chain[i]);
  }
  chain[0]->flushBaseLocation();
  const auto norm = [&](int i) { return chain[i]->getBaseLocation().getQtn().eigen().norm(); };
  EXPECT_EQ(chain[20]->getSpatialAncestorsCount(), 20);
  EXPECT_NEAR(norm(20), 1.0, 1e-15);
  EXPECT_GT(std::abs(norm(19) - 1.0), 1e-9);
  EXPECT_GT(std::abs(norm(21) - 1.0), 1e-9);
  for (auto& entity : chain) entity->orphanObject();
}

TEST(LocationProfiles, ComposingProfilesIsReportedAsNotSupported) {
  auto p = make<Probe3D>(L"P");
  auto c = make<Probe3D>(L"C");
  p->addSpatialChild(c);
  p->flushSpatialState();
  c->flushSpatialState();
  ReportRecorder recorder;
  KVRBasicProfile3D<double> profile;
  profile.setLocation(pose(0.5, 1, 2, 3));
  EXPECT_EQ(c->setBaseProfile(profile), 2);
  EXPECT_EQ(pending(*c), (std::vector<int>{11, 13, 14}));
  EXPECT_EQ(recorder.texts(), (std::vector<std::wstring>{L"Operation not supported"}));
  recorder.reports.clear();
  (void)c->getBaseProfile(p);
  c->setBaseProfile(profile, p);
  EXPECT_EQ(recorder.texts().size(), 3u);
  recorder.reports.clear();
  p->setBaseProfile(profile);
  p->flushSpatialState();  // propagates profiles to the child: composition again
  EXPECT_EQ(recorder.texts().size(), 2u);
  EXPECT_TRUE(c->getPendingEvents().none());
  p->orphanObject();
}

}  // namespace
