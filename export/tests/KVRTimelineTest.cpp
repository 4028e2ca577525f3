// Timelines: what each step keeps, replaying and restoring the steps, ids over the steps, and refusals.

#include <set>
#include <sstream>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;

std::set<std::string> keys(const json& records) {
  std::set<std::string> result;
  for (const json& r : records) result.insert(r["fullName"].get<std::string>());
  return result;
}

// Each id's record after the steps up to `last`, as a reader replays them.
std::map<int, json> replay(const json& doc, std::size_t last) {
  std::map<int, json> state;
  for (std::size_t k = 0; k <= last; ++k) {
    for (const json& id : doc["steps"][k]["removed"]) state.erase(id.get<int>());
    for (const json& r : doc["steps"][k]["entities"]) state[r["id"]] = r;
  }
  return state;
}

// The gripper grabs the part on the fixture (step 1) and carries it through moves[0..2] (steps 2 to 4, at 1, 2,
// 3 s); a snapshot is taken at each step.
class Carrying : public ExportCell {
 protected:
  void SetUp() override {
    ExportCell::SetUp(); record();
    gripper->grabBody(part, 1); flushAll();
    record();
    for (int k = 0; k < 3; ++k) {
      place(gripper, moves[k]); gripper->flushSpatialState();
      w->setSimulationTime(KVRSimTime(k + 1.0)); w->flushLogicalState();
      record();
    }
  }
  void record() {
    timeline.record(w); snapshots.push_back(KVRSnapshot::toJson(w));
  }
  int idOf(const char* fullName) const {
    return byFullName(parse(timeline.toJson())["steps"][0]["entities"]).at(fullName)["id"];
  }

  const Xform moves[3] = {pose(0.3, 1, 1, 1.2), pose(1.3, 0, 2, 1.2), pose(2.0, -1, 1, 0.9)};
  const Xform X_GP = X_RG.inverse() * X_RF * X_FP;  // where the grabbed part stands on the gripper
  KVRTimeline timeline;
  std::vector<std::string> snapshots;
};

// The first step holds everything, later steps only what changed; replayed, where the carried part stood.
TEST_F(Carrying, StepsHoldWhatChangedAndReplayOrRestoreToWhereThePartStood) {
  const json doc = parse(timeline.toJson());
  ASSERT_EQ(doc["steps"].size(), 5u);
  EXPECT_EQ(doc["steps"][0]["entities"].size(), everything().size());
  // A move of the gripper changes it, its tool, the part it carries, and the world's clock; nothing else.
  for (int k = 2; k < 5; ++k)
    EXPECT_EQ(keys(doc["steps"][k]["entities"]),
              (std::set<std::string>{"/W", "/W/Gripper", "/W/Gripper/Tool", "/W/Part"}));
  EXPECT_EQ(timeline.getRecordCount(), everything().size() + doc["steps"][1]["entities"].size() + 3 * 4);
  const int partId = idOf("/W/Part");
  for (std::size_t k = 0; k < 5; ++k) {
    SCOPED_TRACE(k);
    const json& step = doc["steps"][k];
    EXPECT_EQ(step["step"], k);
    EXPECT_EQ(step["time"], k < 2 ? 0.0 : k - 1.0);
    const json part = replay(doc, k).at(partId);
    expectLocation(part["base"], k < 2 ? X_RF * X_FP : moves[k - 2] * X_GP);
    EXPECT_EQ(part["body"]["transientState"], k == 0 ? 0 : 1);
  }
  EXPECT_EQ(replay(doc, 4).at(partId)["body"]["connection"]["innerBody"], idOf("/W/Gripper"));
  // Each step restored as a new world saves as the snapshot taken when the step was recorded.
  const std::string text = timeline.toJson();
  for (std::size_t k = 0; k < 5; ++k) {
    const auto restored = KVRTimeline::restore(text, static_cast<int>(k), {.classes = {}, .addToUniverse = true});
    EXPECT_EQ(KVRSnapshot::toJson(restored), snapshots[k]) << k;
    EXPECT_TRUE(isSound(restored));
    restored->orphanObject();
  }
  EXPECT_THROW(KVRTimeline::snapshotAt(text, 5), KVREInvalidArgument);
}

