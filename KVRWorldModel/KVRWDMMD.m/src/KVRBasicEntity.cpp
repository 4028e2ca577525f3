#include "KVRBasicEntity.h"

#include <algorithm>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "KVRBasicUniverse.h"
#include "KVRBasicEntityNames.h"
#include "KVRBasicWorld.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRBasicEntity::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicEntity>("KVRBasicEntity", KVRExtendibleObject::ClassInfo_);
constinit const KVRUUID KVRBasicEntity::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e01");

const std::wstring KVRBasicEntity::EmptyName;
namespace {
// Counts changes of any logical children list: tools that follow a subtree
// look for new and departed entities only when it moved on.
std::uint64_t linkEra = 0;
}  // namespace

const std::wstring KVRBasicEntity::DefaultBaseName = L"New Entity";
const std::wstring KVRBasicEntity::DefaultFullName = L"/New Entity";
const std::wstring KVRBasicEntity::DefaultCreateName = L"New ";
const std::wstring KVRBasicEntity::DefaultCloneName = L"Copy of ";
const std::wstring KVRBasicEntity::DefaultDescription = L"Description not available";

// --- Names and rarely used parts -------------------------------------------

KVRBasicEntity::RareExtra::~RareExtra() = default;

struct KVRBasicEntity::Rare : RareParts {
  std::optional<KVRUUID> uuid;
  std::optional<std::wstring> description;
  int intAttribute = 0;
  std::vector<KVRSymbolBase*> symbols;
  std::wstring storedFullName;  // what getStoredFullName() last wrote out
  std::unique_ptr<RareExtra> extra;
  std::unique_ptr<ChildIndex> childIndex;  // the first child of each name, once searched by name
};

KVRNotificationAgent::RareParts* KVRBasicEntity::makeRareParts() const { return new Rare; }

KVRBasicEntity::Rare* KVRBasicEntity::findRare() const { return static_cast<Rare*>(findRareParts()); }

KVRBasicEntity::Rare& KVRBasicEntity::rare() const {
  return static_cast<Rare&>(const_cast<KVRBasicEntity*>(this)->rareParts());
}

KVRBasicEntity::RareExtra* KVRBasicEntity::findRareExtra() const {
  const Rare* parts = findRare();
  return parts ? parts->extra.get() : nullptr;
}

void KVRBasicEntity::setRareExtra(std::unique_ptr<RareExtra> extra) { rare().extra = std::move(extra); }

void KVRBasicEntity::appendBaseName(std::wstring& out) const {
  if (name_)
    name_->appendTo(out);
  else
    out += DefaultBaseName;
}

bool KVRBasicEntity::hasBaseName(std::wstring_view name) const {
  return name_ ? name_->equals(name) : name == DefaultBaseName;
}

std::size_t KVRBasicEntity::hashBaseName() const {
  static const std::size_t defaultHash = ChildIndex::Hash()(DefaultBaseName);
  return name_ ? name_->hash() : defaultHash;
}

KVRBasicEntity* KVRBasicEntity::childNamed(std::wstring_view name) const {
  if (logicalChildren_.size() < ChildIndex::MinChildren) {
    for (KVRBasicEntity* child : logicalChildren_)
      if (child->hasBaseName(name)) return child;
    return nullptr;
  }
  std::unique_ptr<ChildIndex>& index = rare().childIndex;
  if (!index) index = std::make_unique<ChildIndex>(*this);
  const auto entry = index->first.find(name);
  return entry == index->first.end() ? nullptr : *entry;
}

void KVRBasicEntity::appendLogicalChild(KVRBasicEntity& child) {
  logicalChildren_.append(&child);
  if (const Rare* parts = findRare(); parts && parts->childIndex) parts->childIndex->added(child);
  ++linkEra;
}

void KVRBasicEntity::eraseLogicalChild(KVRBasicEntity& child) {
  if (const Rare* parts = findRare(); parts && parts->childIndex) parts->childIndex->leaving(child);
  logicalChildren_.erase(&child);
  ++linkEra;
}

