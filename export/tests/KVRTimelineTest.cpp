// Timelines: what each step keeps, replaying the steps, ids over the steps,
// and refusals.

#include <set>
#include <sstream>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;

// The cell's gripper grabs the part where it stands on the fixture and
// carries it through X_RG1, X_RG2, X_RG3; the world's clock says 1, 2, 3 s.
class Carrying : public ExportCell {
 protected:
  void SetUp() override {
    ExportCell::SetUp();
    timeline.record(w);
    gripper->grabBody(part, 1);
    flushAll();
    X_GP = X_RG.inverse() * X_RF * X_FP;  // where the grabbed part stands on the gripper
    timeline.record(w);
    for (int k = 0; k < 3; ++k) {
      move(k);
      timeline.record(w);
    }
  }

  // The gripper's k-th move, at simulation time k + 1 s, flushed.
  void move(int k) {
    Xform X_RGk = moves[k];
    gripper->setBaseLocation(X_RGk);
    gripper->flushSpatialState();
    w->setSimulationTime(KVRSimTime(k + 1.0));
    w->flushLogicalState();
  }

  // The records of the steps, each step's list of records by full name.
  std::vector<std::map<std::string, json>> changes() const {
    std::vector<std::map<std::string, json>> result;
    const json doc = parse(timeline.toJson());
    for (const json& step : doc["steps"]) result.push_back(byFullName(step["entities"]));
    return result;
  }

  const Xform moves[3] = {pose(0.3, 1, 1, 1.2), pose(1.3, 0, 2, 1.2), pose(2.0, -1, 1, 0.9)};
  Xform X_GP;
  KVRTimeline timeline;
};

// Each recorded step restored as a new world: the world saves as the
// snapshot of that step, taken when the step was recorded, and its part
// stands where the gripper carried it then.
TEST_F(Carrying, EveryRecordedStepRestoresAsTheWorldItWas) {
  KVRTimeline again;
  std::vector<std::string> snapshots;
  const auto replay = [&] {
    again.record(w);
    snapshots.push_back(KVRSnapshot::toJson(w));
  };
  replay();
  const std::string text = timeline.toJson();
  for (int k = 0; k < 3; ++k) {
    move(k);
    replay();
  }
  KVRSnapshot::ReadOptions options;
  options.addToUniverse = true;
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const auto restored = KVRTimeline::restore(again.toJson(), k, options);
    EXPECT_EQ(KVRSnapshot::toJson(restored), snapshots[static_cast<std::size_t>(k)]);
    restored->orphanObject();
  }
  const auto third = KVRTimeline::restore(text, 2, options);  // the first move
  const auto part3 = KVRSharedHandle<KVRBasicEntity3D>::downcast(third->findEntity(L"Part"));
  EXPECT_TRUE((part3->getBaseLocation().getPosition() - (moves[0] * X_GP).getPosition()).norm() < 1e-12);
  EXPECT_TRUE(KVRCheckModel(third).empty());
  third->orphanObject();
  EXPECT_THROW(KVRTimeline::snapshotAt(text, 5), KVREInvalidArgument);
}

std::set<std::string> keys(const std::map<std::string, json>& records) {
  std::set<std::string> result;
  for (const auto& [name, record] : records) result.insert(name);
  return result;
}

TEST_F(Carrying, TheFirstStepHoldsEverythingLaterStepsOnlyWhatChanged) {
  const auto steps = changes();
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].size(), everything().size());
  // A move of the gripper changes it, its tool, the part it carries, and the
  // world's clock; nothing else.
  for (int k = 2; k < 5; ++k)
    EXPECT_EQ(keys(steps[k]), (std::set<std::string>{"/W", "/W/Gripper", "/W/Gripper/Tool", "/W/Part"}));
  EXPECT_EQ(timeline.getRecordCount(), everything().size() + steps[1].size() + 3 * 4);
}

TEST_F(Carrying, ReplayingTheStepsGivesWhereTheCarriedPartStoodAtEachStep) {
  const json doc = parse(timeline.toJson());
  EXPECT_EQ(doc["format"], "KVRWorldModel timeline");
  std::map<int, json> state;
  int partId = -1;
  for (const json& step : doc["steps"]) {
    for (const json& r : step["entities"]) {
      state[r["id"]] = r;
      if (r["fullName"] == "/W/Part") partId = r["id"];
    }
    const int k = step["step"];
    SCOPED_TRACE(k);
    EXPECT_EQ(step["time"], k < 2 ? 0.0 : k - 1.0);
    const Xform expected = k < 2 ? X_RF * X_FP : moves[k - 2] * X_GP;
    expectLocation(state.at(partId)["base"], expected);
    EXPECT_EQ(state.at(partId)["body"]["transientState"], k == 0 ? 0 : 1);
  }
  EXPECT_EQ(state.at(partId)["body"]["connection"]["innerBody"],
            byFullName(doc["steps"][0]["entities"]).at("/W/Gripper")["id"]);
}

