#pragma once

// KVRMfgAssemblyTagPointExt: an extension of a tag point that gives it two
// reference frames travelling with it, such as the pose of the fixture that
// carries a point at the start and at the end of the leg ending there. The
// frames are given once, in world terms or relative to some entity; the
// extension keeps them relative to the tag point (X_TF) and, whenever the tag
// point publishes a change of its base location (bit 11), recomputes where
// they stand in the world: X_WF = X_WT · X_TF.
//
// It is attached with the tag point's addExtension, which subscribes it
// (priority -1); removing or orphaning it unsubscribes it. Attached to
// anything but a tag point it is refused (KVREInvalidCast). Before it is
// attached its operations do nothing and its frames are the identity. It
// sets no event bit.

#include <bitset>
#include <iosfwd>

#include "KVRBasicXform3D.h"
#include "KVRExtendibleObject.h"
#include "KVRWorldModelExport.h"

class KVRBasicEntity3D;
class KVRBasicTagPoint3D;

class KVRWORLDMODEL_API KVRMfgAssemblyTagPointExt : public KVRExtensionObject {
 public:
  using Xform = KVRBasicXform3D<double>;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRMfgAssemblyTagPointExt();
  // Copies the frames; the copy is attached to nothing.
  KVRMfgAssemblyTagPointExt(const KVRMfgAssemblyTagPointExt& source, CopyMode mode = CopyAlone);
  ~KVRMfgAssemblyTagPointExt() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;

  // The tag point extended; empty while the extension is not attached.
  KVRSharedHandle<KVRBasicTagPoint3D> getTagPoint() const;

  // --- Reference frames ------------------------------------------------------

  // 1 once a pair of frames has been set, else 0.
  int hasReferenceFrame() const { return hasReferenceFrame_; }
  // The frames in world terms (X_WF1, X_WF2); both replaced.
  void setReferenceFrame(const Xform& X_WF1, const Xform& X_WF2);
  // The frames relative to `reference` (X_EF1, X_EF2). An empty reference is
  // refused (KVREInvalidArgument).
  void setReferenceFrame(const Xform& X_EF1, const Xform& X_EF2,
                         const KVRSharedHandle<KVRBasicEntity3D>& reference);
  // The frames in world terms, as last updated; the identity before any were set.
  void getReferenceFrame(Xform& X_WF1, Xform& X_WF2) const;
  // The frames relative to `reference`; an empty reference is refused (KVREInvalidArgument).
  void getReferenceFrame(Xform& X_EF1, Xform& X_EF2,
                         const KVRSharedHandle<KVRBasicEntity3D>& reference) const;

  // Eight lines: the tag point, its base location, the flag and both frames
  // in world terms and relative to the tag point.
  void dump(std::ostream& os) const;

  // --- Hooks -----------------------------------------------------------------

  // With bit 11 in the mask, recomputes the frames from the sender's base location.
  void onEvent(const KVRSharedConstPointer<KVRBasicTagPoint3D>& point, const std::bitset<64>& mask);
  // Subscribes to the tag point; KVREInvalidCast when the extended object is not one.
  void bindMembers() override;
  // Unsubscribes from the extended object, if any.
  void orphanMembers() override;

 private:
  // The tag point's base location when attached, the identity otherwise.
  Xform tagPointLocation() const;
  // Stores both frames in world terms and recomputes them relative to the tag point.
  void storeFrames(const Xform& X_WF1, const Xform& X_WF2);

  int hasReferenceFrame_ = 0;
  Xform X_WF1_;  // first frame, base
  Xform X_TF1_;  // first frame, from the tag point
  Xform X_WF2_;  // second frame, base
  Xform X_TF2_;  // second frame, from the tag point
};
