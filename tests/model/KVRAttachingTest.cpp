// Attaching, grabbing and detaching bodies; refused attaches leave the
// model exactly as it was.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

// The scene, in world W: a fixture F hanging on the floor R at X_RF; a
// gripper G hanging on R at X_RG, with a tool frame T at X_GT; a part P
// hanging on the fixture at X_FP through an attachment.
class Attaching : public testing::Test {
 protected:
  void SetUp() override {
    for (auto* e : {&floor, &fixture, &gripper, &part}) w->addEntity(*e);
    floor->attachBody(fixture, X_RF);
    floor->attachBody(gripper, X_RG);
    Xform offset = X_GT;
    gripper->addFrame(tool);
    tool->setFrameLocation(offset);
    fixture->attachBody(part, X_FP);
    w->flushLogicalState();
    for (auto* e : {&floor, &fixture, &gripper, &part}) (*e)->flushSpatialState();
    tool->flushSpatialState();
  }
  void TearDown() override { w->orphanObject(); }

  Xform partRelativeTo(const Body& carrier) const {
    return carrier->getBaseLocation().inverse() * part->getBaseLocation();
  }

  const Xform X_RF = pose(0.3, 2, 0, 0), X_RG = pose(-0.8, 0, 3, 1), X_GT = pose(0.5, 0, 0, 0.2);
  const Xform X_FP = pose(1.1, 0.1, 0.1, 0.5);
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"Floor"), fixture = make<KVRBasicBody3D>(L"Fixture"),
       gripper = make<KVRBasicBody3D>(L"Gripper"), part = make<KVRBasicPart3D>(L"Part");
  KVRSharedHandle<KVRBasicFrame3D> tool = make<KVRBasicFrame3D>(L"Tool");
};

TEST_F(Attaching, AttachBodyHangsTheBodyAtTheGivenLocationThroughANamedAttachment) {
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_TRUE(part->isAttached());
  auto attachment = KVRSharedHandle<KVRBasicAttachment3D>::downcast(part->getAttachment());
  EXPECT_EQ(attachment->getEntityName(), L"Fixture-Part");
  EXPECT_EQ(part->getInnerConnection(), attachment);
  EXPECT_EQ(fixture->getOuterBodyCount(), 1);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RF * X_FP);
  EXPECT_XFORM_NEAR(part->getRelativeLocation(), X_FP);
  EXPECT_TRUE(fixture->testEvent(KVRBasicBody3D::BodyAttached) || fixture->getPendingEvents().none());

  auto loose = make<KVRBasicBody3D>(L"Loose");
  fixture->flushSpatialState();
  fixture->attachBody(loose);
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), fixture->getBaseLocation());
  EXPECT_TRUE(fixture->testEvent(KVRBasicBody3D::BodyAttached));
  EXPECT_TRUE(loose->getPendingEvents().none());  // flushed by the attach
  loose->orphanObject();
}

TEST_F(Attaching, AttachingTakesTheBodyOffItsConnectionAndRemembersWhereItHung) {
  gripper->attachBody(part, tool);
  EXPECT_EQ(part->getInnerBody(), gripper);
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);
  EXPECT_EQ(fixture->getOuterBodyCount(), 0);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), gripper->getBaseLocation() * X_GT);
  // The tool's offset was taken once: moving the tool later does not move the part.
  Xform elsewhere = pose(0.2, 0, 0, 1);
  tool->setFrameLocation(elsewhere);
  tool->flushSpatialState();
  EXPECT_XFORM_NEAR(part->getBaseLocation(), gripper->getBaseLocation() * X_GT);
  // A second attach keeps the first original.
  floor->attachBody(part);
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);
}

TEST_F(Attaching, AttachingAtAFrameOfAnotherBodyIsRefused) {
  expectThrowWithText<KVREInvalidRelation>(
      [&] { fixture->attachBody(part, tool); },
      L"Frame \"/W/Gripper/Tool\" is not attached to Body \"/W/Fixture\"");
  EXPECT_EQ(part->getInnerBody(), fixture);
}

