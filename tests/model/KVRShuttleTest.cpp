// Shuttles: carrying bodies and shuttles, which one drives a body, predicted poses and velocities, the dump.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Vector = KVRBasicVector3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Shuttle = KVRSharedHandle<KVRBasicShuttle3D>;
using Planner = KVRSharedHandle<KVRShuttlePlannerExt>;
using Path = KVRSharedHandle<KVRBasicPath3D>;

// World W: the root assembly C holds the cart S (at the origin), the pallet
// assembly A at X_WA with parts B1, B2 on it at X_AB1, X_AB2, and the route R
// at X_WR. R's points (0, 0, 0), (2, 0, 0) and (2, 2, 0) turned 90° about z are
// passed at 0, 3 and 6 s of a plan that starts at 10 s of simulation time.
// The cart carries the pallet and is active.
class Shuttles : public testing::Test {
 protected:
  void SetUp() override {
    w->addEntity(cell);
    cell->addBody(cart);
    cell->addBody(pallet, X_WA, Xform::Identity);
    pallet->addBody(part1, X_AB1, Xform::Identity);
    pallet->addBody(part2, X_AB2, Xform::Identity);
    cell->addPath(route);
    place(route, X_WR);
    route->flushSpatialState();
    addPoints(route, {at(0, 0, 0), at(2, 0, 0), at(2, 2, 0, 90)});
    cart->addExtension(planner);
    planner->setPath(route, 0.0, 6.0);
    planner->setScheduledStart(10.0);
    w->flushLogicalState();
    cart->addEntity(pallet);
    cart->activate();
  }
  void TearDown() override {
    EXPECT_TRUE(isSound(w));
    w->orphanObject();
  }
  // Adds points at X_PT and publishes them and the path.
  static void addPoints(const Path& path, std::initializer_list<Xform> points) {
    for (const Xform& X_PT : points) {
      const auto point = make<KVRBasicTagPoint3D>(L"T" + std::to_wstring(path->getTagPointCount()));
      path->addTagPoint(point);
      point->setTagPointLocation(X_PT);
      point->flushSpatialState();
    }
    path->flushSpatialState();
  }
  // Moves `shuttle` with its planner to simulation time t and flushes it.
  static void driveTo(const Shuttle& shuttle, double t) {
    const Planner driver = shuttle->getPlanner();
    ASSERT_EQ(driver->moveBasicObject(KVRSimTime(t) - driver->getScheduledStart()), 2);
    shuttle->flushSpatialState();
  }
  // The cart's pose in R at planner time r, worked out from the plan.
  static Xform cartOnRoute(double r) {
    if (r <= 3) return at(2 * r / 3, 0, 0);
    return at(2, 2 * (r - 3) / 3, 0, 90 * (r - 3) / 3);
  }
  const Xform X_WA = pose(0.4, 1, -1, 0.2), X_AB1 = pose(-0.7, 0.1, 0, 0.05),
              X_AB2 = pose(1.1, -0.1, 0, 0.05);
  const Xform X_WR = pose(0.8, 3, 1, 0.5, Vector(1, -2, 0.5));
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  KVRSharedHandle<KVRBasicMfgAssembly3D> cell = make<KVRBasicMfgAssembly3D>(L"Cell"),
                                         pallet = make<KVRBasicMfgAssembly3D>(L"Pallet");
  Body part1 = make<KVRBasicPart3D>(L"B1"), part2 = make<KVRBasicPart3D>(L"B2");
  Shuttle cart = make<KVRBasicShuttle3D>(L"Cart");
  Path route = make<KVRBasicPath3D>(L"Route");
  Planner planner{new KVRShuttlePlannerExt};
};

