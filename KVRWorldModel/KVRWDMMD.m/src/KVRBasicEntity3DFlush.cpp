// How a 3-D entity's changes reach its subtree: the parent locations that
// siblings share, the flush of one entity, and the flat pass that carries a
// laid-out subtree in one loop.

#include <algorithm>
#include <cstring>
#include <typeinfo>
#include <utility>
#include <vector>

#include "KVRAssertion.h"
#include "KVRBasicBody3D.h"
#include "KVRBasicEntity3DParts.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPart3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRException.h"

using namespace KVREntity3DParts;

namespace {

constexpr std::uint64_t bitsOf(std::initializer_list<int> numbers) {
  std::uint64_t mask = 0;
  for (int n : numbers) mask |= std::uint64_t(1) << n;
  return mask;
}
constexpr std::uint64_t LocationBits =
    bitsOf({KVRBasicEntity3D::LocationSet, KVRBasicEntity3D::BaseLocationChanged,
            KVRBasicEntity3D::AncestorLocationSet});
constexpr std::uint64_t ProfileBits = bitsOf(
    {KVRBasicEntity3D::ProfileSet, KVRBasicEntity3D::BaseProfileChanged, KVRBasicEntity3D::AncestorProfileSet});
constexpr std::uint64_t DeliverBit = bitsOf({KVRBasicEntity3D::BaseLocationChanged});
constexpr std::uint64_t MarkBits =
    bitsOf({KVRBasicEntity3D::LocationSet, KVRBasicEntity3D::AncestorLocationSet});
constexpr std::uint64_t ProfileMarkBits =
    bitsOf({KVRBasicEntity3D::ProfileSet, KVRBasicEntity3D::AncestorProfileSet});

}  // namespace

void KVRBasicEntity3D::FlatTreeDeleter::operator()(FlatTree* tree) const { delete tree; }

// --- Shared parent poses --------------------------------------------------

// A pose is one line cut from slabs of their own: a pose allocated on its
// own would cost the heap nearly twice that, for its alignment. Released
// poses wait in the slabs' free list of one-line blocks for the next
// deliveries, which outlives every entity.

KVRBasicEntity3D::ParentPose* KVRBasicEntity3D::acquirePose(const Xform& X_WP) {
  static_assert(sizeof(ParentPose) == 64);
  return new (takeLine()) ParentPose{1, X_WP};
}

void KVRBasicEntity3D::releasePose(ParentPose* pose) {
  if (!pose || --pose->references != 0) return;
  pose->~ParentPose();
  giveLine(pose);
}

namespace {

// Bit for bit the same location: what may be shared in place of a copy.
bool sameXform(const KVRBasicXform3D<double>& a, const KVRBasicXform3D<double>& b) {
  return std::memcmp(&a.getPosition(), &b.getPosition(), sizeof(KVRBasicVector3D<double>)) == 0 &&
         std::memcmp(&a.getQtn(), &b.getQtn(), sizeof(KVRBasicQtn3D<double>)) == 0;
}

}  // namespace

const KVRBasicEntity3D::Xform& KVRBasicEntity3D::parentLocation() const {
  return parentPose_ ? parentPose_->X_WP : Xform::Identity;
}

// Poses are shared by siblings only, which lets a parent update the pose its
// children hold in place when it delivers a new base location. An entity
// that leaves its siblings, or is given a parent location of its own, takes
// a pose of its own.

void KVRBasicEntity3D::setParentLocation(const Xform& location) {
  if (parentPose_ ? sameXform(parentPose_->X_WP, location) : sameXform(Xform::Identity, location)) return;
  if (sameXform(Xform::Identity, location)) {
    releasePose(std::exchange(parentPose_, nullptr));
  } else if (parentPose_ && parentPose_->references == 1) {
    parentPose_->X_WP = location;
  } else {
    releasePose(std::exchange(parentPose_, acquirePose(location)));
  }
}

void KVRBasicEntity3D::ownParentPose() {
  if (parentPose_ && parentPose_->references > 1)
    releasePose(std::exchange(parentPose_, acquirePose(parentPose_->X_WP)));
}

