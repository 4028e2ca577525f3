#include "KVRTimeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRCellText.h"
#include "KVRException.h"
#include "KVRExportScene.h"
#include "KVRExportSupport.h"
#include "KVRHistory.h"
#include "KVRRecordWriter.h"
#include "KVRShuttlePlannerExt.h"
#include "KVRSnapshotReader.h"

namespace {

struct UUIDHash {
  std::size_t operator()(const KVRUUID& id) const {
    std::uint64_t h;
    std::memcpy(&h, id.bytes().data(), sizeof h);  // random bits: any eight of them hash well
    return static_cast<std::size_t>(h);
  }
};

// A forecast: when the shuttle's move ends and where the body stands then.
struct Forecast {
  double time = 0;
  KVRBasicXform3D<double> location;
};

// Whether two forecasts differ by more than rounding: a nanosecond, a
// nanometre, or a nanoradian of turn.
bool differ(const Forecast& a, const Forecast& b) {
  constexpr double Tolerance = 1e-9;
  if (std::abs(a.time - b.time) > Tolerance) return true;
  if ((a.location.getPosition() - b.location.getPosition()).norm() > Tolerance) return true;
  // Half the angle between the rotations is the length of the vector part of
  // qa⁻¹·qb (a NaN counts as a difference).
  const auto& qa = a.location.getQtn();
  const auto& qb = b.location.getQtn();
  const double x = qa.w() * qb.x() - qb.w() * qa.x() - (qa.y() * qb.z() - qa.z() * qb.y());
  const double y = qa.w() * qb.y() - qb.w() * qa.y() - (qa.z() * qb.x() - qa.x() * qb.z());
  const double z = qa.w() * qb.z() - qb.w() * qa.z() - (qa.x() * qb.y() - qa.y() * qb.x());
  return !(std::sqrt(x * x + y * y + z * z) <= Tolerance / 2);
}

template <class T>
KVRSharedHandle<T> handleOf(const T* entity) {
  return KVRSharedHandle<T>(const_cast<T*>(entity));
}

}  // namespace

struct KVRTimeline::Steps {
  struct Step {
    double time = 0;
    std::string records;  // the changed records, one per line
    std::size_t recordCount = 0;
    std::vector<int> removed;
    std::vector<int> order;  // empty when the order is the step before's
    KVRJson custody = KVRJson::array();   // bodies whose holder changed
    KVRJson forecast = KVRJson::array();  // bodies whose planned end pose changed
  };

  std::vector<Step> steps;
  KVRUUID root;
  // An entity's id is given when it is first recorded, by its identity.
  std::unordered_map<KVRUUID, int, UUIDHash> ids;
  std::vector<std::string> lastRecord;  // by id
  std::vector<char> present;            // by id: in the last step
  std::vector<int> lastOrder;           // ids in scene order at the last step
  std::size_t recordCount = 0;
  // By id: the custody entry last written (without the body's id), empty
  // for a body held by nothing; and the forecast last written, if it holds.
  std::vector<std::string> lastCustody;
  std::vector<std::optional<Forecast>> lastForecast;

  void noteCustody(const KVRSharedHandle<KVRBasicEntity>& root, const KVRExportScene& scene,
                   const KVRRecordWriter& writer, Step& step);
  void noteForecasts(const KVRSharedHandle<KVRBasicEntity>& root, const KVRExportScene& scene, const KVRSimTime& time,
                     Step& step);
};

// Who holds each body now, against who held it at the step before: an entry
// for each body whose holder, hold or carriers changed. A body passed from
// one holder to another since then has one entry, its new holder.
void KVRTimeline::Steps::noteCustody(const KVRSharedHandle<KVRBasicEntity>& root, const KVRExportScene& scene,
                                     const KVRRecordWriter& writer, Step& step) {
  std::unordered_map<const KVRBasicEntity*, KVRHistory::Custody> held;
  for (auto& [body, custody] : KVRHistory::custodyNow(root))
    held.emplace(body.get(), std::move(custody));
  std::vector<char> seen(lastCustody.size(), 0);
  KVRJson entry;
  for (std::size_t i = 0; i < scene.size(); ++i) {
    const KVRBasicEntity& entity = scene.entity(i);
    if (!dynamic_cast<const KVRBasicBody3D*>(&entity)) continue;
    const auto id = static_cast<std::size_t>(scene.id(i));
    seen[id] = 1;
    const auto found = held.find(&entity);
    std::string now;
    if (found != held.end()) {
      const KVRHistory::Custody& c = found->second;
      entry = KVRJson::object();
      entry["holder"] = writer.reference(c.holder.get());
      entry["hold"] = KVRHistory::holdName(c.hold);
      writer.setReferences(entry["carriers"], c.carriers);
      now = entry.dump();
    }
    if (now == lastCustody[id]) continue;
    if (now.empty()) entry = {{"holder", nullptr}, {"hold", nullptr}, {"carriers", KVRJson::array()}};
    KVRJson written{{"body", id}};
    written.update(entry);
    step.custody.push_back(std::move(written));
    lastCustody[id].swap(now);
  }
  // A body that left the scene starts afresh if it comes back.
  for (std::size_t id = 0; id < seen.size(); ++id)
    if (!seen[id]) lastCustody[id].clear();
}

