#pragma once

// KVRBasicEntity: the root class of every object of the world model.
//
// An entity has an identity, a base name, a full (path) name and a place in
// the logical tree: the universe at the root, worlds under it, the objects of
// a world below. Parent and children hold each other through handles, so an
// entity in a tree stays alive until it is removed or orphaned. A change of
// name or parent applies to the entity at once and reaches its descendants
// when its state is flushed (flushLogicalState), depth-first in child order.
//
// Full names are stored with NameSeparator (a line feed) before each component
// from the root down; callers read them with a separator of their own, without
// the root's component: a body B in world W reads /W/B.
//
// An entity is small: its full name shares its parent's as last delivered,
// siblings share their ancestor lists, a default name costs nothing, and what
// few entities use (identity, description, symbols, extensions, subscribers)
// is allocated when first used.
//
// Event bits: 2 base name changed, 3 full name changed, 5 logical ancestors
// changed, 7 history to be cleared, 8 reset requested.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "KVRExtendibleObject.h"
#include "KVRMessage.h"
#include "KVRSharedChain.h"
#include "KVRSharedList.h"
#include "KVRSiblingList.h"
#include "KVRSimTime.h"
#include "KVRSymbolBase.h"
#include "KVRWorldModelExport.h"

class KVRBasicWorld;

class KVRWORLDMODEL_API KVRBasicEntity : public KVRExtendibleObject {
 public:
  enum EntityNameMode { BaseName = 0, FullName = 1 };

  /// The base name changed.
  static constexpr int BaseNameChanged = 2;
  /// The stored full name changed.
  static constexpr int FullNameChanged = 3;
  /// The logical ancestor list changed.
  static constexpr int LogicalAncestorsChanged = 5;
  /// The entity's history is to be cleared.
  static constexpr int HistoryCleared = 7;
  /// A reset is requested; resetEntity() runs at the next flush.
  static constexpr int ResetRequested = 8;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  static const std::wstring EmptyName;           // ""
  static const std::wstring DefaultBaseName;     // "New Entity"
  static const std::wstring DefaultFullName;     // "/New Entity"
  static const std::wstring DefaultCreateName;   // "New "
  static const std::wstring DefaultCloneName;    // "Copy of "
  static const std::wstring DefaultDescription;  // "Description not available"
  /// The separator of stored full names.
  static constexpr wchar_t NameSeparator = L'\n';
  /// The separator callers use by default.
  static constexpr wchar_t ExternalNameSeparator = L'/';

  // A child's place in its parent's children list: the child itself.
  using LogicalPosition = KVRBasicEntity*;

  KVRBasicEntity();
  // Copies name, description and the integer attribute; the copy has a new
  // identity, no place in the tree and no symbols, and the full name of a root.
  KVRBasicEntity(const KVRBasicEntity& source, CopyMode mode = CopyAlone);
  ~KVRBasicEntity() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;

  // A new entity of this entity's class named "Copy of " and the name; the
  // deep modes also copy the logical children, recursively, under the copy.
  // The caller owns the result (hold it in a handle).
  KVRDynamicObject* duplicateObject(CopyMode mode) const override;

  // --- Names -------------------------------------------------------------

  // The type word used in titles and default names ("Entity" here).
  virtual KVRMessage getEntityTypeName() const;

  // The identity, made when first asked for.
  const KVRUUID& getUUID() const;
  const std::wstring& getDescription() const;
  void setDescription(const std::wstring& description);
  int getIntAttribute() const;
  void setIntAttribute(int value);

  // The base name, or the external full name with `separator` between the
  // components (the root's component left out; a root reads as a lone separator).
  std::wstring getEntityName(EntityNameMode mode = BaseName, wchar_t separator = ExternalNameSeparator) const;
  // The full name in its stored form: NameSeparator before every component.
  // The text is written out when asked for and stays valid until the next call.
  const std::wstring& getStoredFullName() const;
  // The same text appended to `out`: for callers that read many entities'
  // names into a buffer of their own (nothing is kept on the entity).
  void appendStoredFullName(std::wstring& out) const;
  // Type name, a blank and the name in double quotation marks: Body "/W/B".
  KVRMessage getEntityTitle(EntityNameMode mode = FullName, wchar_t separator = ExternalNameSeparator) const;
  std::wstring replaceDelimiter(const std::wstring& text, wchar_t from, wchar_t to) const;

