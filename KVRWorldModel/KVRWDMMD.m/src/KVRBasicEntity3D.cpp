#include "KVRBasicEntity3D.h"

#include <algorithm>

#include "KVRAssertion.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRBasicEntity3D::ClassInfo_ =
    KVRClassInfo::abstract<KVRBasicEntity3D>("KVRBasicEntity3D", KVRBasicEntity::ClassInfo_);
constinit const KVRUUID KVRBasicEntity3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e02");

namespace {

KVRFunctor0 spatialHookOf(KVRBasicEntity3D* entity, void (KVRBasicEntity3D::*hook)()) {
  return KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, entity, hook);
}

void reportInvalidRequestStatus() { KVRReportAssertion("Software", L"Invalid request status"); }

void reportProfileComposition() { KVRReportAssertion("Software", L"Operation not supported"); }

}  // namespace

// --- Construction ----------------------------------------------------------

struct KVRBasicEntity3D::Motion {
  // Linear velocity, angular velocity, linear acceleration, angular acceleration.
  KVRBasicVector3D<double> base[4];
  KVRBasicVector3D<double> parent[4];
};

namespace {

using Vector = KVRBasicVector3D<double>;

bool moves(const KVRBasicProfile3D<double>& p) {
  return !(p.getLinearVelocity() == Vector::Zero && p.getAngularVelocity() == Vector::Zero &&
           p.getLinearAcceleration() == Vector::Zero && p.getAngularAcceleration() == Vector::Zero);
}

void storeMotion(const KVRBasicProfile3D<double>& p, Vector (&motion)[4]) {
  motion[0] = p.getLinearVelocity();
  motion[1] = p.getAngularVelocity();
  motion[2] = p.getLinearAcceleration();
  motion[3] = p.getAngularAcceleration();
}

KVRBasicProfile3D<double> profileOf(const KVRBasicXform3D<double>& location, const Vector* motion) {
  KVRBasicProfile3D<double> p;
  p.setLocation(location);
  if (motion) {
    p.setLinearVelocity(motion[0]);
    p.setAngularVelocity(motion[1]);
    p.setLinearAcceleration(motion[2]);
    p.setAngularAcceleration(motion[3]);
  }
  return p;
}

}  // namespace

KVRBasicEntity3D::KVRBasicEntity3D() {
  addNotificationHook(spatialHookOf(this, &KVRBasicEntity3D::spatialHook_));
}

KVRBasicEntity3D::KVRBasicEntity3D(const KVRBasicEntity3D& source, CopyMode mode)
    : KVRBasicEntity(source, mode),
      baseLocation_(source.baseLocation_),
      parentLocation_(source.parentLocation_),
      motion_(source.motion_ ? std::make_unique<Motion>(*source.motion_) : nullptr) {
  addNotificationHook(spatialHookOf(this, &KVRBasicEntity3D::spatialHook_));
}

KVRBasicEntity3D::~KVRBasicEntity3D() { KVRBasicEntity3D::orphanObject(); }

const KVRClassInfo& KVRBasicEntity3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicEntity3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicEntity3D::getEntityTypeName() const { return KVRMessage(L"Entity"); }

// --- Spatial tree: queries -------------------------------------------------

bool KVRBasicEntity3D::hasSpatialAncestor(const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  return spatialAncestors_.contains(entity);
}

KVRSharedHandle<KVRBasicEntity3D> KVRBasicEntity3D::getSpatialAncestor(const KVRClassInfo& info) const {
  return spatialAncestors_.firstFromRoot([&](const auto& ancestor) { return ancestor->isDerivedFrom(info); });
}

void KVRBasicEntity3D::getSpatialAncestors(KVRSharedVector<KVRBasicEntity3D>& ancestors) const {
  spatialAncestors_.copyTo(ancestors);
}

void KVRBasicEntity3D::getSpatialAncestors(KVRSharedList<KVRBasicEntity3D>& ancestors) const {
  spatialAncestors_.copyTo(ancestors);
}

bool KVRBasicEntity3D::hasSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) const {
  return spatialChildren_.contains(child.get());
}

void KVRBasicEntity3D::getSpatialChildren(const KVRClassInfo& info,
                                          KVRSharedVector<KVRBasicEntity3D>& children) const {
  spatialChildren_.collect(children, &info);
}

