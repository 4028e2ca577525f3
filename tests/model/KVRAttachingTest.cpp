// Attaching, grabbing, detaching, unlinking and destroying bodies; refusals leave the model as it was.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Names = std::vector<std::wstring>;

// The scene, in world W: a fixture F hanging on the floor R at X_RF; a
// gripper G hanging on R at X_RG, with a tool frame T at X_GT; a part P
// hanging on the fixture at X_FP through an attachment; a loose body L.
// Every scenario ends with the checker finding nothing.
class Attaching : public testing::Test {
 protected:
  void SetUp() override {
    for (auto* e : {&floor, &fixture, &gripper, &part, &loose}) w->addEntity(*e);
    floor->attachBody(fixture, X_RF);
    floor->attachBody(gripper, X_RG);
    Xform offset = X_GT;
    gripper->addFrame(tool);
    tool->setFrameLocation(offset);
    fixture->attachBody(part, X_FP);
    w->flushLogicalState();
    flushSpatial(floor, fixture, gripper, part, tool);
  }
  void TearDown() override {
    EXPECT_TRUE(isSound(w));
    w->orphanObject();
  }
  const Xform X_RF = pose(0.3, 2, 0, 0), X_RG = pose(-0.8, 0, 3, 1), X_GT = pose(0.5, 0, 0, 0.2);
  const Xform X_FP = pose(1.1, 0.1, 0.1, 0.5);
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"Floor"), fixture = make<KVRBasicBody3D>(L"Fixture"),
       gripper = make<KVRBasicBody3D>(L"Gripper"), part = make<KVRBasicPart3D>(L"Part"),
       loose = make<KVRBasicBody3D>(L"Loose");
  KVRSharedHandle<KVRBasicFrame3D> tool = make<KVRBasicFrame3D>(L"Tool");
};

TEST_F(Attaching, AttachBodyHangsTheBodyAtTheGivenLocationOrAtAFrameAttachBodiesWhereItStands) {
  EXPECT_EQ(part->getAttachment()->getEntityName(), L"Fixture-Part");
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RF * X_FP);
  fixture->attachBody(loose);
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), X_RF);
  EXPECT_TRUE(fixture->testEvent(KVRBasicBody3D::BodyAttached) &&
              loose->getPendingEvents().none());  // flushed
  auto standing = make<KVRBasicBody3D>(L"Standing");
  w->addEntity(standing);
  gripper->attachBodies(standing);
  EXPECT_XFORM_NEAR(standing->getBaseLocation(), Xform::Identity);
  EXPECT_XFORM_NEAR(standing->getAttachment()->getOuterOffset(), X_RG);  // X_SG with S at the origin
  // attachBodies does not take a body off its connection.
  expectThrowWithText<KVREAlreadyRegistered>([&] { gripper->attachBodies(part); },
                                             L"Part \"/W/Part\" is already connected to another body");
  EXPECT_EQ(part->getInnerBody(), fixture);
  // At a frame: the offset is taken once; the part follows the carrier, not the frame.
  gripper->attachBody(part, tool);
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);  // where it hung before
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG * X_GT);
  Xform elsewhere = pose(0.2, 0, 0, 1);
  tool->setFrameLocation(elsewhere);
  tool->flushSpatialState();
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG * X_GT);
  const Xform X_RG2 = pose(0.9, -1, 0, 2);
  EXPECT_EQ(place(gripper, X_RG2), 2);
  gripper->flushSpatialState();
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG2 * X_GT);
}

