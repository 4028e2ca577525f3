// Cells read back from their snapshots: every class round trips, a loaded shuttle moves as the saved one, a
// hand-written cell stands where hand arithmetic puts it, and bad documents are refused with nothing built.

#include <cmath>
#include <functional>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
template <class T, class U>
auto as(const KVRSharedHandle<U>& e) { return KVRSharedHandle<T>::downcast(e); }

// Clears the pending events below `e` in both trees and of connections: a saved cell is compared quiet.
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

KVRSnapshot::ReadOptions withRule(bool addToUniverse = false) {
  return {.classes = {&Rule::ClassInfo_}, .addToUniverse = addToUniverse};
}

using CellFile = ExportCell;

// The export cell, with: a pallet group carrying the part, a cart shuttle riding the fixture's path with the
// gripper on it, a line assembly holding a conveyor, a camera watching through a rule and hanging between two
// frames, symbols and attributes on the note, reference frames on B, and the part grabbed by the gripper.
TEST_F(CellFile, EveryClassRoundTripsToTheSameDocumentAndALoadedShuttleMovesAsTheSavedOne) {
  const auto pallet = make<KVRBasicGroup3D>(L"Pallet");
  const auto cart = make<KVRBasicShuttle3D>(L"Cart");
  const auto line = make<KVRBasicMfgAssembly3D>(L"Line");
  const auto camera = make<KVRBasicCamera3D>(L"Camera");
  const auto rule = make<Rule>(L"Watch");
  const auto mount = make<KVRBasicFrame3D>(L"Mount"), lens = make<KVRBasicFrame3D>(L"Lens");
  for (const auto& e : Entities{pallet, cart, line, camera, rule}) w->addEntity(e);
  floor->attachBody(pallet, at(2, 0, 0, 30)); floor->attachBody(cart, at(-1, 1, 0));
  floor->addFrame(mount); camera->addFrame(lens);
  mount->setFrameLocation(at(0, 0, 4));
  const auto mast = make<KVRBasicAttachment3D>(L"Mast");
  mast->connectBodies(mount, lens); camera->setInnerBody(floor, mast);
  line->addBody(make<KVRBasicBody3D>(L"Conveyor"), at(0.5, 0, 0), Xform());
  rule->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet); rule->setRelationship(camera, part);
  camera->setRelationship(rule);
  pallet->addEntity(part);
  pallet->activate(); pallet->setEntityAlwaysActive(part, 1);
  cart->addEntity(gripper); cart->activate();
  KVRSharedHandle<KVRMfgAssemblyTagPointExt> frames(new KVRMfgAssemblyTagPointExt);
  b->addExtension(frames); frames->setReferenceFrame(at(1, 2, 3), at(1, 3, 3, 45));
  KVRSharedHandle<KVRShuttlePlannerExt> planner(new KVRShuttlePlannerExt);
  cart->addExtension(planner); planner->setPath(route, KVRSimTime(0.0), KVRSimTime(4.0));
  planner->changeMoveTime(KVRSimTime(1.0), KVRSimTime(9.0));
  planner->setScheduledStart(KVRSimTime(0.5)); planner->setCustomFlag(3);
  KVRWDMSymbolTable(note).getRealSymbol(L"speed", L'/', L'.').setValue(2.5);
  note->setDescription(L"Kept by \u00e9quipe 2"); note->setIntAttribute(7);
  KVRSharedHandle<KVRAttributeExt> attributes(new KVRAttributeExt);
  auto& set = attributes->getAttributeSet();
  set.addAttribute(L"lot", std::make_unique<KVRWStringAttribute>(L"A-17"));
  set.addAttribute(L"force", std::make_unique<KVRRealAttribute>(12.5));
  set.addAttribute(L"count", std::make_unique<KVRIntegerAttribute>(3));
  set.addAttribute(L"offset", std::make_unique<KVRVector3DAttribute>(KVRBasicVector3D<double>(1, 2, 3)));
  note->addExtension(attributes);
  KVRBasicBody3D::grabBody(gripper, part);
  w->setSimulationTime(KVRSimTime(2.25)); floor->flushBaseLocation();
  quieten(w);

  const std::string saved = KVRSnapshot::toJson(w);  // the saved world's parent is the universe: "/"
  const auto loaded = as<KVRBasicWorld>(KVRSnapshot::read(saved, withRule(true)));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(KVRSnapshot::toJson(loaded), saved);
  EXPECT_TRUE(pending(*loaded).empty());
  const auto find = [&](const wchar_t* path) { return loaded->findEntity(path); };
  const auto note2 = find(L"N");
  EXPECT_EQ(note2->getDescription(), L"Kept by \u00e9quipe 2");
  EXPECT_EQ(note2->getIntAttribute(), 7);
  EXPECT_EQ(KVRWDMSymbolTable(note2).getRealSymbol(L"speed", L'/', L'.').getValue(), 2.5);
  const auto part2 = as<KVRBasicBody3D>(find(L"Part"));
  EXPECT_EQ(part2->getTransientState(), 1);
  EXPECT_EQ(part2->getInnerBody(), as<KVRBasicBody3D>(find(L"Gripper")));
  EXPECT_EQ(part2->getInnerBodyOriginal(), as<KVRBasicBody3D>(find(L"Fixture")));
  const auto cart2 = as<KVRBasicShuttle3D>(find(L"Cart"));
  EXPECT_EQ(cart2->getPlanner()->getTimes(), planner->getTimes());
  EXPECT_EQ(cart2->getPlanner()->getCustomFlag(), 3);
  const auto mast2 = as<KVRBasicBody3D>(find(L"Camera"))->getInnerConnection();
  EXPECT_EQ(mast2->getInnerFrame(), find(L"Floor/Mount"));
  EXPECT_EQ(mast2->getOuterFrame(), find(L"Camera/Lens"));
  // Both cells run the same steps: the gripper they carry agrees to 1e-12.
  const auto gripper2 = as<KVRBasicEntity3D>(find(L"Gripper"));
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
  EXPECT_TRUE(isSound(loaded));
  loaded->orphanObject();

  // A version 1 document, without what loading added, loads with defaults: every entity stands where it
  // stood, and a body finds the connection record it hangs on by name.
  json doc = parse(KVRSnapshot::toJson(w));
  doc["version"] = 1;
  for (json& r : doc["entities"]) {
    for (const char* added : {"/properties", "/body/innerBodyOriginal", "/body/homeAttachBody",
                              "/body/connection/record", "/shuttle/span", "/shuttle/customFlag",
                              "/shuttle/shuttlePath"})
      if (const json::json_pointer p(added); r.contains(p)) r[p.parent_pointer()].erase(p.back());
    if (r.contains("group"))
      for (json& member : r["group"]["members"]) member.erase("propagating"), member.erase("alwaysActive");
  }
  const auto v1 = KVRSnapshot::read(doc.dump(), withRule());
  EXPECT_TRUE(isSound(v1));
  for (const wchar_t* name : {L"Part", L"Cart", L"Line/Conveyor", L"Fixture/B"})
    EXPECT_TRUE(as<KVRBasicEntity3D>(v1->findEntity(name))->getBaseLocation() ==
                as<KVRBasicEntity3D>(w->findEntity(name))->getBaseLocation())
        << utf8(name);
  EXPECT_EQ(as<KVRBasicBody3D>(v1->findEntity(L"Line/Conveyor"))->getInnerConnection(),
            v1->findEntity(L"Line/Line-Conveyor"));
  v1->orphanObject();
}

