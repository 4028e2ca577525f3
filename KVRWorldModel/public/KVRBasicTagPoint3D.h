#pragma once

// KVRBasicTagPoint3D: a target location a moving thing is sent to (a point
// of a robot or shuttle path, a pick or place position). It stores its
// location relative to its spatial parent (the body or path holding it) and
// timing data to reach it: a duration or a velocity, as the timing mode says.
// Its relative location can be locked against ordinary location requests.
//
// Event bit: 16 the relative location was set.

#include <vector>

#include "KVRBasicEntity3D.h"
#include "KVRSimTime.h"

class KVRBasicBody3D;
class KVRBasicPath3D;

class KVRWORLDMODEL_API KVRBasicTagPoint3D : public KVRBasicEntity3D {
 public:
  /// The relative location was set.
  static constexpr int RelativeLocationChanged = 16;
  /// Timing modes.
  static constexpr int DurationTiming = 0;
  static constexpr int VelocityTiming = 1;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicTagPoint3D();
  // Copies location, timing data and lock with the 3-D part.
  KVRBasicTagPoint3D(const KVRBasicTagPoint3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicTagPoint3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // The body the point is on (its spatial parent); empty when on none;
  // KVREInvalidCast when the spatial parent is not a body (a path, say).
  KVRSharedHandle<KVRBasicBody3D> getAttachedBody() const;

  using KVRBasicEntity3D::setRelativeLocation;
  using KVRBasicEntity3D::setRelativeProfile;
  // Refused (0) while locked; otherwise records it and sets bit 16 (status 2).
  int setRelativeLocation(Xform& location) override;
  Xform getRelativeLocation() const override;
  // Records the profile's location whatever the lock, clears the caller's
  // velocities and accelerations, sets bit 16; status 2.
  int setRelativeProfile(Profile& profile) override;
  Profile getRelativeProfile() const override;

  Xform getPointLocation() const;
  // setRelativeLocation, then, when applied, the cached base location is
  // recomputed at once.
  int setTagPointLocation(Xform& location);
  int setTagPointLocation(const Xform& location);

  void lockRelativeLocation() { locked_ = 1; }
  void unlockRelativeLocation() { locked_ = 0; }
  bool isRelativeLocationLocked() const { return locked_ != 0; }

  // Stores the duration and switches to duration timing.
  void setDuration(const KVRSimTime& duration);
  // Stores the velocity and switches to velocity timing.
  void setVelocity(double velocity);
  int getTimingMode() const { return timingMode_; }
  KVRSimTime getDuration() const { return duration_; }
  double getVelocity() const { return velocity_; }

  void orphanObject() override;

 protected:
  // Leaves every route that lists it.
  void orphanMembers();
  const Xform* storedRelativeLocation() const override;

 private:
  friend class KVRBasicEntity3D;  // composes with the stored relative location in place
  friend class KVRBasicPath3D;    // keeps `routes_`

  Xform relativeLocation_;
  int timingMode_ = DurationTiming;
  KVRSimTime duration_{5.0};
  double velocity_ = 1.0;
  int locked_ = 0;
  // The paths whose routes list this point, once per entry.
  std::vector<KVRBasicPath3D*> routes_;
};