TEST_F(Shuttles, APredictedPoseIsWhereTheBodyEndsUpAndPosesAndVelocitiesRunOverTheMoveOnly) {
  // The cart also grabbed a box, not a member: it follows as any body hanging on it.
  const Body box = make<KVRBasicBody3D>(L"Box");
  w->addEntity(box);
  const Xform X_SX = pose(0.3, 0.5, 0.5, 1);
  cell->attachBody(box, X_SX);
  cart->grabBody(box, 1);
  Xform out;
  for (double t : {10.5, 11.5, 13.0, 14.2, 16.0}) {
    Xform predicted;
    ASSERT_TRUE(KVRBasicShuttle3D::evaluateBodyPosition(part1, KVRSimTime(t), predicted)) << "at " << t;
    ASSERT_TRUE(cart->evaluateShuttlePosition(KVRSimTime(t), out) && cart->isMotionActive(KVRSimTime(t)));
    EXPECT_XFORM_NEAR(out, cartOnRoute(t - 10));  // in the route's coordinates
    driveTo(cart, t);
    EXPECT_XFORM_NEAR(part1->getBaseLocation(), predicted);
    // Where the plan puts them: the cart on the route, the pallet where it was on the cart.
    const Xform X_WS = X_WR * cartOnRoute(t - 10);
    EXPECT_XFORM_NEAR(cart->getBaseLocation(), X_WS);
    EXPECT_XFORM_NEAR(part1->getBaseLocation(), X_WS * X_WA * X_AB1);
    EXPECT_XFORM_NEAR(part2->getBaseLocation(), X_WS * X_WA * X_AB2);
    EXPECT_XFORM_NEAR(box->getBaseLocation(), X_WS * X_SX);
  }
  // Until the scheduled start (and at it) and after the move nothing carries them; `out` is left alone.
  for (double t : {9.999, 10.0, 16.001}) {
    EXPECT_FALSE(KVRBasicShuttle3D::evaluateBodyPosition(part1, KVRSimTime(t), out)) << t;
    EXPECT_FALSE(cart->isMotionActive(KVRSimTime(t)) ||
                 (t != 10.0 && cart->evaluateShuttlePosition(KVRSimTime(t), out))) << t;
  }
  EXPECT_XFORM_NEAR(out, cartOnRoute(6));
  // The cart's velocity, in the route's axes, runs from the scheduled start to the end of the move.
  const auto velocityAt = [&](double t) {
    Vector v;
    EXPECT_TRUE(cart->evaluateShuttleVelocity(KVRSimTime(t), v)) << "at " << t;
    return v;
  };
  const Vector alongLeg0(2.0 / 3, 0, 0), alongLeg1(0, 2.0 / 3, 0);
  EXPECT_LT(KVRL2Norm(velocityAt(11) - alongLeg0), 1e-7);
  // Forward steps would pass the end at 16 s: both use [5.95 s, 6 s] of the plan.
  EXPECT_LT(KVRL2Norm(velocityAt(15.99) - alongLeg1), 1e-7);
  EXPECT_LT(KVRL2Norm(velocityAt(16) - alongLeg1), 1e-7);
  Vector v(1, 1, 1), carried;  // a carried body moves with the shuttle's velocity, in world axes
  EXPECT_FALSE(cart->evaluateShuttleVelocity(KVRSimTime(9.9), v) || cart->evaluateShuttleVelocity(16.06, v));
  ASSERT_TRUE(KVRBasicShuttle3D::evaluateBodyVelocity(part2, KVRSimTime(15.99), carried));
  EXPECT_LT(KVRL2Norm(carried - X_WR.getQtn() * alongLeg1), 1e-7);
  // A shuttle without a planner does not move by itself.
  const Shuttle bare = make<KVRBasicShuttle3D>(L"Bare");
  EXPECT_FALSE(bare->isMotionActive(KVRSimTime(12.0)) || bare->evaluateShuttlePosition(KVRSimTime(12.0), out) ||
               bare->evaluateShuttleVelocity(KVRSimTime(12.0), v));
  EXPECT_XFORM_NEAR(out, cartOnRoute(6));
  EXPECT_EQ(v, Vector(1, 1, 1));
  EXPECT_FALSE(KVRBasicShuttle3D::evaluateBodyVelocity(part2, KVRSimTime(17), v));
}

TEST_F(Shuttles, TheOutermostCarriedBodyFindsItsDriverFirst) {
  // A lift carries the first part directly, on a route of its own.
  const Shuttle lift = make<KVRBasicShuttle3D>(L"Lift");
  cell->addBody(lift);
  const Planner liftPlanner(new KVRShuttlePlannerExt);
  lift->addExtension(liftPlanner);
  liftPlanner->setPath(route, 0.0, 6.0);
  liftPlanner->setScheduledStart(10.0);
  lift->addEntity(part1);
  lift->activate();
  const auto driverOf = [](Body body) {
    Shuttle driver;
    const bool found = KVRBasicShuttle3D::getDriverShuttle(body, KVRSimTime(12.0), driver);
    EXPECT_EQ(found, !driver.isNull());
    return std::make_pair(driver, body);
  };
  // The pallet, the part's logical parent, is carried by the cart: the cart wins.
  EXPECT_EQ(driverOf(part1), std::make_pair(cart, Body(pallet)));
  // The cart's move is not under way: the lift drives the part itself.
  planner->setScheduledStart(100.0);
  EXPECT_EQ(driverOf(part1), std::make_pair(lift, part1));
  EXPECT_EQ(driverOf(part2), std::make_pair(Shuttle(), part2));  // nothing drives it: both handles stay
}

