#include <algorithm>
#include <cmath>
#include <utility>

#include "KVRException.h"
#include "KVRHistoryRecord.h"

namespace {

using Record = KVRHistory::Record;
using Track = Record::Track;
using Custody = KVRHistory::Custody;
using Xform = KVRHistory::Xform;

KVRMessage titleOf(const KVRBasicEntity& entity) {
  return entity.getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

// Who holds a body now: the body it hangs on, or the group carrying it.
struct Holding {
  KVRSharedHandle<KVRBasicEntity3D> holder;
  KVRHistory::Hold hold = KVRHistory::Hold::Attached;
  std::vector<KVRSharedHandle<KVRBasicGroup3D>> carriers;

  bool same(const Custody& c) const {
    if (holder != c.holder || hold != c.hold || carriers.size() != c.carriers.size()) return false;
    return std::equal(carriers.begin(), carriers.end(), c.carriers.begin());
  }
};

// The group carrying each member, the first group in record order winning.
using Carriers = std::unordered_map<const KVRBasicEntity3D*, KVRBasicGroup3D*>;

Holding holdingOf(const KVRBasicBody3D& body, const Carriers& carriers) {
  Holding h;
  if (const KVRSharedHandle<KVRBasicBody3D> inner = body.getInnerBody()) {
    h.holder = inner;
    h.hold = body.getTransientState() != 0 ? KVRHistory::Hold::Grabbed
             : body.isAttached()           ? KVRHistory::Hold::Attached
                                           : KVRHistory::Hold::Connected;
  } else if (const auto group = carriers.find(&body); group != carriers.end()) {
    h.holder = KVRSharedHandle<KVRBasicEntity3D>(group->second);
    h.hold = KVRHistory::Hold::Member;
  } else {
    return h;
  }
  // The groups carrying the holder, and those carrying them; a ring of
  // groups carrying each other ends where it closes.
  for (auto g = carriers.find(h.holder.get()); g != carriers.end(); g = carriers.find(g->second)) {
    const KVRSharedHandle<KVRBasicGroup3D> group(g->second);
    if (group.get() == h.holder.get() || std::find(h.carriers.begin(), h.carriers.end(), group) != h.carriers.end())
      break;
    h.carriers.push_back(group);
  }
  return h;
}

// `edge`: the last step at or before the horizon's edge, when there is a
// horizon and it has passed the first step.
void appendSample(Record& r, Track& track, const Xform& now, std::uint32_t step,
                  std::optional<std::uint32_t> edge) {
  KVRSampleRing& samples = track.samples;
  const bool any = samples.size() > 0;
  if (any && samples.lastStep() == step) {
    samples.setLastPose(now);
    return;
  }
  // Standing still since its last sample, it was still there a step ago.
  if (any && samples.lastStep() + 1 < step) {
    samples.push_back(Xform(samples.lastPose()), step - 1);
    ++r.sampleCount;
  }
  // Lets go of the samples before the horizon but the last one, when the
  // ring is full: they make room instead of it growing.
  if (edge && samples.full()) {
    std::size_t drop = 0;
    while (drop + 1 < samples.size() && samples.step(drop + 1) <= *edge) ++drop;
    r.sampleCount -= drop;
    samples.dropFront(drop);
  }
  samples.push_back(now, step);
  ++r.sampleCount;
}

// The last step at or before `time` minus the horizon.
std::optional<std::uint32_t> horizonEdge(const Record& r, const KVRSimTime& time) {
  if (!r.horizon) return std::nullopt;
  const auto after = std::upper_bound(r.steps.begin(), r.steps.end(), time - *r.horizon);
  if (after == r.steps.begin()) return std::nullopt;
  return static_cast<std::uint32_t>(after - r.steps.begin() - 1);
}

// Visits every 3-D entity of the logical subtree of `root`, parents first,
// without recursion.
template <class Visit>
void forEach3D(const KVRSharedHandle<KVRBasicEntity>& root, Visit visit) {
  KVRBasicEntity::forEachInLogicalSubtree(root, [&](const KVRSharedHandle<KVRBasicEntity>& e) {
    if (auto* entity = dynamic_cast<KVRBasicEntity3D*>(e.get())) visit(entity);
  });
}

void noteMembers(const KVRBasicEntity3D* entity, Carriers& carriers) {
  if (auto* group = dynamic_cast<const KVRBasicGroup3D*>(entity))
    for (const auto& entry : group->getEntries())
      carriers.try_emplace(entry.entity.get(), const_cast<KVRBasicGroup3D*>(group));
}

// Walks the subtree: new entities are enrolled and sampled, those that left
// stop being followed. True when the set of entities changed.
bool walk(Record& r, std::uint32_t step, std::optional<std::uint32_t> edge) {
  for (Track& t : r.tracks) t.seen = false;
  bool changed = false;
  forEach3D(r.root, [&](KVRBasicEntity3D* entity) {
    auto [at, added] = r.index.try_emplace(entity, static_cast<std::uint32_t>(r.tracks.size()));
    if (added) r.tracks.emplace_back().entity = KVRSharedHandle<KVRBasicEntity3D>(entity);
    Track& track = r.tracks[at->second];
    track.seen = true;
    if (added || track.left != Record::Never) {
      changed = true;
      track.left = Record::Never;
      entity->setChangeLog(&r.log);
      appendSample(r, track, entity->getBaseLocation(), step, edge);
    }
  });
  for (Track& t : r.tracks)
    if (!t.seen && t.left == Record::Never) {
      changed = true;
      t.left = step;
      t.entity->setChangeLog(nullptr);
    }
  return changed;
}

// Brings every body's custody up to date at `step`.
void updateCustody(Record& r, std::uint32_t step) {
  Carriers carriers;
  for (const Track& t : r.tracks)
    if (t.left == Record::Never) noteMembers(t.entity.get(), carriers);
  const KVRSimTime& now = r.steps[step];
  for (Track& t : r.tracks) {
    const auto* body = dynamic_cast<const KVRBasicBody3D*>(t.entity.get());
    if (!body) continue;
    Custody* open = !t.custody.empty() && t.custody.back().open ? &t.custody.back() : nullptr;
    const Holding h = t.left == Record::Never ? holdingOf(*body, carriers) : Holding{};
    if (open && h.same(*open)) continue;
    bool handedOver = false;
    if (open) {
      open->open = false;
      open->to = now;
      handedOver = h.holder && h.holder != open->holder;
    }
    if (!h.holder) continue;
    Custody c;
    c.from = c.to = now;
    c.open = true;
    c.handedOver = handedOver;
    c.holder = h.holder;
    c.hold = h.hold;
    c.carriers = h.carriers;
    t.custody.push_back(std::move(c));
  }
}

}  // namespace

// --- Recording -----------------------------------------------------------------------

KVRHistory::KVRHistory(const KVRSharedHandle<KVRBasicEntity>& root)
    : KVRHistory(root, root ? root->getSimulationTime() : KVRSimTime()) {}

KVRHistory::KVRHistory(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time)
    : record_(std::make_unique<Record>()) {
  if (!root) throw KVREInvalidArgument(L"A history needs an entity to follow: the handle given is empty");
  if (root->isOrphaned())
    throw KVREInvalidArgument(L"A history cannot follow %1: it has been orphaned") << titleOf(*root);
  record_->root = root;
  record(time);
}

KVRHistory::~KVRHistory() = default;  // the change log lets go of its entities

void KVRHistory::record() { record(record_->root->getSimulationTime()); }

void KVRHistory::record(const KVRSimTime& time) {
  Record& r = *record_;
  if (!r.steps.empty() && time < r.steps.back())
    throw KVREInvalidArgument(L"A step of the history of %1 cannot be recorded at %2 s, before the last one (%3 s)")
        << titleOf(*r.root) << std::to_wstring(time.toSeconds()) << std::to_wstring(r.steps.back().toSeconds());
  if (r.steps.size() == Record::Never - 1)
    throw KVREInvalidArgument(L"The history of %1 holds as many steps as it can") << titleOf(*r.root);
  const auto step = static_cast<std::uint32_t>(r.steps.size());
  r.steps.push_back(time);
  bool custodyChanged = false;
  const std::optional<std::uint32_t> edge = horizonEdge(r, time);
  if (step == 0 || KVRBasicEntity::getLinkEra() != r.linkEra) {
    custodyChanged = walk(r, step, edge);
    r.linkEra = KVRBasicEntity::getLinkEra();
  }
  r.log.take(r.changed);
  // A run moves the same entities in the same order step after step: the
  // tracks of the step before are tried first, by position.
  r.lastTracks.resize(r.changed.size(), {nullptr, 0});
  for (std::size_t i = 0; i < r.changed.size(); ++i) {
    const KVRChangeLog::Entry& entry = r.changed[i];
    std::pair<const KVRBasicEntity3D*, std::uint32_t>& last = r.lastTracks[i];
    if (last.first != entry.entity) {
      const auto at = r.index.find(entry.entity);
      if (at == r.index.end()) continue;
      last = {entry.entity, at->second};
    }
    Track& track = r.tracks[last.second];
    if (entry.changes & KVRChangeLog::HistoryCleared) {
      r.sampleCount -= track.sampleCount();
      track.samples.clear();
      track.custody.clear();
      custodyChanged = true;
    }
    if (entry.changes & (KVRChangeLog::Moved | KVRChangeLog::HistoryCleared))
      appendSample(r, track, entry.entity->getBaseLocation(), step, edge);
    if (entry.changes & (KVRChangeLog::Holder | KVRChangeLog::Members)) custodyChanged = true;
  }
  if (custodyChanged || step == 0) updateCustody(r, step);
}

void KVRHistory::setHorizon(const KVRSimTime& horizon) {
  if (horizon < KVRSimTime())
    throw KVREInvalidArgument(L"The horizon of the history of %1 cannot be negative") << titleOf(*record_->root);
  record_->horizon = horizon;
}

std::optional<KVRSimTime> KVRHistory::getHorizon() const { return record_->horizon; }
int KVRHistory::getStepCount() const { return static_cast<int>(record_->steps.size()); }
KVRSimTime KVRHistory::getFirstTime() const { return record_->steps.front(); }
KVRSimTime KVRHistory::getLastTime() const { return record_->steps.back(); }
std::size_t KVRHistory::getSampleCount() const { return record_->sampleCount; }

std::size_t KVRHistory::getSampleCount(const KVRSharedHandle<KVRBasicEntity3D>& entity) const {
  const Record::Track* track = record_->find(entity.get());
  return track ? track->sampleCount() : 0;
}

std::size_t KVRHistory::getSampleBytes() const {
  std::size_t bytes = 0;
  for (const Record::Track& t : record_->tracks) bytes += t.samples.capacity() * KVRSampleRing::BytesPerSample;
  return bytes;
}

// --- Queries -------------------------------------------------------------------------

KVRHistory::Pose KVRHistory::poseAt(const KVRSharedHandle<KVRBasicEntity3D>& entity, const KVRSimTime& t) const {
  const Record& r = *record_;
  Pose pose;
  const Record::Track* track = r.find(entity.get());
  if (!track) return pose;
  const KVRSampleRing& samples = track->samples;
  const auto timeOf = [&](std::size_t i) -> const KVRSimTime& { return r.steps[samples.step(i)]; };
  if (samples.size() == 0 || t < timeOf(0)) {
    pose.gap = Gap::BeforeRecord;
    return pose;
  }
  const KVRSimTime& end = track->left == Record::Never ? r.steps.back() : r.steps[track->left - 1];
  if (t > end) {
    pose.gap = Gap::AfterRecord;
    if (track->left != Record::Never) return pose;
    if (const auto planned = KVRPlannedPose(*entity, t)) {
      pose.gap = Gap::None;
      pose.location = *planned;
      pose.predicted = true;
    }
    return pose;
  }
  // The first sample after t, by bisection; the one before it is at or before t.
  std::size_t after = 1, hi = samples.size();
  while (after < hi) {
    const std::size_t mid = (after + hi) / 2;
    if (timeOf(mid) <= t) after = mid + 1; else hi = mid;
  }
  const Xform& before = samples.pose(after - 1);
  pose.gap = Gap::None;
  if (after == samples.size() || timeOf(after - 1) == t) {
    pose.location = before;
    return pose;
  }
  const Xform& next = samples.pose(after);
  const double s = (t - timeOf(after - 1)).toSeconds() / (timeOf(after) - timeOf(after - 1)).toSeconds();
  KVRBasicVector3D<double> position(KVRMath3D::Uninitialized);
  lerp(position, s, before.getPosition(), next.getPosition());
  pose.location = Xform(KVRBasicQtn3D<double>(before.getQtn().eigen().slerp(s, next.getQtn().eigen())), position);
  return pose;
}

const char* KVRHistory::holdName(Hold hold) {
  switch (hold) {
    case Hold::Attached:
      return "attached";
    case Hold::Grabbed:
      return "grabbed";
    case Hold::Connected:
      return "connected";
    case Hold::Member:
      return "member";
  }
  return "attached";
}

std::wstring KVRHistory::describe(Gap gap) {
  switch (gap) {
    case Gap::None:
      return L"there is a pose";
    case Gap::UnknownEntity:
      return L"the entity was never part of the record";
    case Gap::BeforeRecord:
      return L"the time is before the entity's first sample";
    case Gap::AfterRecord:
      return L"the time is after the entity's record, and no active planned shuttle carries it then";
  }
  return {};
}

std::vector<KVRHistory::Custody> KVRHistory::custody(const KVRSharedHandle<KVRBasicBody3D>& body,
                                                     const KVRSimTime& t0, const KVRSimTime& t1) const {
  std::vector<Custody> found;
  const Record::Track* track = record_->find(body.get());
  if (!track) return found;
  for (const Custody& c : track->custody) {
    Custody copy = c;
    if (copy.open) copy.to = record_->steps.back();
    if (copy.from <= t1 && copy.to >= t0) found.push_back(std::move(copy));
  }
  return found;
}

std::vector<std::pair<KVRSharedHandle<KVRBasicBody3D>, KVRHistory::Custody>> KVRHistory::custodyNow(
    const KVRSharedHandle<KVRBasicEntity>& root) {
  std::vector<std::pair<KVRSharedHandle<KVRBasicBody3D>, Custody>> held;
  if (!root) return held;
  Carriers carriers;
  std::vector<const KVRBasicBody3D*> bodies;
  forEach3D(root, [&](const KVRBasicEntity3D* entity) {
    noteMembers(entity, carriers);
    if (auto* body = dynamic_cast<const KVRBasicBody3D*>(entity)) bodies.push_back(body);
  });
  for (const KVRBasicBody3D* body : bodies) {
    Holding h = holdingOf(*body, carriers);
    if (!h.holder) continue;
    Custody c;
    c.holder = std::move(h.holder);
    c.hold = h.hold;
    c.carriers = std::move(h.carriers);
    held.emplace_back(KVRSharedHandle<KVRBasicBody3D>(const_cast<KVRBasicBody3D*>(body)), std::move(c));
  }
  return held;
}

// --- Regions -------------------------------------------------------------------------

KVRHistory::Region KVRHistory::Region::sphere(const Vector& centre, double radius) {
  if (!centre.isFinite() || !std::isfinite(radius) || radius < 0.0)
    throw KVREInvalidArgument(L"A sphere needs a finite centre and a finite radius of at least 0");
  Region r;
  r.isSphere = true;
  r.a = centre;
  r.b = Vector(radius, 0.0, 0.0);
  return r;
}

KVRHistory::Region KVRHistory::Region::box(const Vector& lowest, const Vector& highest) {
  if (!lowest.isFinite() || !highest.isFinite() || lowest.x() > highest.x() || lowest.y() > highest.y() ||
      lowest.z() > highest.z())
    throw KVREInvalidArgument(L"A box needs finite corners, the lowest at or below the highest on every axis");
  Region r;
  r.isSphere = false;
  r.a = lowest;
  r.b = highest;
  return r;
}

double KVRHistory::Region::distance(const Vector& p) const {
  if (isSphere) return std::max(0.0, KVRL2Norm(p - a) - b.x());
  const double dx = std::max({a.x() - p.x(), 0.0, p.x() - b.x()});
  const double dy = std::max({a.y() - p.y(), 0.0, p.y() - b.y()});
  const double dz = std::max({a.z() - p.z(), 0.0, p.z() - b.z()});
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}