void KVRBasicEntity3D::shareSiblingPose() {
  const KVRBasicEntity3D* owner = listOwner(*this);
  const KVRBasicEntity3D* sibling = owner ? owner->spatialChildren_.first() : nullptr;
  if (!sibling || sibling == this || sibling->parentPose_ == parentPose_ || !parentPose_ ||
      !sibling->parentPose_ || !sameXform(sibling->parentPose_->X_WP, parentPose_->X_WP))
    return;
  ++sibling->parentPose_->references;
  releasePose(std::exchange(parentPose_, sibling->parentPose_));
}

void KVRBasicEntity3D::receiveParentPose(ParentPose* pose) {
  if (parentPose_ != pose) {
    ++pose->references;
    releasePose(std::exchange(parentPose_, pose));
  }
  if (moving_) storeMotion(Profile::Identity, findSpatial()->motion->parent);
  composeBaseLocation(pose->X_WP);
}

// --- Locations as a flush delivers them ------------------------------------

void KVRBasicEntity3D::storeBaseLocation(const Xform& location) {
  baseLocation_ = location;
  if (spatialDepth_ != 0 && spatialDepth_ % NormalizationDepth == 0) baseLocation_.normalize();
  if (moving_) storeMotion(Profile::Identity, findSpatial()->motion->base);
  setEvent(BaseLocationChanged);
  noteChange(KVRChangeLog::Moved);
}

KVRBasicEntity3D::Kind KVRBasicEntity3D::kind() const {
  if (kind_ == Kind::Unknown) {
    // The exact dynamic class: one derived from these elsewhere may override
    // what the flat pass and the composition in place leave out, whether or
    // not it has a class descriptor of its own. (Never asked while a base
    // constructor runs, when the dynamic class is not known yet.)
    const std::type_info& type = typeid(*this);
    if (type == typeid(KVRBasicFrame3D))
      kind_ = Kind::Frame;
    else if (type == typeid(KVRBasicTagPoint3D))
      kind_ = Kind::TagPoint;
    else if (type == typeid(KVRBasicPath3D))
      kind_ = Kind::Path;
    else if (type == typeid(KVRBasicBody3D) || type == typeid(KVRBasicPart3D) ||
             type == typeid(KVRBasicMfgAssembly3D))
      kind_ = Kind::Body;
    else
      kind_ = Kind::Other;
  }
  return kind_;
}

const KVRBasicEntity3D::Xform* KVRBasicEntity3D::relativeInPlace() const {
  switch (kind()) {
    case Kind::Frame:
      return &static_cast<const KVRBasicFrame3D*>(this)->relativeLocation_;
    case Kind::TagPoint:
      return &static_cast<const KVRBasicTagPoint3D*>(this)->relativeLocation_;
    case Kind::Path:
      return &static_cast<const KVRBasicPath3D*>(this)->relativeLocation_;
    default:
      return storedRelativeLocation();
  }
}

void KVRBasicEntity3D::composeBaseLocation(const Xform& X_WP) {
  if (const Xform* X_PE = relativeInPlace())
    storeBaseLocation(X_WP * *X_PE);
  else
    storeBaseLocation(X_WP * getRelativeLocation());
}

// --- Topology stamps -------------------------------------------------------

namespace {

// Stamps of children lists: a flat subtree is current while its root bears
// the stamp it had when the subtree was laid out. The era changes when the
// stamps wrap around, which makes every flat subtree out of date.
std::uint32_t topologyClock = 0;
std::uint32_t topologyEra = 0;

std::uint32_t nextTopologyStamp() {
  if (++topologyClock == 0x80000000u) {  // the top bit is the unread mark
    ++topologyEra;
    topologyClock = 1;
  }
  return topologyClock;
}

}  // namespace

KVRBasicEntity3D* KVRBasicEntity3D::listOwner(const KVRBasicEntity3D& entity) {
  const void* list = entity.spatialLinks_.owner;
  if (!list) return nullptr;
  // Every list of spatial children is the member of a 3-D entity, at the same place in each.
  const std::ptrdiff_t offset =
      reinterpret_cast<const char*>(&entity.spatialChildren_) - reinterpret_cast<const char*>(&entity);
  return reinterpret_cast<KVRBasicEntity3D*>(const_cast<char*>(static_cast<const char*>(list)) - offset);
}

