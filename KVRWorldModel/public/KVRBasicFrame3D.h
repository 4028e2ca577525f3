#pragma once

// KVRBasicFrame3D: a named coordinate system fixed to a body (a tool point,
// a mounting face, a gripping point). Its own data is its location relative
// to its spatial parent, the body that owns it. Connections meet bodies
// through frames and follow them when they move on their bodies.
//
// Event bit: 16 the relative location was set.

#include "KVRBasicEntity3D.h"

class KVRBasicBody3D;

class KVRWORLDMODEL_API KVRBasicFrame3D : public KVRBasicEntity3D {
 public:
  /// The relative location (the offset on the body) was set.
  static constexpr int RelativeLocationChanged = 16;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicFrame3D();
  // Copies the relative location with the 3-D part.
  KVRBasicFrame3D(const KVRBasicFrame3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicFrame3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // The body the frame is on (its spatial parent); empty when on none;
  // KVREInvalidCast when the spatial parent is not a body.
  KVRSharedHandle<KVRBasicBody3D> getAttachedBody() const;

  using KVRBasicEntity3D::setRelativeLocation;
  using KVRBasicEntity3D::setRelativeProfile;
  // Records the offset and sets bit 16 (status 2); the cached base location
  // stays until it is next recomputed.
  int setRelativeLocation(Xform& location) override;
  Xform getRelativeLocation() const override;
  // Records the profile's location, clears the caller's velocities and
  // accelerations, sets bit 16; status 1.
  int setRelativeProfile(Profile& profile) override;
  Profile getRelativeProfile() const override;

  Xform getFrameLocation() const;
  // setRelativeLocation, then, when applied, the cached base location is
  // recomputed at once from the parent location as last delivered.
  int setFrameLocation(Xform& location);
  int setFrameLocation(const Xform& location);

  void orphanObject() override;

 protected:
  const Xform* storedRelativeLocation() const override;

 private:
  friend class KVRBasicEntity3D;  // composes with the stored relative location in place

  Xform relativeLocation_;
};
