// A small tour of the world model: builds a work cell's logical tree, renames
// and re-parents entities, flushes, duplicates a subtree, and shows refused
// operations with their messages; then moves frames in a world and shows that
// descendants follow at the flush; then a gripper picks a part off a fixture,
// carries it and puts it back; then a fixture assembly of two parts moves as
// one, and a pallet group carries boxes while active; then properties are
// read and written by path through the symbol table and the library's
// registered interface is found; and a shuttle carries a pallet along a path
// with a turntable over simulation time. Given a folder, it last runs a
// shuttle run in a fuller cell, step by step: a part picked, handed from one
// gripper to another and placed on the pallet the shuttle carries. It prints
// who held the part when and when the shuttle's plan brings it within reach
// of a robot, and writes what it recorded there as JSON, as an HTML report
// to open in a browser and as an SVG top view.
//
// Given --cell and a cell file instead (kvr_demo --cell FILE [FOLDER]), it
// reads the cell the file describes, prints its trees, moves its shuttles
// along their plans step by step printing where they and what they carry
// stand, and saves the cell as it ends into the folder, then reads that back.

#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "KVRException.h"
#include "KVRWorldModel.h"
#include "OmxDictionary.h"
#ifdef KVR_DEMO_WRITES_REPORT
#include "KVRExport.h"
#include "KVRHistory.h"
#endif

