// Tag paths: the route of tag points, its adoption of points into both trees,
// the watch on the points' moves, positional operations and the route bit.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Point = KVRSharedHandle<KVRBasicTagPoint3D>;
using Xform = KVRBasicXform3D<double>;

constexpr int RouteChanged = KVRBasicPath3D::RouteChanged;
const std::vector<int> RouteBit{RouteChanged};
const std::vector<int> NoBits{};

// Moves a point through its location request and publishes the move.
void movePoint(const Point& point, const Xform& X_PT) {
  Xform location = X_PT;
  point->setRelativeLocation(location);
  point->flushSpatialState();
}

// The scene: a path P at base location X_WP listing tag points A, B, C, D, in
// this order, each added to it and so its logical and spatial child. The
// pending bits of every entity are cleared after the set-up.
class PathRoute : public testing::Test {
 protected:
  void SetUp() override {
    Xform start = X_WP;
    path->setBaseLocation(start);
    for (const Point& point : {a, b, c, d}) ASSERT_TRUE(path->addTagPoint(point));
    path->flushSpatialState();
    for (const Point& point : {a, b, c, d}) point->clearEvents();
    path->clearEvents();
  }
  void TearDown() override { path->orphanObject(); }

  std::vector<std::wstring> route() const {
    KVRSharedList<KVRBasicTagPoint3D> points;
    path->getTagPoints(points);
    return names(points);
  }

  const Xform X_WP = pose(0.8, 1, -2, 0.5);
  KVRSharedHandle<KVRBasicPath3D> path = make<KVRBasicPath3D>(L"P");
  Point a = make<KVRBasicTagPoint3D>(L"A"), b = make<KVRBasicTagPoint3D>(L"B");
  Point c = make<KVRBasicTagPoint3D>(L"C"), d = make<KVRBasicTagPoint3D>(L"D");
};

TEST_F(PathRoute, AddedPointsAreChildrenInBothTreesAndWatched) {
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"B", L"C", L"D"}));
  EXPECT_EQ(path->getTagPointCount(), 4u);
  for (const Point& point : {a, b, c, d}) {
    EXPECT_TRUE(point->getLogicalParent() == path);
    EXPECT_TRUE(point->getSpatialParent() == path);
    EXPECT_EQ(point->getSubscriberCount(), 1);
  }
  EXPECT_TRUE(path->getTagPoint(2) == c);
  EXPECT_EQ(path->getIndex(d), 3);

  movePoint(b, pose(0.3, 1, 1, 1));
  EXPECT_EQ(pending(*path), RouteBit);
}

TEST_F(PathRoute, PointChangesWithoutAMoveLeaveTheRouteAlone) {
  b->setEntityName(L"B2");
  b->flushLogicalState();
  EXPECT_EQ(pending(*path), NoBits);
}

TEST_F(PathRoute, APointWithParentsKeepsThemAndIsStillWatched) {
  auto other = make<KVRBasicPath3D>(L"Q");
  Point e = make<KVRBasicTagPoint3D>(L"E");
  other->addTagPoint(e);
  ASSERT_TRUE(path->addTagPoint(e));
  EXPECT_TRUE(e->getLogicalParent() == other);
  EXPECT_TRUE(e->getSpatialParent() == other);
  EXPECT_EQ(path->getTagPointCount(), 5u);

  path->clearEvents();
  other->clearEvents();
  movePoint(e, pose(0.3, 1, 1, 1));
  EXPECT_EQ(pending(*path), RouteBit);
  EXPECT_EQ(pending(*other), RouteBit);
  other->orphanObject();
}

TEST_F(PathRoute, APointListedTwiceIsRemovedOneEntryAtATime) {
  ASSERT_TRUE(path->addTagPoint(b));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"B", L"C", L"D", L"B"}));
  EXPECT_EQ(path->getIndex(b), 1);
  EXPECT_EQ(b->getSubscriberCount(), 2);

  ASSERT_TRUE(path->removeTagPoint(b));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"C", L"D", L"B"}));
  EXPECT_EQ(path->getIndex(b), 3);
  // The remaining entry is still watched.
  EXPECT_EQ(b->getSubscriberCount(), 1);
  path->clearEvents();
  movePoint(b, pose(0.3, 1, 1, 1));
  EXPECT_EQ(pending(*path), RouteBit);
}

TEST_F(PathRoute, AnInsertedPointIsAdoptedAndWatchedLikeAnAddedOne) {
  Point e = make<KVRBasicTagPoint3D>(L"E");
  ASSERT_TRUE(path->insertTagPoint(1, e));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"E", L"B", L"C", L"D"}));
  EXPECT_TRUE(e->getLogicalParent() == path);
  EXPECT_TRUE(e->getSpatialParent() == path);
  EXPECT_EQ(pending(*path), RouteBit);

  path->clearEvents();
  movePoint(e, pose(0.3, 1, 1, 1));
  EXPECT_EQ(pending(*path), RouteBit);

  ASSERT_TRUE(path->removeTagPoint(e));
  EXPECT_EQ(e->getSubscriberCount(), 0);
  path->clearEvents();
  movePoint(e, pose(0.6, 1, 1, 1));
  EXPECT_EQ(pending(*path), NoBits);
}

