// JSON snapshots parsed back against the model, references in and out of them, inputs that must not break them.

#include <limits>
#include <sstream>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;

// Every entity below `e` in the logical tree, by a walk of the test's own.
void collect(const KVRSharedHandle<KVRBasicEntity>& e, std::vector<KVRSharedHandle<KVRBasicEntity>>& out) {
  out.push_back(e);
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  for (const auto& child : children) collect(child, out);
}

// Each record of the snapshot of `root` against the entity at the same place of the test's own walk.
void expectRecordsOfTheModel(const KVRSharedHandle<KVRBasicEntity>& root) {
  const json records = parse(KVRSnapshot::toJson(root))["entities"];
  std::vector<KVRSharedHandle<KVRBasicEntity>> model;
  collect(root, model);
  ASSERT_EQ(records.size(), model.size());
  std::map<const KVRBasicEntity*, int> ids;
  for (std::size_t i = 0; i < model.size(); ++i) ids[model[i].get()] = static_cast<int>(i);
  for (std::size_t i = 0; i < model.size(); ++i) {
    const KVRSharedHandle<KVRBasicEntity>& e = model[i];
    const json& r = records[i];
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r["id"], i);
    EXPECT_EQ(r["name"], utf8(e->getEntityName()));
    EXPECT_EQ(r["fullName"], utf8(fullName(e)));
    EXPECT_EQ(r["type"], utf8(e->getEntityTypeName().scribe(KVRLocale::global())));
    EXPECT_EQ(r["class"], e->getClassName());
    // The world's parent is the universe, outside the snapshot.
    EXPECT_EQ(r["logicalParent"], i == 0 ? json("/") : json(ids.at(e->getLogicalParent().get())));
    const auto* e3 = dynamic_cast<const KVRBasicEntity3D*>(e.get());
    EXPECT_EQ(r.contains("base"), e3 != nullptr);
    if (!e3) continue;
    EXPECT_EQ(r["spatialParent"], e3->hasSpatialParent() ? json(ids.at(e3->getSpatialParent().get())) : json());
    expectLocation(r["relative"], e3->getRelativeLocation());
    expectLocation(r["base"], e3->getBaseLocation());
  }
}

using Snapshot = ExportCell;

// Then the gripper renamed, not flushed (its full name new, its tool's not, its events by bit number), and
// flushed. Then a snapshot of a subtree.
TEST_F(Snapshot, ParsedBackItHoldsEveryEntityWithItsNamesParentsLocationsReferencesAndEvents) {
  expectRecordsOfTheModel(w);
  const json doc = parse(KVRSnapshot::toJson(w));
  EXPECT_EQ(doc["root"], 0);
  const auto r = byFullName(doc["entities"]);
  for (const auto& [name, record] : r) EXPECT_EQ(record["events"], json::array()) << name;
  expectLocation(r.at("/W/Part")["base"], X_RF * X_FP);
  expectLocation(r.at("/W/Gripper/Tool")["base"], X_RG * X_GT);
  // Bodies name their connection, frames, tag points and paths by id.
  const auto id = [&](const char* name) { return r.at(name)["id"]; };
  const json& c = r.at("/W/Part")["body"]["connection"];
  const json expected = {{"name", "Fixture-Part"}, {"kind", "Attachment"}, {"class", "KVRBasicAttachment3D"},
                         {"innerBody", id("/W/Fixture")}, {"outerBody", id("/W/Part")}, {"innerFrame", nullptr}};
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(c[key], value) << key;
  expectLocation(c["innerOffset"], X_FP); expectLocation(c["outerOffset"], Xform::Identity);
  expectLocation(c["relative"], X_FP);
  EXPECT_TRUE(r.at("/W/Part")["body"]["attached"]);
  EXPECT_TRUE(r.at("/W/Floor")["body"]["connection"].is_null());
  const json& fixtureBody = r.at("/W/Fixture")["body"];
  EXPECT_EQ(fixtureBody["frames"], json::array());
  EXPECT_EQ(fixtureBody["tagPoints"], json({id("/W/Fixture/A"), id("/W/Fixture/B")}));
  EXPECT_EQ(fixtureBody["paths"], json({id("/W/Fixture/L")}));
  EXPECT_EQ(r.at("/W/Gripper")["body"]["frames"], json({id("/W/Gripper/Tool")}));
  // A path lists its points in route order, a point as often as it is listed.
  EXPECT_EQ(r.at("/W/Fixture/L")["path"]["points"],
            json({id("/W/Fixture/A"), id("/W/Fixture/B"), id("/W/Fixture/A")}));
  EXPECT_EQ(r.at("/W/Fixture/B")["tagPoint"], json({{"timing", "velocity"}, {"duration", 5.0}, {"velocity", 0.25},
                                                    {"locked", false}, {"referenceFrames", nullptr}}));

  gripper->setEntityName(L"Hand \"1\""); expectRecordsOfTheModel(w);
  EXPECT_EQ(utf8(fullName(tool)), "/W/Gripper/Tool");
  EXPECT_EQ(byFullName(parse(KVRSnapshot::toJson(w))["entities"]).at("/W/Hand \"1\"")["events"],
            json({KVRBasicEntity::BaseNameChanged, KVRBasicEntity::FullNameChanged}));
  gripper->flushLogicalState(); expectRecordsOfTheModel(w);
  EXPECT_EQ(utf8(fullName(tool)), "/W/Hand \"1\"/Tool");

  // The fixture alone: the part hanging on it comes along; the floor and the world stay outside, by full name.
  const json alone = parse(KVRSnapshot::toJson(fixture))["entities"];
  const auto f = byFullName(alone);
  EXPECT_EQ(alone[0]["fullName"], "/W/Fixture");
  EXPECT_EQ(f.size(), 5u);
  for (const char* name : {"/W/Fixture/A", "/W/Fixture/B", "/W/Fixture/L"}) EXPECT_TRUE(f.count(name)) << name;
  const json &fx = f.at("/W/Fixture"), &pt = f.at("/W/Part");
  EXPECT_EQ(json::array({fx["logicalParent"], fx["spatialParent"], fx["body"]["connection"]["innerBody"]}),
            json::array({"/W", "/W/Floor", "/W/Floor"}));
  EXPECT_EQ(json::array({pt["logicalParent"], pt["spatialParent"]}), json::array({"/W", 0}));
}

