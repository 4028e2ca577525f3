// Destroying and orphaning: what is let go, what is refused, what is freed.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Names = std::vector<std::wstring>;

// The scene, in world W: the carrier C hangs on the ground G at X_GC and the
// gripper H on G at X_GH; the part P hangs on C at X_CP, its frame F at X_PF;
// C holds the frame CF.
class Destroying : public testing::Test {
 protected:
  void SetUp() override {
    for (const Body& body : {ground, carrier, gripper, part}) w->addEntity(body);
    ground->attachBody(carrier, X_GC);
    ground->attachBody(gripper, X_GH);
    carrier->attachBody(part, X_CP);
    part->addFrame(frame);
    carrier->addFrame(carrierFrame);
    frame->setFrameLocation(X_PF);
    w->flushLogicalState();
    flushSpatial(ground, carrier, gripper, part, frame);
  }
  void TearDown() override {
    EXPECT_TRUE(isSound(w));
    w->orphanObject();
  }
  const Xform X_GC = pose(0.3, 2, 0, 0), X_GH = pose(-0.8, 0, 3, 1), X_CP = pose(1.1, 0.1, 0.1, 0.5),
              X_PF = pose(0.4, 0, 0, 0.2);
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body ground = make<KVRBasicBody3D>(L"Ground"), carrier = make<KVRBasicBody3D>(L"Carrier"),
       gripper = make<KVRBasicBody3D>(L"Gripper"), part = make<KVRBasicPart3D>(L"Part");
  KVRSharedHandle<KVRBasicFrame3D> frame = make<KVRBasicFrame3D>(L"F"),
                                   carrierFrame = make<KVRBasicFrame3D>(L"CF");
};

TEST_F(Destroying, ACarrierLetsGoOfWhatItCarriesWhereItStands) {
  const Xform X_WP = part->getBaseLocation();
  const KVRSharedHandle<KVRBasicConnection3D> attachment = part->getAttachment();
  w->destroyEntity(carrier);
  EXPECT_FALSE(part->hasInnerBody() || part->hasInnerConnection() || part->isAttached() ||
               attachment->isConnected() || part->hasSpatialParent() || part->isOrphaned());
  EXPECT_TRUE(ground->getOuterBodyCount() == 1 && carrierFrame->isOrphaned());  // its own objects go with it
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
  // The next flush drops the destroyed body from the ancestor lists below.
  EXPECT_TRUE(part->testEvent(KVRBasicEntity3D::SpatialAncestorsChanged));
  part->flushSpatialState();
  KVRSharedVector<KVRBasicEntity3D> ancestors;
  frame->getSpatialAncestors(ancestors);
  EXPECT_EQ(names(ancestors), Names{L"Part"});
  EXPECT_EQ(carrier->getReferenceCount(), 1);  // only the fixture holds it
  // Grabbed and released later, the part has nowhere to go back to: it stays free.
  gripper->grabBody(part, 1);
  EXPECT_TRUE(part->getInnerBodyOriginal().isNull());
  part->detachBody();
  EXPECT_FALSE(part->hasInnerBody());
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
}

TEST_F(Destroying, EveryConnectionNamingADestroyedBodyLetsGoOfIt) {
  // Recorded between two bodies, not hung: only they name the gripper and the ground.
  auto joint = make<KVRBasicAttachment3D>(L"Joint"), stay = make<KVRBasicAttachment3D>(L"Stay");
  w->addEntity(joint);
  w->addEntity(stay);
  joint->connectBodies(gripper, part, Xform::Identity, X_PF);
  stay->connectBodies(part, ground, X_PF, Xform::Identity);
  w->destroyEntity(gripper);
  EXPECT_TRUE(!joint->isConnected() && gripper->getReferenceCount() == 1);  // only the fixture holds it
  w->destroyEntity(ground);
  EXPECT_FALSE(stay->isConnected());
  carrier->flushSpatialState();  // the part's ancestor list lets go of the ground
  EXPECT_EQ(ground->getReferenceCount(), 1);
  EXPECT_TRUE(!carrier->hasInnerBody() && part->hasInnerBody());  // the part still hangs where it did
}

TEST_F(Destroying, AReleasedBodyNeverReturnsToADestroyedBody) {
  gripper->grabBody(part, 1);  // it remembers the carrier as the body it first hung on
  auto shelf = make<KVRBasicBody3D>(L"Shelf");
  w->addEntity(shelf);
  part->setHomeAttachBody(shelf);
  w->destroyEntity(carrier);
  w->destroyEntity(shelf);
  const Xform held = part->getBaseLocation();
  part->detachBody();
  EXPECT_FALSE(part->hasInnerBody());
  EXPECT_XFORM_NEAR(part->getBaseLocation(), held);
}

