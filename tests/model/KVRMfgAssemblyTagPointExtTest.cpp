// The assembly tag-point extension: two reference frames that follow their
// tag point, given in world terms or relative to an entity.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Extension = KVRSharedHandle<KVRMfgAssemblyTagPointExt>;

// The scene, in world W: a floor R; a fixture body B hanging on R at X_RB,
// with a tag point T on it at X_BT; a reference body E hanging on R at X_RE.
// The extension X is attached to T.
class TagPointExtension : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& b : {floor, fixture, reference}) w->addEntity(b);
    floor->attachBody(fixture, X_RB);
    floor->attachBody(reference, X_RE);
    fixture->addTagPoint(point);
    Xform offset = X_BT;
    point->setTagPointLocation(offset);
    w->flushLogicalState();
    flushSpatial(floor, fixture, point);
    point->addExtension(extension);
  }
  void TearDown() override { w->orphanObject(); }

  const Xform X_RB = pose(0.4, 1, 0, 0), X_BT = pose(-0.7, 0, 2, 0.5), X_RE = pose(1.3, 2, 2, 0);
  const Xform A = pose(0.2, 5, 0, 1), C = pose(-1.5, 0, 5, 2, KVRBasicVector3D<double>(0, 1, 1));
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  KVRSharedHandle<KVRBasicBody3D> floor = make<KVRBasicBody3D>(L"Floor"),
                                  fixture = make<KVRBasicBody3D>(L"Fixture"),
                                  reference = make<KVRBasicBody3D>(L"Reference");
  KVRSharedHandle<KVRBasicTagPoint3D> point = make<KVRBasicTagPoint3D>(L"T");
  Extension extension{new KVRMfgAssemblyTagPointExt};
};

TEST_F(TagPointExtension, TheFramesFollowTheTagPointWhenItPublishesItsMove) {
  EXPECT_EQ(extension->hasReferenceFrame(), 0);
  EXPECT_EQ(point->getExtension(KVRMfgAssemblyTagPointExt::ClassID_), extension);
  extension->setReferenceFrame(A, C);
  EXPECT_EQ(extension->hasReferenceFrame(), 1);
  Xform first, second;
  extension->getReferenceFrame(first, second);
  EXPECT_XFORM_NEAR(first, A);
  EXPECT_XFORM_NEAR(second, C);

  const Xform X_WT = point->getBaseLocation(), X_RB2 = pose(2.1, 4, -3, 1);
  place(fixture, X_RB2);
  fixture->flushSpatialState();  // the tag point follows and publishes bit 11
  const Xform X_WT2 = point->getBaseLocation();
  EXPECT_XFORM_NEAR(X_WT2, X_RB2 * X_BT);
  extension->getReferenceFrame(first, second);
  EXPECT_XFORM_NEAR(first, X_WT2 * X_WT.inverse() * A);
  EXPECT_XFORM_NEAR(second, X_WT2 * X_WT.inverse() * C);

  // A mask without bit 11 changes nothing.
  extension->onEvent(KVRSharedConstPointer<KVRBasicTagPoint3D>(point.get()), std::bitset<64>().set(16));
  Xform again, unused;
  extension->getReferenceFrame(again, unused);
  EXPECT_XFORM_NEAR(again, first);
}

TEST_F(TagPointExtension, FramesGivenRelativeToAnEntityReadBackRelativeToIt) {
  const Xform a = pose(0.9, 0, 1, 0), c = pose(-0.3, 1, 0, 0);
  extension->setReferenceFrame(a, c, reference);
  Xform first, second;
  extension->getReferenceFrame(first, second, reference);
  EXPECT_XFORM_NEAR(first, a);
  EXPECT_XFORM_NEAR(second, c);
  extension->getReferenceFrame(first, second);
  EXPECT_XFORM_NEAR(first, X_RE * a);

  expectThrowWithText<KVREInvalidArgument>(
      [&] { extension->setReferenceFrame(a, c, KVRSharedHandle<KVRBasicEntity3D>()); },
      L"An empty handle was given as the reference entity of reference frames");
  EXPECT_THROW(extension->getReferenceFrame(first, second, KVRSharedHandle<KVRBasicEntity3D>()),
               KVREInvalidArgument);
}

