// The assembly tag-point extension: two reference frames that follow their tag point.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Extension = KVRSharedHandle<KVRMfgAssemblyTagPointExt>;

// World W: a floor R; a fixture body B on R at X_RB with a tag point T on it
// at X_BT; a reference body E on R at X_RE. The extension X is attached to T.
class TagPointExtension : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& b : {floor, fixture, reference}) w->addEntity(b);
    floor->attachBody(fixture, X_RB);
    floor->attachBody(reference, X_RE);
    fixture->addTagPoint(point);
    point->setTagPointLocation(X_BT);
    w->flushLogicalState();
    flushSpatial(floor, fixture, point);
    point->addExtension(extension);
  }
  void TearDown() override { w->orphanObject(); }
  // X's reference frames are `a` and `c` (relative to `in` when given).
  static void expectFrames(const Extension& x, const Xform& a, const Xform& c,
                           const KVRSharedHandle<KVRBasicEntity3D>* in = nullptr) {
    Xform first, second;
    in ? x->getReferenceFrame(first, second, *in) : x->getReferenceFrame(first, second);
    EXPECT_XFORM_NEAR(first, a);
    EXPECT_XFORM_NEAR(second, c);
  }
  const Xform X_RB = pose(0.4, 1, 0, 0), X_BT = pose(-0.7, 0, 2, 0.5), X_RE = pose(1.3, 2, 2, 0);
  const Xform A = pose(0.2, 5, 0, 1), C = pose(-1.5, 0, 5, 2, KVRBasicVector3D<double>(0, 1, 1));
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  KVRSharedHandle<KVRBasicBody3D> floor = make<KVRBasicBody3D>(L"Floor"),
                                  fixture = make<KVRBasicBody3D>(L"Fixture"),
                                  reference = make<KVRBasicBody3D>(L"Reference");
  KVRSharedHandle<KVRBasicTagPoint3D> point = make<KVRBasicTagPoint3D>(L"T");
  Extension extension{new KVRMfgAssemblyTagPointExt};
};

TEST_F(TagPointExtension, TheFramesFollowTheTagPointAreDumpedReadRelativeToAnEntityAndLiveWithTheirTagPoint) {
  EXPECT_EQ(extension->hasReferenceFrame(), 0);
  extension->setReferenceFrame(A, C);
  EXPECT_EQ(extension->hasReferenceFrame(), 1);
  expectFrames(extension, A, C);
  const Xform X_WT = X_RB * X_BT, X_RB2 = pose(2.1, 4, -3, 1), moved = X_RB2 * X_BT * X_WT.inverse();
  std::ostringstream text, expected;
  extension->dump(text);
  expected << std::string(61, '-') << "\n/W/Fixture/T ( KVRBasicTagPoint3D ) \n"
           << "Tag Point Base Location: " << streamed(X_WT, 3) << "\nhas reference frame = 1\n"
           << "Reference frame base location: " << streamed(A, 3) << '\n'
           << "Tag Point to Reference Frame Xform: " << streamed(X_WT.inverse() * A, 3) << '\n'
           << "Reference frame base location: " << streamed(C, 3) << '\n'
           << "Tag Point to Reference Frame Xform: " << streamed(X_WT.inverse() * C, 3) << '\n';
  EXPECT_EQ(text.str(), expected.str());
  place(fixture, X_RB2);
  fixture->flushSpatialState();  // the tag point follows and publishes bit 11
  expectFrames(extension, moved * A, moved * C);
  // A mask without bit 11 changes nothing, even when the tag point stands elsewhere.
  point->setCachedBaseLocation(X_RB);
  extension->onEvent(KVRSharedConstPointer<KVRBasicTagPoint3D>(point.get()), std::bitset<64>().set(16));
  expectFrames(extension, moved * A, moved * C);
  // Frames given relative to an entity read back relative to it.
  const Xform a = pose(0.9, 0, 1, 0), c = pose(-0.3, 1, 0, 0);
  const KVRSharedHandle<KVRBasicEntity3D> in = reference, none;
  extension->setReferenceFrame(a, c, reference);
  expectFrames(extension, a, c, &in);
  expectFrames(extension, X_RE * a, X_RE * c);
  expectThrowWithText<KVREInvalidArgument>(
      [&] { extension->setReferenceFrame(a, c, none); },
      L"An empty handle was given as the reference entity of reference frames");
  EXPECT_THROW(expectFrames(extension, a, c, &none), KVREInvalidArgument);
  // Before it is attached an extension does nothing and reports the identity.
  const Extension other(new KVRMfgAssemblyTagPointExt);
  other->setReferenceFrame(A, C);
  other->setReferenceFrame(A, C, reference);
  EXPECT_EQ(other->hasReferenceFrame(), 0);
  expectFrames(other, Xform::Identity, Xform::Identity);
  std::ostringstream unattached;
  other->dump(unattached);
  EXPECT_NE(unattached.str().find("(no tag point)\nTag Point Base Location: "), std::string::npos);
  // Only a tag point takes it.
  expectThrowWithText<KVREInvalidCast>([&] { fixture->addExtension(other); },
                                       L"The source and target handles have incompatible referent types");
  EXPECT_TRUE(fixture->getExtensionCount() == 0 && other->getTagPoint().isNull());
  const int subscribers = point->getSubscriberCount();
  EXPECT_TRUE(point->removeExtension(KVRMfgAssemblyTagPointExt::ClassID_));
  EXPECT_EQ(point->getSubscriberCount(), subscribers - 1);
  EXPECT_TRUE(extension->isOrphaned());
  // A copy carries the frames and is attached to whatever it is copied for.
  const auto second = make<KVRBasicTagPoint3D>(L"T2");
  fixture->addTagPoint(second);
  second->addExtension(other);
  other->setReferenceFrame(A, C);
  const KVRSharedHandle<KVRExtensionObject> copy(other->duplicateObject(KVRDynamicObject::CopyAlone, point));
  EXPECT_EQ(point->getExtension(KVRMfgAssemblyTagPointExt::ClassID_), copy);
  EXPECT_EQ(KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(copy)->hasReferenceFrame(), 1);
  // Destroying the tag point releases its extension (LeakSanitizer and
  // AddressSanitizer check that neither outlives the other's subscription).
  fixture->destroyPoint(second);
  EXPECT_TRUE(other->isOrphaned() && other->getTagPoint().isNull());
  point = make<KVRBasicTagPoint3D>(L"Short-lived");
  point->addExtension(Extension(new KVRMfgAssemblyTagPointExt));
  point = nullptr;  // the last handle: the tag point goes, and its extension with it
}

}  // namespace
