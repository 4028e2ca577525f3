#include "KVRShuttlePlannerExt.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <utility>

#include "KVRBasicPath3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRException.h"
#include "KVRMfgAssemblyTagPointExt.h"

constinit const KVRClassInfo KVRShuttlePlannerExt::ClassInfo_ =
    KVRClassInfo::concrete<KVRShuttlePlannerExt>("KVRShuttlePlannerExt", KVRExtensionObject::ClassInfo_);
constinit const KVRUUID KVRShuttlePlannerExt::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e14");

namespace {

using Vector = KVRShuttlePlannerExt::Vector;
using Qtn = KVRShuttlePlannerExt::Qtn;

// The path's route-change bit, the only one the planner follows.
const std::bitset<64> RouteChangedMask = std::bitset<64>().set(KVRBasicPath3D::RouteChanged);

// Totals of length and turn at or below this count as none.
constexpr double Negligible = 100.0 * std::numeric_limits<double>::epsilon();
// A leg counts towards the mean length (turn) of the path when its length
// (turn) exceeds this share of the largest one.
constexpr double CountedShare = 0.01;
// A reference-frame leg's length is that of a polyline through this many
// equal steps of the leg.
constexpr int LengthSteps = 10;

// The subscription a planner holds on its path. Made anew for removal:
// functors from the same object and member compare equal.
KVREventFunctor routeWatcherOf(KVRShuttlePlannerExt* planner) {
  return KVRMakeEventFunctor(planner, &KVRShuttlePlannerExt::onEvent);
}

// The axis and angle of the rotation from orientation q0 to q1: inv(q0) · q1.
void relativeTurn(const Qtn& q0, const Qtn& q1, Vector& axis, double& angle) {
  Qtn turn = q0;
  turn.invert().postMultiply(q1);
  turn.getEAA(axis, angle);
}

// The index of the first of `times` not ordered before `t` by `before` (a
// lower bound), found without branches that depend on the times, so that the
// search costs the same wherever t lies; the next probes are fetched ahead.
template <class Before>
std::size_t lowerBound(const std::vector<KVRSimTime>& times, const KVRSimTime& t, Before before) {
  const KVRSimTime* first = times.data();
  const KVRSimTime* base = first;
  std::size_t length = times.size();
  while (length > 1) {
    const std::size_t half = length / 2;
    __builtin_prefetch(base + half / 2);
    __builtin_prefetch(base + half + half / 2);
    base = before(base[half], t) ? base + half : base;
    length -= half;
  }
  return static_cast<std::size_t>(base - first) + (before(*base, t) ? 1 : 0);
}

// Simulation times compared without branches.
bool earlier(const KVRSimTime& a, const KVRSimTime& b) {
  const int secondsBefore = a.getSeconds() < b.getSeconds();
  const int sameSecond = a.getSeconds() == b.getSeconds();
  const int nanosecondsBefore = a.getNanoseconds() < b.getNanoseconds();
  return secondsBefore | (sameSecond & nanosecondsBefore);
}
bool later(const KVRSimTime& a, const KVRSimTime& b) { return earlier(b, a); }

// The reference frames of the assembly tag-point extension on `point`, if it has one.
const KVRMfgAssemblyTagPointExt* extensionOf(const KVRBasicTagPoint3D& point) {
  return dynamic_cast<const KVRMfgAssemblyTagPointExt*>(
      point.getExtension(KVRMfgAssemblyTagPointExt::ClassID_).get());
}

}  // namespace

// --- Construction ----------------------------------------------------------------

KVRShuttlePlannerExt::KVRShuttlePlannerExt() = default;

KVRShuttlePlannerExt::KVRShuttlePlannerExt(const KVRShuttlePlannerExt& source, CopyMode mode)
    : KVRExtensionObject(source, mode),
      path_(source.path_),
      shuttlePathXform_(source.shuttlePathXform_),
      plan_(source.plan_),
      scheduledStart_(),
      customFlag_(source.customFlag_),
      currentDistance_(source.currentDistance_),
      spanStart_(source.spanStart_),
      spanEnd_(source.spanEnd_) {}

