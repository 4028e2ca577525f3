#include "KVRBasicGroup3D.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <unordered_set>
#include <utility>

#include "KVRBasicPath3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRException.h"
#include "KVRMathConst.h"
#include "KVRShuttlePlannerExt.h"

constinit const KVRClassInfo KVRBasicGroup3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicGroup3D>("KVRBasicGroup3D", KVRBasicBody3D::ClassInfo_);
constinit const KVRUUID KVRBasicGroup3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e10");

namespace {

std::wstring fullNameOf(const KVRBasicEntity& entity) {
  return entity.getEntityName(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

std::wstring baseNameOf(const KVRBasicEntity& entity) {
  return entity.getEntityName(KVRBasicEntity::BaseName, KVRBasicEntity::ExternalNameSeparator);
}

KVRMessage titleOf(const KVRBasicEntity& entity) {
  return entity.getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

[[noreturn]] void throwNotAMember() { throw KVRENotFound(L"Entity not found"); }

// Marks a propagation as running for as long as it lasts, exceptions included.
class PropagationScope {
 public:
  explicit PropagationScope(bool& running) : running_(running) { running_ = true; }
  ~PropagationScope() { running_ = false; }
  PropagationScope(const PropagationScope&) = delete;
  PropagationScope& operator=(const PropagationScope&) = delete;

 private:
  bool& running_;
};

}  // namespace

// --- Entries -----------------------------------------------------------------

KVRBasicGroup3D::GroupSubEntry::GroupSubEntry() = default;

KVRBasicGroup3D::GroupSubEntry::GroupSubEntry(const KVRSharedHandle<KVRBasicEntity>& member,
                                              const Xform& X_GM, int propagatingFlag, int alwaysActiveFlag)
    : entity(KVRSharedHandle<KVRBasicEntity3D>::downcast(member)),
      relativeLocation(X_GM),
      propagating(propagatingFlag),
      alwaysActive(alwaysActiveFlag) {}

// --- Construction ------------------------------------------------------------

int KVRBasicGroup3D::count_ = 0;

KVRBasicGroup3D::KVRBasicGroup3D() { ++count_; }

KVRBasicGroup3D::KVRBasicGroup3D(const KVRBasicGroup3D& source, CopyMode mode)
    : KVRBasicBody3D(source, mode), active_(source.active_) {
  ++count_;
}

KVRBasicGroup3D::~KVRBasicGroup3D() {
  KVRBasicGroup3D::orphanObject();
  entries_.clear();
  --count_;
}

const KVRClassInfo& KVRBasicGroup3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicGroup3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicGroup3D::getEntityTypeName() const { return KVRMessage(L"Group"); }

// --- Finding entries -----------------------------------------------------------

int KVRBasicGroup3D::findEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity,
                                EntryList::const_iterator& position) const {
  position = std::find_if(entries_.begin(), entries_.end(),
                          [&](const GroupSubEntry& entry) { return entry.entity == entity; });
  return entity && position != entries_.end();
}

int KVRBasicGroup3D::findEntity(const std::wstring& name, EntryList::const_iterator& position) const {
  position = std::find_if(entries_.begin(), entries_.end(),
                          [&](const GroupSubEntry& entry) { return baseNameOf(*entry.entity) == name; });
  return position != entries_.end();
}

// The mutable forms find through the read-only ones.
int KVRBasicGroup3D::findEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity,
                                EntryList::iterator& position) {
  EntryList::const_iterator found;
  const int result = std::as_const(*this).findEntity(entity, found);
  position = entries_.begin() + (found - entries_.cbegin());
  return result;
}

int KVRBasicGroup3D::findEntity(const std::wstring& name, EntryList::iterator& position) {
  EntryList::const_iterator found;
  const int result = std::as_const(*this).findEntity(name, found);
  position = entries_.begin() + (found - entries_.cbegin());
  return result;
}

// --- Membership: queries -------------------------------------------------------

int KVRBasicGroup3D::hasEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  EntryList::const_iterator position;
  return findEntity(entity, position);
}