TEST_F(Destroying, UnlinkingLetsGoOfTheConnectionAnOrphanedEntityIsNeverLinkedAgain) {
  auto stand_in = make<Probe3D>(L"StandIn");
  const std::vector<std::pair<const char*, std::function<void()>>> ways{
      {"removeSpatialChild", [&] { carrier->removeSpatialChild(part); }},
      {"removeSpatialChildren(Body)", [&] { carrier->removeSpatialChildren(KVRBasicBody3D::ClassInfo_); }},
      {"removeSpatialChildren", [&] { carrier->removeSpatialChildren(); }},
      {"destroySpatialChildren", [&] { carrier->destroySpatialChildren(); }},
      {"removeSpatialParent", [&] { part->removeSpatialParent(); }},
      {"replaceSpatialChild", [&] { carrier->replaceSpatialChild(part, stand_in); }},
  };
  for (const auto& [way, unlink] : ways) {
    SCOPED_TRACE(way);
    if (!part->hasInnerBody()) carrier->attachBody(part, X_CP);
    flushSpatial(carrier, part);
    const Xform X_WP = part->getBaseLocation();
    const KVRSharedHandle<KVRBasicConnection3D> attachment = part->getAttachment();
    unlink();
    EXPECT_FALSE(part->hasInnerBody() || part->hasInnerConnection() || part->isAttached() ||
                 attachment->isConnected());
    EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
    EXPECT_TRUE(carrier->testEvent(KVRBasicBody3D::OuterBodyLeft) &&
                part->testEvent(KVRBasicBody3D::InnerBodyCleared));
    part->flushSpatialState();
    EXPECT_TRUE(isSound(part));
  }
  EXPECT_EQ(stand_in->getSpatialParent(), carrier);
  carrier->removeSpatialChild(stand_in);
  // Orphaned entities are never linked again.
  Body lost = make<KVRBasicBody3D>(L"Lost");
  lost->orphanObject();
  expectThrowWithText<KVREInvalidRelation>([&] { w->addEntity(lost); },
                                           L"Body \"/\" has been orphaned and cannot be linked again");
  EXPECT_THROW(lost->addFrame(make<KVRBasicFrame3D>(L"G")), KVREInvalidRelation);
  EXPECT_THROW(gripper->attachBody(lost), KVREInvalidRelation);
  EXPECT_THROW(gripper->grabBody(lost, 1), KVREInvalidRelation);
  EXPECT_THROW(lost->attachBody(part), KVREInvalidRelation);
  EXPECT_THROW(lost->setHomeAttachBody(gripper), KVREInvalidRelation);
  EXPECT_THROW(gripper->setInnerBodyOriginal(lost), KVREInvalidRelation);
  KVRSharedHandle<KVRBasicAttachment3D> attachment(new KVRBasicAttachment3D);
  EXPECT_THROW(attachment->connectBodies(gripper, lost, Xform::Identity, Xform::Identity),
               KVREInvalidRelation);
  EXPECT_TRUE(!attachment->isConnected() && !part->hasInnerBody());
  EXPECT_EQ(lost->getReferenceCount(), 1);
  // An orphaned world takes nothing in (the two would keep each other alive);
  // an orphaned camera or relationship binds nothing.
  auto gone = makeWorld(L"Gone");
  auto body = make<KVRBasicBody3D>(L"B");
  auto camera = make<KVRBasicCamera3D>(L"Camera");
  KVRSharedHandle<Rule> rule(new Rule);
  orphan(gone, camera);
  EXPECT_THROW(gone->addEntity(body), KVREInvalidRelation);
  EXPECT_FALSE(body->hasLogicalParent());
  EXPECT_THROW(camera->setRelationship(rule), KVREInvalidRelation);
  rule->orphanObject();
  EXPECT_THROW(rule->setRelationship(gripper, part), KVREInvalidRelation);
  EXPECT_FALSE(camera->hasRelationship() || rule->isRelationshipSet());
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

// A derived class too large for a slab block: its entities come from the heap.
struct LargeFrame : KVRBasicFrame3D {
  double payload[512] = {};
};

std::size_t blockOf(std::size_t size) { return (size + 63) / 64 * 64; }

TEST(EntityBlocks, EachEntityHoldsWholeCacheLinesUntilItIsFreed) {
  const std::size_t before = KVRBasicEntity3D::getEntityBlockBytes();
  {
    const auto frame = make<KVRBasicFrame3D>(L"F");
    const auto body = make<KVRBasicBody3D>(L"B");
    const KVRSharedHandle<LargeFrame> large(new LargeFrame);
    large->payload[511] = 1;
    for (const void* e : {(void*)frame.get(), (void*)body.get(), (void*)large.get()})
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e) % 64, 0U);
    const std::size_t blocks =
        blockOf(sizeof(KVRBasicFrame3D)) + blockOf(sizeof(KVRBasicBody3D)) + blockOf(sizeof(LargeFrame));
    EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes() - before, blocks);
    body->addFrame(frame);
    body->addSpatialChild(large);
    orphan(body, frame, large);
  }
  EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
  // A constructor that throws gives its block back.
  struct Refused : KVRBasicFrame3D {
    Refused() { throw std::runtime_error("refused"); }
  };
  EXPECT_THROW(KVRSharedHandle<Refused>(new Refused), std::runtime_error);
  EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
}

}  // namespace