TEST_F(Attaching, TheCarriedBodyFollowsItsCarrierAtTheFlush) {
  gripper->attachBody(part, tool);
  const Xform X_RG2 = pose(0.9, -1, 0, 2);
  Xform move = X_RG2;
  EXPECT_EQ(gripper->setBaseLocation(move), 2);
  gripper->flushSpatialState();
  EXPECT_XFORM_NEAR(part->getBaseLocation(), X_RG2 * X_GT);
  EXPECT_XFORM_NEAR(tool->getBaseLocation(), X_RG2 * X_GT);
}

TEST_F(Attaching, AttachBodiesHangsTheBodyWhereItStands) {
  auto loose = make<KVRBasicBody3D>(L"Loose");
  w->addEntity(loose);
  gripper->attachBodies(loose);
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), Xform::Identity);
  auto attachment = loose->getAttachment();
  EXPECT_XFORM_NEAR(attachment->getOuterOffset(), gripper->getBaseLocation());  // X_LG with L at the origin
  EXPECT_XFORM_NEAR(attachment->getVariableLocation(), Xform::Identity);
  EXPECT_XFORM_NEAR(loose->getRelativeLocation(), gripper->getBaseLocation().inverse());
  // attachBodies does not take a body off its connection.
  expectThrowWithText<KVREAlreadyRegistered>([&] { gripper->attachBodies(part); },
                                             L"Part \"/W/Part\" is already connected to another body");
  EXPECT_EQ(part->getInnerBody(), fixture);
}

TEST_F(Attaching, GrabbingKeepsThePlaceAndDetachingPutsTheBodyBackWhereItHung) {
  const Xform before = part->getBaseLocation();
  gripper->grabBody(part, 5);
  EXPECT_XFORM_NEAR(part->getBaseLocation(), before);
  EXPECT_EQ(part->getTransientState(), 5);
  EXPECT_EQ(part->getInnerBody(), gripper);

  Xform move = pose(0.4, 3, 3, 3);
  gripper->setBaseLocation(move);
  gripper->flushSpatialState();
  const Xform released = part->getBaseLocation();
  EXPECT_FALSE(released.isApprox(before, 1e-6));

  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), fixture);              // back to the inner body original
  EXPECT_XFORM_NEAR(part->getBaseLocation(), released);  // where it was released
  EXPECT_FALSE(part->isAttached());
  EXPECT_EQ(part->getTransientState(), 0);
  EXPECT_EQ(part->getInnerBodyOriginal(), fixture);
  // It now follows the fixture again.
  Xform shift = pose(0.0, 1, 0, 0) * fixture->getBaseLocation();
  fixture->setBaseLocation(shift);
  fixture->flushSpatialState();
  EXPECT_XFORM_NEAR(fixture->getBaseLocation().inverse() * part->getBaseLocation(),
                    X_RF.inverse() * released);
}

TEST_F(Attaching, DetachingGoesToTheHomeAttachBodyFirst) {
  part->setHomeAttachBody(floor);
  gripper->grabBody(part, 1);
  part->detachBody();
  EXPECT_EQ(part->getInnerBody(), floor);
  EXPECT_TRUE(part->isAttached());  // grabbed back, in state 0
  EXPECT_EQ(part->getTransientState(), 0);
}

TEST_F(Attaching, DetachingABodyWithNowhereToGoLeavesItFree) {
  auto loose = make<KVRBasicBody3D>(L"Loose");
  w->addEntity(loose);
  gripper->grabBody(loose, 2);
  const Xform held = loose->getBaseLocation();
  loose->detachBody();
  EXPECT_FALSE(loose->hasInnerBody());
  EXPECT_FALSE(loose->isAttached());
  EXPECT_XFORM_NEAR(loose->getBaseLocation(), held);
  loose->detachBody();  // nothing attached: nothing happens
  EXPECT_FALSE(loose->hasInnerBody());
}