// A document read (the floor turned 90° about z at (1, 0, 0); the hook's inner offset a quaternion), then bad
// ones: each refused naming the record and the field; nothing is built and nothing joins the universe.
TEST(CellFileRefusals, NameTheRecordAndTheFieldAndBuildNothing) {
  const json good = json::parse(R"({"format": "KVRWorldModel snapshot", "version": 2, "root": 10, "entities": [
    {"id": 10, "name": "W", "class": "KVRBasicWorld"},
    {"id": 11, "name": "Floor", "class": "KVRBasicBody3D", "logicalParent": 10,
     "base": {"position": [1, 0, 0], "rpy": [0, 0, 90]}},
    {"id": 12, "name": "Box", "class": "KVRBasicBody3D", "logicalParent": 10, "spatialParent": 11,
     "body": {"attached": true}},
    {"id": 13, "name": "Hook", "class": "KVRBasicAttachment3D", "logicalParent": 11,
     "connection": {"innerBody": 11, "outerBody": 12, "innerOffset": {"position": [0, 2, 0],
                    "quaternion": [0.7071067811865476, 0.7071067811865476, 0, 0]}}},
    {"id": 14, "name": "Mark", "class": "KVRBasicFrame3D", "logicalParent": 12, "spatialParent": 12}]})");
  const auto world = KVRSnapshot::read(good.dump(), {});
  const auto box = as<KVRBasicBody3D>(world->findEntity(L"Box"));
  double rpy[3];
  box->getBaseLocation().getRPY(rpy[0], rpy[1], rpy[2]);
  EXPECT_NEAR((box->getBaseLocation().getPosition() - KVRBasicVector3D<double>(-1, 0, 0)).norm(), 0, 1e-12);
  EXPECT_NEAR(std::abs(rpy[0] - KVRMathConst::Pi / 2) + std::abs(rpy[1]) + std::abs(rpy[2] - KVRMathConst::Pi / 2),
              0, 1e-12);
  EXPECT_TRUE(box->isAttached() && isSound(world));
  world->orphanObject();

  const std::vector<std::pair<std::function<void(json&)>, std::wstring>> cases = {
      {[](json& d) { d["version"] = 9; }, L"\"version\""},
      {[](json& d) { d["entities"][2]["id"] = 11; }, L"Record 11 (\"Box\") of the cell, field \"id\""},
      {[](json& d) { d["entities"][4]["spatialParent"] = 99; },
       L"field \"spatialParent\": no record has the id 99"},
      {[](json& d) { d["entities"][2]["logicalParent"] = 14; }, L"cycle of logical parents"},
      {[](json& d) { d["entities"][1]["spatialParent"] = 14; }, L"cycle of spatial parents"},
      {[](json& d) { d["entities"][4]["relative"] = {{"position", {0, 0, 0}}, {"quaternion", {1, 1, 0, 0}}}; },
       L"field \"relative.quaternion\": is not a unit quaternion"},
      {[](json& d) { d["entities"][4]["relative"] = {{"position", {0, nullptr, 0}}}; },
       L"field \"relative.position\": is not a number"},
      {[](json& d) { d["entities"][2]["name"] = 5; }, L"field \"name\": is not a string"},
      {[](json& d) { d["entities"][2]["class"] = "Robot"; }, L"field \"class\""},
      {[](json& d) { d["entities"][4].update({{"class", "KVRBasicTagPoint3D"}, {"tagPoint", {{"timing", 5}}}}); },
       L"field \"tagPoint.timing\": is not a string"},
      {[](json& d) { d["entities"][0]["world"] = {{"time", 1e30}}; },
       L"Record 10 (\"/W\") of the cell, field \"world.time\": the model refuses it: A simulation time"},
      {[](json& d) { d["entities"].push_back(d["entities"][3]);  // a second connection record, as Hook
                     d["entities"][5].update({{"id", 15}, {"name", "Hook2"}}); },
       L"two connections: records 13 and 15"},
      {[](json& d) { d["entities"].push_back({{"id", 20}, {"class", "KVRBasicFrame3D"}}); },
       L"Record 20 (\"/New Entity\") of the cell, field \"logicalParent\": nothing below the root holds"},
      {[](json& d) { d["entities"][1]["properties"]["symbols"] = {{{"name", "s"}, {"value", "x"}, {"type", "real"}}}; },
       L"field \"properties.symbols[0].value\": is not a number"},
  };
  const std::size_t before = KVRBasicEntity3D::getEntityBlockBytes();
  const int worlds = KVRBasicUniverse::getUniverse()->getLogicalChildrenCount();
  const auto expectRefused = [&](const std::string& text, const KVRSnapshot::ReadOptions& options,
                                 const std::wstring& expected) {
    try {
      KVRSnapshot::read(text, options);
      ADD_FAILURE() << "read: " << utf8(expected);
    } catch (const KVREInvalidArgument& e) {
      EXPECT_NE(e.getMessage().find(expected), std::wstring::npos) << utf8(e.getMessage() + L"\n" + expected);
    }
    EXPECT_EQ(KVRBasicEntity3D::getEntityBlockBytes(), before);
    EXPECT_EQ(KVRBasicUniverse::getUniverse()->getLogicalChildrenCount(), worlds);
  };
  for (const auto& [edit, expected] : cases) {
    json doc = good;
    edit(doc); expectRefused(doc.dump(), withRule(true), expected);
  }
  // Not JSON; a value nested a million deep (refused, not copied by recursion); too large; too deep.
  expectRefused("{\"format\": ", {},
                L"The document is not a cell: it is not JSON ([json.exception.parse_error.101]");
  std::string nested = good.dump();
  nested.replace(nested.find("\"name\":\"Floor\""), 14,
                 "\"properties\":" + std::string(1000000, '[') + std::string(1000000, ']'));
  expectRefused(nested, {}, L"");
  KVRSnapshot::ReadOptions small; small.maxBytes = 100;
  expectRefused(good.dump(), small, L"");
  json deep = good;
  for (int i = 0; i < 100000; ++i)
    deep["entities"].push_back({{"id", 100 + i}, {"name", "F"}, {"class", "KVRBasicFrame3D"},
                                {"logicalParent", i == 0 ? 14 : 99 + i},
                                {"spatialParent", i == 0 ? 14 : 99 + i}});
  expectRefused(deep.dump(), {}, L"deeper in the logical tree than the 10000 levels");
}

}  // namespace