TEST_F(TagPointExtension, BeforeItIsAttachedItDoesNothingAndReportsTheIdentity) {
  const Extension loose(new KVRMfgAssemblyTagPointExt);
  loose->setReferenceFrame(A, C);
  loose->setReferenceFrame(A, C, reference);
  EXPECT_EQ(loose->hasReferenceFrame(), 0);
  Xform first = A, second = C;
  loose->getReferenceFrame(first, second);
  EXPECT_XFORM_NEAR(first, Xform::Identity);
  EXPECT_XFORM_NEAR(second, Xform::Identity);
  std::ostringstream text;
  loose->dump(text);
  EXPECT_NE(text.str().find("(no tag point)\nTag Point Base Location: "), std::string::npos);
  loose->orphanObject();
}

TEST_F(TagPointExtension, OnlyATagPointTakesItAndRemovingItUnsubscribesIt) {
  const Extension other(new KVRMfgAssemblyTagPointExt);
  expectThrowWithText<KVREInvalidCast>([&] { fixture->addExtension(other); },
                                       L"The source and target handles have incompatible referent types");
  EXPECT_EQ(fixture->getExtensionCount(), 0);
  EXPECT_TRUE(other->getTagPoint().isNull());

  const int subscribers = point->getSubscriberCount();
  EXPECT_TRUE(point->removeExtension(KVRMfgAssemblyTagPointExt::ClassID_));
  EXPECT_EQ(point->getSubscriberCount(), subscribers - 1);
  EXPECT_TRUE(extension->isOrphaned());

  // A copy carries the frames and is attached to whatever it is copied for.
  other->setReferenceFrame(A, C);  // not attached: nothing
  const auto second = make<KVRBasicTagPoint3D>(L"T2");
  fixture->addTagPoint(second);
  second->addExtension(other);
  other->setReferenceFrame(A, C);
  const KVRSharedHandle<KVRExtensionObject> copy(other->duplicateObject(KVRDynamicObject::CopyAlone, point));
  EXPECT_EQ(point->getExtension(KVRMfgAssemblyTagPointExt::ClassID_), copy);
  EXPECT_EQ(KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(copy)->hasReferenceFrame(), 1);
}

TEST_F(TagPointExtension, TheDumpWritesEightLines) {
  extension->setReferenceFrame(A, C);
  std::ostringstream text;
  extension->dump(text);
  const Xform X_WT = point->getBaseLocation();
  std::ostringstream expected;
  expected << std::string(61, '-') << '\n'
           << "/W/Fixture/T ( KVRBasicTagPoint3D ) \n"
           << "Tag Point Base Location: " << streamed(X_WT, 3) << '\n'
           << "has reference frame = 1\n"
           << "Reference frame base location: " << streamed(A, 3) << '\n'
           << "Tag Point to Reference Frame Xform: " << streamed(X_WT.inverse() * A, 3) << '\n'
           << "Reference frame base location: " << streamed(C, 3) << '\n'
           << "Tag Point to Reference Frame Xform: " << streamed(X_WT.inverse() * C, 3) << '\n';
  EXPECT_EQ(text.str(), expected.str());
}

TEST_F(TagPointExtension, DestroyingTheTagPointReleasesTheExtension) {
  // LeakSanitizer and AddressSanitizer check that neither outlives the other's subscription.
  extension->setReferenceFrame(A, C);
  fixture->destroyPoint(point);
  EXPECT_TRUE(extension->isOrphaned());
  EXPECT_TRUE(extension->getTagPoint().isNull());
  point = make<KVRBasicTagPoint3D>(L"Short-lived");
  point->addExtension(Extension(new KVRMfgAssemblyTagPointExt));
  point = nullptr;  // the last handle: the tag point goes, and its extension with it
}

}  // namespace