  // Renames the entity (an empty name gives "New " and the type name) and
  // updates its stored full name; descendants follow at the next flush.
  // Sets bits 2 and 3. A name holding a line feed, the separator of stored
  // full names, is refused with KVREInvalidArgument and the old name kept.
  void setEntityName(const std::wstring& name);

  // The entity a path leads to, components separated by `separator`: a
  // relative path walks down from this entity, one child name per component;
  // a path that starts with the separator is resolved from the entity's world.
  // Empty when nothing is found or the walk ends on this entity.
  KVRSharedHandle<KVRBasicEntity> findEntity(std::wstring_view path,
                                             wchar_t separator = ExternalNameSeparator) const;

  // The entity's world: itself when it is a world or stands directly under
  // the universe, else its world ancestor nearest the root; empty when it is
  // in no world (or, directly under the universe, is not a world).
  KVRSharedHandle<KVRBasicWorld> getWorld() const;
  // The simulation time of the entity's world; zero for an entity in no world.
  virtual KVRSimTime getSimulationTime() const;

  // --- Logical tree: queries ---------------------------------------------

  bool hasLogicalParent() const { return !logicalParent_.isNull(); }
  KVRSharedHandle<KVRBasicEntity> getLogicalParent() const { return logicalParent_; }
  bool hasLogicalAncestor(const KVRSharedHandle<KVRBasicEntity>& entity) const;
  // The ancestor nearest the root whose class derives from `info`.
  KVRSharedHandle<KVRBasicEntity> getLogicalAncestor(const KVRClassInfo& info) const;
  // Replace the container's contents with the ancestors, root first.
  void getLogicalAncestors(KVRSharedVector<KVRBasicEntity>& ancestors) const;
  void getLogicalAncestors(KVRSharedList<KVRBasicEntity>& ancestors) const;
  int getLogicalAncestorsCount() const { return logicalAncestors_.size(); }

