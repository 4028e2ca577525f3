#include "KVRBasicFrame3D.h"

#include <typeinfo>

#include "KVRBasicBody3D.h"

constinit const KVRClassInfo KVRBasicFrame3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicFrame3D>("KVRBasicFrame3D", KVRBasicEntity3D::ClassInfo_);
constinit const KVRUUID KVRBasicFrame3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e05");

KVRBasicFrame3D::KVRBasicFrame3D() = default;

KVRBasicFrame3D::KVRBasicFrame3D(const KVRBasicFrame3D& source, CopyMode mode)
    : KVRBasicEntity3D(source, mode), relativeLocation_(source.relativeLocation_) {}

KVRBasicFrame3D::~KVRBasicFrame3D() { KVRBasicFrame3D::orphanObject(); }

const KVRClassInfo& KVRBasicFrame3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicFrame3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicFrame3D::getEntityTypeName() const { return KVRMessage(L"Frame"); }

KVRSharedHandle<KVRBasicBody3D> KVRBasicFrame3D::getAttachedBody() const {
  return KVRSharedHandle<KVRBasicBody3D>::downcast(getSpatialParent());
}

int KVRBasicFrame3D::setRelativeLocation(Xform& location) {
  requireFinite(location.isFinite(), L"relative location");
  relativeLocation_ = location;
  setEvent(RelativeLocationChanged);
  return 2;
}

KVRBasicFrame3D::Xform KVRBasicFrame3D::getRelativeLocation() const { return relativeLocation_; }

const KVRBasicFrame3D::Xform* KVRBasicFrame3D::storedRelativeLocation() const {
  // Only for this exact class: a derived one may answer getRelativeLocation()
  // differently, whether or not it has a class descriptor of its own.
  return typeid(*this) == typeid(KVRBasicFrame3D) ? &relativeLocation_ : nullptr;
}

int KVRBasicFrame3D::setRelativeProfile(Profile& profile) {
  requireFinite(profile.isFinite(), L"relative profile");
  takeProfileLocation(relativeLocation_, profile);
  setEvent(RelativeLocationChanged);
  return 1;
}

KVRBasicFrame3D::Profile KVRBasicFrame3D::getRelativeProfile() const { return profileAt(relativeLocation_); }

KVRBasicFrame3D::Xform KVRBasicFrame3D::getFrameLocation() const { return getRelativeLocation(); }

int KVRBasicFrame3D::setFrameLocation(Xform& location) { return setRelativeLocationAndUpdate(location); }

int KVRBasicFrame3D::setFrameLocation(const Xform& location) {
  Xform requested = location;
  return setFrameLocation(requested);
}

void KVRBasicFrame3D::orphanObject() {
  if (isOrphaned()) return;
  KVRBasicEntity3D::orphanObject();
}
