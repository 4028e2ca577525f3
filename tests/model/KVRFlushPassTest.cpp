// The flush of a moved subtree: carried through in one flat pass where
// nothing watches its entities and entity by entity where something does,
// with the same outcome either way (the same bits published in the same
// order, the same locations, the same bits left pending), also when a
// watcher reshapes the tree or throws in the middle; the flat layout
// following every change of links; a fresh pose composed without a flush.

#include <algorithm>
#include <functional>
#include <map>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;

// Turns the flat pass on or off for as long as it lives.
class FlatPass {
 public:
  explicit FlatPass(bool enabled) : before_(KVRBasicEntity3D::isFlatPropagationEnabled()) {
    KVRBasicEntity3D::setFlatPropagation(enabled);
  }
  ~FlatPass() { KVRBasicEntity3D::setFlatPropagation(before_); }
  FlatPass(const FlatPass&) = delete;
  FlatPass& operator=(const FlatPass&) = delete;

 private:
  bool before_;
};

// Runs an action from inside a flush: subscribed to one entity, it acts on
// the first event with bit 11 once armed.
struct Trap : KVRNotificationAgent {
  std::function<void()> action;
  bool armed = false;
  void onEvent(const KVRSharedConstPointer<KVRBasicEntity>&, const std::bitset<64>& mask) {
    if (!armed || !mask.test(KVRBasicEntity3D::BaseLocationChanged)) return;
    armed = false;
    action();
  }
};

// The cell, built the same way for every run:
//
//   Ground (a free body)                      T (the camera's target)
//    └─ Base, attached at X_GB: moved by the tests
//        ├─ F1 ─ F11 ─ F111 ─ ... ─ F1(25)   a chain of frames past the renormalisation depth
//        ├─ F2
//        ├─ Camera C, attached at X_BC, with frame Lens; rule R relates it to T,
//        │   fails and, enforced, moves C (during C's own flush)
//        ├─ Fi, inner frame of joint J ───┐
//        ├─ O, hanging on Base through J, │ with outer frame Fo and frame Oa
//        ├─ path P with tag points T1, T2 (the path watches them)
//        └─ A, attached at X_BA, with frames A1, A2
//
// Plain: Base, the F chain, F2, Lens, Oa, P, A, A1, A2. Watched or with a
// hook of their own: C (its hook), Fi and Fo (J watches them), T1 and T2 (P
// watches them), and O (it hangs on a connection that computes its location).
struct Cell {
  Cell() {
    ground->attachBody(base, pose(0.2, 1, 0, 0));
    for (int i = 0; i < 25; ++i) {
      auto frame = make<KVRBasicFrame3D>(L"F1" + std::wstring(static_cast<std::size_t>(i), L'1'));
      frame->setFrameLocation(
          pose(0.05 * i + 0.1, 0.1, 0.02 * i, 0.3, KVRBasicVector3D<double>(1, i % 3, 2)));
      if (i == 0)
        base->addFrame(frame);
      else
        chain.back()->addSpatialChild(frame);
      chain.push_back(frame);
    }
    base->addFrame(f2);
    f2->setFrameLocation(pose(-0.3, 0, 1, 0));
    base->attachBody(camera, pose(0.8, 1, -2, 0.5));
    camera->addFrame(lens);
    lens->setFrameLocation(pose(0.3, 0, 0, 0.1));
    place(target, pose(-1.1, 0.3, 0.2, 2));
    rule->verdict = 0;
    rule->setRelationship(target, camera);
    camera->setRelationship(rule);
    rule->onEnforce = [this] {
      const Xform X_BC = pose(0.1 * ++enforced, 2, 2, 0);
      camera->setBaseLocation(X_BC, Entity3D(base));
    };
    base->addFrame(fi);
    fi->setFrameLocation(pose(0.7, 0.5, 0, 0));
    o->addFrame(fo);
    fo->setFrameLocation(pose(-0.2, 0, 0, 1));
    o->addFrame(oa);
    oa->setFrameLocation(pose(0.4, 1, 1, 1));
    joint->connectBodies(fi, fo);
    o->setInnerBody(base, joint);
    joint->propagateLocation();
    base->addPath(path);
    path->addTagPoint(t1);
    path->addTagPoint(t2);
    t1->setTagPointLocation(pose(0.1, 1, 0, 0));
    t2->setTagPointLocation(pose(0.2, 2, 0, 0));
    base->attachBody(a, pose(-0.6, 0, 3, 0));
    a->addFrame(a1);
    a->addFrame(a2);
    a1->setFrameLocation(pose(0.9, 0, 0, 1));
    trap->action = [] {};
    chain[1]->addSubscriber(KVRMakeEventFunctor(trap.get(), &Trap::onEvent), std::bitset<64>().set(), -1);
    ground->flushSpatialState();
    for (const Entity3D& e : all()) e->flushSpatialState();
  }
  ~Cell() {
    for (const Entity3D& e : all()) e->orphanObject();
    orphan(joint, rule, target, trap);
  }

