// The shuttle motion planner: binding a path, the timing of a plan worked out
// by hand, evaluating a plan along plain and reference-frame legs, moving the
// shuttle, and the answers of a planner without a plan.

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Vector = KVRBasicVector3D<double>;
using Point = KVRSharedHandle<KVRBasicTagPoint3D>;
using Planner = KVRSharedHandle<KVRShuttlePlannerExt>;

// The scene, in world W: the root assembly C (at the origin) holds the
// shuttle S and the path P (the route, at the origin unless a test moves it);
// the planner is attached to S. Tests add the route's tag points.
class Planning : public testing::Test {
 protected:
  void SetUp() override {
    w->addEntity(cell);
    cell->addBody(shuttle);
    cell->addPath(route);
    shuttle->addExtension(planner);
    w->flushLogicalState();
  }
  void TearDown() override {
    EXPECT_TRUE(isSound(w));
    w->orphanObject();
  }

  Point addPoint(const Xform& X_PT) {
    Point point = make<KVRBasicTagPoint3D>(L"T" + std::to_wstring(route->getTagPointCount()));
    route->addTagPoint(point);
    point->setTagPointLocation(X_PT);
    return point;
  }
  // The points x = 0, 1 and 3 on a straight line.
  void addStraightLine() {
    for (double x : {0.0, 1.0, 3.0}) addPoint(at(x, 0, 0));
  }
  // Flushes a moved point, then the route, which publishes the route change.
  void publish(const Point& point) {
    point->flushSpatialState();
    route->flushSpatialState();
  }
  void expectTimes(const std::vector<double>& expected) {
    const std::vector<KVRSimTime>& times = planner->getTimes();
    ASSERT_EQ(times.size(), expected.size());
    for (std::size_t k = 0; k < times.size(); ++k)
      EXPECT_NEAR(times[k].toSeconds(), expected[k], 2e-9) << "time " << k;
  }
  Xform evaluated(double t) {
    Xform out;
    EXPECT_TRUE(planner->evaluate(out, KVRSimTime(t)));
    return out;
  }

  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  KVRSharedHandle<KVRBasicMfgAssembly3D> cell = make<KVRBasicMfgAssembly3D>(L"Cell");
  KVRSharedHandle<KVRBasicShuttle3D> shuttle = make<KVRBasicShuttle3D>(L"Cart");
  KVRSharedHandle<KVRBasicPath3D> route = make<KVRBasicPath3D>(L"Route");
  Planner planner{new KVRShuttlePlannerExt};
};

// --- Timing ----------------------------------------------------------------------------

TEST_F(Planning, LegsShareTheSpanByLengthByTurnOrEqually) {
  // Lengths 1 and 2 of a 6 s span.
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  expectTimes({0, 2, 6});
  planner->clearPath();

  // Pure turns of 90° each about z, in place.
  route->removeTagPoints();
  for (double yaw : {0.0, 90.0, 180.0}) addPoint(at(1, 1, 0, yaw));
  planner->setPath(route, 0.0, 4.0);
  expectTimes({0, 2, 4});
  planner->clearPath();

  // No length and no turn: equal spacing, whatever the custom flag says.
  route->removeTagPoints();
  for (int i = 0; i < 4; ++i) addPoint(at(1, 1, 0, 30))->setDuration(9.0);
  planner->setCustomFlag(1);
  planner->setPath(route, 0.0, 3.0);
  expectTimes({0, 1, 2, 3});
  planner->clearPath();

  // One point: the plan is its start.
  route->removeTagPoints();
  addPoint(at(1, 2, 3));
  planner->setPath(route, 5.0, 9.0);
  expectTimes({5});
  KVRSimTime first, last;
  EXPECT_TRUE(planner->getMoveTime(first, last));
  EXPECT_EQ(first, KVRSimTime(5.0));
  EXPECT_EQ(last, KVRSimTime(5.0));
}

TEST_F(Planning, LengthAndTurnTogetherWeighTurnsScaledToLengths) {
  // Legs: 3 long; 90° in place; 1 long turning 90°; 0.02 long.
  addPoint(at(0, 0, 0));
  addPoint(at(3, 0, 0));
  addPoint(at(3, 0, 0, 90));
  addPoint(at(4, 0, 0, 180));
  addPoint(at(4.02, 0, 0, 180));
  // Counted: lengths above 0.03 (legs 0 and 2), turns above 0.0157 (legs 1
  // and 2). Scale = (4.02 / 2) / (pi / 2); weights 3, 2.01, max(1, 2.01),
  // 0.02: 7.04 in all.
  planner->setPath(route, 0.0, 7.04);
  expectTimes({0, 3, 5.01, 7.02, 7.04});
}