  bool hasLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) const;
  // The first child, in child order, whose base name is `name` exactly.
  KVRSharedHandle<KVRBasicEntity> getLogicalChild(const std::wstring& name) const;
  bool hasLogicalChild(const std::wstring& name) const { return !getLogicalChild(name).isNull(); }
  // Replace the container's contents with the children of the class (or all), in order.
  void getLogicalChildren(const KVRClassInfo& info, KVRSharedVector<KVRBasicEntity>& children) const;
  void getLogicalChildren(const KVRClassInfo& info, KVRSharedList<KVRBasicEntity>& children) const;
  void getLogicalChildren(KVRSharedVector<KVRBasicEntity>& children) const;
  void getLogicalChildren(KVRSharedList<KVRBasicEntity>& children) const;
  int getLogicalChildrenCount(const KVRClassInfo& info) const;
  // Calls `visit` with `root` and then with every logical descendant,
  // parents before children and children in order, from a loop rather than
  // nested calls (a tree may be deeper than the stack allows). An entity's
  // children are listed right after its own visit, so what that visit
  // changes below it is seen.
  template <class Visit>
  static void forEachInLogicalSubtree(const KVRSharedHandle<KVRBasicEntity>& root, Visit visit);
  int getLogicalChildrenCount() const { return static_cast<int>(logicalChildren_.size()); }

  // --- Logical tree: changes ---------------------------------------------
  // Each refuses an empty handle with KVREInvalidArgument and changes nothing.
  // No new link is made to or by an orphaned entity (KVREInvalidRelation):
  // orphaning is final, and a link made afterwards would never be broken.

  // Throws what addLogicalChild would throw for `child`; changes nothing.
  void checkLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child) const;
  // Refuses an orphaned entity as a party to a new link (KVREInvalidRelation,
  // "%1 has been orphaned and cannot be linked again").
  void checkLinkable() const;

  // Makes `child` the last child. Refused with KVREAlreadyRegistered when it
  // has a parent, and with KVREInvalidRelation when it is this entity or one
  // of its ancestors (the tree would become a cycle). Sets the child's bits 3 and 5.
  void addLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child);
  // Unlinks the child (KVRENotFound when it is not a child); it becomes a root.
  void removeLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child);
  void removeLogicalChildren(const KVRClassInfo& info);
  void removeLogicalChildren();
  // Orphans the child (KVRENotFound when it is not a child) with its subtree.
  void orphanLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child);
  void orphanLogicalChildren(const KVRClassInfo& info);
  void orphanLogicalChildren();
  // Leaves the parent, if any.
  void removeLogicalParent();
  // Appends a duplicate of every logical child of `source`, in order.
  void cloneLogicalChildren(const KVRBasicEntity& source, CopyMode mode);

  // --- Logical tree: primitive steps -------------------------------------

  LogicalPosition findLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child);
  void setLogicalParent(const KVRSharedHandle<KVRBasicEntity>& parent, const std::wstring& parentFullName,
                        const KVRSharedList<KVRBasicEntity>& parentAncestors);
  void setLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child);
  void clearLogicalParent();
  void clearLogicalChild(LogicalPosition position);
  void updateFullName();
  void updateFullName(const std::wstring& parentFullName);
  void updateLogicalAncestors(const KVRSharedList<KVRBasicEntity>& parentAncestors);
  void clearLogicalAncestors();
  void propagateLogicalAncestors() const;
  void propagateFullName() const;

  // --- State and notification --------------------------------------------

  // The hook every entity registers: with bit 5 pending propagates ancestors
  // and full names, else with bit 3 full names, else with bit 8 resets.
  void onNotification();
  // Publishes the pending bits: hooks, then subscribers, then clears them.
  // An entity whose flush is already running further up the call chain is
  // not flushed again there: its pending bits stay for its next flush. So a
  // flush ends even when the two trees together form a cycle.
  void flushLogicalState();
  // Requests a reset (bit 8); with a nonzero `notify`, flushes at once.
  void resetEntityState(int notify);
  virtual void clearHistory();
  // A number that changes whenever any logical children list changes (an
  // entity added, removed or orphaned anywhere): tools that follow a
  // subtree look for new and departed entities only when it has changed.
  static std::uint64_t getLinkEra();
  virtual void resetEntity();

  void orphanObject() override;

  // --- Symbols (owned by the entity) -------------------------------------

  // Takes ownership of `symbol`.
  void addSymbol(KVRSymbolBase* symbol);
  // The first symbol named `name`, or null.
  KVRSymbolBase* getSymbol(std::wstring_view name) const;
  // Deletes the first symbol named `name`, if any.
  void removeSymbol(const std::wstring& name);
  void removeAllSymbols();
  int getSymbolCount() const;
  // The symbol at `index` in the order they were added (null entries
  // included), or null outside 0 .. getSymbolCount() - 1.
  KVRSymbolBase* getSymbolAt(int index) const;

 protected:
  void orphanMembers();
  // Called by clearHistory() after it set bit 7; does nothing here.
  virtual void onHistoryCleared();

  // Refuses an empty handle given to an operation of this entity.
  void requireEntity(const KVRSharedBase& handle, const wchar_t* role) const;
  // Refuses a location, vector, angle or profile given to an operation of
  // this entity that holds a NaN or an infinity (`finite` false), naming
  // what it is: KVREInvalidArgument, "The <what> given to %1 is not finite".
  void requireFinite(bool finite, const wchar_t* what) const {
    if (!finite) refuseNonFinite(what);
  }
  [[noreturn]] void refuseNonFinite(const wchar_t* what) const;

  // Rarely used data of a derived class, kept with the entity's own rarely
  // used parts and allocated with them on first use.
  struct KVRWORLDMODEL_API RareExtra {
    virtual ~RareExtra();
  };
  RareExtra* findRareExtra() const;
  void setRareExtra(std::unique_ptr<RareExtra> extra);

  RareParts* makeRareParts() const override;

 private:
  friend class KVRModelChecker;  // reads the cached ancestor chain without copying it
  using AncestorChain = KVRSharedChain<KVRBasicEntity>;
  // The text of a base name: immutable and shared (copies share their source's).
  struct NameText;
  // A stored full name as delivered to the children: immutable and shared by
  // every child that received it.
  struct NamePiece;
  struct Rare;
  // The full name and ancestor list handed to the children during one
  // propagation, made once and shared by all of them; made anew when this
  // entity's own change while the children are flushed.
  class Delivery {
   public:
    explicit Delivery(const KVRBasicEntity& from) : from_(from) {}
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    ~Delivery();
    // Gives `child` the full name, and with `withAncestors` the ancestor
    // list, with their bits (3, and 5).
    void deliverTo(KVRBasicEntity& child, bool withAncestors);

   private:
    const NamePiece* fullName();
    const AncestorChain& ancestors();
    // Whether `piece` is the full name of `from_` as it stands.
    bool current(const NamePiece* piece) const;

    const KVRBasicEntity& from_;
    const NamePiece* fullName_ = nullptr;
    AncestorChain ancestors_;
  };
  friend class KVRNotificationRun;

  Rare* findRare() const;
  Rare& rare() const;
  void appendBaseName(std::wstring& out) const;
  bool hasBaseName(std::wstring_view name) const;
  std::size_t hashBaseName() const;

  // Children by base name: the first child of each name, kept in an index
  // once a parent with many children is searched by name, and kept right
  // through every link, unlink and rename from then on.
  struct ChildIndex;
  KVRBasicEntity* childNamed(std::wstring_view name) const;
  void appendLogicalChild(KVRBasicEntity& child);
  void eraseLogicalChild(KVRBasicEntity& child);
  // This entity's present full name and ancestor list as its children take
  // them: the ones its first child holds when they are still current, else new.
  const NamePiece* fullNameForChildren() const;
  // The checks of a new logical child but the one for a cycle; the link once checked.
  void checkLinkableChild(const KVRSharedHandle<KVRBasicEntity>& child) const;
  void linkLogicalChild(const KVRSharedHandle<KVRBasicEntity>& child);
  void adoptCopy(const KVRSharedHandle<KVRBasicEntity>& copy);
  // Whether the stored full name is the parent's, the separator and the base name.
  bool storedFullNameFollows(const KVRBasicEntity& parent) const;
  AncestorChain ancestorsForChildren() const;

  void linkLogicalParent(const KVRSharedHandle<KVRBasicEntity>& parent, const NamePiece* parentFullName,
                         AncestorChain ancestors);
  // Takes over the reference to `parentFullName` (null: a root's).
  void setFullNamePrefix(const NamePiece* parentFullName);
  void updateLogicalAncestors(const AncestorChain& parentAncestors);
  template <class Visit>
  void orphanChildrenWhere(Visit select);

  struct LogicalLinks {
    static KVRSiblingLinks<KVRBasicEntity>& links(KVRBasicEntity& e) { return e.logicalLinks_; }
    static const KVRSiblingLinks<KVRBasicEntity>& links(const KVRBasicEntity& e) { return e.logicalLinks_; }
  };

  const NameText* name_ = nullptr;         // null: DefaultBaseName
  const NamePiece* namePrefix_ = nullptr;  // the full name before the last separator; null: nothing
  KVRSharedHandle<KVRBasicEntity> logicalParent_;
  AncestorChain logicalAncestors_;
  KVRSiblingLinks<KVRBasicEntity> logicalLinks_;  // this entity's entry among its parent's children
  KVRSiblingList<KVRBasicEntity, LogicalLinks> logicalChildren_;
};

template <class Visit>
void KVRBasicEntity::forEachInLogicalSubtree(const KVRSharedHandle<KVRBasicEntity>& root, Visit visit) {
  KVRSharedVector<KVRBasicEntity> stack{root}, children;
  while (!stack.empty()) {
    const KVRSharedHandle<KVRBasicEntity> entity = std::move(stack.back());
    stack.pop_back();
    visit(entity);
    children.clear();
    entity->getLogicalChildren(children);
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
}