TEST_F(Attaching, TheClassOperationsCheckWhoMayRelease) {
  EXPECT_EQ(KVRBasicBody3D::grabBody(gripper, Body()), 0);
  EXPECT_EQ(KVRBasicBody3D::grabBody(gripper, part), 1);
  EXPECT_EQ(part->getTransientState(), 1);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, fixture), 1);  // not the holder: nothing
  EXPECT_EQ(part->getInnerBody(), gripper);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, gripper), 1);
  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, Body()), 1);  // not grabbed any more: nothing
  EXPECT_EQ(part->getInnerBody(), fixture);
  gripper->grabBody(part, 3);
  EXPECT_EQ(KVRBasicBody3D::detachBody(part, Body()), 1);  // an anonymous caller may release
  EXPECT_EQ(part->getInnerBody(), fixture);
}

TEST_F(Attaching, TheGrabListSkipsAncestorsGrabbedBodiesAndItself) {
  auto other = make<KVRBasicBody3D>(L"Other");
  w->addEntity(other);
  fixture->grabBody(other, 7);  // already grabbed
  KVRSharedHandle<KVRNotifyBasicBody3DList> list(new KVRNotifyBasicBody3DList);
  list->getBodies() = {floor, other, part, gripper, Body()};
  gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), list.get());
  EXPECT_EQ(floor->getSpatialChildrenCount(KVRBasicBody3D::ClassInfo_), 2);  // its ancestor stays put
  EXPECT_EQ(other->getInnerBody(), fixture);
  EXPECT_EQ(part->getInnerBody(), gripper);
  EXPECT_EQ(part->getTransientState(), 1);
  gripper->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), nullptr);
  list->orphanObject();
  EXPECT_TRUE(list->getBodies().empty());
}

TEST_F(Attaching, RefusedAttachesAndGrabsChangeNothing) {
  // Carrying a body on itself, on its own outer body, or a body linked
  // spatially without a connection: each is refused before anything changes.
  expectThrowWithText<KVREInvalidRelation>([&] { part->attachBody(part); },
                                           L"The inner and outer bodies cannot be the same entity");
  EXPECT_THROW(part->grabBody(fixture, 1), KVREInvalidRelation);
  EXPECT_THROW(part->attachBody(floor), KVREInvalidRelation);
  auto plain = make<Probe3D>(L"Plain");
  auto pinned = make<KVRBasicBody3D>(L"Pinned");
  plain->addSpatialChild(pinned);
  expectThrowWithText<KVREAlreadyRegistered>([&] { gripper->attachBody(pinned); },
                                             L"Body \"/\" is already connected to another body");
  EXPECT_THROW(gripper->grabBody(pinned, 1), KVREAlreadyRegistered);
  EXPECT_THROW(gripper->attachBody(Body()), KVREInvalidArgument);

  EXPECT_EQ(part->getInnerBody(), fixture);
  EXPECT_TRUE(part->isAttached());
  EXPECT_EQ(fixture->getInnerBody(), floor);
  EXPECT_TRUE(part->getInnerBodyOriginal().isNull());
  EXPECT_EQ(pinned->getSpatialParent(), plain);
  EXPECT_EQ(gripper->getOuterBodyCount(), 0);
  plain->orphanObject();
  pinned->orphanObject();
}

TEST_F(Attaching, ADetachWhoseDestinationWouldRefuseTheBodyChangesNothing) {
  gripper->grabBody(part, 1);
  part->setHomeAttachBody(part);  // it cannot be carried by itself
  EXPECT_THROW(part->detachBody(), KVREInvalidRelation);
  EXPECT_EQ(part->getInnerBody(), gripper);
  EXPECT_TRUE(part->isAttached());
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
  SUCCEED();
}

}  // namespace