// Unsubscribes here, while this class's orphanMembers is still the one called.
KVRShuttlePlannerExt::~KVRShuttlePlannerExt() { orphanObject(); }

const KVRClassInfo& KVRShuttlePlannerExt::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRShuttlePlannerExt::getClassID() const { return ClassID_; }

// --- Binding a path ------------------------------------------------------------------

void KVRShuttlePlannerExt::setPath(const KVRSharedHandle<KVRBasicPath3D>& path, const KVRSimTime& start,
                                   const KVRSimTime& end) {
  if (!path) throw KVREInvalidArgument(L"An empty handle was given as the path of a motion planner");
  if (path_) throw KVREAlreadyRegistered(L"Motion planner already in use");
  // An orphaned planner would never drop its subscription again.
  if (isOrphaned()) throw KVREInvalidRelation(L"An orphaned motion planner cannot be bound to a path");
  path->checkLinkable();
  refuseCarryingCycle(path.get());
  Plan plan = buildPlan(path, start, end);
  KVRSharedHandle<KVRBasicPath3D> held(path, KVRSharedBase::WriteLock);
  held->addSubscriber(routeWatcherOf(this), RouteChangedMask, -1);
  path_ = path;
  install(std::move(plan));
  rememberSpan(start, end);
}

void KVRShuttlePlannerExt::clearPath() {
  unRegisterEventFunctor();
  path_.detach();
  plan_.times = {};
  plan_.legs = {};
  plan_.framedLegs = {};
}

void KVRShuttlePlannerExt::unRegisterEventFunctor() {
  if (!path_) return;
  try {
    KVRSharedHandle<KVRBasicPath3D> held(path_, KVRSharedBase::WriteLock);
    held->removeSubscriber(routeWatcherOf(this));
  } catch (...) {
    // A subscription that cannot be dropped must not keep the planner bound.
  }
}

KVRSharedHandle<KVRBasicPath3D> KVRShuttlePlannerExt::getPath() const { return path_; }

bool KVRShuttlePlannerExt::isBound() const { return !path_.isNull(); }

// --- Planning ---------------------------------------------------------------------------

KVRShuttlePlannerExt::Vector KVRShuttlePlannerExt::positionOnLeg(const Leg& leg, const FramedLeg* framed,
                                                                 double s) {
  Vector F(KVRMath3D::Uninitialized);
  lerp(F, s, leg.startPosition, leg.endPosition);
  if (!framed) return F;
  // The frame turned by the fraction s of its turn, the point at its local position in it.
  Qtn frameTurn(KVRMath3D::Uninitialized);
  frameTurn.setEAA(framed->turnAxis, s * framed->turnAngle);
  Vector local(KVRMath3D::Uninitialized);
  lerp(local, s, framed->localStart, framed->localEnd);
  return (framed->startOrientation * frameTurn) * local + F;
}

KVRSimTime KVRShuttlePlannerExt::lastTime(const KVRSimTime& previous, const KVRSimTime& start,
                                          const KVRSimTime& end) {
  return end < start ? std::min(previous, end) : std::max(previous, end);
}

