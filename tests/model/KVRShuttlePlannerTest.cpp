// The shuttle motion planner: binding a path, plan timing worked out by hand, evaluating, moving, no plan.

#include <Eigen/Geometry>
#include <algorithm>

#include <gmock/gmock.h>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Vector = KVRBasicVector3D<double>;
using Point = KVRSharedHandle<KVRBasicTagPoint3D>;
using Planner = KVRSharedHandle<KVRShuttlePlannerExt>;

// World W: the root assembly C holds the shuttle S and the path P (the route, at
// the origin unless a test moves it); the planner is attached to S.
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
  void addStraightLine() {  // x = 0, 1 and 3
    for (double x : {0.0, 1.0, 3.0}) addPoint(at(x, 0, 0));
  }
  // Moves the last point to x and publishes the route change.
  void moveLastPoint(double x) {
    const Point last = route->getTagPoint(route->getTagPointCount() - 1);
    last->setTagPointLocation(at(x, 0, 0));
    last->flushSpatialState();
    route->flushSpatialState();
  }
  void expectTimes(const std::vector<double>& expected, const Planner* of = nullptr) {
    std::vector<double> seconds;
    for (const KVRSimTime& t : (of ? *of : planner)->getTimes()) seconds.push_back(t.toSeconds());
    EXPECT_THAT(seconds, testing::Pointwise(testing::DoubleNear(2e-9), expected));
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

TEST_F(Planning, LegsShareTheSpanByLengthByTurnByCustomDurationsOrEquallyAndEveryTimeFindsItsLeg) {
  struct Case {
    const char* what;
    std::vector<Xform> points;
    double from, to;
    std::vector<double> times;
    std::vector<double> durations = {};    // with the custom flag set when given
    std::vector<int> bareExtensions = {};  // points with an extension without reference frames
  };
  // Mixed: legs 3 long, 90° in place, 1 long turning 90°, 0.02 long.
  const std::vector<Xform> line{at(0, 0, 0), at(1, 0, 0), at(3, 0, 0)},
      line4{line[0], line[1], line[2], at(5, 0, 0)}, turns{at(1, 1, 0, 0), at(1, 1, 0, 90), at(1, 1, 0, 180)},
      still(4, at(1, 1, 0, 30)),
      mixed{at(0, 0, 0), at(3, 0, 0), at(3, 0, 0, 90), at(4, 0, 0, 180), at(4.02, 0, 0, 180)};
  const std::vector<Case> cases{
      {"by length", line, 0, 6, {0, 2, 6}},
      {"by turn", turns, 0, 4, {0, 2, 4}},
      {"equally, custom or not", still, 0, 3, {0, 1, 2, 3}, {9, 9, 9, 9}},
      {"one point: its start", {at(1, 2, 3)}, 5, 9, {5}},
      // Counted: lengths above 0.03 (legs 0 and 2), turns above 0.0157 (legs
      // 1 and 2). Scale = (4.02 / 2) / (pi / 2); weights 3, 2.01, max(1, 2.01), 0.02.
      {"by length and turn", mixed, 0, 7.04, {0, 3, 5.01, 7.02, 7.04}},
      {"by custom durations, the last leg the rest", line, 0, 10, {0, 1, 10}, {1, 2}},
      {"by durations past the span: the last leg none", line4, 0, 4, {0, 6, 11, 11}, {6, 5}},
      {"descending, by the same durations back", line4, 20, 18, {20, 14, 9, 9}, {6, 5}},
      {"a negative duration counting as none", line4, 0, 4, {0, 6, 6, 6}, {6, -1}},
      {"an extension without frames weighing nothing", line4, 0, 6, {0, 2, 6, 6}, {}, {3}},
      {"every leg weighing nothing: equally", line4, 0, 6, {0, 2, 4, 6}, {}, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    route->removeTagPoints();
    for (const Xform& X_PT : c.points) addPoint(X_PT);
    for (std::size_t k = 0; k < c.durations.size(); ++k)
      route->getTagPoint(static_cast<int>(k))->setDuration(c.durations[k]);
    for (const int k : c.bareExtensions)
      route->getTagPoint(k)->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRMfgAssemblyTagPointExt));
    planner->setCustomFlag(!c.durations.empty());
    planner->setPath(route, c.from, c.to);
    expectTimes(c.times);
    KVRSimTime first, last;
    EXPECT_EQ(std::tuple(planner->getMoveTime(first, last), first, last),
              std::tuple(true, KVRSimTime(c.times.front()), KVRSimTime(c.times.back())));
    if (c.bareExtensions.size() == 1) {
      EXPECT_XFORM_NEAR(evaluated(7), at(5, 0, 0));
      EXPECT_DOUBLE_EQ(planner->getCurrentDistance(), 3.0);
    }
    if (c.times == std::vector<double>{0, 6, 11, 11}) {
      EXPECT_XFORM_NEAR(evaluated(8.5), at(2, 0, 0));  // halfway through leg 1
    }
    planner->clearPath();
  }
  // Every time of a long plan falls in its own leg: unit legs taking 1, 2 or 3 s, so that
  // inside leg j the shuttle stands at x = j + (t - T_j) / d_j.
  route->removeTagPoints();
  constexpr int Points = 41;
  std::vector<double> T{0};
  for (int i = 0; i < Points; ++i) {
    addPoint(at(i, 0, 0))->setDuration(1.0 + i % 3);
    if (i + 1 < Points) T.push_back(T.back() + 1 + i % 3);
  }
  planner->setCustomFlag(1);
  const double end = T.back();
  for (const bool descending : {false, true}) {
    planner->setPath(route, descending ? end : 0.0, descending ? 0.0 : end);  // descending: T_i at end - T_i
    for (double u = 0.05; u < end; u += 0.3) {
      const int j = static_cast<int>(std::upper_bound(T.begin(), T.end(), u) - T.begin()) - 1;
      const double x = j + (u - T[static_cast<std::size_t>(j)]) / (1 + j % 3);
      EXPECT_NEAR(evaluated(descending ? end - u : u).getPosition().x(), x, 1e-8) << "at " << u;
    }
    for (const auto& [u, x] : {std::pair{-1.0, 0.0}, {0.0, 0.0}, {end + 1, Points - 1.0}})  // clamped to its ends
      EXPECT_NEAR(evaluated(descending ? end - u : u).getPosition().x(), x, 1e-8) << "at " << u;
    planner->clearPath();
  }
}