void KVRBasicEntity3D::getSpatialChildren(const KVRClassInfo& info,
                                          KVRSharedList<KVRBasicEntity3D>& children) const {
  spatialChildren_.collect(children, &info);
}

void KVRBasicEntity3D::getSpatialChildren(KVRSharedVector<KVRBasicEntity3D>& children) const {
  spatialChildren_.collect(children);
}

void KVRBasicEntity3D::getSpatialChildren(KVRSharedList<KVRBasicEntity3D>& children) const {
  spatialChildren_.collect(children);
}

int KVRBasicEntity3D::getSpatialChildrenCount(const KVRClassInfo& info) const {
  return static_cast<int>(spatialChildren_.count(info));
}

void KVRBasicEntity3D::getSpatialDescendants(KVRSharedVector<KVRBasicEntity3D>& descendants) const {
  KVRSharedList<KVRBasicEntity3D> unused;
  getALLSpatialDescendants(KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)), unused,
                           descendants, 'V');
}

void KVRBasicEntity3D::getSpatialDescendants(KVRSharedList<KVRBasicEntity3D>& descendants) const {
  KVRSharedVector<KVRBasicEntity3D> unused;
  getALLSpatialDescendants(KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)),
                           descendants, unused, 'L');
}

int KVRBasicEntity3D::getSpatialDescendantsCount() const {
  KVRSharedList<KVRBasicEntity3D> list;
  KVRSharedVector<KVRBasicEntity3D> vector;
  return getALLSpatialDescendants(KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)),
                                  list, vector, 'N');
}

KVRSharedHandle<KVRBasicEntity3D> KVRBasicEntity3D::getSpatialDescendant(const KVRClassInfo& info) const {
  return returnSpatialDescendant(KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)),
                                 info);
}

bool KVRBasicEntity3D::hasSpatialDescendant(const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  return isThereASpatialDescendant(KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)),
                                   entity);
}

int KVRBasicEntity3D::getALLSpatialDescendants(const KVRSharedHandle<KVRBasicEntity3D>& node,
                                               KVRSharedList<KVRBasicEntity3D>& list,
                                               KVRSharedVector<KVRBasicEntity3D>& vector, char mode) const {
  if (!node) return 0;
  KVRSharedHandle<KVRBasicEntity3D> held(node, KVRSharedBase::WriteLock);
  const KVRSharedSnapshot<KVRBasicEntity3D> children(held->spatialChildren_);
  int count = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (mode == 'L')
      list.push_back(children[i]);
    else if (mode == 'V')
      vector.push_back(children[i]);
    ++count;
  }
  for (std::size_t i = 0; i < children.size(); ++i)
    count += getALLSpatialDescendants(children[i], list, vector, mode);
  return count;
}

KVRSharedHandle<KVRBasicEntity3D> KVRBasicEntity3D::returnSpatialDescendant(
    const KVRSharedHandle<KVRBasicEntity3D>& node, const KVRClassInfo& info) const {
  if (!node) return KVRSharedHandle<KVRBasicEntity3D>();
  for (KVRBasicEntity3D* child : node->spatialChildren_)
    if (child->isDerivedFrom(info)) return KVRSharedHandle<KVRBasicEntity3D>(child);
  for (KVRBasicEntity3D* child : node->spatialChildren_)
    if (auto found = returnSpatialDescendant(KVRSharedHandle<KVRBasicEntity3D>(child), info)) return found;
  return KVRSharedHandle<KVRBasicEntity3D>();
}

bool KVRBasicEntity3D::isThereASpatialDescendant(const KVRSharedHandle<KVRBasicEntity3D>& node,
                                                 const KVRSharedHandle<KVRBasicEntity3D>& target) const {
  if (!node || !target) return false;
  if (node->hasSpatialChild(target)) return true;
  for (KVRBasicEntity3D* child : node->spatialChildren_)
    if (isThereASpatialDescendant(KVRSharedHandle<KVRBasicEntity3D>(child), target)) return true;
  return false;
}

// --- Spatial tree: changes -------------------------------------------------

