#pragma once

// KVRBasicShuttle3D: a mobile group, such as a conveyor carriage or an AGV,
// driven along a tag path over simulation time by its motion planner (the
// KVRShuttlePlannerExt extension attached to it). Like every group it carries
// its members: activate() records where each stands relative to the shuttle,
// and every move of the shuttle puts them back there. A shuttle may carry
// other shuttles; a carried shuttle's path is then carried too, so that the
// inner shuttle keeps running on its path while the outer one moves it.
//
// The class also answers, for any body at any simulation time, which active
// shuttle carries it (the shuttles under the world's root assembly), and
// where the body then stands and how fast it moves.
//
// Without a planner a shuttle does not move by itself. It sets no event bit
// of its own; the members, paths and tag points it moves set theirs.

#include <iosfwd>

#include "KVRBasicGroup3D.h"
#include "KVRSimTime.h"

class KVRShuttlePlannerExt;

class KVRWORLDMODEL_API KVRBasicShuttle3D : public KVRBasicGroup3D {
 public:
  using Vector = KVRBasicVector3D<double>;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicShuttle3D();
  // Copies the group part: the active state, no members, no planner.
  KVRBasicShuttle3D(const KVRBasicShuttle3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicShuttle3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // --- Queries --------------------------------------------------------------------
  // Times are simulation times: the planner's time axis starts at its
  // scheduled start.

  // The attached planner; empty when there is none.
  KVRSharedHandle<KVRShuttlePlannerExt> getPlanner() const;
  // Whether the planner's move is under way at `t`; false without a planner.
  bool isMotionActive(const KVRSimTime& t) const;
  // The shuttle's pose at `t` in its path's coordinates, as its planner
  // gives it, from the scheduled start to the end of the move. False, `out`
  // unchanged: no planner or plan, `t` before the scheduled start or after
  // the end of the move.
  bool evaluateShuttlePosition(const KVRSimTime& t, Xform& out) const;
  // The shuttle's linear velocity at `t` in its path's axes, by the difference
  // of the poses 0.05 s apart (the last 0.05 s of the move, backwards, near
  // its end). False, `out` unchanged, where evaluateShuttlePosition is false.
  bool evaluateShuttleVelocity(const KVRSimTime& t, Vector& out) const;

  // Six lines for the shuttle, then three per member: name, location relative
  // to the shuttle as recorded, base location.
  void dump(std::ostream& os) const;

  // --- Bodies carried by shuttles --------------------------------------------------
  // An empty body handle is refused (KVREInvalidArgument).

  // The active shuttle carrying `body` at `t`: `body` itself or, first, one
  // of its logical ancestors, outermost first, carried by one of the shuttles
  // standing under the world's root assembly, in child order. On success
  // `shuttle` is that shuttle and `body` the body it carries directly; false,
  // both unchanged, when there is none (also for a body in no world, or in a
  // world without a root assembly).
  static bool getDriverShuttle(KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t,
                               KVRSharedHandle<KVRBasicShuttle3D>& shuttle);
  // The base location `body` will have at `t` because of the shuttle that
  // carries it: exactly where it stands once that shuttle's planner has moved
  // it to `t` and it has been flushed, with its path where it stands now.
  // False, `out` unchanged, when no active shuttle carries it.
  static bool evaluateBodyPosition(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t,
                                   Xform& out);
  // The linear velocity, in world axes, of the shuttle that carries `body`
  // at `t` (the body's offset from the shuttle plays no part). False, `out`
  // unchanged, when no active shuttle carries it; false with the zero vector
  // when the carrying shuttle's velocity cannot be evaluated at `t`.
  static bool evaluateBodyVelocity(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t,
                                   Vector& out);

  // Why `body` is or is not driven at `t`: the first of the conditions of
  // getDriverShuttle that fails, in the order below, with one sentence that
  // names the entities concerned.
  enum class Drive {
    Driven,                // an active shuttle carries it: `shuttle` and `carried` say which
    NoWorld,               // the body is in no world
    NoRootAssembly,        // its world has no assembly (the first assembly added is the root)
    NotCarried,            // no shuttle of the world carries it or a body above it
    NotUnderRootAssembly,  // the shuttle carrying it is not a child of the root assembly
    NoPlan,                // that shuttle has no planner, or its planner no plan
    NotScheduled,          // its planner's scheduled start was never set
    NotActive,             // its move is not under way at `t`
  };
  struct DriveDiagnosis {
    Drive drive = Drive::NotCarried;
    KVRSharedHandle<KVRBasicShuttle3D> shuttle;  // the carrying shuttle, when one was found
    KVRSharedHandle<KVRBasicBody3D> carried;     // the body it carries: `body` or one above it
    std::wstring explanation;
  };
  static DriveDiagnosis diagnoseDriving(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t);

  // --- Changes ----------------------------------------------------------------------

  // The group's activation, and each carried shuttle's path recorded
  // relative to this shuttle.
  void activate() override;
  virtual void deactivate();

  void orphanObject() override;

 protected:
  void orphanMembers() {}

  // The group's carrying, then a carried shuttle's path put at its recorded
  // place relative to this shuttle and flushed, so that its tag points and
  // their reference frames follow. The carried shuttle does not plan again:
  // its path's points publish a move of their base locations, not a new route.
  void carryMember(const GroupSubEntry& entry, const Xform& X_WS) const override;
};