TEST_F(Planning, CustomDurationsComeFromTheStartPointsAndNeverRunBack) {
  addStraightLine();
  route->getTagPoint(0)->setDuration(1.0);
  route->getTagPoint(1)->setDuration(2.0);
  planner->setCustomFlag(1);
  planner->setPath(route, 0.0, 10.0);
  expectTimes({0, 1, 10});  // the last leg takes the rest

  // Durations longer than the span: the last leg takes no time and the move
  // ends with the last custom leg.
  addPoint(at(5, 0, 0));
  route->getTagPoint(0)->setDuration(6.0);
  route->getTagPoint(1)->setDuration(5.0);
  planner->setPoints(0.0, 4.0);
  expectTimes({0, 6, 11, 11});
  Xform out;
  EXPECT_TRUE(planner->evaluate(out, KVRSimTime(8.5)));  // halfway through leg 1
  EXPECT_XFORM_NEAR(out, at(2, 0, 0));
  // A descending plan steps back by the same durations.
  planner->setPoints(20.0, 18.0);
  expectTimes({20, 14, 9, 9});
  // A negative duration counts as none.
  route->getTagPoint(1)->setDuration(-1.0);
  planner->setPoints(0.0, 4.0);
  expectTimes({0, 6, 6, 6});
}

TEST_F(Planning, ChangingTheMoveTimeScalesThePlanOrPlansAgain) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  planner->changeMoveTime(0.0, 12.0);
  expectTimes({0, 4, 12});
  planner->changeMoveTime(3.0, 6.0);
  expectTimes({3, 4, 6});

  // With the custom flag the plan is made again from the points' durations.
  route->getTagPoint(0)->setDuration(0.5);
  planner->setCustomFlag(1);
  planner->changeMoveTime(1.0, 2.0);
  expectTimes({1, 1.5, 2});
}

TEST_F(Planning, AnExtensionWithoutReferenceFramesWeighsNothing) {
  for (double x : {0.0, 1.0, 3.0, 6.0}) addPoint(at(x, 0, 0));
  route->getTagPoint(3)->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRMfgAssemblyTagPointExt));
  planner->setPath(route, 0.0, 6.0);
  expectTimes({0, 2, 6, 6});  // lengths 1, 2 and none
  EXPECT_XFORM_NEAR(evaluated(7), at(6, 0, 0));
  EXPECT_DOUBLE_EQ(planner->getCurrentDistance(), 3.0);

  route->getTagPoint(1)->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRMfgAssemblyTagPointExt));
  route->getTagPoint(2)->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRMfgAssemblyTagPointExt));
  planner->setPoints(0.0, 6.0);
  expectTimes({0, 2, 4, 6});  // every leg weighs nothing: equal spacing
}

TEST_F(Planning, TheRouteChangingPlansAgainOverTheSameSpan) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  evaluated(1);
  const Point last = route->getTagPoint(2);
  last->setTagPointLocation(at(5, 0, 0));
  publish(last);
  expectTimes({0, 1.2, 6});  // lengths 1 and 4
  EXPECT_EQ(planner->getCurrentDistance(), 0.0);

  // No longer followed: the plan stays as it is.
  planner->unRegisterEventFunctor();
  last->setTagPointLocation(at(3, 0, 0));
  publish(last);
  expectTimes({0, 1.2, 6});
  EXPECT_TRUE(planner->isBound());
}

// --- Evaluation ------------------------------------------------------------------------

TEST_F(Planning, EvaluationRunsStraightAndTurnsInProportionToTime) {
  addStraightLine();
  route->getTagPoint(2)->setTagPointLocation(at(3, 0, 0, 90));
  // Scaled to lengths, the one turn weighs (3 / 2) / (pi / 2) * pi / 2 = 1.5,
  // less than its leg's length of 2: the times stay 0, 2, 6.
  planner->setPath(route, 0.0, 6.0);
  expectTimes({0, 2, 6});
  const auto expectAt = [&](double t, const Xform& pose, double distance) {
    EXPECT_XFORM_NEAR(evaluated(t), pose);
    EXPECT_NEAR(planner->getCurrentDistance(), distance, 1e-12) << "at " << t;
  };
  expectAt(-1, at(0, 0, 0), 0);
  expectAt(0, at(0, 0, 0), 0);
  expectAt(1, at(0.5, 0, 0), 0.5);
  expectAt(2, at(1, 0, 0), 1);  // the end of leg 0
  expectAt(4, at(2, 0, 0, 45), 2);
  expectAt(6, at(3, 0, 0, 90), 3);
  expectAt(7, at(3, 0, 0, 90), 3);

  // A plan whose times are all equal stands at its last point.
  planner->setPoints(5.0, 5.0);
  expectAt(1, at(3, 0, 0, 90), 3);
}

