// The history of a cell: where its entities were, who held the part, where it will be and when it arrives.

#include <cmath>

#include <gmock/gmock.h>

#include "KVRHistory.h"
#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Vector = KVRBasicVector3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Gap = KVRHistory::Gap;

testing::AssertionResult near(const Xform& a, const Xform& b, double tolerance = 1e-12) {
  const double dp = KVRL2Norm(a.getPosition() - b.getPosition());
  const double dq = 1.0 - std::fabs(a.getQtn().eigen().dot(b.getQtn().eigen()));
  if (dp <= tolerance && dq <= tolerance) return testing::AssertionSuccess();
  return testing::AssertionFailure() << streamed(a) << " vs " << streamed(b);
}

// The cell, in world W, the root assembly Cell at the origin holding (each on a connection):
//   G1 (5,5,1)   G2 (6,5,1)    grippers
//   Fixture (9,9,0)            holds the part B at (5,5,0), attached
//   Cart ── Pallet (0,0,0.5)   the cart carries the pallet as a member; B is the pallet's logical child
//   Route: (0,0,0) ─4 s─ (4,0,0) ─4 s─ (4,4,0) turned 90° about z, the cart's planner starting at 10 s
// handle(): at 1 s G1 picks B from the fixture; at 2 s G1 moves to (6,5,1) turning 90°; at 3 s G2 takes B;
// at 4 s G2 moves over the pallet, lets go, B is put on the pallet at (1,0,0). From 10 s the cart rides.
class History : public testing::Test {
 protected:
  void SetUp() override {
    w->addEntity(cell);
    for (const auto& [body, X] : {std::pair{g1, at(5, 5, 1)}, {g2, at(6, 5, 1)}, {fixture, at(9, 9, 0)}})
      cell->addBody(body, X, Xform::Identity);
    cell->addBody(cart); cell->addBody(pallet, at(0, 0, 0.5), Xform::Identity);
    pallet->addLogicalChild(part); fixture->attachBody(part, at(-4, -4, 0));
    cell->addPath(route);
    for (const Xform& X_RT : {at(0, 0, 0), at(4, 0, 0), at(4, 4, 0, 90)}) {
      const auto point = make<KVRBasicTagPoint3D>(L"T" + std::to_wstring(route->getTagPointCount()));
      route->addTagPoint(point); point->setTagPointLocation(X_RT);
      point->setDuration(4.0); point->flushSpatialState();
    }
    route->flushSpatialState();
    cart->addExtension(planner); planner->setCustomFlag(1);
    planner->setPath(route, 0.0, 8.0); planner->setScheduledStart(10.0);
    cart->addEntity(pallet); cart->activate();
    w->flushLogicalState(); flushSpatial(g1, g2, fixture, part, cart, pallet);
    history = std::make_unique<KVRHistory>(KVRSharedHandle<KVRBasicEntity>(w));
  }
  void TearDown() override {
    EXPECT_TRUE(isSound(w));
    w->orphanObject();
  }
  void step(double t) { w->setSimulationTime(t); history->record(); }
  void handle() {
    g1->grabBody(part, 1); step(1);
    place(g1, at(6, 5, 1, 90)); g1->flushSpatialState();
    step(2);
    g2->grabBody(part, 1); step(3);
    place(g2, at(1, 0, 1.5)); g2->flushSpatialState();
    part->detachBody(); part->clearInnerBody();
    pallet->addBody(part, at(1, 0, 0), Xform::Identity);
    step(4);
  }
  void drive(double t) {
    ASSERT_EQ(planner->moveBasicObject(KVRSimTime(t) - planner->getScheduledStart()), 2);
    cart->flushSpatialState();
  }

  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  KVRSharedHandle<KVRBasicMfgAssembly3D> cell = make<KVRBasicMfgAssembly3D>(L"Cell"),
                                         pallet = make<KVRBasicMfgAssembly3D>(L"Pallet");
  Body g1 = make<KVRBasicBody3D>(L"G1"), g2 = make<KVRBasicBody3D>(L"G2"),
       fixture = make<KVRBasicBody3D>(L"Fixture"), part = make<KVRBasicPart3D>(L"B");
  KVRSharedHandle<KVRBasicShuttle3D> cart = make<KVRBasicShuttle3D>(L"Cart");
  KVRSharedHandle<KVRBasicPath3D> route = make<KVRBasicPath3D>(L"Route");
  KVRSharedHandle<KVRShuttlePlannerExt> planner{new KVRShuttlePlannerExt};
  std::unique_ptr<KVRHistory> history;
};