namespace {

using Entity = KVRSharedHandle<KVRBasicEntity>;

Entity named(const std::wstring& name) {
  Entity e(new KVRBasicEntity);
  e->setEntityName(name);
  return e;
}

std::string narrow(const std::wstring& text) { return KVRToUtf8(text); }

std::string title(const Entity& e) { return narrow(e->getEntityTitle().scribe(KVRLocale::global())); }

// The logical tree below `e`, one entity per line, indented by depth.
void printTree(const Entity& e, int depth = 0) {
  std::cout << std::string(2 * depth, ' ') << narrow(e->getEntityName()) << "   "
            << narrow(e->getEntityName(KVRBasicEntity::FullName)) << '\n';
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  for (const Entity& child : children) printTree(child, depth + 1);
}

void section(const char* heading) { std::cout << "\n== " << heading << " ==\n"; }

using Xform = KVRBasicXform3D<double>;

Xform at(double x, double y, double z, double yawDegrees = 0) {
  Xform pose;
  pose.setPosition(x, y, z);
  pose.setRPY(0, 0, yawDegrees * KVRMathConst::Pi / 180);
  return pose;
}

template <class T>
KVRSharedHandle<T> make(const std::wstring& name) {
  KVRSharedHandle<T> e(new T);
  e->setEntityName(name);
  return e;
}

// A world named Cell under the universe: full names start at it.
KVRSharedHandle<KVRBasicWorld> cellInTheUniverse() {
  auto world = make<KVRBasicWorld>(L"Cell");
  KVRBasicUniverse::getUniverse()->addEntity(world);
  return world;
}

void printBase(const KVRSharedHandle<KVRBasicEntity3D>& e) {
  std::cout << "  " << std::left << std::setw(28) << narrow(e->getEntityName(KVRBasicEntity::FullName)) << " "
            << e->getBaseLocation() << '\n';
}

// A conveyor frame with a slot and a sensor below it: moving the conveyor
// takes effect on it at once and on the others when it is flushed.
void movingFrames() {
  section("Frames in a world: descendants follow at the flush");
  auto world = cellInTheUniverse();
  auto conveyor = make<KVRBasicFrame3D>(L"Conveyor");
  auto slot = make<KVRBasicFrame3D>(L"Slot1");
  auto sensor = make<KVRBasicFrame3D>(L"Sensor");
  world->addEntity(conveyor);
  conveyor->addLogicalChild(slot);
  slot->addLogicalChild(sensor);
  conveyor->addSpatialChild(slot);
  slot->addSpatialChild(sensor);
  Xform slotOffset = at(0.5, 0, 0), sensorOffset = at(0, 0, 0.2);
  slot->setFrameLocation(slotOffset);
  sensor->setFrameLocation(sensorOffset);
  world->flushLogicalState();
  conveyor->flushBaseLocation();
  for (auto e : {conveyor, slot, sensor}) printBase(e);

  Xform target = at(2, 1, 0, 90);
  conveyor->setBaseLocation(target);
  std::cout << "moved the conveyor, before the flush:\n";
  for (auto e : {conveyor, slot, sensor}) printBase(e);
  conveyor->flushSpatialState();
  std::cout << "after the flush:\n";
  for (auto e : {conveyor, slot, sensor}) printBase(e);
  world->orphanObject();
}

// A gripper with a tool frame picks a part off a fixture, carries it and puts it back.
void pickAndPlace() {
  section("Pick and place");
  auto world = cellInTheUniverse();
  auto floor = make<KVRBasicBody3D>(L"Floor");
  auto fixture = make<KVRBasicBody3D>(L"Fixture");
  auto gripper = make<KVRBasicBody3D>(L"Gripper");
  auto part = make<KVRBasicPart3D>(L"Bracket");
  auto tool = make<KVRBasicFrame3D>(L"Tool");
  for (KVRSharedHandle<KVRBasicEntity> e : {floor, fixture, gripper, KVRSharedHandle<KVRBasicBody3D>(part)})
    world->addEntity(e);
  gripper->addFrame(tool);
  Xform toolOffset = at(0, 0, -0.15);
  tool->setFrameLocation(toolOffset);
  floor->attachBody(fixture, at(1, 0, 0.8));
  floor->attachBody(gripper, at(0, 0, 1.5));
  fixture->attachBody(part, at(0, 0, 0.05));
  world->flushLogicalState();

  const auto report = [&](const char* step) {
    std::cout << step << '\n';
    printBase(tool);
    printBase(part);
    std::cout << "  hangs on " << narrow(part->getInnerBody()->getEntityName()) << " through "
              << narrow(part->getInnerConnection()->getEntityName())
              << (part->isAttached() ? "" : " (not counted as attached)") << '\n';
  };
  report("the part on its fixture:");

  Xform above = at(1, 0, 1.0);  // the tool on the part
  gripper->setBaseLocation(above);
  gripper->flushSpatialState();
  gripper->grabBody(part, 1);
  report("grabbed by the gripper, where it stood:");

  Xform carried = at(0.2, 0.6, 1.2, 45);
  gripper->setBaseLocation(carried);
  gripper->flushSpatialState();
  report("carried while the gripper moves:");

  gripper->setBaseLocation(above);
  gripper->flushSpatialState();
  part->detachBody();
  report("put back: the part returns to the body it hung on, where it was released:");

  try {
    part->attachBody(part);
  } catch (const KVRException& e) {
    std::cout << "refused: " << e.what() << '\n';
  }
  world->orphanObject();
}

// A fixture assembly holding two parts moves as one; a part is taken out and
// put back. A pallet group carries the boxes on it while active and leaves
// them behind when not.
void assembliesAndGroups() {
  section("A fixture assembly and a pallet group");
  auto world = cellInTheUniverse();
  auto floor = make<KVRBasicBody3D>(L"Floor");
  auto fixture = make<KVRBasicMfgAssembly3D>(L"Fixture");
  world->addEntity(floor);
  world->addEntity(fixture);
  floor->attachBody(fixture, at(1, 0, 0.8));
  auto bracket = make<KVRBasicPart3D>(L"Bracket");
  auto plate = make<KVRBasicPart3D>(L"Plate");
  fixture->addBody(bracket, at(0.1, 0, 0.05), Xform::Identity);
  fixture->addBody(plate, at(-0.1, 0, 0.05, 90), Xform::Identity);
  world->flushLogicalState();
  fixture->dump(std::cout);

  Xform turned = at(2, 1, 0.8, 90);
  fixture->setBaseLocation(turned);
  fixture->flushSpatialState();
  std::cout << "the fixture moved; both parts follow:\n";
  for (KVRSharedHandle<KVRBasicEntity3D> e :
       {KVRSharedHandle<KVRBasicEntity3D>(fixture), KVRSharedHandle<KVRBasicEntity3D>(bracket),
        KVRSharedHandle<KVRBasicEntity3D>(plate)})
    printBase(e);

  fixture->removeBody(L"Plate");
  std::cout << "the plate taken out: " << fixture->getBodyCount() << " body left; the plate stays at\n";
  printBase(plate);
  fixture->addBody(plate);
  plate->flushLogicalState();
  std::cout << "put back where it stands, through " << narrow(plate->getInnerConnection()->getEntityName())
            << ": " << narrow(plate->getEntityTitle().scribe(KVRLocale::global())) << '\n';
  try {
    fixture->addBody(floor);  // the floor is a child of the world
  } catch (const KVRException& e) {
    std::cout << "refused: " << e.what() << '\n';
  }

  auto pallet = make<KVRBasicGroup3D>(L"Pallet");
  auto box1 = make<KVRBasicBody3D>(L"Box1");
  auto box2 = make<KVRBasicBody3D>(L"Box2");
  for (const auto& b : {KVRSharedHandle<KVRBasicBody3D>(pallet), box1, box2}) world->addEntity(b);
  floor->attachBody(pallet, at(0, 2, 0));
  floor->attachBody(box1, at(0.2, 2, 0.1));
  floor->attachBody(box2, at(-0.2, 2, 0.1));
  world->flushLogicalState();
  pallet->addEntity(box1);
  pallet->addEntity(box2);
  pallet->activate();
  Xform along = at(3, 2, 0, 0);
  pallet->setBaseLocation(along);
  pallet->flushSpatialState();
  std::cout << "the active pallet moved and carried its boxes:\n";
  for (auto e : {box1, box2}) printBase(e);
  pallet->deactivate();
  Xform back = at(0, 2, 0);
  pallet->setBaseLocation(back);
  pallet->flushSpatialState();
  std::cout << "the inactive pallet moved back and left them behind:\n";
  for (auto e : {box1, box2}) printBase(e);
  world->orphanObject();
}

// The cart on the line and, 0.3 m above it, the pallet assembly with a
// bracket and a plate on it.
struct CartWithPallet {
  KVRSharedHandle<KVRBasicShuttle3D> cart;
  KVRSharedHandle<KVRBasicMfgAssembly3D> pallet;
  KVRSharedHandle<KVRBasicPart3D> bracket, plate;
};

CartWithPallet cartWithPallet(const KVRSharedHandle<KVRBasicMfgAssembly3D>& line) {
  CartWithPallet made{make<KVRBasicShuttle3D>(L"Cart"), make<KVRBasicMfgAssembly3D>(L"Pallet"),
                      make<KVRBasicPart3D>(L"Bracket"), make<KVRBasicPart3D>(L"Plate")};
  line->addBody(made.cart);
  line->addBody(made.pallet, at(0, 0, 0.3), Xform::Identity);
  made.pallet->addBody(made.bracket, at(0.1, 0, 0.05), Xform::Identity);
  made.pallet->addBody(made.plate, at(-0.1, 0, 0.05, 90), Xform::Identity);
  return made;
}

// A cart carries a pallet assembly with two parts along a route: straight,
// then a quarter turn riding a turntable (a tag point with reference frames),
// then straight again. At several simulation times the predicted pose of a
// part is printed next to where it stands once the cart has been moved there.
void shuttleOnARoute() {
  section("A shuttle carries a pallet along a route with a turntable");
  auto world = cellInTheUniverse();
  auto line = make<KVRBasicMfgAssembly3D>(L"Line");  // the root assembly
  world->addEntity(line);
  const CartWithPallet carried = cartWithPallet(line);
  const auto& [cart, pallet, bracket, plate] = carried;

  // The route, in the line's coordinates shifted by 0.5 m along x: the
  // turntable turns about (2, 1) while the cart rides it from P1 to P2.
  auto route = make<KVRBasicPath3D>(L"Route");
  line->addPath(route);
  route->setBaseLocation(at(0.5, 0, 0));
  route->flushSpatialState();
  route->createPoints(4, L"P", 0);
  const Xform stops[] = {at(0, 0, 0), at(2, 0, 0), at(3, 1, 0, 90), at(3, 3, 0, 90)};
  for (unsigned int i = 0; i < 4; ++i) route->setTagPointRelativeLocation(i, stops[i]);
  auto turntable = KVRSharedHandle<KVRMfgAssemblyTagPointExt>(new KVRMfgAssemblyTagPointExt);
  route->getTagPoint(2)->addExtension(turntable);
  turntable->setReferenceFrame(at(2, 1, 0), at(2, 1, 0, 90), route);
  world->flushLogicalState();

  auto planner = KVRSharedHandle<KVRShuttlePlannerExt>(new KVRShuttlePlannerExt);
  cart->addExtension(planner);
  planner->setPath(route, 0.0, 10.0);
  planner->setScheduledStart(5.0);
  cart->addEntity(pallet);
  cart->activate();
  const std::streamsize precision = std::cout.precision(4);
  std::cout << "planned times of P0..P3 on the planner's axis:";
  for (const KVRSimTime& t : planner->getTimes()) std::cout << ' ' << t;
  std::cout << " s; the move starts at 5 s of simulation time\n";

  for (double t : {6.0, 8.0, 10.0, 11.5, 15.0}) {
    const KVRSimTime now(t);
    Xform predicted;
    const bool carried = KVRBasicShuttle3D::evaluateBodyPosition(bracket, now, predicted);
    planner->moveBasicObject(now - planner->getScheduledStart());
    cart->flushSpatialState();
    std::cout << "at " << t << " s, " << planner->getCurrentDistance() << " m along the route:\n";
    printBase(pallet);
    printBase(bracket);
    if (carried) std::cout << "  predicted for the bracket     " << predicted << '\n';
  }
  KVRBasicVector3D<double> velocity;
  if (KVRBasicShuttle3D::evaluateBodyVelocity(plate, KVRSimTime(14.99), velocity))
    std::cout << "the plate's velocity near the end: " << velocity << " m/s\n";
  std::cout.precision(precision);
  world->orphanObject();
}

// A fixture's clamp, whose state the fixture publishes as a boolean property.
struct Clamp {
  int isClosed() const { return closed; }
  void setClosed(const int& value) { closed = value; }
  int closed = 1;
};

// Properties read and written by path from the cell, and the interface the
// library registered when it was loaded.
void propertiesAndStartup() {
  section("Properties by path through the symbol table");
  Entity cell = named(L"Cell");
  Entity line = named(L"Line1");
  Entity conveyor = named(L"Conveyor");
  Entity fixture = named(L"Fixture");
  cell->addLogicalChild(line);
  line->addLogicalChild(conveyor);
  line->addLogicalChild(fixture);
  cell->flushLogicalState();

  Clamp clamp;
  auto* clamped = new KVRSymbol<int>;
  clamped->setSymbolName(L"clamped");
  clamped->setSymbolType(KVRSymbolBase::BoolType);
  clamped->addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<int>(), &clamp, &Clamp::isClosed));
  clamped->addSetFunctor(KVRMakeFunctorM(KVRFunctor1<int>(), &clamp, &Clamp::setClosed));
  fixture->addSymbol(clamped);  // the fixture owns it

  KVRWDMSymbolTable table(cell);
  KVRSymbol<double> speed = table.getRealSymbol(L"Line1/Conveyor.speed", L'/', L'.');
  std::cout << "Line1/Conveyor.speed created on demand: " << speed.getValue() << " (Conveyor has "
            << conveyor->getSymbolCount() << " symbol)\n";
  speed.setValue(0.35);
  std::cout << "set through the copy, read by a new request: "
            << table.getRealSymbol(L"Line1/Conveyor.speed", L'/', L'.').getValue() << " (still "
            << conveyor->getSymbolCount() << " symbol)\n";

  KVRSymbol<int> flag = table.getboolSymbol(L"Line1/Fixture.clamped", L'/', L'.');
  std::cout << "Line1/Fixture.clamped read as boolean: " << (flag.getValue() ? "closed" : "open") << '\n';
  flag.setValue(0);
  std::cout << "opened through the table, the clamp reads: " << (clamp.closed ? "closed" : "open") << '\n';
  std::cout << "Line1/Fixture.clamped as a real: "
            << (table.getRealSymbol(L"Line1/Fixture.clamped", L'/', L'.').getSymbolType() == 0 ? "not found"
                                                                                               : "found")
            << " (a symbol of another type)\n";
  cell->orphanObject();

  section("The library's component interface");
  if (const OmxDictionaryEntry* entry = OmxDictionary::FindById(IID_KVRIWDMExt))
    std::cout << "found by identifier " << IID_KVRIWDMExt.toString() << ": " << entry->name << ", framework "
              << entry->metaClass->GetFWname() << ", base " << entry->metaClass->GetBase()->GetName() << '\n';
  if (const KVRTraceLog* trace = KVRTraceLog::find(L"KVRWorldTrace"))
    std::cout << "trace channel " << narrow(trace->getName()) << ", level " << trace->getLevel()
              << ", format " << narrow(trace->getFormatName()) << '\n';
}

