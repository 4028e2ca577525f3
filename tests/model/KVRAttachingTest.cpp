// Attaching, grabbing and detaching bodies; refused attaches leave the
// model exactly as it was.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

// The scene, in world W: a fixture F hanging on the floor R at X_RF; a
// gripper G hanging on R at X_RG, with a tool frame T at X_GT; a part P
// hanging on the fixture at X_FP through an attachment; a loose body L.
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
  void TearDown() override { w->orphanObject(); }

  const Xform X_RF = pose(0.3, 2, 0, 0), X_RG = pose(-0.8, 0, 3, 1), X_GT = pose(0.5, 0, 0, 0.2);
  const Xform X_FP = pose(1.1, 0.1, 0.1, 0.5);
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"Floor"), fixture = make<KVRBasicBody3D>(L"Fixture"),
       gripper = make<KVRBasicBody3D>(L"Gripper"), part = make<KVRBasicPart3D>(L"Part"),
       loose = make<KVRBasicBody3D>(L"Loose");
  KVRSharedHandle<KVRBasicFrame3D> tool = make<KVRBasicFrame3D>(L"Tool");
};

TEST_F(Attaching, AttachBodyHangsTheBodyAtTheGivenLocationAttachBodiesWhereItStands) {
  EXPECT_EQ(part->getAttachment()->getEntityName(), L"Fixture-Part");
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RF * X_FP);

  fixture->attachBody(loose);
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), X_RF);
  EXPECT_TRUE(fixture->testEvent(KVRBasicBody3D::BodyAttached));
  EXPECT_TRUE(loose->getPendingEvents().none());  // flushed by the attach

  auto standing = make<KVRBasicBody3D>(L"Standing");
  w->addEntity(standing);
  gripper->attachBodies(standing);
  EXPECT_XFORM_NEAR(standing->getBaseLocation(), Xform::Identity);
  EXPECT_XFORM_NEAR(standing->getAttachment()->getOuterOffset(), X_RG);  // X_SG with S at the origin
  // attachBodies does not take a body off its connection.
  expectThrowWithText<KVREAlreadyRegistered>([&] { gripper->attachBodies(part); },
                                             L"Part \"/W/Part\" is already connected to another body");
  EXPECT_EQ(part->getInnerBody(), fixture);
}

TEST_F(Attaching, AttachingAtAFrameTakesTheOffsetOnceAndFollowsTheCarrier) {
  gripper->attachBody(part, tool);
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);  // where it hung before
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG * X_GT);
  // Moving the tool later does not move the part; moving the gripper does, at the flush.
  Xform elsewhere = pose(0.2, 0, 0, 1);
  tool->setFrameLocation(elsewhere);
  tool->flushSpatialState();
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG * X_GT);
  const Xform X_RG2 = pose(0.9, -1, 0, 2);
  EXPECT_EQ(place(gripper, X_RG2), 2);
  gripper->flushSpatialState();
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG2 * X_GT);
}

TEST_F(Attaching, GrabbingKeepsThePlaceAndDetachingPutsTheBodyBackWhereItBelongs) {
  const Xform before = part->getBaseLocation();
  gripper->grabBody(part, 5);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), before);
  place(gripper, pose(0.4, 3, 3, 3));
  gripper->flushSpatialState();
  const Xform released = part->getBaseLocation();

  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), fixture);              // back to the inner body original
  EXPECT_XFORM_NEAR(part->getBaseLocation(), released);  // where it was released
  EXPECT_FALSE(part->isAttached());

  // The home attach body comes first; a body with nowhere to go is left free.
  part->setHomeAttachBody(floor);
  gripper->grabBody(part, 1);
  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), floor);
  EXPECT_TRUE(part->isAttached() && part->getTransientState() == 0);  // grabbed back, in state 0

  gripper->grabBody(loose, 2);
  const Xform held = loose->getBaseLocation();
  loose->detachBody();
  loose->detachBody();  // nothing attached any more: nothing happens
  EXPECT_FALSE(loose->hasInnerBody());
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), held);
}

