// Groups, assemblies, shuttles and tag points with reference frames in snapshots and timelines.

#include <set>

#include "KVRExportTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;

// The cell, in world W: the root assembly L at the origin holds the cart S (a shuttle), the pallet assembly A
// at X_LA with the parts B1 and B2 on it, and the route R at X_WR with points T0, T1, T2; T2 rides a turntable
// (an assembly extension with two reference frames relative to R). S's planner follows R over 0 to 6 s from
// 10 s; S carries A and is active. A tray G (a group, inactive) holds a box X in W and a body O in world V.
class Carriers : public testing::Test {
 protected:
  void SetUp() override {
    w->addEntity(line); line->addBody(cart);
    line->addBody(pallet, X_LA, Xform::Identity);
    pallet->addBody(part1, at(0.1, 0, 0.05), Xform::Identity);
    pallet->addBody(part2, at(-0.1, 0, 0.05, 90), Xform::Identity);
    line->addPath(route); route->setBaseLocation(X_WR);
    route->flushSpatialState(); route->createPoints(3, L"T", 0);
    for (unsigned i = 0; i < 3; ++i) route->setTagPointRelativeLocation(i, X_RT[i]);
    route->getTagPoint(2)->addExtension(turntable);
    turntable->setReferenceFrame(at(2, 1, 0), at(2, 1, 0, 90), route);
    cart->addExtension(planner); planner->setPath(route, 0.0, 6.0);
    planner->setScheduledStart(10.0);
    cart->addEntity(pallet); cart->activate();
    w->addEntity(tray);
    w->addEntity(box); v->addEntity(outside);
    for (const auto& member : {box, outside}) tray->addEntity(member);
    for (const auto& world : {w, v}) world->flushLogicalState();
  }
  void TearDown() override { orphan(w, v); }

  void runTo(double t) {
    planner->moveBasicObject(KVRSimTime(t) - planner->getScheduledStart());
    cart->flushSpatialState(); w->setSimulationTime(KVRSimTime(t));
    w->flushLogicalState();
  }
  std::map<std::string, json> snapshot() const { return byFullName(parse(KVRSnapshot::toJson(w))["entities"]); }

  const Xform X_LA = at(0, 0, 0.3);
  Xform X_WR = at(0.5, -1, 0, 30);
  const Xform X_RT[3] = {at(0, 0, 0), at(2, 0, 0), at(3, 1, 0, 90)};
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W"), v = makeWorld(L"V");
  KVRSharedHandle<KVRBasicMfgAssembly3D> line = make<KVRBasicMfgAssembly3D>(L"L"),
                                         pallet = make<KVRBasicMfgAssembly3D>(L"A");
  KVRSharedHandle<KVRBasicBody3D> part1 = make<KVRBasicPart3D>(L"B1"), part2 = make<KVRBasicPart3D>(L"B2");
  KVRSharedHandle<KVRBasicShuttle3D> cart = make<KVRBasicShuttle3D>(L"S");
  KVRSharedHandle<KVRBasicPath3D> route = make<KVRBasicPath3D>(L"R");
  KVRSharedHandle<KVRShuttlePlannerExt> planner{new KVRShuttlePlannerExt};
  KVRSharedHandle<KVRMfgAssemblyTagPointExt> turntable{new KVRMfgAssemblyTagPointExt};
  KVRSharedHandle<KVRBasicGroup3D> tray = make<KVRBasicGroup3D>(L"G");
  KVRSharedHandle<KVRBasicBody3D> box = make<KVRBasicBody3D>(L"X"), outside = make<KVRBasicBody3D>(L"O");
};

