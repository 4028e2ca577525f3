#include "KVRBasicShuttle3D.h"

#include <iomanip>
#include <ostream>
#include <string>

#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicWorld.h"
#include "KVRException.h"
#include "KVRShuttlePlannerExt.h"

constinit const KVRClassInfo KVRBasicShuttle3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicShuttle3D>("KVRBasicShuttle3D", KVRBasicGroup3D::ClassInfo_);
constinit const KVRUUID KVRBasicShuttle3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e13");

namespace {

using Planner = KVRSharedHandle<KVRShuttlePlannerExt>;

const KVRSimTime VelocityStep(KVRShuttlePlannerExt::VelocityStep);

std::wstring fullNameOf(const KVRBasicEntity& entity) {
  return entity.getEntityName(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

void refuseEmptyBody(const KVRSharedHandle<KVRBasicBody3D>& body) {
  if (!body) throw KVREInvalidArgument(L"An empty handle was given as the body a shuttle carries");
}

Planner plannerOf(const KVRBasicEntity3D& entity) {
  return Planner::downcast(entity.getExtension(KVRShuttlePlannerExt::ClassID_));
}

// The planner of a member that is a shuttle whose planner has a path; empty otherwise.
Planner pathPlannerOf(const KVRSharedHandle<KVRBasicEntity3D>& member) {
  if (!member.isDerivedFrom(KVRBasicShuttle3D::ClassInfo_)) return Planner();
  Planner planner = plannerOf(*member);
  return planner && planner->getPath() ? planner : Planner();
}

}  // namespace

// --- Construction ------------------------------------------------------------------

KVRBasicShuttle3D::KVRBasicShuttle3D() = default;

KVRBasicShuttle3D::KVRBasicShuttle3D(const KVRBasicShuttle3D& source, CopyMode mode)
    : KVRBasicGroup3D(source, mode) {}

KVRBasicShuttle3D::~KVRBasicShuttle3D() { KVRBasicShuttle3D::orphanObject(); }

const KVRClassInfo& KVRBasicShuttle3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicShuttle3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicShuttle3D::getEntityTypeName() const { return KVRMessage(L"Shuttle"); }

// --- Queries ---------------------------------------------------------------------------

KVRSharedHandle<KVRShuttlePlannerExt> KVRBasicShuttle3D::getPlanner() const { return plannerOf(*this); }

bool KVRBasicShuttle3D::isMotionActive(const KVRSimTime& t) const {
  const Planner planner = getPlanner();
  return planner && planner->isActive(t);
}

bool KVRBasicShuttle3D::evaluateShuttlePosition(const KVRSimTime& t, Xform& out) const {
  const Planner planner = getPlanner();
  KVRSimTime first, end;
  if (!planner || !planner->getMoveTime(first, end)) return false;
  const KVRSimTime r = t - planner->getScheduledStart();
  if (r < KVRSimTime() || r > end) return false;
  return planner->evaluate(out, r);
}

bool KVRBasicShuttle3D::evaluateShuttleVelocity(const KVRSimTime& t, Vector& out) const {
  const Planner planner = getPlanner();
  KVRSimTime first, end;
  if (!planner || !planner->getMoveTime(first, end)) return false;
  const KVRSimTime r = t - planner->getScheduledStart();
  if (r < KVRSimTime()) return false;
  KVRSimTime t1 = r, t2 = r + VelocityStep;
  const KVRSimTime beyond = t2 - end;
  if (beyond > VelocityStep) return false;
  // Near the end the forward step would pass it: step back from the end instead.
  if (beyond > KVRSimTime()) {
    t1 = end - VelocityStep;
    t2 = end;
  }
  Xform X1, X2;
  planner->evaluate(X1, t1);
  planner->evaluate(X2, t2);
  out = (X2.getPosition() - X1.getPosition()) / KVRShuttlePlannerExt::VelocityStep;
  return true;
}

// --- Bodies carried by shuttles ----------------------------------------------------------

bool KVRBasicShuttle3D::getDriverShuttle(KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t,
                                         KVRSharedHandle<KVRBasicShuttle3D>& shuttle) {
  refuseEmptyBody(body);
  const KVRSharedHandle<KVRBasicMfgAssembly3D> root =
      KVRBasicMfgAssembly3D::KVRGetRootAssembly(body->getWorld());
  if (!root) return false;
  KVRSharedVector<KVRBasicEntity> shuttles;
  root->getLogicalChildren(ClassInfo_, shuttles);
  if (shuttles.empty()) return false;

  // The outermost carried body wins: the logical ancestors from the root down, then the body.
  KVRSharedVector<KVRBasicEntity> candidates;
  body->getLogicalAncestors(candidates);
  candidates.emplace_back(body);
  for (const KVRSharedHandle<KVRBasicEntity>& candidate : candidates) {
    if (!candidate.isDerivedFrom(KVRBasicBody3D::ClassInfo_)) continue;
    const KVRSharedHandle<KVRBasicEntity3D> carried = KVRSharedHandle<KVRBasicEntity3D>::downcast(candidate);
    for (const KVRSharedHandle<KVRBasicEntity>& entity : shuttles) {
      const KVRSharedHandle<KVRBasicShuttle3D> driver = KVRSharedHandle<KVRBasicShuttle3D>::downcast(entity);
      if (driver->hasEntity(carried) && driver->isMotionActive(t)) {
        body = KVRSharedHandle<KVRBasicBody3D>::downcast(candidate);
        shuttle = driver;
        return true;
      }
    }
  }
  return false;
}

bool KVRBasicShuttle3D::evaluateBodyPosition(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t,
                                             Xform& out) {
  KVRSharedHandle<KVRBasicBody3D> carried = body;
  KVRSharedHandle<KVRBasicShuttle3D> shuttle;
  if (!getDriverShuttle(carried, t, shuttle)) return false;
  const KVRSharedHandle<KVRBasicPath3D> path = shuttle->getPlanner()->getPath();
  Xform X_PS;
  if (!path || !shuttle->evaluateShuttlePosition(t, X_PS)) return false;
  // The planner places the shuttle at X_WS = X_WP · X_PS; the carried body D
  // follows at its recorded X_SD, and the body stays where it is on D.
  const Xform X_WS = path->getBaseLocation() * X_PS;
  out = X_WS * shuttle->getRelativeLocation(KVRSharedHandle<KVRBasicEntity3D>(carried)) *
        body->getBaseLocation(KVRSharedHandle<KVRBasicEntity3D>(carried));
  return true;
}

bool KVRBasicShuttle3D::evaluateBodyVelocity(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSimTime& t,
                                             Vector& out) {
  KVRSharedHandle<KVRBasicBody3D> carried = body;
  KVRSharedHandle<KVRBasicShuttle3D> shuttle;
  if (!getDriverShuttle(carried, t, shuttle)) return false;
  const KVRSharedHandle<KVRBasicPath3D> path = shuttle->getPlanner()->getPath();
  Vector v_P;
  if (!path || !shuttle->evaluateShuttleVelocity(t, v_P)) {
    out = Vector::Zero;
    return false;
  }
  out = path->getBaseLocation().getQtn() * v_P;
  return true;
}

namespace {

std::wstring secondsOf(const KVRSimTime& t) { return std::to_wstring(t.toSeconds()) + L" s"; }

// The shuttles of `world`, parents before children, without recursion.
KVRSharedVector<KVRBasicShuttle3D> shuttlesOf(const KVRSharedHandle<KVRBasicWorld>& world) {
  KVRSharedVector<KVRBasicShuttle3D> shuttles;
  KVRBasicEntity::forEachInLogicalSubtree(world, [&](const KVRSharedHandle<KVRBasicEntity>& entity) {
    if (auto* shuttle = dynamic_cast<KVRBasicShuttle3D*>(entity.get())) shuttles.emplace_back(shuttle);
  });
  return shuttles;
}

}  // namespace

KVRBasicShuttle3D::DriveDiagnosis KVRBasicShuttle3D::diagnoseDriving(const KVRSharedHandle<KVRBasicBody3D>& body,
                                                                     const KVRSimTime& t) {
  refuseEmptyBody(body);
  DriveDiagnosis d;
  const std::wstring name = fullNameOf(*body);
  KVRSharedHandle<KVRBasicBody3D> carried = body;
  KVRSharedHandle<KVRBasicShuttle3D> driver;
  if (getDriverShuttle(carried, t, driver)) {
    d.drive = Drive::Driven;
    d.shuttle = driver;
    d.carried = carried;
    d.explanation = name + L" is driven at " + secondsOf(t) + L" by " + fullNameOf(*driver) +
                    (carried == body ? L"" : L", which carries " + fullNameOf(*carried));
    return d;
  }
  const KVRSharedHandle<KVRBasicWorld> world = body->getWorld();
  if (!world) {
    d.drive = Drive::NoWorld;
    d.explanation = name + L" is in no world, and only a world's shuttles drive bodies";
    return d;
  }
  const KVRSharedHandle<KVRBasicMfgAssembly3D> root = KVRBasicMfgAssembly3D::KVRGetRootAssembly(world);
  if (!root) {
    d.drive = Drive::NoRootAssembly;
    d.explanation = fullNameOf(*world) + L" has no root assembly (its first assembly), under which the shuttles "
                    L"that drive bodies stand";
    return d;
  }
  // The first shuttle carrying the body or one above it, outermost body
  // first, and the first such shuttle under the root assembly.
  KVRSharedVector<KVRBasicEntity> candidates;
  body->getLogicalAncestors(candidates);
  candidates.emplace_back(body);
  const KVRSharedVector<KVRBasicShuttle3D> shuttles = shuttlesOf(world);
  DriveDiagnosis anywhere;
  for (const KVRSharedHandle<KVRBasicEntity>& candidate : candidates) {
    auto* candidateBody = dynamic_cast<KVRBasicBody3D*>(candidate.get());
    if (!candidateBody || d.shuttle) continue;
    for (const KVRSharedHandle<KVRBasicShuttle3D>& shuttle : shuttles) {
      if (!shuttle->hasEntity(KVRSharedHandle<KVRBasicEntity3D>(candidateBody))) continue;
      DriveDiagnosis& found = shuttle->getLogicalParent().get() == root.get() ? d : anywhere;
      if (found.shuttle) continue;
      found.shuttle = shuttle;
      found.carried = KVRSharedHandle<KVRBasicBody3D>(candidateBody);
      if (d.shuttle) break;
    }
  }
  if (!d.shuttle) {
    if (!anywhere.shuttle) {
      d.explanation = L"No shuttle of " + fullNameOf(*world) + L" carries " + name + L" or a body it hangs below";
      return d;
    }
    anywhere.drive = Drive::NotUnderRootAssembly;
    anywhere.explanation = fullNameOf(*anywhere.shuttle) + L", which carries " + fullNameOf(*anywhere.carried) +
                           L", does not stand under the root assembly " + fullNameOf(*root) +
                           L": only the shuttles under it drive bodies";
    return anywhere;
  }
  const std::wstring shuttle = fullNameOf(*d.shuttle) + L", which carries " + fullNameOf(*d.carried) + L",";
  const Planner planner = d.shuttle->getPlanner();
  KVRSimTime first, last;
  if (!planner || !planner->getMoveTime(first, last)) {
    d.drive = Drive::NoPlan;
    d.explanation = shuttle + L" has no plan: " + (planner ? L"its planner has no path with tag points" : L"it has no planner");
  } else if (planner->getScheduledStart() == KVRSimTime(KVRShuttlePlannerExt::DefaultScheduledStart)) {
    d.drive = Drive::NotScheduled;
    d.explanation = shuttle + L" was never scheduled: its planner needs a scheduled start";
  } else {
    d.drive = Drive::NotActive;
    d.explanation = shuttle + L" moves from " + secondsOf(planner->getScheduledStart()) + L" to " +
                    secondsOf(planner->getScheduledStart() + last) + L" of simulation time, not at " + secondsOf(t);
  }
  return d;
}

// --- Changes ------------------------------------------------------------------------------

void KVRBasicShuttle3D::activate() {
  KVRBasicGroup3D::activate();
  const Xform X_SW = getBaseLocation().inverse();
  for (const GroupSubEntry& entry : getEntries()) {
    if (const Planner planner = pathPlannerOf(entry.entity))
      planner->setShuttlePathXform(X_SW * planner->getPath()->getBaseLocation());
  }
}

void KVRBasicShuttle3D::deactivate() { KVRBasicGroup3D::deactivate(); }

void KVRBasicShuttle3D::carryMember(const GroupSubEntry& entry, const Xform& X_WS) const {
  // Held apart from the entry: the member's observers may change the entries.
  const KVRSharedHandle<KVRBasicEntity3D> member = entry.entity;
  KVRBasicGroup3D::carryMember(entry, X_WS);
  const Planner planner = pathPlannerOf(member);
  if (!planner) return;
  carry(KVRSharedHandle<KVRBasicEntity3D>(planner->getPath(), KVRSharedBase::WriteLock),
        X_WS * planner->getShuttlePathXform());
}

// --- Text output ------------------------------------------------------------------------------

void KVRBasicShuttle3D::dump(std::ostream& os) const {
  os << std::string(61, '-') << std::endl;
  os << KVRToUtf8(fullNameOf(*this)) << " ( " << getClassName() << " ) " << std::endl;
  os << "Base Location: " << std::setw(3) << getBaseLocation() << std::endl;
  os << "Body count = " << getEntityCount(KVRBasicBody3D::ClassInfo_) << std::endl;
  os << std::endl;
  os << "Entities in shuttle: " << std::endl;
  for (const GroupSubEntry& entry : getEntries()) {
    const KVRSharedHandle<KVRBasicEntity3D> member(entry.entity, KVRSharedBase::WriteLock);
    os << "Entity name = " << KVRToUtf8(fullNameOf(*member)) << std::endl;
    os << "Location rel. to Shuttle =  " << std::setw(3) << entry.relativeLocation << std::endl;
    os << "Base Location = " << std::setw(3) << member->getBaseLocation() << std::endl;
  }
}

// --- Orphaning ----------------------------------------------------------------------------------

void KVRBasicShuttle3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicGroup3D::orphanObject();
}