int KVRBasicGroup3D::hasEntity(const std::wstring& name) const {
  EntryList::const_iterator position;
  return findEntity(name, position);
}

KVRSharedHandle<KVRBasicEntity3D> KVRBasicGroup3D::getEntity(const std::wstring& name) const {
  EntryList::const_iterator position;
  return findEntity(name, position) ? position->entity : KVRSharedHandle<KVRBasicEntity3D>();
}

template <class Container>
void KVRBasicGroup3D::appendEntities(const KVRClassInfo* info, Container& entities) const {
  for (const GroupSubEntry& entry : entries_)
    if (!info || entry.entity.isDerivedFrom(*info)) entities.push_back(entry.entity);
}

void KVRBasicGroup3D::getEntities(KVRSharedVector<KVRBasicEntity3D>& entities) const {
  appendEntities(nullptr, entities);
}

void KVRBasicGroup3D::getEntities(KVRSharedList<KVRBasicEntity3D>& entities) const {
  appendEntities(nullptr, entities);
}

void KVRBasicGroup3D::getEntities(const KVRClassInfo& info,
                                  KVRSharedVector<KVRBasicEntity3D>& entities) const {
  appendEntities(&info, entities);
}

void KVRBasicGroup3D::getEntities(const KVRClassInfo& info, KVRSharedList<KVRBasicEntity3D>& entities) const {
  appendEntities(&info, entities);
}

unsigned int KVRBasicGroup3D::getEntityCount(const KVRClassInfo& info) const {
  KVRSharedVector<KVRBasicEntity3D> members;
  getEntities(info, members);
  return static_cast<unsigned int>(members.size());
}

// --- Propagating flags -----------------------------------------------------------

namespace {

// The first spatial ancestor of `entity`, root first, that `isMember` accepts.
template <class IsMember>
KVRSharedHandle<KVRBasicEntity3D> firstAncestorWhere(const KVRSharedHandle<KVRBasicEntity3D>& entity,
                                                     IsMember isMember) {
  if (!entity) return KVRSharedHandle<KVRBasicEntity3D>();
  KVRSharedVector<KVRBasicEntity3D> ancestors;
  entity->getSpatialAncestors(ancestors);
  for (const auto& ancestor : ancestors)
    if (isMember(ancestor)) return ancestor;
  return KVRSharedHandle<KVRBasicEntity3D>();
}

}  // namespace

KVRSharedHandle<KVRBasicEntity3D> KVRBasicGroup3D::getAncestor(
    const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  return firstAncestorWhere(entity, [this](const auto& ancestor) { return hasEntity(ancestor) != 0; });
}

KVRSharedHandle<KVRBasicEntity3D> KVRBasicGroup3D::getPropagatingAncestor(
    const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  return firstAncestorWhere(entity, [this](const auto& ancestor) {
    return std::any_of(entries_.begin(), entries_.end(), [&](const GroupSubEntry& entry) {
      return entry.propagating && entry.entity == ancestor;
    });
  });
}

void KVRBasicGroup3D::deActivatePropagationToChildren(const KVRSharedHandle<KVRBasicEntity3D>& entity) {
  // Only entries below `entity` can have it as propagating ancestor; an
  // entity without spatial children has none below it.
  if (!entity || entity->getSpatialChildrenCount() == 0) return;
  for (GroupSubEntry& entry : entries_) {
    if (!entry.propagating || !entry.entity->hasSpatialAncestor(entity)) continue;
    if (getPropagatingAncestor(entry.entity) == entity) entry.propagating = 0;
  }
}

void KVRBasicGroup3D::ActivatePropagationNextLevel() {
  // Flags only ever go from 0 to 1 here, and whether an entry has a member
  // above it does not depend on the flags: one sorted table of the members
  // answers every entry.
  std::vector<const KVRBasicEntity3D*> members;
  KVRSharedVector<KVRBasicEntity3D> ancestors;
  for (GroupSubEntry& entry : entries_) {
    if (entry.propagating) continue;
    if (members.empty()) {
      members.reserve(entries_.size());
      for (const GroupSubEntry& e : entries_) members.push_back(e.entity.get());
      std::sort(members.begin(), members.end());
    }
    entry.entity->getSpatialAncestors(ancestors);
    const bool memberAbove = std::any_of(ancestors.begin(), ancestors.end(), [&](const auto& ancestor) {
      return std::binary_search(members.begin(), members.end(), ancestor.get());
    });
    if (!memberAbove) entry.propagating = 1;
  }
}

