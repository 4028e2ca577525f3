#pragma once

// KVRBasicGroup3D: a body that carries a set of other 3-D entities with it
// (the parts on a pallet, the tools on a tool changer). The members are not
// its children in either tree: the group keeps a list of member entries, each
// with the member's location relative to the group, and holds the members
// alive. When the group's base location changes and its state is flushed, its
// own frames, tag points, paths and the bodies hanging on it follow it as any
// entity's spatial children do; then it puts every member it carries back at
// its recorded place relative to the group and flushes that member.
//
// A new group is inactive: it then carries only the members marked always
// active. activate() records where every member stands now and from then on
// carries them all. A member below another carried member in the spatial tree
// is moved by that member and not a second time by the group: only the
// top-most members of each spatial chain are moved directly (their entries are
// "propagating"), kept up to date as members come and go.
//
// No entity carries itself: a member whose moves would move the group, and a
// spatial link that would let a member carry the group, are refused.
//
// Lookups are linear scans of the entry list. The group sets no event bit of
// its own; moving a member sets the member's location bits.

#include <iosfwd>
#include <string>
#include <vector>

#include "KVRBasicBody3D.h"

class KVRWORLDMODEL_API KVRBasicGroup3D : public KVRBasicBody3D {
 public:
  // One member of the group.
  class KVRWORLDMODEL_API GroupSubEntry {
   public:
    // An empty handle, the identity, both flags 0.
    GroupSubEntry();
    // KVREInvalidCast when `entity` is not a 3-D entity.
    GroupSubEntry(const KVRSharedHandle<KVRBasicEntity>& entity, const Xform& relativeLocation,
                  int propagating, int alwaysActive);
    GroupSubEntry(const GroupSubEntry& other) = default;
    GroupSubEntry(GroupSubEntry&& other) noexcept = default;
    GroupSubEntry& operator=(const GroupSubEntry& other) = default;
    GroupSubEntry& operator=(GroupSubEntry&& other) noexcept = default;

    // Same member object; locations and flags are not compared.
    bool operator==(const GroupSubEntry& other) const { return entity == other.entity; }

    KVRSharedHandle<KVRBasicEntity3D> entity;
    // X_GM: the member's base location in the group's frame, as last recorded.
    Xform relativeLocation;
    // 1 when the group moves the member directly; 0 when a spatial ancestor
    // of the member is itself a propagating member.
    int propagating = 0;
    // Nonzero when the group moves the member even while inactive.
    int alwaysActive = 0;
  };

