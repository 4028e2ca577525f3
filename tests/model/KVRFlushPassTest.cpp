// The flush of a moved subtree or a shuttle's members, flat or entity by entity: the same bits,
// order, locations and pending bits, also when the tree changes midway; fresh poses; rings.

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
using Frame = KVRSharedHandle<KVRBasicFrame3D>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Entry = std::pair<std::wstring, std::vector<int>>;

// Turns the flat pass on or off for as long as it lives.
struct FlatPass {
  explicit FlatPass(bool enabled) { KVRBasicEntity3D::setFlatPropagation(enabled); }
  ~FlatPass() { KVRBasicEntity3D::setFlatPropagation(before); }
  const bool before = KVRBasicEntity3D::isFlatPropagationEnabled();
};

// Runs an action from inside a flush: on the first event with bit 11 of what it watches, once armed.
struct Trap : KVRNotificationAgent {
  std::function<void()> action;
  bool armed = false;
  void onEvent(const KVRSharedConstPointer<KVRBasicEntity>&, const std::bitset<64>& mask) {
    if (!armed || !mask.test(KVRBasicEntity3D::BaseLocationChanged)) return;
    armed = false;
    action();
  }
  void watch(const Entity3D& e) {
    e->addSubscriber(KVRMakeEventFunctor(this, &Trap::onEvent), std::bitset<64>().set(), -1);
  }
};

// Every entity's locations (X_WE and its cached parent pose) and pending bits.
struct State {
  Xform X_WE, X_WP;
  std::vector<int> bits;
  bool operator==(const State&) const = default;
};
using States = std::map<std::wstring, State>;
void record(States& states, const std::vector<Entity3D>& entities, const std::wstring& suffix = L"") {
  for (const Entity3D& e : entities) {
    states[e->getEntityName() + suffix] = {e->getBaseLocation(), e->getCachedParentProfile().getLocation(),
                                           pending(*e)};
    EXPECT_FALSE(e->isNotifying());
  }
}

EventLog::Seen only(const EventLog::Seen& seen, const std::set<std::wstring>& names) {
  EventLog::Seen kept;
  std::copy_if(seen.begin(), seen.end(), std::back_inserter(kept),
               [&](const Entry& e) { return names.count(e.first); });
  return kept;
}

// A change of a cell, made from inside the step under test or before it.
template <class Cell>
struct Change {
  const char* what;
  std::function<void(Cell&)> make;
  bool duringOnly = false;
};

// A frame, tag point, path or body of a class derived elsewhere, without a
// class descriptor of its own, that logs what a flush asks of it.
template <class Base>
struct Logged : Base {
  void propagateBaseLocation() const override { note(L"propagate"), Base::propagateBaseLocation(); }
  Xform getRelativeLocation() const override { return note(L"relative"), Base::getRelativeLocation(); }
  void note(const wchar_t* what) const { log ? log->push_back(this->getEntityName() + L" " + what) : void(); }
  std::vector<std::wstring>* log = nullptr;
};

// n frames F1..Fn at skew poses, each a spatial child of the one before.
std::vector<Frame> chainOf(int n) {
  std::vector<Frame> chain;
  for (int k = 1; k <= n; ++k) {
    chain.push_back(make<KVRBasicFrame3D>(L"F" + std::to_wstring(k)));
    chain.back()->setFrameLocation(pose(0.37 * k, 0.1, -0.2, 0.05 * k, KVRBasicVector3D<double>(k, 1, -2)));
    if (k > 1) chain[k - 2]->addSpatialChild(chain.back());
  }
  return chain;
}

