#include "KVRTimeline.h"

#include <cstring>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "KVRException.h"
#include "KVRExportScene.h"
#include "KVRExportSupport.h"
#include "KVRRecordWriter.h"

namespace {

struct UUIDHash {
  std::size_t operator()(const KVRUUID& id) const {
    std::uint64_t h;
    std::memcpy(&h, id.bytes().data(), sizeof h);  // random bits: any eight of them hash well
    return static_cast<std::size_t>(h);
  }
};

}  // namespace

struct KVRTimeline::Steps {
  struct Step {
    double time = 0;
    std::string records;  // the changed records, one per line
    std::size_t recordCount = 0;
    std::vector<int> removed;
  };

  std::vector<Step> steps;
  KVRUUID root;
  // An entity's id is given when it is first recorded, by its identity.
  std::unordered_map<KVRUUID, int, UUIDHash> ids;
  std::vector<std::string> lastRecord;  // by id
  std::vector<char> present;            // by id: in the last step
  std::size_t recordCount = 0;
};

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
    const auto [stepHead, stepTail] = KVRSplitAtLastArray(
        {{"step", k}, {"time", step.time}, {"removed", step.removed}, {"entities", KVRJson::array()}});
    if (k > 0) text += ",\n";
    text += stepHead;
    text += step.records;
    text += stepTail;
  }
  text += tail;
  text += '\n';
  return text;
}
