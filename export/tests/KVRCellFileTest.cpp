// Cells read back from their snapshots: every class round trips to the same
// document, a loaded shuttle moves as the saved one, a cell written by hand
// stands where hand arithmetic puts it, and bad documents are refused with
// nothing built.

#include <cmath>
#include <cstring>
#include <functional>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

// Clears the pending events of everything below `e` in both trees and of
// the connections bodies hang on: a saved cell is compared quiet.
void quieten(const KVRSharedHandle<KVRBasicEntity>& e) {
  e->clearEvents();
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  for (const auto& child : children) quieten(child);
  if (const auto* body = dynamic_cast<const KVRBasicBody3D*>(e.get()))
    if (const auto connection = body->getInnerConnection()) connection->clearEvents();
  if (const auto* e3 = dynamic_cast<const KVRBasicEntity3D*>(e.get())) {
    KVRSharedVector<KVRBasicEntity3D> spatial;
    e3->getSpatialChildren(spatial);
    for (const auto& child : spatial)
      if (!child->hasLogicalParent()) quieten(child);
  }
}

// An ASCII name as a wide string.
std::wstring wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

KVRSnapshot::ReadOptions withRule() {
  KVRSnapshot::ReadOptions options;
  options.classes = {&Rule::ClassInfo_};
  return options;
}

// The export cell, with what every other class adds: a pallet group carrying
// the part, a cart shuttle riding the fixture's path with the gripper on it,
// an assembly line holding a conveyor, a camera watching through a rule,
// symbols and attributes on the note, reference frames on tag point B, and
// the part grabbed by the gripper after it hung on the fixture.
class CellFile : public ExportCell {
 protected:
  void SetUp() override {
    ExportCell::SetUp();
    for (const auto& e : Entities{pallet, cart, line, camera, rule}) w->addEntity(e);
    floor->attachBody(pallet, at(2, 0, 0, 30));
    floor->attachBody(cart, at(-1, 1, 0));
    // The camera hangs through an attachment made between two frames.
    floor->addFrame(mount);
    camera->addFrame(lens);
    Xform offset = at(0, 0, 4);
    mount->setFrameLocation(offset);
    mast->connectBodies(mount, lens);
    camera->setInnerBody(floor, mast);
    line->addBody(conveyor, at(0.5, 0, 0), Xform());
    rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
    rule->setRelationship(camera, part);
    camera->setRelationship(rule);
    pallet->addEntity(part);
    pallet->activate();
    pallet->setEntityAlwaysActive(part, 1);
    cart->addEntity(gripper);
    cart->activate();
    b->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRMfgAssemblyTagPointExt));
    KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(b->getExtension(KVRMfgAssemblyTagPointExt::ClassID_))
        ->setReferenceFrame(at(1, 2, 3), at(1, 3, 3, 45));
    cart->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRShuttlePlannerExt));
    planner()->setPath(route, KVRSimTime(0.0), KVRSimTime(4.0));
    planner()->changeMoveTime(KVRSimTime(1.0), KVRSimTime(9.0));
    planner()->setScheduledStart(KVRSimTime(0.5));
    planner()->setCustomFlag(3);
    KVRWDMSymbolTable(note).getRealSymbol(L"speed", L'/', L'.').setValue(2.5);
    note->setDescription(L"Kept by \u00e9quipe 2");
    note->setIntAttribute(7);
    KVRSharedHandle<KVRAttributeExt> attributes(new KVRAttributeExt);
    attributes->getAttributeSet().addAttribute(L"lot", std::make_unique<KVRWStringAttribute>(L"A-17"));
    attributes->getAttributeSet().addAttribute(L"force", std::make_unique<KVRRealAttribute>(12.5));
    attributes->getAttributeSet().addAttribute(L"count", std::make_unique<KVRIntegerAttribute>(3));
    attributes->getAttributeSet().addAttribute(
        L"offset", std::make_unique<KVRVector3DAttribute>(KVRBasicVector3D<double>(1, 2, 3)));
    note->addExtension(attributes);
    KVRBasicBody3D::grabBody(gripper, part);
    w->setSimulationTime(KVRSimTime(2.25));
    floor->flushBaseLocation();
    quieten(w);
  }

  KVRSharedHandle<KVRShuttlePlannerExt> planner() const { return cart->getPlanner(); }

  KVRSharedHandle<KVRBasicGroup3D> pallet = make<KVRBasicGroup3D>(L"Pallet");
  KVRSharedHandle<KVRBasicShuttle3D> cart = make<KVRBasicShuttle3D>(L"Cart");
  KVRSharedHandle<KVRBasicMfgAssembly3D> line = make<KVRBasicMfgAssembly3D>(L"Line");
  KVRSharedHandle<KVRBasicBody3D> conveyor = make<KVRBasicBody3D>(L"Conveyor");
  KVRSharedHandle<KVRBasicCamera3D> camera = make<KVRBasicCamera3D>(L"Camera");
  KVRSharedHandle<Rule> rule = make<Rule>(L"Watch");
  KVRSharedHandle<KVRBasicFrame3D> mount = make<KVRBasicFrame3D>(L"Mount"), lens = make<KVRBasicFrame3D>(L"Lens");
  KVRSharedHandle<KVRBasicAttachment3D> mast = make<KVRBasicAttachment3D>(L"Mast");
};

