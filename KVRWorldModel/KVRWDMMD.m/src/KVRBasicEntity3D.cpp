#include "KVRBasicEntity3D.h"

#include <deque>
#include <utility>
#include <vector>

#include "KVRAssertion.h"
#include "KVRBasicEntity3DParts.h"
#include "KVRBasicGroup3D.h"
#include "KVRException.h"

using namespace KVREntity3DParts;

constinit const KVRClassInfo KVRBasicEntity3D::ClassInfo_ =
    KVRClassInfo::abstract<KVRBasicEntity3D>("KVRBasicEntity3D", KVRBasicEntity::ClassInfo_);
constinit const KVRUUID KVRBasicEntity3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e02");

namespace {

KVRFunctor0 spatialHookOf(KVRBasicEntity3D* entity, void (KVRBasicEntity3D::*hook)()) {
  return KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, entity, hook);
}

}  // namespace

// --- Rarely used parts -----------------------------------------------------

KVRBasicEntity3D::Spatial* KVRBasicEntity3D::findSpatial() const {
  return static_cast<Spatial*>(findRareExtra());
}

KVRBasicEntity3D::Spatial& KVRBasicEntity3D::spatial() const {
  if (Spatial* found = findSpatial()) return *found;
  auto made = std::make_unique<Spatial>();
  Spatial& spatial = *made;
  const_cast<KVRBasicEntity3D*>(this)->setRareExtra(std::move(made));
  return spatial;
}

// --- Construction ----------------------------------------------------------

std::uint32_t KVRBasicEntity3D::plainHookSignature_ = 0;

KVRBasicEntity3D::KVRBasicEntity3D() {
  addNotificationHook(spatialHookOf(this, &KVRBasicEntity3D::spatialHook_));
  if (!plainHookSignature_) plainHookSignature_ = getHookSignature();
}

KVRBasicEntity3D::KVRBasicEntity3D(const KVRBasicEntity3D& source, CopyMode mode)
    : KVRBasicEntity(source, mode), parentPose_(source.parentPose_), baseLocation_(source.baseLocation_) {
  if (parentPose_) ++parentPose_->references;
  ownParentPose();  // the copy is nobody's sibling
  addNotificationHook(spatialHookOf(this, &KVRBasicEntity3D::spatialHook_));
  if (source.moving_) {
    spatial().motion = std::make_unique<Motion>(*source.findSpatial()->motion);
    moving_ = true;
  }
}

KVRBasicEntity3D::~KVRBasicEntity3D() {
  setChangeLog(nullptr);
  KVRBasicEntity3D::orphanObject();
  releasePose(parentPose_);
}

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
  // Each entity's children, then the descendants of each child in turn: the
  // snapshots of the entities being gone through, deepest last.
  struct Level {
    explicit Level(const decltype(spatialChildren_)& list) : children(list) {}
    KVRSharedSnapshot<KVRBasicEntity3D> children;
    std::size_t next = 0;
  };
  std::deque<Level> levels;
  int count = 0;
  const auto enter = [&](const KVRSharedHandle<KVRBasicEntity3D>& entity) {
    KVRSharedHandle<KVRBasicEntity3D> held(entity, KVRSharedBase::WriteLock);
    Level& level = levels.emplace_back(held->spatialChildren_);
    for (std::size_t i = 0; i < level.children.size(); ++i) {
      if (mode == 'L')
        list.push_back(level.children[i]);
      else if (mode == 'V')
        vector.push_back(level.children[i]);
      ++count;
    }
  };
  enter(node);
  while (!levels.empty()) {
    Level& top = levels.back();
    if (top.next == top.children.size()) {
      levels.pop_back();
      continue;
    }
    const KVRSharedHandle<KVRBasicEntity3D> child = top.children[top.next++];
    enter(child);
  }
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
  std::vector<const KVRBasicEntity3D*> waiting{node.get()};
  while (!waiting.empty()) {
    const KVRBasicEntity3D* e = waiting.back();
    waiting.pop_back();
    if (e->hasSpatialChild(target)) return true;
    for (const KVRBasicEntity3D* child : e->spatialChildren_) waiting.push_back(child);
  }
  return false;
}

// --- Spatial tree: changes -------------------------------------------------

void KVRBasicEntity3D::refuseSpatialCycle(const KVRBasicEntity3D& parent, const KVRBasicEntity3D& child) {
  // A child without spatial children is its own subtree; otherwise walk the
  // real parent links (the cached ancestor lists may be stale).
  const bool leaf = child.spatialChildren_.empty();
  for (const KVRBasicEntity3D* e = &parent; e; e = leaf ? nullptr : e->spatialParent_.get())
    if (e == &child)
      throw KVREInvalidRelation(L"%1 cannot become a spatial child of %2, which lies in its own subtree")
          << child.getEntityTitle(FullName, ExternalNameSeparator)
          << parent.getEntityTitle(FullName, ExternalNameSeparator);
  // Without groups only spatial children carry, and the walk above found them all.
  if (KVRBasicGroup3D::anyExists() && KVRBasicGroup3D::carries(child, parent))
    throw KVREInvalidRelation(L"%1 cannot become a spatial child of %2, which moves with it")
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
  held->linkSpatialParent(KVRSharedHandle<KVRBasicEntity3D>(this), ancestorsForChildren());
  setSpatialChild(held);
  held->shareSiblingPose();
}