void KVRBasicEntity3D::refuseSpatialCycle(const KVRBasicEntity3D& parent, const KVRBasicEntity3D& child) {
  // Walk the real parent links: the cached ancestor lists may be stale.
  for (const KVRBasicEntity3D* e = &parent; e; e = e->spatialParent_.get())
    if (e == &child)
      throw KVREInvalidRelation(L"%1 cannot become a spatial child of %2, which lies in its own subtree")
          << child.getEntityTitle(FullName, ExternalNameSeparator)
          << parent.getEntityTitle(FullName, ExternalNameSeparator);
}

namespace {

void refuseSecondSpatialParent(const KVRBasicEntity3D& entity) {
  if (entity.hasSpatialParent())
    throw KVREAlreadyRegistered(L"%1 has already been assigned a spatial parent")
        << entity.getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

}  // namespace

void KVRBasicEntity3D::checkSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) const {
  requireEntity(child, L"a spatial child");
  checkLinkable();
  child->checkLinkable();
  refuseSecondSpatialParent(*child);
  refuseSpatialCycle(*this, *child);
}

void KVRBasicEntity3D::addSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) {
  checkSpatialChild(child);
  KVRSharedHandle<KVRBasicEntity3D> held(child, KVRSharedBase::WriteLock);
  held->setSpatialParent(KVRSharedHandle<KVRBasicEntity3D>(this), getBaseLocation(), spatialAncestors_);
  setSpatialChild(held);
}

void KVRBasicEntity3D::addSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent) {
  requireEntity(parent, L"a spatial parent");
  KVRSharedHandle<KVRBasicEntity3D> held(parent, KVRSharedBase::WriteLock);
  held->checkSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(this));
  setSpatialParent(held, held->getBaseLocation(), held->spatialAncestors_);
  held->setSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(this));
}

void KVRBasicEntity3D::removeSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) {
  requireEntity(child, L"a spatial child");
  const SpatialPosition position = findSpatialChild(child);
  KVRSharedHandle<KVRBasicEntity3D> held(child, KVRSharedBase::WriteLock);
  held->clearSpatialParent(1);
  clearSpatialChild(position);
}

void KVRBasicEntity3D::removeSpatialChildren(const KVRClassInfo& info) {
  for (KVRBasicEntity3D* child = spatialChildren_.first(); child;) {
    KVRBasicEntity3D* next = spatialChildren_.next(*child);
    if (child->isDerivedFrom(info)) {
      child->clearSpatialParent(1);
      spatialChildren_.erase(child);
    }
    child = next;
  }
}

void KVRBasicEntity3D::removeSpatialChildren() {
  while (KVRBasicEntity3D* child = spatialChildren_.first()) {
    child->clearSpatialParent(1);
    spatialChildren_.erase(child);
  }
}

void KVRBasicEntity3D::destroySpatialChildren() {
  while (KVRBasicEntity3D* child = spatialChildren_.first()) {
    child->clearSpatialParent(0);
    // The child's descendants still list this entity among their spatial
    // ancestors (and hold it): its next flush rebuilds their lists.
    child->setEvent(SpatialAncestorsChanged);
    spatialChildren_.erase(child);
  }
}

void KVRBasicEntity3D::replaceSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& oldChild,
                                           const KVRSharedHandle<KVRBasicEntity3D>& newChild) {
  requireEntity(oldChild, L"a spatial child");
  requireEntity(newChild, L"a spatial child");
  findSpatialChild(oldChild);
  if (newChild != oldChild) checkSpatialChild(newChild);
  removeSpatialChild(oldChild);
  addSpatialChild(newChild);
}

void KVRBasicEntity3D::removeSpatialParent() {
  if (!spatialParent_) return;
  // The parent's entry may hold the last handle to this entity.
  const KVRSharedHandle<KVRBasicEntity3D> self(this);
  KVRSharedHandle<KVRBasicEntity3D> parent(spatialParent_, KVRSharedBase::WriteLock);
  const SpatialPosition position = parent->findSpatialChild(self);
  clearSpatialParent(1);
  parent->clearSpatialChild(position);
}

// --- Spatial tree: primitive steps -----------------------------------------

KVRBasicEntity3D::SpatialPosition KVRBasicEntity3D::findSpatialChild(
    const KVRSharedHandle<KVRBasicEntity3D>& child) {
  requireEntity(child, L"a spatial child");
  if (!spatialChildren_.contains(child.get()))
    throw KVRENotFound(L"%1 is not a spatial child of %2")
        << child->getEntityTitle(FullName, ExternalNameSeparator)
        << getEntityTitle(FullName, ExternalNameSeparator);
  return child.get();
}