KVRShuttlePlannerExt::Plan KVRShuttlePlannerExt::buildPlan(const KVRSharedHandle<KVRBasicPath3D>& path,
                                                           const KVRSimTime& start,
                                                           const KVRSimTime& end) const {
  Plan plan;
  const KVRSharedHandle<KVRBasicPath3D> held(path, KVRSharedBase::ReadLock);
  KVRSharedVector<KVRBasicTagPoint3D> points;
  held->getTagPoints(points);
  if (points.empty()) return plan;
  const std::size_t n = points.size(), m = n - 1;
  plan.firstLocation = points.front()->getPointLocation();
  plan.lastLocation = points.back()->getPointLocation();
  plan.times.reserve(n);
  plan.times.push_back(start);
  if (n == 1) return plan;
  plan.legs.reserve(m);
  // What each leg weighs in the span: its length and its turn.
  std::vector<double> lengths, turns;
  lengths.reserve(m);
  turns.reserve(m);

  // Geometry of every leg, and the totals that weigh the legs against each other.
  const KVRSharedHandle<KVRBasicEntity3D> pathFrame(path);
  Xform previous = plan.firstLocation;
  double totalTurn = 0.0, totalLength = 0.0, largestTurn = 0.0, largestLength = 0.0;
  for (std::size_t i = 1; i <= m; ++i) {
    const Xform current = points[i]->getPointLocation();
    const Vector& p0 = previous.getPosition();
    const Vector& p1 = current.getPosition();
    Leg& leg = plan.legs.emplace_back();
    leg.startOrientation = previous.getQtn();
    relativeTurn(previous.getQtn(), current.getQtn(), leg.turnAxis, leg.turnAngle);
    double length = 0.0, turn = 0.0;

    const KVRMfgAssemblyTagPointExt* frames = extensionOf(*points[i]);
    if (frames && frames->hasReferenceFrame()) {
      // The point rides a frame going from pose A to pose B (X_PA, X_PB in the path's coordinates).
      Xform X_PA, X_PB;
      frames->getReferenceFrame(X_PA, X_PB, pathFrame);
      const Qtn& qA = X_PA.getQtn();
      const Qtn& qB = X_PB.getQtn();
      FramedLeg framed;
      framed.startOrientation = qA;
      framed.localStart = qA.inverse() * (p0 - X_PA.getPosition());
      relativeTurn(qA, qB, framed.turnAxis, framed.turnAngle);
      framed.localEnd = qB.inverse() * (p1 - X_PB.getPosition());
      leg.startPosition = X_PA.getPosition();
      leg.endPosition = X_PB.getPosition();
      // A point standing at the frame's origin moves with the origin alone.
      const bool atOrigin = framed.localStart == Vector::Zero && framed.localEnd == Vector::Zero;
      if (!atOrigin) {
        // Reserved once, for at most every leg from here on.
        if (plan.framedLegs.empty()) plan.framedLegs.reserve(m - i + 1);
        leg.framed = static_cast<int>(plan.framedLegs.size());
        plan.framedLegs.push_back(framed);
      }
      const FramedLeg* onFrame = atOrigin ? nullptr : &plan.framedLegs.back();
      Vector sample = p0;
      for (int k = 1; k <= LengthSteps; ++k) {
        const Vector next =
            k == LengthSteps ? p1 : positionOnLeg(leg, onFrame, static_cast<double>(k) / LengthSteps);
        length += KVRL2Norm(next - sample);
        sample = next;
      }
      turn = leg.turnAngle;
    } else {
      // The start point itself moves straight to the end point. A point
      // with the extension but no frames yet weighs nothing.
      leg.startPosition = p0;
      leg.endPosition = p1;
      if (!frames) {
        length = KVRL2Norm(p1 - p0);
        turn = leg.turnAngle;
      }
    }
    lengths.push_back(length);
    turns.push_back(turn);
    totalTurn += turn;
    totalLength += length;
    leg.distance = totalLength;
    largestTurn = std::max(largestTurn, turn);
    largestLength = std::max(largestLength, length);
    previous = current;
  }

  // Each leg's share of the span: equal without length or turn; otherwise
  // by length, by turn, or by whichever weighs more once turns are scaled to
  // lengths by the ratio of the mean counted length to the mean counted turn.
  const double span = (end - start).toSeconds();
  const bool byLength = totalLength > Negligible, byTurn = totalTurn > Negligible;
  double turnScale = 1.0;
  if (byLength && byTurn) {
    const auto counted = [](const std::vector<double>& amounts, double largest) {
      return static_cast<double>(std::count_if(
          amounts.begin(), amounts.end(), [&](double amount) { return amount > CountedShare * largest; }));
    };
    turnScale = (totalLength / counted(lengths, largestLength)) / (totalTurn / counted(turns, largestTurn));
  }
  const auto weight = [&](std::size_t j) {
    if (!byTurn) return lengths[j];
    if (!byLength) return turns[j];
    return std::max(lengths[j], turnScale * turns[j]);
  };
  double totalWeight = 0.0;
  for (std::size_t j = 0; j < m; ++j) totalWeight += weight(j);

  // Custom durations are lengths of time taken in the span's direction; a
  // negative one counts as none, so that times never run back.
  const bool descending = end < start;
  for (std::size_t j = 0; j + 1 < m; ++j) {
    KVRSimTime duration;
    if (!byLength && !byTurn) {
      duration = KVRSimTime(span / static_cast<double>(m));
    } else if (customFlag_) {
      duration = std::max(points[j]->getDuration(), KVRSimTime());
      if (descending) duration = -duration;
    } else {
      duration = KVRSimTime(span * weight(j) / totalWeight);
    }
    plan.times.push_back(plan.times.back() + duration);
  }
  // The last leg takes what remains of the span, or nothing.
  plan.times.push_back(lastTime(plan.times.back(), start, end));
  return plan;
}