TEST_F(Planning, TheRouteChangingPlansAgainOverTheSameSpanNotACopyNorAnUnsubscribedOneAndTheSpanScales) {
  addStraightLine();
  planner->setPath(route, 0.0, 6.0);
  planner->setScheduledStart(10.0);
  planner->setCustomFlag(1);
  evaluated(1);
  // A copy keeps the plan, but neither the start nor the subscription.
  const int subscribers = route->getSubscriberCount();
  Planner copy = KVRDuplicate(planner);
  EXPECT_EQ(std::tuple(copy->getScheduledStart(), copy->getPath(), copy->getTimes(), copy->getCustomFlag(),
                       copy->getBasicObject().isNull(), route->getSubscriberCount()),
            std::tuple(KVRSimTime(), route, planner->getTimes(), 1, true, subscribers));
  planner->setCustomFlag(0);
  moveLastPoint(5);
  expectTimes({0, 1.2, 6});  // lengths 1 and 4
  EXPECT_EQ(planner->getCurrentDistance(), 0.0);
  expectTimes({0, 2, 6}, &copy);
  copy = nullptr;  // its release leaves the original's subscription alone
  EXPECT_EQ(route->getSubscriberCount(), subscribers);
  // No longer followed: the plan stays as it is.
  planner->unRegisterEventFunctor();
  moveLastPoint(3);
  expectTimes({0, 1.2, 6});
  EXPECT_TRUE(planner->isBound());
  // Changing the move time scales the plan, or with the custom flag plans again.
  planner->changeMoveTime(3.0, 6.0);
  expectTimes({3, 3.6, 6});
  route->getTagPoint(0)->setDuration(0.5);
  planner->setCustomFlag(1);
  planner->changeMoveTime(1.0, 2.0);
  expectTimes({1, 1.5, 2});
}