bool KVRBasicEntity::storedFullNameFollows(const KVRBasicEntity& parent) const {
  // As the parent delivered it, sharing its pieces: nothing to compare.
  if (namePrefix_ && !namePrefix_->whole && namePrefix_->prefix == parent.namePrefix_ &&
      namePrefix_->text == parent.name_)
    return true;
  std::wstring mine, theirs;
  if (namePrefix_) namePrefix_->appendTo(mine);
  parent.appendStoredFullName(theirs);
  return mine == theirs;
}

void KVRBasicEntity::appendStoredFullName(std::wstring& out) const {
  if (namePrefix_) namePrefix_->appendTo(out);
  out += NameSeparator;
  appendBaseName(out);
}

const KVRBasicEntity::NamePiece* KVRBasicEntity::fullNameForChildren() const {
  if (const KVRBasicEntity* first = logicalChildren_.first()) {
    const NamePiece* held = first->namePrefix_;
    if (held && !held->whole && held->prefix == namePrefix_ && held->text == name_)
      return NamePiece::share(held);
  }
  return NamePiece::make(namePrefix_, name_, false);
}

KVRBasicEntity::AncestorChain KVRBasicEntity::ancestorsForChildren() const {
  if (const KVRBasicEntity* first = logicalChildren_.first())
    if (first->logicalAncestors_.extends(logicalAncestors_, this)) return first->logicalAncestors_;
  return AncestorChain(logicalAncestors_, KVRSharedHandle<KVRBasicEntity>(const_cast<KVRBasicEntity*>(this)));
}

void KVRBasicEntity::setFullNamePrefix(const NamePiece* parentFullName) {
  NamePiece::release(std::exchange(namePrefix_, parentFullName));
}

// --- Construction ----------------------------------------------------------

KVRBasicEntity::KVRBasicEntity() {
  addNotificationHook(KVRMakeFunctorM(NotificationHookNil, this, &KVRBasicEntity::onNotification));
}

KVRBasicEntity::KVRBasicEntity(const KVRBasicEntity& source, CopyMode mode)
    : KVRExtendibleObject(source, mode),
      name_(NameText::share(source.name_)) {  // a copy is a root, wherever its source stands
  addNotificationHook(KVRMakeFunctorM(NotificationHookNil, this, &KVRBasicEntity::onNotification));
  if (const Rare* from = source.findRare()) {
    if (from->description) setDescription(*from->description);
    if (from->intAttribute) setIntAttribute(from->intAttribute);
  }
}

KVRBasicEntity::~KVRBasicEntity() {
  KVRBasicEntity::orphanObject();
  removeAllSymbols();  // symbols given to it after it was orphaned are its own too
  setFullNamePrefix(nullptr);
  NameText::release(name_);
}

const KVRClassInfo& KVRBasicEntity::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicEntity::getClassID() const { return ClassID_; }

KVRDynamicObject* KVRBasicEntity::duplicateObject(CopyMode mode) const {
  KVRDynamicObject* made = KVRExtendibleObject::duplicateObject(mode);
  if (!made) return nullptr;
  // Held until the copy is complete: an exception on the way deletes it.
  KVRSharedHandle<KVRBasicEntity> copy(static_cast<KVRBasicEntity*>(made));
  try {
    std::wstring name = DefaultCloneName;
    copy->appendBaseName(name);
    copy->setEntityName(name);
    if (mode == CopyDeep || mode == CopyDeepAll) copy->cloneLogicalChildren(*this, mode);
  } catch (...) {
    copy->orphanObject();  // children cloned so far would keep it alive
    throw;
  }
  return copy.relinquish();
}

// --- Names -----------------------------------------------------------------

KVRMessage KVRBasicEntity::getEntityTypeName() const { return KVRMessage(L"Entity"); }

const KVRUUID& KVRBasicEntity::getUUID() const {
  Rare& parts = rare();
  if (!parts.uuid) parts.uuid.emplace();
  return *parts.uuid;
}

const std::wstring& KVRBasicEntity::getDescription() const {
  const Rare* parts = findRare();
  return parts && parts->description ? *parts->description : DefaultDescription;
}

void KVRBasicEntity::setDescription(const std::wstring& description) { rare().description = description; }

int KVRBasicEntity::getIntAttribute() const {
  const Rare* parts = findRare();
  return parts ? parts->intAttribute : 0;
}

void KVRBasicEntity::setIntAttribute(int value) {
  if (value || findRare()) rare().intAttribute = value;
}