// --- Membership: changes ---------------------------------------------------------

namespace {

// The planner path of a shuttle; null for another entity or without one.
const KVRBasicPath3D* plannerPathOf(const KVRBasicEntity3D& entity) {
  if (!entity.isDerivedFrom(KVRBasicShuttle3D::ClassInfo_)) return nullptr;
  const auto planner =
      KVRSharedHandle<KVRShuttlePlannerExt>::downcast(entity.getExtension(KVRShuttlePlannerExt::ClassID_));
  return planner ? planner->getPath().get() : nullptr;
}

}  // namespace

bool KVRBasicGroup3D::carries(const KVRBasicEntity3D& mover, const KVRBasicEntity3D& target) {
  // A shuttle counts as carrying the path its planner follows whether or not
  // a shuttle carries it now: joining one must not close a cycle through it.
  std::vector<const KVRBasicEntity3D*> pending;
  std::unordered_set<const KVRBasicEntity3D*> seen;
  KVRSharedVector<KVRBasicEntity3D> children;
  const auto visit = [&](const KVRBasicEntity3D* next) {
    if (seen.insert(next).second) pending.push_back(next);
  };
  const auto visitMoved = [&](const KVRBasicEntity3D& node) {
    if (node.getSpatialChildrenCount() > 0) {
      node.getSpatialChildren(children);
      for (const auto& child : children) visit(child.get());
    }
    if (!node.isDerivedFrom(ClassInfo_)) return;
    for (const GroupSubEntry& entry : static_cast<const KVRBasicGroup3D&>(node).entries_)
      visit(entry.entity.get());
    if (const KVRBasicPath3D* path = plannerPathOf(node)) visit(path);
  };
  visitMoved(mover);
  while (!pending.empty()) {
    const KVRBasicEntity3D* node = pending.back();
    pending.pop_back();
    if (node == &target) return true;
    visitMoved(*node);
  }
  return false;
}

void KVRBasicGroup3D::refuseMember(const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  requireEntity(entity, L"a member");
  if (hasEntity(entity)) throw KVREAlreadyRegistered(L"Entity already exists in Group ");
  if (entity.get() == this)
    throw KVREInvalidRelation(L"%1 cannot become a member of itself") << titleOf(*this);
  if (carries(*entity, *this))
    throw KVREInvalidRelation(L"%1 cannot become a member of %2: the group moves with it")
        << titleOf(*entity) << titleOf(*this);
}

void KVRBasicGroup3D::addEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity) {
  refuseMember(entity);
  const Xform X_GM = calcRelativeLocation(getBaseLocation(), entity->getBaseLocation());
  if (getPropagatingAncestor(entity)) {
    entries_.emplace_back(entity, X_GM, 0, 0);
    noteChange(KVRChangeLog::Members);
    return;
  }
  entries_.emplace_back(entity, X_GM, 1, 0);
  noteChange(KVRChangeLog::Members);
  deActivatePropagationToChildren(entity);
}

void KVRBasicGroup3D::restoreEntity(const GroupSubEntry& entry) {
  refuseMember(entry.entity);
  requireFinite(entry.relativeLocation.isFinite(), L"member location");
  entries_.push_back(entry);
  noteChange(KVRChangeLog::Members);
}

int KVRBasicGroup3D::removeEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity) {
  EntryList::iterator position;
  if (!findEntity(entity, position)) return 0;
  entries_.erase(position);
  noteChange(KVRChangeLog::Members);
  ActivatePropagationNextLevel();
  return 1;
}