TEST_F(Planning, EvaluationRunsStraightAndTurnsInProportionToTimeEitherWayAndMovesTheShuttleOnThePath) {
  addStraightLine();
  route->getTagPoint(2)->setTagPointLocation(at(3, 0, 0, 90));
  // The turn weighs (3 / 2) / (pi / 2) * pi / 2 = 1.5, less than its leg's length 2: times stay 0, 2, 6.
  planner->setPath(route, 0.0, 6.0);
  expectTimes({0, 2, 6});
  const auto expectAt = [&](double t, const Xform& pose, double distance) {
    EXPECT_XFORM_NEAR(evaluated(t), pose);
    EXPECT_NEAR(planner->getCurrentDistance(), distance, 1e-12) << "at " << t;
  };
  expectAt(2, at(1, 0, 0), 1);  // the end of leg 0
  expectAt(4, at(2, 0, 0, 45), 2);
  expectAt(7, at(3, 0, 0, 90), 3);
  // A plan whose times are all equal stands at its last point.
  planner->setPoints(5.0, 5.0);
  expectAt(1, at(3, 0, 0, 90), 3);
  // A descending plan runs backwards in time.
  planner->setPoints(6.0, 0.0);
  expectTimes({6, 4, 0});
  expectAt(5, at(0.5, 0, 0), 0.5);
  expectAt(1, at(2.5, 0, 0, 67.5), 2.5);
  expectAt(7, at(0, 0, 0), 0);
  expectAt(-1, at(3, 0, 0, 90), 3);
  // Moved, the shuttle stands on the path wherever the path stands, at the planner's own time.
  planner->setPoints(0.0, 6.0);
  const std::vector<KVRSimTime> times = planner->getTimes();
  const Xform E = evaluated(3), X_WP = pose(2.1, 4, -3, 1, Vector(-1, 0.5, 2));
  place(route, X_WP);
  route->flushSpatialState();
  EXPECT_EQ(planner->getTimes(), times);  // the path's own move changes no route
  EXPECT_EQ(planner->moveBasicObject(KVRSimTime(3.0)), 2);
  EXPECT_XFORM_NEAR(shuttle->getBaseLocation(), X_WP * E);
  // Off its assembly the shuttle refuses to move: the planner keeps its distance.
  const double distance = planner->getCurrentDistance();
  cell->removeBody(shuttle);
  EXPECT_EQ(planner->moveBasicObject(KVRSimTime(5.0)), 0);
  EXPECT_EQ(planner->getCurrentDistance(), distance);
  shuttle->orphanObject();
}

