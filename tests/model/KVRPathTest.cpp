// Tag paths: adopting points into both trees, watching their moves, positional operations, the route bit.
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Point = KVRSharedHandle<KVRBasicTagPoint3D>;
using Xform = KVRBasicXform3D<double>;
using Names = std::vector<std::wstring>;

const std::vector<int> RouteBit{KVRBasicPath3D::RouteChanged}, NoBits{};

void movePoint(const Point& point) {
  point->setRelativeLocation(pose(0.3, 1, 1, 1)); point->flushSpatialState();
}

// The scene: a path P at base location X_WP listing tag points A, B, C, D in this order, each added to it
// and so its logical and spatial child. P's pending bits are cleared after the set-up.
class PathRoute : public testing::Test {
 protected:
  void SetUp() override {
    place(path, X_WP);
    for (const Point& point : {a, b, c, d}) ASSERT_TRUE(path->addTagPoint(point));
    path->clearEvents();
  }
  void TearDown() override { path->orphanObject(); }
  Names route() const {
    KVRSharedList<KVRBasicTagPoint3D> points;
    path->getTagPoints(points);
    return names(points);
  }
  void expectParentsAndWatches(int watches) {
    for (const Point& point : {a, b, c, d}) {
      EXPECT_TRUE(point->getLogicalParent() == path && point->getSpatialParent() == path);
      EXPECT_EQ(point->getSubscriberCount(), watches);
    }
  }
  const Xform X_WP = pose(0.8, 1, -2, 0.5);
  KVRSharedHandle<KVRBasicPath3D> path = make<KVRBasicPath3D>(L"P");
  Point a = make<KVRBasicTagPoint3D>(L"A"), b = make<KVRBasicTagPoint3D>(L"B");
  Point c = make<KVRBasicTagPoint3D>(L"C"), d = make<KVRBasicTagPoint3D>(L"D");
};

TEST_F(PathRoute, PointsAreAdoptedWhereTheyHaveNoParentAndWatchedUntilRemoved) {
  expectParentsAndWatches(1);
  // A point of another path keeps its parents and is watched by both.
  auto other = make<KVRBasicPath3D>(L"Q");
  ASSERT_TRUE(other->addTagPoint(c)); path->clearEvents();
  other->clearEvents(); movePoint(c);
  EXPECT_TRUE(pending(*path) == RouteBit && pending(*other) == RouteBit);
  other->orphanObject(); expectParentsAndWatches(1);
  // An inserted point is watched like an added one, a removed one no longer.
  Point e = make<KVRBasicTagPoint3D>(L"E");
  ASSERT_TRUE(path->insertTagPoint(1, e)); EXPECT_EQ(route(), (Names{L"A", L"E", L"B", L"C", L"D"}));
  path->clearEvents(); movePoint(e);
  EXPECT_EQ(pending(*path), RouteBit);
  ASSERT_TRUE(path->removeTagPoint(e)); EXPECT_EQ(e->getSubscriberCount(), 0);
  ASSERT_TRUE(path->addTagPoint(b)); EXPECT_EQ(b->getSubscriberCount(), 2);
  ASSERT_TRUE(path->removeTagPoint(b)); EXPECT_EQ(route(), (Names{L"A", L"C", L"D", L"B"}));
  EXPECT_EQ(b->getSubscriberCount(), 1);
  ASSERT_TRUE(path->removeTagPoint(0u));
  path->removeTagPoints(); EXPECT_EQ(path->getTagPointCount(), 0u);
  expectParentsAndWatches(0);
  path->clearEvents(); movePoint(c);
  EXPECT_EQ(pending(*path), NoBits);
}