#ifdef KVR_DEMO_WRITES_REPORT
// The pose `f` of the way from `a` to `b`: positions and yaw interpolated,
// lifted by `arc` at the middle.
Xform between(const Xform& a, const Xform& b, double f, double arc = 0) {
  const auto& p = a.getPosition();
  const auto& q = b.getPosition();
  double r, pi, yawA, yawB;
  a.getRPY(r, pi, yawA);
  b.getRPY(r, pi, yawB);
  Xform pose;
  pose.setPosition(p.x() + f * (q.x() - p.x()), p.y() + f * (q.y() - p.y()),
                   p.z() + f * (q.z() - p.z()) + arc * 4 * f * (1 - f));
  pose.setRPY(0, 0, yawA + f * (yawB - yawA));
  return pose;
}

// What the recorded run leaves to print: the timeline, the history recorded
// alongside it, the part handed along and when the plan brings it near the
// unloading robot.
struct RecordedRun {
  KVRTimeline timeline;
  std::unique_ptr<KVRHistory> history;
  KVRSharedHandle<KVRBasicPart3D> housing;
  KVRSharedHandle<KVRBasicBody3D> robot;
  double reach = 0;  // the radius of the region around the robot's base
  KVRSimTime predictedAt;
  std::optional<KVRHistory::Arrival> arrival;
};