void KVRBasicEntity3D::touchTopology() {
  // This entity's list changed: so did the subtree of every entity above it
  // in the lists, each of which takes a new stamp and is marked unread. An
  // entity marked unread already has every entity above it marked too (a
  // flat subtree built reads its whole subtree at once): the walk ends there,
  // so building a tree downwards costs no walk up per link. The lists form
  // no ring, but a mark met twice would end the walk anyway.
  const std::uint32_t stamp = nextTopologyStamp() | UnreadTopology;
  for (KVRBasicEntity3D* e = this; e && !(e->spatialChildren_.ownerStamp() & UnreadTopology);
       e = listOwner(*e))
    e->spatialChildren_.setOwnerStamp(stamp);
}

// --- Flushing --------------------------------------------------------------

void KVRBasicEntity3D::flushBaseLocation() {
  setEvent(BaseLocationChanged);
  flushSpatialState();
}

void KVRBasicEntity3D::onNotification() {
  switch (placeToHandDown()) {
    case Place::Profile:
      propagateBaseProfile();
      break;
    case Place::Location:
      propagateBaseLocation();
      break;
    case Place::None:
      break;
  }
  if (handsDownAncestors()) propagateSpatialAncestors();
}

KVRBasicEntity3D::Place KVRBasicEntity3D::placeToHandDown() const {
  const std::uint64_t bits = getPendingEvents().to_ullong();
  if (bits & ProfileBits) return Place::Profile;
  if ((bits & LocationBits) && !locationAwaitsParent()) return Place::Location;
  return Place::None;
}

KVRBasicEntity3D::Handing KVRBasicEntity3D::handingOf(Place place) const {
  const std::uint64_t bits = getPendingEvents().to_ullong();
  const std::uint64_t marks = place == Place::Profile ? ProfileMarkBits : MarkBits;
  return {(bits & DeliverBit) != 0, (bits & marks) != 0};
}

void KVRBasicEntity3D::handAncestorsTo(KVRBasicEntity3D& child, AncestorChain& shared) const {
  if (child.spatialParent_.get() != this) {
    child.updateSpatialAncestors(spatialAncestors_);
    return;
  }
  // A child whose list is already this entity's list and this entity keeps
  // it: nothing changed for it or below it.
  if (child.spatialAncestors_.extends(spatialAncestors_, this)) return;
  if (!shared.extends(spatialAncestors_, this))
    shared = AncestorChain(spatialAncestors_, KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(this)));
  child.spatialAncestors_ = shared;
  child.spatialDepth_ = shared.size();
  child.setEvent(SpatialAncestorsChanged);
}

// An entity flushed while its parent's notification runs, before the
// parent's spatial hook (by the parent's logical hook, as a first flush after
// a build does), is flushed again by that hook, with what the parent is about
// to hand down. What it would hand down itself now is then stale, and handing
// it down would be done again once per level above: the first flush of a
// chain would do work in proportion to the depth of every entity. So it waits
// when the parent's propagation brings it all again.

const KVRBasicEntity3D* KVRBasicEntity3D::parentStillToPropagate() const {
  const KVRBasicEntity3D* parent = spatialParent_.get();
  if (!parent || listOwner(*this) != parent || !parent->isNotifying()) return nullptr;
  // The parent's hooks are its logical hook and then its spatial one, which has not begun.
  const std::uint32_t secondHook = 0xFF0000;
  if ((parent->getHookSignature() & secondHook) != (plainHookSignature_ & secondHook)) return nullptr;
  return parent->getHooksBegun() < 2 ? parent : nullptr;
}

bool KVRBasicEntity3D::locationAwaitsParent() const {
  const KVRBasicEntity3D* parent = parentStillToPropagate();
  if (!parent) return false;
  const std::uint64_t mine = getPendingEvents().to_ullong();
  const std::uint64_t theirs = parent->getPendingEvents().to_ullong();
  // The parent delivers its base location and marks this entity when this
  // entity's own bits would mark its children; profiles go their own way.
  return ((mine | theirs) & ProfileBits) == 0 && (theirs & DeliverBit) != 0 &&
         ((mine & MarkBits) == 0 || (theirs & MarkBits) != 0);
}

bool KVRBasicEntity3D::ancestorsAwaitParent() const {
  // The parent hands this entity its list when the list is not the parent's
  // list and the parent (a list already current is left alone).
  const KVRBasicEntity3D* parent = parentStillToPropagate();
  return parent && parent->testEvent(SpatialAncestorsChanged) &&
         !spatialAncestors_.extends(parent->spatialAncestors_, parent);
}