// For each body an active planned shuttle carries now: the pose its plan
// gives the body when the shuttle's move ends, written when it differs from
// the body's forecast before.
void KVRTimeline::Steps::noteForecasts(const KVRSharedHandle<KVRBasicEntity>& root, const KVRExportScene& scene,
                                       const KVRSimTime& time, Step& step) {
  std::vector<char> seen(lastForecast.size(), 0);
  // Only shuttles under the world's root assembly drive bodies: without one
  // under way, no body is looked at.
  const auto assembly = KVRBasicMfgAssembly3D::KVRGetRootAssembly(root->getWorld());
  bool underWay = false;
  if (assembly) {
    KVRSharedVector<KVRBasicEntity> shuttles;
    assembly->getLogicalChildren(KVRBasicShuttle3D::ClassInfo_, shuttles);
    for (const auto& s : shuttles) {
      const auto* shuttle = dynamic_cast<const KVRBasicShuttle3D*>(s.get());
      const auto planner = shuttle ? shuttle->getPlanner() : nullptr;
      underWay = underWay || (planner && planner->isActive(time));
    }
  }
  for (std::size_t i = 0; underWay && i < scene.size(); ++i) {
    const auto* body = dynamic_cast<const KVRBasicBody3D*>(&scene.entity(i));
    if (!body) continue;
    KVRSharedHandle<KVRBasicBody3D> carried = handleOf(body);
    KVRSharedHandle<KVRBasicShuttle3D> shuttle;
    if (!KVRBasicShuttle3D::getDriverShuttle(carried, time, shuttle)) continue;
    const auto planner = shuttle->getPlanner();
    KVRSimTime first, last;
    if (!planner || !planner->getMoveTime(first, last)) continue;
    const KVRSimTime end = planner->getScheduledStart() + std::max(first, last);
    const KVRHistory::Pose pose =
        KVRHistory::plannedPose(KVRSharedHandle<KVRBasicEntity3D>(handleOf(body)), end);
    if (!pose) continue;
    const auto id = static_cast<std::size_t>(scene.id(i));
    seen[id] = 1;
    const Forecast now{end.toSeconds(), pose.location};
    if (lastForecast[id] && !differ(*lastForecast[id], now)) continue;
    KVRJson entry{{"body", id}, {"time", now.time}};
    KVRRecordWriter::setLocation(entry["location"], now.location);
    step.forecast.push_back(std::move(entry));
    lastForecast[id] = now;
  }
  // A forecast that lapsed is written again when it returns.
  for (std::size_t id = 0; id < seen.size(); ++id)
    if (!seen[id]) lastForecast[id].reset();
}

KVRTimeline::KVRTimeline() : steps_(std::make_unique<Steps>()) {}
KVRTimeline::KVRTimeline(KVRTimeline&&) noexcept = default;
KVRTimeline& KVRTimeline::operator=(KVRTimeline&&) noexcept = default;
KVRTimeline::~KVRTimeline() = default;

int KVRTimeline::getStepCount() const { return static_cast<int>(steps_->steps.size()); }

std::size_t KVRTimeline::getRecordCount() const { return steps_->recordCount; }

void KVRTimeline::record(const KVRSharedHandle<KVRBasicEntity>& root) {
  KVRRequireExportRoot(root);
  record(root, root->getSimulationTime());
}

void KVRTimeline::record(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time) {
  KVRRequireExportRoot(root);
  Steps& s = *steps_;
  if (!s.steps.empty() && root->getUUID() != s.root)
    throw KVREInvalidArgument(L"%1 is not the root this timeline records") << root->getEntityTitle();

  KVRExportScene scene(*root);
  std::vector<int> ids(scene.size());
  for (std::size_t i = 0; i < scene.size(); ++i) {
    const auto [entry, added] = s.ids.try_emplace(scene.entity(i).getUUID(), static_cast<int>(s.ids.size()));
    ids[i] = entry->second;
  }
  s.lastRecord.resize(s.ids.size());
  s.lastCustody.resize(s.ids.size());
  s.lastForecast.resize(s.ids.size());
  s.present.resize(s.ids.size(), 0);
  scene.setIds(ids);

  Steps::Step step;
  step.time = time.toSeconds();
  KVRRecordWriter writer(scene, time);
  std::string& record = writer.text();
  std::vector<char> present(s.ids.size(), 0);
  for (std::size_t i = 0; i < scene.size(); ++i) {
    const auto id = static_cast<std::size_t>(ids[i]);
    present[id] = 1;
    record.clear();
    writer.append(i);
    if (s.present[id] && record == s.lastRecord[id]) continue;
    if (step.recordCount++ > 0) step.records += ",\n";
    step.records += record;
    s.lastRecord[id].swap(record);
  }
  for (std::size_t id = 0; id < present.size(); ++id)
    if (s.present[id] && !present[id]) step.removed.push_back(static_cast<int>(id));

  s.noteCustody(root, scene, writer, step);
  s.noteForecasts(root, scene, time, step);

  if (ids != s.lastOrder) step.order = ids;
  s.lastOrder.swap(ids);
  if (s.steps.empty()) s.root = root->getUUID();
  s.present.swap(present);
  s.recordCount += step.recordCount;
  s.steps.push_back(std::move(step));
}