// The work cell recorded for the browser. A line (the world's root assembly)
// holds a cart, a pallet assembly with a bracket and a plate, and the cart's
// route: straight, then a quarter turn on a turntable, then straight to the
// fixture station, where a robot waits to unload. A gripper on the floor
// takes a housing from the fixture and hands it over to a second gripper,
// which sets it down on the pallet; from 4 s to 10 s of simulation time the
// cart then carries the pallet along the route. The cell is recorded every
// 0.25 s up to 8 s, in a timeline and in a history; the rest of the cart's
// way is the plan's.
RecordedRun shuttleRunRecorded(const KVRSharedHandle<KVRBasicWorld>& world) {
  auto line = make<KVRBasicMfgAssembly3D>(L"Line");
  world->addEntity(line);
  const CartWithPallet carried = cartWithPallet(line);
  const auto& [cart, pallet, bracket, plate] = carried;

  // The route runs along the back of the cell and turns right, on the
  // turntable about (2.5, -1), towards the fixture.
  auto route = make<KVRBasicPath3D>(L"Route");
  line->addPath(route);
  route->setBaseLocation(at(-2, 2.2, 0));
  route->flushSpatialState();
  route->createPoints(4, L"P", 0);
  const Xform stops[] = {at(0, 0, 0), at(2.5, 0, 0), at(3.5, -1, 0, -90), at(3.5, -2.2, 0, -90)};
  for (unsigned int i = 0; i < 4; ++i) route->setTagPointRelativeLocation(i, stops[i]);
  auto turntable = KVRSharedHandle<KVRMfgAssemblyTagPointExt>(new KVRMfgAssemblyTagPointExt);
  route->getTagPoint(2)->addExtension(turntable);
  turntable->setReferenceFrame(at(2.5, -1, 0), at(2.5, -1, 0, -90), route);

  RecordedRun run;
  auto floor = make<KVRBasicBody3D>(L"Floor");
  auto conveyor = make<KVRBasicBody3D>(L"Conveyor");
  auto fixture = make<KVRBasicBody3D>(L"Fixture");
  auto outfeed = make<KVRBasicBody3D>(L"Outfeed");
  auto gripper = make<KVRBasicBody3D>(L"Gripper");
  auto gripper2 = make<KVRBasicBody3D>(L"Gripper2");
  auto robot = make<KVRBasicBody3D>(L"Unloader");
  auto housing = make<KVRBasicPart3D>(L"Housing");
  for (KVRSharedHandle<KVRBasicEntity> e : std::vector<KVRSharedHandle<KVRBasicEntity>>{
           floor, conveyor, fixture, outfeed, gripper, gripper2, robot, housing})
    world->addEntity(e);
  floor->attachBody(conveyor, at(-0.9, -0.8, 0.7));
  floor->attachBody(fixture, at(1, 0, 0.8));
  floor->attachBody(outfeed, at(-0.6, 0.9, 0.8, 90));
  floor->attachBody(robot, at(2.4, -0.6, 0));
  // The first gripper holds the housing from above, the second from the side.
  const Xform home = at(0.2, -0.2, 1.5), pick = at(1, 0, 1.0), handOver = at(-0.5, 1.2, 1.25);
  const Xform home2 = at(-1.0, 3.0, 1.4), meet2 = at(-0.5, 1.4, 1.1), drop2 = at(-2, 2.6, 0.35);
  floor->attachBody(gripper, home);
  floor->attachBody(gripper2, home2);
  fixture->attachBody(housing, at(0, 0, 0.05));
  const auto frame = [](const KVRSharedHandle<KVRBasicBody3D>& body, const wchar_t* name, Xform offset) {
    auto f = make<KVRBasicFrame3D>(name);
    body->addFrame(f);
    f->setFrameLocation(offset);
  };
  frame(gripper, L"Tool", at(0, 0, -0.15));
  frame(gripper2, L"Tool", at(0, -0.2, 0));
  frame(fixture, L"Nest", at(0, 0, 0.05));
  frame(outfeed, L"Drop", at(0, 0, 0.05));
  // The conveyor's belt: a path through three tag points.
  auto belt = make<KVRBasicPath3D>(L"Belt");
  conveyor->addPath(belt);
  belt->createPoints(3, L"Belt", 1);
  for (unsigned i = 0; i < 3; ++i) belt->setTagPointRelativeLocation(i, at(0.6 * i, 0, 0.05));
  world->flushLogicalState();
  floor->flushBaseLocation();

  // The cart takes 6 s for the route, from 4 s of simulation time on.
  auto planner = KVRSharedHandle<KVRShuttlePlannerExt>(new KVRShuttlePlannerExt);
  cart->addExtension(planner);
  planner->setPath(route, 0.0, 6.0);
  planner->setScheduledStart(4.0);
  cart->addEntity(pallet);
  cart->activate();

  // What happens at each step: the grippers' moves, the pick, the hand-over
  // and the place.
  std::map<int, std::vector<std::function<void()>>> actions;
  const auto move = [&](const KVRSharedHandle<KVRBasicBody3D>& body, int first, const Xform& from,
                        const Xform& to, int steps, double arc) {
    for (int k = 1; k <= steps; ++k)
      actions[first + k - 1].push_back([body, pose = between(from, to, static_cast<double>(k) / steps, arc)] {
        Xform target = pose;
        body->setBaseLocation(target);
        body->flushSpatialState();
      });
  };
  move(gripper, 1, home, pick, 4, 0);
  actions[5].push_back([&] { gripper->grabBody(housing, 1); });
  move(gripper, 6, pick, handOver, 4, 0.3);
  move(gripper2, 6, home2, meet2, 4, 0);
  actions[10].push_back([&] { gripper2->grabBody(housing, 1); });  // handed over
  move(gripper, 11, handOver, home, 3, 0.2);
  move(gripper2, 11, meet2, drop2, 4, 0.3);
  constexpr int PlaceStep = 15;
  actions[PlaceStep].push_back([&] {
    // Let go of it where it stands, and make it one of the pallet's bodies there.
    housing->setInnerBodyOriginal({});
    housing->setHomeAttachBody({});
    housing->detachBody();
    world->removeEntity(housing);
    pallet->addBody(housing);
  });
  move(gripper2, 16, drop2, home2, 3, 0.2);

  constexpr double Step = 0.25, End = 8.0;
  run.housing = housing;
  run.robot = robot;
  run.reach = 1.2;
  for (int k = 0; k * Step <= End; ++k) {
    const KVRSimTime now(k * Step);
    for (const auto& action : actions[k]) action();
    planner->moveBasicObject(now - planner->getScheduledStart());
    cart->flushSpatialState();
    world->setSimulationTime(now);
    world->flushLogicalState();
    run.timeline.record(world);
    if (!run.history)
      run.history = std::make_unique<KVRHistory>(world);
    else
      run.history->record();
    if (k == PlaceStep) {
      // Where the plan will take the housing just put on the pallet: when it
      // first comes within reach of the unloading robot.
      KVRSimTime first, last;
      planner->getMoveTime(first, last);
      run.predictedAt = now;
      run.arrival = run.history->firstTimeInside(
          housing, KVRHistory::Region::sphere(robot->getBaseLocation().getPosition(), run.reach), now,
          planner->getScheduledStart() + last);
    }
  }
  return run;
}