void KVRBasicEntity3D::prefetchForPropagation() const {
  // The lines a propagation touches: the notification state at the start of
  // the object, and the two lines from the flush's fields of this part on,
  // which hold the base location and, for the classes that store it, the
  // relative location right after this part.
  const char* object = reinterpret_cast<const char*>(this);
  const char* hot = reinterpret_cast<const char*>(&kind_);
  __builtin_prefetch(object, 1);
  __builtin_prefetch(hot, 1);
  __builtin_prefetch(hot + 64, 1);
}

template <class Visit>
bool KVRBasicEntity3D::walkSpatialChildren(KVRBasicEntity3D* first, Visit visit) const {
  // As KVRSiblingList::walk, from `first` on.
  KVRSharedHandle<KVRBasicEntity3D> item(first, KVRSharedBase::WriteLock);
  while (item) {
    KVRSharedHandle<KVRBasicEntity3D> next(spatialChildren_.next(*item));
    // Memory latency dominates large trees: start fetching the next sibling
    // and the child's first child while this child is updated.
    if (next) next->prefetchForPropagation();
    if (const KVRBasicEntity3D* grandchild = item->spatialChildren_.first())
      grandchild->prefetchForPropagation();
    visit(*item);
    if (next && !spatialChildren_.contains(next.get())) return false;
    item = std::move(next);
  }
  return true;
}

void KVRBasicEntity3D::raiseAgain(int bit) const {
  // Raised during this entity's own run, the bit stays pending after it.
  const_cast<KVRBasicEntity3D*>(this)->setEvent(bit);
}

namespace {

// Propagations of locations running, nested ones included. Only an outermost
// one uses a flat subtree: a nested one runs inside another's pass.
int propagationsRunning = 0;

class PropagationScope {
 public:
  PropagationScope() { ++propagationsRunning; }
  ~PropagationScope() { --propagationsRunning; }
  PropagationScope(const PropagationScope&) = delete;
  PropagationScope& operator=(const PropagationScope&) = delete;
};

// The pending bits that make an entity's own hooks do more than carry its
// location down: names and ancestors (3, 5), a reset (8), spatial ancestors
// (9), profiles (13 to 15).
constexpr std::uint64_t MoreThanLocationBits = bitsOf(
    {KVRBasicEntity::FullNameChanged, KVRBasicEntity::LogicalAncestorsChanged, KVRBasicEntity::ResetRequested,
     KVRBasicEntity3D::SpatialAncestorsChanged, KVRBasicEntity3D::ProfileSet,
     KVRBasicEntity3D::BaseProfileChanged, KVRBasicEntity3D::AncestorProfileSet});

}  // namespace

void KVRBasicEntity3D::enterPropagation() { ++propagationsRunning; }
void KVRBasicEntity3D::leavePropagation() { --propagationsRunning; }

void KVRBasicEntity3D::propagateBaseLocation() const {
  const Handing handing = handingOf(Place::Location);
  const bool deliver = handing.deliver, mark = handing.mark;
  KVRBasicEntity3D* first = spatialChildren_.first();
  if (!first) return;
  FlatTree* tree = flatTreeToUse();
  const PropagationScope scope;
  if (tree) {
    propagateLocationFlat(*tree, deliver, mark);
    return;
  }
  ParentPose* pose = deliver ? acquirePose(baseLocation_) : nullptr;
  try {
    propagateLocationByWalking(first, deliver, mark, pose);
  } catch (...) {
    releasePose(pose);
    throw;
  }
  releasePose(pose);
}

void KVRBasicEntity3D::propagateBaseLocationToChildren(
    const std::vector<const KVRBasicEntity3D*>& skip) const {
  KVRBasicEntity3D* first = spatialChildren_.first();
  if (!first) return;
  const Handing handing = handingOf(Place::Location);
  const bool deliver = handing.deliver, mark = handing.mark;
  const PropagationScope scope;
  ParentPose* pose = deliver ? acquirePose(baseLocation_) : nullptr;
  try {
    propagateLocationByWalking(first, deliver, mark, pose, &skip);
  } catch (...) {
    releasePose(pose);
    throw;
  }
  releasePose(pose);
}