// The note and the tool taken away as a newcomer arrives (step 5), no change (6), added back (7): listed as
// removed once, they return under their ids with the very records they had; the newcomer takes a new id.
TEST_F(Carrying, EntitiesKeepTheirIdsWhileAwayAndGoneOnesAreListedAsRemoved) {
  const json before = parse(timeline.toJson());
  const int noteId = idOf("/W/N"), toolId = idOf("/W/Gripper/Tool");
  w->removeEntity(note); gripper->removeFrame(tool);
  w->addEntity(make(L"Newcomer")); flushAll();
  for (int k = 0; k < 2; ++k) timeline.record(w);
  w->addEntity(note); gripper->addFrame(tool);
  flushAll(); timeline.record(w);
  const json doc = parse(timeline.toJson());
  const json gone = doc["steps"][5]["removed"];
  EXPECT_EQ(std::set<int>(gone.begin(), gone.end()), (std::set<int>{noteId, toolId}));
  EXPECT_FALSE(replay(doc, 5).count(noteId));
  const auto newcomer = byFullName(doc["steps"][5]["entities"]);
  EXPECT_EQ(newcomer.at("/W/Newcomer")["id"], everything().size());  // a new id, not the note's
  for (const char* p : {"/steps/6/entities", "/steps/6/removed", "/steps/7/removed"})
    EXPECT_EQ(doc[json::json_pointer(p)], json::array()) << p;
  EXPECT_EQ(keys(doc["steps"][7]["entities"]),
            (std::set<std::string>{"/W/Gripper", "/W/Gripper/Tool", "/W/N"}));
  std::map<int, json> expected = replay(before, 4);
  expected[everything().size()] = newcomer.at("/W/Newcomer");
  EXPECT_EQ(replay(doc, 7), expected);
  std::ostringstream svg;
  KVRSvgTopView::write(svg, timeline);
  EXPECT_NE(svg.str().find("<title>/W/Gripper/Tool</title>"), std::string::npos);
}

// Custody: every held body at the first step, then only changes; a part passed from the gripper to the floor
// within one step is one entry; let go of by everything, its holder is null.
TEST_F(Carrying, CustodyListsTheBodiesWhoseHolderChangedAndAHandOverOnce) {
  floor->attachBody(part, pose(0.2, 1, 1, 0)); flushAll();
  timeline.record(w);
  part->setInnerBodyOriginal({});
  part->setHomeAttachBody({});
  part->detachBody(); flushAll();
  timeline.record(w);
  const json doc = parse(timeline.toJson());
  const auto held = [&](const char* body, const char* holder, const char* hold) {
    return json({{"body", idOf(body)}, {"holder", idOf(holder)}, {"hold", hold}, {"carriers", json::array()}});
  };
  EXPECT_EQ(doc["steps"][0]["custody"], json({held("/W/Fixture", "/W/Floor", "attached"),
                                               held("/W/Gripper", "/W/Floor", "attached"),
                                               held("/W/Part", "/W/Fixture", "attached")}));
  EXPECT_EQ(doc["steps"][1]["custody"], json({held("/W/Part", "/W/Gripper", "grabbed")}));
  for (int k = 2; k < 5; ++k) EXPECT_FALSE(doc["steps"][k].contains("custody"));
  EXPECT_EQ(doc["steps"][5]["custody"], json({held("/W/Part", "/W/Floor", "attached")}));
  EXPECT_EQ(doc["steps"][6]["custody"],
            json({{{"body", idOf("/W/Part")}, {"holder", nullptr}, {"hold", nullptr}, {"carriers", json::array()}}}));
  EXPECT_FALSE(doc["steps"][6].contains("forecast"));  // no shuttle
  // The new lists change nothing in what a step restores.
  EXPECT_EQ(parse(KVRTimeline::snapshotAt(timeline.toJson(), 6))["entities"].size(), everything().size());
}

// Then a step at a given time, not the world's; a timeline with no step is a valid document too.
TEST_F(Carrying, RecordingAnotherRootIsRefusedAndChangesNothingAndAGivenTimeIsKept) {
  const std::string before = timeline.toJson();
  expectThrowWithText<KVREInvalidArgument>([&] { timeline.record(fixture); },
                                           L"Body \"/W/Fixture\" is not the root this timeline records");
  EXPECT_EQ(timeline.toJson(), before);
  timeline.record(w, KVRSimTime(0.5));
  EXPECT_EQ(parse(timeline.toJson())["steps"][5]["time"], 0.5);
  EXPECT_EQ(parse(KVRTimeline().toJson())["steps"], json::array());
}

}  // namespace