// The cell, built the same way for every run:
//
//   Ground (a free body)                      T (the camera's target)
//    └─ Base, attached at X_GB: moved by the tests
//        ├─ F1 ─ F2 ─ ... ─ F25             a chain of frames past the renormalisation depth
//        ├─ Side
//        ├─ Camera C, attached at X_BC, with frame Lens; rule R relates it to T,
//        │   fails and, enforced, moves C (during C's own flush)
//        ├─ Fi, inner frame of joint J ───┐
//        ├─ O, hanging on Base through J, │ with outer frame Fo and frame Oa
//        ├─ path P with tag points T1, T2 (the path watches them)
//        ├─ A, attached at X_BA, with frames A1, A2
//        └─ LB ─ Y, and below A2: LF ─ X ─ LP ─ LT   L...: of classes derived elsewhere
//
// Plain: Base, the chain, Side, Lens, Oa, P, A, A1, A2, X, Y. Not plain: C (its hook), Fi and Fo (J
// watches them), T1 and T2 (P watches them), O (its connection places it), the L... (they log calls).
struct Cell {
  explicit Cell(bool watchEverything) {
    ground->attachBody(base, pose(0.2, 1, 0, 0));
    base->addFrame(chain[0]);
    frameOn(base, side, pose(-0.3, 0, 1, 0));
    base->attachBody(camera, pose(0.8, 1, -2, 0.5));
    frameOn(camera, lens, pose(0.3, 0, 0, 0.1));
    place(target, pose(-1.1, 0.3, 0.2, 2));
    rule->verdict = 0;
    rule->setRelationship(target, camera);
    camera->setRelationship(rule);
    rule->onEnforce = [this] { camera->setBaseLocation(pose(0.1 * ++enforced, 2, 2, 0), Entity3D(base)); };
    frameOn(base, fi, pose(0.7, 0.5, 0, 0));
    frameOn(o, fo, pose(-0.2, 0, 0, 1));
    frameOn(o, oa, pose(0.4, 1, 1, 1));
    joint->connectBodies(fi, fo);
    o->setInnerBody(base, joint);
    joint->propagateLocation();
    base->addPath(path);
    for (const auto& [t, x] : {std::pair{t1, 1.0}, {t2, 2.0}}) {
      path->addTagPoint(t);
      t->setTagPointLocation(pose(0.1 * x, x, 0, 0));
    }
    base->attachBody(a, pose(-0.6, 0, 3, 0));
    frameOn(a, a1, pose(0.9, 0, 0, 1));
    a->addFrame(a2);
    a2->addSpatialChild(lf);
    lf->addSpatialChild(x);
    x->addSpatialChild(lp);
    lp->addTagPoint(lt);
    base->attachBody(lb, pose(0.3, 1, 0, 0));
    lb->addFrame(y);
    x->setFrameLocation(pose(0.2, 0, 1, 0));
    lt->setTagPointLocation(pose(0.4, 0, 0, 1));
    lf->log = lp->log = lt->log = lb->log = &calls;
    trap->watch(chain[1]);
    ground->flushSpatialState();
    for (const Entity3D& e : all()) e->flushSpatialState();
    calls.clear();
    if (watchEverything)
      for (const Entity3D& e : all()) log->watch(e);
    else
      log->watch(base, camera, fi, fo, o, t1, t2);
  }
  static void frameOn(const Body& body, const Frame& frame, const Xform& X_BF) {
    body->addFrame(frame);
    frame->setFrameLocation(X_BF);
  }
  ~Cell() {
    lf->log = lp->log = lt->log = lb->log = nullptr;
    for (const Entity3D& e : all()) e->orphanObject();
    for (const Entity3D& e : brought) e->orphanObject();
    orphan(joint, rule, target, trap, other);
  }
  // An entity a change brings in: orphaned with the cell.
  template <class T>
  KVRSharedHandle<T> bring(const KVRSharedHandle<T>& e) {
    brought.push_back(e);
    return e;
  }
  std::vector<Entity3D> all() const {
    std::vector<Entity3D> entities{ground, base, side, camera, lens, fi, o,  fo, oa, path, t1,
                                   t2,     a,    a1, a2,     lf,   x,  lp, lt, lb, y};
    entities.insert(entities.end(), chain.begin(), chain.end());
    return entities;
  }
  EventLog::Seen step(int t) {
    log->seen.clear();
    base->setBaseLocation(pose(0.3 * t, 1 - t, 0.5 * t, t % 4, KVRBasicVector3D<double>(2, -1, t)),
                          Entity3D(ground));
    base->flushSpatialState();
    return log->seen;
  }
  // Unless changed during the step: the layout holds what lies below Base, and what
  // settled stands where a fresh composition puts it.
  void check(bool /*flat*/, int /*step*/) const {
    KVRSharedVector<KVRBasicEntity3D> below;
    base->getSpatialDescendants(below);
    EXPECT_EQ(base->getFlatSubtreeSize(),
              KVRBasicEntity3D::isFlatPropagationEnabled() ? static_cast<int>(below.size()) + 1 : 0);
    for (const auto& e : below)
      if (pending(*e).empty() && pending(*e->getSpatialParent()).empty()) {  // C moves on after its flush
        EXPECT_EQ(e->getBaseLocation(), e->computeBaseLocation()) << title(e);
      }
    EXPECT_TRUE(isSound(ground));
  }
  std::vector<Entity3D> brought;
  Body ground = make<KVRBasicBody3D>(L"Ground"), base = make<KVRBasicBody3D>(L"Base");
  std::vector<Frame> chain = chainOf(25);
  Frame side = make<KVRBasicFrame3D>(L"Side"), lens = make<KVRBasicFrame3D>(L"Lens"),
        fi = make<KVRBasicFrame3D>(L"Fi"), fo = make<KVRBasicFrame3D>(L"Fo"),
        oa = make<KVRBasicFrame3D>(L"Oa"), a1 = make<KVRBasicFrame3D>(L"A1"),
        a2 = make<KVRBasicFrame3D>(L"A2"), x = make<KVRBasicFrame3D>(L"X"), y = make<KVRBasicFrame3D>(L"Y");
  KVRSharedHandle<KVRBasicCamera3D> camera = make<KVRBasicCamera3D>(L"C");
  KVRSharedHandle<Probe3D> target = make<Probe3D>(L"T");
  KVRSharedHandle<Rule> rule = make<Rule>(L"R");
  int enforced = 0;
  KVRSharedHandle<FixedJoint> joint = make<FixedJoint>(L"J");
  Body o = make<KVRBasicBody3D>(L"O"), a = make<KVRBasicBody3D>(L"A"), other = make<KVRBasicBody3D>(L"Other");
  KVRSharedHandle<KVRBasicPath3D> path = make<KVRBasicPath3D>(L"P");
  KVRSharedHandle<KVRBasicTagPoint3D> t1 = make<KVRBasicTagPoint3D>(L"T1"),
                                      t2 = make<KVRBasicTagPoint3D>(L"T2");
  KVRSharedHandle<Logged<KVRBasicFrame3D>> lf = make<Logged<KVRBasicFrame3D>>(L"LF");
  KVRSharedHandle<Logged<KVRBasicPath3D>> lp = make<Logged<KVRBasicPath3D>>(L"LP");
  KVRSharedHandle<Logged<KVRBasicTagPoint3D>> lt = make<Logged<KVRBasicTagPoint3D>>(L"LT");
  KVRSharedHandle<Logged<KVRBasicBody3D>> lb = make<Logged<KVRBasicBody3D>>(L"LB");
  std::vector<std::wstring> calls;
  KVRSharedHandle<EventLog> log{new EventLog};
  KVRSharedHandle<Trap> trap{new Trap};
};

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
//    └─ Spare                    not a member until a change adds it
struct ShuttleCell {
  explicit ShuttleCell(bool) {
    floor->attachBody(shuttle);
    floor->attachBody(spare, pose(1, 0, 0, 1));
    for (int i = 0; i < 4; ++i) {
      const Body member = make<KVRBasicBody3D>(L"M" + std::to_wstring(i));
      floor->attachBody(member, pose(0.1 * i, i, 1, 0));
      members.push_back(member);
    }
    floor->addFrame(m4);
    m4->setFrameLocation(pose(0.4, 0, 0, 4));
    shuttle->attachBody(m5, pose(-0.5, 1, 1, 1));
    for (const auto& [m, name] :
         {std::pair{0, L"M0a"}, {0, L"M0b"}, {1, L"M1a"}, {2, L"M2a"}, {-1, L"M2aa"}, {3, L"M3a"}}) {
      const Frame frame = make<KVRBasicFrame3D>(name);  // m < 0: below the frame before
      frame->setFrameLocation(pose(0.1 * (frames.size() + 1), 1, 0.1 * (frames.size() + 1), 0));
      (m < 0 ? frames.back() : members[m])->addSpatialChild(frame);
      frames.push_back(frame);
    }
    for (const Entity3D& member : members) shuttle->addEntity(member);
    shuttle->addEntity(m4);
    shuttle->addEntity(m5);
    shuttle->activate();
    log->watch(shuttle, members[1], frames[4]);
    trap->watch(frames[4]);
    for (const Entity3D& e : all()) e->flushSpatialState();
  }
  ~ShuttleCell() {
    for (const Entity3D& e : all()) e->orphanObject();
    orphan(trap);
  }
  std::vector<Entity3D> all() const {
    std::vector<Entity3D> entities{floor, shuttle, m4, m5, spare};
    for (const auto* list : {&members, &frames})
      std::copy_if(list->begin(), list->end(), std::back_inserter(entities),
                   [](const Entity3D& e) { return !!e; });
    return entities;
  }
  EventLog::Seen step(int t) {
    log->seen.clear();
    place(shuttle, pose(0.3 * t, t, 2 * t, 0, KVRBasicVector3D<double>(1, t, 2)));
    shuttle->flushSpatialState();
    if (t == 2 && KVRBasicEntity3D::isFlatPropagationEnabled()) {
      EXPECT_EQ(shuttle->getFlatMembersSize(), 12);  // laid out from here on
    }
    return log->seen;
  }
  // Unless changed during the step: every member stands at X_WS · X_SM, its subtree
  // composed below it, the layout laid out again.
  void check(bool flat, int step) const {
    for (const Entity3D& e : all()) EXPECT_XFORM_NEAR(e->getBaseLocation(), e->computeBaseLocation());
    KVRSharedVector<KVRBasicEntity3D> carried;
    shuttle->getEntities(carried);
    int laidOut = 0;
    for (const Entity3D& member : carried) {
      laidOut += 1 + member->getSpatialDescendantsCount();
      if (member->isOrphaned() || !shuttle->isActive()) continue;
      EXPECT_XFORM_NEAR(member->getBaseLocation(),
                        shuttle->getBaseLocation() * shuttle->getRelativeLocation(member));
    }
    if (step == 5) {  // a member layout is laid out at the second step after a change
      EXPECT_EQ(shuttle->getFlatMembersSize(), flat ? laidOut : 0);
    }
    EXPECT_TRUE(isSound(floor));
  }
  Body floor = make<KVRBasicBody3D>(L"Floor"), m5 = make<KVRBasicBody3D>(L"M5"),
       spare = make<KVRBasicBody3D>(L"Spare");
  KVRSharedHandle<KVRBasicShuttle3D> shuttle = make<KVRBasicShuttle3D>(L"S");
  Frame m4 = make<KVRBasicFrame3D>(L"M4");
  std::vector<Entity3D> members, frames;  // M0..M3; M0a, M0b, M1a, M2a, M2aa, M3a
  std::vector<std::wstring> calls;
  KVRSharedHandle<EventLog> log{new EventLog};
  KVRSharedHandle<Trap> trap{new Trap};
};

