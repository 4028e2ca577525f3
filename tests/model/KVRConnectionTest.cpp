// Connections: the relative location I · V · O⁻¹, following frames, disconnecting.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

// The scene: inner body A (hanging on a base through an attachment, so it
// can move) with frame FA at X_AF; outer body B with frame FB at X_BG; a
// joint and an attachment, not connected.
class Connections : public testing::Test {
 protected:
  void SetUp() override {
    base->attachBody(a, X_WA);
    Xform offsetA = X_AF, offsetB = X_BG;
    a->addFrame(fa);
    b->addFrame(fb);
    fa->setFrameLocation(offsetA);
    fb->setFrameLocation(offsetB);
    flushSpatial(a, b, fa, fb);
  }
  void TearDown() override {
    EXPECT_TRUE(isSound(base) && isSound(b));
    orphan(joint, attachment, base, a, b);
  }
  // Hangs B on A through `connection` (what the attach operations do).
  void hangThrough(const KVRSharedHandle<KVRBasicConnection3D>& connection) {
    b->setInnerBody(a, connection);
    connection->propagateLocation();
    b->flushSpatialState();
  }
  const Xform X_WA = pose(0.4, 1, 1, 0);
  const Xform X_AF = pose(-0.9, 0, 0.5, 0.25, KVRBasicVector3D<double>(1, 1, 0));
  const Xform X_BG = pose(1.3, 0.2, -0.1, 0, KVRBasicVector3D<double>(0, 2, 1));
  KVRSharedHandle<KVRBasicBody3D> base = make<KVRBasicBody3D>(L"Base"), a = make<KVRBasicBody3D>(L"A"),
                                  b = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicFrame3D> fa = make<KVRBasicFrame3D>(L"FA"), fb = make<KVRBasicFrame3D>(L"FB");
  KVRSharedHandle<FixedJoint> joint = make<FixedJoint>(L"Joint");
  KVRSharedHandle<KVRBasicAttachment3D> attachment = make<KVRBasicAttachment3D>(L"Link");
};

TEST_F(Connections, ThroughBodiesTheRelativeLocationIsIVOInverseUntilDisconnectedRefusalsChangeNothing) {
  const Xform R = pose(0.3, 1, 2, 3), I = pose(0.2, 1, 0, 0), O = pose(-0.7, 0, 2, 1);
  // The outer offset that gives a wanted relative location R.
  const Xform wanted = KVRBasicConnection3D::calcOuterOffset(R, I, joint->variable);
  EXPECT_XFORM_NEAR(KVRBasicConnection3D::calcRelativeLocation(I, joint->variable, wanted), R);
  EXPECT_XFORM_NEAR(wanted, R.inverse() * I * joint->variable);
  joint->flushLogicalState();
  joint->connectBodies(a, b, I, O);
  EXPECT_XFORM_NEAR(joint->getCachedRelativeLocation(), I * joint->variable * O.inverse());
  EXPECT_EQ(pending(*joint), (std::vector<int>{9, 11, 12, 13}));
  hangThrough(joint);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * I * joint->variable * O.inverse());
  joint->flushLogicalState();
  joint->disconnectBodies();
  EXPECT_EQ(pending(*joint), (std::vector<int>{10, 11, 12, 13}));
  EXPECT_FALSE(b->hasInnerBody() || a->hasOuterBody(b));
  EXPECT_TRUE(a->testEvent(KVRBasicBody3D::OuterBodyLeft));
  joint->flushLogicalState();
  joint->disconnectBodies();  // already disconnected: no bit
  EXPECT_EQ(pending(*joint), std::vector<int>{});
  // A body recorded by the connection but hung elsewhere is neither placed nor let go.
  base->attachBody(b, X_BG);
  b->flushSpatialState();
  joint->connectBodies(fa, fb);
  const Xform X_WB = b->getBaseLocation();
  fb->setFrameLocation(pose(0.7, 3, 3, 3));
  fb->flushSpatialState();
  joint->propagateLocation();
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WB);
  joint->disconnectBodies();
  EXPECT_EQ(b->getInnerBody(), base);
  // Refusals keep the connection as it was.
  auto loose = make<KVRBasicFrame3D>(L"Loose");
  expectThrowWithText<KVREInvalidRelation>([&] { joint->connectBodies(loose, fb); },
                                           L"The specified inner frame is not attached to a body");
  expectThrowWithText<KVREInvalidRelation>([&] { joint->connectBodies(fa, loose); },
                                           L"The specified outer frame is not attached to a body");
  auto second = make<KVRBasicFrame3D>(L"Second");
  a->addFrame(second);
  expectThrowWithText<KVREInvalidRelation>([&] { joint->connectBodies(fa, second); },
                                           L"The inner and outer frames are attached to the same body");
  expectThrowWithText<KVREInvalidRelation>([&] { joint->connectBodies(a, a, Xform(), Xform()); },
                                           L"The inner and outer bodies cannot be the same entity");
  EXPECT_THROW(joint->connectBodies(KVRSharedHandle<KVRBasicFrame3D>(), fb), KVREInvalidArgument);
  EXPECT_THROW(joint->connectBodies(a, KVRSharedHandle<KVRBasicBody3D>(), Xform(), Xform()),
               KVREInvalidArgument);
  EXPECT_FALSE(joint->isConnected() || fa->getSubscriberCount() != 0);
  joint->connectBodies(fa, fb);
  expectThrowWithText<KVREAlreadyRegistered>([&] { joint->connectBodies(a, base, Xform(), Xform()); },
                                             L"The specified connection entity is already in use");
  EXPECT_TRUE(joint->getInnerFrame() == fa && joint->getOuterBody() == b);
}