TEST_F(CellFile, EveryClassRoundTripsToTheSameDocumentAndALoadedShuttleMovesAsTheSavedOne) {
  const std::string saved = KVRSnapshot::toJson(w);
  KVRSnapshot::ReadOptions options = withRule();
  options.addToUniverse = true;  // the saved world's parent is the universe: "/"
  const auto loaded = KVRSharedHandle<KVRBasicWorld>::downcast(KVRSnapshot::read(saved, options));
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(KVRCheckModel(loaded).empty());
  EXPECT_EQ(KVRSnapshot::toJson(loaded), saved);
  EXPECT_TRUE(pending(*loaded).empty());

  // What the document says about them, read back through the model.
  const auto find = [&](const wchar_t* path) { return loaded->findEntity(path); };
  const auto note2 = find(L"N");
  EXPECT_EQ(note2->getDescription(), L"Kept by \u00e9quipe 2");
  EXPECT_EQ(note2->getIntAttribute(), 7);
  EXPECT_EQ(KVRWDMSymbolTable(note2).getRealSymbol(L"speed", L'/', L'.').getValue(), 2.5);
  const auto part2 = KVRSharedHandle<KVRBasicBody3D>::downcast(find(L"Part"));
  EXPECT_EQ(part2->getTransientState(), 1);
  EXPECT_EQ(part2->getInnerBody(), KVRSharedHandle<KVRBasicBody3D>::downcast(find(L"Gripper")));
  EXPECT_EQ(part2->getInnerBodyOriginal(), KVRSharedHandle<KVRBasicBody3D>::downcast(find(L"Fixture")));
  const auto cart2 = KVRSharedHandle<KVRBasicShuttle3D>::downcast(find(L"Cart"));
  EXPECT_EQ(cart2->getPlanner()->getTimes(), planner()->getTimes());
  EXPECT_EQ(cart2->getPlanner()->getCustomFlag(), 3);
  const auto mast2 = KVRSharedHandle<KVRBasicBody3D>::downcast(find(L"Camera"))->getInnerConnection();
  EXPECT_EQ(mast2->getInnerFrame(), find(L"Floor/Mount"));
  EXPECT_EQ(mast2->getOuterFrame(), find(L"Camera/Lens"));

  // Both cells run the same steps: every base location agrees to 1e-12.
  const auto gripper2 = KVRSharedHandle<KVRBasicEntity3D>::downcast(find(L"Gripper"));
  for (const double t : {0.0, 1.5, 3.0, 4.75, 9.0, 12.0}) {
    for (const auto& [shuttle, world] : {std::pair{cart, w}, std::pair{cart2, loaded}}) {
      world->setSimulationTime(KVRSimTime(t));
      shuttle->getPlanner()->moveBasicObject(KVRSimTime(t) - shuttle->getPlanner()->getScheduledStart());
      shuttle->flushSpatialState();
    }
    const Xform a1 = gripper->getBaseLocation(), a2 = gripper2->getBaseLocation();
    EXPECT_NEAR((a1.getPosition() - a2.getPosition()).norm(), 0, 1e-12) << t;
    EXPECT_NEAR(std::abs(a1.getQtn().eigen().dot(a2.getQtn().eigen())), 1, 1e-12) << t;
  }
  EXPECT_TRUE(KVRCheckModel(loaded).empty());
  loaded->orphanObject();
}