// What a run leaves: the log from the third step on, the states after the third and
// the fifth, the calls of classes derived elsewhere, and whether the third threw.
struct Outcome {
  EventLog::Seen seen;
  States states;
  std::vector<std::wstring> calls;
  bool threw = false;
  bool operator==(const Outcome&) const = default;
};

// Builds the cell and steps it five times (laid out flat by the third), with `change`
// made before the third or from inside it, when the trapped entity publishes its move.
template <class C>
Outcome run(bool flat, const Change<C>& change = {}, bool during = false, bool watchEverything = false) {
  const FlatPass pass(flat);
  C cell(watchEverything);
  cell.step(1);
  cell.step(2);
  cell.trap->action = [&] { change.make(cell); };
  cell.trap->armed = change.make && during;
  if (change.make && !during) change.make(cell);
  Outcome outcome;
  try {
    outcome.seen = cell.step(3);
  } catch (const std::runtime_error&) {
    outcome.threw = true;
    outcome.seen = cell.log->seen;
  }
  record(outcome.states, cell.all());
  if (!(change.make && during) && !watchEverything) cell.check(flat, 3);
  for (const int t : {4, 5}) {
    outcome.seen.push_back({L"next step", {}});
    const EventLog::Seen next = cell.step(t);
    outcome.seen.insert(outcome.seen.end(), next.begin(), next.end());
  }
  record(outcome.states, cell.all(), L" after the next steps");
  if (!watchEverything) cell.check(flat, 5);
  outcome.calls = cell.calls;
  return outcome;
}