// A shuttle records its path, plan and members, whether it moves at the snapshot time; without a planner, none.
TEST_F(Carriers, AShuttleRecordsItsPathPlanMembersAndWhetherItMovesAtTheSnapshotTime) {
  runTo(12);
  const auto r = snapshot();
  const json& cartRecord = r.at("/W/L/S");
  const json& s = cartRecord["shuttle"];
  json times = json::array();
  for (const KVRSimTime& t : planner->getTimes()) times.push_back(t.toSeconds());
  ASSERT_EQ(times.size(), 3u);
  EXPECT_GT(planner->getCurrentDistance(), 0);
  EXPECT_DOUBLE_EQ(s["distance"].get<double>(), planner->getCurrentDistance());
  const json expected = {{"planner", true}, {"path", r.at("/W/L/R")["id"]}, {"times", times},
                         {"scheduledStart", 10.0}, {"motionActive", true}};
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(s[key], value) << key;
  // Its members are in its group section, each with its place on the shuttle.
  const json& g = cartRecord["group"];
  EXPECT_TRUE(g["active"]);
  ASSERT_EQ(g["members"].size(), 1u);
  EXPECT_EQ(g["members"][0]["entity"], r.at("/W/L/A")["id"]);
  expectLocation(g["members"][0]["relative"], cart->getRelativeLocation(KVRSharedHandle<KVRBasicEntity3D>(pallet)));
  const int id = cartRecord["id"];
  for (const double t : {9.0, 16.5})
    EXPECT_FALSE(parse(KVRSnapshot::toJson(w, KVRSimTime(t)))["entities"][id]["shuttle"]["motionActive"]) << t;
  cart->removeExtension(KVRShuttlePlannerExt::ClassID_);
  EXPECT_EQ(snapshot().at("/W/L/S")["shuttle"],
            json({{"planner", false}, {"path", nullptr}, {"times", json::array()}, {"scheduledStart", nullptr},
                  {"distance", 0.0}, {"motionActive", false}, {"span", nullptr}, {"customFlag", 0},
                  {"shuttlePath", nullptr}}));
}

// An assembly lists its bodies and the assemblies above it (outside ones by full name); a group each member's
// place and whether it carries them; a tag point its reference frames in world terms, moving with the route.
TEST_F(Carriers, AssembliesGroupsAndReferenceFramesAreRecordedWithWhatTheyHold) {
  tray->setRelativeLocation(KVRSharedHandle<KVRBasicEntity3D>(box), at(1, 2, 0, 45));
  box->flushSpatialState();
  route->setBaseLocation(X_WR = at(-1, 2, 0.5, -60));
  route->flushSpatialState();
  const auto r = snapshot();
  const auto id = [&](const char* name) { return r.at(name)["id"]; };
  EXPECT_EQ(r.at("/W/L/A")["assembly"], json({{"bodies", {id("/W/L/A/B1"), id("/W/L/A/B2")}},
                                              {"parentAssembly", id("/W/L")}, {"rootAssembly", id("/W/L")}}));
  EXPECT_EQ(r.at("/W/L")["assembly"], json({{"bodies", {id("/W/L/S"), id("/W/L/A")}}, {"parentAssembly", nullptr},
                                            {"rootAssembly", nullptr}}));
  EXPECT_FALSE(r.at("/W/L/A/B1").contains("assembly"));
  EXPECT_EQ(parse(KVRSnapshot::toJson(pallet))["entities"][0]["assembly"]["parentAssembly"], "/W/L");
  const json& g = r.at("/W/G")["group"];
  EXPECT_FALSE(g["active"]);
  ASSERT_EQ(g["members"].size(), 2u);
  EXPECT_EQ(g["members"][0]["entity"], id("/W/X"));
  expectLocation(g["members"][0]["relative"], at(1, 2, 0, 45));
  EXPECT_EQ(g["members"][1]["entity"], "/V/O");
  expectLocation(g["members"][1]["relative"], tray->getRelativeLocation(KVRSharedHandle<KVRBasicEntity3D>(outside)));
  EXPECT_FALSE(r.at("/W/G").contains("shuttle"));
  const json& frames = r.at("/W/L/R/T2")["tagPoint"]["referenceFrames"];
  EXPECT_TRUE(frames["set"]);
  Xform X_WF1, X_WF2;
  turntable->getReferenceFrame(X_WF1, X_WF2);
  expectLocation(frames["first"], X_WF1);
  expectLocation(frames["second"], X_WF2);
  expectLocation(frames["first"], X_WR * at(2, 1, 0));
  EXPECT_TRUE(r.at("/W/L/R/T1")["tagPoint"]["referenceFrames"].is_null());

  // Active, one member less; an extension without frames says so and gives the identity.
  tray->activate(); tray->removeEntity(KVRSharedHandle<KVRBasicEntity3D>(outside));
  route->getTagPoint(1)->addExtension(KVRSharedHandle<KVRMfgAssemblyTagPointExt>(new KVRMfgAssemblyTagPointExt));
  const auto again = snapshot();
  EXPECT_TRUE(again.at("/W/G")["group"]["active"]);
  EXPECT_EQ(again.at("/W/G")["group"]["members"].size(), 1u);
  const json unset = again.at("/W/L/R/T1")["tagPoint"]["referenceFrames"];
  EXPECT_FALSE(unset["set"]);
  expectLocation(unset["first"], Xform::Identity);
}