TEST_F(PathRoute, OutOfRangeIndicesAndEmptyHandlesChangeNothing) {
  const Point none;
  Point e = make<KVRBasicTagPoint3D>(L"E");
  const Xform X_PB = b->getRelativeLocation();

  EXPECT_TRUE(path->getTagPoint(4).isNull());
  EXPECT_FALSE(path->removeTagPoint(4u));
  EXPECT_FALSE(path->swap(4, 0));
  EXPECT_FALSE(path->swap(0, 4));
  EXPECT_FALSE(path->insertTagPoint(4, e));
  EXPECT_EQ(path->setTagPointRelativeLocation(4, pose(0.3, 1, 1, 1)), 0);
  EXPECT_FALSE(path->addTagPoint(none));
  EXPECT_FALSE(path->_addTagPoint(none));
  EXPECT_FALSE(path->insertTagPoint(0, none));
  EXPECT_FALSE(path->removeTagPoint(none));
  EXPECT_FALSE(path->removeTagPoint(e));
  EXPECT_EQ(path->getIndex(none), -1);
  EXPECT_EQ(path->getIndex(e), -1);

  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"B", L"C", L"D"}));
  EXPECT_FALSE(e->hasLogicalParent());
  EXPECT_FALSE(e->hasSpatialParent());
  EXPECT_XFORM_NEAR(b->getRelativeLocation(), X_PB);
  EXPECT_EQ(pending(*path), NoBits);
  e->orphanObject();
}

TEST_F(PathRoute, SwapExchangesTwoEntriesAndKeepsTheRest) {
  ASSERT_TRUE(path->swap(0, 3));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"D", L"B", L"C", L"A"}));
  EXPECT_EQ(pending(*path), RouteBit);
  ASSERT_TRUE(path->swap(2, 1));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"D", L"C", L"B", L"A"}));

  path->clearEvents();
  ASSERT_TRUE(path->swap(2, 2));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"D", L"C", L"B", L"A"}));
  EXPECT_EQ(pending(*path), RouteBit);
  for (const Point& point : {a, b, c, d}) EXPECT_EQ(point->getSubscriberCount(), 1);
}

TEST_F(PathRoute, RemovalLeavesTheTreesAndStopsTheWatch) {
  ASSERT_TRUE(path->removeTagPoint(1u));
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"C", L"D"}));
  EXPECT_EQ(b->getSubscriberCount(), 0);
  EXPECT_EQ(pending(*path), RouteBit);

  path->removeTagPoints();
  EXPECT_EQ(path->getTagPointCount(), 0u);
  for (const Point& point : {a, b, c, d}) {
    EXPECT_TRUE(point->getLogicalParent() == path);
    EXPECT_TRUE(point->getSpatialParent() == path);
    EXPECT_EQ(point->getSubscriberCount(), 0);
  }
  path->clearEvents();
  movePoint(c, pose(0.3, 1, 1, 1));
  EXPECT_EQ(pending(*path), NoBits);
}

TEST_F(PathRoute, SetTagPointsReplacesTheRouteAndSkipsEmptyHandles) {
  Point e = make<KVRBasicTagPoint3D>(L"E");
  KVRSharedVector<KVRBasicTagPoint3D> points{c, Point(), e, a};
  path->setTagPoints(points);
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"C", L"E", L"A"}));
  EXPECT_EQ(pending(*path), RouteBit);
  EXPECT_EQ(b->getSubscriberCount(), 0);
  EXPECT_EQ(d->getSubscriberCount(), 0);
  for (const Point& point : {a, c, e}) EXPECT_EQ(point->getSubscriberCount(), 1);
  EXPECT_TRUE(e->getLogicalParent() == path);

  KVRSharedList<KVRBasicTagPoint3D> list{d};
  path->setTagPoints(list);
  EXPECT_EQ(route(), std::vector<std::wstring>{L"D"});
}

TEST_F(PathRoute, GetTagPointsAppendsToWhatTheContainerHolds) {
  Point e = make<KVRBasicTagPoint3D>(L"E"), f = make<KVRBasicTagPoint3D>(L"F");
  KVRSharedList<KVRBasicTagPoint3D> list{e, f};
  path->getTagPoints(list);
  EXPECT_EQ(names(list), (std::vector<std::wstring>{L"E", L"F", L"A", L"B", L"C", L"D"}));
  KVRSharedVector<KVRBasicTagPoint3D> vector{f};
  path->getTagPoints(vector);
  EXPECT_EQ(names(vector), (std::vector<std::wstring>{L"F", L"A", L"B", L"C", L"D"}));
}