template <class C>
void expectFlatAsWalked(const std::vector<Change<C>>& changes) {
  for (const Change<C>& change : changes)
    for (const bool during : {true, false}) {
      if (change.duringOnly && !during) continue;
      SCOPED_TRACE(std::string(change.what) + (during ? " during the step" : " before it"));
      EXPECT_EQ(run(true, change, during), run(false, change, during));
    }
}

TEST(FlushPass, AMixedSubtreePublishesTheSameBitsAndCallsInTheSameOrderAsWhenWalkedEntityByEntity) {
  const Outcome walked = run<Cell>(false), flat = run<Cell>(true);
  EXPECT_EQ(flat, walked);
  // The watched entities, as when everything is watched (and nothing is plain).
  const Outcome watched = run<Cell>(true, {}, false, true);
  EXPECT_EQ(only(watched.seen, {L"Base", L"C", L"Fi", L"Fo", L"O", L"T1", L"T2", L"next step"}), flat.seen);
  EXPECT_EQ(watched.states, flat.states);
  // Children publish before their parents, plain ones too, the deepest frame first; the
  // camera's move, enforced during its own flush, is published with it and stays pending.
  ASSERT_GE(watched.seen.size(), 10u);
  EXPECT_EQ(watched.seen[0], Entry(L"F25", {11, 12}));
  const EventLog::Seen third(watched.seen.begin(),
                             std::find(watched.seen.begin(), watched.seen.end(), Entry(L"next step", {})));
  EXPECT_EQ(only(third, {L"Lens", L"C", L"P", L"T1"}),
            (EventLog::Seen{{L"Lens", {11, 12}}, {L"C", {10, 11, 12}}, {L"T1", {11, 12}}, {L"P", {11, 12}}}));
  EXPECT_EQ(third.back(), Entry(L"Base", {10, 11}));
  EXPECT_EQ(flat.states.at(L"C").bits, (std::vector<int>{10, 11}));
  EXPECT_EQ(std::count(walked.calls.begin(), walked.calls.end(), L"LT propagate"), 5);
  EXPECT_EQ(std::count(walked.calls.begin(), walked.calls.end(), L"LB propagate"), 5);
}

