#pragma once

// KVRBasicEntity3D: the abstract base of every entity with a place in space.
//
// Besides the logical tree, a 3-D entity belongs to the spatial tree: its
// location is given relative to its spatial parent (kept by the concrete
// class) and it caches its base location, the location in the coordinates of
// the root of its spatial tree: base = base(parent) · relative. A move takes
// effect on the entity at once; its spatial descendants follow when its state
// is flushed (flushSpatialState), depth-first in child order. Until then a
// descendant's getBaseLocation() returns its old value.
//
// Location requests are answered with a request status: 0 refused (nothing
// changed), 1 applied in a modified form (the argument now holds what was
// applied), 2 applied unchanged.
//
// Flushing a moved entity carries its base location down its subtree. Where
// the subtree's entities have nothing watching them (no subscriber, no hook
// of their own: plain frames, tag points, paths, and bodies hanging on
// attachments), a flush that repeats runs as one pass over the subtree laid
// out flat in flush order, rebuilt when a spatial link below changes; where
// something watches, that entity is flushed as usual, in its turn. Either
// way every entity publishes the same bits in the same order.
//
// Event bits: 9 spatial ancestors changed, 10 own location set, 11 cached base
// location changed, 12 an ancestor's location was set, 13 own profile set,
// 14 cached base profile changed, 15 an ancestor's profile was set.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "KVRBasicEntity.h"
#include "KVRBasicProfile3D.h"
#include "KVRBasicXform3D.h"
#include "KVRChangeLog.h"

class KVRWORLDMODEL_API KVRBasicEntity3D : public KVRBasicEntity {
 public:
  using Xform = KVRBasicXform3D<double>;
  using Profile = KVRBasicProfile3D<double>;
  // A child's place in its parent's spatial children: the child itself.
  using SpatialPosition = KVRBasicEntity3D*;

  /// The spatial ancestor list changed.
  static constexpr int SpatialAncestorsChanged = 9;
  /// The entity's own location was set.
  static constexpr int LocationSet = 10;
  /// The cached base location changed.
  static constexpr int BaseLocationChanged = 11;
  /// A spatial ancestor's location was set.
  static constexpr int AncestorLocationSet = 12;
  /// The entity's own profile was set.
  static constexpr int ProfileSet = 13;
  /// The cached base profile changed.
  static constexpr int BaseProfileChanged = 14;
  /// A spatial ancestor's profile was set.
  static constexpr int AncestorProfileSet = 15;
  /// At every multiple of this spatial depth a cached base location is
  /// renormalised, so that rounding does not accumulate down long chains.
  static constexpr int NormalizationDepth = 20;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  // 3-D entities are cut from slabs the library keeps, each on its own cache
  // lines and one after the other in the order they are made: a tree made in
  // one go lies in memory about as a flush walks it. A freed entity's lines
  // go to the next entity of its size. (Builds with AddressSanitizer take
  // every entity from the heap, so that misuse of a freed one is caught.)
  static void* operator new(std::size_t size);
  static void operator delete(void* memory, std::size_t size) noexcept;
  // For memory accounting: the bytes of the blocks in use now (3-D
  // entities and the parent locations they share), and the bytes taken from
  // the heap for them so far (slabs, and the blocks that do not come from one).
  static std::size_t getEntityBlockBytes();
  static std::size_t getEntitySlabBytes();

