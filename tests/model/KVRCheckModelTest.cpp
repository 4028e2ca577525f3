// The model checker: silent on sound cells and pending changes, precise about violations.
#include <algorithm>
#include <functional>
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

bool mentions(const std::vector<std::wstring>& violations, const std::wstring& text) {
  return std::ranges::any_of(violations, [&](const auto& v) { return v.find(text) != std::wstring::npos; });
}

// The scene, in world W: a robot R hanging on the floor F at X_FR, with a tool frame T at X_RT; a part P
// grabbed by R; a path with two points; a pallet group carrying a box B. Then a cycle through both trees
// (Load is Carrier's logical parent, Carrier carries Load) and a deep chain.
TEST(CheckedCell, SoundCellsPendingChangesAndWhatTheInterfaceLeavesOnPurposeAreNotViolations) {
  auto w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"F"), robot = make<KVRBasicBody3D>(L"R");
  Body box = make<KVRBasicBody3D>(L"B"), stray = make<KVRBasicBody3D>(L"S");
  Body part = make<KVRBasicPart3D>(L"P"); auto pallet = make<KVRBasicGroup3D>(L"Pallet");
  auto tool = make<KVRBasicFrame3D>(L"T"); auto path = make<KVRBasicPath3D>(L"Route");
  for (const Body& body : {floor, robot, part, box}) w->addEntity(body);
  w->addEntity(pallet); w->addEntity(path);
  floor->attachBody(robot, pose(0.3, 1, 0, 0)); floor->attachBody(pallet, pose(-0.2, 0, 2, 0));
  pallet->attachBody(box); robot->addFrame(tool); tool->setFrameLocation(pose(0.5, 0, 0, 0.2));
  robot->grabBody(part, 1); path->createPoints(2, L"P", 1); w->flushLogicalState();
  flushSpatial(floor, robot, pallet, box, part, tool, path);
  EXPECT_TRUE(isSound(w));
  // Moved and renamed but not flushed: the pending bits account for the stale descendants.
  EXPECT_EQ(place(robot, pose(1.0, 3, 3, 0)), 2);
  robot->setEntityName(L"Robot"); w->removeEntity(robot); w->addEntity(robot);
  EXPECT_TRUE(isSound(w));
  robot->flushLogicalState(); robot->flushSpatialState();
  EXPECT_TRUE(isSound(w));
  // A connection recording two bodies before the outer one hangs on it, and whatever setAttachment stores.
  auto loose = make<KVRBasicAttachment3D>(L"Loose");
  w->addEntity(loose); w->addEntity(stray);
  loose->connectBodies(floor, stray, Xform::Identity, Xform::Identity); robot->setAttachment(loose);
  EXPECT_TRUE(isSound(w));
  stray->setInnerBody(floor, loose); loose->propagateLocation();  // the second half of connecting
  EXPECT_TRUE(isSound(w));
  auto carrier = make<KVRBasicBody3D>(L"Carrier"), load = make<KVRBasicBody3D>(L"Load");
  KVRSharedHandle<KVRBasicFrame3D> root = make<KVRBasicFrame3D>(L"F0"), last = root;
  w->addEntity(load); w->addEntity(root); load->addLogicalChild(carrier); carrier->attachBody(load);
  for (int i = 1; i < 500; ++i) {
    auto next = make<KVRBasicFrame3D>(L"F" + std::to_wstring(i));
    last->addLogicalChild(next); last->addSpatialChild(next);
    last = next;
  }
  w->flushLogicalState(); root->flushBaseLocation();
  EXPECT_TRUE(isSound(w));
  w->orphanObject();
}

// A frame that keeps its links when orphaned; a body that keeps its inner connection when taken off.
struct Stubborn : KVRBasicFrame3D { void orphanObject() override { KVRExtendibleObject::orphanObject(); } };
struct Clingy : KVRBasicBody3D { void onSpatialParentCleared(KVRBasicEntity3D&) override {} };