TEST(FlushPass, ReshapingTheTreeMidwayOrBetweenFlushesLeavesWhatTheWalkLeaves) {
  expectFlatAsWalked<Cell>({
      {"remove the next sibling", [](Cell& c) { c.chain[1]->removeSpatialChild(c.chain[2]); }},
      {"move F2 (F1's only child) below Side",
       [](Cell& c) { c.chain[0]->removeSpatialChild(c.chain[1]), c.side->addSpatialChild(c.chain[1]); }},
      {"remove a later child of Base", [](Cell& c) { c.base->removeFrame(c.side); }},
      {"replace a child",
       [](Cell& c) { c.chain[4]->replaceSpatialChild(c.chain[5], c.bring(make<KVRBasicFrame3D>(L"New"))); }},
      {"add below a later entity", [](Cell& c) { c.a1->addSpatialChild(c.bring(make<KVRBasicFrame3D>(L"New"))); }},
      {"orphan the path", [](Cell& c) { c.base->destroyPath(c.path); }},
      {"orphan Base's chain", [](Cell& c) { c.chain[0]->orphanObject(); }},
      {"detach A", [](Cell& c) { c.a->detachBody(); }},
      {"grab A off Base", [](Cell& c) { c.other->grabBody(c.a, 1); }},
      {"grab, then detach A back onto Base",
       [](Cell& c) {
         c.ground->grabBody(c.a, 1);
         c.base->grabBody(c.a, 1);
         c.a->detachBody();
       }},
      {"attach a body with a frame",
       [](Cell& c) {
         auto carried = c.bring(make<KVRBasicBody3D>(L"Carried"));
         carried->addFrame(c.bring(make<KVRBasicFrame3D>(L"Handle")));
         c.base->attachBody(carried, pose(0.4, 0, 2, 0));
       }},
      {"turn the flat pass off", [](Cell&) { KVRBasicEntity3D::setFlatPropagation(false); }},
      {"move and flush Base again", [](Cell& c) { c.step(7); }, true},
      {"throw", [](Cell&) { throw std::runtime_error("watcher failed"); }, true},
  });
}

