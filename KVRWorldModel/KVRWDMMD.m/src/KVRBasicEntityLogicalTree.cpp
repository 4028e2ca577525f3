// An entity's place in the logical tree: its parent and children, how they
// are linked and unlinked, and how orphaning and deep copying go down a tree
// of any depth.

#include <string>
#include <utility>
#include <vector>

#include "KVRBasicEntity.h"
#include "KVRBasicEntityNames.h"
#include "KVRBasicUniverse.h"
#include "KVRBasicWorld.h"
#include "KVRException.h"

// --- Logical tree: queries -------------------------------------------------

bool KVRBasicEntity::hasLogicalAncestor(const KVRSharedHandle<KVRBasicEntity>& entity) const {
  return logicalAncestors_.contains(entity);
}

KVRSharedHandle<KVRBasicEntity> KVRBasicEntity::getLogicalAncestor(const KVRClassInfo& info) const {
  return logicalAncestors_.firstFromRoot([&](const auto& ancestor) { return ancestor->isDerivedFrom(info); });
}

void KVRBasicEntity::getLogicalAncestors(KVRSharedVector<KVRBasicEntity>& ancestors) const {
  logicalAncestors_.copyTo(ancestors);
}

void KVRBasicEntity::getLogicalAncestors(KVRSharedList<KVRBasicEntity>& ancestors) const {
  logicalAncestors_.copyTo(ancestors);
}

bool KVRBasicEntity::hasLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) const {
  return logicalChildren_.contains(child.get());
}

KVRSharedHandle<KVRBasicEntity> KVRBasicEntity::getLogicalChild(const std::wstring& name) const {
  return KVRSharedHandle<KVRBasicEntity>(childNamed(name));
}

void KVRBasicEntity::getLogicalChildren(const KVRClassInfo& info,
                                        KVRSharedVector<KVRBasicEntity>& children) const {
  logicalChildren_.collect(children, &info);
}

void KVRBasicEntity::getLogicalChildren(const KVRClassInfo& info,
                                        KVRSharedList<KVRBasicEntity>& children) const {
  logicalChildren_.collect(children, &info);
}

void KVRBasicEntity::getLogicalChildren(KVRSharedVector<KVRBasicEntity>& children) const {
  logicalChildren_.collect(children);
}

void KVRBasicEntity::getLogicalChildren(KVRSharedList<KVRBasicEntity>& children) const {
  logicalChildren_.collect(children);
}

int KVRBasicEntity::getLogicalChildrenCount(const KVRClassInfo& info) const {
  return static_cast<int>(logicalChildren_.count(info));
}

// --- Logical tree: changes -------------------------------------------------

void KVRBasicEntity::requireEntity(const KVRSharedBase& handle, const wchar_t* role) const {
  if (handle.isNull())
    throw KVREInvalidArgument(std::wstring(L"An empty handle was given as ") + role + L" of %1")
        << getEntityTitle(FullName, ExternalNameSeparator);
}

void KVRBasicEntity::refuseNonFinite(const wchar_t* what) const {
  throw KVREInvalidArgument(std::wstring(L"The ") + what + L" given to %1 is not finite")
      << getEntityTitle(FullName, ExternalNameSeparator);
}

void KVRBasicEntity::checkLinkable() const {
  if (isOrphaned())
    throw KVREInvalidRelation(L"%1 has been orphaned and cannot be linked again")
        << getEntityTitle(FullName, ExternalNameSeparator);
}

void KVRBasicEntity::checkLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) const {
  checkLinkableChild(child);
  // The child's subtree must not hold this entity. A child without children
  // is its own subtree; otherwise the real parent links are walked (the
  // cached ancestor lists may be stale).
  const bool leaf = child->logicalChildren_.empty();
  for (const KVRBasicEntity* e = this; e; e = leaf ? nullptr : e->logicalParent_.get())
    if (e == child.get())
      throw KVREInvalidRelation(L"%1 cannot become a logical child of %2, which lies in its own subtree")
          << child->getEntityTitle(FullName, ExternalNameSeparator)
          << getEntityTitle(FullName, ExternalNameSeparator);
}