TEST_F(Planning, ADescendingPlanRunsBackwardsInTime) {
  addStraightLine();
  planner->setPath(route, 6.0, 0.0);
  expectTimes({6, 4, 0});
  EXPECT_XFORM_NEAR(evaluated(5), at(0.5, 0, 0));
  EXPECT_XFORM_NEAR(evaluated(1), at(2.5, 0, 0));
  EXPECT_NEAR(planner->getCurrentDistance(), 2.5, 1e-12);
  EXPECT_XFORM_NEAR(evaluated(7), at(0, 0, 0));
  EXPECT_XFORM_NEAR(evaluated(-1), at(3, 0, 0));
  EXPECT_EQ(planner->getCurrentDistance(), 3.0);
}

TEST_F(Planning, EveryTimeOfALongPlanFallsInItsOwnLeg) {
  // Unit legs along x taking 1, 2 or 3 s each: inside leg j the shuttle
  // stands at x = j + (t - T_j) / d_j, and any other leg would give another x.
  constexpr int Points = 41;
  std::vector<double> T{0};
  for (int i = 0; i < Points; ++i) {
    addPoint(at(i, 0, 0))->setDuration(1.0 + i % 3);
    if (i + 1 < Points) T.push_back(T.back() + 1 + i % 3);
  }
  planner->setCustomFlag(1);
  const double end = T.back();
  for (const bool descending : {false, true}) {
    // Descending, the plan runs from `end` back to 0: point i is passed at end - T_i.
    planner->setPath(route, descending ? end : 0.0, descending ? 0.0 : end);
    for (double u = 0.05; u < end; u += 0.3) {
      const int j = static_cast<int>(std::upper_bound(T.begin(), T.end(), u) - T.begin()) - 1;
      const double x = j + (u - T[static_cast<std::size_t>(j)]) / (1 + j % 3);
      EXPECT_NEAR(evaluated(descending ? end - u : u).getPosition().x(), x, 1e-8) << "at " << u;
    }
    planner->clearPath();
  }
}

TEST_F(Planning, AReferenceFrameLegRidesItsFrameFromAToB) {
  // The route stands away from the origin; the third point carries frames A
  // and B (in world terms) that turn and slide over the leg ending there.
  const Xform X_WP = pose(0.7, 1, -2, 0.5);
  place(route, X_WP);
  route->flushSpatialState();
  addPoint(at(0, 0, 0));
  addPoint(at(2, 0, 0));
  const Point third = addPoint(at(2, 2, 0.5));
  const KVRSharedHandle<KVRMfgAssemblyTagPointExt> frames(new KVRMfgAssemblyTagPointExt);
  third->addExtension(frames);
  const Xform X_WA = pose(0.3, 1, 0, 0), X_WB = pose(1.4, 3, 1, 0, Vector(0, 1, 1));
  frames->setReferenceFrame(X_WA, X_WB);

  // The leg computed apart, with Eigen: the frame's rotation slerps from A to
  // B while its origin and the point's position within it move linearly.
  const Eigen::Isometry3d P_A = (X_WP.inverse() * X_WA).toIsometry(),
                          P_B = (X_WP.inverse() * X_WB).toIsometry();
  const Eigen::Vector3d p1(2, 0, 0), p2(2, 2, 0.5);
  const Eigen::Vector3d a = P_A.inverse() * p1, b = P_B.inverse() * p2;
  const Eigen::Quaterniond qA(P_A.rotation()), qB(P_B.rotation());
  const auto onLeg = [&](double s) -> Eigen::Vector3d {
    return qA.slerp(s, qB) * ((1 - s) * a + s * b) + (1 - s) * P_A.translation() + s * P_B.translation();
  };
  double length = 0;
  for (int k = 1; k <= 10; ++k) length += (onLeg(k / 10.0) - onLeg((k - 1) / 10.0)).norm();

  planner->setPath(route, 0.0, 10.0);
  const double t1 = 10 * 2 / (2 + length);  // no turns: the legs share the span by length
  expectTimes({0, t1, 10});
  for (double s : {0.0, 0.3, 1.0}) {
    const Xform X_PT = evaluated(t1 + s * (10 - t1));
    EXPECT_LT((X_PT.getPosition().eigen() - onLeg(s)).norm(), 1e-8) << "at s = " << s;
    EXPECT_XFORM_NEAR(Xform(X_PT.getQtn(), Vector()), Xform::Identity);
  }
  EXPECT_NEAR(planner->getCurrentDistance(), 2 + length, 1e-9);
}

