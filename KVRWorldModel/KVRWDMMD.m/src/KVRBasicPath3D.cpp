#include "KVRBasicPath3D.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <typeinfo>

#include "KVRBasicTagPoint3D.h"
#include "KVRSymbolBase.h"

constinit const KVRClassInfo KVRBasicPath3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicPath3D>("KVRBasicPath3D", KVRBasicEntity3D::ClassInfo_);
constinit const KVRUUID KVRBasicPath3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e07");

namespace {

using PointHandle = KVRSharedHandle<KVRBasicTagPoint3D>;

// The subscription a path holds on each listed point. Made anew for removal:
// functors from the same object and member compare equal.
KVREventFunctor pointWatcherOf(KVRBasicPath3D* path) {
  return KVRMakeEventFunctor(path, &KVRBasicPath3D::onPointsChange);
}

const std::bitset<64> PointMoved = std::bitset<64>().set(KVRBasicTagPoint3D::RelativeLocationChanged);

// The entry at `index`, walking from the front; the caller checks the range.
template <class List>
auto entryAt(List& points, unsigned int index) {
  return std::next(points.begin(), static_cast<std::ptrdiff_t>(index));
}

}  // namespace

// --- Construction ----------------------------------------------------------

KVRBasicPath3D::KVRBasicPath3D() = default;

// A copy is a new path: it takes neither the route nor the location of its source.
KVRBasicPath3D::KVRBasicPath3D(const KVRBasicPath3D& source, CopyMode mode) : KVRBasicEntity3D() {
  (void)source;
  (void)mode;
}

KVRBasicPath3D::~KVRBasicPath3D() { KVRBasicPath3D::orphanObject(); }

const KVRClassInfo& KVRBasicPath3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicPath3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicPath3D::getEntityTypeName() const { return KVRMessage(L"Tag Path"); }

// --- Relative location -----------------------------------------------------

int KVRBasicPath3D::setRelativeLocation(Xform& location) {
  requireFinite(location.isFinite(), L"relative location");
  relativeLocation_ = location;
  setEvent(RelativeLocationChanged);
  return 2;
}

KVRBasicPath3D::Xform KVRBasicPath3D::getRelativeLocation() const { return relativeLocation_; }

const KVRBasicPath3D::Xform* KVRBasicPath3D::storedRelativeLocation() const {
  // Only for this exact class: a derived one may answer getRelativeLocation()
  // differently, whether or not it has a class descriptor of its own.
  return typeid(*this) == typeid(KVRBasicPath3D) ? &relativeLocation_ : nullptr;
}

int KVRBasicPath3D::setRelativeProfile(Profile& profile) {
  requireFinite(profile.isFinite(), L"relative profile");
  takeProfileLocation(relativeLocation_, profile);
  setEvent(RelativeLocationChanged);
  return 2;
}

KVRBasicPath3D::Profile KVRBasicPath3D::getRelativeProfile() const { return profileAt(relativeLocation_); }

// --- Queries ---------------------------------------------------------------

unsigned int KVRBasicPath3D::getTagPointCount() const { return static_cast<unsigned int>(points_.size()); }

KVRSharedHandle<KVRBasicTagPoint3D> KVRBasicPath3D::getTagPoint(const unsigned int& index) const {
  if (index >= getTagPointCount()) return PointHandle();
  return *entryAt(points_, index);
}

void KVRBasicPath3D::getTagPoints(KVRSharedList<KVRBasicTagPoint3D>& points) const {
  points.insert(points.end(), points_.begin(), points_.end());
}

void KVRBasicPath3D::getTagPoints(KVRSharedVector<KVRBasicTagPoint3D>& points) const {
  points.insert(points.end(), points_.begin(), points_.end());
}

int KVRBasicPath3D::getIndex(const KVRSharedHandle<KVRBasicTagPoint3D>& point) const {
  if (!point) return -1;
  int index = 0;
  for (const PointHandle& entry : points_) {
    if (entry == point) return index;
    ++index;
  }
  return -1;
}

// --- Changes ---------------------------------------------------------------

namespace {

// Throws what adopting and watching the point would throw; changes nothing.
// Neither the path nor the point may be orphaned: an orphaned path would
// never drop its subscription.
void checkAdoptable(const KVRBasicPath3D& path, const PointHandle& point) {
  path.checkLinkable();
  point->checkLinkable();
  if (!point->hasLogicalParent()) path.checkLogicalChild(point);
  if (!point->hasSpatialParent()) path.checkSpatialChild(point);
}

// Makes the path the logical and the spatial parent of a point that has
// none. Both links are checked first, so a refusal changes nothing.
void adoptPoint(KVRBasicPath3D& path, const PointHandle& point) {
  checkAdoptable(path, point);
  if (!point->hasLogicalParent()) path.addLogicalChild(KVRSharedHandle<KVRBasicEntity>(point));
  if (!point->hasSpatialParent()) path.addSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(point));
}

// Checks every point of a new route before the old one is given up.
template <class Container>
void checkRoute(const KVRBasicPath3D& path, const Container& points) {
  for (const PointHandle& point : points)
    if (point) checkAdoptable(path, point);
}