// A version 1 document, which lacks what loading added to the format, loads
// with defaults: every entity stands where it stood, and a body finds the
// connection record it hangs on by name.
TEST_F(CellFile, AVersionOneDocumentLoadsWithDefaults) {
  json doc = parse(KVRSnapshot::toJson(w));
  doc["version"] = 1;
  for (json& r : doc["entities"]) {
    r.erase("properties");
    if (r.contains("body")) {
      for (const char* key : {"innerBodyOriginal", "homeAttachBody"}) r["body"].erase(key);
      if (r["body"]["connection"].is_object()) r["body"]["connection"].erase("record");
    }
    if (r.contains("shuttle"))
      for (const char* key : {"span", "customFlag", "shuttlePath"}) r["shuttle"].erase(key);
    if (r.contains("group"))
      for (json& member : r["group"]["members"]) member.erase("propagating"), member.erase("alwaysActive");
  }
  const auto loaded = KVRSnapshot::read(doc.dump(), withRule());
  EXPECT_TRUE(KVRCheckModel(loaded).empty());
  for (const char* name : {"Part", "Cart", "Line/Conveyor", "Fixture/B"}) {
    const auto before = KVRSharedHandle<KVRBasicEntity3D>::downcast(w->findEntity(wide(name)));
    const auto after = KVRSharedHandle<KVRBasicEntity3D>::downcast(loaded->findEntity(wide(name)));
    EXPECT_TRUE(after->getBaseLocation() == before->getBaseLocation()) << name;
  }
  const auto conveyor = KVRSharedHandle<KVRBasicBody3D>::downcast(loaded->findEntity(L"Line/Conveyor"));
  EXPECT_EQ(conveyor->getInnerConnection(), loaded->findEntity(L"Line/Line-Conveyor"));
  loaded->orphanObject();
}

// A cell as a person writes it: ids left out, references by full name,
// poses in degrees or as quaternions, base locations computed.
TEST(CellFileByHand, StandsWhereHandArithmeticPutsIt) {
  const std::string text = R"({"format": "KVRWorldModel snapshot", "version": 2, "entities": [
    {"name": "Bench", "class": "KVRBasicWorld", "world": {"time": 1.5}},
    {"name": "Table", "class": "KVRBasicBody3D", "logicalParent": "/Bench",
     "base": {"position": [1, 0, 0], "rpy": [0, 0, 90]}},
    {"name": "Corner", "class": "KVRBasicFrame3D", "logicalParent": "/Bench/Table", "spatialParent": "/Bench/Table",
     "relative": {"position": [0.5, 0.25, 0.75]}},
    {"name": "Box", "class": "KVRBasicPart3D", "logicalParent": "/Bench",
     "body": {"connection": {"innerBody": "/Bench/Table", "innerOffset": {"position": [0, 2, 0],
              "quaternion": [0.7071067811865476, 0.7071067811865476, 0, 0]}}, "attached": true}}
  ]})";
  const auto world = KVRSharedHandle<KVRBasicWorld>::downcast(KVRSnapshot::read(text));
  ASSERT_TRUE(world);
  EXPECT_EQ(world->getSimulationTime(), KVRSimTime(1.5));
  const auto corner = KVRSharedHandle<KVRBasicEntity3D>::downcast(world->findEntity(L"Table/Corner"));
  const auto box = KVRSharedHandle<KVRBasicBody3D>::downcast(world->findEntity(L"Box"));
  // The table turned 90 degrees about z at (1, 0, 0): its x axis is the world's y.
  EXPECT_NEAR((corner->getBaseLocation().getPosition() - KVRBasicVector3D<double>(0.75, 0.5, 0.75)).norm(), 0,
              1e-12);
  EXPECT_NEAR((box->getBaseLocation().getPosition() - KVRBasicVector3D<double>(-1, 0, 0)).norm(), 0, 1e-12);
  double roll, pitch, yaw;
  box->getBaseLocation().getRPY(roll, pitch, yaw);
  EXPECT_NEAR(roll, KVRMathConst::Pi / 2, 1e-12);
  EXPECT_NEAR(yaw, KVRMathConst::Pi / 2, 1e-12);
  EXPECT_TRUE(box->isAttached());
  EXPECT_TRUE(KVRCheckModel(world).empty());
  world->orphanObject();
}