void KVRBasicEntity3D::propagateLocationByWalking(KVRBasicEntity3D* first, bool deliver, bool mark,
                                                  ParentPose* pose,
                                                  const std::vector<const KVRBasicEntity3D*>* skip) const {
  const bool walked = walkSpatialChildren(first, [&](KVRBasicEntity3D& child) {
    if (skip && std::find(skip->begin(), skip->end(), &child) != skip->end()) return;
    if (deliver) child.receiveParentPose(pose);
    if (mark) child.setEvent(AncestorLocationSet);
    child.flushSpatialState();
  });
  // A child was taken out ahead of the walk, which cannot tell which of the
  // rest it reached: the next flush delivers the base location to them all.
  if (!walked && deliver) raiseAgain(BaseLocationChanged);
}

// --- The flat pass ---------------------------------------------------------

bool KVRBasicEntity3D::FlatTree::isCurrent(const KVRBasicEntity3D& root) const {
  return era == topologyEra && topology == root.topology();
}

std::size_t KVRBasicEntity3D::FlatTree::appendBelow(std::uint32_t index) {
  const KVRBasicEntity3D& top = *entries[index].entity;
  // Depth first, children in order: for each level, its entry and the child to visit next.
  std::vector<std::pair<std::uint32_t, KVRBasicEntity3D*>> path{{index, top.spatialChildren_.first()}};
  std::size_t depth = 1;
  while (!path.empty()) {
    KVRBasicEntity3D* child = path.back().second;
    if (!child) {
      entries[path.back().first].end = static_cast<std::uint32_t>(entries.size());
      path.pop_back();
      continue;
    }
    path.back().second = top.spatialChildren_.next(*child);
    child->kind();  // found once, here
    child->markTopologyRead();
    path.emplace_back(static_cast<std::uint32_t>(entries.size()), child->spatialChildren_.first());
    entries.push_back({child, nullptr, 0});
    depth = std::max(depth, path.size());
  }
  return depth;
}

void KVRBasicEntity3D::FlatTree::build(const KVRBasicEntity3D& root) {
  entries.clear();
  members.clear();
  entries.push_back({const_cast<KVRBasicEntity3D*>(&root), nullptr, 0});
  open.resize(appendBelow(0) + 1);
  fit();
  const_cast<KVRBasicEntity3D&>(root).markTopologyRead();
  era = topologyEra;
  topology = root.topology();
}

void KVRBasicEntity3D::FlatTree::buildMembers(const KVRBasicEntity3D& root, const MemberPass& pass) {
  entries.clear();
  members.clear();
  entries.push_back({const_cast<KVRBasicEntity3D*>(&root), nullptr, 0});
  std::size_t depth = 1;
  for (std::uint32_t slot = 0, slots = pass.slots(); slot < slots; ++slot) {
    KVRBasicEntity3D& member = pass.memberAt(slot);
    member.kind();
    member.markTopologyRead();  // so that any change below it gives it a new stamp
    members.push_back({slot, member.topology()});
    const auto index = static_cast<std::uint32_t>(entries.size());
    entries.push_back({&member, nullptr, 0});
    depth = std::max(depth, appendBelow(index) + 1);
  }
  entries[0].end = static_cast<std::uint32_t>(entries.size());
  open.resize(depth + 1);
  fit();
  era = topologyEra;
  stale = false;
}

int KVRBasicEntity3D::getLayoutSize(const MemberLayout& layout) {
  if (!flatPropagation_ || !layout || layout->stale || layout->era != topologyEra) return 0;
  return static_cast<int>(layout->entries.size()) - 1;
}

bool KVRBasicEntity3D::carryMembersFlat(MemberLayout& layout, const MemberPass& pass) const {
  if (!flatPropagation_ || propagationsRunning != 0) return false;
  if (!layout) layout.reset(new FlatTree);
  FlatTree& tree = *layout;
  if (tree.running) return false;
  if (tree.stale || tree.era != topologyEra || tree.members.size() != pass.slots()) {
    // Laid out at the second pass without a change between, as a subtree is.
    if (!std::exchange(tree.laidOutNext, true)) return false;
    tree.buildMembers(*this, pass);
  }
  tree.laidOutNext = false;
  const PropagationScope scope;
  propagateLocationFlat(tree, false, false, &pass);
  return true;
}

bool KVRBasicEntity3D::flatPropagation_ = true;

void KVRBasicEntity3D::setFlatPropagation(bool enabled) { flatPropagation_ = enabled; }

bool KVRBasicEntity3D::isFlatPropagationEnabled() { return flatPropagation_; }