TEST_F(Carrying, AnEntityKeepsItsIdAndGoneEntitiesAreListedAsRemoved) {
  const int noteId = byFullName(parse(timeline.toJson())["steps"][0]["entities"]).at("/W/N")["id"];
  w->destroyEntity(note);
  auto newcomer = make(L"Newcomer");
  w->addEntity(newcomer);
  w->flushLogicalState();
  timeline.record(w);
  const json last = parse(timeline.toJson())["steps"][5];
  EXPECT_EQ(last["removed"], json({noteId}));
  const auto changed = byFullName(last["entities"]);
  EXPECT_EQ(keys(changed), (std::set<std::string>{"/W/Newcomer"}));
  EXPECT_EQ(changed.at("/W/Newcomer")["id"], everything().size());  // a new id, not the note's

  timeline.record(w);  // nothing changed
  const json quiet = parse(timeline.toJson())["steps"][6];
  EXPECT_EQ(quiet["entities"], json::array());
  EXPECT_EQ(quiet["removed"], json::array());
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

TEST_F(Carrying, EntitiesTakenAwayAndAddedBackUnchangedReturnUnderTheirIds) {
  const json before = parse(timeline.toJson());
  const auto first = byFullName(before["steps"][0]["entities"]);
  const int noteId = first.at("/W/N")["id"], toolId = first.at("/W/Gripper/Tool")["id"];
  w->removeEntity(note);
  gripper->removeFrame(tool);
  flushAll();
  timeline.record(w);
  w->addEntity(note);
  gripper->addFrame(tool);
  flushAll();
  timeline.record(w);

  const json doc = parse(timeline.toJson());
  const json gone = doc["steps"][5]["removed"];
  EXPECT_EQ(std::set<int>(gone.begin(), gone.end()), (std::set<int>{noteId, toolId}));
  EXPECT_EQ(doc["steps"][6]["removed"], json::array());
  EXPECT_FALSE(replay(doc, 5).count(noteId));
  // Back with the very records they had, under their ids: the step lists
  // them, so the state replayed to the end is the one before they went, and
  // the top view draws the tool.
  EXPECT_EQ(keys(byFullName(doc["steps"][6]["entities"])),
            (std::set<std::string>{"/W/Gripper", "/W/Gripper/Tool", "/W/N"}));
  EXPECT_EQ(replay(doc, 6), replay(before, 4));
  EXPECT_EQ(replay(doc, 6).size(), everything().size());
  std::ostringstream svg;
  KVRSvgTopView::write(svg, timeline);
  EXPECT_NE(svg.str().find("<title>/W/Gripper/Tool</title>"), std::string::npos);
}

// Custody entries: every held body at the first step, then only changes. A
// part passed from the gripper to the floor within one step is one entry,
// a hand-over; let go of by everything, its holder is null.
TEST_F(Carrying, CustodyListsTheBodiesWhoseHolderChangedAndAHandOverOnce) {
  Xform X_RP = pose(0.2, 1, 1, 0);
  floor->attachBody(part, X_RP);
  flushAll();
  timeline.record(w);
  part->setInnerBodyOriginal({});
  part->setHomeAttachBody({});
  part->detachBody();
  flushAll();
  timeline.record(w);

  const json doc = parse(timeline.toJson());
  EXPECT_EQ(doc["version"], 3);
  const auto first = byFullName(doc["steps"][0]["entities"]);
  const auto id = [&](const char* fullName) { return first.at(fullName)["id"].get<int>(); };
  const auto held = [&](const char* body, const char* holder, const char* hold) {
    return json({{"body", id(body)}, {"holder", id(holder)}, {"hold", hold}, {"carriers", json::array()}});
  };
  EXPECT_EQ(doc["steps"][0]["custody"], json({held("/W/Fixture", "/W/Floor", "attached"),
                                               held("/W/Gripper", "/W/Floor", "attached"),
                                               held("/W/Part", "/W/Fixture", "attached")}));
  EXPECT_EQ(doc["steps"][1]["custody"], json({held("/W/Part", "/W/Gripper", "grabbed")}));
  for (int k = 2; k < 5; ++k) EXPECT_FALSE(doc["steps"][k].contains("custody"));
  EXPECT_EQ(doc["steps"][5]["custody"], json({held("/W/Part", "/W/Floor", "attached")}));
  EXPECT_EQ(doc["steps"][6]["custody"],
            json({{{"body", id("/W/Part")}, {"holder", nullptr}, {"hold", nullptr}, {"carriers", json::array()}}}));
  EXPECT_FALSE(doc["steps"][6].contains("forecast"));  // no shuttle
  // The new lists change nothing in what a step restores.
  EXPECT_EQ(parse(KVRTimeline::snapshotAt(timeline.toJson(), 6))["entities"].size(), everything().size());
}

TEST_F(Carrying, RecordingAnotherRootIsRefusedAndChangesNothing) {
  const std::string before = timeline.toJson();
  expectThrowWithText<KVREInvalidArgument>([&] { timeline.record(fixture); },
                                           L"Body \"/W/Fixture\" is not the root this timeline records");
  expectThrowWithText<KVREInvalidArgument>([&] { timeline.record(KVRSharedHandle<KVRBasicEntity>()); },
                                           L"An entity to export is required");
  EXPECT_EQ(timeline.toJson(), before);
  EXPECT_EQ(timeline.getStepCount(), 5);
}

TEST(TimelineAlone, AnEmptyTimelineIsAValidDocumentAndAGivenTimeIsKept) {
  KVRTimeline timeline;
  EXPECT_EQ(parse(timeline.toJson())["steps"], json::array());
  auto world = makeWorld(L"Clock");
  world->setSimulationTime(KVRSimTime(4.0));
  timeline.record(world, KVRSimTime(0.5));
  timeline.record(world);
  const json steps = parse(timeline.toJson())["steps"];
  EXPECT_EQ(steps[0]["time"], 0.5);
  EXPECT_EQ(steps[1]["time"], 4.0);
  world->orphanObject();
}

}  // namespace