TEST_F(Planning, TheMoveIsActiveAfterItsScheduledStartUpToItsEnd) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  EXPECT_FALSE(planner->isActive(KVRSimTime(1000000.0)));  // the default start lies far ahead
  EXPECT_EQ(planner->getScheduledStart(), KVRSimTime(4294967295.0));
  planner->setScheduledStart(10.0);
  EXPECT_FALSE(planner->isActive(KVRSimTime(10.0)));
  EXPECT_TRUE(planner->isActive(KVRSimTime(10.001)));
  EXPECT_TRUE(planner->isActive(KVRSimTime(16.0)));
  EXPECT_FALSE(planner->isActive(KVRSimTime(16.001)));
  planner->setScheduledStart(0.0);
  EXPECT_TRUE(planner->isActive(KVRSimTime(0.0)));  // the start instant counts only at time zero
}

TEST_F(Planning, MovingTheShuttlePutsItOnThePathWhereverThePathStands) {
  addStraightLine();
  route->getTagPoint(1)->setTagPointLocation(at(1, 0, 0, 60));
  planner->setPath(route, 0.0, 6.0);
  const std::vector<KVRSimTime> times = planner->getTimes();
  const Xform E = evaluated(3);

  place(route, at(0, 5, 0));
  route->flushSpatialState();
  EXPECT_EQ(planner->moveBasicObject(KVRSimTime(3.0)), 2);  // the time is on the planner's own axis
  EXPECT_XFORM_NEAR(shuttle->getBaseLocation(), at(0, 5, 0) * E);
  EXPECT_XFORM_NEAR(shuttle->getBaseLocation(), Xform(E.getQtn(), E.getPosition() + Vector(0, 5, 0)));

  const Xform X_WP = pose(2.1, 4, -3, 1, Vector(-1, 0.5, 2));
  place(route, X_WP);
  route->flushSpatialState();
  EXPECT_EQ(planner->getTimes(), times);  // the path's own move changes no route
  planner->moveBasicObject(KVRSimTime(3.0));
  EXPECT_XFORM_NEAR(shuttle->getBaseLocation(), X_WP * E);

  // Off its assembly the shuttle refuses to move: the planner keeps its distance.
  const double distance = planner->getCurrentDistance();
  cell->removeBody(shuttle);
  EXPECT_EQ(planner->moveBasicObject(KVRSimTime(5.0)), 0);
  EXPECT_EQ(planner->getCurrentDistance(), distance);
  shuttle->orphanObject();
}

// --- Binding ---------------------------------------------------------------------------

TEST_F(Planning, APlannerFollowsOnePathAtATime) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  const auto other = make<KVRBasicPath3D>(L"Other");
  cell->addPath(other);
  const int subscribers = route->getSubscriberCount();
  expectThrowWithText<KVREAlreadyRegistered>([&] { planner->setPath(other, 0.0, 1.0); },
                                             L"Motion planner already in use");
  expectThrowWithText<KVREInvalidArgument>(
      [&] { planner->setPath(KVRSharedHandle<KVRBasicPath3D>(), 0.0, 1.0); },
      L"An empty handle was given as the path of a motion planner");
  EXPECT_EQ(planner->getPath(), route);
  EXPECT_EQ(other->getSubscriberCount(), 0);
  expectTimes({0, 2, 6});

  planner->clearPath();
  EXPECT_FALSE(planner->isBound());
  EXPECT_TRUE(planner->getTimes().empty());
  EXPECT_EQ(route->getSubscriberCount(), subscribers - 1);

  // An orphaned path is refused, and so is binding an orphaned planner.
  cell->destroyPath(other);
  expectThrowWithText<KVREInvalidRelation>([&] { planner->setPath(other, 0.0, 1.0); },
                                           L"Tag Path \"/\" has been orphaned and cannot be linked again");
  EXPECT_FALSE(planner->isBound());
  const Planner loose(new KVRShuttlePlannerExt);
  loose->orphanObject();
  expectThrowWithText<KVREInvalidRelation>([&] { loose->setPath(route, 0.0, 1.0); },
                                           L"An orphaned motion planner cannot be bound to a path");
  EXPECT_EQ(route->getSubscriberCount(), subscribers - 1);
}