void KVRBasicEntity::checkLinkableChild(const KVRSharedHandle<KVRBasicEntity>& child) const {
  requireEntity(child, L"a logical child");
  checkLinkable();
  child->checkLinkable();
  if (child->hasLogicalParent())
    throw KVREAlreadyRegistered(L"%1 has already been assigned a logical parent")
        << child->getEntityTitle(FullName, ExternalNameSeparator);
}

void KVRBasicEntity::addLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) {
  checkLogicalChild(child);
  linkLogicalChild(child);
}

void KVRBasicEntity::adoptCopy(const KVRSharedHandle<KVRBasicEntity>& copy) {
  // A copy just made holds nothing of this tree: no walk up for a cycle,
  // which deep in a copied chain would cost its depth.
  checkLinkableChild(copy);
  linkLogicalChild(copy);
}

void KVRBasicEntity::linkLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) {
  KVRSharedHandle<KVRBasicEntity> held(child, KVRSharedBase::WriteLock);
  held->linkLogicalParent(KVRSharedHandle<KVRBasicEntity>(this), fullNameForChildren(),
                          ancestorsForChildren());
  setLogicalChild(held);
}

void KVRBasicEntity::removeLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) {
  requireEntity(child, L"a logical child");
  const LogicalPosition position = findLogicalChild(child);
  KVRSharedHandle<KVRBasicEntity> held(child, KVRSharedBase::WriteLock);
  held->clearLogicalParent();
  clearLogicalChild(position);
}

void KVRBasicEntity::removeLogicalChildren(const KVRClassInfo& info) {
  for (KVRBasicEntity* child = logicalChildren_.first(); child;) {
    KVRBasicEntity* next = logicalChildren_.next(*child);
    if (child->isDerivedFrom(info)) {
      child->clearLogicalParent();
      eraseLogicalChild(*child);
    }
    child = next;
  }
}

void KVRBasicEntity::removeLogicalChildren() {
  while (KVRBasicEntity* child = logicalChildren_.first()) {
    child->clearLogicalParent();
    eraseLogicalChild(*child);
  }
}

void KVRBasicEntity::orphanLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) {
  requireEntity(child, L"a logical child");
  findLogicalChild(child);
  KVRSharedHandle<KVRBasicEntity> held(child, KVRSharedBase::WriteLock);
  held->orphanObject();
}

namespace {

// Orphaning and deep copying go down the logical tree one nested call per
// level, through the classes' own orphanObject and duplicateObject. Past
// this many levels below the outermost call, what is left waits in a list
// that the outermost call works through: a tree of any depth is orphaned or
// copied without running out of stack, and one less deep exactly as before.
constexpr int NestedLevels = 64;

int orphaningDepth = 0;
std::vector<KVRSharedHandle<KVRBasicEntity>> orphansWaiting;

struct WaitingCopy {
  KVRSharedHandle<KVRBasicEntity> source, copy;
  KVRDynamicObject::CopyMode mode;
};
int copyingDepth = 0;
std::vector<WaitingCopy> copiesWaiting;

// One level of nesting; the outermost level drops what still waits when it ends by an exception.
template <class Waiting>
class Nesting {
 public:
  Nesting(int& depth, Waiting& waiting) : depth_(depth), waiting_(waiting) { ++depth_; }
  ~Nesting() {
    if (--depth_ == 0) waiting_.clear();
  }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  bool outermost() const { return depth_ == 1; }
  bool tooDeep() const { return depth_ > NestedLevels; }

 private:
  int& depth_;
  Waiting& waiting_;
};

}  // namespace

template <class Select>
void KVRBasicEntity::orphanChildrenWhere(Select select) {
  // Orphaning a child erases its entry, and may change other entries: walk a
  // snapshot and skip the children that left meanwhile.
  const KVRSharedSnapshot<KVRBasicEntity> children(logicalChildren_);
  const Nesting nesting(orphaningDepth, orphansWaiting);
  for (std::size_t i = 0; i < children.size(); ++i) {
    const KVRSharedHandle<KVRBasicEntity>& child = children[i];
    if (!logicalChildren_.contains(child.get()) || !select(*child)) continue;
    if (nesting.tooDeep()) {
      child->removeLogicalParent();  // this entity's list stays true meanwhile
      orphansWaiting.push_back(child);
    } else {
      child->orphanObject();
    }
  }
  if (!nesting.outermost()) return;
  while (!orphansWaiting.empty()) {
    const KVRSharedHandle<KVRBasicEntity> next = std::move(orphansWaiting.back());
    orphansWaiting.pop_back();
    next->orphanObject();
  }
}