void KVRBasicEntity3D::setSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent,
                                        const Xform& parentBase,
                                        const KVRSharedList<KVRBasicEntity3D>& parentAncestors) {
  setSpatialParent(parent, parentBase, AncestorChain::fromContainer(parentAncestors));
}

void KVRBasicEntity3D::setSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent,
                                        const Xform& parentBase, const AncestorChain& parentAncestors) {
  checkLinkable();
  if (parent) parent->checkLinkable();
  refuseSecondSpatialParent(*this);
  spatialParent_ = parent;
  updateParentLocation(parentBase);
  updateSpatialAncestors(parentAncestors);
}

void KVRBasicEntity3D::setSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) {
  requireEntity(child, L"a spatial child");
  checkLinkable();
  child->checkLinkable();
  // An entity is listed once, under one spatial parent.
  if (decltype(spatialChildren_)::isListed(*child))
    throw KVREAlreadyRegistered(L"%1 is already listed as a spatial child")
        << child->getEntityTitle(FullName, ExternalNameSeparator);
  spatialChildren_.append(child.get());
}

void KVRBasicEntity3D::clearSpatialParent(int keepPlace) {
  const KVRSharedHandle<KVRBasicEntity3D> former = std::move(spatialParent_);
  if (keepPlace) {
    updateRelativeLocation(getBaseLocation());  // without a parent: the base location stays
    resetEvent(LocationSet);
  }
  clearSpatialAncestors();
  if (!keepPlace) resetEvent(SpatialAncestorsChanged);
  if (former) onSpatialParentCleared(*former);
}

void KVRBasicEntity3D::onSpatialParentCleared(KVRBasicEntity3D&) {}

void KVRBasicEntity3D::clearSpatialChild(SpatialPosition position) {
  if (!spatialChildren_.contains(position))
    throw KVRENotFound(L"%1 is not a spatial child of %2")
        << (position ? position->getEntityTitle(FullName, ExternalNameSeparator) : KVRMessage(L"(none)"))
        << getEntityTitle(FullName, ExternalNameSeparator);
  spatialChildren_.erase(position);
}

void KVRBasicEntity3D::updateSpatialAncestors(const KVRSharedList<KVRBasicEntity3D>& parentAncestors) {
  updateSpatialAncestors(AncestorChain::fromContainer(parentAncestors));
}

void KVRBasicEntity3D::updateSpatialAncestors(const AncestorChain& parentAncestors) {
  spatialAncestors_ = AncestorChain(parentAncestors, spatialParent_);
  spatialDepth_ = spatialAncestors_.size();
  setEvent(SpatialAncestorsChanged);
}

void KVRBasicEntity3D::clearSpatialAncestors() {
  spatialAncestors_ = AncestorChain();
  spatialDepth_ = 0;
  setEvent(SpatialAncestorsChanged);
}

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
  if (reference == spatialParent_) return parentLocation_;
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
  // entity and up to ComposedPerWalk - 1 of its ancestors, nearest first.
  const KVRBasicEntity3D* chain[ComposedPerWalk];
  int n = 0;
  const KVRBasicEntity3D* above = &entity;
  while (n < ComposedPerWalk && above) {
    chain[n++] = above;
    above = above->spatialParent_.get();
  }
  // X_WP: the location of chain[k]'s parent, composed the way a flush does.
  Xform X_WP;
  int k;
  if (above) {
    X_WP = composeFromRoot(*above, depth - n);
    k = n - 1;
  } else {
    X_WP = chain[n - 1]->baseLocation_;  // the root
    k = n - 2;
  }
  for (; k >= 0; --k) {
    const KVRBasicEntity3D& e = *chain[k];
    if (const Xform* X_PE = e.storedRelativeLocation())
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
  const Xform parent = getEntityLocation(spatialParent_);
  Xform relative = calcRelativeLocation(parent, location);
  return applyStatus(setRelativeLocation(relative), [&](int status) {
    if (status == 1) location = calcBaseLocation(parent, relative);
    setEvent(LocationSet);
    setCachedBaseLocation(location);
  });
}