void KVRShuttlePlannerExt::install(Plan&& plan) {
  // Without points there are no new first and last locations.
  if (plan.times.empty()) {
    plan.firstLocation = plan_.firstLocation;
    plan.lastLocation = plan_.lastLocation;
  }
  plan_ = std::move(plan);
  currentDistance_ = 0.0;
}

void KVRShuttlePlannerExt::rememberSpan(const KVRSimTime& start, const KVRSimTime& end) {
  spanStart_ = start;
  spanEnd_ = end;
}

void KVRShuttlePlannerExt::setPoints(const KVRSimTime& start, const KVRSimTime& end) {
  install(path_ ? buildPlan(path_, start, end) : Plan());
  rememberSpan(start, end);
}

void KVRShuttlePlannerExt::changeMoveTime(const KVRSimTime& start, const KVRSimTime& end) {
  const std::vector<KVRSimTime>& old = plan_.times;
  const std::size_t count = old.size();
  if (count <= 1) {
    if (count == 1) plan_.times.front() = start;
    rememberSpan(start, end);
    return;
  }
  if (customFlag_ || old.back() - old.front() == KVRSimTime(0.0)) {
    setPoints(start, end);
    return;
  }
  // Every leg keeps its share of the span.
  const KVRSimTime ratio = (end - start) / (old.back() - old.front());
  std::vector<KVRSimTime> times;
  times.reserve(count);
  times.push_back(start);
  for (std::size_t k = 1; k + 1 < count; ++k) times.push_back(times.back() + (old[k] - old[k - 1]) * ratio);
  times.push_back(lastTime(times.back(), start, end));
  plan_.times.swap(times);
  rememberSpan(start, end);
}

void KVRShuttlePlannerExt::restoreTimes(const std::vector<KVRSimTime>& times, double distance) {
  if (times.size() != plan_.times.size())
    throw KVREInvalidArgument(L"A motion planner with %1 planned points cannot take %2 times")
        << std::to_wstring(plan_.times.size()) << std::to_wstring(times.size());
  if (!std::isfinite(distance))
    throw KVREInvalidArgument(L"The distance given to a motion planner is not finite");
  plan_.times = times;
  currentDistance_ = distance;
}

bool KVRShuttlePlannerExt::getMoveTime(KVRSimTime& first, KVRSimTime& last) const {
  if (plan_.times.empty()) return false;
  first = plan_.times.front();
  last = plan_.times.back();
  return true;
}

// --- Evaluation -------------------------------------------------------------------------

bool KVRShuttlePlannerExt::evaluate(Xform& out, const KVRSimTime& t) {
  return poseOnPlan(out, t, currentDistance_);
}

bool KVRShuttlePlannerExt::evaluatePose(Xform& out, const KVRSimTime& t) const {
  double distance = 0.0;
  return poseOnPlan(out, t, distance);
}

