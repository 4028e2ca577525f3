#include "KVRBasicTagPoint3D.h"

#include <cmath>
#include <typeinfo>

#include "KVRBasicBody3D.h"
#include "KVRBasicPath3D.h"

constinit const KVRClassInfo KVRBasicTagPoint3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicTagPoint3D>("KVRBasicTagPoint3D", KVRBasicEntity3D::ClassInfo_);
constinit const KVRUUID KVRBasicTagPoint3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e06");

KVRBasicTagPoint3D::KVRBasicTagPoint3D() = default;

KVRBasicTagPoint3D::KVRBasicTagPoint3D(const KVRBasicTagPoint3D& source, CopyMode mode)
    : KVRBasicEntity3D(source, mode),
      relativeLocation_(source.relativeLocation_),
      timingMode_(source.timingMode_),
      duration_(source.duration_),
      velocity_(source.velocity_),
      locked_(source.locked_) {}

KVRBasicTagPoint3D::~KVRBasicTagPoint3D() { KVRBasicTagPoint3D::orphanObject(); }

const KVRClassInfo& KVRBasicTagPoint3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicTagPoint3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicTagPoint3D::getEntityTypeName() const { return KVRMessage(L"Tag Point"); }

KVRSharedHandle<KVRBasicBody3D> KVRBasicTagPoint3D::getAttachedBody() const {
  return KVRSharedHandle<KVRBasicBody3D>::downcast(getSpatialParent());
}

int KVRBasicTagPoint3D::setRelativeLocation(Xform& location) {
  requireFinite(location.isFinite(), L"relative location");
  if (locked_) return 0;
  relativeLocation_ = location;
  setEvent(RelativeLocationChanged);
  return 2;
}

KVRBasicTagPoint3D::Xform KVRBasicTagPoint3D::getRelativeLocation() const { return relativeLocation_; }

const KVRBasicTagPoint3D::Xform* KVRBasicTagPoint3D::storedRelativeLocation() const {
  // Only for this exact class: a derived one may answer getRelativeLocation()
  // differently, whether or not it has a class descriptor of its own.
  return typeid(*this) == typeid(KVRBasicTagPoint3D) ? &relativeLocation_ : nullptr;
}

int KVRBasicTagPoint3D::setRelativeProfile(Profile& profile) {
  requireFinite(profile.isFinite(), L"relative profile");
  takeProfileLocation(relativeLocation_, profile);
  setEvent(RelativeLocationChanged);
  return 2;
}

KVRBasicTagPoint3D::Profile KVRBasicTagPoint3D::getRelativeProfile() const {
  return profileAt(relativeLocation_);
}

KVRBasicTagPoint3D::Xform KVRBasicTagPoint3D::getPointLocation() const { return getRelativeLocation(); }

int KVRBasicTagPoint3D::setTagPointLocation(Xform& location) {
  return setRelativeLocationAndUpdate(location);
}

int KVRBasicTagPoint3D::setTagPointLocation(const Xform& location) {
  Xform requested = location;
  return setTagPointLocation(requested);
}

void KVRBasicTagPoint3D::setDuration(const KVRSimTime& duration) {
  duration_ = duration;
  timingMode_ = DurationTiming;
}

void KVRBasicTagPoint3D::setVelocity(double velocity) {
  requireFinite(std::isfinite(velocity), L"velocity");
  velocity_ = velocity;
  timingMode_ = VelocityTiming;
}

void KVRBasicTagPoint3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicEntity3D::orphanObject();
}

void KVRBasicTagPoint3D::orphanMembers() {
  // Each removal takes one entry, and this path out of `routes_` once.
  const KVRSharedHandle<KVRBasicTagPoint3D> self(this);
  while (!routes_.empty()) KVRSharedHandle<KVRBasicPath3D>(routes_.back())->removeTagPoint(self);
}
