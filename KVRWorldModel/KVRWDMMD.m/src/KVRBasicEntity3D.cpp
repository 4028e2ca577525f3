#include "KVRBasicEntity3D.h"

#include <algorithm>
#include <deque>
#include <cmath>
#include <cstring>
#include <new>
#include <typeinfo>
#include <utility>
#include <vector>

#include "KVRAssertion.h"
#include "KVRBasicBody3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicGroup3D.h"
#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPart3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicTagPoint3D.h"
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

// --- Construction ----------------------------------------------------------

struct KVRBasicEntity3D::Motion {
  // Linear velocity, angular velocity, linear acceleration, angular acceleration.
  KVRBasicVector3D<double> base[4];
  KVRBasicVector3D<double> parent[4];
};

// One cache line: a count and a location.
struct alignas(64) KVRBasicEntity3D::ParentPose {
  std::uint32_t references;
  Xform X_WP;
};

// One entity of a flat subtree whose own subtree is being carried through:
// its flush has begun and ends once the entries of its subtree are done.
struct KVRBasicEntity3D::OpenEntry {
  KVRBasicEntity3D* entity;
  std::uint32_t index;  // its own entry
  std::uint32_t end;    // the index just past its subtree
  bool deliver;         // its children receive its base location (its bit 11)
  bool mark;            // its children are marked with bit 12 (its bit 10 or 12)
  // Its notification was begun for real, because something else ran while it
  // was open; then it is held, and so is `next`.
  bool begun;
  // `pose` is the pose its children held, updated in place; `previous` is
  // what it held before, which the children not reached yet still stand for.
  bool inPlace;
  // `pose` is not held: it is its only child's, updated in place for it, and
  // only plain entities have run since. It is held before anything else runs.
  bool borrowed;
  ParentPose* pose;        // held while open when `deliver`: what its children receive
  KVRBasicEntity3D* next;  // its next sibling when it was begun: where its parent's walk goes on
  Xform previous;
};

struct KVRBasicEntity3D::FlatTree {
  struct Entry {
    KVRBasicEntity3D* entity;
    // The pose its children held at the last pass: fetched ahead of the walk
    // (a stale one costs a useless fetch, nothing more).
    const ParentPose* childrenPose;
    std::uint32_t end;  // the index just past the entity's subtree
  };

  // A member of a layout of members: its slot, and its topology when laid out.
  struct Member {
    std::uint32_t slot;
    std::uint32_t topology;
  };

  // The root (entry 0) and every spatial descendant in flush order:
  // depth-first, children in order. A layout of members has each member
  // where the root's children would be, with its subtree below it.
  std::vector<Entry> entries;
  std::vector<OpenEntry> open;  // room for one entity per level
  std::vector<Member> members;
  std::uint32_t era = 0;
  std::uint32_t topology = 0;
  bool running = false;
  // A layout of members: a member's subtree or the members changed. The
  // first pass after that carries them the usual way, the next lays them out.
  bool stale = true;
  bool laidOutNext = false;

  bool isCurrent(const KVRBasicEntity3D& root) const;
  void build(const KVRBasicEntity3D& root);
  void buildMembers(const KVRBasicEntity3D& root, const MemberPass& pass);
  // Appends the subtree below the entry at `index`; its depth below that entry.
  std::size_t appendBelow(std::uint32_t index);
  // A layout kept for many passes holds no more room than it uses.
  void fit() {
    if (entries.capacity() > entries.size() + entries.size() / 8) entries.shrink_to_fit();
    if (open.capacity() > open.size() + open.size() / 8) open.shrink_to_fit();
  }
};

void KVRBasicEntity3D::FlatTreeDeleter::operator()(FlatTree* tree) const { delete tree; }