TEST(MemberPass, AShuttleCarriesItsMembersInOnePassWithTheBitsAndChangesOfOneByOne) {
  const Outcome flat = run<ShuttleCell>(true);
  EXPECT_EQ(flat, run<ShuttleCell>(false));
  // Only the watched entities publish; the watched frame below a member first.
  ASSERT_EQ(flat.seen.size(), 11u);
  EXPECT_EQ(EventLog::Seen(flat.seen.begin(), flat.seen.begin() + 3),
            (EventLog::Seen{{L"M1", {10, 11}}, {L"M2aa", {11, 12}}, {L"S", {10, 11}}}));
  expectFlatAsWalked<ShuttleCell>({
      {"remove an earlier member", [](ShuttleCell& c) { c.shuttle->removeEntity(c.members[0]); }},
      {"remove a later member", [](ShuttleCell& c) { c.shuttle->removeEntity(c.members[3]); }},
      {"add a member", [](ShuttleCell& c) { c.shuttle->addEntity(c.spare); }},
      {"take M2a from M2", [](ShuttleCell& c) { c.members[2]->removeSpatialChild(c.frames[3]); }},
      {"add below a later member",
       [](ShuttleCell& c) { c.frames[5]->addSpatialChild(make<KVRBasicFrame3D>(L"N")); }},
      {"orphan a later member", [](ShuttleCell& c) { c.members[3]->orphanObject(); }},
      {"watch a later member", [](ShuttleCell& c) { c.log->watch(c.m4); }},
      {"deactivate the shuttle", [](ShuttleCell& c) { c.shuttle->deactivate(); }},
      {"destroy a frame and a member, a spare taking its place",  // never to be read again
       [](ShuttleCell& c) {
         c.members[0]->removeSpatialChild(c.frames[1]);
         std::exchange(c.frames[1], nullptr)->orphanObject();
         c.shuttle->removeEntity(c.members[3]);
         std::exchange(c.members[3], nullptr)->orphanObject();
         c.shuttle->addEntity(c.spare);
       }},
      {"move and flush the shuttle again", [](ShuttleCell& c) { c.step(7); }, true},
      {"throw", [](ShuttleCell&) { throw std::runtime_error("watcher failed"); }, true},
  });
}

TEST(FlushPass, AWalkCutShortByAWatcherLeavesTheRestToTheNextFlush) {
  // A watcher of A takes B out of R during R's flush: the walk cannot tell which of
  // the rest it reached, so R keeps its move pending and the next flush brings C along.
  for (const bool flat : {false, true}) {
    SCOPED_TRACE(flat ? "flat" : "walked");
    const FlatPass pass(flat);
    auto r = make<KVRBasicFrame3D>(L"R"), a = make<KVRBasicFrame3D>(L"A"), b = make<KVRBasicFrame3D>(L"B"),
         c = make<KVRBasicFrame3D>(L"C");
    for (const auto& child : {a, b, c}) r->addSpatialChild(child);
    c->setFrameLocation(pose(0.4, 1, 2, 3));
    KVRSharedHandle<Trap> trap{new Trap};
    trap->action = [&] { r->removeSpatialChild(b); };
    trap->watch(a);
    for (int i = 0; i < 4; ++i) {
      trap->armed = i == 3;
      place(r, pose(0.1 * i + 0.3 * trap->armed, i, 0, 0));
      r->flushSpatialState();
    }
    EXPECT_TRUE(r->testEvent(KVRBasicEntity3D::BaseLocationChanged));
    r->flushSpatialState();
    EXPECT_EQ(c->getBaseLocation(), r->getBaseLocation() * c->getRelativeLocation());
    EXPECT_EQ(pending(*r), std::vector<int>{});
    EXPECT_TRUE(isSound(r));
    a->removeSubscriber(KVRMakeEventFunctor(trap.get(), &Trap::onEvent));
    orphan(r, a, b, c, trap);
  }
}