TEST_F(PathRoute, PositionalOperationsAndRefusalsThatChangeNothing) {
  Point e = make<KVRBasicTagPoint3D>(L"E"), none;
  EXPECT_TRUE(path->getTagPoint(4).isNull());
  EXPECT_FALSE(path->removeTagPoint(4u) || path->swap(4, 0) || path->swap(0, 4));
  EXPECT_FALSE(path->insertTagPoint(4, e));
  EXPECT_FALSE(path->addTagPoint(none) || path->insertTagPoint(0, none) || path->removeTagPoint(e));
  EXPECT_EQ(path->setTagPointRelativeLocation(4, pose(0.3, 1, 1, 1)), 0);
  EXPECT_EQ(route(), (Names{L"A", L"B", L"C", L"D"})); EXPECT_EQ(pending(*path), NoBits);
  EXPECT_FALSE(e->hasLogicalParent() || e->hasSpatialParent());
  ASSERT_TRUE(path->swap(0, 3) && path->swap(2, 1) && path->swap(2, 2));
  EXPECT_EQ(route(), (Names{L"D", L"C", L"B", L"A"})); EXPECT_EQ(pending(*path), RouteBit);
  path->createPoints(2, L"T", 65535);  // appended, numbered past the first number's type
  KVRSharedVector<KVRBasicTagPoint3D> points{a};
  path->getTagPoints(points);
  EXPECT_EQ(names(points), (Names{L"A", L"D", L"C", L"B", L"A", L"T65535", L"T65536"}));
  EXPECT_EQ(path->getTagPoint(5)->getSubscriberCount(), 1);
  path->clearEvents(); path->createPoints(0, L"X", 1);
  EXPECT_EQ(path->getTagPointCount(), 6u); EXPECT_EQ(pending(*path), RouteBit);
  const Xform X_PB = pose(-1.1, 0.3, 0.2, 2, KVRBasicVector3D<double>(-2, 1, 0.5));
  EXPECT_EQ(path->setTagPointRelativeLocation(2, X_PB), 2);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WP * X_PB);  // at once
  c->lockRelativeLocation();
  EXPECT_EQ(path->setTagPointRelativeLocation(1, X_PB), 0);
  EXPECT_XFORM_NEAR(c->getRelativeLocation(), Xform::Identity);
  // A route the path cannot adopt leaves the old route in place.
  auto holder = make<KVRBasicTagPoint3D>(L"Holder");
  holder->addLogicalChild(path); path->clearEvents();  // adopting its own logical parent: a cycle
  points = {b, holder};
  EXPECT_THROW(path->setTagPoints(points), KVREInvalidRelation);
  EXPECT_EQ(route(), (Names{L"D", L"C", L"B", L"A", L"T65535", L"T65536"}));
  expectParentsAndWatches(1);
  EXPECT_EQ(holder->getSubscriberCount(), 0); EXPECT_EQ(pending(*path), NoBits);
  holder->removeLogicalChild(path);
  // A path listing only points of another owner goes with its last handle, and so does its watch.
  make<KVRBasicPath3D>(L"Follower")->addTagPoint(a);
  EXPECT_EQ(a->getSubscriberCount(), 1);
  movePoint(a);  // would reach a dead path
}

TEST(OrphanedRoutes, AnOrphanedPointLeavesEveryRouteAnOrphanedPathWatchesNoPoint) {
  // Route: A, B, A, C; B belongs to a body, the others to the route.
  auto route = make<KVRBasicPath3D>(L"Route"), other = make<KVRBasicPath3D>(L"Other");
  auto body = make<KVRBasicBody3D>(L"Body");
  auto a = make<KVRBasicTagPoint3D>(L"A"), b = make<KVRBasicTagPoint3D>(L"B"),
       c = make<KVRBasicTagPoint3D>(L"C");
  body->addTagPoint(b);
  for (const auto& point : {a, b, a, c}) route->addTagPoint(point);
  other->addTagPoint(a);
  const auto listed = [&] {
    KVRSharedVector<KVRBasicTagPoint3D> points;
    route->getTagPoints(points);
    return names(points);
  };
  flushSpatial(route, other);
  route->orphanLogicalChild(a);
  EXPECT_EQ(listed(), (Names{L"B", L"C"}));
  EXPECT_TRUE(route->getIndex(a) == -1 && other->getTagPointCount() == 0u);
  EXPECT_EQ(pending(*route), std::vector<int>{KVRBasicPath3D::RouteChanged});
  body->destroyPoints();
  EXPECT_EQ(listed(), (Names{L"C"}));
  EXPECT_EQ(a->getReferenceCount(), 1);  // only this test holds it
  orphan(route, other, body);
  // An orphaned path watches no point, and no point watches it.
  auto path = make<KVRBasicPath3D>(L"Gone");
  auto point = make<KVRBasicTagPoint3D>(L"T");
  path->orphanObject();
  EXPECT_THROW(path->addTagPoint(point), KVREInvalidRelation);
  KVRSharedVector<KVRBasicTagPoint3D> points{point};
  EXPECT_THROW(path->setTagPoints(points), KVREInvalidRelation);
  EXPECT_EQ(point->getSubscriberCount(), 0);
  path.detach();  // the path is freed: no subscription may outlive it
  EXPECT_EQ(point->setTagPointLocation(pose(0.2, 1, 2, 3)), 2);
  point->flushSpatialState();
  auto live = make<KVRBasicPath3D>(L"Live");
  point->orphanObject();
  EXPECT_THROW(live->addTagPoint(point), KVREInvalidRelation);
  EXPECT_TRUE(live->getTagPointCount() == 0u && point->getSubscriberCount() == 0);
  live->orphanObject();
}
}  // namespace
