// Connections and attachments: connecting through bodies or frames, the
// relative location I · V · O⁻¹, following frames that move, disconnecting.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

// A connection whose variable location is a fixed V, independent of the offsets.
class FixedJoint : public KVRBasicConnection3D {
 public:
  static const KVRClassInfo ClassInfo_;
  FixedJoint() = default;
  FixedJoint(const FixedJoint& source, CopyMode mode) : KVRBasicConnection3D(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  Xform getVariableLocation() const override { return variable; }
  Xform variable = pose(0.6, 0.1, 0.2, 0.3, KVRBasicVector3D<double>(3, -1, 2));
};
constinit const KVRClassInfo FixedJoint::ClassInfo_ =
    KVRClassInfo::concrete<FixedJoint>("FixedJoint", KVRBasicConnection3D::ClassInfo_);

// The scene: inner body A (hanging on a base through an attachment, so it
// can move) with frame FA at X_AF; outer body B with frame FB at X_BG.
class Connections : public testing::Test {
 protected:
  void SetUp() override {
    base->attachBody(a, X_WA);
    Xform offsetA = X_AF, offsetB = X_BG;
    a->addFrame(fa);
    b->addFrame(fb);
    fa->setFrameLocation(offsetA);
    fb->setFrameLocation(offsetB);
    for (auto* e : {&a, &b}) (*e)->flushSpatialState();
    fa->flushSpatialState();
    fb->flushSpatialState();
  }
  void TearDown() override {
    joint->orphanObject();
    for (auto* e : {&base, &a, &b}) (*e)->orphanObject();
  }

  // Hangs B on A through the joint (what the attach operations do).
  void hangThroughJoint() {
    b->setInnerBody(a, joint);
    joint->propagateLocation();
    b->flushSpatialState();
  }

  const Xform X_WA = pose(0.4, 1, 1, 0);
  const Xform X_AF = pose(-0.9, 0, 0.5, 0.25, KVRBasicVector3D<double>(1, 1, 0));
  const Xform X_BG = pose(1.3, 0.2, -0.1, 0, KVRBasicVector3D<double>(0, 2, 1));
  KVRSharedHandle<KVRBasicBody3D> base = make<KVRBasicBody3D>(L"Base"), a = make<KVRBasicBody3D>(L"A"),
                                  b = make<KVRBasicBody3D>(L"B");
  KVRSharedHandle<KVRBasicFrame3D> fa = make<KVRBasicFrame3D>(L"FA"), fb = make<KVRBasicFrame3D>(L"FB");
  KVRSharedHandle<FixedJoint> joint = make<FixedJoint>(L"Joint");
};

TEST_F(Connections, ThroughBodiesTheRelativeLocationIsInnerVariableOuterInverse) {
  joint->flushLogicalState();
  const Xform I = pose(0.2, 1, 0, 0), O = pose(-0.7, 0, 2, 1);
  joint->connectBodies(a, b, I, O);
  EXPECT_TRUE(joint->isConnected());
  EXPECT_XFORM_NEAR(joint->getCachedRelativeLocation(), I * joint->variable * O.inverse());
  EXPECT_EQ(pending(*joint), (std::vector<int>{9, 11, 12, 13}));
  EXPECT_TRUE(joint->getInnerFrame().isNull());
  hangThroughJoint();
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * I * joint->variable * O.inverse());
  EXPECT_XFORM_NEAR(b->getRelativeLocation(), joint->getCachedRelativeLocation());
}

TEST_F(Connections, DisconnectingUndoesBothSides) {
  joint->connectBodies(a, b, pose(0.2, 1, 0, 0), pose(0.1, 0, 0, 1));
  hangThroughJoint();
  joint->flushLogicalState();
  joint->disconnectBodies();
  EXPECT_FALSE(joint->isConnected());
  EXPECT_XFORM_NEAR(joint->getInnerOffset(), Xform::Identity);
  EXPECT_XFORM_NEAR(joint->getOuterOffset(), Xform::Identity);
  EXPECT_EQ(pending(*joint), (std::vector<int>{10, 11, 12, 13}));
  EXPECT_FALSE(b->hasInnerBody());
  EXPECT_FALSE(a->hasOuterBody(b));
  EXPECT_TRUE(a->testEvent(KVRBasicBody3D::OuterBodyLeft));
  joint->flushLogicalState();
  joint->disconnectBodies();  // already disconnected: no bit
  EXPECT_EQ(pending(*joint), std::vector<int>{});
}

TEST_F(Connections, RefusalsKeepTheConnectionAsItWas) {
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
  EXPECT_FALSE(joint->isConnected());
  EXPECT_EQ(fa->getSubscriberCount(), 0);

  joint->connectBodies(fa, fb);
  expectThrowWithText<KVREAlreadyRegistered>([&] { joint->connectBodies(a, base, Xform(), Xform()); },
                                             L"The specified connection entity is already in use");
  EXPECT_EQ(joint->getInnerFrame(), fa);
  EXPECT_EQ(joint->getOuterBody(), b);
}

TEST_F(Connections, ThroughFramesItFollowsAFrameThatMovesOnItsBody) {
  joint->connectBodies(fa, fb);
  EXPECT_XFORM_NEAR(joint->getInnerOffset(), X_AF);
  EXPECT_XFORM_NEAR(joint->getOuterOffset(), X_BG);
  hangThroughJoint();
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * X_AF * joint->variable * X_BG.inverse());

  const Xform X_BG2 = pose(0.1, 0, 0, 3);
  Xform moved = X_BG2;
  fb->setFrameLocation(moved);
  EXPECT_XFORM_NEAR(joint->getOuterOffset(), X_BG);  // only once the frame publishes
  joint->flushLogicalState();
  fb->flushSpatialState();
  EXPECT_XFORM_NEAR(joint->getOuterOffset(), X_BG2);
  EXPECT_TRUE(joint->testEvent(KVRBasicConnection3D::OuterOffsetSet));
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * X_AF * joint->variable * X_BG2.inverse());
}

