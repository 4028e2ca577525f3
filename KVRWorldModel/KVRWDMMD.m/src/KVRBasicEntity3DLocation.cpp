// Where a 3-D entity is: its base and relative locations and profiles, and
// the requests that change them.

#include <cmath>
#include <vector>

#include "KVRAssertion.h"
#include "KVRBasicEntity3DParts.h"
#include "KVRException.h"

using namespace KVREntity3DParts;

namespace {

void reportInvalidRequestStatus() { KVRReportAssertion("Software", L"Invalid request status"); }

void reportProfileComposition() { KVRReportAssertion("Software", L"Operation not supported"); }

}  // namespace

// --- Locations -------------------------------------------------------------

KVRBasicEntity3D::Xform KVRBasicEntity3D::calcBaseLocation(const Xform& parent, const Xform& relative) {
  return parent * relative;
}

KVRBasicEntity3D::Xform KVRBasicEntity3D::calcRelativeLocation(const Xform& reference,
                                                               const Xform& location) {
  return reference.inverse() * location;
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::calcBaseProfile(const Profile& parent, const Profile&) {
  reportProfileComposition();
  return parent;
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::calcRelativeProfile(const Profile& reference, const Profile&) {
  reportProfileComposition();
  return reference;
}

KVRBasicEntity3D::Xform KVRBasicEntity3D::getEntityLocation(
    const KVRSharedHandle<KVRBasicEntity3D>& reference) const {
  if (!reference) return Xform::Identity;
  if (reference == spatialParent_) return parentLocation();
  KVRSharedHandle<KVRBasicEntity3D> held(reference, KVRSharedBase::ReadLock);
  return held->getBaseLocation();
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::getEntityProfile(
    const KVRSharedHandle<KVRBasicEntity3D>& reference) const {
  if (!reference) return Profile::Identity;
  if (reference == spatialParent_) return getCachedParentProfile();
  KVRSharedHandle<KVRBasicEntity3D> held(reference, KVRSharedBase::ReadLock);
  return held->getBaseProfile();
}

KVRBasicEntity3D::Xform KVRBasicEntity3D::getBaseLocation(
    const KVRSharedHandle<KVRBasicEntity3D>& reference) const {
  return calcRelativeLocation(getEntityLocation(reference), getBaseLocation());
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::getBaseProfile(
    const KVRSharedHandle<KVRBasicEntity3D>& reference) const {
  return calcRelativeProfile(getEntityProfile(reference), getBaseProfile());
}

namespace {

// The levels composed from one walk up; deeper chains are composed in pieces.
constexpr int ComposedPerWalk = 32;

}  // namespace

KVRBasicEntity3D::Xform KVRBasicEntity3D::computeBaseLocation() const {
  // Count the levels first: the parent links are followed with Brent's cycle
  // check, so that links closed into a ring are refused instead of followed for ever.
  int depth = 0;
  const KVRBasicEntity3D* checkpoint = this;
  int steps = 0, power = 1;
  for (const KVRBasicEntity3D* e = spatialParent_.get(); e; e = e->spatialParent_.get()) {
    if (e == checkpoint)
      throw KVREInvalidRelation(L"The spatial parent links above %1 form a cycle")
          << getEntityTitle(FullName, ExternalNameSeparator);
    if (++steps == power) {
      checkpoint = e;
      power *= 2;
      steps = 0;
    }
    ++depth;
  }
  return composeFromRoot(*this, depth);
}

KVRBasicEntity3D::Xform KVRBasicEntity3D::composeFromRoot(const KVRBasicEntity3D& entity, int depth) {
  // entity and up to ComposedPerWalk - 1 of its ancestors, nearest first;
  // a deeper chain is gathered whole on the heap.
  const KVRBasicEntity3D* near[ComposedPerWalk];
  int n = 0;
  const KVRBasicEntity3D* above = &entity;
  while (n < ComposedPerWalk && above) {
    near[n++] = above;
    above = above->spatialParent_.get();
  }
  std::vector<const KVRBasicEntity3D*> all;
  const KVRBasicEntity3D* const* chain = near;
  if (above) {
    all.assign(near, near + n);
    for (; above; above = above->spatialParent_.get()) all.push_back(above);
    chain = all.data();
    n = static_cast<int>(all.size());
  }
  // From the root's location down, composed the way a flush does.
  Xform X_WP = chain[n - 1]->baseLocation_;
  for (int k = n - 2; k >= 0; --k) {
    const KVRBasicEntity3D& e = *chain[k];
    if (const Xform* X_PE = e.relativeInPlace())
      X_WP = X_WP * *X_PE;
    else
      X_WP = X_WP * e.getRelativeLocation();
    const int level = depth - k;
    if (level % NormalizationDepth == 0) X_WP.normalize();
  }
  return X_WP;
}

KVRBasicEntity3D::Xform KVRBasicEntity3D::computeLocationRelativeTo(
    const KVRSharedHandle<KVRBasicEntity3D>& reference) const {
  if (!reference) return computeBaseLocation();
  return calcRelativeLocation(reference->computeBaseLocation(), computeBaseLocation());
}

template <class Apply>
int KVRBasicEntity3D::applyStatus(int status, Apply apply) {
  switch (status) {
    case 0:
      break;
    case 1:
    case 2:
      apply(status);
      break;
    default:
      reportInvalidRequestStatus();
  }
  return status;
}

int KVRBasicEntity3D::setBaseLocation(Xform& location) {
  requireFinite(location.isFinite(), L"base location");
  const Xform parent = getEntityLocation(spatialParent_);
  Xform relative = calcRelativeLocation(parent, location);
  return applyStatus(setRelativeLocation(relative), [&](int status) {
    if (status == 1) location = calcBaseLocation(parent, relative);
    setEvent(LocationSet);
    storeBaseLocation(location);
  });
}

int KVRBasicEntity3D::setBaseLocation(const Xform& location) {
  Xform requested = location;
  return setBaseLocation(requested);
}

int KVRBasicEntity3D::setBaseProfile(Profile& profile) {
  requireFinite(profile.isFinite(), L"base profile");
  // The relative profile would have to be composed from the parent profile
  // and the requested one, which is not supported: applying a stand-in would
  // leave the cache and the concrete class disagreeing.
  reportProfileComposition();
  return 0;
}

int KVRBasicEntity3D::setBaseProfile(const Profile& profile) {
  Profile requested = profile;
  return setBaseProfile(requested);
}

int KVRBasicEntity3D::setRelativeLocation(const Xform& location) {
  requireFinite(location.isFinite(), L"relative location");
  Xform requested = location;
  return setRelativeLocation(requested);
}

int KVRBasicEntity3D::setRelativeProfile(const Profile& profile) {
  requireFinite(profile.isFinite(), L"relative profile");
  Profile requested = profile;
  return setRelativeProfile(requested);
}

int KVRBasicEntity3D::setRelativeLocationAndUpdate(Xform& location) {
  requireFinite(location.isFinite(), L"relative location");
  return applyStatus(setRelativeLocation(location), [&](int) { updateRelativeLocation(location); });
}

int KVRBasicEntity3D::setBaseLocation(const Xform& location,
                                      const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  requireFinite(location.isFinite(), L"location");
  Xform base = calcBaseLocation(getEntityLocation(reference), location);
  return setBaseLocation(base);
}

int KVRBasicEntity3D::setBaseProfile(const Profile& profile,
                                     const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  requireFinite(profile.isFinite(), L"profile");
  Profile base = calcBaseProfile(getEntityProfile(reference), profile);
  return setBaseProfile(base);
}

int KVRBasicEntity3D::translateBase(const KVRBasicVector3D<double>& offset, KVRMath3D::ReferenceFrame frame) {
  requireFinite(offset.isFinite(), L"translation");
  Xform x = getBaseLocation();
  x.translate(offset, frame);
  return setBaseLocation(x);
}

int KVRBasicEntity3D::rotateBase(KVRMath3D::AxisType axis, double angle, KVRMath3D::ReferenceFrame frame) {
  requireFinite(std::isfinite(angle), L"angle");
  Xform x = getBaseLocation();
  x.rotate(axis, angle, frame);
  return setBaseLocation(x);
}

int KVRBasicEntity3D::rotateBase(const KVRBasicVector3D<double>& axis, double angle,
                                 KVRMath3D::ReferenceFrame frame) {
  requireFinite(axis.isFinite(), L"rotation axis");
  requireFinite(std::isfinite(angle), L"angle");
  Xform x = getBaseLocation();
  x.rotate(axis, angle, frame);
  return setBaseLocation(x);
}

int KVRBasicEntity3D::moveBase(const Xform& motion, KVRMath3D::ReferenceFrame frame) {
  requireFinite(motion.isFinite(), L"motion");
  Xform x = getBaseLocation();
  x.move(motion, frame);
  return setBaseLocation(x);
}

namespace {

// (E moved by M) · E⁻¹ · base: the motion M expressed in the reference's axes.
template <class Move>
KVRBasicXform3D<double> movedInReference(const KVRBasicXform3D<double>& reference,
                                         const KVRBasicXform3D<double>& base, Move move) {
  KVRBasicXform3D<double> t = reference;
  move(t);
  t /= reference;
  t *= base;
  return t;
}

}  // namespace

int KVRBasicEntity3D::translateBase(const KVRBasicVector3D<double>& offset,
                                    const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  requireFinite(offset.isFinite(), L"translation");
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.translate(offset, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

int KVRBasicEntity3D::rotateBase(KVRMath3D::AxisType axis, double angle,
                                 const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  requireFinite(std::isfinite(angle), L"angle");
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.rotate(axis, angle, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

int KVRBasicEntity3D::rotateBase(const KVRBasicVector3D<double>& axis, double angle,
                                 const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  requireFinite(axis.isFinite(), L"rotation axis");
  requireFinite(std::isfinite(angle), L"angle");
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.rotate(axis, angle, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

int KVRBasicEntity3D::moveBase(const Xform& motion, const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  requireFinite(motion.isFinite(), L"motion");
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.move(motion, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::profileAt(const Xform& location) {
  return profileOf(location, nullptr);
}

void KVRBasicEntity3D::takeProfileLocation(Xform& stored, Profile& profile) {
  stored = profile.getLocation();
  profile.clearVelocity();
  profile.clearAcceleration();
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::getBaseProfile() const {
  return profileOf(baseLocation_, moving_ ? findSpatial()->motion->base : nullptr);
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::getCachedParentProfile() const {
  return profileOf(parentLocation(), moving_ ? findSpatial()->motion->parent : nullptr);
}

void KVRBasicEntity3D::setBaseMotion(const Profile& profile) {
  if (moves(profile)) {
    Spatial& parts = spatial();
    if (!parts.motion) parts.motion = std::make_unique<Motion>();
    moving_ = true;
    storeMotion(profile, parts.motion->base);
  } else if (moving_) {
    storeMotion(Profile::Identity, findSpatial()->motion->base);
  }
}

void KVRBasicEntity3D::setParentMotion(const Profile& profile) {
  if (moves(profile)) {
    Spatial& parts = spatial();
    if (!parts.motion) parts.motion = std::make_unique<Motion>();
    moving_ = true;
    storeMotion(profile, parts.motion->parent);
  } else if (moving_) {
    storeMotion(Profile::Identity, findSpatial()->motion->parent);
  }
}

void KVRBasicEntity3D::setCachedBaseLocation(const Xform& location) {
  requireFinite(location.isFinite(), L"base location");
  storeBaseLocation(location);
}

void KVRBasicEntity3D::setCachedBaseProfile(const Profile& profile) {
  requireFinite(profile.isFinite(), L"base profile");
  baseLocation_ = profile.getLocation();
  setBaseMotion(profile);
  setEvent(BaseLocationChanged);
  noteChange(KVRChangeLog::Moved);
  setEvent(BaseProfileChanged);
}

void KVRBasicEntity3D::updateParentLocation(const Xform& parentBase) {
  requireFinite(parentBase.isFinite(), L"parent location");
  setParentLocation(parentBase);
  if (moving_) storeMotion(Profile::Identity, findSpatial()->motion->parent);
  composeBaseLocation(parentBase);
}

void KVRBasicEntity3D::updateParentProfile(const Profile& parentBase) {
  requireFinite(parentBase.isFinite(), L"parent profile");
  setParentLocation(parentBase.getLocation());
  setParentMotion(parentBase);
  setCachedBaseProfile(calcBaseProfile(parentBase, getRelativeProfile()));
}

void KVRBasicEntity3D::updateRelativeLocation(const Xform& relative) {
  requireFinite(relative.isFinite(), L"relative location");
  const Xform base = getEntityLocation(spatialParent_) * relative;
  setEvent(LocationSet);
  storeBaseLocation(base);
}

void KVRBasicEntity3D::updateRelativeProfile(const Profile& relative) {
  requireFinite(relative.isFinite(), L"relative profile");
  const Profile base = calcBaseProfile(getEntityProfile(spatialParent_), relative);
  setEvent(ProfileSet);
  setCachedBaseProfile(base);
}