TEST_F(PathRoute, CreatePointsNamesThemFromTheFirstNumberOn) {
  path->createPoints(3, L"T", 9);
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"A", L"B", L"C", L"D", L"T9", L"T10", L"T11"}));
  const Point t10 = path->getTagPoint(5);
  EXPECT_TRUE(t10->getLogicalParent() == path);
  EXPECT_EQ(t10->getSubscriberCount(), 1);

  // The numbers continue past the range of the first number's type.
  path->removeTagPoints();
  path->createPoints(2, L"P", 65535);
  EXPECT_EQ(route(), (std::vector<std::wstring>{L"P65535", L"P65536"}));

  path->clearEvents();
  path->createPoints(0, L"X", 1);
  EXPECT_EQ(path->getTagPointCount(), 2u);
  EXPECT_EQ(pending(*path), RouteBit);
}

TEST_F(PathRoute, SetTagPointRelativeLocationUpdatesThePointAtOnce) {
  const Xform X_PB = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  EXPECT_EQ(path->setTagPointRelativeLocation(1, X_PB), 2);
  EXPECT_XFORM_NEAR(b->getRelativeLocation(), X_PB);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WP * X_PB);
  EXPECT_EQ(pending(*path), RouteBit);

  // A locked point refuses; the route bit is set all the same.
  path->clearEvents();
  c->lockRelativeLocation();
  const Xform X_PC = c->getRelativeLocation();
  EXPECT_EQ(path->setTagPointRelativeLocation(2, pose(0.4, 5, 5, 5)), 0);
  EXPECT_XFORM_NEAR(c->getRelativeLocation(), X_PC);
  EXPECT_EQ(pending(*path), RouteBit);
}

TEST_F(PathRoute, OrphaningThePathDropsEveryWatch) {
  path->orphanObject();
  EXPECT_EQ(path->getTagPointCount(), 0u);
  for (const Point& point : {a, b, c, d}) {
    EXPECT_EQ(point->getSubscriberCount(), 0);
    EXPECT_FALSE(point->hasLogicalParent());
  }
}

TEST(PathAlone, OwnLocationIsStoredWithStatusTwoAndBitSixteen) {
  auto path = make<KVRBasicPath3D>(L"P");
  path->clearEvents();
  const Xform X_WP = pose(0.8, 1, -2, 0.5);
  KVRBasicProfile3D<double> profile;
  profile.setLocation(X_WP);
  profile.setLinearVelocity(KVRBasicVector3D<double>(1, 2, 3));
  profile.setAngularAcceleration(KVRBasicVector3D<double>(4, 5, 6));
  EXPECT_EQ(path->setRelativeProfile(profile), 2);
  EXPECT_TRUE(profile.getLinearVelocity() == KVRBasicVector3D<double>::Zero);
  EXPECT_TRUE(profile.getAngularAcceleration() == KVRBasicVector3D<double>::Zero);
  EXPECT_XFORM_NEAR(path->getRelativeLocation(), X_WP);
  EXPECT_XFORM_NEAR(path->getRelativeProfile().getLocation(), X_WP);
  EXPECT_EQ(pending(*path), std::vector<int>{KVRBasicPath3D::RelativeLocationChanged});

  Xform X_WP2 = pose(-0.6, 3, 3, -1);
  EXPECT_EQ(path->setBaseLocation(X_WP2), 2);
  EXPECT_XFORM_NEAR(path->getBaseLocation(), X_WP2);
  path->orphanObject();
}

TEST(PathAlone, ACopyTakesNeitherRouteNorLocation) {
  auto path = make<KVRBasicPath3D>(L"P");
  Xform X_WP = pose(0.8, 1, -2, 0.5);
  path->setRelativeLocation(X_WP);
  path->createPoints(2, L"T", 1);
  KVRSharedHandle<KVRBasicPath3D> copy(
      static_cast<KVRBasicPath3D*>(path->duplicateObject(KVRDynamicObject::CopyAlone)));
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isInstanceOf(KVRBasicPath3D::ClassInfo_));
  EXPECT_EQ(copy->getTagPointCount(), 0u);
  EXPECT_XFORM_NEAR(copy->getRelativeLocation(), Xform::Identity);
  EXPECT_EQ(copy->getEntityTypeName().getText(), L"Tag Path");
  copy->orphanObject();
  path->orphanObject();
}

// A path that lists points of another owner goes with its last handle: its
// watch must go with it, or the points' next move would reach a dead path.
TEST(PathAlone, AReleasedPathLeavesNoWatchBehind) {
  auto owner = make<KVRBasicPath3D>(L"Owner");
  owner->createPoints(2, L"T", 1);
  const Point t1 = owner->getTagPoint(0);
  {
    auto follower = make<KVRBasicPath3D>(L"Follower");
    follower->addTagPoint(t1);
    EXPECT_EQ(t1->getSubscriberCount(), 2);
  }
  EXPECT_EQ(t1->getSubscriberCount(), 1);
  movePoint(t1, pose(0.3, 1, 1, 1));
  owner->orphanObject();
}

}  // namespace