std::string seconds(const KVRSimTime& t) {
  std::ostringstream out;
  out << t.toSeconds() << " s";
  return out.str();
}

// Who held the housing over the run, one line per interval, and when the
// cart's plan brings it within reach of the unloading robot.
void printCustody(const RecordedRun& run) {
  const KVRHistory& history = *run.history;
  std::cout << "\ncustody of " << narrow(run.housing->getEntityName(KVRBasicEntity::FullName)) << ":\n"
            << "  from     to       holder     how        carriers\n";
  std::string before;  // the holder before
  for (const KVRHistory::Custody& c : history.custody(run.housing, history.getFirstTime(), history.getLastTime())) {
    std::string carriers;
    for (const auto& g : c.carriers) carriers += (carriers.empty() ? "" : " > ") + narrow(g->getEntityName());
    static const char* const how[] = {"attached", "grabbed", "connected", "member"};
    const std::string holder = narrow(c.holder->getEntityName());
    std::ostringstream line;
    line << "  " << std::left << std::setw(9) << seconds(c.from) << std::setw(9) << seconds(c.to) << std::setw(11)
         << holder << std::setw(11) << how[static_cast<int>(c.hold)] << std::setw(10)
         << (carriers.empty() ? "-" : carriers);
    if (c.handedOver) line << "  handed over by " << before;
    if (c.open) line << "  (still at the last step)";
    std::string text = line.str();
    text.erase(text.find_last_not_of(' ') + 1);
    std::cout << text << '\n';
    before = holder;
  }
  const auto centre = run.robot->getBaseLocation().getPosition();
  std::cout << "predicted at " << seconds(run.predictedAt) << ": the housing comes within " << run.reach
            << " m of the " << narrow(run.robot->getEntityName()) << "'s base (" << centre.x() << ", " << centre.y()
            << ", " << centre.z() << ") ";
  if (run.arrival) {
    const auto p = run.arrival->location.getPosition();
    std::cout << "at " << seconds(run.arrival->time) << ", standing at (" << p.x() << ", " << p.y() << ", " << p.z()
              << ")\n";
  } else {
    std::cout << "never while the cart's plan carries it\n";
  }
}

