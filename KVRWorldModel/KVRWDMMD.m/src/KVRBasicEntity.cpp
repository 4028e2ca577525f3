#include "KVRBasicEntity.h"

#include <algorithm>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "KVRBasicEntityNames.h"
#include "KVRBasicUniverse.h"
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