TEST_F(Attaching, TheClassOperationsAndTheGrabListCheckWhoMayGrabAndRelease) {
  EXPECT_EQ(KVRBasicBody3D::grabBody(gripper, Body()), 0);
  EXPECT_EQ(KVRBasicBody3D::grabBody(gripper, part), 1);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, fixture), 1);  // not the holder: nothing
  EXPECT_EQ(part->getInnerBody(), gripper);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, Body()), 1);  // an anonymous caller may release
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, Body()), 1);  // not grabbed any more: nothing
  EXPECT_EQ(part->getInnerBody(), fixture);

  // The grab list skips ancestors, grabbed bodies and the grabber itself.
  fixture->grabBody(loose, 7);  // already grabbed
  KVRSharedHandle<KVRNotifyBasicBody3DList> list(new KVRNotifyBasicBody3DList);
  list->getBodies() = {floor, loose, part, gripper, Body()};
  gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), list.get());
  EXPECT_EQ(floor->getSpatialChildrenCount(KVRBasicBody3D::ClassInfo_), 2);  // its ancestor stays put
  EXPECT_EQ(loose->getInnerBody(), fixture);
  EXPECT_EQ(part->getInnerBody(), gripper);
  gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), nullptr);
  list->orphanObject();
  EXPECT_TRUE(list->getBodies().empty());
}

TEST_F(Attaching, RefusedAttachesGrabsAndDetachesChangeNothing) {
  // Carrying a body on itself, on its own outer body, at a frame of another
  // body, or a body linked spatially without a connection.
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
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_EQ(fixture->getInnerBody(), floor);
  EXPECT_TRUE(part->getInnerBodyOriginal().isNull());
  EXPECT_TRUE(pinned->getSpatialParent() == plain && gripper->getOuterBodyCount() == 0);
  orphan(plain, pinned);

  // A detach whose destination would refuse the body.
  gripper->grabBody(part, 1);
  part->setHomeAttachBody(part);  // it cannot be carried by itself
  EXPECT_THROW(part->detachBody(), KVREInvalidRelation);
  EXPECT_EQ(part->getInnerBody(), gripper);
}

TEST_F(Attaching, AGrabListWithABodyThatCannotBeGrabbedGrabsNone) {
  auto plain = make<Probe3D>(L"Plain");
  auto pinned = make<KVRBasicBody3D>(L"Pinned");  // stands on a plain entity, with no connection
  plain->addSpatialChild(pinned);
  KVRSharedHandle<KVRNotifyBasicBody3DList> list(new KVRNotifyBasicBody3DList);
  list->getBodies() = {loose, part, pinned};
  EXPECT_THROW(gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), list.get()),
               KVREAlreadyRegistered);
  EXPECT_FALSE(loose->hasInnerBody());
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_EQ(gripper->getOuterBodyCount(), 0);
  EXPECT_TRUE(isSound(w));
  orphan(plain, pinned);
}

TEST_F(Attaching, AConnectionBetweenOtherBodiesCannotCarryABody) {
  const KVRSharedHandle<KVRBasicConnection3D> borrowed = part->getInnerConnection();  // Fixture-Part
  expectThrowWithText<KVREInvalidRelation>(
      [&] { loose->setInnerBody(gripper, borrowed); },
      L"Attachment \"/\" does not connect Body \"/W/Loose\" to Body \"/W/Gripper\"");
  EXPECT_FALSE(loose->hasInnerBody());
  // So a grab never disconnects a connection that carries another body.
  gripper->grabBody(loose, 1);
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_TRUE(borrowed->isConnected());
  EXPECT_TRUE(isSound(w));
}

TEST_F(Attaching, ABodyHandedOnGoesBackToTheBodyItFirstHungOn) {
  gripper->grabBody(part, 1);
  floor->grabBody(part, 1);  // from the gripper to the floor
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);
  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_TRUE(isSound(w));
}

TEST_F(Attaching, ABodyGivenBackToItsHomeStaysWhereItWasReleased) {
  part->setHomeAttachBody(floor);
  gripper->grabBody(part, 1);
  EXPECT_EQ(place(gripper, pose(0.4, 3, 3, 3)), 2);
  gripper->flushSpatialState();
  const Xform X_WP = part->getBaseLocation();
  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), floor);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
  floor->flushBaseLocation();  // and stays there when the floor pushes its location down
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_WP);
  EXPECT_TRUE(isSound(w));
}

TEST_F(Attaching, DestroyingEverythingLeavesNothingBehind) {
  // LeakSanitizer checks that attachments and bodies are freed once the world is orphaned.
  gripper->grabBody(part, 1);
  gripper->detachBody();
  part->detachBody();
  auto temporary = make<KVRBasicBody3D>(L"Temporary");  // in no world: orphaned by hand
  fixture->attachBody(temporary);
  part->setHomeAttachBody(gripper);
  gripper->setHomeAttachBody(part);  // two orphaned bodies naming each other must not keep each other alive
  temporary->orphanObject();
}

}  // namespace