// Runs the recorded shuttle run and writes it into `folder`.
int writeTheCell(const std::filesystem::path& folder) {
  section("See the cell: a recorded shuttle run, written for a browser");
  auto world = cellInTheUniverse();
  const RecordedRun run = shuttleRunRecorded(world);
  const KVRTimeline& timeline = run.timeline;
  KVRTextTree::write(std::cout, world);
  printCustody(run);
  std::filesystem::create_directories(folder);
  const std::filesystem::path json = folder / "cell.json", html = folder / "cell.html",
                              svg = folder / "cell.svg";
  std::ofstream(json) << timeline.toJson();
  std::ofstream htmlFile(html);
  KVRHtmlReport::write(htmlFile, timeline, L"Work cell: a shuttle run");
  std::ofstream svgFile(svg);
  KVRSvgTopView::write(svgFile, timeline);
  world->orphanObject();
  if (!htmlFile.flush() || !svgFile.flush() || !std::filesystem::exists(json)) {
    std::cerr << "could not write the cell's files into " << folder << '\n';
    return 1;
  }
  std::cout << "\n"
            << timeline.getStepCount() << " steps recorded. Open the report in a browser:\n"
            << "  " << std::filesystem::absolute(html).string() << "\n"
            << "the timeline as JSON: " << std::filesystem::absolute(json).string() << "\n"
            << "the top view as SVG:  " << std::filesystem::absolute(svg).string() << '\n';
  return 0;
}