TEST(FreshPose, ComposedNowItAgreesWithTheFlushedBaseLocationAndLeavesThePendingFlushPending) {
  // A chain of 45 frames under a root frame, past two renormalisation depths.
  const Frame root = make<KVRBasicFrame3D>(L"Root");
  const std::vector<Frame> chain = chainOf(45);
  root->addSpatialChild(chain[0]);
  root->flushBaseLocation();
  place(root, pose(1.3, 4, -1, 2, KVRBasicVector3D<double>(-1, 3, 1)));
  chain[44]->setFrameLocation(pose(-0.5, 1, 1, 1));
  chain[10]->setRelativeLocation(pose(0.9, 0, 1, 0));  // not flushed either
  // X_WL composed independently: root first, renormalised at every twentieth level.
  const auto expected = [&](std::size_t level) {
    Xform X = root->getBaseLocation();
    for (std::size_t k = 1; k <= level; ++k) {
      X = X * chain[k - 1]->getRelativeLocation();
      if (k % 20 == 0) X.normalize();
    }
    return X;
  };
  const Xform X_WL = chain[44]->getBaseLocation();
  const auto bits = pending(*chain[44]);
  EXPECT_EQ(chain[44]->computeBaseLocation(), expected(45));
  EXPECT_EQ(chain[19]->computeBaseLocation(), expected(20));
  EXPECT_EQ(root->computeBaseLocation(), root->getBaseLocation());
  EXPECT_EQ(std::tuple(chain[44]->getBaseLocation(), pending(*chain[44])), std::tuple(X_WL, bits));  // kept
  // Relative to another entity it is the other's inverse times this one.
  EXPECT_EQ(chain[44]->computeLocationRelativeTo(chain[30]),
            chain[30]->computeBaseLocation().inverse() * chain[44]->computeBaseLocation());
  EXPECT_EQ(chain[44]->computeLocationRelativeTo(Entity3D()), chain[44]->computeBaseLocation());
  EXPECT_XFORM_NEAR(chain[30]->computeLocationRelativeTo(chain[30]), Xform());
  root->flushSpatialState();  // the flush renormalises at the same levels
  for (std::size_t k = 0; k < chain.size(); ++k)
    EXPECT_EQ(chain[k]->getBaseLocation(), chain[k]->computeBaseLocation()) << k + 1;
  orphan(root);  // each frame is a spatial child only: the chain below stays linked
  for (const auto& frame : chain) frame->orphanObject();
}

TEST(SpatialRing, LinksClosedIntoARingAreRefusedAndAListingBelowItselfChangesNothing) {
  // Only the primitive steps can close the ring; the lists stay out of it.
  auto a = make<KVRBasicFrame3D>(L"A"), b = make<KVRBasicFrame3D>(L"B");
  a->setSpatialParent(b, Xform(), {});
  b->setSpatialParent(a, Xform(), {});
  const std::wstring cycle = L"The spatial parent links above Frame \"/\" form a cycle";
  expectThrowWithText<KVREInvalidRelation>([&] { a->computeBaseLocation(); }, cycle);
  a->clearSpatialParent(0);
  b->clearSpatialParent(0);
  a->addSpatialChild(b);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { b->setSpatialChild(a); },
      L"Frame \"/\" cannot become a spatial child of Frame \"/\", which lies in its own subtree");
  EXPECT_EQ(b->getSpatialChildrenCount(), 0);
  orphan(a, b);
}

}  // namespace