void KVRBasicEntity::orphanLogicalChildren(const KVRClassInfo& info) {
  orphanChildrenWhere([&](const KVRBasicEntity& child) { return child.isDerivedFrom(info); });
}

void KVRBasicEntity::orphanLogicalChildren() {
  orphanChildrenWhere([](const KVRBasicEntity&) { return true; });
}

void KVRBasicEntity::removeLogicalParent() {
  if (!logicalParent_) return;
  // The parent's entry may hold the last handle to this entity.
  const KVRSharedHandle<KVRBasicEntity> self(this);
  KVRSharedHandle<KVRBasicEntity> parent(logicalParent_, KVRSharedBase::WriteLock);
  const LogicalPosition position = parent->findLogicalChild(self);
  clearLogicalParent();
  parent->clearLogicalChild(position);
}

void KVRBasicEntity::cloneLogicalChildren(const KVRBasicEntity& source, CopyMode mode) {
  const Nesting nesting(copyingDepth, copiesWaiting);
  if (nesting.tooDeep()) {
    copiesWaiting.push_back({KVRSharedHandle<KVRBasicEntity>(const_cast<KVRBasicEntity*>(&source)),
                             KVRSharedHandle<KVRBasicEntity>(this), mode});
    return;
  }
  // A snapshot: the source may be this entity, whose list grows meanwhile.
  const KVRSharedSnapshot<KVRBasicEntity> children(source.logicalChildren_);
  for (std::size_t i = 0; i < children.size(); ++i) {
    KVRSharedHandle<KVRBasicEntity> child(children[i], KVRSharedBase::ReadLock);
    KVRSharedHandle<KVRBasicEntity> copy(static_cast<KVRBasicEntity*>(child->duplicateObject(mode)));
    if (copy) adoptCopy(copy);
  }
  if (!nesting.outermost()) return;
  while (!copiesWaiting.empty()) {
    const WaitingCopy next = std::move(copiesWaiting.back());
    copiesWaiting.pop_back();
    next.copy->cloneLogicalChildren(*next.source, next.mode);
  }
}

// --- Logical tree: primitive steps -----------------------------------------

KVRBasicEntity::LogicalPosition KVRBasicEntity::findLogicalChild(
    const KVRSharedHandle<KVRBasicEntity>& child) {
  requireEntity(child, L"a logical child");
  if (!logicalChildren_.contains(child.get()))
    throw KVRENotFound(L"%1 is not a logical child of %2")
        << child->getEntityTitle(FullName, ExternalNameSeparator)
        << getEntityTitle(FullName, ExternalNameSeparator);
  return child.get();
}

void KVRBasicEntity::setLogicalParent(const KVRSharedHandle<KVRBasicEntity>& parent,
                                      const std::wstring& parentFullName,
                                      const KVRSharedList<KVRBasicEntity>& parentAncestors) {
  checkLinkable();
  if (parent) parent->checkLinkable();
  if (logicalParent_)
    throw KVREAlreadyRegistered(L"%1 has already been assigned a logical parent")
        << getEntityTitle(FullName, ExternalNameSeparator);
  logicalParent_ = parent;
  updateFullName(parentFullName);
  updateLogicalAncestors(parentAncestors);
}

void KVRBasicEntity::linkLogicalParent(const KVRSharedHandle<KVRBasicEntity>& parent,
                                       const NamePiece* parentFullName, AncestorChain ancestors) {
  // Checked by the caller: neither end is orphaned, and this entity has no parent.
  logicalParent_ = parent;
  setFullNamePrefix(parentFullName);
  setEvent(FullNameChanged);
  logicalAncestors_ = std::move(ancestors);
  setEvent(LogicalAncestorsChanged);
}

void KVRBasicEntity::setLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) {
  requireEntity(child, L"a logical child");
  checkLinkable();
  child->checkLinkable();
  // An entity is listed once, under one parent.
  if (decltype(logicalChildren_)::isListed(*child))
    throw KVREAlreadyRegistered(L"%1 is already listed as a logical child")
        << child->getEntityTitle(FullName, ExternalNameSeparator);
  appendLogicalChild(*child);
}