  // Every entity of the cell, in a fixed order.
  std::vector<Entity3D> all() const {
    std::vector<Entity3D> entities{ground, base, f2, camera, lens, fi, o, fo, oa, path, t1, t2, a, a1, a2};
    entities.insert(entities.end(), chain.begin(), chain.end());
    return entities;
  }

  // Moves Base, flushes it, and returns what the log saw meanwhile.
  EventLog::Seen moveAndFlush(const Xform& X_GB) {
    log->seen.clear();
    base->setBaseLocation(X_GB, Entity3D(ground));
    base->flushSpatialState();
    return log->seen;
  }

  struct State {
    Xform X_WE, X_WP;
    std::vector<int> bits;
    bool operator==(const State&) const = default;
  };
  std::map<std::wstring, State> states() const {
    std::map<std::wstring, State> result;
    for (const Entity3D& e : all())
      result[e->getEntityName()] = {e->getBaseLocation(), e->getCachedParentProfile().getLocation(),
                                    pending(*e)};
    return result;
  }

  KVRSharedHandle<KVRBasicBody3D> ground = make<KVRBasicBody3D>(L"Ground"),
                                  base = make<KVRBasicBody3D>(L"Base");
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> chain;
  KVRSharedHandle<KVRBasicFrame3D> f2 = make<KVRBasicFrame3D>(L"F2"), lens = make<KVRBasicFrame3D>(L"Lens"),
                                   fi = make<KVRBasicFrame3D>(L"Fi"), fo = make<KVRBasicFrame3D>(L"Fo"),
                                   oa = make<KVRBasicFrame3D>(L"Oa"), a1 = make<KVRBasicFrame3D>(L"A1"),
                                   a2 = make<KVRBasicFrame3D>(L"A2");
  KVRSharedHandle<KVRBasicCamera3D> camera = make<KVRBasicCamera3D>(L"C");
  KVRSharedHandle<Probe3D> target = make<Probe3D>(L"T");
  KVRSharedHandle<Rule> rule = make<Rule>(L"R");
  int enforced = 0;
  KVRSharedHandle<FixedJoint> joint = make<FixedJoint>(L"J");
  KVRSharedHandle<KVRBasicBody3D> o = make<KVRBasicBody3D>(L"O"), a = make<KVRBasicBody3D>(L"A");
  KVRSharedHandle<KVRBasicPath3D> path = make<KVRBasicPath3D>(L"P");
  KVRSharedHandle<KVRBasicTagPoint3D> t1 = make<KVRBasicTagPoint3D>(L"T1"),
                                      t2 = make<KVRBasicTagPoint3D>(L"T2");
  KVRSharedHandle<EventLog> log{new EventLog};
  KVRSharedHandle<Trap> trap{new Trap};
};

// What a run of the cell leaves: the log of the last flush and every
// entity's locations and pending bits, and whether that flush threw.
struct Outcome {
  EventLog::Seen seen;
  std::map<std::wstring, Cell::State> states;
  bool threw = false;
  bool operator==(const Outcome&) const = default;
};

// Builds the cell, flushes three moves of Base (so that a flat pass, when
// enabled, is laid out by the third), with `disturbance` run from inside the
// third flush, when F11 publishes its new base location.
Outcome run(bool flat, bool watchEverything, const std::function<void(Cell&)>& disturbance = {}) {
  const FlatPass pass(flat);
  Cell cell;
  if (watchEverything)
    for (const Entity3D& e : cell.all()) cell.log->watch(e);
  else
    cell.log->watch(cell.base, cell.camera, cell.fi, cell.fo, cell.o, cell.t1, cell.t2);
  cell.moveAndFlush(pose(0.5, 1, 2, 0));
  cell.moveAndFlush(pose(-0.4, 0, 1, 3));
  if (disturbance) {
    cell.trap->action = [&] { disturbance(cell); };
    cell.trap->armed = true;
  }
  Outcome outcome;
  try {
    outcome.seen = cell.moveAndFlush(pose(1.1, -2, 0.5, 1, KVRBasicVector3D<double>(2, -1, 1)));
  } catch (const std::runtime_error&) {
    outcome.threw = true;
    outcome.seen = cell.log->seen;
  }
  if (flat && !disturbance && !watchEverything) {
    EXPECT_EQ(cell.base->getFlatSubtreeSize(), cell.base->getSpatialDescendantsCount() + 1);
  }
  outcome.states = cell.states();
  for (const Entity3D& e : cell.all()) EXPECT_FALSE(e->isNotifying());
  for (const std::wstring& violation : KVRCheckModel(cell.ground)) ADD_FAILURE() << KVRToUtf8(violation);
  return outcome;
}