int KVRBasicEntity3D::getFlatSubtreeSize() const {
  const Spatial* parts = findSpatial();
  if (!flatPropagation_ || !parts || !parts->flat || !parts->flat->isCurrent(*this)) return 0;
  return static_cast<int>(parts->flat->entries.size());
}

KVRBasicEntity3D::FlatTree* KVRBasicEntity3D::flatTreeToUse() const {
  if (!flatPropagation_ || propagationsRunning != 0) return nullptr;
  Spatial& parts = spatial();
  if (parts.flat) {
    if (parts.flat->running) return nullptr;
    if (!parts.flat->isCurrent(*this)) parts.flat->build(*this);
    return parts.flat.get();
  }
  // A subtree is laid out at its second propagation without a change of its
  // links between: an entity flushed once is walked instead.
  if (parts.walked && parts.walkedEra == topologyEra && parts.walkedTopology == topology()) {
    parts.flat = std::make_unique<FlatTree>();
    parts.flat->build(*this);
    return parts.flat.get();
  }
  parts.walked = true;
  parts.walkedEra = topologyEra;
  parts.walkedTopology = topology();
  return nullptr;
}

KVRBasicEntity3D::FlatTree* KVRBasicEntity3D::currentFlatTree() const {
  if (!flatPropagation_ || propagationsRunning != 0) return nullptr;
  const Spatial* parts = findSpatial();
  if (!parts || !parts->flat || parts->flat->running || !parts->flat->isCurrent(*this)) return nullptr;
  return parts->flat.get();
}

bool KVRBasicEntity3D::isPlainNow() const {
  switch (kind()) {
    case Kind::Frame:
    case Kind::TagPoint:
    case Kind::Path:
      break;
    case Kind::Body:
      if (!storedRelativeLocation()) return false;  // hangs on a connection that computes its location
      break;
    default:
      return false;
  }
  return !hasObservers() && getHookSignature() == plainHookSignature_ && !isNotifying() &&
         (getPendingEvents().to_ullong() & MoreThanLocationBits) == 0;
}