int KVRBasicEntity3D::setBaseLocation(const Xform& location) {
  Xform requested = location;
  return setBaseLocation(requested);
}

int KVRBasicEntity3D::setBaseProfile(Profile&) {
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
  Xform requested = location;
  return setRelativeLocation(requested);
}

int KVRBasicEntity3D::setRelativeProfile(const Profile& profile) {
  Profile requested = profile;
  return setRelativeProfile(requested);
}

int KVRBasicEntity3D::setRelativeLocationAndUpdate(Xform& location) {
  return applyStatus(setRelativeLocation(location), [&](int) { updateRelativeLocation(location); });
}

int KVRBasicEntity3D::setBaseLocation(const Xform& location,
                                      const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  Xform base = calcBaseLocation(getEntityLocation(reference), location);
  return setBaseLocation(base);
}

int KVRBasicEntity3D::setBaseProfile(const Profile& profile,
                                     const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  Profile base = calcBaseProfile(getEntityProfile(reference), profile);
  return setBaseProfile(base);
}

int KVRBasicEntity3D::translateBase(const KVRBasicVector3D<double>& offset, KVRMath3D::ReferenceFrame frame) {
  Xform x = getBaseLocation();
  x.translate(offset, frame);
  return setBaseLocation(x);
}

int KVRBasicEntity3D::rotateBase(KVRMath3D::AxisType axis, double angle, KVRMath3D::ReferenceFrame frame) {
  Xform x = getBaseLocation();
  x.rotate(axis, angle, frame);
  return setBaseLocation(x);
}

int KVRBasicEntity3D::rotateBase(const KVRBasicVector3D<double>& axis, double angle,
                                 KVRMath3D::ReferenceFrame frame) {
  Xform x = getBaseLocation();
  x.rotate(axis, angle, frame);
  return setBaseLocation(x);
}