// The shuttles with a planner in the logical tree below `e`, depth-first.
void shuttlesBelow(const Entity& e, std::vector<KVRSharedHandle<KVRBasicShuttle3D>>& found) {
  if (auto* shuttle = dynamic_cast<KVRBasicShuttle3D*>(e.get()); shuttle && shuttle->getPlanner())
    found.emplace_back(shuttle);
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  for (const Entity& child : children) shuttlesBelow(child, found);
}

// The cell `file` describes, read and checked; empty, the reason printed, when
// it cannot be read or is refused.
Entity readCell(const std::filesystem::path& file, const KVRSnapshot::ReadOptions& options) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "could not open " << file << '\n';
    return {};
  }
  try {
    return KVRSnapshot::read(in, options);
  } catch (const KVRException& e) {
    std::cerr << file.string() << ": " << e.what() << '\n';
    return {};
  }
}

// The model checker's findings, printed; true when there are none.
bool sound(const Entity& root) {
  const std::vector<std::wstring> found = KVRCheckModel(root);
  for (const std::wstring& line : found) std::cerr << "the model checker finds: " << narrow(line) << '\n';
  return found.empty();
}

// Moves every planned shuttle of the cell to `now` on its plan, then prints
// each shuttle and each member it carries.
void runShuttles(const Entity& root, const std::vector<KVRSharedHandle<KVRBasicShuttle3D>>& shuttles,
                 const KVRSimTime& now) {
  if (auto* world = dynamic_cast<KVRBasicWorld*>(root.get())) world->setSimulationTime(now);
  std::cout << "at " << now << " s:\n";
  for (const auto& shuttle : shuttles) {
    const auto planner = shuttle->getPlanner();
    planner->moveBasicObject(now - planner->getScheduledStart());
    shuttle->flushSpatialState();
  }
  for (const auto& shuttle : shuttles) {
    printBase(shuttle);
    KVRSharedVector<KVRBasicEntity3D> members;
    shuttle->getEntities(members);
    for (const auto& member : members) printBase(member);
  }
}

// Saves the cell as `saved`, which must not be `source`, the file it was read
// from; false, the reason printed, when it is not saved.
bool save(const Entity& root, const std::filesystem::path& saved, const std::filesystem::path& source) {
  std::error_code unknown;
  if (std::filesystem::equivalent(saved, source, unknown)) {
    std::cerr << "not saved: " << saved << " is the file the cell was read from\n";
    return false;
  }
  try {
    std::filesystem::create_directories(saved.parent_path());
    std::ofstream out(saved, std::ios::binary);
    KVRSnapshot::write(out, root);
    return true;
  } catch (const std::exception& e) {
    std::cerr << "could not save the cell as " << saved << ": " << e.what() << '\n';
    return false;
  }
}