[[gnu::flatten]] void KVRBasicEntity3D::propagateLocationFlat(FlatTree& tree, bool deliver, bool mark,
                                                             const MemberPass* members) const {
  // Plays the recursive flush, entity by entity in flush order. An entity
  // with nothing watching it is updated and its flush carried through in
  // place: its bits cleared when its subtree is done, as its own flush would
  // have. One that is watched is flushed as usual and its subtree skipped
  // here, its flush doing that part. Before such a flush, every entity whose
  // subtree is still open begins its notification for real (so that what
  // the flush does to it is seen as done during its run), is held, and its
  // children not reached yet are given back the parent location they stand
  // for. When the flush changed the links below this entity, the walks of
  // the open entities go on child by child through the live children lists.
  tree.running = true;
  const std::uint32_t n = static_cast<std::uint32_t>(tree.entries.size());
  FlatTree::Entry* entries = tree.entries.data();
  OpenEntry* open = tree.open.data();
  int top = -1;
  std::uint32_t unreached = 1;  // the first entry not given its parent's location yet
  bool rootHeld = false;
  // How far ahead entities and the poses their children hold are fetched.
  constexpr std::uint32_t Ahead = 12;
  std::uint32_t member = 0;  // with `members`: the members reached
  // Where the lines a propagation touches begin (as prefetchForPropagation has them).
  const std::ptrdiff_t hotOffset = reinterpret_cast<const char*>(&kind_) - reinterpret_cast<const char*>(this);
  bool handedOver = false;   // the rest of the members were left to the usual steps

  // Opens the entry at `index`: its children are to receive its base location.
  const auto openEntry = [&](KVRBasicEntity3D& entity, std::uint32_t index, bool delivers, bool marks) {
    OpenEntry& e = open[++top];
    e.entity = &entity;
    e.index = index;
    e.end = entries[index].end;
    e.deliver = delivers;
    e.mark = marks;
    e.begun = top == 0;  // this entity's own notification is its caller's
    e.inPlace = false;
    e.borrowed = false;
    e.pose = nullptr;
    e.next = nullptr;
    if (!delivers) return;
    // Poses are shared by siblings only: the one the first child holds is
    // updated in place (and held meanwhile), else a new one is taken. An
    // only child is reached next, before anything but this pass can run:
    // nothing has to be kept for it, and nothing can drop its pose meanwhile.
    if (ParentPose* pose = entries[index + 1].entity->parentPose_) {
      if (entries[index + 1].end == e.end) {
        e.borrowed = true;
      } else {
        e.previous = pose->X_WP;
        ++pose->references;
        e.inPlace = true;
      }
      pose->X_WP = entity.baseLocation_;
      e.pose = pose;
    } else {
      e.pose = acquirePose(entity.baseLocation_);
    }
    entries[index].childrenPose = e.pose;
  };
  // The children of the open entries not reached yet stand for the parent
  // location as it was: give them back a pose with it before anything else runs.
  const auto restoreUnreached = [&] {
    for (int level = 0; level <= top; ++level) {
      OpenEntry& e = open[level];
      if (e.borrowed) {
        ++e.pose->references;
        e.borrowed = false;
      }
      if (!e.inPlace) continue;
      e.inPlace = false;
      ParentPose* before = nullptr;
      for (std::uint32_t j = e.index + 1; j < e.end; j = entries[j].end) {
        KVRBasicEntity3D& child = *entries[j].entity;
        if (j < unreached || child.parentPose_ != e.pose) continue;
        if (before)
          ++before->references;
        else
          before = acquirePose(e.previous);
        --e.pose->references;  // e still holds it
        child.parentPose_ = before;
      }
    }
  };
  // Ends the flush of an open entity whose subtree is done: the rest of its
  // spatial hook, its subscribers, the end of its notification.
  const auto dropPose = [](OpenEntry& e) {
    if (!std::exchange(e.borrowed, false)) releasePose(e.pose);
    e.pose = nullptr;
  };
  const auto close = [&dropPose](OpenEntry& e) {
    dropPose(e);
    KVRBasicEntity3D& entity = *e.entity;
    if (!e.begun) {
      entity.clearEvents();  // nothing else ran: nothing was set during its run
      return;
    }
    const KVRSharedHandle<KVRBasicEntity3D> held(std::exchange(e.entity, nullptr));
    entity.releaseReference();  // the hold taken when it was begun; `held` keeps it meanwhile
    if (KVRBasicEntity3D* next = std::exchange(e.next, nullptr)) next->releaseReference();
    try {
      if (entity.handsDownAncestors()) entity.propagateSpatialAncestors();
      entity.publishToSubscribers();
    } catch (...) {
      entity.abandonNotification();
      throw;
    }
    entity.endNotification();
  };

  // Before anything but this pass runs: the root is kept alive through it.
  const auto holdRoot = [&] {
    restoreUnreached();
    if (!rootHeld) {
      addReference();
      rootHeld = true;
    }
  };

  try {
    openEntry(*entries[0].entity, 0, deliver, mark);
    std::uint32_t i = 1;
    while (i < n) {
      while (i >= open[top].end) close(open[top--]);
      if (i + Ahead < n) {
        // By address alone: in a layout of members, an entry ahead may belong
        // to a subtree that changed, and be gone.
        const char* ahead = reinterpret_cast<const char*>(entries[i + Ahead].entity);
        __builtin_prefetch(ahead, 1);
        __builtin_prefetch(ahead + hotOffset, 1);
        __builtin_prefetch(ahead + hotOffset + 64, 1);
        if (const ParentPose* pose = entries[i + Ahead].childrenPose) __builtin_prefetch(pose, 1);
      }
      const OpenEntry& parent = open[top];
      KVRBasicEntity3D& child = *entries[i].entity;
      if (members && top == 0) {
        // A member: placed by the pass, or carried the usual way. One no
        // longer at its slot may be gone: it is not read then.
        const FlatTree::Member& m = tree.members[member++];
        MemberPass::Outcome outcome = MemberPass::Outcome::Changed;
        if (m.slot < members->slots() && &members->memberAt(m.slot) == &child) {
          const bool laidOut = child.topology() == m.topology;
          if (!laidOut) tree.stale = true;
          const bool inPlace = laidOut && child.isPlainNow() && !child.parentStillToPropagate();
          outcome = members->place(m.slot, child, inPlace);
        }
        if (outcome == MemberPass::Outcome::Skipped) {
          i = entries[i].end;
          continue;
        }
        if (outcome != MemberPass::Outcome::Placed) {
          holdRoot();
          if (outcome == MemberPass::Outcome::Usual) {
            members->carryUsual(m.slot);
            i = entries[i].end;
            continue;
          }
          tree.stale = true;
          members->carryFrom(m.slot);
          handedOver = true;
          break;
        }
      } else {
        if (parent.deliver) child.receiveParentPose(parent.pose);
        if (parent.mark) child.setEvent(AncestorLocationSet);
      }
      unreached = i + 1;

      if (child.isPlainNow()) {
        const std::uint64_t bits = child.getPendingEvents().to_ullong();
        if ((bits & LocationBits) && entries[i].end > i + 1) {
          openEntry(child, i, (bits & DeliverBit) != 0, (bits & MarkBits) != 0);
          ++i;
        } else {
          child.clearEvents();
          i = entries[i].end;
        }
        continue;
      }

      // Flushed as usual. The entities open above it begin their notifications now.
      holdRoot();
      for (int level = 1; level <= top; ++level) {
        OpenEntry& e = open[level];
        if (e.begun) continue;
        e.entity->beginNotification();  // not running when opened, and nothing ran since
        e.entity->addReference();
        // A member stands in no list of the root's: the root's walk goes on by slot.
        if (!members || level > 1) e.next = open[level - 1].entity->spatialChildren_.next(*e.entity);
        if (e.next) e.next->addReference();
        e.begun = true;
      }
      const KVRSharedHandle<KVRBasicEntity3D> held(&child, KVRSharedBase::WriteLock);
      KVRSharedHandle<KVRBasicEntity3D> next(open[top].entity->spatialChildren_.next(child));
      child.flushSpatialState();
      if (members ? open[1].entity->topology() == tree.members[member - 1].topology : tree.isCurrent(*this)) {
        i = entries[i].end;
        continue;
      }
      // The links changed: the open entities' walks go on through the lists,
      // and the root's through the members after this one.
      if (members) tree.stale = true;
      for (;;) {
        OpenEntry& e = open[top];
        if (members && top == 0) {
          members->carryFrom(tree.members[member - 1].slot + 1);
          handedOver = true;
          break;
        }
        if (next && e.entity->spatialChildren_.contains(next.get()))
          e.entity->propagateLocationByWalking(next.get(), e.deliver, e.mark, e.pose);
        else if (next && e.deliver)
          e.entity->raiseAgain(BaseLocationChanged);  // as a walk cut short does
        if (top == 0) break;
        next = KVRSharedHandle<KVRBasicEntity3D>(e.next);  // its parent's walk goes on after it
        close(open[top--]);
      }
      break;
    }
    while (top > 0) close(open[top--]);
    // Members added meanwhile come after the others, as by slot they do.
    if (members && !handedOver && members->slots() > tree.members.size()) {
      tree.stale = true;
      holdRoot();
      members->carryFrom(static_cast<std::uint32_t>(tree.members.size()));
    }
  } catch (...) {
    restoreUnreached();
    for (; top > 0; --top) {
      OpenEntry& e = open[top];
      dropPose(e);
      if (!e.begun) continue;
      e.entity->abandonNotification();
      if (e.next) e.next->releaseReference();
      e.entity->releaseReference();
    }
    if (top == 0) dropPose(open[0]);
    tree.running = false;
    if (rootHeld) releaseReference();
    throw;
  }
  dropPose(open[0]);
  tree.running = false;
  if (rootHeld) releaseReference();
}

void KVRBasicEntity3D::propagateBaseProfile() const {
  const Profile base = getBaseProfile();
  const Handing handing = handingOf(Place::Profile);
  const bool deliver = handing.deliver, mark = handing.mark;
  KVRBasicEntity3D* first = spatialChildren_.first();
  if (!first) return;
  const bool walked = walkSpatialChildren(first, [&](KVRBasicEntity3D& child) {
    if (deliver) child.updateParentProfile(base);
    if (mark) child.setEvent(AncestorProfileSet);
    child.flushSpatialState();
  });
  if (!walked && deliver) raiseAgain(BaseLocationChanged);
}

void KVRBasicEntity3D::propagateSpatialAncestors() const {
  KVRBasicEntity3D* first = spatialChildren_.first();
  if (!first) return;
  // Made once for the children whose parent this entity is, and again when
  // this entity's own list changes while they are flushed.
  AncestorChain shared;
  const bool walked = walkSpatialChildren(first, [&](KVRBasicEntity3D& child) {
    handAncestorsTo(child, shared);
    child.flushSpatialState();
  });
  if (!walked) raiseAgain(SpatialAncestorsChanged);
}