EventLog::Seen only(const EventLog::Seen& seen, std::initializer_list<const wchar_t*> names) {
  EventLog::Seen kept;
  for (const auto& entry : seen)
    for (const wchar_t* name : names)
      if (entry.first == name) kept.push_back(entry);
  return kept;
}

TEST(FlushPass, AMixedSubtreePublishesTheSameBitsInTheSameOrderAsWhenWalkedEntityByEntity) {
  const Outcome walked = run(false, false), flat = run(true, false);
  EXPECT_EQ(flat, walked);
  // The watched entities, as when everything is watched (and nothing is plain).
  const Outcome watched = run(true, true);
  EXPECT_EQ(only(watched.seen, {L"Base", L"C", L"Fi", L"Fo", L"O", L"T1", L"T2"}), flat.seen);
  EXPECT_EQ(watched.states, flat.states);
  // What the watched flush published, children before their parents: the
  // plain frames and bodies too, each its own bits, the deepest frame of the
  // chain first; the camera's move, enforced during its own flush, is
  // published with it and stays pending.
  ASSERT_GE(watched.seen.size(), 10u);
  EXPECT_EQ(watched.seen[0],
            (std::pair<std::wstring, std::vector<int>>(L"F1" + std::wstring(24, L'1'), {11, 12})));
  EXPECT_EQ(only(watched.seen, {L"Lens", L"C", L"P", L"T1"}),
            (EventLog::Seen{{L"Lens", {11, 12}}, {L"C", {10, 11, 12}}, {L"T1", {11, 12}}, {L"P", {11, 12}}}));
  EXPECT_EQ(watched.seen.back(), (std::pair<std::wstring, std::vector<int>>(L"Base", {10, 11})));
  EXPECT_EQ(flat.states.at(L"C").bits, (std::vector<int>{10, 11}));
}

TEST(FlushPass, AWatcherThatReshapesTheTreeMidwayLeavesWhatTheWalkLeaves) {
  const std::vector<std::pair<const char*, std::function<void(Cell&)>>> disturbances{
      {"remove the next sibling", [](Cell& c) { c.chain[1]->removeSpatialChild(c.chain[2]); }},
      // F11 is F1's only child: the pose it holds is F1's, updated in place.
      {"take F11 from its parent", [](Cell& c) { c.chain[0]->removeSpatialChild(c.chain[1]); }},
      {"move F11 below F2",
       [](Cell& c) {
         c.chain[0]->removeSpatialChild(c.chain[1]);
         c.f2->addSpatialChild(c.chain[1]);
       }},
      {"remove a later child of Base", [](Cell& c) { c.base->removeFrame(c.f2); }},
      {"add below a later entity", [](Cell& c) { c.a1->addSpatialChild(make<KVRBasicFrame3D>(L"New")); }},
      {"orphan the path", [](Cell& c) { c.base->destroyPath(c.path); }},
      {"orphan Base's chain", [](Cell& c) { c.chain[0]->orphanObject(); }},
      {"detach A", [](Cell& c) { c.a->detachBody(); }},
      {"move and flush Base again", [](Cell& c) { c.moveAndFlush(pose(2, 2, 2, 2)); }},
      {"throw", [](Cell&) { throw std::runtime_error("watcher failed"); }},
  };
  for (const auto& [what, disturbance] : disturbances) {
    SCOPED_TRACE(what);
    const Outcome walked = run(false, false, disturbance), flat = run(true, false, disturbance);
    EXPECT_EQ(flat, walked);
  }
}

TEST(FlushPass, AWalkCutShortByAWatcherLeavesTheRestToTheNextFlush) {
  // A watcher of A takes B out of R while R's move is carried to its
  // children: the walk cannot tell which of the rest it reached, so R keeps
  // its base location pending and the next flush brings C along.
  for (const bool flat : {false, true}) {
    SCOPED_TRACE(flat ? "flat" : "walked");
    const FlatPass pass(flat);
    auto r = make<KVRBasicFrame3D>(L"R"), a = make<KVRBasicFrame3D>(L"A"), b = make<KVRBasicFrame3D>(L"B"),
         c = make<KVRBasicFrame3D>(L"C");
    for (const auto& child : {a, b, c}) r->addSpatialChild(child);
    c->setFrameLocation(pose(0.4, 1, 2, 3));
    KVRSharedHandle<Trap> trap{new Trap};
    trap->action = [&] { r->removeSpatialChild(b); };
    a->addSubscriber(KVRMakeEventFunctor(trap.get(), &Trap::onEvent), std::bitset<64>().set(), 0);
    for (int i = 0; i < 3; ++i) {
      place(r, pose(0.1 * i, i, 0, 0));
      r->flushSpatialState();
    }
    trap->armed = true;
    place(r, pose(0.7, 5, -1, 2));
    r->flushSpatialState();
    EXPECT_TRUE(r->testEvent(KVRBasicEntity3D::BaseLocationChanged));
    r->flushSpatialState();
    EXPECT_EQ(c->getBaseLocation(), r->getBaseLocation() * c->getRelativeLocation());
    EXPECT_EQ(pending(*r), std::vector<int>{});
    for (const std::wstring& violation : KVRCheckModel(r)) ADD_FAILURE() << KVRToUtf8(violation);
    a->removeSubscriber(KVRMakeEventFunctor(trap.get(), &Trap::onEvent));
    orphan(r, a, b, c, trap);
  }
}