// Subscribes the path to the point's moves.
void watchPoint(KVRBasicPath3D& path, KVRBasicTagPoint3D& point) {
  try {
    point.addSubscriber(pointWatcherOf(&path), PointMoved, -1);
  } catch (...) {
    // A point that cannot be watched is still listed.
  }
}

}  // namespace

void KVRBasicPath3D::setTagPoints(KVRSharedList<KVRBasicTagPoint3D>& points) {
  checkRoute(*this, points);
  removeTagPoints();
  for (const PointHandle& point : points) _addTagPoint(point);
  setEvent(RouteChanged);
}

void KVRBasicPath3D::setTagPoints(KVRSharedVector<KVRBasicTagPoint3D>& points) {
  checkRoute(*this, points);
  removeTagPoints();
  for (const PointHandle& point : points) _addTagPoint(point);
  setEvent(RouteChanged);
}

bool KVRBasicPath3D::addTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) {
  const bool added = _addTagPoint(point);
  if (added) setEvent(RouteChanged);
  return added;
}

bool KVRBasicPath3D::_addTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) {
  if (!point) return false;
  PointHandle held(point, KVRSharedBase::WriteLock);
  adoptPoint(*this, held);
  points_.push_back(held);
  held->routes_.push_back(this);
  watchPoint(*this, *held);
  return true;
}

bool KVRBasicPath3D::insertTagPoint(unsigned int index, const KVRSharedHandle<KVRBasicTagPoint3D>& point) {
  if (index >= getTagPointCount() || !point) return false;
  PointHandle held(point, KVRSharedBase::WriteLock);
  adoptPoint(*this, held);
  points_.insert(entryAt(points_, index), held);
  held->routes_.push_back(this);
  // Watched like an appended point, so its moves reach the path and its
  // removal drops a subscription that exists.
  watchPoint(*this, *held);
  setEvent(RouteChanged);
  return true;
}

void KVRBasicPath3D::createPoints(unsigned int count, std::wstring prefix, unsigned short first) {
  for (unsigned int i = 0; i < count; ++i) {
    std::wstring number;
    KVRAssign(number, std::to_string(static_cast<long>(first) + static_cast<long>(i)));
    PointHandle point(new KVRBasicTagPoint3D);
    point->setEntityName(prefix + number);
    _addTagPoint(point);
  }
  setEvent(RouteChanged);
}

bool KVRBasicPath3D::removeTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) {
  if (!point) return false;
  auto entry = points_.begin();
  while (entry != points_.end() && !(*entry == point)) ++entry;
  if (entry == points_.end()) return false;
  PointHandle held(*entry, KVRSharedBase::WriteLock);
  held->removeSubscriber(pointWatcherOf(this));
  forgetRoute(*held);
  points_.erase(entry);
  setEvent(RouteChanged);
  return true;
}

void KVRBasicPath3D::forgetRoute(KVRBasicTagPoint3D& point) const {
  const auto found = std::find(point.routes_.begin(), point.routes_.end(), this);
  if (found != point.routes_.end()) point.routes_.erase(found);
}

bool KVRBasicPath3D::removeTagPoint(unsigned int index) {
  if (index >= getTagPointCount()) return false;
  // A copy: the entry goes while the removal runs.
  const PointHandle point = *entryAt(points_, index);
  return removeTagPoint(point);
}

void KVRBasicPath3D::removeTagPoints() {
  for (const PointHandle& point : points_) {
    forgetRoute(*point);
    try {
      PointHandle held(point, KVRSharedBase::WriteLock);
      held->removeSubscriber(pointWatcherOf(this));
    } catch (...) {
      // One point that cannot be unsubscribed must not keep the route.
    }
  }
  points_.clear();
  setEvent(RouteChanged);
}

bool KVRBasicPath3D::swap(unsigned int i, unsigned int j) {
  const unsigned int count = getTagPointCount();
  if (i >= count || j >= count) return false;
  if (i != j) {
    auto a = entryAt(points_, i < j ? i : j);
    auto b = std::next(a, static_cast<std::ptrdiff_t>(i < j ? j - i : i - j));
    std::iter_swap(a, b);
  }
  setEvent(RouteChanged);
  return true;
}

int KVRBasicPath3D::setTagPointRelativeLocation(unsigned int index, KVRBasicXform3D<double> location) {
  if (index >= getTagPointCount()) return 0;
  requireFinite(location.isFinite(), L"tag point location");
  PointHandle held(*entryAt(points_, index), KVRSharedBase::WriteLock);
  setEvent(RouteChanged);
  return held->setTagPointLocation(location);
}

void KVRBasicPath3D::onPointsChange(const KVRSharedConstPointer<KVRBasicTagPoint3D>& point,
                                    const std::bitset<64>& mask) {
  (void)point;
  if (mask.test(KVRBasicTagPoint3D::RelativeLocationChanged)) setEvent(RouteChanged);
}

// --- Orphaning -------------------------------------------------------------

void KVRBasicPath3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicEntity3D::orphanObject();
}

void KVRBasicPath3D::orphanMembers() { removeTagPoints(); }