struct KVRBasicEntity3D::Spatial : RareExtra {
  std::unique_ptr<Motion> motion;  // null while every velocity and acceleration is zero
  std::unique_ptr<FlatTree> flat;
  // The topology at the last propagation that did not use a flat tree: a
  // second one at the same topology lays the subtree out.
  std::uint32_t walkedEra = 0;
  std::uint32_t walkedTopology = 0;
  bool walked = false;
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

// --- Where entities live --------------------------------------------------

namespace {

// AddressSanitizer must see every entity's own allocation to catch the use
// of a freed one: its builds take entities from the heap.
#if defined(__SANITIZE_ADDRESS__)
#define KVR_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVR_ADDRESS_SANITIZER
#endif
#endif
#ifdef KVR_ADDRESS_SANITIZER
constexpr bool FromSlabs = false;
#else
constexpr bool FromSlabs = true;
#endif

constexpr std::size_t Line = 64;
constexpr std::size_t LargestBlockLines = 32;  // larger entities come from the heap
constexpr std::size_t SlabBytes = 256 * 1024;

// Constant-initialised and never destroyed: entities may outlive the
// library's other statics. Slabs are kept for the life of the process.
struct FreeBlock {
  FreeBlock* next;
};

// Blocks of whole lines cut one after the other from slabs; a freed block
// goes to the next one of its size.
struct Slabs {
  FreeBlock* free[LargestBlockLines + 1];
  char* cursor;
  std::size_t left;
};

// Entities, and apart from them the parent locations, whose lines would
// otherwise be strewn between the entities a flush walks.
constinit Slabs entitySlabs = {};
constinit Slabs lineSlabs = {};
constinit std::size_t blockBytes = 0;
constinit std::size_t slabBytes = 0;

std::size_t linesOf(std::size_t size) { return (size + Line - 1) / Line; }
bool fromSlab(std::size_t lines) { return FromSlabs && lines <= LargestBlockLines; }

void keepFree(Slabs& slabs, void* memory, std::size_t lines) {
  FreeBlock* block = static_cast<FreeBlock*>(memory);
  block->next = slabs.free[lines];
  slabs.free[lines] = block;
}

// A block of `lines` cache lines: a free one of that size, else the next
// lines of the present slab, else the start of a new slab.
void* takeBlock(Slabs& slabs, std::size_t lines) {
  const std::size_t bytes = lines * Line;
  if (!fromSlab(lines)) {
    void* block = ::operator new(bytes, std::align_val_t(Line));
    slabBytes += bytes;
    return block;
  }
  if (FreeBlock* block = slabs.free[lines]) {
    slabs.free[lines] = block->next;
    return block;
  }
  if (slabs.left < bytes) {
    char* slab = static_cast<char*>(::operator new(SlabBytes, std::align_val_t(Line)));
    if (slabs.left >= Line) keepFree(slabs, slabs.cursor, slabs.left / Line);  // the rest of the last slab
    slabBytes += SlabBytes;
    slabs.cursor = slab;
    slabs.left = SlabBytes;
  }
  void* block = slabs.cursor;
  slabs.cursor += bytes;
  slabs.left -= bytes;
  return block;
}

void giveBlock(Slabs& slabs, void* memory, std::size_t lines) {
  if (fromSlab(lines))
    keepFree(slabs, memory, lines);
  else
    ::operator delete(memory, std::align_val_t(Line));
}

// A parent location's line. Out of line, so that the flush passes that take
// and give them keep their loops small.
[[gnu::noinline]] void* takeLine() {
  void* line = takeBlock(lineSlabs, 1);
  blockBytes += Line;
  return line;
}

[[gnu::noinline]] void giveLine(void* line) noexcept {
  blockBytes -= Line;
  giveBlock(lineSlabs, line, 1);
}

}  // namespace

void* KVRBasicEntity3D::operator new(std::size_t size) {
  const std::size_t lines = linesOf(size);
  void* block = takeBlock(entitySlabs, lines);  // throws std::bad_alloc before anything is counted
  blockBytes += lines * Line;
  return block;
}

void KVRBasicEntity3D::operator delete(void* memory, std::size_t size) noexcept {
  if (!memory) return;
  const std::size_t lines = linesOf(size);
  blockBytes -= lines * Line;
  giveBlock(entitySlabs, memory, lines);
}

std::size_t KVRBasicEntity3D::getEntityBlockBytes() { return blockBytes; }

std::size_t KVRBasicEntity3D::getEntitySlabBytes() { return slabBytes; }

// --- Shared parent poses --------------------------------------------------

// A pose is one line cut from slabs of their own: a pose allocated on its
// own would cost the heap nearly twice that, for its alignment. Released
// poses wait in the slabs' free list of one-line blocks for the next
// deliveries, which outlives every entity.

KVRBasicEntity3D::ParentPose* KVRBasicEntity3D::acquirePose(const Xform& X_WP) {
  static_assert(sizeof(ParentPose) == Line);
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

void KVRBasicEntity3D::storeBaseLocation(const Xform& location) {
  baseLocation_ = location;
  if (spatialDepth_ != 0 && spatialDepth_ % NormalizationDepth == 0) baseLocation_.normalize();
  if (moving_) storeMotion(Profile::Identity, findSpatial()->motion->base);
  setEvent(BaseLocationChanged);
  noteChange(KVRChangeLog::Moved);
}

void KVRBasicEntity3D::setCachedBaseProfile(const Profile& profile) {
  requireFinite(profile.isFinite(), L"base profile");
  baseLocation_ = profile.getLocation();
  setBaseMotion(profile);
  setEvent(BaseLocationChanged);
  noteChange(KVRChangeLog::Moved);
  setEvent(BaseProfileChanged);
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