// A frame, tag point, path or body of a class derived elsewhere, without a
// class descriptor of its own, that logs what a flush asks of it.
template <class Base>
class Logged : public Base {
 public:
  void propagateBaseLocation() const override {
    note(L"propagate");
    Base::propagateBaseLocation();
  }
  KVRBasicXform3D<double> getRelativeLocation() const override {
    note(L"relative");
    return Base::getRelativeLocation();
  }
  std::vector<std::wstring>* log = nullptr;

 private:
  void note(const wchar_t* what) const {
    if (log) log->push_back(this->getEntityName() + L" " + what);
  }
};

TEST(FlushPass, ClassesDerivedElsewhereSeeTheSameCallsWithThePassOnAndOff) {
  // H ─ G (moved) ─┬─ LF ─ X ─ LP ─ LT     L...: logged; X, Y: plain frames
  //                └─ LB ─ Y
  const auto calls = [](bool flat) {
    const FlatPass pass(flat);
    auto h = make<KVRBasicBody3D>(L"H"), g = make<KVRBasicBody3D>(L"G");
    auto lf = make<Logged<KVRBasicFrame3D>>(L"LF");
    auto x = make<KVRBasicFrame3D>(L"X"), y = make<KVRBasicFrame3D>(L"Y");
    auto lp = make<Logged<KVRBasicPath3D>>(L"LP");
    auto lt = make<Logged<KVRBasicTagPoint3D>>(L"LT");
    auto lb = make<Logged<KVRBasicBody3D>>(L"LB");
    h->attachBody(g);
    g->addFrame(lf);
    lf->addSpatialChild(x);
    x->addSpatialChild(lp);
    lp->addTagPoint(lt);
    g->attachBody(lb, pose(0.3, 1, 0, 0));
    lb->addFrame(y);
    x->setFrameLocation(pose(0.2, 0, 1, 0));
    lt->setTagPointLocation(pose(0.4, 0, 0, 1));
    flushSpatial(h, g, lf, x, lp, lt, lb, y);
    std::vector<std::wstring> log;
    lf->log = lp->log = lt->log = lb->log = &log;
    for (int move = 1; move <= 3; ++move) {  // laid out flat by the third
      place(g, pose(0.1 * move, move, 2, 0));
      g->flushSpatialState();
      for (const auto& e : std::initializer_list<Entity3D>{lf, x, lp, lt, lb, y})
        EXPECT_XFORM_NEAR(e->getBaseLocation(), e->computeBaseLocation());
    }
    lf->log = lp->log = lt->log = lb->log = nullptr;
    EXPECT_TRUE(isSound(h));
    orphan(h, g, lf, x, y, lp, lt, lb);
    return log;
  };
  const std::vector<std::wstring> walked = calls(false);
  EXPECT_EQ(calls(true), walked);
  EXPECT_EQ(std::count(walked.begin(), walked.end(), L"LT propagate"), 3);
  EXPECT_EQ(std::count(walked.begin(), walked.end(), L"LB propagate"), 3);
}

// --- A shuttle carries its members in one pass -----------------------------------

