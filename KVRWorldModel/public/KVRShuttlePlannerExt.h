#pragma once

// KVRShuttlePlannerExt: the extension that gives a shuttle its motion. It is
// bound to one tag path and a time span and plans when the shuttle passes
// each tag point: the legs between consecutive points share the span in
// proportion to how far the shuttle travels and turns on them (or take the
// points' own durations). From the plan it gives the pose at any time of its
// own time axis, in the path's coordinates, and moves the shuttle there.
//
// A leg whose end point carries a reference frame pair (the assembly tag-point
// extension) is ridden on a frame that slides and turns from the first frame
// to the second while the point moves within it; every other leg moves
// straight and turns about one fixed axis, both in proportion to time.
//
// The planner follows its path: when the path publishes a route change
// (bit 17) it plans again over the span last asked for. Orphaning it (with its
// shuttle, or by removing it) lets go of the path. It sets no event bit.
//
// Times: the plan lies on the planner's own time axis; the scheduled start is
// the simulation time at which that axis begins (isActive), 2^32 - 1 s for a
// new planner, so that it is never active at ordinary times.

#include <bitset>
#include <iosfwd>
#include <vector>

#include "KVRBasicQtn3D.h"
#include "KVRBasicVector3D.h"
#include "KVRBasicXform3D.h"
#include "KVRExtendibleObject.h"
#include "KVRSimTime.h"
#include "KVRWorldModelExport.h"

class KVRBasicPath3D;

class KVRWORLDMODEL_API KVRShuttlePlannerExt : public KVRExtensionObject {
 public:
  using Xform = KVRBasicXform3D<double>;
  using Vector = KVRBasicVector3D<double>;
  using Qtn = KVRBasicQtn3D<double>;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  /// The scheduled start of a new planner, in seconds: 2^32 - 1.
  static constexpr double DefaultScheduledStart = 4294967295.0;
  /// The time step of velocity estimates, in seconds.
  static constexpr double VelocityStep = 0.05;

  // Unbound, empty plan, identity shuttle path transform, the default
  // scheduled start, custom flag 0.
  KVRShuttlePlannerExt();
  // Copies the plan, the path handle and the flags, but not the scheduled
  // start, which is KVRSimTime() (0 s). The copy is attached to nothing and
  // not subscribed to the path: it does not plan again when the path changes.
  KVRShuttlePlannerExt(const KVRShuttlePlannerExt& source, CopyMode mode = CopyAlone);
  ~KVRShuttlePlannerExt() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;

  // --- Binding a path ----------------------------------------------------------

  // Binds `path`, follows its route changes and plans over [start, end].
  // Refused, changing nothing: an empty handle (KVREInvalidArgument); a bound
  // planner ("Motion planner already in use", KVREAlreadyRegistered); an
  // orphaned planner or path (KVREInvalidRelation).
  void setPath(const KVRSharedHandle<KVRBasicPath3D>& path, const KVRSimTime& start, const KVRSimTime& end);
  // Unsubscribes, lets go of the path and empties the plan. The first and
  // last locations and the current distance keep their values.
  void clearPath();
  // Stops following the path's route changes; the path stays bound.
  void unRegisterEventFunctor();
  KVRSharedHandle<KVRBasicPath3D> getPath() const;
  bool isBound() const;

  // --- The plan ------------------------------------------------------------------

  // Plans from the path's tag points, the first passed at `start` and the
  // last at `end` (end before start gives a descending plan). An unbound
  // planner, or a path without tag points, gives an empty plan; either way
  // the span is remembered and used when the path's route next changes.
  // Planned times never run against the span's direction: when the custom
  // durations add up to more than the span, the last leg takes no time and
  // the move ends when the last custom leg does (the span grows to their sum).
  void setPoints(const KVRSimTime& start, const KVRSimTime& end);
  // Re-times the plan to [start, end] in proportion; with the custom flag
  // set, or a plan of zero span, plans again instead. With an empty plan
  // only the span is remembered.
  void changeMoveTime(const KVRSimTime& start, const KVRSimTime& end);
  // The first and the last planned time; false, leaving both unchanged,
  // when the plan is empty.
  bool getMoveTime(KVRSimTime& first, KVRSimTime& last) const;
  // One planned time per tag point, in route order; empty without a plan.
  const std::vector<KVRSimTime>& getTimes() const { return plan_.times; }
  // The span last asked for (setPath, setPoints, changeMoveTime), over which
  // a route change plans again.
  void getSpan(KVRSimTime& start, KVRSimTime& end) const {
    start = spanStart_;
    end = spanEnd_;
  }
  // Puts back the times and the distance travelled of a plan saved with its
  // cell, once the planner has planned over the same path and span (times
  // moved by changeMoveTime are not those of a fresh plan). Refuses, changing
  // nothing, a list that does not hold one time per planned point.
  void restoreTimes(const std::vector<KVRSimTime>& times, double distance);

  void setScheduledStart(const KVRSimTime& start) { scheduledStart_ = start; }
  const KVRSimTime& getScheduledStart() const { return scheduledStart_; }
  // Nonzero: legs take their start point's own duration (getDuration)
  // instead of a share of the span, from the next planning on.
  void setCustomFlag(int flag) { customFlag_ = flag; }
  int getCustomFlag() const { return customFlag_; }
  // Where the path stands relative to a shuttle carrying this planner's
  // shuttle (recorded by that shuttle's activate()).
  // KVREInvalidArgument for a location that is not finite.
  void setShuttlePathXform(const Xform& X_SP);
  const Xform& getShuttlePathXform() const { return shuttlePathXform_; }