  KVRBasicEntity3D();
  // Copies the cached profiles; the copy has no place in either tree.
  KVRBasicEntity3D(const KVRBasicEntity3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicEntity3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // --- The concrete class's relative location ----------------------------

  virtual int setRelativeLocation(Xform& location) = 0;
  virtual Xform getRelativeLocation() const = 0;
  virtual int setRelativeProfile(Profile& profile) = 0;
  virtual Profile getRelativeProfile() const = 0;

  // --- Spatial tree: queries ---------------------------------------------

  bool hasSpatialParent() const { return !spatialParent_.isNull(); }
  KVRSharedHandle<KVRBasicEntity3D> getSpatialParent() const { return spatialParent_; }
  bool hasSpatialAncestor(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  // The ancestor nearest the root whose class derives from `info`.
  KVRSharedHandle<KVRBasicEntity3D> getSpatialAncestor(const KVRClassInfo& info) const;
  // Replace the container's contents with the ancestors, root first.
  void getSpatialAncestors(KVRSharedVector<KVRBasicEntity3D>& ancestors) const;
  void getSpatialAncestors(KVRSharedList<KVRBasicEntity3D>& ancestors) const;
  int getSpatialAncestorsCount() const { return spatialDepth_; }

  bool hasSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) const;
  // Replace the container's contents with the children of the class (or all), in order.
  void getSpatialChildren(const KVRClassInfo& info, KVRSharedVector<KVRBasicEntity3D>& children) const;
  void getSpatialChildren(const KVRClassInfo& info, KVRSharedList<KVRBasicEntity3D>& children) const;
  void getSpatialChildren(KVRSharedVector<KVRBasicEntity3D>& children) const;
  void getSpatialChildren(KVRSharedList<KVRBasicEntity3D>& children) const;
  int getSpatialChildrenCount(const KVRClassInfo& info) const;
  int getSpatialChildrenCount() const { return static_cast<int>(spatialChildren_.size()); }

  // Descendants in this order: a node's children first, then, child by
  // child, each child's descendants in the same order. The containers are
  // appended to, not cleared.
  void getSpatialDescendants(KVRSharedVector<KVRBasicEntity3D>& descendants) const;
  void getSpatialDescendants(KVRSharedList<KVRBasicEntity3D>& descendants) const;
  int getSpatialDescendantsCount() const;
  // The first descendant, in that order, whose class derives from `info`.
  KVRSharedHandle<KVRBasicEntity3D> getSpatialDescendant(const KVRClassInfo& info) const;
  bool hasSpatialDescendant(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;

  // The workers behind them. `mode` 'L' appends to the list, 'V' to the
  // vector, any other value only counts; returns the number of descendants.
  int getALLSpatialDescendants(const KVRSharedHandle<KVRBasicEntity3D>& node,
                               KVRSharedList<KVRBasicEntity3D>& list,
                               KVRSharedVector<KVRBasicEntity3D>& vector, char mode) const;
  KVRSharedHandle<KVRBasicEntity3D> returnSpatialDescendant(const KVRSharedHandle<KVRBasicEntity3D>& node,
                                                            const KVRClassInfo& info) const;
  bool isThereASpatialDescendant(const KVRSharedHandle<KVRBasicEntity3D>& node,
                                 const KVRSharedHandle<KVRBasicEntity3D>& target) const;

  // --- Spatial tree: changes ---------------------------------------------
  // Each refuses an empty handle with KVREInvalidArgument and changes nothing,
  // and refuses an orphaned entity as either end of a new link
  // (KVREInvalidRelation). A body unlinked from its inner body by any of them
  // also lets go of the connection it hung on (see KVRBasicBody3D).

  // Throws what addSpatialChild would throw for `child`; changes nothing.
  void checkSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child) const;

  // Makes `child` the last spatial child; it keeps its relative location and
  // its base location is recomputed under this entity. Refused with
  // KVREAlreadyRegistered when it has a spatial parent, and with
  // KVREInvalidRelation when it is this entity or a spatial ancestor of it.
  void addSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child);
  // The same link made from the child's side.
  void addSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent);
  // Unlinks the child (KVRENotFound when it is not a child); it keeps its place in space.
  void removeSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child);
  void removeSpatialChildren(const KVRClassInfo& info);
  void removeSpatialChildren();
  // Unlinks every child without recomputing its location; does not orphan
  // them. Each child is left with bit 9 pending, so that its next flush
  // refreshes the ancestor lists of its subtree.
  void destroySpatialChildren();
  // Replaces `oldChild` by `newChild`. Everything that would refuse the new
  // child is checked before the old one is removed.
  void replaceSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& oldChild,
                           const KVRSharedHandle<KVRBasicEntity3D>& newChild);
  // Leaves the spatial parent, if any, keeping the place in space.
  void removeSpatialParent();

  // --- Spatial tree: primitive steps -------------------------------------

  SpatialPosition findSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child);
  void setSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent, const Xform& parentBase,
                        const KVRSharedList<KVRBasicEntity3D>& parentAncestors);
  void setSpatialChild(const KVRSharedHandle<KVRBasicEntity3D>& child);
  // Empties the parent link. With a nonzero `keepPlace` the base location
  // stays and bits 9 and 11 are left pending; with 0 no location or ancestor
  // bit is left pending.
  void clearSpatialParent(int keepPlace);
  void clearSpatialChild(SpatialPosition position);
  void updateSpatialAncestors(const KVRSharedList<KVRBasicEntity3D>& parentAncestors);
  // Takes the parent's ancestor list followed by the parent, as a flush
  // hands it down, sharing the parent's (bit 9): for a builder that links a
  // subtree before hanging its root and sets locations instead of flushing.
  void refreshSpatialAncestors();
  void clearSpatialAncestors();

  // --- Locations ---------------------------------------------------------

  // P · R.
  static Xform calcBaseLocation(const Xform& parent, const Xform& relative);
  // E⁻¹ · X.
  static Xform calcRelativeLocation(const Xform& reference, const Xform& location);
  // Composing profiles is not supported: both raise the "Operation not
  // supported" assertion and yield a copy of their first argument.
  static Profile calcBaseProfile(const Profile& parent, const Profile& relative);
  static Profile calcRelativeProfile(const Profile& reference, const Profile& profile);

  // The identity for an empty handle, the parent location as last delivered
  // for the spatial parent, the base location of any other entity.
  Xform getEntityLocation(const KVRSharedHandle<KVRBasicEntity3D>& reference) const;
  Profile getEntityProfile(const KVRSharedHandle<KVRBasicEntity3D>& reference) const;

  const Xform& getBaseLocation() const { return baseLocation_; }
  const Xform& getCachedBaseLocation() const { return baseLocation_; }
  // The base location with the entity's base velocities and accelerations.
  Profile getBaseProfile() const;
  Profile getCachedBaseProfile() const { return getBaseProfile(); }
  // The base location in the reference entity's coordinates.
  Xform getBaseLocation(const KVRSharedHandle<KVRBasicEntity3D>& reference) const;
  Profile getBaseProfile(const KVRSharedHandle<KVRBasicEntity3D>& reference) const;
  // The parent's base profile as last delivered to this entity.
  Profile getCachedParentProfile() const;

  // The base location composed now, from the spatial root's base location
  // down through the relative locations of every entity below it: what
  // getBaseLocation() returns once every pending flush has run, renormalised
  // at the same depths. Linear in the spatial depth, no allocation; nothing
  // is cached, set or published. KVREInvalidRelation when the spatial parent
  // links above this entity form a cycle (which only the primitive steps can make).
  Xform computeBaseLocation() const;
  // This entity's location in the reference entity's coordinates, both
  // composed now (E⁻¹ · X); for an empty handle, computeBaseLocation().
  Xform computeLocationRelativeTo(const KVRSharedHandle<KVRBasicEntity3D>& reference) const;

  // Sets the base location through the concrete class (request status as
  // above); applied, it sets bits 10 and 11. The const form is for callers
  // who do not need the adapted value back.
  int setBaseLocation(Xform& location);
  int setBaseLocation(const Xform& location);
  // Composing profiles is not supported, so a base profile cannot be turned
  // into the relative profile the concrete class needs: the request raises
  // the "Operation not supported" assertion and is refused (status 0,
  // nothing changed).
  int setBaseProfile(Profile& profile);
  int setBaseProfile(const Profile& profile);
  // `location` in the reference entity's coordinates.
  int setBaseLocation(const Xform& location, const KVRSharedHandle<KVRBasicEntity3D>& reference);
  int setBaseProfile(const Profile& profile, const KVRSharedHandle<KVRBasicEntity3D>& reference);
  // The concrete class's setters for callers who do not need the adapted value back.
  int setRelativeLocation(const Xform& location);
  int setRelativeProfile(const Profile& profile);

  // Moves expressed in a frame of the base location (ParentFrame: the base
  // axes; LocalFrame: the entity's own axes).
  int translateBase(const KVRBasicVector3D<double>& offset, KVRMath3D::ReferenceFrame frame);
  int rotateBase(KVRMath3D::AxisType axis, double angle, KVRMath3D::ReferenceFrame frame);
  int rotateBase(const KVRBasicVector3D<double>& axis, double angle, KVRMath3D::ReferenceFrame frame);
  int moveBase(const Xform& motion, KVRMath3D::ReferenceFrame frame);
  // Moves expressed in the axes of a reference entity.
  int translateBase(const KVRBasicVector3D<double>& offset,
                    const KVRSharedHandle<KVRBasicEntity3D>& reference);
  int rotateBase(KVRMath3D::AxisType axis, double angle, const KVRSharedHandle<KVRBasicEntity3D>& reference);
  int rotateBase(const KVRBasicVector3D<double>& axis, double angle,
                 const KVRSharedHandle<KVRBasicEntity3D>& reference);
  int moveBase(const Xform& motion, const KVRSharedHandle<KVRBasicEntity3D>& reference);

  // Writing the cache (bits 11; 11 and 14 for profiles). Every request that
  // takes a location, vector, angle or profile refuses one holding a NaN or
  // an infinity (KVREInvalidArgument) before anything changes.
  void setCachedBaseLocation(const Xform& location);
  void setCachedBaseProfile(const Profile& profile);
  void updateParentLocation(const Xform& parentBase);
  void updateParentProfile(const Profile& parentBase);
  // For a concrete class that changed its relative location: recomputes the
  // cached base location from the parent location (bits 10 and 11).
  void updateRelativeLocation(const Xform& relative);
  void updateRelativeProfile(const Profile& relative);

  // --- Flushing ----------------------------------------------------------

  void flushSpatialState();
  // Pushes the base location down to the children even when nothing is pending.
  void flushBaseLocation();
  // Keeps a set base location from reaching the children at the next flush.
  void cancelSpatialState() { resetEvent(BaseLocationChanged); }

  // Whether flushes that repeat lay the subtree out flat (the default). With
  // false every flush walks the children lists; what is published is the
  // same either way. For comparing the two and for diagnosis.
  static void setFlatPropagation(bool enabled);
  static bool isFlatPropagationEnabled();
  // The number of entities (this one included) in the flat layout of this
  // entity's subtree that its flushes use; 0 when they walk the children.
  int getFlatSubtreeSize() const;

  // The spatial hook: carries locations (bits 10 to 12) or profiles (13 to
  // 15) and ancestor lists (9) to the children.
  virtual void onNotification();
  virtual void propagateBaseLocation() const;
  virtual void propagateBaseProfile() const;
  virtual void propagateSpatialAncestors() const;

  void orphanObject() override;

  // --- Change logs -------------------------------------------------------

  // Enrols the entity in `log`, leaving the one it was in (null: leaves it
  // only). From then on the entity lists itself there when it moves, when
  // the body it hangs on changes, or when its members change (KVRChangeLog).
  void setChangeLog(KVRChangeLog* log);
  KVRChangeLog* getChangeLog() const;

 protected:
  void orphanMembers();

  // Lists the entity in its change log as HistoryCleared.
  void onHistoryCleared() override;
  // Lists the entity in its change log, when it has one, with `change`
  // (KVRChangeLog::Change bits).
  void noteChange(std::uint8_t change) {
    if (changeLog_ && (listedChanges_ & change) != change) listChange(change);
  }

  // setRelativeLocation, then, when applied (status 1 or 2), the cached base
  // location recomputed at once from the parent location and what was
  // applied; any other status raises the "Invalid request status" assertion.
  int setRelativeLocationAndUpdate(Xform& location);

  // KVREInvalidRelation when making `child` a spatial child of `parent` would
  // close a cycle: `child` is `parent` or one of its spatial ancestors, or
  // moving `child` would move `parent` (through the members of groups), so
  // that each would carry the other at every flush.
  static void refuseSpatialCycle(const KVRBasicEntity3D& parent, const KVRBasicEntity3D& child);

  // Carries the base location to the spatial children as propagateBaseLocation
  // does, except to those listed in `skip` (which the caller has moved its
  // own way), walking the children one by one.
  void propagateBaseLocationToChildren(const std::vector<const KVRBasicEntity3D*>& skip) const;

  // Members that this entity places itself, each with its subtree, carried
  // in one flat pass as a subtree is: the members in slot order, each placed
  // by `place` and its subtree then carried through in place, or left to the
  // usual steps when it or its subtree is watched, changed or placed in
  // another way.
  class MemberPass {
   public:
    enum class Outcome : std::uint8_t {
      Placed,   // moved (only its own location, no flush): the pass carries its subtree
      Skipped,  // not carried now
      Usual,    // to be carried by carryUsual
      Changed,  // no longer at its slot: carryFrom carries the slots from there on
    };
    virtual std::uint32_t slots() const = 0;
    virtual KVRBasicEntity3D& memberAt(std::uint32_t slot) const = 0;
    // `inPlace`: nothing watches the member and its subtree is laid out as it is now.
    virtual Outcome place(std::uint32_t slot, KVRBasicEntity3D& member, bool inPlace) const = 0;
    virtual void carryUsual(std::uint32_t slot) const = 0;
    virtual void carryFrom(std::uint32_t slot) const = 0;

   protected:
    ~MemberPass() = default;
  };
  // The layout of the members' subtrees that such passes use, kept by the entity that runs them.
  struct FlatTree;
  struct FlatTreeDeleter {
    void operator()(FlatTree* tree) const;
  };
  using MemberLayout = std::unique_ptr<FlatTree, FlatTreeDeleter>;
  // Runs the pass and returns true; false, having done nothing, when a flat
  // pass cannot run now (flat passes are off, one is running already, or
  // this is the first pass since the members changed).
  bool carryMembersFlat(MemberLayout& layout, const MemberPass& pass) const;
  // The number of entities laid out (the members and their subtrees); 0 while
  // none is, or the last pass found it out of date.
  static int getLayoutSize(const MemberLayout& layout);

  // Called by clearSpatialParent once the link to `formerParent` is gone;
  // does nothing here.
  virtual void onSpatialParentCleared(KVRBasicEntity3D& formerParent);

  // For concrete classes that store their relative location: a profile at
  // `location` without motion, and taking a profile's location into `stored`
  // while clearing the caller's velocities and accelerations.
  static Profile profileAt(const Xform& location);
  static void takeProfileLocation(Xform& stored, Profile& profile);

  // Where the concrete class keeps its relative location, when
  // getRelativeLocation() answers exactly that stored value; null otherwise.
  // Lets propagation compose in place instead of copying the location out.
  virtual const Xform* storedRelativeLocation() const { return nullptr; }

 private:
  friend class KVRModelChecker;  // reads the cached ancestor chain without copying it
  using AncestorChain = KVRSharedChain<KVRBasicEntity3D>;
  // A base location as delivered to spatial children: immutable, shared by
  // the children that received it, recycled when the last one lets go.
  struct ParentPose;
  struct OpenEntry;
  // What few 3-D entities need: motion, the flat subtree of one often flushed.
  struct Spatial;
  // The exact classes the flat pass knows to keep nothing beyond what it
  // does (found once per entity): where their relative location is kept.
  enum class Kind : std::uint8_t { Unknown, Frame, TagPoint, Path, Body, Other };

  void spatialHook_() { KVRBasicEntity3D::onNotification(); }
  const KVRBasicEntity3D* parentStillToPropagate() const;
  bool locationAwaitsParent() const;
  bool ancestorsAwaitParent() const;
  // What the spatial hook hands the children, from the pending bits: a
  // profile, a location, or neither (nothing changed, or the parent is about
  // to hand it down itself); with this entity's base location or profile
  // (deliver) and with a mark that an ancestor moved (mark).
  enum class Place : std::uint8_t { None, Profile, Location };
  struct Handing {
    bool deliver = false, mark = false;
  };
  Place placeToHandDown() const;
  Handing handingOf(Place place) const;
  bool handsDownAncestors() const { return testEvent(SpatialAncestorsChanged) && !ancestorsAwaitParent(); }
  // Gives `child` this entity's ancestor list: `shared` is the list made
  // once for the children whose parent this entity is.
  void handAncestorsTo(KVRBasicEntity3D& child, AncestorChain& shared) const;
  friend class KVRChangeLog;
  friend class KVRNotificationRun;
  void listChange(std::uint8_t change);
  // The base location of `entity`, `depth` levels below its spatial root, composed from the root down.
  static Xform composeFromRoot(const KVRBasicEntity3D& entity, int depth);
  void linkSpatialParent(const KVRSharedHandle<KVRBasicEntity3D>& parent, AncestorChain ancestors);
  void updateSpatialAncestors(const AncestorChain& parentAncestors);
  AncestorChain ancestorsForChildren() const;
  // Visits every spatial child in order, starting at `first`; a child taken
  // out while an earlier one is visited ends the walk, and then it returns false.
  template <class Visit>
  bool walkSpatialChildren(KVRBasicEntity3D* first, Visit visit) const;
  // Sets `bit` again during this entity's notification: pending after it.
  void raiseAgain(int bit) const;
  // Starts fetching what propagating a location to this entity touches first.
  void prefetchForPropagation() const;
  Spatial* findSpatial() const;
  Spatial& spatial() const;
  // setCachedBaseLocation without the check, for locations composed here.
  void storeBaseLocation(const Xform& location);
  void setBaseMotion(const Profile& profile);
  void setParentMotion(const Profile& profile);
  void clearBaseMotion();

  // The parent location as last delivered.
  const Xform& parentLocation() const;
  // Takes `location` as the parent location.
  void setParentLocation(const Xform& location);
  // Holds a pose no other entity holds (before leaving its siblings).
  void ownParentPose();
  // Holds the pose of its first sibling when that one has the same location.
  void shareSiblingPose();
  // updateParentLocation with a delivered pose.
  void receiveParentPose(ParentPose* pose);
  Kind kind() const;
  // The relative location where it is kept, when it is kept as it is answered; null otherwise.
  const Xform* relativeInPlace() const;
  // The cached base location set to X_WP · the relative location.
  void composeBaseLocation(const Xform& X_WP);
  static ParentPose* acquirePose(const Xform& X_WP);
  static void releasePose(ParentPose* pose);

  // Carrying a location down the subtree.
  // Children listed in `skip` (when given) are passed over.
  void propagateLocationByWalking(KVRBasicEntity3D* first, bool deliver, bool mark, ParentPose* pose,
                                  const std::vector<const KVRBasicEntity3D*>* skip = nullptr) const;
  FlatTree* flatTreeToUse() const;
  // The flat subtree a propagation would use now, when it is laid out and
  // current already (nothing is built or recorded); null otherwise.
  FlatTree* currentFlatTree() const;
  // A propagation of locations begins or ends (only an outermost one uses a flat subtree).
  static void enterPropagation();
  static void leavePropagation();
  // Carries a location through a flat subtree; through the members' subtrees with `members`.
  void propagateLocationFlat(FlatTree& tree, bool deliver, bool mark, const MemberPass* members = nullptr) const;
  bool isPlainNow() const;
  // A spatial children list changed: every flat subtree holding it is out of date.
  void touchTopology();
  static KVRBasicEntity3D* listOwner(const KVRBasicEntity3D& entity);

  struct SpatialLinks {
    static KVRSiblingLinks<KVRBasicEntity3D>& links(KVRBasicEntity3D& e) { return e.spatialLinks_; }
    static const KVRSiblingLinks<KVRBasicEntity3D>& links(const KVRBasicEntity3D& e) {
      return e.spatialLinks_;
    }
  };
  // Velocities and accelerations of the base and the parent profiles, kept
  // apart: they are zero for most entities, whose profiles are then just locations.
  struct Motion;
  // Applies a request status returned by the concrete class.
  template <class Apply>
  int applyStatus(int status, Apply apply);

  // The hooks every 3-D entity registers, as a signature.
  static std::uint32_t plainHookSignature_;
  static bool flatPropagation_;

  // Stamped when a children list in the subtree changes; the top bit marks
  // a change no flat subtree has read since.
  static constexpr std::uint32_t UnreadTopology = 0x80000000u;
  std::uint32_t topology() const { return spatialChildren_.ownerStamp() & ~UnreadTopology; }
  void markTopologyRead() { spatialChildren_.setOwnerStamp(topology()); }

  // Every 3-D entity starts on a cache line (its notification state fills
  // the first). This part starts on one too, with the links; then come, in
  // the order a flush reads them, the fields a flush touches, which end the
  // part one location short of a line boundary: a derived class that
  // stores its relative location first has all a flush reads of it in two
  // cache lines after the first.
  alignas(64)
      KVRSiblingLinks<KVRBasicEntity3D> spatialLinks_;  // this entity's entry among its parent's children
  KVRSiblingList<KVRBasicEntity3D, SpatialLinks> spatialChildren_;
  KVRSharedHandle<KVRBasicEntity3D> spatialParent_;
  AncestorChain spatialAncestors_;
  mutable Kind kind_ = Kind::Unknown;
  bool moving_ = false;  // some velocity or acceleration is not zero (kept apart, in Spatial)
  std::uint8_t changeLog_ = 0;      // the slot of the change log it is enrolled in, 0 for none
  std::uint8_t listedChanges_ = 0;  // the changes listed there since the log was last taken
  int spatialDepth_ = 0;
  ParentPose* parentPose_ = nullptr;  // null: the identity
  Xform baseLocation_;
};