// A shuttle S and the members it carries, in slot order:
//
//   Floor
//    ├─ S ─ M5 (attached to S: placed from where S stands now)
//    ├─ M0 ─┬─ M0a               plain
//    │      └─ M0b
//    ├─ M1 ─ M1a                 M1 watched
//    ├─ M2 ─ M2a ─ M2aa          M2aa watched, the trap on it
//    ├─ M3 ─ M3a                 plain
//    ├─ M4                       a frame, plain
//    └─ Spare                    not a member until a disturbance adds it
struct ShuttleCell {
  ShuttleCell() {
    floor->attachBody(shuttle);
    floor->attachBody(spare, pose(1, 0, 0, 1));
    for (int i = 0; i < 4; ++i) {
      auto member = make<KVRBasicBody3D>(L"M" + std::to_wstring(i));
      floor->attachBody(member, pose(0.1 * i, i, 1, 0));
      members.push_back(member);
    }
    floor->addFrame(m4);
    m4->setFrameLocation(pose(0.4, 0, 0, 4));
    shuttle->attachBody(m5, pose(-0.5, 1, 1, 1));
    const auto addFrame = [this](const Entity3D& parent, const wchar_t* name, double angle) {
      auto frame = make<KVRBasicFrame3D>(name);
      parent->addSpatialChild(frame);
      frame->setFrameLocation(pose(angle, 1, angle, 0));
      frames.push_back(frame);
      return frame;
    };
    addFrame(members[0], L"M0a", 0.1);
    addFrame(members[0], L"M0b", 0.2);
    addFrame(members[1], L"M1a", 0.3);
    addFrame(addFrame(members[2], L"M2a", 0.4), L"M2aa", 0.5);
    addFrame(members[3], L"M3a", 0.6);
    for (const Entity3D& member : members) shuttle->addEntity(member);
    shuttle->addEntity(m4);
    shuttle->addEntity(m5);
    shuttle->activate();
    log->watch(shuttle, members[1], frames[4]);
    trap->action = [] {};
    frames[4]->addSubscriber(KVRMakeEventFunctor(trap.get(), &Trap::onEvent), std::bitset<64>().set(), -1);
    for (const Entity3D& e : all()) e->flushSpatialState();
  }
  ~ShuttleCell() {
    for (const Entity3D& e : all()) e->orphanObject();
    orphan(trap);
  }
  std::vector<Entity3D> all() const {
    std::vector<Entity3D> entities{floor, shuttle, m4, m5, spare};
    entities.insert(entities.end(), members.begin(), members.end());
    entities.insert(entities.end(), frames.begin(), frames.end());
    return entities;
  }
  EventLog::Seen step(double t) {
    log->seen.clear();
    place(shuttle, pose(0.3 * t, t, 2 * t, 0, KVRBasicVector3D<double>(1, t, 2)));
    shuttle->flushSpatialState();
    return log->seen;
  }

  KVRSharedHandle<KVRBasicBody3D> floor = make<KVRBasicBody3D>(L"Floor"), m5 = make<KVRBasicBody3D>(L"M5"),
                                  spare = make<KVRBasicBody3D>(L"Spare");
  KVRSharedHandle<KVRBasicShuttle3D> shuttle = make<KVRBasicShuttle3D>(L"S");
  KVRSharedHandle<KVRBasicFrame3D> m4 = make<KVRBasicFrame3D>(L"M4");
  std::vector<Entity3D> members, frames;  // M0..M3; M0a, M0b, M1a, M2a, M2aa, M3a
  KVRSharedHandle<EventLog> log{new EventLog};
  KVRSharedHandle<Trap> trap{new Trap};
};

