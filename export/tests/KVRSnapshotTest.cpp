// JSON snapshots: parsed back and compared with the model, references inside
// and outside the snapshot, and the inputs that must not break the document.

#include <limits>
#include <set>
#include <sstream>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;

// Every entity below `e` in the logical tree, by a recursion of the test's
// own (the cell is shallow).
void collect(const KVRSharedHandle<KVRBasicEntity>& e, std::vector<KVRSharedHandle<KVRBasicEntity>>& out) {
  out.push_back(e);
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  for (const auto& child : children) collect(child, out);
}

using Snapshot = ExportCell;

TEST_F(Snapshot, ParsedBackItHoldsEveryEntityWithItsNamesParentsAndLocations) {
  const json doc = parse(KVRSnapshot::toJson(w));
  EXPECT_EQ(doc["format"], "KVRWorldModel snapshot");
  EXPECT_EQ(doc["root"], 0);
  const json& records = doc["entities"];
  std::vector<KVRSharedHandle<KVRBasicEntity>> model;
  collect(w, model);
  ASSERT_EQ(records.size(), model.size());

  std::map<const KVRBasicEntity*, int> ids;
  // Each record against the entity at the same place of the test's own walk.
  for (std::size_t i = 0; i < model.size(); ++i) ids[model[i].get()] = static_cast<int>(i);
  for (std::size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(records[i]["id"], i);
    const KVRSharedHandle<KVRBasicEntity>& e = model[i];
    const json& r = records[i];
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r["name"], utf8(e->getEntityName()));
    EXPECT_EQ(r["fullName"], utf8(fullName(e)));
    EXPECT_EQ(r["type"], utf8(e->getEntityTypeName().scribe(KVRLocale::global())));
    EXPECT_EQ(r["class"], e->getClassName());
    if (e == w) {
      EXPECT_EQ(r["logicalParent"], "/");  // the universe, outside the snapshot
    } else {
      EXPECT_EQ(r["logicalParent"], ids.at(e->getLogicalParent().get()));
    }
    EXPECT_EQ(r["events"], json::array());
    const auto* e3 = dynamic_cast<const KVRBasicEntity3D*>(e.get());
    if (!e3) {
      EXPECT_FALSE(r.contains("base"));
      continue;
    }
    if (e3->hasSpatialParent()) {
      EXPECT_EQ(r["spatialParent"], ids.at(e3->getSpatialParent().get()));
    } else {
      EXPECT_TRUE(r["spatialParent"].is_null());
    }
    expectLocation(r["relative"], e3->getRelativeLocation());
    expectLocation(r["base"], e3->getBaseLocation());
  }
  // And against poses computed here: where the part and the tool stand.
  const auto records1 = byFullName(records);
  expectLocation(records1.at("/W/Part")["base"], X_RF * X_FP);
  expectLocation(records1.at("/W/Gripper/Tool")["base"], X_RG * X_GT);
  EXPECT_EQ(records1.at("/W")["world"]["time"], 0.0);
}

TEST_F(Snapshot, BodiesNameTheirConnectionFramesTagPointsAndPaths) {
  const auto r = byFullName(parse(KVRSnapshot::toJson(w))["entities"]);
  const auto id = [&](const char* name) { return r.at(name)["id"]; };
  const json& hanging = r.at("/W/Part")["body"];
  EXPECT_EQ(hanging["connection"]["name"], "Fixture-Part");
  EXPECT_EQ(hanging["connection"]["kind"], "Attachment");
  EXPECT_EQ(hanging["connection"]["class"], "KVRBasicAttachment3D");
  EXPECT_EQ(hanging["connection"]["innerBody"], id("/W/Fixture"));
  EXPECT_EQ(hanging["connection"]["outerBody"], id("/W/Part"));
  EXPECT_TRUE(hanging["connection"]["innerFrame"].is_null());
  expectLocation(hanging["connection"]["innerOffset"], X_FP);
  expectLocation(hanging["connection"]["outerOffset"], Xform::Identity);
  expectLocation(hanging["connection"]["relative"], X_FP);
  EXPECT_TRUE(hanging["attached"]);
  EXPECT_TRUE(r.at("/W/Floor")["body"]["connection"].is_null());

  const json& fixtureBody = r.at("/W/Fixture")["body"];
  EXPECT_EQ(fixtureBody["frames"], json::array());
  EXPECT_EQ(fixtureBody["tagPoints"], json({id("/W/Fixture/A"), id("/W/Fixture/B")}));
  EXPECT_EQ(fixtureBody["paths"], json({id("/W/Fixture/L")}));
  EXPECT_EQ(r.at("/W/Gripper")["body"]["frames"], json({id("/W/Gripper/Tool")}));
  // A path lists its points in route order, a point as often as it is listed.
  EXPECT_EQ(r.at("/W/Fixture/L")["path"]["points"],
            json({id("/W/Fixture/A"), id("/W/Fixture/B"), id("/W/Fixture/A")}));
  EXPECT_EQ(r.at("/W/Fixture/B")["tagPoint"], json({{"timing", "velocity"},
                                                    {"duration", 5.0},
                                                    {"velocity", 0.25},
                                                    {"locked", false},
                                                    {"referenceFrames", nullptr}}));
}