TEST_F(Attaching, GrabbingKeepsThePlaceAndDetachingPutsTheBodyBackWhereItBelongsWhoeverAsks) {
  const Xform before = part->getBaseLocation();
  gripper->grabBody(part, 5);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), before);
  place(gripper, pose(0.4, 3, 3, 3));
  gripper->flushSpatialState();
  floor->grabBody(part, 1);  // handed on: back to the body it first hung on
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);
  const Xform released = part->getBaseLocation();
  part->detachBody();
  EXPECT_TRUE(part->getInnerBody() == fixture && !part->isAttached());
  EXPECT_XFORM_NEAR(part->getBaseLocation(), released);  // where it was released
  // The home attach body comes first, and the body stays where it was released.
  part->setHomeAttachBody(floor);
  gripper->grabBody(part, 1);
  const Xform X_WP = part->getBaseLocation();
  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), floor);
  EXPECT_TRUE(part->isAttached() && part->getTransientState() == 0);  // grabbed back, in state 0
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
  floor->flushBaseLocation();  // and stays there when the floor pushes its location down
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
  // A body with nowhere to go is left free.
  gripper->grabBody(loose, 2);
  const Xform held = loose->getBaseLocation();
  loose->detachBody();
  loose->detachBody();  // nothing attached any more: nothing happens
  EXPECT_FALSE(loose->hasInnerBody());
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), held);
  // The class operations check who may grab and release.
  EXPECT_EQ(KVRBasicBody3D::grabBody(gripper, Body()), 0);
  EXPECT_EQ(KVRBasicBody3D::grabBody(gripper, part), 1);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, fixture), 1);  // not the holder: nothing
  EXPECT_EQ(part->getInnerBody(), gripper);
  for (int k = 0; k < 2; ++k) {  // an anonymous caller may release; not grabbed any more: nothing
    EXPECT_EQ(KVRBasicBody3D::detachBody(part, Body()), 1);
    EXPECT_EQ(part->getInnerBody(), floor);  // its home
  }
  // The grab list skips ancestors, grabbed bodies and the grabber itself.
  fixture->grabBody(loose, 7);  // already grabbed
  KVRSharedHandle<KVRNotifyBasicBody3DList> list(new KVRNotifyBasicBody3DList);
  list->getBodies() = {floor, loose, part, gripper, Body()};
  gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), list.get());
  EXPECT_EQ(floor->getSpatialChildrenCount(KVRBasicBody3D::ClassInfo_), 2);  // its ancestor stays put
  EXPECT_TRUE(loose->getInnerBody() == fixture && part->getInnerBody() == gripper);
  gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), nullptr);  // ignored
  list->orphanObject();
  EXPECT_TRUE(list->getBodies().empty());
  // LeakSanitizer checks that attachments and bodies are freed once the world
  // is orphaned, also two bodies naming each other as their home.
  auto temporary = make<KVRBasicBody3D>(L"Temporary");  // in no world: orphaned by hand
  fixture->attachBody(temporary);
  part->setHomeAttachBody(gripper);
  gripper->setHomeAttachBody(part);
  temporary->orphanObject();
}

TEST_F(Attaching, RefusedAttachesGrabsAndDetachesChangeNothing) {
  // On itself, on its own outer body, at another body's frame, a body linked
  // spatially without a connection, through a connection between others.
  expectThrowWithText<KVREInvalidRelation>([&] { part->attachBody(part); },
                                           L"The inner and outer bodies cannot be the same entity");
  EXPECT_THROW(part->grabBody(fixture, 1), KVREInvalidRelation);
  EXPECT_THROW(part->attachBody(floor), KVREInvalidRelation);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { fixture->attachBody(part, tool); },
      L"Frame \"/W/Gripper/Tool\" is not attached to Body \"/W/Fixture\"");
  auto plain = make<Probe3D>(L"Plain");
  auto pinned = make<KVRBasicBody3D>(L"Pinned");
  plain->addSpatialChild(pinned);
  expectThrowWithText<KVREAlreadyRegistered>([&] { gripper->attachBody(pinned); },
                                             L"Body \"/\" is already connected to another body");
  EXPECT_THROW(gripper->grabBody(pinned, 1), KVREAlreadyRegistered);
  EXPECT_THROW(gripper->attachBody(Body()), KVREInvalidArgument);
  const KVRSharedHandle<KVRBasicConnection3D> borrowed = part->getInnerConnection();  // Fixture-Part
  expectThrowWithText<KVREInvalidRelation>(
      [&] { loose->setInnerBody(gripper, borrowed); },
      L"Attachment \"/\" does not connect Body \"/W/Loose\" to Body \"/W/Gripper\"");
  // A grab list with one body that cannot be grabbed grabs none.
  KVRSharedHandle<KVRNotifyBasicBody3DList> list(new KVRNotifyBasicBody3DList);
  list->getBodies() = {loose, part, pinned};
  EXPECT_THROW(gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), list.get()),
               KVREAlreadyRegistered);
  EXPECT_FALSE(loose->hasInnerBody());
  EXPECT_TRUE(part->getInnerBody() == fixture && fixture->getInnerBody() == floor);
  EXPECT_TRUE(part->getInnerBodyOriginal().isNull());
  EXPECT_TRUE(pinned->getSpatialParent() == plain && gripper->getOuterBodyCount() == 0);
  orphan(plain, pinned);
  // So a grab never disconnects a connection that carries another body.
  gripper->grabBody(loose, 1);
  EXPECT_TRUE(part->getInnerBody() == fixture && borrowed->isConnected());
  // A detach whose destination would refuse the body.
  gripper->grabBody(part, 1);
  part->setHomeAttachBody(part);  // it cannot be carried by itself
  EXPECT_THROW(part->detachBody(), KVREInvalidRelation);
  EXPECT_EQ(part->getInnerBody(), gripper);
}