TEST(MemberPass, AShuttleCarriesItsMembersInOnePassWithTheBitsAndDisturbancesOfOneByOne) {
  const auto run = [](bool flat, const std::function<void(ShuttleCell&)>& disturbance) {
    const FlatPass pass(flat);
    ShuttleCell cell;
    cell.step(1);
    cell.step(2);  // laid out from here on
    if (flat) {
      EXPECT_EQ(cell.shuttle->getFlatMembersSize(), 12);
    }
    if (disturbance) {
      cell.trap->action = [&] { disturbance(cell); };
      cell.trap->armed = true;
    }
    Outcome outcome;
    try {
      outcome.seen = cell.step(3);
    } catch (const std::runtime_error&) {
      outcome.threw = true;
      outcome.seen = cell.log->seen;
    }
    // What that step left, and the next one, with a layout out of date laid out again.
    for (const std::wstring after : {L"", L" after the next step"}) {
      for (const Entity3D& e : cell.all()) {
        outcome.states[e->getEntityName() + after] = {
            e->getBaseLocation(), e->getCachedParentProfile().getLocation(), pending(*e)};
        EXPECT_FALSE(e->isNotifying());
      }
      if (after.empty()) {
        outcome.seen.push_back({L"next step", {}});
        const EventLog::Seen next = cell.step(4);
        outcome.seen.insert(outcome.seen.end(), next.begin(), next.end());
      }
    }
    // Every member carried stands at X_WS · X_SM, its subtree composed below it.
    if (!disturbance) {
      for (const Entity3D& e : cell.all()) EXPECT_XFORM_NEAR(e->getBaseLocation(), e->computeBaseLocation());
      for (const Entity3D& member : cell.members)
        EXPECT_XFORM_NEAR(member->getBaseLocation(),
                          cell.shuttle->getBaseLocation() * cell.shuttle->getRelativeLocation(member));
    }
    for (const std::wstring& violation : KVRCheckModel(cell.floor)) ADD_FAILURE() << KVRToUtf8(violation);
    return outcome;
  };
  const std::vector<std::pair<const char*, std::function<void(ShuttleCell&)>>> disturbances{
      {"none", {}},
      {"remove an earlier member", [](ShuttleCell& c) { c.shuttle->removeEntity(c.members[0]); }},
      {"remove a later member", [](ShuttleCell& c) { c.shuttle->removeEntity(c.members[3]); }},
      {"add a member", [](ShuttleCell& c) { c.shuttle->addEntity(c.spare); }},
      {"take M2a from M2", [](ShuttleCell& c) { c.members[2]->removeSpatialChild(c.frames[3]); }},
      {"add below a later member", [](ShuttleCell& c) { c.frames[5]->addSpatialChild(make<KVRBasicFrame3D>(L"N")); }},
      {"orphan a later member", [](ShuttleCell& c) { c.members[3]->orphanObject(); }},
      {"watch a later member", [](ShuttleCell& c) { c.log->watch(c.m4); }},
      {"deactivate the shuttle", [](ShuttleCell& c) { c.shuttle->deactivate(); }},
      {"move and flush the shuttle again", [](ShuttleCell& c) { c.step(7); }},
      {"throw", [](ShuttleCell&) { throw std::runtime_error("watcher failed"); }},
  };
  for (const auto& [what, disturbance] : disturbances) {
    SCOPED_TRACE(what);
    const Outcome walked = run(false, disturbance), flat = run(true, disturbance);
    EXPECT_EQ(flat, walked);
    if (!disturbance) {
      // Only the watched entities publish; the watched frame below a member first.
      EXPECT_EQ(only(flat.seen, {L"M2aa", L"M1", L"S"}).size(), flat.seen.size() - 1);
      ASSERT_EQ(flat.seen.size(), 7u);
      EXPECT_EQ(flat.seen[0], (std::pair<std::wstring, std::vector<int>>(L"M1", {10, 11})));
      EXPECT_EQ(flat.seen[1], (std::pair<std::wstring, std::vector<int>>(L"M2aa", {11, 12})));
      EXPECT_EQ(flat.seen[2], (std::pair<std::wstring, std::vector<int>>(L"S", {10, 11})));
    }
  }
}

TEST(MemberPass, MembersAndEntitiesGoneSinceTheLayoutAreNeverRead) {
  // Twenty members with a frame each, laid out; then, before the next step,
  // M8's frame is destroyed and M10 is destroyed, a spare body taking its
  // place among the members (their number stays the same).
  auto floor = make<KVRBasicBody3D>(L"Floor");
  auto shuttle = make<KVRBasicShuttle3D>(L"S");
  auto spare = make<KVRBasicBody3D>(L"Spare");
  floor->attachBody(shuttle);
  floor->attachBody(spare, pose(1, 0, 0, 1));
  std::vector<KVRSharedHandle<KVRBasicBody3D>> members;
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> frames;
  for (int i = 0; i < 20; ++i) {
    members.push_back(make<KVRBasicBody3D>(L"M" + std::to_wstring(i)));
    frames.push_back(make<KVRBasicFrame3D>(L"F" + std::to_wstring(i)));
    floor->attachBody(members.back(), pose(0.1 * i, i, 0, 0));
    members.back()->addFrame(frames.back());
    frames.back()->setFrameLocation(pose(0.2, 0, 1, 0));
    shuttle->addEntity(members.back());
  }
  shuttle->activate();
  const auto step = [&](int t) {
    place(shuttle, pose(0.1 * t, t, 0, 0));
    shuttle->flushSpatialState();
  };
  step(1);
  step(2);
  ASSERT_EQ(shuttle->getFlatMembersSize(), 40);
  members[8]->removeFrame(frames[8]);
  frames[8]->orphanObject();
  frames[8] = nullptr;
  shuttle->removeEntity(members[10]);
  members[10]->orphanObject();
  members[10] = nullptr;
  shuttle->addEntity(spare);
  step(3);
  EXPECT_EQ(shuttle->getFlatMembersSize(), 0);  // found out of date
  step(4);
  step(5);
  EXPECT_EQ(shuttle->getFlatMembersSize(), 38);
  members[10] = spare;
  for (int i = 0; i < 20; ++i) {
    EXPECT_XFORM_NEAR(members[i]->getBaseLocation(),
                      shuttle->getBaseLocation() * shuttle->getRelativeLocation(members[i]));
    if (frames[i]) {
      EXPECT_XFORM_NEAR(frames[i]->getBaseLocation(), frames[i]->computeBaseLocation());
    }
  }
  EXPECT_TRUE(isSound(floor));
  for (const auto& member : members) member->orphanObject();
  orphan(shuttle, floor);
}