TEST_F(Shuttles, ACarriedShuttleTakesItsPathAlongWithoutPlanningAgain) {
  // The lift stands on the pallet's right with its track, whose top point carries frames.
  const Shuttle lift = make<KVRBasicShuttle3D>(L"Lift");
  cell->addBody(lift, at(0, -3, 0), Xform::Identity);
  const Path track = make<KVRBasicPath3D>(L"Track");
  cell->addPath(track);
  place(track, at(0, -3, 0, 30));
  track->flushSpatialState();
  addPoints(track, {at(0, 0, 0), at(0, 0, 1)});
  const KVRSharedHandle<KVRBasicTagPoint3D> top = track->getTagPoint(1);
  const KVRSharedHandle<KVRMfgAssemblyTagPointExt> frames(new KVRMfgAssemblyTagPointExt);
  top->addExtension(frames);
  const Xform X_WF1 = pose(0.2, 0, -3, 0.5), X_WF2 = pose(0.9, 0, -3, 1);
  frames->setReferenceFrame(X_WF1, X_WF2);
  const Planner liftPlanner(new KVRShuttlePlannerExt);
  lift->addExtension(liftPlanner);
  liftPlanner->setPath(track, 0.0, 4.0);
  Xform unused;
  liftPlanner->evaluate(unused, KVRSimTime(3.0));
  const double distance = liftPlanner->getCurrentDistance();
  const std::vector<KVRSimTime> times = liftPlanner->getTimes();
  cart->addEntity(lift);
  cart->activate();
  const Xform X_ST = track->getBaseLocation();  // the cart stands at the origin
  EXPECT_XFORM_NEAR(liftPlanner->getShuttlePathXform(), X_ST);
  const Xform X_WL = lift->getBaseLocation(), X_WT1 = top->getBaseLocation();
  EventLog log;
  log.watch(track);
  driveTo(cart, 14.5);
  const Xform X_WS = cart->getBaseLocation();
  EXPECT_XFORM_NEAR(lift->getBaseLocation(), X_WS * X_WL);
  EXPECT_XFORM_NEAR(track->getBaseLocation(), X_WS * X_ST);
  EXPECT_XFORM_NEAR(top->getBaseLocation(), X_WS * X_WT1);  // the points follow their path
  Xform first, second;
  frames->getReferenceFrame(first, second);
  EXPECT_XFORM_NEAR(first, X_WS * X_WF1);  // and the frames follow their point
  EXPECT_XFORM_NEAR(second, X_WS * X_WF2);
  // The track published its move, not a route change: the lift did not plan again.
  EXPECT_EQ(log.seen, (EventLog::Seen{{L"Track", {10, 11, 16}}}));
  EXPECT_EQ(liftPlanner->getTimes(), times);
  EXPECT_EQ(liftPlanner->getCurrentDistance(), distance);
  track->removeSubscriber(KVRMakeEventFunctor(&log, &EventLog::onEvent));
}

TEST(ShuttleCycle, AShuttleCannotFollowAPathThatCarriesIt) {
  // A path carrying its own shuttle would move it again at every flush.
  const Path path = make<KVRBasicPath3D>(L"P");
  const Shuttle shuttle = make<KVRBasicShuttle3D>(L"S");
  path->addSpatialChild(shuttle);
  const Planner planner(new KVRShuttlePlannerExt), bound(new KVRShuttlePlannerExt);
  shuttle->addExtension(planner);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { planner->setPath(path, 0.0, 1.0); },
      L"Shuttle \"/\" cannot follow Tag Path \"/\", which moves with it");
  EXPECT_FALSE(planner->getPath());
  shuttle->removeExtension(KVRShuttlePlannerExt::ClassID_);
  bound->setPath(path, 0.0, 1.0);
  EXPECT_THROW(shuttle->addExtension(bound), KVREInvalidRelation);
  EXPECT_FALSE(shuttle->getPlanner());
  orphan(path, shuttle, planner, bound);
}