// Recorded every second from 9 to 17 s: the parts stand where the model has them, the cart moves only in its
// scheduled move; the forecast of where the move ends (16 s) is written once, at its start.
TEST_F(Carriers, ATimelineOfTheRunFollowsTheCarriedPartsAndTheMotion) {
  KVRTimeline timeline;
  std::vector<Xform> partAt;
  for (int t = 9; t <= 17; ++t) {
    runTo(t); timeline.record(w);
    partAt.push_back(part2->getBaseLocation());
  }
  const json doc = parse(timeline.toJson());
  ASSERT_EQ(doc["steps"].size(), partAt.size());
  const auto first = byFullName(doc["steps"][0]["entities"]);
  const auto id = [&](const char* fullName) { return first.at(fullName)["id"].get<int>(); };
  const int cartId = id("/W/L/S"), partId = id("/W/L/A/B2");
  std::map<int, json> state;
  for (std::size_t k = 0; k < partAt.size(); ++k) {
    SCOPED_TRACE(k);
    const json& step = doc["steps"][k];
    for (const json& record : step["entities"]) state[record["id"]] = record;
    expectLocation(state.at(partId)["base"], partAt[k]);
    const double t = 9.0 + static_cast<double>(k);
    EXPECT_EQ(state.at(cartId)["shuttle"]["motionActive"], t > 10 && t <= 16);
    EXPECT_EQ(step.contains("forecast"), k == 2);
    if (k != 2) continue;
    std::set<std::string> forecast;
    for (const json& entry : step["forecast"]) {
      forecast.insert(state.at(entry["body"].get<int>())["fullName"]);
      EXPECT_EQ(entry["time"], 16.0);
      if (entry["body"] == partId) expectLocation(entry["location"], partAt[7]);
    }
    EXPECT_EQ(forecast, (std::set<std::string>{"/W/L/A", "/W/L/A/B1", "/W/L/A/B2"}));
  }
  EXPECT_NE(partAt.front().getPosition(), partAt.back().getPosition());
  // Who holds what at the first step: a part on the carried pallet, a box the tray carries as a member.
  std::map<int, json> held;
  for (const json& entry : doc["steps"][0]["custody"]) held[entry["body"]] = entry;
  EXPECT_EQ(held.at(partId),
            json({{"body", partId}, {"holder", id("/W/L/A")}, {"hold", "connected"}, {"carriers", {cartId}}}));
  EXPECT_EQ(held.at(id("/W/X")),
            json({{"body", id("/W/X")}, {"holder", id("/W/G")}, {"hold", "member"}, {"carriers", json::array()}}));
  for (std::size_t k = 1; k < partAt.size(); ++k) EXPECT_FALSE(doc["steps"][k].contains("custody"));
}

}  // namespace