// --- The flat layout follows the links ------------------------------------------

// A root frame R with two chains of frames below it, flushed until its
// subtree is laid out flat; each test changes a link and checks that the
// next flush carries R's move to exactly the entities then below it.
class FlatLayout : public testing::Test {
 protected:
  void SetUp() override {
    root->addFrame(x);
    for (int chain = 0; chain < 2; ++chain) {
      KVRSharedHandle<KVRBasicEntity3D> parent = x;
      for (int depth = 0; depth < 4; ++depth) {
        auto frame = make<KVRBasicFrame3D>(L"F" + std::to_wstring(chain) + std::to_wstring(depth));
        frame->setFrameLocation(pose(0.2 * depth + 0.1, chain, depth, 1));
        parent->addSpatialChild(frame);
        frames.push_back(frame);
        parent = frame;
      }
    }
    ground->attachBody(root, pose(0.3, 0, 0, 1));
    ground->attachBody(other, pose(-0.3, 5, 0, 0));
    moveAndFlush();
    moveAndFlush();
    ASSERT_EQ(root->getFlatSubtreeSize(), root->getSpatialDescendantsCount() + 1);
  }
  void TearDown() override {
    orphan(ground, root, other, x);
    for (const auto& frame : frames) frame->orphanObject();
  }

  // Moves R and flushes it once; every entity below R then stands where a
  // fresh composition puts it, and R's layout holds exactly its subtree.
  void moveAndFlush() {
    ++moves;
    place(root, pose(0.1 * moves, moves, 0, 0));
    root->flushSpatialState();
    KVRSharedVector<KVRBasicEntity3D> below;
    root->getSpatialDescendants(below);
    for (const auto& e : below) EXPECT_EQ(e->getBaseLocation(), e->computeBaseLocation()) << title(e);
    // Laid out from the third flush on; a childless root has nothing to lay out.
    if (moves > 2 && KVRBasicEntity3D::isFlatPropagationEnabled()) {
      EXPECT_EQ(root->getFlatSubtreeSize(), below.empty() ? 0 : static_cast<int>(below.size()) + 1);
    }
  }
  // An entity taken out of R's subtree no longer follows R.
  void expectLeftBehind(const Entity3D& e) {
    const Xform X_WE = e->getBaseLocation();
    moveAndFlush();
    EXPECT_EQ(e->getBaseLocation(), X_WE);
  }

  int moves = 0;
  KVRSharedHandle<KVRBasicBody3D> ground = make<KVRBasicBody3D>(L"Ground"), root = make<KVRBasicBody3D>(L"R"),
                                  other = make<KVRBasicBody3D>(L"Other");
  KVRSharedHandle<KVRBasicFrame3D> x = make<KVRBasicFrame3D>(L"X");
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> frames;  // F00..F03, then F10..F13
};

TEST_F(FlatLayout, AnAddedChildFollowsAtTheNextFlush) {
  auto added = make<KVRBasicFrame3D>(L"Added");
  added->setFrameLocation(pose(1, 1, 1, 1));
  frames[1]->addSpatialChild(added);
  moveAndFlush();
  orphan(added);
}

TEST_F(FlatLayout, ARemovedOrReplacedChildStaysBehind) {
  frames[1]->removeSpatialChild(frames[2]);
  expectLeftBehind(frames[3]);
  auto replacement = make<KVRBasicFrame3D>(L"Replacement");
  frames[4]->replaceSpatialChild(frames[5], replacement);
  expectLeftBehind(frames[5]);
  orphan(replacement);
}

TEST_F(FlatLayout, AttachedGrabbedAndDetachedBodiesFollowOrStayBehind) {
  auto carried = make<KVRBasicBody3D>(L"Carried");
  auto handle = make<KVRBasicFrame3D>(L"Handle");
  carried->addFrame(handle);
  root->attachBody(carried, pose(0.4, 0, 2, 0));
  moveAndFlush();
  other->grabBody(carried, 1);  // off R, onto Other
  expectLeftBehind(handle);
  root->grabBody(carried, 1);
  moveAndFlush();
  carried->detachBody();  // back to R, where it first hung
  moveAndFlush();
  carried->orphanObject();
  expectLeftBehind(handle);
}

TEST_F(FlatLayout, AnOrphanedSubtreeIsForgotten) {
  frames[4]->orphanObject();  // F10 and, as logical children, nothing: F11.. are only spatial children
  expectLeftBehind(frames[5]);
  x->orphanObject();
  moveAndFlush();
  EXPECT_EQ(root->getSpatialDescendantsCount(), 0);
}

TEST_F(FlatLayout, TurnedOffFlushesWalkAndGiveTheSameLocations) {
  const FlatPass off(false);
  EXPECT_EQ(root->getFlatSubtreeSize(), 0);
  moveAndFlush();
}