bool KVRShuttlePlannerExt::poseOnPlan(Xform& out, const KVRSimTime& t, double& distance) const {
  const std::vector<KVRSimTime>& times = plan_.times;
  if (times.empty()) return false;
  const KVRSimTime& first = times.front();
  const KVRSimTime& last = times.back();
  const auto atFirst = [&] {
    out = plan_.firstLocation;
    distance = 0.0;
    return true;
  };
  const auto atLast = [&] {
    out = plan_.lastLocation;
    distance = plan_.legs.empty() ? 0.0 : plan_.legs.back().distance;
    return true;
  };
  if (times.size() == 1) return atFirst();
  if (first == last) return atLast();

  // k: the first point whose time reaches t in the plan's direction; t lies
  // in leg j = k - 1, which therefore takes time.
  std::size_t reached;
  if (first < last) {
    if (t <= first) return atFirst();
    if (t >= last) return atLast();
    reached = lowerBound(times, t, earlier);
  } else {
    if (t >= first) return atFirst();
    if (t <= last) return atLast();
    reached = lowerBound(times, t, later);
  }
  const std::size_t j = reached - 1;
  // The leg's fraction, in (0, 1]; exactly 1 at the leg's end.
  const double s = (t - times[j]).toSeconds() / (times[j + 1] - times[j]).toSeconds();
  const Leg& leg = plan_.legs[j];

  if (leg.turnAngle == 0.0) {
    out.setQtn(leg.startOrientation);
  } else {
    Qtn turn(KVRMath3D::Uninitialized);
    turn.setEAA(leg.turnAxis, s * leg.turnAngle);
    out.setQtn(leg.startOrientation * turn);
  }
  out.setPosition(positionOnLeg(
      leg, leg.framed < 0 ? nullptr : &plan_.framedLegs[static_cast<std::size_t>(leg.framed)], s));
  const double before = j == 0 ? 0.0 : plan_.legs[j - 1].distance;
  distance = before + (leg.distance - before) * s;
  return true;
}

double KVRShuttlePlannerExt::getSpeedBound(std::size_t legIndex, double radius) const {
  if (legIndex >= plan_.legs.size()) return 0.0;
  const double seconds = std::fabs((plan_.times[legIndex + 1] - plan_.times[legIndex]).toSeconds());
  if (seconds == 0.0) return 0.0;
  const Leg& leg = plan_.legs[legIndex];
  // The origin slides from start to end; a point `radius` away turns with the shuttle.
  double travel = KVRL2Norm(leg.endPosition - leg.startPosition) + std::fabs(leg.turnAngle) * radius;
  if (leg.framed >= 0) {
    // On a frame that turns while the point slides within it.
    const FramedLeg& framed = plan_.framedLegs[static_cast<std::size_t>(leg.framed)];
    const double reach = std::max(KVRL2Norm(framed.localStart), KVRL2Norm(framed.localEnd));
    travel += std::fabs(framed.turnAngle) * reach + KVRL2Norm(framed.localEnd - framed.localStart);
  }
  return travel / seconds;
}

int KVRShuttlePlannerExt::moveBasicObject(const KVRSimTime& t) {
  if (!path_ || plan_.times.empty()) return 0;
  const KVRSharedHandle<KVRBasicEntity3D> shuttle(
      KVRSharedHandle<KVRBasicEntity3D>::downcast(getBasicObject()), KVRSharedBase::WriteLock);
  if (!shuttle) return 0;
  const Xform X_WP = KVRSharedHandle<KVRBasicPath3D>(path_, KVRSharedBase::ReadLock)->getBaseLocation();
  // A refused move changes nothing: the distance travelled included.
  const double distance = currentDistance_;
  Xform X_PS;
  evaluate(X_PS, t);
  Xform X_WS = X_WP * X_PS;
  int status = 0;
  try {
    status = shuttle->setBaseLocation(X_WS);
  } catch (...) {
    currentDistance_ = distance;
    throw;
  }
  if (status == 0) currentDistance_ = distance;
  return status;
}