int KVRBasicGroup3D::removeEntity(const std::wstring& name) {
  EntryList::iterator position;
  if (!findEntity(name, position)) return 0;
  entries_.erase(position);
  noteChange(KVRChangeLog::Members);
  ActivatePropagationNextLevel();
  return 1;
}

void KVRBasicGroup3D::removeEntities(const KVRClassInfo& info) {
  const auto erased = std::remove_if(entries_.begin(), entries_.end(), [&](const GroupSubEntry& entry) {
    return entry.entity.isDerivedFrom(info);
  });
  if (erased == entries_.end()) return;
  entries_.erase(erased, entries_.end());
  noteChange(KVRChangeLog::Members);
  // Flags only go from 0 to 1 as members leave, so once after the last
  // erasure gives what once after every erasure would.
  ActivatePropagationNextLevel();
}

void KVRBasicGroup3D::replaceEntity(const KVRSharedHandle<KVRBasicEntity3D>& oldEntity,
                                    const KVRSharedHandle<KVRBasicEntity3D>& newEntity) {
  requireEntity(oldEntity, L"the member to replace");
  requireEntity(newEntity, L"the replacing member");
  EntryList::iterator position;
  if (!findEntity(oldEntity, position))
    throw KVRENotFound(L"%1 not found in %2") << fullNameOf(*oldEntity) << fullNameOf(*this);
  if (hasEntity(newEntity))
    throw KVREInvalidRelation(L"%1 already in %2") << fullNameOf(*newEntity) << fullNameOf(*this);
  refuseMember(newEntity);
  entries_.erase(position);
  addEntity(newEntity);
}

// --- Locations and carrying --------------------------------------------------------

void KVRBasicGroup3D::setRelativeLocation(const KVRSharedHandle<KVRBasicEntity3D>& entity,
                                          const Xform& X_GM) {
  requireFinite(X_GM.isFinite(), L"member location");
  EntryList::iterator position;
  if (!findEntity(entity, position)) return;
  Xform X_WM = getBaseLocation() * X_GM;
  position->entity->setBaseLocation(X_WM);
  // The member's move may have changed the entries: find it again.
  if (findEntity(entity, position)) position->relativeLocation = X_GM;
}

void KVRBasicGroup3D::setRelativeLocation(const std::wstring& name, const Xform& X_GM) {
  requireFinite(X_GM.isFinite(), L"member location");
  setRelativeLocation(getEntity(name), X_GM);
}

KVRBasicGroup3D::Xform KVRBasicGroup3D::getRelativeLocation(
    const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  EntryList::const_iterator position;
  if (!findEntity(entity, position)) throwNotAMember();
  return position->relativeLocation;
}

KVRBasicGroup3D::Xform KVRBasicGroup3D::getRelativeLocation(const std::wstring& name) const {
  EntryList::const_iterator position;
  if (!findEntity(name, position)) throwNotAMember();
  return position->relativeLocation;
}

void KVRBasicGroup3D::setEntityAlwaysActive(const KVRSharedHandle<KVRBasicEntity3D>& entity,
                                            int alwaysActive) {
  EntryList::iterator position;
  if (findEntity(entity, position)) position->alwaysActive = alwaysActive;
}

void KVRBasicGroup3D::setEntityAlwaysActive(const std::wstring& name, int alwaysActive) {
  EntryList::iterator position;
  if (findEntity(name, position)) position->alwaysActive = alwaysActive;
}

void KVRBasicGroup3D::activate() {
  active_ = 1;
  const Xform X_GW = getBaseLocation().inverse();
  for (GroupSubEntry& entry : entries_) entry.relativeLocation = X_GW * entry.entity->getBaseLocation();
}

void KVRBasicGroup3D::carry(const KVRSharedHandle<KVRBasicEntity3D>& entity, Xform X_WE) const {
  // One of the group's own children is placed from where the group stands now.
  if (getSpatialChildrenCount() > 0 && hasSpatialChild(entity))
    entity->updateParentLocation(getBaseLocation());
  entity->setBaseLocation(X_WE);
  entity->flushSpatialState();
}