void KVRBasicEntity::clearLogicalParent() {
  logicalParent_.detach();
  updateFullName(EmptyName);
  clearLogicalAncestors();
}

void KVRBasicEntity::clearLogicalChild(LogicalPosition position) {
  if (!logicalChildren_.contains(position))
    throw KVRENotFound(L"%1 is not a logical child of %2")
        << (position ? position->getEntityTitle(FullName, ExternalNameSeparator) : KVRMessage(L"(none)"))
        << getEntityTitle(FullName, ExternalNameSeparator);
  eraseLogicalChild(*position);
}

void KVRBasicEntity::updateFullName() {
  // The last component of the stored full name is always the base name, so
  // the stored full name follows a renaming by itself.
  setEvent(FullNameChanged);
}

void KVRBasicEntity::updateFullName(const std::wstring& parentFullName) {
  if (parentFullName.empty()) {
    setFullNamePrefix(nullptr);
  } else {
    const NameText* text = NameText::make(parentFullName);
    setFullNamePrefix(NamePiece::make(nullptr, text, true));
    NameText::release(text);
  }
  setEvent(FullNameChanged);
}

void KVRBasicEntity::updateLogicalAncestors(const KVRSharedList<KVRBasicEntity>& parentAncestors) {
  updateLogicalAncestors(AncestorChain::fromContainer(parentAncestors));
}

void KVRBasicEntity::updateLogicalAncestors(const AncestorChain& parentAncestors) {
  logicalAncestors_ = AncestorChain(parentAncestors, logicalParent_);
  setEvent(LogicalAncestorsChanged);
}

void KVRBasicEntity::clearLogicalAncestors() {
  logicalAncestors_ = AncestorChain();
  setEvent(LogicalAncestorsChanged);
}

KVRBasicEntity::Delivery::~Delivery() { NamePiece::release(fullName_); }

bool KVRBasicEntity::Delivery::current(const NamePiece* piece) const {
  return piece && !piece->whole && piece->prefix == from_.namePrefix_ && piece->text == from_.name_;
}

const KVRBasicEntity::NamePiece* KVRBasicEntity::Delivery::fullName() {
  if (!current(fullName_)) {
    NamePiece::release(fullName_);
    fullName_ = NamePiece::make(from_.namePrefix_, from_.name_, false);
  }
  return NamePiece::share(fullName_);
}

const KVRBasicEntity::AncestorChain& KVRBasicEntity::Delivery::ancestors() {
  if (!ancestors_.extends(from_.logicalAncestors_, &from_))
    ancestors_ = AncestorChain(from_.logicalAncestors_,
                               KVRSharedHandle<KVRBasicEntity>(const_cast<KVRBasicEntity*>(&from_)));
  return ancestors_;
}

void KVRBasicEntity::Delivery::deliverTo(KVRBasicEntity& child, bool withAncestors) {
  // A name or list already current (given when the child was linked) is
  // kept, and shared with the siblings still to be given one.
  if (current(child.namePrefix_)) {
    if (!current(fullName_)) {
      NamePiece::release(fullName_);
      fullName_ = NamePiece::share(child.namePrefix_);
    }
  } else {
    child.setFullNamePrefix(fullName());
  }
  child.setEvent(FullNameChanged);
  if (!withAncestors) return;
  if (child.logicalParent_.get() == &from_) {
    if (child.logicalAncestors_.extends(from_.logicalAncestors_, &from_)) {
      if (!ancestors_.extends(from_.logicalAncestors_, &from_)) ancestors_ = child.logicalAncestors_;
    } else {
      child.logicalAncestors_ = ancestors();
    }
    child.setEvent(LogicalAncestorsChanged);
  } else {
    child.updateLogicalAncestors(from_.logicalAncestors_);
  }
}

void KVRBasicEntity::propagateLogicalAncestors() const {
  Delivery delivery(*this);
  logicalChildren_.walk([&](KVRBasicEntity& child, KVRBasicEntity*) {
    delivery.deliverTo(child, true);
    child.flushLogicalState();
  });
}

void KVRBasicEntity::propagateFullName() const {
  Delivery delivery(*this);
  logicalChildren_.walk([&](KVRBasicEntity& child, KVRBasicEntity*) {
    delivery.deliverTo(child, false);
    child.flushLogicalState();
  });
}