int KVRShuttlePlannerExt::moveAtSimulationTime(const KVRSimTime& t) {
  const auto* shuttle = dynamic_cast<const KVRBasicEntity*>(getBasicObject().get());
  const KVRMessage who = shuttle ? shuttle->getEntityTitle() : KVRMessage(L"A motion planner attached to nothing");
  if (!shuttle || !path_ || plan_.times.empty())
    throw KVREInvalidArgument(L"%1 cannot be moved at %2 s of simulation time: it has no plan") << who
                                                                                              << std::to_wstring(t.toSeconds());
  const KVRSimTime finish = scheduledStart_ + plan_.times.back();
  if (t < scheduledStart_ || t > finish)
    throw KVREInvalidArgument(L"%1 cannot be moved at %2 s of simulation time: its move is scheduled from %3 s to %4 s")
        << who << std::to_wstring(t.toSeconds()) << std::to_wstring(scheduledStart_.toSeconds())
        << std::to_wstring(finish.toSeconds());
  return moveBasicObject(t - scheduledStart_);
}

void KVRShuttlePlannerExt::setShuttlePathXform(const Xform& X_SP) {
  if (!X_SP.isFinite())
    throw KVREInvalidArgument(L"The shuttle path location given to a motion planner is not finite");
  shuttlePathXform_ = X_SP;
}

bool KVRShuttlePlannerExt::isActive(const KVRSimTime& t) const {
  if (plan_.times.empty()) return false;
  const KVRSimTime finish = scheduledStart_ + plan_.times.back();
  // The start instant itself counts only at simulation time zero.
  const bool started = t == KVRSimTime() ? scheduledStart_ <= t : scheduledStart_ < t;
  return started && t <= finish;
}

// --- Diagnostics --------------------------------------------------------------------------

void KVRShuttlePlannerExt::dumpPath(std::ostream& os) const {
  os << "Legs: " << plan_.legs.size() << std::endl;
  for (std::size_t j = 0; j < plan_.legs.size(); ++j) {
    const Leg& leg = plan_.legs[j];
    os << "Leg " << j << (leg.framed < 0 ? "" : " (reference frame)") << ": from " << leg.startPosition
       << " to " << leg.endPosition << ", turn " << leg.turnAngle << ", distance " << leg.distance
       << std::endl;
  }
}

void KVRShuttlePlannerExt::dumpTimes(std::ostream& os) const {
  os << "Scheduled start: " << scheduledStart_ << std::endl << "Times:";
  for (const KVRSimTime& t : plan_.times) os << ' ' << t;
  os << std::endl;
}

// --- Hooks ----------------------------------------------------------------------------------

void KVRShuttlePlannerExt::onEvent(const KVRSharedConstPointer<KVRBasicPath3D>& path,
                                   const std::bitset<64>& mask) {
  if (!mask.test(KVRBasicPath3D::RouteChanged) || path.isNull() || !(path == path_)) return;
  setPoints(spanStart_, spanEnd_);
}

void KVRShuttlePlannerExt::bindMembers() { refuseCarryingCycle(path_.get()); }

void KVRShuttlePlannerExt::refuseCarryingCycle(const KVRBasicPath3D* path) const {
  // The shuttle counts as carrying its path (a shuttle carrying it moves the
  // path along): a path that carries the shuttle would carry itself.
  const KVRSharedHandle<KVRExtendibleObject> object = getBasicObject();
  const auto* shuttle = dynamic_cast<const KVRBasicShuttle3D*>(object.get());
  if (!path || !shuttle || !KVRBasicGroup3D::carries(*path, *shuttle)) return;
  throw KVREInvalidRelation(L"%1 cannot follow %2, which moves with it")
      << shuttle->getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator)
      << path->getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

void KVRShuttlePlannerExt::orphanMembers() { clearPath(); }