TEST_F(Shuttles, TheDumpListsTheMembersWithTheirPlacesAndACopyIsAnEmptyShuttleWithoutAPlanner) {
  driveTo(cart, 12.0);
  std::ostringstream text, expected, emptyText;
  cart->dump(text);
  expected << std::string(61, '-') << "\n/W/Cell/Cart ( KVRBasicShuttle3D ) \n"
           << "Base Location: " << streamed(cart->getBaseLocation(), 3) << "\nBody count = 1\n\n"
           << "Entities in shuttle: \nEntity name = /W/Cell/Pallet\n"
           << "Location rel. to Shuttle =  " << streamed(X_WA, 3) << '\n'
           << "Base Location = " << streamed(pallet->getBaseLocation(), 3) << '\n';
  EXPECT_EQ(text.str(), expected.str());
  const Shuttle copy = KVRDuplicate(cart, KVRDynamicObject::CopyAlone);
  copy->dump(emptyText);
  EXPECT_EQ(std::tuple(copy->getEntityCount(), copy->isActive(), copy->getPlanner().isNull(),
                       lines(emptyText.str()).size()),
            std::tuple(0u, 1, true, 6u));
  copy->orphanObject();
}

TEST_F(Shuttles, OneClockOneFlushAndWhyABodyIsNotDriven) {
  using Drive = KVRBasicShuttle3D::Drive;
  const auto why = [](const Body& body, double t) { return KVRBasicShuttle3D::diagnoseDriving(body, t); };
  const auto driven = why(part1, 12);
  EXPECT_EQ(std::tuple(driven.drive, driven.shuttle, driven.carried.get()),
            std::tuple(Drive::Driven, cart, pallet.get()));
  EXPECT_EQ(driven.explanation,
            L"/W/Cell/Pallet/B1 is driven at 12.000000 s by /W/Cell/Cart, which carries /W/Cell/Pallet");
  // Moved by simulation time and flushed it lands where predicted; outside the move nothing moves.
  Xform predicted;
  ASSERT_TRUE(KVRBasicShuttle3D::evaluateBodyPosition(part1, 12.5, predicted));
  const Xform before = cart->getBaseLocation();
  for (const double t : {9.999, 16.001})
    EXPECT_THROW(planner->moveAtSimulationTime(t), KVREInvalidArgument) << t;
  EXPECT_XFORM_NEAR(cart->getBaseLocation(), before);
  EXPECT_EQ(planner->moveAtSimulationTime(12.5), 2);
  part2->setBaseLocation(X_WA * X_AB2);  // and something else left pending
  cell->setEntityName(L"Line");
  w->flushWorld();
  EXPECT_XFORM_NEAR(part1->getBaseLocation(), predicted);
  EXPECT_EQ(part1->getEntityName(KVRBasicEntity::FullName, L'/'), L"/W/Line/Pallet/B1");
  EXPECT_TRUE(isSound(w));
  EXPECT_EQ(planner->moveAtSimulationTime(10.0), 2);  // the scheduled start itself is in the move
  // Not driven, each condition failing in turn.
  EXPECT_EQ(why(part1, 17).drive, Drive::NotActive);
  planner->setScheduledStart(KVRShuttlePlannerExt::DefaultScheduledStart);
  EXPECT_EQ(why(part1, 12).drive, Drive::NotScheduled);
  planner->clearPath();
  EXPECT_EQ(why(part1, 12).drive, Drive::NoPlan);
  EXPECT_THROW(planner->moveAtSimulationTime(12), KVREInvalidArgument);
  // A second assembly ahead of the cell in the world would be the root.
  const auto line = make<KVRBasicMfgAssembly3D>(L"Other");
  w->removeEntity(cell);
  w->addEntity(line);
  w->addEntity(cell);
  EXPECT_EQ(std::tuple(why(part1, 12).drive, why(part1, 12).shuttle),
            std::tuple(Drive::NotUnderRootAssembly, cart));
  const Body loose = make<KVRBasicBody3D>(L"Loose");
  w->addEntity(loose);
  EXPECT_EQ(why(loose, 12).drive, Drive::NotCarried);
  w->removeEntity(line);
  w->removeEntity(cell);
  EXPECT_EQ(why(loose, 12).drive, Drive::NoRootAssembly);
  EXPECT_EQ(why(make<KVRBasicBody3D>(L"Alone"), 12).drive, Drive::NoWorld);
  EXPECT_THROW(why(Body(), 12), KVREInvalidArgument);
  w->addEntity(cell);
  line->orphanObject();
}

}  // namespace