TEST_F(Snapshot, PendingEventsAreListedByBitNumber) {
  gripper->setEntityName(L"Hand");
  const auto r = byFullName(parse(KVRSnapshot::toJson(w))["entities"]);
  EXPECT_EQ(r.at("/W/Hand")["events"],
            json({KVRBasicEntity::BaseNameChanged, KVRBasicEntity::FullNameChanged}));
}

// Full names as the model holds them: after a rename that is not flushed
// yet, the renamed gripper's own full name is new and its tool's is not;
// after the flush both are.
TEST_F(Snapshot, FullNamesAreTheModelsBeforeAndAfterARenameIsFlushed) {
  gripper->setEntityName(L"Hand \"1\"");
  const auto check = [&] {
    const json records = parse(KVRSnapshot::toJson(w))["entities"];
    std::vector<KVRSharedHandle<KVRBasicEntity>> model;
    collect(w, model);
    ASSERT_EQ(records.size(), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
      EXPECT_EQ(records[i]["fullName"], utf8(fullName(model[i])));
      EXPECT_EQ(records[i]["name"], utf8(model[i]->getEntityName()));
    }
  };
  check();
  EXPECT_EQ(utf8(fullName(tool)), "/W/Gripper/Tool");
  gripper->flushLogicalState();
  check();
  EXPECT_EQ(utf8(fullName(tool)), "/W/Hand \"1\"/Tool");
}

// A snapshot of the fixture alone: the part hangs on it without being its
// logical child, so it comes along; the floor and the world stay outside and
// are named by their full names.
TEST_F(Snapshot, ASubtreeTakesWhatHangsOnItAndNamesWhatIsOutside) {
  const json doc = parse(KVRSnapshot::toJson(fixture));
  const auto r = byFullName(doc["entities"]);
  EXPECT_EQ(doc["entities"][0]["fullName"], "/W/Fixture");
  EXPECT_EQ((std::set<std::string>{"/W/Fixture", "/W/Fixture/A", "/W/Fixture/B", "/W/Fixture/L", "/W/Part"}),
            [&] {
              std::set<std::string> names;
              for (const auto& [name, record] : r) names.insert(name);
              return names;
            }());
  EXPECT_EQ(r.at("/W/Fixture")["logicalParent"], "/W");
  EXPECT_EQ(r.at("/W/Fixture")["spatialParent"], "/W/Floor");
  EXPECT_EQ(r.at("/W/Fixture")["body"]["connection"]["innerBody"], "/W/Floor");
  EXPECT_EQ(r.at("/W/Part")["logicalParent"], "/W");
  EXPECT_EQ(r.at("/W/Part")["spatialParent"], 0);
}

TEST(SnapshotOfUnusualRoots, AnEmptyWorldAndAnEntityInNoWorldGiveValidDocuments) {
  const auto empty = makeWorld(L"Empty");
  empty->setSimulationTime(KVRSimTime(2.5));
  const json doc = parse(KVRSnapshot::toJson(empty));
  EXPECT_EQ(doc["time"], 2.5);
  ASSERT_EQ(doc["entities"].size(), 1u);
  EXPECT_EQ(doc["entities"][0]["fullName"], "/Empty");
  EXPECT_EQ(doc["entities"][0]["world"]["time"], 2.5);

  // A frame with a child frame, in no tree at all.
  auto loose = make<KVRBasicFrame3D>(L"Loose");
  auto child = make<KVRBasicFrame3D>(L"Child");
  loose->addLogicalChild(child);
  loose->addSpatialChild(child);
  const json alone = parse(KVRSnapshot::toJson(loose));
  EXPECT_EQ(alone["time"], 0.0);
  ASSERT_EQ(alone["entities"].size(), 2u);
  EXPECT_EQ(alone["entities"][0]["fullName"], "/");
  EXPECT_EQ(alone["entities"][0]["logicalParent"], nullptr);
  EXPECT_EQ(alone["entities"][1]["fullName"], "/Child");
  EXPECT_EQ(alone["entities"][1]["spatialParent"], 0);
  orphan(empty, loose);
}