void KVRBasicGroup3D::carryMember(const GroupSubEntry& entry, const Xform& X_WG) const {
  // Held apart from the entry: the member's observers may change the entries.
  const KVRSharedHandle<KVRBasicEntity3D> member = entry.entity;
  carry(member, X_WG * entry.relativeLocation);
}

class KVRBasicGroup3D::MemberCarrier final : public MemberPass {
 public:
  MemberCarrier(const KVRBasicGroup3D& group, const Xform& X_WG) : group_(group), X_WG_(X_WG) {}

  std::uint32_t slots() const override { return static_cast<std::uint32_t>(group_.entries_.size()); }
  KVRBasicEntity3D& memberAt(std::uint32_t slot) const override { return *group_.entries_[slot].entity; }

  Outcome place(std::uint32_t slot, KVRBasicEntity3D& member, bool inPlace) const override {
    const EntryList& entries = group_.entries_;
    if (slot >= entries.size() || entries[slot].entity.get() != &member) return Outcome::Changed;
    const GroupSubEntry& entry = entries[slot];
    if (!group_.isCarried(entry)) return Outcome::Skipped;
    // One of the group's own children takes the group's location first: carry() does that.
    if (!inPlace || (group_.getSpatialChildrenCount() > 0 && group_.hasSpatialChild(entry.entity)))
      return Outcome::Usual;
    member.setBaseLocation(X_WG_ * entry.relativeLocation);
    return Outcome::Placed;
  }

  void carryUsual(std::uint32_t slot) const override { group_.carryMember(group_.entries_[slot], X_WG_); }

  void carryFrom(std::uint32_t slot) const override {
    // By index: a member's observers may add or remove entries meanwhile.
    const EntryList& entries = group_.entries_;
    for (std::size_t i = slot; i < entries.size(); ++i)
      if (group_.isCarried(entries[i])) group_.carryMember(entries[i], X_WG_);
  }

 private:
  const KVRBasicGroup3D& group_;
  const Xform X_WG_;
};

void KVRBasicGroup3D::propagateBaseLocation() const {
  if (propagating_) return;
  const PropagationScope scope(propagating_);
  // The spatial children follow first, as any entity's do, except the
  // carried members among them, which are only carried. Then every carried
  // member takes its recorded place: for a member below one of the children
  // that place wins over where the child took it.
  if (getSpatialChildrenCount() > 0) {
    carriedChildren_.clear();
    for (const GroupSubEntry& entry : entries_)
      if (isCarried(entry) && hasSpatialChild(entry.entity)) carriedChildren_.push_back(entry.entity.get());
    propagateBaseLocationToChildren(carriedChildren_);
  }
  const MemberCarrier carrier(*this, getBaseLocation());
  if (entries_.empty() || !carryMembersFlat(memberLayout_, carrier)) carrier.carryFrom(0);
}


// --- Text output -------------------------------------------------------------------

void KVRBasicGroup3D::dump(std::ostream& os) const {
  os << std::string(61, '-') << std::endl;
  os << KVRToUtf8(fullNameOf(*this)) << " ( " << getClassName() << " ) " << std::endl;
  os << "Base Location: " << std::setw(3) << getBaseLocation() << std::endl;
  os << "Entity count = " << getEntityCount() << std::endl;
  os << std::endl;
  os << "Entities in Group: " << std::endl;
  for (const GroupSubEntry& entry : entries_) {
    const Xform& X_WM = entry.entity->getBaseLocation();
    double roll, pitch, yaw;
    X_WM.getRPY(roll, pitch, yaw);
    os << "Entity name = " << KVRToUtf8(fullNameOf(*entry.entity)) << std::endl;
    os << "Location rel. to Group =  " << std::setw(15) << entry.relativeLocation << std::endl;
    os << "Base Location = " << std::setw(15) << X_WM << std::endl;
    os << roll * 180.0 / KVRMathConst::Pi << ", " << pitch * 180.0 / KVRMathConst::Pi << ", "
       << yaw * 180.0 / KVRMathConst::Pi << std::endl;
  }
}

// --- Orphaning -----------------------------------------------------------------------

void KVRBasicGroup3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicBody3D::orphanObject();
}