void KVRTimeline::write(std::ostream& out) const {
  const std::string text = toJson();
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  KVRRequireWritten(out);
}

std::string KVRTimeline::toJson() const {
  const Steps& s = *steps_;
  const auto [head, tail] = KVRSplitAtLastArray(
      {{"format", Format}, {"version", Version}, {"root", 0}, {"steps", KVRJson::array()}});
  std::string text = head;
  for (std::size_t k = 0; k < s.steps.size(); ++k) {
    const Steps::Step& step = s.steps[k];
    KVRJson head{{"step", k}, {"time", step.time}, {"removed", step.removed}};
    if (k > 0 && !step.order.empty()) head["order"] = step.order;
    if (!step.custody.empty()) head["custody"] = step.custody;
    if (!step.forecast.empty()) head["forecast"] = step.forecast;
    head["entities"] = KVRJson::array();
    const auto [stepHead, stepTail] = KVRSplitAtLastArray(head);
    if (k > 0) text += ",\n";
    text += stepHead;
    text += step.records;
    text += stepTail;
  }
  text += tail;
  text += '\n';
  return text;
}

namespace {

// The snapshot of `step` from a parsed timeline document, whose records it
// takes; nlohmann's exceptions for fields of the wrong type.
std::string mergeSteps(nlohmann::json& document, int step) {
  if (!document.is_object() || document.value("format", "") != KVRTimeline::Format ||
      !document.contains("steps") || !document["steps"].is_array())
    throw KVREInvalidArgument(
        L"The text is not a timeline: it has no \"format\" of a timeline and no \"steps\"");
  nlohmann::json& steps = document["steps"];
  if (step < 0 || static_cast<std::size_t>(step) >= steps.size())
    throw KVREInvalidArgument(L"The timeline has no step %1: it has %2")
        << std::to_wstring(step) << std::to_wstring(steps.size());
  // The records by id, and the ids in the order a snapshot lists them.
  std::unordered_map<long long, nlohmann::json> records;
  std::vector<long long> order;
  for (int k = 0; k <= step; ++k) {
    nlohmann::json& at = steps[static_cast<std::size_t>(k)];
    if (!at.is_object() || !at.contains("entities") || !at["entities"].is_array())
      throw KVREInvalidArgument(L"Step %1 of the timeline has no list of entities") << std::to_wstring(k);
    static const nlohmann::json none = nlohmann::json::array();
    const auto removed = at.find("removed");
    for (const auto& id : removed != at.end() && removed->is_array() ? *removed : none) {
      if (!id.is_number_integer())
        throw KVREInvalidArgument(L"Step %1 of the timeline removes a record that is not an id")
            << std::to_wstring(k);
      records.erase(id.get<long long>());
    }
    std::vector<long long> added;
    for (auto& record : at["entities"]) {
      if (!record.is_object() || !record.contains("id") || !record["id"].is_number_integer())
        throw KVREInvalidArgument(L"Step %1 of the timeline holds a record without an id")
            << std::to_wstring(k);
      const long long id = record["id"].get<long long>();
      if (!records.count(id)) added.push_back(id);
      records[id] = std::move(record);
    }
    if (const auto listed = at.find("order"); listed != at.end() && listed->is_array()) {
      order = listed->get<std::vector<long long>>();
    } else {
      std::erase_if(order, [&](long long id) { return !records.count(id); });
      order.insert(order.end(), added.begin(), added.end());
    }
  }
  nlohmann::json entities = nlohmann::json::array();
  for (const long long id : order) {
    const auto record = records.find(id);
    if (record != records.end()) entities.push_back(std::move(record->second));
  }
  const nlohmann::json& last = steps[static_cast<std::size_t>(step)];
  nlohmann::json snapshot{{"format", KVRSnapshot::Format},
                          {"version", document.value("version", 1) >= 2 ? KVRSnapshot::Version : 1},
                          {"root", document.value("root", 0)},
                          {"time", last.value("time", 0.0)}};
  snapshot["entities"] = std::move(entities);
  return snapshot.dump();
}

}  // namespace

std::string KVRTimeline::snapshotAt(std::string_view timeline, int step) {
  nlohmann::json document = KVRParseCellText(timeline, std::string_view::npos);
  try {
    return mergeSteps(document, step);
  } catch (const nlohmann::json::exception& e) {
    // A field of the wrong type where the merge reads it.
    throw KVREInvalidArgument(L"The text is not a timeline: %1") << KVRFromUtf8(e.what());
  }
}

KVRSharedHandle<KVRBasicEntity> KVRTimeline::restore(std::string_view timeline, int step) {
  return restore(timeline, step, KVRSnapshot::ReadOptions());
}

KVRSharedHandle<KVRBasicEntity> KVRTimeline::restore(std::string_view timeline, int step,
                                                     const KVRSnapshot::ReadOptions& options) {
  return KVRSnapshot::read(snapshotAt(timeline, step), options);
}