TEST_F(History, PosesAreTheSamplesInterpolatedBetweenAndThePlanAhead) {
  const Xform B0 = part->getBaseLocation();
  handle();
  // Only what moved was sampled: the fixture once; G2 at the first step, at 3 s (still until then) and 4 s.
  EXPECT_EQ(history->getStepCount(), 5);
  EXPECT_EQ(history->getSampleCount(fixture), 1u);
  EXPECT_EQ(history->getSampleCount(g2), 3u);
  // At a step's time: the base location then, exactly.
  EXPECT_EQ(history->poseAt(part, 0.0).location, B0);
  EXPECT_EQ(history->poseAt(g2, 4.0).location, g2->getBaseLocation());
  EXPECT_EQ(history->poseAt(g2, 2.5).location, at(6, 5, 1));  // it stood there until 3 s
  EXPECT_EQ(history->poseAt(fixture, 4.0).location, at(9, 9, 0));
  // Between two samples: position by lerp, rotation by slerp, worked out here.
  const Xform B1 = history->poseAt(part, 1.0).location, B2 = history->poseAt(part, 2.0).location;
  const Eigen::Quaterniond q = B1.getQtn().eigen().slerp(0.25, B2.getQtn().eigen());
  const KVRHistory::Pose between = history->poseAt(part, 1.25);
  const Vector p = B1.getPosition() * 0.75 + B2.getPosition() * 0.25;
  EXPECT_TRUE(between && !between.predicted && near(between.location, Xform(KVRBasicQtn3D<double>(q), p), 1e-15));
  EXPECT_TRUE(near(B2, at(6, 5, 1, 90) * (at(5, 5, 1).inverse() * B0), 1e-12));
  // Gaps: before the record, an entity never seen, after the last step without a planned shuttle.
  EXPECT_EQ(history->poseAt(part, -1.0).gap, Gap::BeforeRecord);
  EXPECT_EQ(history->poseAt(make<KVRBasicBody3D>(L"Stranger"), 1.0).gap, Gap::UnknownEntity);
  EXPECT_EQ(history->poseAt(g2, 4.5).gap, Gap::AfterRecord);
  EXPECT_EQ(history->poseAt(part, 5.0).gap, Gap::AfterRecord);
  EXPECT_THAT(KVRHistory::describe(Gap::AfterRecord), testing::HasSubstr(L"no active planned shuttle"));
  // Ahead: the cart's plan, for the part and the pallet it hangs on; then the real ride puts them there.
  step(10); drive(11);
  step(11);
  const KVRHistory::Pose ahead = history->poseAt(part, 15.5), palletAhead = history->poseAt(pallet, 15.5);
  ASSERT_TRUE(ahead && ahead.predicted && palletAhead.predicted);
  EXPECT_EQ(history->poseAt(part, 18.5).gap, Gap::AfterRecord);  // the move is over then
  EXPECT_EQ(planner->getCurrentDistance(), 1.0);                  // looking ahead moved nothing
  drive(15.5);
  EXPECT_TRUE(near(ahead.location, part->getBaseLocation()));
  EXPECT_TRUE(near(palletAhead.location, pallet->getBaseLocation()));
  EXPECT_TRUE(near(ahead.location, at(4, 1.5, 0) * at(0, 0, 0, 90 * 1.5 / 4) * at(1, 0, 0.5)));
}

// Custody intervals as text: "from-to holder hold [open] [handed over] carriers".
std::vector<std::string> describe(const std::vector<KVRHistory::Custody>& intervals) {
  std::vector<std::string> result;
  for (const auto& c : intervals) {
    std::string text = streamed(c.from.toSeconds()) + "-" + streamed(c.to.toSeconds()) + " " +
                       KVRToUtf8(c.holder->getEntityName()) + " " + KVRHistory::holdName(c.hold);
    if (c.open) text += " open";
    if (c.handedOver) text += " handed over";
    for (const auto& carrier : c.carriers) text += " " + KVRToUtf8(carrier->getEntityName());
    result.push_back(text);
  }
  return result;
}

TEST_F(History, CustodyListsThePickTheHandOverAndThePlace) {
  handle(); step(6);
  // Picked from the fixture by G1, handed to G2, placed on the pallet the cart carries.
  EXPECT_EQ(describe(history->custody(part, 0.0, 100.0)),
            (std::vector<std::string>{"0-1 Fixture attached", "1-3 G1 grabbed handed over",
                                      "3-4 G2 grabbed handed over", "4-6 Pallet connected open handed over Cart"}));
  // The pallet hangs on the root assembly, which the cart does not carry.
  EXPECT_EQ(describe(history->custody(pallet, 0.0, 100.0)), std::vector<std::string>{"0-6 Cell connected open"});
  // A window selects what overlaps it; letting go closes the interval.
  EXPECT_EQ(describe(history->custody(part, 3.5, 3.9)), std::vector<std::string>{"3-4 G2 grabbed handed over"});
  EXPECT_EQ(history->custody(part, -5.0, 0.5).size(), 1u);
  EXPECT_TRUE(history->custody(make<KVRBasicBody3D>(L"Stranger"), 0.0, 100.0).empty());
}