// A second connection record hanging the box, as Hook does.
void addSecondHook(json& d) {
  json second = d["entities"][3];
  second["id"] = 15;
  second["name"] = "Hook2";
  d["entities"].push_back(second);
}

// Bad documents: each refused with one KVREInvalidArgument naming the record
// and the field; nothing is built and nothing joins the universe.
TEST(CellFileRefusals, NameTheRecordAndTheFieldAndBuildNothing) {
  const json good =
      json::parse(R"({"format": "KVRWorldModel snapshot", "version": 2, "root": 10, "entities": [
    {"id": 10, "name": "W", "class": "KVRBasicWorld"},
    {"id": 11, "name": "Floor", "class": "KVRBasicBody3D", "logicalParent": 10},
    {"id": 12, "name": "Box", "class": "KVRBasicBody3D", "logicalParent": 10, "spatialParent": 11},
    {"id": 13, "name": "Hook", "class": "KVRBasicAttachment3D", "logicalParent": 11,
     "connection": {"innerBody": 11, "outerBody": 12}},
    {"id": 14, "name": "Mark", "class": "KVRBasicFrame3D", "logicalParent": 12, "spatialParent": 12}]})");
  const auto loadedOnce = KVRSnapshot::read(good.dump(), {});
  ASSERT_TRUE(loadedOnce);
  loadedOnce->orphanObject();

  using Edit = std::function<void(json&)>;
  const std::vector<std::tuple<const char*, Edit, std::wstring>> cases = {
      {"version", [](json& d) { d["version"] = 9; }, L"\"version\""},
      {"duplicate id", [](json& d) { d["entities"][2]["id"] = 11; },
       L"Record 11 (\"Box\") of the cell, field \"id\""},
      {"dangling reference", [](json& d) { d["entities"][4]["spatialParent"] = 99; },
       L"field \"spatialParent\": no record has the id 99"},
      {"missing parent by name", [](json& d) { d["entities"][1]["logicalParent"] = "/Elsewhere"; },
       L"field \"logicalParent\""},
      {"logical cycle", [](json& d) { d["entities"][2]["logicalParent"] = 14; }, L"cycle of logical parents"},
      {"spatial cycle", [](json& d) { d["entities"][1]["spatialParent"] = 14; }, L"cycle of spatial parents"},
      {"two connections", addSecondHook, L"two connections"},
      {"non-unit pose",
       [](json& d) {
         d["entities"][4]["relative"] = {{"position", {0, 0, 0}}, {"quaternion", {1, 1, 0, 0}}};
       },
       L"field \"relative.quaternion\": is not a unit quaternion"},
      {"non-finite pose",
       [](json& d) {
         d["entities"][4]["relative"] = {{"position", {0, nullptr, 0}}};
       },
       L"field \"relative.position\": is not a number"},
      {"wrong type", [](json& d) { d["entities"][2]["name"] = 5; }, L"field \"name\": is not a string"},
      {"unknown class", [](json& d) { d["entities"][2]["class"] = "Robot"; }, L"field \"class\""},
      {"wrong type in a section",
       [](json& d) {
         d["entities"][4]["class"] = "KVRBasicTagPoint3D";
         d["entities"][4]["tagPoint"] = {{"timing", 5}};
       },
       L"field \"tagPoint.timing\": is not a string"},
      {"time out of range",
       [](json& d) {
         d["entities"][0]["world"] = {{"time", 1e30}};
       },
       L"Record 10 (\"/W\") of the cell, field \"world.time\": the model refuses it: A simulation time"},
      {"two connections, the body saying nothing of them",
       [](json& d) {
         d["entities"][2]["body"] = {{"transientState", 0}};
         addSecondHook(d);
       },
       L"two connections: records 13 and 15"},
      {"held by nothing",
       [](json& d) {
         d["entities"].push_back({{"id", 20}, {"class", "KVRBasicFrame3D"}});
       },
       L"Record 20 (\"/New Entity\") of the cell, field \"logicalParent\": nothing below the root holds"},
      {"bad symbol",
       [](json& d) {
         d["entities"][1]["properties"] = {{"symbols", {{{"name", "s"}, {"type", "real"}, {"value", "x"}}}}};
       },
       L"field \"properties.symbols[0].value\": is not a number"},
  };
  const std::size_t before = KVRBasicEntity3D::getEntityBlockBytes();
  const int worlds = KVRBasicUniverse::getUniverse()->getLogicalChildrenCount();
  KVRSnapshot::ReadOptions options;
  options.addToUniverse = true;
  for (const auto& [what, edit, expected] : cases) {
    SCOPED_TRACE(what);
    json doc = good;
    edit(doc);
    try {
      KVRSnapshot::read(doc.dump(), options);
      ADD_FAILURE() << "read";
    } catch (const KVREInvalidArgument& e) {
      EXPECT_NE(e.getMessage().find(expected), std::wstring::npos) << utf8(e.getMessage());
    }
    EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
    EXPECT_EQ(KVRBasicUniverse::getUniverse()->getLogicalChildrenCount(), worlds);
  }

  // Not JSON, too large, too deep.
  expectThrowWithText<KVREInvalidArgument>(
      [] { KVRSnapshot::read(std::string_view("{\"format\": ")); },
      L"The document is not a cell: it is not JSON ("
      L"[json.exception.parse_error.101] parse error at line 1, column 12: "
      L"syntax error while parsing value - unexpected end of input; expected "
      L"'[', '{', or a literal)");
  // A value nested a million deep: refused, not copied by recursion.
  std::string nested = good.dump();
  nested.replace(nested.find("\"name\":\"Floor\""), 14,
                 "\"properties\":" + std::string(1000000, '[') + std::string(1000000, ']'));
  EXPECT_THROW(KVRSnapshot::read(nested), KVREInvalidArgument);
  KVRSnapshot::ReadOptions small;
  small.maxBytes = 100;
  EXPECT_THROW(KVRSnapshot::read(good.dump(), small), KVREInvalidArgument);
  json deep = good;
  for (int i = 0; i < 100000; ++i)
    deep["entities"].push_back({{"id", 100 + i},
                                {"name", "F"},
                                {"class", "KVRBasicFrame3D"},
                                {"logicalParent", i == 0 ? 14 : 99 + i},
                                {"spatialParent", i == 0 ? 14 : 99 + i}});
  try {
    KVRSnapshot::read(deep.dump());
    ADD_FAILURE() << "read";
  } catch (const KVREInvalidArgument& e) {
    EXPECT_NE(e.getMessage().find(L"deeper in the logical tree than the 10000 levels"), std::wstring::npos);
  }
  EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
}

}  // namespace