// Each case breaks fresh frames P, C, A, B, G (and what it makes) by primitive steps, a class breaking the
// conventions or a bit cleared by hand; the report is checked from the entity returned and around it.
TEST(CheckerReports, EveryKindOfViolationProvokedThroughThePublicInterface) {
  using Frame = KVRSharedHandle<KVRBasicFrame3D>;
  using Entity = KVRSharedHandle<KVRBasicEntity>;
  std::vector<Entity> made;                  // orphaned after each case
  std::vector<std::function<void()>> mend;  // run before that
  const auto keep = [&](auto entity) { return made.emplace_back(entity), entity; };
  const auto f = [&](const wchar_t* name) { return keep(make<KVRBasicFrame3D>(name)); };
  const auto mended = [&](Entity e, std::function<void()> undo) { return mend.push_back(undo), e; };
  struct Cell { Frame p, c, a, b, g; };
  const Xform X = pose(0.3, 1, 2, 3);
  const std::vector<std::pair<std::vector<const wchar_t*>, std::function<Entity(const Cell&)>>> cases{
      {{L"listed as a logical child of Frame \"/\" (P), but names (nothing) as its parent"},
       [&](const Cell& x) {
         x.p->setLogicalChild(x.c); return mended(x.p, [x] { x.p->clearLogicalChild(x.c.get()); }); }},
      {{L"a logical root with logical ancestors"}, [&](const Cell& x) {
         x.c->updateLogicalAncestors(KVRSharedList<KVRBasicEntity>{x.p});
         return mended(x.c, [x] { x.c->clearLogicalAncestors(); }); }},
      {{L"a logical root whose stored full name is not its own name"}, [&](const Cell& x) {
         x.c->updateFullName(L"\nElsewhere"); return x.c; }},
      {{L"names Frame \"/\" (P) as its logical parent, which does not list it"}, [&](const Cell& x) {
         x.c->setLogicalParent(x.p, L"\nP", {}); return mended(x.c, [x] { x.c->clearLogicalParent(); }); }},
      {{L"its logical parent links form a cycle"}, [&](const Cell& x) {
         x.a->setLogicalParent(x.b, L"", {}); x.b->setLogicalParent(x.a, L"", {});
         return mended(x.a, [x] { x.a->clearLogicalParent(), x.b->clearLogicalParent(); }); }},
      {{L"its stored full name does not follow its logical parent's"}, [&](const Cell& x) {
         x.p->addLogicalChild(x.c); x.p->flushLogicalState(); x.c->updateFullName(L"\nElsewhere");
         return x.c; }},
      {{L"its logical ancestor list is not its parent's followed by the parent"}, [&](const Cell& x) {
         x.g->addLogicalChild(x.p); x.p->addLogicalChild(x.c); x.p->flushLogicalState();
         x.c->updateLogicalAncestors(KVRSharedList<KVRBasicEntity>{}); return x.c; }},
      {{L"listed as a spatial child of Frame \"/\" (P), but names (nothing) as its spatial parent"},
       [&](const Cell& x) {
         x.p->setSpatialChild(x.c); return mended(x.p, [x] { x.p->clearSpatialChild(x.c.get()); }); }},
      {{L"a spatial root with spatial ancestors"}, [&](const Cell& x) {
         x.c->updateSpatialAncestors(KVRSharedList<KVRBasicEntity3D>{x.p});
         return mended(x.c, [x] { x.c->clearSpatialAncestors(); }); }},
      {{L"names Frame \"/\" (P) as its spatial parent, which does not list it"}, [&](const Cell& x) {
         x.c->setSpatialParent(x.p, Xform(), {}); return mended(x.c, [x] { x.c->clearSpatialParent(0); }); }},
      {{L"its spatial parent links form a cycle"}, [&](const Cell& x) {
         x.a->setSpatialParent(x.b, Xform(), {}); x.b->setSpatialParent(x.a, Xform(), {});
         return mended(x.a, [x] { x.a->clearSpatialParent(0), x.b->clearSpatialParent(0); }); }},
      {{L"its spatial ancestor list is not its parent's followed by the parent"}, [&](const Cell& x) {
         x.g->addSpatialChild(x.p); x.p->addSpatialChild(x.c); flushSpatial(x.g, x.p);
         x.c->updateSpatialAncestors(KVRSharedList<KVRBasicEntity3D>{}); return x.c; }},
      {{L"its cached parent location is not the base location of Group \"/\" (Q)"}, [&](const Cell& x) {
         keep(make<KVRBasicGroup3D>(L"Q"))->addSpatialChild(x.c);  // a group's children follow it too
         x.c->updateParentLocation(X); return x.c; }},
      {{L"its base location is not its parent location times its relative location"}, [&](const Cell& x) {
         x.p->addSpatialChild(x.c);
         x.c->setRelativeLocation(X);  // the cache follows only setFrameLocation
         return x.c; }},
      {{L"Frame \"/\" (S): orphaned, but still has spatial parent Body \"/\" (D)",
        L"Body \"/\" (D): has the orphaned spatial child Frame \"/\" (S)"},
       [&](const Cell&) {
         auto d = keep(make<KVRBasicBody3D>(L"D")); auto s = keep(make<Stubborn>(L"S"));
         d->addSpatialChild(s); s->orphanObject(); return d; }},
      {{L"its inner connection Attachment \"/\" (D-E) does not connect its spatial parent (nothing) to it"},
       [&](const Cell&) {
         auto d = keep(make<KVRBasicBody3D>(L"D")); auto e = keep(make<Clingy>(L"E"));
         d->attachBody(e); e->removeSpatialParent(); return e; }},
      {{L"its inner frame Frame \"/A\" is not on its inner body",
        L"its outer frame Frame \"/B\" is not on its outer body"},
       [&](const Cell& x) {
         auto d = keep(make<KVRBasicBody3D>(L"D")), e = keep(make<KVRBasicBody3D>(L"E"));
         auto joint = keep(make<KVRBasicAttachment3D>(L"J"));
         d->addFrame(x.a); e->addFrame(x.b);
         joint->connectBodies(x.a, x.b); d->removeSpatialChild(x.a); e->removeSpatialChild(x.b);
         for (const Frame& left : {x.a, x.b})  // left unnoticed
           left->resetEvent(KVRBasicEntity3D::SpatialAncestorsChanged);
         return joint; }},
      {{L"carries itself: what it moves moves it again at every flush"}, [&](const Cell& x) {
         auto q = keep(make<KVRBasicGroup3D>(L"Q"));
         q->addEntity(x.c); x.c->setSpatialChild(q);  // the primitive steps do not look for cycles
         q->setSpatialParent(x.c, Xform(), {});
         return mended(q, [q] { q->removeSpatialParent(), q->removeAll(); }); }},
  };
  for (const auto& [expected, breakCell] : cases) {
    SCOPED_TRACE(KVRToUtf8(expected[0]));
    const Entity checked = breakCell(Cell{f(L"P"), f(L"C"), f(L"A"), f(L"B"), f(L"G")});
    const std::vector<std::wstring> violations = KVRCheckModel(checked);
    for (const wchar_t* text : expected) {
      EXPECT_TRUE(mentions(violations, text)) << KVRToUtf8(violations.empty() ? L"(none)" : violations[0]);
      EXPECT_TRUE(mentions(KVRCheckModelAround({checked}), text));  // the same, found around it
    }
    for (const auto& step : mend) step();
    for (const Entity& e : made) e->orphanObject();
    mend.clear(); made.clear();
  }
}
}  // namespace