// An empty world, a frame with a child in no tree, refusals; then odd names (quotes, backslashes, non-ASCII,
// control characters, markup) and a location with non-finite numbers: written as null, the location saying so.
TEST(SnapshotOfUnusualRoots, OddRootsNamesAndNumbersGiveValidDocumentsAndBadRequestsAreRefused) {
  auto world = makeWorld(L"Names \"&\" <more>");
  world->setSimulationTime(KVRSimTime(2.5));
  const json empty = parse(KVRSnapshot::toJson(world));
  EXPECT_EQ(empty["time"], 2.5);
  ASSERT_EQ(empty["entities"].size(), 1u);
  EXPECT_EQ(empty["entities"][0]["fullName"], "/Names \"&\" <more>");
  EXPECT_EQ(empty["entities"][0]["world"]["time"], 2.5);
  auto loose = make<KVRBasicFrame3D>(L"Loose"), child = make<KVRBasicFrame3D>(L"Child");
  loose->addLogicalChild(child); loose->addSpatialChild(child);
  const json alone = parse(KVRSnapshot::toJson(loose));
  EXPECT_EQ(alone["time"], 0.0);
  ASSERT_EQ(alone["entities"].size(), 2u);
  EXPECT_EQ(alone["entities"][0]["fullName"], "/");
  EXPECT_EQ(alone["entities"][0]["logicalParent"], nullptr);
  EXPECT_EQ(alone["entities"][1]["fullName"], "/Child");
  EXPECT_EQ(alone["entities"][1]["spatialParent"], 0);
  expectThrowWithText<KVREInvalidArgument>([] { KVRSnapshot::toJson(KVRSharedHandle<KVRBasicEntity>()); },
                                           L"An entity to export is required");
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  expectThrowWithText<KVRERuntimeError>([&] { KVRSnapshot::write(broken, world); },
                                        L"The export could not be written to its stream");

  const std::wstring names[] = {L"say \"hi\"", L"back\\slash", L"Grüße 日本 \U0001F916",
                                std::wstring(L"bell\a nul") + L'\0' + L"!", L"carriage\rreturn\ttab\x1b[31m",
                                L"</script><script>alert(1)</script>"};
  for (const auto& name : names) world->addEntity(make<KVRBasicFrame3D>(name));
  auto holder = make<KVRBasicFrame3D>(L"Holder");
  auto odd = make<Probe3D>(L"Odd");
  world->addEntity(holder); holder->addLogicalChild(odd);
  holder->addSpatialChild(odd);
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  odd->relative = KVRBasicXform3D<double>(KVRBasicQtn3D<double>(), KVRBasicVector3D<double>(nan, 1, inf));
  world->flushLogicalState(); holder->flushBaseLocation();
  const json doc = parse(KVRSnapshot::toJson(world));  // still valid JSON
  ASSERT_EQ(doc["entities"].size(), 3 + std::size(names));
  for (std::size_t i = 0; i < std::size(names); ++i)
    EXPECT_EQ(doc["entities"][i + 1]["fullName"], "/Names \"&\" <more>/" + utf8(names[i]));
  const json& r = doc["entities"][8];
  EXPECT_TRUE(r["relative"]["nonFinite"]);
  EXPECT_EQ(r["relative"]["position"], json({nullptr, 1.0, nullptr}));
  EXPECT_TRUE(r["base"]["nonFinite"]);
  EXPECT_FALSE(doc["entities"][7]["relative"].contains("nonFinite"));
  odd->relative = pose(0.1, 1, 2, 3);
  holder->flushBaseLocation();  // a sound location written later loses the mark
  EXPECT_FALSE(parse(KVRSnapshot::toJson(world))["entities"][8]["relative"].contains("nonFinite"));
  orphan(world, loose);
}

}  // namespace