TEST_F(History, FirstTimeInsideMatchesTheCrossingsAndDestroyedEntitiesKeepTheirPastClearedOnesStartAgain) {
  handle();
  // Straight leg, 10 to 14 s: the part runs along x at 1 m/s from (1, 0, 0.5), entering the sphere at x = 3.
  const auto sphere = KVRHistory::Region::sphere(Vector(3.5, 0, 0.5), 0.5);
  const auto straight = history->firstTimeInside(part, sphere, 0.0, 100.0);
  ASSERT_TRUE(straight);
  EXPECT_NEAR(straight->time.toSeconds(), 12.0005, 0.0005 + 1e-9);
  EXPECT_LE(sphere.distance(straight->location.getPosition()), 0.0);
  // Turning leg, 14 to 18 s: at u s into it the part is at (4 + cos a, u + sin a, 0.5) with a = 22.5° u;
  // it enters the box y >= 2 where u + sin a = 2, solved here by bisection.
  double lo = 0, hi = 4;
  for (int i = 0; i < 60; ++i) {
    const double u = (lo + hi) / 2;
    (u + std::sin(KVRMathConst::Pi / 8 * u) < 2 ? lo : hi) = u;
  }
  const auto box = KVRHistory::Region::box(Vector(-10, 2, -10), Vector(10, 10, 10));
  const auto turning = history->firstTimeInside(part, box, 0.0, 100.0);
  ASSERT_TRUE(turning);
  EXPECT_NEAR(turning->time.toSeconds(), 14 + hi + 0.0005, 0.0005 + 1e-9);
  drive(turning->time.toSeconds());
  EXPECT_TRUE(near(turning->location, part->getBaseLocation()));
  // Never inside while planned; a window that ends before; a body no shuttle carries.
  EXPECT_FALSE(history->firstTimeInside(part, KVRHistory::Region::sphere(Vector(0, 9, 0), 1), 0.0, 100.0));
  EXPECT_FALSE(history->firstTimeInside(part, sphere, 0.0, 11.0));
  EXPECT_FALSE(history->firstTimeInside(g1, sphere, 0.0, 100.0));
  EXPECT_THROW(KVRHistory::Region::sphere(Vector(0, 0, 0), -1), KVREInvalidArgument);
  EXPECT_THROW(KVRHistory::Region::box(Vector(1, 0, 0), Vector(0, 1, 1)), KVREInvalidArgument);

  const Xform G1at2 = g1->getBaseLocation();
  cell->orphanLogicalChild(g1);  // destroyed, it keeps its past; cleared, G2 starts again
  g2->clearHistory();
  const auto newcomer = make<KVRBasicFrame3D>(L"Newcomer");
  fixture->addFrame(newcomer); step(5);
  for (const double t : {2.0, 4.0}) EXPECT_EQ(history->poseAt(g1, t).location, G1at2) << t;
  EXPECT_EQ(history->poseAt(g1, 5.0).gap, Gap::AfterRecord);
  EXPECT_EQ(history->getSampleCount(g2), 1u);
  EXPECT_EQ(history->poseAt(g2, 4.0).gap, Gap::BeforeRecord);
  EXPECT_EQ(history->poseAt(g2, 5.0).location, g2->getBaseLocation());
  EXPECT_EQ(history->poseAt(newcomer, 5.0).location, at(9, 9, 0));
  // A horizon lets go of old samples as entities move on; the kept ones wrap around their storage.
  history->setHorizon(1.0);
  for (int k = 6; k <= 40; ++k) {
    place(fixture, at(9, 9, k)); fixture->flushSpatialState();
    step(k);
  }
  EXPECT_LE(history->getSampleCount(fixture), 8u);
  for (const double t : {39.0, 39.25, 39.5, 40.0})
    EXPECT_EQ(history->poseAt(fixture, t).location.getPosition(), Vector(9, 9, t)) << t;
  EXPECT_EQ(history->poseAt(fixture, 7.0).gap, Gap::BeforeRecord);
  // Refused, recording nothing: a step back in time, a negative horizon, no root.
  EXPECT_THROW(history->record(KVRSimTime(39.0)), KVREInvalidArgument);
  EXPECT_THROW(history->setHorizon(-1.0), KVREInvalidArgument);
  EXPECT_EQ(history->getStepCount(), 41);
  EXPECT_THROW(KVRHistory(KVRSharedHandle<KVRBasicEntity>()), KVREInvalidArgument);
}

}  // namespace