  // Entries in the order the members were added.
  using EntryList = std::vector<GroupSubEntry>;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicGroup3D();
  // Copies the body part and the active state; the copy has no members.
  KVRBasicGroup3D(const KVRBasicGroup3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicGroup3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // The overloads below would hide these.
  using KVRBasicBody3D::getRelativeLocation;
  using KVRBasicBody3D::setRelativeLocation;
  using KVRBasicEntity::findEntity;

  // --- Membership: queries -----------------------------------------------
  // Names are base names, compared exactly; of two members with the same
  // base name only the first is reachable by name.

  int hasEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  int hasEntity(const std::wstring& name) const;
  // The first member with that base name; empty when there is none.
  KVRSharedHandle<KVRBasicEntity3D> getEntity(const std::wstring& name) const;
  // Append the members (of the class, or all), in entry order; the container is not cleared.
  void getEntities(KVRSharedVector<KVRBasicEntity3D>& entities) const;
  void getEntities(KVRSharedList<KVRBasicEntity3D>& entities) const;
  void getEntities(const KVRClassInfo& info, KVRSharedVector<KVRBasicEntity3D>& entities) const;
  void getEntities(const KVRClassInfo& info, KVRSharedList<KVRBasicEntity3D>& entities) const;
  unsigned int getEntityCount() const { return static_cast<unsigned int>(entries_.size()); }
  unsigned int getEntityCount(const KVRClassInfo& info) const;

  // --- Membership: changes -----------------------------------------------
  // Refusals leave the group as it was.

  // Adds `entity` where it stands now. Refused: an empty handle
  // (KVREInvalidArgument); a member ("Entity already exists in Group ",
  // KVREAlreadyRegistered); the group itself, a spatial ancestor of the group
  // or any entity whose move would move the group (KVREInvalidRelation): the
  // group would carry itself without end.
  void addEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity);
  // 1 when the member's entry was erased; 0, changing nothing, when there is
  // no such member. Members that were below it become propagating again when
  // no other member is above them.
  int removeEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity);
  int removeEntity(const std::wstring& name);
  // Erases the entries of every member whose class derives from `info`.
  void removeEntities(const KVRClassInfo& info);
  void removeAll() { entries_.clear(); }
  // Erases `oldEntity`'s entry and adds `newEntity` where it stands now.
  // Members that were below the old one keep a cleared propagating flag unless
  // the new one is above them. Refused: an empty handle (KVREInvalidArgument);
  // "%1 not found in %2" (KVRENotFound) and "%1 already in %2"
  // (KVREInvalidRelation) with full names; and whatever addEntity refuses.
  void replaceEntity(const KVRSharedHandle<KVRBasicEntity3D>& oldEntity,
                     const KVRSharedHandle<KVRBasicEntity3D>& newEntity);

  // --- Locations and carrying --------------------------------------------

  // Moves the member at once to X_WG · X_GM, active or not, and records X_GM.
  // Nothing happens for a non-member.
  void setRelativeLocation(const KVRSharedHandle<KVRBasicEntity3D>& entity, const Xform& X_GM);
  void setRelativeLocation(const std::wstring& name, const Xform& X_GM);
  // The member's recorded X_GM; KVRENotFound "Entity not found" for a non-member.
  Xform getRelativeLocation(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  Xform getRelativeLocation(const std::wstring& name) const;
  // Stores the flag as given (nonzero: carried while inactive); nothing happens for a non-member.
  void setEntityAlwaysActive(const KVRSharedHandle<KVRBasicEntity3D>& entity, int alwaysActive);
  void setEntityAlwaysActive(const std::wstring& name, int alwaysActive);

  // Every member's entry as it stands: the member, the location relative to
  // the group it is carried at, and its two flags.
  const EntryList& getEntries() const { return entries_; }
  // Appends a member with the entry it had when its cell was saved, flags
  // included (a cell loaded from a file). Refuses what addEntity refuses,
  // and a location that is not finite, before anything changes.
  void restoreEntity(const GroupSubEntry& entry);

  // Makes the group active and records where every member stands now.
  virtual void activate();
  // Makes the group inactive; the recorded locations stay.
  void deactivate() { active_ = 0; }
  int isActive() const { return active_; }

  // Six lines for the group, then four per member: name, X_GM, base location
  // and roll, pitch, yaw of the base location in degrees.
  void dump(std::ostream& os) const;

  // --- Hooks ---------------------------------------------------------------

  // Carries the base location to the spatial children that are not carried
  // members, then puts every carried member (propagating, and active or
  // always active) at X_WG · X_GM and flushes it. A propagation that comes
  // back to this group (through a cycle only the primitive steps can make)
  // stops there.
  void propagateBaseLocation() const override;
  // The number of entities (every member and its spatial descendants) laid
  // out for carrying the members in one pass, as a subtree is laid out flat
  // (from the second carrying without a change of members or of their
  // subtrees); 0 while they are carried one by one.
  int getFlatMembersSize() const { return getLayoutSize(memberLayout_); }

  // --- Carrying ------------------------------------------------------------

  // Whether moving `mover` moves `target` at the flush that follows: through
  // spatial children, the members of groups (whatever their flags, which
  // activating a group changes) and the path a shuttle's planner follows
  // (which a shuttle carrying that shuttle moves along). `target` equal to
  // `mover` counts only when the moves come back to it.
  static bool carries(const KVRBasicEntity3D& mover, const KVRBasicEntity3D& target);
  // Whether a group exists: until one does, only spatial children carry.
  static bool anyExists() { return count_ > 0; }

  void orphanObject() override;

 protected:
  void orphanMembers() {}

  // The entries, for derived classes that carry members their own way; the
  // flags must stay as the operations above keep them.
  EntryList& getEntries() { return entries_; }
  // Whether the group moves the member of this entry now.
  bool isCarried(const GroupSubEntry& entry) const {
    return entry.propagating && (entry.alwaysActive || active_);
  }
  // Moves one carried member to X_WG · X_GM and flushes it; called by
  // propagateBaseLocation for every carried entry, in entry order.
  virtual void carryMember(const GroupSubEntry& entry, const Xform& X_WG) const;
  // Moves `entity` to X_WE and flushes it. One of this group's spatial
  // children first takes the group's base location as its parent's.
  void carry(const KVRSharedHandle<KVRBasicEntity3D>& entity, Xform X_WE) const;

  // 1 with the position of the first entry of that member (or base name); 0 otherwise.
  int findEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity, EntryList::iterator& position);
  int findEntity(const KVRSharedHandle<KVRBasicEntity3D>& entity, EntryList::const_iterator& position) const;
  int findEntity(const std::wstring& name, EntryList::iterator& position);
  int findEntity(const std::wstring& name, EntryList::const_iterator& position) const;

  // The spatial ancestor of `entity` nearest the root that is a member (a
  // propagating member); empty when there is none.
  KVRSharedHandle<KVRBasicEntity3D> getAncestor(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  KVRSharedHandle<KVRBasicEntity3D> getPropagatingAncestor(
      const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  // Every entry without a member among its spatial ancestors becomes propagating.
  void ActivatePropagationNextLevel();
  // Clears the propagating flag of every entry whose propagating ancestor is `entity`.
  void deActivatePropagationToChildren(const KVRSharedHandle<KVRBasicEntity3D>& entity);

 private:
  // Refuses, before anything changes, an entity addEntity would not take.
  void refuseMember(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  template <class Container>
  void appendEntities(const KVRClassInfo* info, Container& entities) const;

  // The carried members for a flat pass: each put at X_WG · X_GM.
  class MemberCarrier;

  static int count_;  // groups alive

  EntryList entries_;
  // The spatial children the running propagation carries as members.
  mutable std::vector<const KVRBasicEntity3D*> carriedChildren_;
  int active_ = 0;
  mutable bool propagating_ = false;  // a propagation of this group is running
  mutable MemberLayout memberLayout_;  // the members' subtrees, laid out for carrying them
};