TEST_F(Connections, ThroughFramesItFollowsAFrameOnItsBodyUntilDisconnectedDestroyedOrTheFrameLeaves) {
  joint->connectBodies(fa, fb);
  hangThrough(joint);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * X_AF * joint->variable * X_BG.inverse());
  // A frame event without the location bits changes nothing.
  joint->flushLogicalState();
  fa->setEntityName(L"Renamed");
  fa->flushLogicalState();
  EXPECT_EQ(pending(*joint), std::vector<int>{});
  const Xform X_BG2 = pose(0.1, 0, 0, 3);
  Xform moved = X_BG2;
  fb->setFrameLocation(moved);
  EXPECT_XFORM_NEAR(joint->getOuterOffset(), X_BG);  // only once the frame publishes
  fb->flushSpatialState();
  EXPECT_TRUE(joint->testEvent(KVRBasicConnection3D::OuterOffsetSet));
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * X_AF * joint->variable * X_BG2.inverse());
  // Disconnecting or destroying the connection stops following the frames.
  EXPECT_EQ(fa->getSubscriberCount(), 1);
  joint->disconnectBodies();
  EXPECT_EQ(fa->getSubscriberCount() + fb->getSubscriberCount(), 0);
  joint->connectBodies(fa, fb);
  joint.detach();  // destroying the connection also lets go of the frames
  EXPECT_EQ(fa->getSubscriberCount(), 0);
  joint = make<FixedJoint>(L"Joint");
  // A frame that leaves its body is no longer followed.
  joint->connectBodies(fa, fb);
  hangThrough(joint);
  const Xform X_AB = b->getRelativeLocation();
  b->removeFrame(fb);  // FB leaves B: the joint notices when FB next publishes
  fb->flushSpatialState();
  EXPECT_TRUE(joint->getOuterFrame().isNull() && joint->isConnected());
  EXPECT_EQ(fb->getSubscriberCount(), 0);
  // Moving the frame that left moves nothing; B keeps the offset it had.
  fb->setFrameLocation(pose(0.7, 3, 3, 3));
  fb->flushSpatialState();
  EXPECT_XFORM_NEAR(b->getRelativeLocation(), X_AB);
  fb->orphanObject();
}

TEST_F(Connections, AnAttachmentKeepsItsRelativeLocationWhateverItsFramesDoUntilTakenOffByHand) {
  Xform r = pose(0.2, 1, 1, 1);
  EXPECT_EQ(attachment->setRelativeLocation(r), 2);  // whether connected or not, as asked
  attachment->connectBodies(fa, fb);
  const Xform R = pose(0.8, 0, 1, 2);
  Xform relative = R;
  attachment->setRelativeLocation(relative);
  hangThrough(attachment);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * R);
  Xform movedA = pose(0.5, 1, 0, 0), movedB = pose(-0.5, 0, 1, 0);
  fa->setFrameLocation(movedA);
  fb->setFrameLocation(movedB);
  flushSpatial(fa, fb);
  EXPECT_XFORM_NEAR(attachment->getVariableLocation(), movedA.inverse() * R * movedB);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * R);
  b->clearInnerBody();
  EXPECT_FALSE(attachment->isConnected() || b->hasInnerBody());  // it would name a body it does not carry
  EXPECT_TRUE(isSound(attachment));
}

}  // namespace