TEST_F(Planning, AReferenceFrameLegRidesItsFrameFromAToB) {
  // The route stands off the origin; the third point carries frames A, B (world terms) for the last leg.
  const Xform X_WP = pose(0.7, 1, -2, 0.5);
  place(route, X_WP);
  route->flushSpatialState();
  addPoint(at(0, 0, 0));
  addPoint(at(2, 0, 0));
  const KVRSharedHandle<KVRMfgAssemblyTagPointExt> frames(new KVRMfgAssemblyTagPointExt);
  addPoint(at(2, 2, 0.5))->addExtension(frames);
  const Xform X_WA = pose(0.3, 1, 0, 0), X_WB = pose(1.4, 3, 1, 0, Vector(0, 1, 1));
  frames->setReferenceFrame(X_WA, X_WB);
  // Computed apart: the frame's rotation slerps from A to B, its origin and the point in it move linearly.
  const Eigen::Isometry3d P_A = (X_WP.inverse() * X_WA).toIsometry(),
                          P_B = (X_WP.inverse() * X_WB).toIsometry();
  const Eigen::Vector3d a = P_A.inverse() * Eigen::Vector3d(2, 0, 0),
                        b = P_B.inverse() * Eigen::Vector3d(2, 2, 0.5);
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

TEST_F(Planning, WithoutAPlanNothingIsReadMovedOrActiveAndAPlannerFollowsOnePathAtATime) {
  planner->setScheduledStart(0.0);
  const auto expectNoPlan = [&] {
    KVRSimTime first(7.0), last(8.0);
    Xform out = at(9, 9, 9);
    EXPECT_EQ(std::tuple(planner->getTimes().empty(), planner->getMoveTime(first, last),
                         planner->evaluate(out, KVRSimTime(1.0)), planner->moveBasicObject(KVRSimTime(1.0)),
                         planner->isActive(KVRSimTime(0.0)), planner->isActive(KVRSimTime(1.0))),
              std::tuple(true, false, false, 0, false, false));
    EXPECT_EQ(std::tuple(first, last), std::tuple(KVRSimTime(7.0), KVRSimTime(8.0)));  // left as they were
    EXPECT_XFORM_NEAR(out, at(9, 9, 9));
    EXPECT_XFORM_NEAR(shuttle->getBaseLocation(), Xform::Identity);
  };
  planner->setPoints(0.0, 6.0);  // unbound
  planner->changeMoveTime(0.0, 6.0);
  expectNoPlan();
  planner->setPath(route, 0.0, 6.0);  // bound to a route without points
  expectNoPlan();
  EXPECT_TRUE(planner->isBound());
  addStraightLine();
  route->flushSpatialState();
  expectTimes({0, 2, 6});
  // Active through the end; the start instant counts only at time zero, which this start is.
  EXPECT_TRUE(planner->isActive(KVRSimTime(0.0)) && planner->isActive(KVRSimTime(6.0)) &&
              !planner->isActive(KVRSimTime(6.001)));
  // The route loses its points, the span changes meanwhile, points come back.
  route->removeTagPoints();
  route->flushSpatialState();
  expectNoPlan();
  planner->changeMoveTime(0.0, 12.0);
  addStraightLine();
  route->flushSpatialState();
  expectTimes({0, 4, 12});
  // It follows one path at a time; refusals change nothing.
  const auto other = make<KVRBasicPath3D>(L"Other");
  cell->addPath(other);
  const int subscribers = route->getSubscriberCount();
  EXPECT_THROW(planner->setPath(other, 0.0, 1.0), KVREAlreadyRegistered);
  EXPECT_THROW(planner->setPath(KVRSharedHandle<KVRBasicPath3D>(), 0.0, 1.0), KVREInvalidArgument);
  EXPECT_EQ(std::tuple(planner->getPath(), other->getSubscriberCount()), std::tuple(route, 0));
  expectTimes({0, 4, 12});
  planner->clearPath();
  EXPECT_EQ(std::tuple(planner->isBound(), planner->getTimes().empty(), route->getSubscriberCount()),
            std::tuple(false, true, subscribers - 1));
  // A planner on no shuttle moves nothing.
  const Planner loose(new KVRShuttlePlannerExt);
  loose->setPath(route, 0.0, 6.0);
  EXPECT_EQ(loose->moveBasicObject(KVRSimTime(1.0)), 0);
  loose->clearPath();
  // Orphaning the shuttle lets go of the path.
  planner->setPath(route, 0.0, 6.0);
  shuttle->orphanObject();
  EXPECT_EQ(std::tuple(planner->isOrphaned(), planner->isBound(), route->getSubscriberCount()),
            std::tuple(true, false, subscribers - 1));
}

}  // namespace
