// Looking ahead on shuttles' plans: where a carried body will be, and when it
// first enters a region.

#include <algorithm>
#include <cmath>

#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRBasicWorld.h"
#include "KVRHistoryRecord.h"
#include "KVRShuttlePlannerExt.h"

namespace {

using Xform = KVRBasicXform3D<double>;

// A body as a shuttle's plan carries it: X_WE(t) = X_WP · X_PS(t) · X_SE,
// with X_SE fixed while the shuttle drives it.
struct Ride {
  KVRSharedHandle<KVRBasicShuttle3D> shuttle;
  KVRSharedHandle<KVRShuttlePlannerExt> planner;
  Xform X_WP, X_SE;

  Xform at(const KVRSimTime& t) const {
    Xform X_PS;
    planner->evaluatePose(X_PS, t - planner->getScheduledStart());
    return X_WP * X_PS * X_SE;
  }
};

// The body `entity` is, or hangs below (following spatial parents).
KVRSharedHandle<KVRBasicBody3D> bodyOf(const KVRBasicEntity3D& entity) {
  for (const KVRBasicEntity3D* e = &entity; e; e = e->getSpatialParent().get())
    if (auto* body = dynamic_cast<const KVRBasicBody3D*>(e))
      return KVRSharedHandle<KVRBasicBody3D>(const_cast<KVRBasicBody3D*>(body));
  return {};
}

// How the shuttle driving `entity` at `t` carries it, when one does. As the
// shuttle's own look-ahead: the carried body D at its recorded place on the
// shuttle, the entity where it stands relative to D now.
std::optional<Ride> rideAt(const KVRBasicEntity3D& entity, const KVRSimTime& t) {
  KVRSharedHandle<KVRBasicBody3D> carried = bodyOf(entity);
  KVRSharedHandle<KVRBasicShuttle3D> shuttle;
  if (!carried || !KVRBasicShuttle3D::getDriverShuttle(carried, t, shuttle)) return std::nullopt;
  Ride ride;
  ride.planner = shuttle->getPlanner();
  const KVRSharedHandle<KVRBasicPath3D> path = ride.planner->getPath();
  if (!path) return std::nullopt;
  const KVRSharedHandle<KVRBasicEntity3D> D(carried);
  ride.shuttle = shuttle;
  ride.X_WP = path->getBaseLocation();
  ride.X_SE = shuttle->getRelativeLocation(D) * entity.getBaseLocation(D);
  return ride;
}

}  // namespace

std::optional<KVRBasicXform3D<double>> KVRPlannedPose(const KVRBasicEntity3D& entity, const KVRSimTime& t) {
  const std::optional<Ride> ride = rideAt(entity, t);
  if (!ride) return std::nullopt;
  return ride->at(t);
}

KVRHistory::Pose KVRHistory::plannedPose(const KVRSharedHandle<KVRBasicEntity3D>& entity, const KVRSimTime& t) {
  Pose pose;
  pose.gap = Gap::AfterRecord;
  if (!entity) return pose;
  if (const auto planned = KVRPlannedPose(*entity, t)) {
    pose.gap = Gap::None;
    pose.location = *planned;
    pose.predicted = true;
  }
  return pose;
}

std::optional<KVRHistory::Arrival> KVRHistory::firstTimeInside(const KVRSharedHandle<KVRBasicBody3D>& body,
                                                               const Region& region, const KVRSimTime& t0,
                                                               const KVRSimTime& t1) const {
  if (!body || t1 < t0) return std::nullopt;
  const KVRSharedHandle<KVRBasicMfgAssembly3D> root = KVRBasicMfgAssembly3D::KVRGetRootAssembly(body->getWorld());
  if (!root) return std::nullopt;
  KVRSharedVector<KVRBasicEntity> shuttles;
  root->getLogicalChildren(KVRBasicShuttle3D::ClassInfo_, shuttles);

  // Every leg of every planned shuttle, as a span of simulation time within
  // [t0, t1], earliest first.
  struct Leg {
    KVRSimTime from, to;
    std::size_t index;
    KVRSharedHandle<KVRShuttlePlannerExt> planner;
  };
  std::vector<Leg> legs;
  for (const KVRSharedHandle<KVRBasicEntity>& s : shuttles) {
    const auto* shuttle = dynamic_cast<const KVRBasicShuttle3D*>(s.get());
    const KVRSharedHandle<KVRShuttlePlannerExt> planner = shuttle ? shuttle->getPlanner() : nullptr;
    if (!planner) continue;
    const std::vector<KVRSimTime>& times = planner->getTimes();
    for (std::size_t j = 0; j + 1 < times.size(); ++j) {
      Leg leg{planner->getScheduledStart() + std::min(times[j], times[j + 1]),
              planner->getScheduledStart() + std::max(times[j], times[j + 1]), j, planner};
      leg.from = std::max(leg.from, t0);
      leg.to = std::min(leg.to, t1);
      if (leg.from <= leg.to) legs.push_back(leg);
    }
  }
  std::stable_sort(legs.begin(), legs.end(), [](const Leg& a, const Leg& b) { return a.from < b.from; });

  // Within a leg the body's origin moves no faster than the plan's bound for
  // a point as far from the shuttle's origin: while it is d away from the
  // region it cannot enter for d / bound seconds. Stepping by that (at
  // least half a millisecond) closes in on the entry, which is then
  // bracketed to a millisecond.
  const KVRSimTime Resolution(0.001), Least(0.0005);
  for (const Leg& leg : legs) {
    // Whoever drives the body within the leg (just after its start, where
    // the planner is active) must be this leg's shuttle.
    const KVRSimTime probe = std::min(leg.from + KVRSimTime(0, 1), leg.to);
    const std::optional<Ride> ride = rideAt(*body, probe);
    if (!ride || ride->planner != leg.planner) continue;
    const double bound = leg.planner->getSpeedBound(leg.index, KVRL2Norm(ride->X_SE.getPosition()));
    const auto inside = [&](const KVRSimTime& t, Xform& X) {
      X = ride->at(t);
      return region.distance(X.getPosition());
    };
    Xform X;
    KVRSimTime before = leg.from, t = leg.from;
    for (;;) {
      const double d = inside(t, X);
      if (d <= 0.0) break;
      if (t == leg.to || bound == 0.0) {
        t = KVRSimTime(-1.0);
        break;
      }
      before = t;
      const double seconds = d / bound;
      t = seconds >= (leg.to - t).toSeconds() ? leg.to : std::min(t + std::max(KVRSimTime(seconds), Least), leg.to);
    }
    if (t < KVRSimTime()) continue;
    // Inside at t, outside at `before` (unless t is where the leg starts).
    while (t - before > Resolution) {
      const KVRSimTime middle = before + (t - before) / KVRSimTime(2.0);
      Xform Y;
      if (inside(middle, Y) <= 0.0) {
        t = middle;
        X = Y;
      } else {
        before = middle;
      }
    }
    return Arrival{t, X};
  }
  return std::nullopt;
}
