#pragma once

// KVRHistory: where the entities of a world (or of any subtree) were, who
// held its bodies and when, and where shuttle-carried bodies will be.
//
// Recording. The recorder follows the logical subtree of its root. Each
// record() is a step at the root's simulation time (or a given time, never
// earlier than the last step's): it keeps a pose sample for every 3-D entity
// whose cached base location changed since the step before, and nothing for
// those that stood still. Moves are learnt from a KVRChangeLog the entities
// are enrolled in, so a step costs in proportion to what moved; the subtree
// is walked again only at steps after an entity was added or removed
// anywhere (KVRBasicEntity::getLinkEra). An entity that starts moving after
// standing still gets a sample at the step before too, so that poses
// between two of its samples are interpolated only over a step in which it
// really moved. Samples older than the horizon (default: none are) are let
// go, except the last one before it, when an entity's samples would
// otherwise need more room. An entity's clearHistory() empties its
// samples and custody (its record starts again at the next step).
// Entities destroyed or taken out of the subtree keep their past.
//
// Custody. For each body: who holds it (the body it hangs on and how:
// attached, grabbed, hung on a connection made otherwise; or, for a body
// hanging on nothing, the group that carries it as a member) and the chain
// of groups that carry that holder (a pallet assembly on a shuttle), each
// state an interval stamped with the times of the steps at which it began
// and ended. A body passed from one holder to another within one step is
// handed over: one event, not a release and a pick.
//
// Looking ahead. A body carried by a shuttle whose planner is active at a
// time after the last step (KVRBasicShuttle3D::getDriverShuttle) has the
// pose the plan gives it then, and so has everything hanging below it; no
// other pose is ever extrapolated. The plan is read, never moved.
//
// The recorder keeps handles to the entities it has seen (their past
// outlives them) and enrols them in its change log, which it leaves when
// destroyed. It is not copyable.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KVRBasicBody3D.h"
#include "KVRBasicGroup3D.h"
#include "KVRHistoryAPI.h"
#include "KVRSimTime.h"

class KVRHISTORY_API KVRHistory {
 public:
  using Xform = KVRBasicXform3D<double>;
  using Vector = KVRBasicVector3D<double>;

  // Why poseAt has no pose.
  enum class Gap {
    None,           // there is a pose
    UnknownEntity,  // never part of the record
    BeforeRecord,   // before the entity's first sample
    AfterRecord,    // after the last step (or after the entity left), and no active planned shuttle carries it then
  };
  struct Pose {
    Gap gap = Gap::UnknownEntity;
    Xform location;          // in world coordinates; the identity when there is a gap
    bool predicted = false;  // from a shuttle's plan rather than from samples
    explicit operator bool() const { return gap == Gap::None; }
  };

  enum class Hold { Attached, Grabbed, Connected, Member };
  // "attached", "grabbed", "connected" or "member".
  static const char* holdName(Hold hold);
  struct Custody {
    KVRSimTime from, to;  // the steps at which the state began and ended (`to`: the last step while open)
    bool open = false;    // still the state at the last step
    bool handedOver = false;  // began as another holder let go within the same step
    KVRSharedHandle<KVRBasicEntity3D> holder;  // the body it hangs on, or the group carrying it
    Hold hold = Hold::Attached;
    std::vector<KVRSharedHandle<KVRBasicGroup3D>> carriers;  // the groups carrying the holder, innermost first
  };

  // A sphere, or an axis-aligned box, in world coordinates.
  struct Region {
    static Region sphere(const Vector& centre, double radius);
    static Region box(const Vector& lowest, const Vector& highest);
    // How far `point` lies outside (0 inside or on the boundary).
    double distance(const Vector& point) const;
    bool isSphere = true;
    Vector a, b;  // the centre and (radius, 0, 0), or the two corners
  };
  struct Arrival {
    KVRSimTime time;  // the first step of a millisecond at which the origin is inside
    Xform location;
  };

  // Follows the logical subtree of `root` (KVREInvalidArgument for an empty
  // or orphaned handle) and records its first step at once.
  explicit KVRHistory(const KVRSharedHandle<KVRBasicEntity>& root);
  KVRHistory(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time);
  KVRHistory(const KVRHistory&) = delete;
  KVRHistory& operator=(const KVRHistory&) = delete;
  ~KVRHistory();

  // Records a step at the root's simulation time (zero in no world) or at
  // `time`. KVREInvalidArgument, recording nothing, for a time before the
  // last step's; a step at the same time as the last one replaces nothing
  // but adds the moves since.
  void record();
  void record(const KVRSimTime& time);

  // Samples older than `horizon` before the latest step are let go as
  // entities move on, when they would otherwise need more room (the last one
  // before the edge stays, for poses at the edge).
  // KVREInvalidArgument for a negative horizon.
  void setHorizon(const KVRSimTime& horizon);
  std::optional<KVRSimTime> getHorizon() const;

  int getStepCount() const;
  KVRSimTime getFirstTime() const;
  KVRSimTime getLastTime() const;
  std::size_t getSampleCount() const;
  std::size_t getSampleCount(const KVRSharedHandle<KVRBasicEntity3D>& entity) const;
  // The memory the samples take, room kept for the next ones included. A
  // sample takes 60 bytes.
  std::size_t getSampleBytes() const;

  // The pose of `entity` at `t`: a sample's exactly at its step's time,
  // interpolated between two samples (position linearly, rotation by
  // slerp), the last sample's up to the last step, and after the last step
  // the pose a planned shuttle gives it; otherwise a gap, with its reason.
  Pose poseAt(const KVRSharedHandle<KVRBasicEntity3D>& entity, const KVRSimTime& t) const;
  // The pose a shuttle's plan gives `entity` at `t` (predicted), when an
  // active planned shuttle carries it or the body it hangs below then; else
  // the AfterRecord gap. Needs no recorder; moves nothing.
  static Pose plannedPose(const KVRSharedHandle<KVRBasicEntity3D>& entity, const KVRSimTime& t);
  // Why there is no pose, in words.
  static std::wstring describe(Gap gap);

  // The custody intervals of `body` overlapping [t0, t1], in order.
  std::vector<Custody> custody(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t0,
                               const KVRSimTime& t1) const;

  // Who holds each body below `root` now (bodies held by nothing are left
  // out), by the rules of custody above, in logical tree order; `from`, `to`
  // and the flags are left at their defaults. For tools that take whole
  // snapshots (a timeline) rather than following steps.
  static std::vector<std::pair<KVRSharedHandle<KVRBasicBody3D>, Custody>> custodyNow(
      const KVRSharedHandle<KVRBasicEntity>& root);

  // For `body` carried by a shuttle whose planner is active within [t0, t1]:
  // the first time, to 1 ms, at which the body's origin
  // is inside `region`, and its pose then; none when it never is while
  // planned. Found leg by leg on the plan, stepping by how far the region
  // is and how fast the leg can bring the body closer.
  std::optional<Arrival> firstTimeInside(const KVRSharedHandle<KVRBasicBody3D>& body, const Region& region,
                                         const KVRSimTime& t0, const KVRSimTime& t1) const;

  // What the recorder keeps, opaque outside the library.
  struct Record;

 private:
  std::unique_ptr<Record> record_;
};