const std::wstring& KVRBasicEntity::getStoredFullName() const {
  std::wstring& text = rare().storedFullName;
  text.clear();
  appendStoredFullName(text);
  return text;
}

void KVRBasicEntity::setEntityName(const std::wstring& name) {
  // The line feed separates the components of stored full names: inside a
  // name it would split the name in two.
  if (name.find(NameSeparator) != std::wstring::npos)
    throw KVREInvalidArgument(L"A line feed cannot be part of the name of %1")
        << getEntityTitle(FullName, ExternalNameSeparator);
  // Read in place: the name's only copy is the one kept.
  std::wstring created;
  if (name.empty()) created = DefaultCreateName + getEntityTypeName().scribe(KVRLocale::global());
  const std::wstring_view given = name.empty() ? std::wstring_view(created) : std::wstring_view(name);
  const NameText* renamed = given == DefaultBaseName ? nullptr : NameText::make(given);
  // The parent's index of its children by name takes this one out under the
  // old name and back in under the new.
  const Rare* parentParts = logicalParent_ ? logicalParent_->findRare() : nullptr;
  ChildIndex* index = parentParts ? parentParts->childIndex.get() : nullptr;
  if (index) index->leaving(*this);
  NameText::release(std::exchange(name_, renamed));
  if (index) index->renamed(*logicalParent_, *this);
  updateFullName();
  setEvent(BaseNameChanged);
}

std::wstring KVRBasicEntity::getEntityName(EntityNameMode mode, wchar_t separator) const {
  if (mode == BaseName) {
    std::wstring name;
    appendBaseName(name);
    return name;
  }
  std::wstring fullName;
  appendStoredFullName(fullName);
  // Drop the root's component: the external name starts at the second separator.
  const std::size_t first = fullName.find(NameSeparator);
  if (first == std::wstring::npos || first + 1 == fullName.size()) return std::wstring(1, separator);
  const std::size_t second = fullName.find(NameSeparator, first + 1);
  if (second == std::wstring::npos) return std::wstring(1, separator);
  fullName.erase(0, second);
  if (separator != NameSeparator) std::replace(fullName.begin(), fullName.end(), NameSeparator, separator);
  return fullName;
}

KVRMessage KVRBasicEntity::getEntityTitle(EntityNameMode mode, wchar_t separator) const {
  KVRMessage title(L"%1 \"%2\"");
  title << getEntityTypeName() << getEntityName(mode, separator);
  return title;
}

std::wstring KVRBasicEntity::replaceDelimiter(const std::wstring& text, wchar_t from, wchar_t to) const {
  std::wstring result(text);
  if (from != to) std::replace(result.begin(), result.end(), from, to);
  return result;
}

KVRSharedHandle<KVRBasicEntity> KVRBasicEntity::findEntity(std::wstring_view path,
                                                           wchar_t separator) const {
  // Components are split at the separator given and at the line feed, read
  // in place: a lookup allocates nothing.
  const auto isSeparator = [separator](wchar_t c) { return c == separator || c == NameSeparator; };
  std::wstring_view p(path);
  if (p.empty()) return KVRSharedHandle<KVRBasicEntity>();
  const KVRBasicEntity* from = this;
  if (isSeparator(p.front())) {
    p.remove_prefix(1);
    // From the universe, which stands above every world, an absolute path
    // is the relative path below it.
    if (this != KVRBasicUniverse::hSingleUniverse.get()) {
      // Absolute: the first component stands for the world and is not compared.
      const KVRSharedHandle<KVRBasicWorld> world = getWorld();
      if (!world) return KVRSharedHandle<KVRBasicEntity>();
      const auto next = std::find_if(p.begin(), p.end(), isSeparator);
      p.remove_prefix(next == p.end() ? p.size() : static_cast<std::size_t>(next - p.begin()) + 1);
      if (p.empty()) return KVRSharedHandle<KVRBasicEntity>();
      if (isSeparator(p.front())) return world->findEntity(std::wstring(p), separator);
      from = world.get();
    }
  }
  const KVRBasicEntity* current = from;
  while (current) {
    const auto next = std::find_if(p.begin(), p.end(), isSeparator);
    const auto length = static_cast<std::size_t>(next - p.begin());
    current = current->childNamed(p.substr(0, length));
    if (next == p.end()) break;
    p.remove_prefix(length + 1);
  }
  if (current == this) return KVRSharedHandle<KVRBasicEntity>();
  return KVRSharedHandle<KVRBasicEntity>(const_cast<KVRBasicEntity*>(current));
}