TEST_F(Planning, ACopyKeepsThePlanButNeitherTheStartNorTheSubscription) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  planner->setScheduledStart(10.0);
  planner->setCustomFlag(1);
  const int subscribers = route->getSubscriberCount();
  Planner copy = KVRDuplicate(planner);
  EXPECT_EQ(copy->getScheduledStart(), KVRSimTime());
  EXPECT_EQ(copy->getPath(), route);
  EXPECT_EQ(copy->getTimes(), planner->getTimes());
  EXPECT_EQ(copy->getCustomFlag(), 1);
  planner->setCustomFlag(0);
  EXPECT_TRUE(copy->getBasicObject().isNull());
  EXPECT_EQ(route->getSubscriberCount(), subscribers);

  const Point last = route->getTagPoint(2);
  last->setTagPointLocation(at(5, 0, 0));
  publish(last);
  EXPECT_EQ(copy->getTimes()[1], KVRSimTime(2.0));             // the copy does not follow the route
  EXPECT_NEAR(planner->getTimes()[1].toSeconds(), 1.2, 1e-9);  // lengths 1 and 4
  copy = nullptr;  // its release leaves the original's subscription alone
  EXPECT_EQ(route->getSubscriberCount(), subscribers);
}

TEST_F(Planning, OrphaningTheShuttleLetsGoOfThePath) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  const int subscribers = route->getSubscriberCount();
  shuttle->orphanObject();
  EXPECT_TRUE(planner->isOrphaned());
  EXPECT_FALSE(planner->isBound());
  EXPECT_EQ(route->getSubscriberCount(), subscribers - 1);
}

// --- Without a plan -------------------------------------------------------------------------

TEST_F(Planning, WithoutAPlanNothingIsReadMovedOrActive) {
  planner->setScheduledStart(0.0);
  const auto expectNoPlan = [&] {
    EXPECT_TRUE(planner->getTimes().empty());
    KVRSimTime first(7.0), last(8.0);
    EXPECT_FALSE(planner->getMoveTime(first, last));
    EXPECT_EQ(first, KVRSimTime(7.0));
    EXPECT_EQ(last, KVRSimTime(8.0));
    Xform out = at(9, 9, 9);
    EXPECT_FALSE(planner->evaluate(out, KVRSimTime(1.0)));
    EXPECT_XFORM_NEAR(out, at(9, 9, 9));
    EXPECT_EQ(planner->moveBasicObject(KVRSimTime(1.0)), 0);
    EXPECT_XFORM_NEAR(shuttle->getBaseLocation(), Xform::Identity);
    EXPECT_FALSE(planner->isActive(KVRSimTime(0.0)));
    EXPECT_FALSE(planner->isActive(KVRSimTime(1.0)));
  };
  // Unbound.
  planner->setPoints(0.0, 6.0);
  planner->changeMoveTime(0.0, 6.0);
  expectNoPlan();
  // Bound to a route without points.
  planner->setPath(route, 0.0, 6.0);
  expectNoPlan();
  EXPECT_TRUE(planner->isBound());
}

TEST_F(Planning, AnEmptyPlanPlansAgainWhenPointsArriveOverTheSpanLastAskedFor) {
  planner->setPath(route, 0.0, 6.0);
  addStraightLine();
  route->flushSpatialState();
  expectTimes({0, 2, 6});

  // The route loses its points, the span changes meanwhile, points come back.
  route->removeTagPoints();
  route->flushSpatialState();
  expectTimes({});
  planner->changeMoveTime(0.0, 12.0);
  addStraightLine();
  route->flushSpatialState();
  expectTimes({0, 4, 12});
}

TEST_F(Planning, AnUnattachedPlannerMovesNothing) {
  addStraightLine();
  const Planner loose(new KVRShuttlePlannerExt);
  loose->setPath(route, 0.0, 6.0);
  EXPECT_EQ(loose->moveBasicObject(KVRSimTime(1.0)), 0);
  loose->clearPath();
}

}  // namespace