TEST_F(Attaching, DestroyingACarrierLetsGoOfWhatItCarriesWhereItStands) {
  auto frame = make<KVRBasicFrame3D>(L"F");
  part->addFrame(frame);
  part->flushSpatialState();
  const Xform X_WP = part->getBaseLocation();
  const KVRSharedHandle<KVRBasicConnection3D> attachment = part->getAttachment();
  w->destroyEntity(fixture);
  EXPECT_FALSE(part->hasInnerBody() || part->hasInnerConnection() || part->isAttached() ||
               attachment->isConnected() || part->hasSpatialParent() || part->isOrphaned());
  EXPECT_EQ(floor->getOuterBodyCount(), 1);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
  // The next flush drops the destroyed body from the ancestor lists below.
  EXPECT_TRUE(part->testEvent(KVRBasicEntity3D::SpatialAncestorsChanged));
  part->flushSpatialState();
  KVRSharedVector<KVRBasicEntity3D> ancestors;
  frame->getSpatialAncestors(ancestors);
  EXPECT_EQ(names(ancestors), Names{L"Part"});
  EXPECT_EQ(fixture->getReferenceCount(), 1);  // only the test holds it
}

TEST_F(Attaching, EveryConnectionNamingADestroyedBodyLetsGoOfIt) {
  // Recorded between two bodies, not hung: only they name the gripper and the floor.
  auto joint = make<KVRBasicAttachment3D>(L"Joint"), stay = make<KVRBasicAttachment3D>(L"Stay");
  w->addEntity(joint);
  w->addEntity(stay);
  joint->connectBodies(gripper, part, Xform::Identity, X_GT);
  stay->connectBodies(part, floor, X_GT, Xform::Identity);
  w->destroyEntity(gripper);  // its own objects go with it
  EXPECT_TRUE(!joint->isConnected() && tool->isOrphaned() && gripper->getReferenceCount() == 1);
  w->destroyEntity(floor);
  EXPECT_FALSE(stay->isConnected());
  fixture->flushSpatialState();  // the part's ancestor list lets go of the floor
  EXPECT_EQ(floor->getReferenceCount(), 1);
  EXPECT_TRUE(!fixture->hasInnerBody() && part->hasInnerBody());  // the part still hangs where it did
}

TEST_F(Attaching, AReleasedBodyNeverReturnsToADestroyedBody) {
  gripper->grabBody(part, 1);  // it remembers the fixture as the body it first hung on
  auto shelf = make<KVRBasicBody3D>(L"Shelf");
  w->addEntity(shelf);
  part->setHomeAttachBody(shelf);
  w->destroyEntity(fixture);
  w->destroyEntity(shelf);
  const Xform held = part->getBaseLocation();
  part->detachBody();
  EXPECT_FALSE(part->hasInnerBody());
  EXPECT_XFORM_NEAR(part->getBaseLocation(), held);
}

TEST_F(Attaching, UnlinkingLetsGoOfTheConnectionAnOrphanedEntityIsNeverLinkedAgain) {
  auto stand_in = make<Probe3D>(L"StandIn");
  const std::vector<std::pair<const char*, std::function<void()>>> ways{
      {"removeSpatialChild", [&] { fixture->removeSpatialChild(part); }},
      {"removeSpatialChildren(Body)", [&] { fixture->removeSpatialChildren(KVRBasicBody3D::ClassInfo_); }},
      {"removeSpatialChildren", [&] { fixture->removeSpatialChildren(); }},
      {"destroySpatialChildren", [&] { fixture->destroySpatialChildren(); }},
      {"removeSpatialParent", [&] { part->removeSpatialParent(); }},
      {"replaceSpatialChild", [&] { fixture->replaceSpatialChild(part, stand_in); }},
  };
  for (const auto& [way, unlink] : ways) {
    SCOPED_TRACE(way);
    if (!part->hasInnerBody()) fixture->attachBody(part, X_FP);
    flushSpatial(fixture, part);
    const Xform X_WP = part->getBaseLocation();
    const KVRSharedHandle<KVRBasicConnection3D> attachment = part->getAttachment();
    unlink();
    EXPECT_FALSE(part->hasInnerBody() || part->hasInnerConnection() || part->isAttached() ||
                 attachment->isConnected());
    EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
    EXPECT_TRUE(fixture->testEvent(KVRBasicBody3D::OuterBodyLeft) &&
                part->testEvent(KVRBasicBody3D::InnerBodyCleared));
    part->flushSpatialState();
    EXPECT_TRUE(isSound(part));
  }
  EXPECT_EQ(stand_in->getSpatialParent(), fixture);
  fixture->removeSpatialChild(stand_in);
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

}  // namespace