KVRSharedHandle<KVRBasicWorld> KVRBasicEntity::getWorld() const {
  KVRBasicEntity* self = const_cast<KVRBasicEntity*>(this);
  // Compared with the universe without creating it: a universe that does not
  // exist yet is nobody's parent.
  const bool underUniverse = logicalParent_ && logicalParent_ == KVRBasicUniverse::hSingleUniverse;
  if (underUniverse || isDerivedFrom(KVRBasicWorld::ClassInfo_)) {
    if (!isDerivedFrom(KVRBasicWorld::ClassInfo_)) return KVRSharedHandle<KVRBasicWorld>();
    return KVRSharedHandle<KVRBasicWorld>(static_cast<KVRBasicWorld*>(self));
  }
  return KVRSharedHandle<KVRBasicWorld>::downcast(getLogicalAncestor(KVRBasicWorld::ClassInfo_));
}

KVRSimTime KVRBasicEntity::getSimulationTime() const {
  const KVRSharedHandle<KVRBasicWorld> world(getWorld(), KVRSharedBase::ReadLock);
  return world ? world->getSimulationTime() : KVRSimTime();
}

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

// --- State and notification ------------------------------------------------

void KVRBasicEntity::onNotification() {
  if (testEvent(LogicalAncestorsChanged))
    propagateLogicalAncestors();
  else if (testEvent(FullNameChanged))
    propagateFullName();
  else if (testEvent(ResetRequested))
    resetEntity();
}

void KVRBasicEntity::resetEntityState(int notify) {
  setEvent(ResetRequested);
  if (notify) notifySubscribers();
}

void KVRBasicEntity::clearHistory() {
  setEvent(HistoryCleared);
  onHistoryCleared();
}

void KVRBasicEntity::onHistoryCleared() {}

std::uint64_t KVRBasicEntity::getLinkEra() { return linkEra; }

void KVRBasicEntity::resetEntity() {}

void KVRBasicEntity::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRExtendibleObject::orphanObject();
}

void KVRBasicEntity::orphanMembers() {
  removeNotificationHook(KVRMakeFunctorM(NotificationHookNil, this, &KVRBasicEntity::onNotification));
  removeLogicalParent();
  orphanLogicalChildren();
  removeAllSymbols();
}

// --- Symbols ---------------------------------------------------------------

void KVRBasicEntity::addSymbol(KVRSymbolBase* symbol) { rare().symbols.push_back(symbol); }

KVRSymbolBase* KVRBasicEntity::getSymbol(std::wstring_view name) const {
  if (const Rare* parts = findRare())
    for (KVRSymbolBase* symbol : parts->symbols)
      if (symbol && symbol->getSymbolName() == name) return symbol;
  return nullptr;
}

void KVRBasicEntity::removeSymbol(const std::wstring& name) {
  Rare* parts = findRare();
  if (!parts) return;
  std::vector<KVRSymbolBase*>& symbols = parts->symbols;
  auto it = std::find_if(symbols.begin(), symbols.end(),
                         [&](KVRSymbolBase* symbol) { return symbol && symbol->getSymbolName() == name; });
  if (it == symbols.end()) return;
  KVRSymbolBase* symbol = *it;
  symbols.erase(it);
  delete symbol;
}

void KVRBasicEntity::removeAllSymbols() {
  Rare* parts = findRare();
  if (!parts) return;
  std::vector<KVRSymbolBase*> symbols;
  symbols.swap(parts->symbols);
  for (KVRSymbolBase* symbol : symbols) delete symbol;
}

KVRSymbolBase* KVRBasicEntity::getSymbolAt(int index) const {
  const Rare* parts = findRare();
  if (!parts || index < 0 || static_cast<std::size_t>(index) >= parts->symbols.size()) return nullptr;
  return parts->symbols[static_cast<std::size_t>(index)];
}

int KVRBasicEntity::getSymbolCount() const {
  const Rare* parts = findRare();
  return parts ? static_cast<int>(parts->symbols.size()) : 0;
}