TEST(SnapshotOfUnusualRoots, AnEmptyHandleAndAFailingStreamAreRefused) {
  expectThrowWithText<KVREInvalidArgument>([] { KVRSnapshot::toJson(KVRSharedHandle<KVRBasicEntity>()); },
                                           L"An entity to export is required");
  auto world = makeWorld(L"Streamed");
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  expectThrowWithText<KVRERuntimeError>([&] { KVRSnapshot::write(broken, world); },
                                        L"The export could not be written to its stream");
  world->orphanObject();
}

// Quotes, backslashes, non-ASCII letters, control characters and markup in
// names come back exactly as the model holds them.
TEST(SnapshotOfUnusualRoots, AnyNameSurvivesTheRoundTrip) {
  const std::wstring names[] = {L"say \"hi\"",
                                L"back\\slash",
                                L"Grüße 日本 \U0001F916",
                                std::wstring(L"bell\a nul") + L'\0' + L"!",
                                L"carriage\rreturn\ttab\x1b[31m",
                                L"</script><script>alert(1)</script>"};
  auto world = makeWorld(L"Names \"&\" <more>");
  for (const auto& name : names) world->addEntity(make<KVRBasicFrame3D>(name));
  world->flushLogicalState();
  const json doc = parse(KVRSnapshot::toJson(world));
  ASSERT_EQ(doc["entities"].size(), 1 + std::size(names));
  EXPECT_EQ(doc["entities"][0]["name"], "Names \"&\" <more>");
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const json& r = doc["entities"][i + 1];
    EXPECT_EQ(r["name"], utf8(names[i]));
    EXPECT_EQ(r["fullName"], utf8(world->getLogicalChild(names[i])->getEntityName(KVRBasicEntity::FullName)));
  }
  world->orphanObject();
}

TEST(SnapshotOfUnusualRoots, NonFiniteNumbersAreWrittenAsNullAndTheLocationSaysSo) {
  auto world = makeWorld(L"Odd");
  auto holder = make<KVRBasicFrame3D>(L"Holder");
  // The model refuses such numbers; a class derived elsewhere may keep them.
  auto odd = make<Probe3D>(L"Odd");
  world->addEntity(holder);
  holder->addLogicalChild(odd);
  holder->addSpatialChild(odd);
  odd->relative = KVRBasicXform3D<double>(
      KVRBasicQtn3D<double>(), KVRBasicVector3D<double>(std::numeric_limits<double>::quiet_NaN(), 1,
                                                        std::numeric_limits<double>::infinity()));
  holder->flushBaseLocation();
  const json doc = parse(KVRSnapshot::toJson(world));  // still valid JSON
  const json& r = doc["entities"][2];
  EXPECT_TRUE(r["relative"]["nonFinite"]);
  EXPECT_EQ(r["relative"]["position"], json({nullptr, 1.0, nullptr}));
  EXPECT_TRUE(r["base"]["nonFinite"]);
  EXPECT_FALSE(doc["entities"][1]["relative"].contains("nonFinite"));
  // A sound location of the same class written later loses the mark.
  odd->relative = pose(0.1, 1, 2, 3);
  holder->flushBaseLocation();
  EXPECT_FALSE(parse(KVRSnapshot::toJson(world))["entities"][2]["relative"].contains("nonFinite"));
  world->orphanObject();
}

TEST(SnapshotOfUnusualRoots, ATreeTenThousandLevelsDeepIsExported) {
  constexpr int Depth = 10000;
  auto world = makeWorld(L"Deep");
  world->addEntity(frameChain(Depth, L"F0"));
  const json doc = parse(KVRSnapshot::toJson(world));
  ASSERT_EQ(doc["entities"].size(), Depth + 1u);
  EXPECT_EQ(doc["entities"][Depth]["name"], "F9999");
  EXPECT_EQ(doc["entities"][Depth]["logicalParent"], Depth - 1);
  EXPECT_EQ(doc["entities"][Depth]["spatialParent"], Depth - 1);
  world->orphanObject();
}

}  // namespace