  // --- Evaluation ---------------------------------------------------------------
  // Times here are on the planner's own axis: simulation time minus the
  // scheduled start.

  // The pose at `t` in the path's coordinates (the tag points' relative
  // locations); sets the current distance. Before the plan the first point,
  // after it the last. False, `out` unchanged, when the plan is empty.
  bool evaluate(Xform& out, const KVRSimTime& t);
  // The same pose, leaving the current distance as it is: for looking ahead.
  bool evaluatePose(Xform& out, const KVRSimTime& t) const;
  // An upper bound of the speed, in length per second of the planner's
  // axis, of a point fixed `radius` away from the shuttle's origin while the
  // shuttle rides leg `leg` (from tag point `leg` to the next); 0 for a leg
  // that takes no time or does not exist.
  double getSpeedBound(std::size_t leg, double radius) const;
  // Moves the shuttle to the path's base location times its pose at `t`;
  // returns the shuttle's request status. 0, nothing moved, when the plan is
  // empty, the planner is unbound or attached to nothing. KVREInvalidCast
  // when the extended object is not a 3-D entity.
  int moveBasicObject(const KVRSimTime& t);
  // The same move by simulation time, the clock of isActive and of the
  // shuttle's and bodies' evaluations: moveBasicObject(t - scheduled start).
  // Refused, nothing moved (KVREInvalidArgument naming the shuttle, `t` and
  // the scheduled move): an empty plan, a `t` outside the scheduled move
  // (from the scheduled start to its end, both included), a planner attached
  // to nothing. The shuttle's members follow at its next flush.
  int moveAtSimulationTime(const KVRSimTime& t);
  // Whether simulation time `t` falls in the scheduled move: after the
  // scheduled start S (at S itself only when t is 0) up to S plus the last
  // planned time. False when the plan is empty.
  bool isActive(const KVRSimTime& t) const;
  // The travelled length at the last evaluated time; 0 after planning.
  double getCurrentDistance() const { return currentDistance_; }

  // Diagnostics: the per-point and per-leg data of the plan, one line each.
  void dumpPath(std::ostream& os) const;
  void dumpTimes(std::ostream& os) const;

  // --- Hooks ---------------------------------------------------------------------

  // The bound path's route change (bit 17) plans again over the span last asked for.
  void onEvent(const KVRSharedConstPointer<KVRBasicPath3D>& path, const std::bitset<64>& mask);
  // Nothing to bind: the path is bound by setPath.
  void bindMembers() override;
  // clearPath().
  void orphanMembers() override;

 private:
  // KVREInvalidRelation when `path` carries the shuttle this planner moves.
  void refuseCarryingCycle(const KVRBasicPath3D* path) const;

  // One leg, from tag point j to j + 1, as evaluation reads it. The point
  // turns about `turnAxis` by `turnAngle` from its start orientation. On a
  // plain leg it moves straight from `startPosition` to `endPosition`; on a
  // reference-frame leg those are the origins of the moving frame, whose
  // other data lie in the plan's framed legs at index `framed` (-1: plain).
  // Two cache lines, so that evaluation stays fast on long plans.
  struct alignas(64) Leg {
    Qtn startOrientation;
    Vector turnAxis;
    double turnAngle = 0.0;
    Vector startPosition, endPosition;
    double distance = 0.0;  // travelled length from the first point to the leg's end
    int framed = -1;
  };
  // The rest of a reference-frame leg: the frame's orientation at the start
  // and its turn, and the point's position in the frame at either end.
  struct FramedLeg {
    Qtn startOrientation;
    Vector turnAxis;
    double turnAngle = 0.0;
    Vector localStart, localEnd;
  };
  // The plan: one time per tag point, one leg between two.
  struct Plan {
    std::vector<KVRSimTime> times;
    std::vector<Leg> legs;
    std::vector<FramedLeg> framedLegs;
    Xform firstLocation;  // of the first tag point
    Xform lastLocation;   // of the last tag point
  };

  // The plan of `path`'s tag points over [start, end]; empty when there are none.
  Plan buildPlan(const KVRSharedHandle<KVRBasicPath3D>& path, const KVRSimTime& start,
                 const KVRSimTime& end) const;
  // The time of the last point: `end`, but never before the time of the
  // point before it in the direction of the span.
  static KVRSimTime lastTime(const KVRSimTime& previous, const KVRSimTime& start, const KVRSimTime& end);
  // Where the point stands at fraction `s` of the leg, in the path's coordinates.
  static Vector positionOnLeg(const Leg& leg, const FramedLeg* framed, double s);
  // evaluate(), the distance travelled written to `distance`.
  bool poseOnPlan(Xform& out, const KVRSimTime& t, double& distance) const;
  // Takes `plan` as the plan; the travelled length starts again at 0.
  void install(Plan&& plan);
  void rememberSpan(const KVRSimTime& start, const KVRSimTime& end);

  KVRSharedHandle<KVRBasicPath3D> path_;
  Xform shuttlePathXform_;
  Plan plan_;
  KVRSimTime scheduledStart_{DefaultScheduledStart};
  int customFlag_ = 0;
  double currentDistance_ = 0.0;
  // The span last asked for, planned with when the path's route changes.
  KVRSimTime spanStart_, spanEnd_;
};