TEST_F(Connections, AnEventWithoutTheFramesBitChangesNothing) {
  joint->connectBodies(fa, fb);
  joint->flushLogicalState();
  fa->setEntityName(L"Renamed");
  fa->flushLogicalState();
  EXPECT_EQ(pending(*joint), std::vector<int>{});
}

TEST_F(Connections, DisconnectingStopsFollowingTheFrames) {
  joint->connectBodies(fa, fb);
  EXPECT_EQ(fa->getSubscriberCount(), 1);
  joint->disconnectBodies();
  EXPECT_EQ(fa->getSubscriberCount(), 0);
  EXPECT_EQ(fb->getSubscriberCount(), 0);
  joint->connectBodies(fa, fb);
  joint.detach();  // destroying the connection also lets go of the frames
  EXPECT_EQ(fa->getSubscriberCount(), 0);
  joint = make<FixedJoint>(L"Joint");
}

TEST_F(Connections, DisconnectingLeavesABodyThatHangsElsewhereAlone) {
  joint->connectBodies(a, b, Xform(), Xform());  // recorded, but B is hung on the base instead
  base->attachBody(b);
  joint->disconnectBodies();
  EXPECT_EQ(b->getInnerBody(), base);
  EXPECT_TRUE(b->isAttached());
}

TEST_F(Connections, UpdateKinematicsPrefersTheProfile) {
  joint->connectBodies(a, b, Xform(), Xform());
  hangThroughJoint();
  KVRBasicProfile3D<double> profile;
  joint->setRelativeProfile(profile);  // bits 13 and 14 pending now
  ReportRecorder recorder;
  joint->updateKinematics();
  EXPECT_EQ(recorder.texts(), std::vector<std::wstring>{L"Operation not supported"});  // the profile path
  EXPECT_TRUE(b->testEvent(KVRBasicEntity3D::ProfileSet));
  EXPECT_FALSE(b->testEvent(KVRBasicEntity3D::LocationSet));
}

TEST(ConnectionAlgebra, TheOuterOffsetSolvesForAWantedRelativeLocation) {
  const Xform R = pose(0.3, 1, 2, 3), I = pose(-0.5, 0, 1, 0), V = pose(1.1, 2, 0, 0);
  const Xform O = KVRBasicConnection3D::calcOuterOffset(R, I, V);
  EXPECT_XFORM_NEAR(KVRBasicConnection3D::calcRelativeLocation(I, V, O), R);
  EXPECT_XFORM_NEAR(O, R.inverse() * I * V);
}

// The scene of the attachment tests: as above, with an attachment instead of the joint.
class Attachments : public Connections {
 protected:
  void TearDown() override {
    attachment->orphanObject();
    Connections::TearDown();
  }
  KVRSharedHandle<KVRBasicAttachment3D> attachment = make<KVRBasicAttachment3D>(L"Link");
};

TEST_F(Attachments, ANewAttachmentHasAnIdentityVariableLocation) {
  EXPECT_XFORM_NEAR(attachment->getVariableLocation(), Xform::Identity);
  Xform r = pose(0.2, 1, 1, 1);
  EXPECT_EQ(attachment->setRelativeLocation(r), 2);  // whether connected or not
  EXPECT_XFORM_NEAR(r, pose(0.2, 1, 1, 1));
  EXPECT_EQ(attachment->getEntityTypeName().scribe(KVRLocale::global()), L"Attachment");
}

TEST_F(Attachments, KeepsItsRelativeLocationWhateverTheOffsets) {
  const Xform L = pose(0.8, 0, 1, 2);
  attachment->connectBodies(a, b, L, Xform::Identity);
  Xform relative = L;
  attachment->setRelativeLocation(relative);
  EXPECT_XFORM_NEAR(attachment->getVariableLocation(), Xform::Identity);
  b->setInnerBody(a, attachment);
  attachment->propagateLocation();
  EXPECT_XFORM_NEAR(b->getBaseLocation(), X_WA * L);

  attachment->setInnerOffset(pose(1.0, 5, 5, 5));
  attachment->setOuterOffset(pose(-2.0, 1, 0, 0));
  attachment->updateRelativeLocation();
  EXPECT_XFORM_NEAR(attachment->getRelativeLocation(), L);
}

TEST_F(Attachments, MovingTheFramesOfAFrameConnectedAttachmentKeepsTheOuterBodyInPlace) {
  attachment->connectBodies(fa, fb);
  const Xform R = X_AF * X_BG.inverse();
  Xform relative = R;
  attachment->setRelativeLocation(relative);
  b->setInnerBody(a, attachment);
  attachment->propagateLocation();
  b->flushSpatialState();
  const Xform before = b->getBaseLocation();
  Xform movedA = pose(0.5, 1, 0, 0), movedB = pose(-0.5, 0, 1, 0);
  fa->setFrameLocation(movedA);
  fb->setFrameLocation(movedB);
  fa->flushSpatialState();
  fb->flushSpatialState();
  EXPECT_XFORM_NEAR(attachment->getInnerOffset(), movedA);
  EXPECT_XFORM_NEAR(attachment->getRelativeLocation(), R);
  EXPECT_XFORM_NEAR(b->getBaseLocation(), before);
}

}  // namespace