// Reads the cell `file` describes, prints its trees, runs its shuttles over
// their planned moves in four steps and, given a folder, saves the cell as it
// ends there under the file's name and reads that back in its place. 1 when
// the file cannot be read or is refused, when the cell it ends as is not
// sound, or when what was saved does not read back to a cell standing as
// this one stood.
int runTheCellFile(const std::filesystem::path& file, const std::filesystem::path& folder) {
  section(("A cell read from " + file.filename().string()).c_str());
  KVRSnapshot::ReadOptions options;
  options.addToUniverse = true;  // a world's full names start at it, as everywhere in this demo
  const Entity root = readCell(file, options);
  if (!root) return 1;
  KVRTextTree::write(std::cout, root);

  std::vector<KVRSharedHandle<KVRBasicShuttle3D>> shuttles;
  shuttlesBelow(root, shuttles);
  // From the first planned start to the last planned end, in simulation time.
  bool planned = false;
  KVRSimTime from, to;
  for (const auto& shuttle : shuttles) {
    const auto planner = shuttle->getPlanner();
    KVRSimTime first, last;
    if (!planner->getMoveTime(first, last)) continue;
    first = first + planner->getScheduledStart();
    last = last + planner->getScheduledStart();
    if (first > last) std::swap(first, last);
    from = planned ? std::min(from, first) : first;
    to = planned ? std::max(to, last) : last;
    planned = true;
  }
  section("Its shuttles run their plans");
  if (!planned) std::cout << "no shuttle has a plan: nothing moves\n";
  constexpr int Steps = 4;
  try {
    for (int k = 0; planned && k <= Steps; ++k)
      runShuttles(root, shuttles, from + (to - from) * KVRSimTime(static_cast<double>(k) / Steps));
  } catch (const KVRException& e) {
    std::cerr << "a move is refused: " << e.what() << '\n';
    root->orphanObject();
    return 1;
  }

  const bool isSound = sound(root);
  if (isSound) std::cout << "the model checker finds nothing\n";
  const std::filesystem::path saved = folder / file.filename();
  const bool isSaved = isSound && !folder.empty() && save(root, saved, file);
  const std::string trees = KVRTextTree::toText(root);
  root->orphanObject();  // the cell read back takes its place in the universe
  if (!isSound || folder.empty()) return isSound ? 0 : 1;
  if (!isSaved) return 1;

  // What was saved is a cell too: read back, it stands as this one did.
  const Entity again = readCell(saved, options);
  const bool same = again && KVRTextTree::toText(again) == trees;
  if (same)
    std::cout << "saved as it ends, and read back: " << std::filesystem::absolute(saved).string() << '\n';
  else if (again)
    std::cerr << "the cell saved as " << saved << " reads back to other trees\n";
  if (again) again->orphanObject();
  return same ? 0 : 1;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--cell") {
    if (argc < 3 || argc > 4) {
      std::cerr << "usage: kvr_demo [FOLDER] | kvr_demo --cell FILE [FOLDER]\n";
      return 2;
    }
#ifdef KVR_DEMO_WRITES_REPORT
    return runTheCellFile(argv[2], argc > 3 ? argv[3] : "");
#else
    std::cerr << "This build has no export tools: it cannot read a cell file.\n";
    return 1;
#endif
  }

  section("A cell with two robots");
  Entity cell = named(L"Cell");
  Entity line = named(L"Line1");
  Entity robot1 = named(L"Robot1");
  Entity robot2 = named(L"Robot2");
  cell->addLogicalChild(line);
  line->addLogicalChild(robot1);
  line->addLogicalChild(robot2);
  robot1->addLogicalChild(named(L"Base"));
  robot1->addLogicalChild(named(L"Tool"));
  cell->flushLogicalState();
  printTree(cell);
  std::cout << "found Line1/Robot1/Tool: " << title(cell->findEntity(L"Line1/Robot1/Tool")) << '\n';

  section("Renaming Line1: descendants follow at the flush");
  line->setEntityName(L"Assembly Line");
  Entity tool = robot1->getLogicalChild(L"Tool");
  std::cout << "before flush: " << title(tool) << '\n';
  line->flushLogicalState();
  std::cout << "after flush:  " << title(tool) << '\n';

  section("Moving Robot2 directly under the cell");
  line->removeLogicalChild(robot2);
  cell->addLogicalChild(robot2);
  robot2->flushLogicalState();
  printTree(cell);

  section("Duplicating Robot1 with its children");
  Entity copy(static_cast<KVRBasicEntity*>(robot1->duplicateObject(KVRDynamicObject::CopyDeep)));
  cell->addLogicalChild(copy);
  copy->flushLogicalState();
  printTree(cell);

  section("A refused operation");
  try {
    robot2->addLogicalChild(cell);  // the cell would become its own descendant
  } catch (const KVRException& e) {
    std::cout << "refused: " << e.what() << '\n';
  }
  try {
    line->addLogicalChild(robot1);  // Robot1 already has a parent
  } catch (const KVRException& e) {
    std::cout << "refused: " << e.what() << '\n';
  }

  cell->orphanObject();  // breaks the links so that everything is freed

  movingFrames();
  pickAndPlace();
  assembliesAndGroups();
  propertiesAndStartup();
  shuttleOnARoute();
#ifdef KVR_DEMO_WRITES_REPORT
  if (argc > 1) return writeTheCell(argv[1]);
#else
  (void)argv;
  if (argc > 1) std::cout << "\nThis build has no export tools: nothing is written.\n";
#endif
  return 0;
}