void KVRBasicEntity3D::addSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent) {
  requireEntity(parent, L"a spatial parent");
  KVRSharedHandle<KVRBasicEntity3D> held(parent, KVRSharedBase::WriteLock);
  held->checkSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(this));
  linkSpatialParent(held, held->ancestorsForChildren());
  held->setSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(this));
  shareSiblingPose();
}

void KVRBasicEntity3D::linkSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent,
                                         AncestorChain ancestors) {
  // Checked by the caller: neither end is orphaned, and this entity has no spatial parent.
  spatialParent_ = parent;
  setParentLocation(parent->baseLocation_);
  if (moving_) storeMotion(Profile::Identity, findSpatial()->motion->parent);
  composeBaseLocation(parent->baseLocation_);
  spatialAncestors_ = std::move(ancestors);
  spatialDepth_ = spatialAncestors_.size();
  setEvent(SpatialAncestorsChanged);
}

KVRBasicEntity3D::AncestorChain KVRBasicEntity3D::ancestorsForChildren() const {
  if (const KVRBasicEntity3D* first = spatialChildren_.first())
    if (first->spatialAncestors_.extends(spatialAncestors_, this)) return first->spatialAncestors_;
  return AncestorChain(spatialAncestors_,
                       KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)));
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
      child->ownParentPose();
      spatialChildren_.erase(child);
      touchTopology();
    }
    child = next;
  }
}

void KVRBasicEntity3D::removeSpatialChildren() {
  while (KVRBasicEntity3D* child = spatialChildren_.first()) {
    child->clearSpatialParent(1);
    child->ownParentPose();
    spatialChildren_.erase(child);
    touchTopology();
  }
}

void KVRBasicEntity3D::destroySpatialChildren() {
  while (KVRBasicEntity3D* child = spatialChildren_.first()) {
    child->clearSpatialParent(0);
    // The child's descendants still list this entity among their spatial
    // ancestors (and hold it): its next flush rebuilds their lists.
    child->setEvent(SpatialAncestorsChanged);
    child->ownParentPose();
    spatialChildren_.erase(child);
    touchTopology();
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
  requireFinite(parentBase.isFinite(), L"parent location");
  checkLinkable();
  if (parent) parent->checkLinkable();
  refuseSecondSpatialParent(*this);
  spatialParent_ = parent;
  setParentLocation(parentBase);
  if (moving_) storeMotion(Profile::Identity, findSpatial()->motion->parent);
  composeBaseLocation(parentBase);
  updateSpatialAncestors(AncestorChain::fromContainer(parentAncestors));
}

void KVRBasicEntity3D::setSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) {
  requireEntity(child, L"a spatial child");
  checkLinkable();
  child->checkLinkable();
  // An entity is listed once, under one spatial parent.
  if (decltype(spatialChildren_)::isListed(*child))
    throw KVREAlreadyRegistered(L"%1 is already listed as a spatial child")
        << child->getEntityTitle(FullName, ExternalNameSeparator);
  // Nor below itself: the children lists would form a ring, which no walk
  // down the tree leaves. A child with no children lists nothing above this
  // entity: only this entity itself is to be checked.
  const bool leaf = child->spatialChildren_.empty();
  for (const KVRBasicEntity3D* e = this; e; e = leaf ? nullptr : listOwner(*e))
    if (e == child.get())
      throw KVREInvalidRelation(L"%1 cannot become a spatial child of %2, which lies in its own subtree")
          << child->getEntityTitle(FullName, ExternalNameSeparator)
          << getEntityTitle(FullName, ExternalNameSeparator);
  spatialChildren_.append(child.get());
  touchTopology();
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
  position->ownParentPose();
  spatialChildren_.erase(position);
  touchTopology();
}

void KVRBasicEntity3D::updateSpatialAncestors(const KVRSharedList<KVRBasicEntity3D>& parentAncestors) {
  updateSpatialAncestors(AncestorChain::fromContainer(parentAncestors));
}

void KVRBasicEntity3D::updateSpatialAncestors(const AncestorChain& parentAncestors) {
  spatialAncestors_ = AncestorChain(parentAncestors, spatialParent_);
  spatialDepth_ = spatialAncestors_.size();
  setEvent(SpatialAncestorsChanged);
}

void KVRBasicEntity3D::refreshSpatialAncestors() {
  if (!spatialParent_) return clearSpatialAncestors();
  spatialAncestors_ = spatialParent_->ancestorsForChildren();
  spatialDepth_ = spatialAncestors_.size();
  setEvent(SpatialAncestorsChanged);
}

void KVRBasicEntity3D::clearSpatialAncestors() {
  spatialAncestors_ = AncestorChain();
  spatialDepth_ = 0;
  setEvent(SpatialAncestorsChanged);
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