int KVRBasicEntity3D::moveBase(const Xform& motion, KVRMath3D::ReferenceFrame frame) {
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
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.translate(offset, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

int KVRBasicEntity3D::rotateBase(KVRMath3D::AxisType axis, double angle,
                                 const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.rotate(axis, angle, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

int KVRBasicEntity3D::rotateBase(const KVRBasicVector3D<double>& axis, double angle,
                                 const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  Xform t = movedInReference(getEntityLocation(reference), getBaseLocation(),
                             [&](Xform& x) { x.rotate(axis, angle, KVRMath3D::LocalFrame); });
  return setBaseLocation(t);
}

int KVRBasicEntity3D::moveBase(const Xform& motion, const KVRSharedHandle<KVRBasicEntity3D>& reference) {
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
  return profileOf(baseLocation_, motion_ ? motion_->base : nullptr);
}

KVRBasicEntity3D::Profile KVRBasicEntity3D::getCachedParentProfile() const {
  return profileOf(parentLocation_, motion_ ? motion_->parent : nullptr);
}

void KVRBasicEntity3D::setBaseMotion(const Profile& profile) {
  if (moves(profile)) {
    if (!motion_) motion_ = std::make_unique<Motion>();
    storeMotion(profile, motion_->base);
  } else if (motion_) {
    storeMotion(Profile::Identity, motion_->base);
  }
}

void KVRBasicEntity3D::setParentMotion(const Profile& profile) {
  if (moves(profile)) {
    if (!motion_) motion_ = std::make_unique<Motion>();
    storeMotion(profile, motion_->parent);
  } else if (motion_) {
    storeMotion(Profile::Identity, motion_->parent);
  }
}

void KVRBasicEntity3D::setCachedBaseLocation(const Xform& location) {
  baseLocation_ = location;
  if (spatialDepth_ != 0 && spatialDepth_ % NormalizationDepth == 0) baseLocation_.normalize();
  if (motion_) storeMotion(Profile::Identity, motion_->base);
  setEvent(BaseLocationChanged);
}

void KVRBasicEntity3D::setCachedBaseProfile(const Profile& profile) {
  baseLocation_ = profile.getLocation();
  setBaseMotion(profile);
  setEvent(BaseLocationChanged);
  setEvent(BaseProfileChanged);
}

void KVRBasicEntity3D::updateParentLocation(const Xform& parentBase) {
  parentLocation_ = parentBase;
  if (motion_) storeMotion(Profile::Identity, motion_->parent);
  if (const Xform* relative = storedRelativeLocation())
    setCachedBaseLocation(parentBase * *relative);
  else
    setCachedBaseLocation(parentBase * getRelativeLocation());
}

void KVRBasicEntity3D::updateParentProfile(const Profile& parentBase) {
  parentLocation_ = parentBase.getLocation();
  setParentMotion(parentBase);
  setCachedBaseProfile(calcBaseProfile(parentBase, getRelativeProfile()));
}

void KVRBasicEntity3D::updateRelativeLocation(const Xform& relative) {
  const Xform base = getEntityLocation(spatialParent_) * relative;
  setEvent(LocationSet);
  setCachedBaseLocation(base);
}

void KVRBasicEntity3D::updateRelativeProfile(const Profile& relative) {
  const Profile base = calcBaseProfile(getEntityProfile(spatialParent_), relative);
  setEvent(ProfileSet);
  setCachedBaseProfile(base);
}

// --- Flushing --------------------------------------------------------------

void KVRBasicEntity3D::flushBaseLocation() {
  setEvent(BaseLocationChanged);
  flushSpatialState();
}

void KVRBasicEntity3D::onNotification() {
  const bool profileBits =
      testEvent(ProfileSet) || testEvent(BaseProfileChanged) || testEvent(AncestorProfileSet);
  const bool locationBits =
      testEvent(LocationSet) || testEvent(BaseLocationChanged) || testEvent(AncestorLocationSet);
  if (profileBits)
    propagateBaseProfile();
  else if (locationBits)
    propagateBaseLocation();
  if (testEvent(SpatialAncestorsChanged)) propagateSpatialAncestors();
}

void KVRBasicEntity3D::prefetchForPropagation() const {
  // The lines a propagation touches first: the notification state at the
  // start of the object, the cached locations and the children.
  const char* object = reinterpret_cast<const char*>(this);
  for (int offset = 0; offset < 192; offset += 64) __builtin_prefetch(object + offset, 1);
  __builtin_prefetch(&baseLocation_, 1);
  __builtin_prefetch(&parentLocation_, 1);
  __builtin_prefetch(&spatialChildren_);
}

template <class Visit>
void KVRBasicEntity3D::walkSpatialChildren(Visit visit) const {
  spatialChildren_.walk([&](KVRBasicEntity3D& child, const KVRBasicEntity3D* next) {
    // Memory latency dominates large trees: start fetching the next sibling
    // and the child's first child while this child is updated.
    if (next) next->prefetchForPropagation();
    if (const KVRBasicEntity3D* grandchild = child.spatialChildren_.first())
      grandchild->prefetchForPropagation();
    visit(child);
  });
}

void KVRBasicEntity3D::propagateBaseLocation() const {
  const Xform base = baseLocation_;
  const bool deliver = testEvent(BaseLocationChanged);
  const bool mark = testEvent(LocationSet) || testEvent(AncestorLocationSet);
  walkSpatialChildren([&](KVRBasicEntity3D& child) {
    if (deliver) child.updateParentLocation(base);
    if (mark) child.setEvent(AncestorLocationSet);
    child.flushSpatialState();
  });
}

void KVRBasicEntity3D::propagateBaseProfile() const {
  const Profile base = getBaseProfile();
  const bool deliver = testEvent(BaseLocationChanged);
  const bool mark = testEvent(ProfileSet) || testEvent(AncestorProfileSet);
  walkSpatialChildren([&](KVRBasicEntity3D& child) {
    if (deliver) child.updateParentProfile(base);
    if (mark) child.setEvent(AncestorProfileSet);
    child.flushSpatialState();
  });
}

void KVRBasicEntity3D::propagateSpatialAncestors() const {
  walkSpatialChildren([this](KVRBasicEntity3D& child) {
    child.updateSpatialAncestors(spatialAncestors_);
    child.flushSpatialState();
  });
}

// --- Orphaning -------------------------------------------------------------

void KVRBasicEntity3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicEntity::orphanObject();
}

void KVRBasicEntity3D::orphanMembers() {
  removeNotificationHook(spatialHookOf(this, &KVRBasicEntity3D::spatialHook_));
  removeSpatialParent();
  destroySpatialChildren();
}