// --- A fresh pose without a flush ---------------------------------------------------

// A chain of 45 frames under a root frame, past two renormalisation depths.
class FreshPose : public testing::Test {
 protected:
  void SetUp() override {
    KVRSharedHandle<KVRBasicEntity3D> parent = root;
    for (int depth = 1; depth <= 45; ++depth) {
      auto frame = make<KVRBasicFrame3D>(L"F" + std::to_wstring(depth));
      frame->setFrameLocation(
          pose(0.37 * depth, 0.1, -0.2, 0.05 * depth, KVRBasicVector3D<double>(depth, 1, -2)));
      parent->addSpatialChild(frame);
      chain.push_back(frame);
      parent = frame;
    }
    root->flushBaseLocation();
  }
  void TearDown() override {
    // Each frame is a spatial child only: orphaning the root leaves the
    // chain below it linked, a root of its own.
    orphan(root);
    for (const auto& frame : chain) frame->orphanObject();
  }

  // X_WL composed independently: root first, renormalised at every twentieth level.
  Xform expected(std::size_t level) const {
    Xform X = root->getBaseLocation();
    for (std::size_t k = 1; k <= level; ++k) {
      X = X * chain[k - 1]->getRelativeLocation();
      if (k % 20 == 0) X.normalize();
    }
    return X;
  }

  KVRSharedHandle<KVRBasicFrame3D> root = make<KVRBasicFrame3D>(L"Root");
  std::vector<KVRSharedHandle<KVRBasicFrame3D>> chain;
};

TEST_F(FreshPose, ComposedNowItAgreesWithTheFlushedBaseLocationAndLeavesThePendingFlushPending) {
  place(root, pose(1.3, 4, -1, 2, KVRBasicVector3D<double>(-1, 3, 1)));
  chain[44]->setFrameLocation(pose(-0.5, 1, 1, 1));
  chain[10]->setRelativeLocation(pose(0.9, 0, 1, 0));  // not flushed either
  const Xform X_WL = chain[44]->getBaseLocation();
  const auto bits = pending(*chain[44]);

  EXPECT_EQ(chain[44]->computeBaseLocation(), expected(45));
  EXPECT_EQ(chain[19]->computeBaseLocation(), expected(20));
  EXPECT_EQ(root->computeBaseLocation(), root->getBaseLocation());
  EXPECT_EQ(chain[44]->getBaseLocation(), X_WL);  // nothing cached
  EXPECT_EQ(pending(*chain[44]), bits);           // nor published

  root->flushSpatialState();
  for (std::size_t k = 0; k < chain.size(); ++k)
    EXPECT_EQ(chain[k]->getBaseLocation(), chain[k]->computeBaseLocation()) << k + 1;
}

TEST_F(FreshPose, RelativeToAnotherEntityItIsTheOthersInverseTimesThisOne) {
  place(root, pose(0.2, 1, 1, 1));
  const Entity3D reference = chain[30];
  EXPECT_EQ(chain[44]->computeLocationRelativeTo(reference),
            reference->computeBaseLocation().inverse() * chain[44]->computeBaseLocation());
  EXPECT_EQ(chain[44]->computeLocationRelativeTo(Entity3D()), chain[44]->computeBaseLocation());
  EXPECT_XFORM_NEAR(chain[30]->computeLocationRelativeTo(chain[30]), Xform());
}

TEST(FreshPoseRefusal, SpatialParentLinksClosedIntoARingAreRefused) {
  // Only the primitive steps can close the ring; the lists stay out of it.
  auto a = make<KVRBasicFrame3D>(L"A"), b = make<KVRBasicFrame3D>(L"B");
  a->setSpatialParent(b, Xform(), {});
  b->setSpatialParent(a, Xform(), {});
  expectThrowWithText<KVREInvalidRelation>([&] { a->computeBaseLocation(); },
                                           L"The spatial parent links above Frame \"/\" form a cycle");
  expectThrowWithText<KVREInvalidRelation>([&] { b->computeLocationRelativeTo(Entity3D()); },
                                           L"The spatial parent links above Frame \"/\" form a cycle");
  a->clearSpatialParent(0);
  b->clearSpatialParent(0);
}

TEST(ChildrenListRing, ListingAnEntityBelowItselfIsRefusedAndChangesNothing) {
  auto a = make<KVRBasicFrame3D>(L"A"), b = make<KVRBasicFrame3D>(L"B");
  a->addSpatialChild(b);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { b->setSpatialChild(a); },
      L"Frame \"/\" cannot become a spatial child of Frame \"/\", which lies in its own subtree");
  EXPECT_EQ(b->getSpatialChildrenCount(), 0);
  orphan(a, b);
}

}  // namespace
