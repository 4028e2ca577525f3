// Locations: the request-status protocol, moves, propagation on flush, refusals.

#include <cmath>
#include <limits>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Vec = KVRBasicVector3D<double>;

// The scene: P ── C ── G, a parent P at base location X_WP with a child C at
// X_PC and a grandchild G at X_CG.
class Locations : public testing::Test {
 protected:
  void SetUp() override {
    place(p, X_WP);
    c->relative = X_PC;
    g->relative = X_CG;
    p->addSpatialChild(c);
    c->addSpatialChild(g);
    flushSpatial(p, c, g);
  }
  void TearDown() override { orphan(p, c, g); }
  const Xform X_WP = pose(0.8, 1, -2, 0.5);
  const Xform X_PC = pose(-1.1, 0.3, 0.2, 2, Vec(-2, 1, 0.5));
  const Xform X_CG = pose(2.0, -4, 1, 1, Vec(0, 1, 1));
  KVRSharedHandle<Probe3D> p = make<Probe3D>(L"P"), c = make<Probe3D>(L"C"), g = make<Probe3D>(L"G");
};

TEST_F(Locations, TheRequestStatusDecidesWhatIsAppliedAndReturned) {
  const Xform X_WC = pose(0.4, 5, 5, 5), before = c->getBaseLocation();
  c->adapted = pose(0.1, 0, 0, 1);
  struct Case {
    int status;
    Xform stored;
    std::vector<int> bits;
    std::vector<std::wstring> reports;
  };
  for (const Case& k : {Case{0, before, {}, {}}, Case{7, before, {}, {L"Invalid request status"}},
                        Case{2, X_WC, {10, 11}, {}},                  // applied as given
                        Case{1, X_WP * c->adapted, {10, 11}, {}}}) {  // adapted, returned in base coordinates
    ReportRecorder recorder;
    c->status = k.status;
    Xform request = X_WC;
    EXPECT_EQ(c->setBaseLocation(request), k.status);
    EXPECT_XFORM_NEAR(c->requested, X_WP.inverse() * X_WC);  // asked in parent coordinates
    EXPECT_XFORM_NEAR(request, k.status == 1 ? k.stored : X_WC);
    EXPECT_XFORM_NEAR(c->getBaseLocation(), k.stored);
    EXPECT_EQ(pending(*c), k.bits);
    EXPECT_EQ(recorder.texts(), k.reports);
    c->flushSpatialState();
  }
}

// A moved root moves the subtree at the flush, where the descendants publish
// 11 and 12 depth first; flushBaseLocation forces the location down; a
// cancelled move only marks the children.
TEST_F(Locations, MovingARootMovesTheSubtreeAtTheFlushACancelledMoveOnlyMarksTheChildren) {
  const Xform X_WP2 = pose(-0.6, 3, 3, -1, Vec(1, 0, 1));
  KVRSharedHandle<EventLog> log(new EventLog);
  log->watch(p, c, g);
  EXPECT_EQ(place(p, X_WP2), 2);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP * X_PC * X_CG);
  p->flushSpatialState();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP2 * X_PC);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP2 * X_PC * X_CG);
  EXPECT_EQ(log->seen, (EventLog::Seen{{L"G", {11, 12}}, {L"C", {11, 12}}, {L"P", {10, 11}}}));
  for (auto* e : {&p, &c, &g}) EXPECT_TRUE((*e)->getPendingEvents().none());
  c->relative = pose(0.2, 9, 9, 9);  // the child's cache broken on purpose
  p->flushBaseLocation();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP2 * c->relative);
  flushSpatial(c, g);
  const Xform before = c->getBaseLocation();
  log->seen.clear();
  place(p, pose(1.0, 0, 0, 0));
  p->cancelSpatialState();  // bit 10 stays: the children get bit 12 but no new location
  p->flushSpatialState();
  EXPECT_XFORM_NEAR(c->getBaseLocation(), before);
  EXPECT_EQ(log->seen, (EventLog::Seen{{L"G", {12}}, {L"C", {12}}, {L"P", {10}}}));
  // The unlink primitive that does not keep the place sets no bit (the lists are repaired by hand).
  const Xform X_WG = g->getBaseLocation();
  g->clearSpatialParent(0);
  c->clearSpatialChild(c->findSpatialChild(g));
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WG);
  EXPECT_TRUE(g->getPendingEvents().none());
}

TEST_F(Locations, MovingInAnotherEntitysCoordinatesComposingProfilesIsNotSupported) {
  EXPECT_XFORM_NEAR(g->getBaseLocation(p), X_PC * X_CG);
  EXPECT_XFORM_NEAR(c->getEntityLocation(p), X_WP);  // the parent location as last delivered
  const Xform X_CT = pose(0.5, 1, 1, 1);
  EXPECT_EQ(g->setBaseLocation(X_CT, c), 2);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP * X_PC * X_CT);
  // A motion M in the axes of a reference E is E · M · E⁻¹ · base.
  const Xform X_WC = c->getBaseLocation(), M = pose(0.3, 0.5, -1, 2), before = g->getBaseLocation();
  g->moveBase(M, c);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WC * M * X_WC.inverse() * before);
  g->rotateBase(Vec(0, 0, 1), 0.9, p);
  EXPECT_XFORM_NEAR(g->getBaseLocation(), X_WP * pose(0.9, 0, 0, 0, Vec(0, 0, 1)) * X_WP.inverse() * X_WC *
                                              M * X_WC.inverse() * before);
  // Composing profiles is reported as not supported, and changes nothing.
  ReportRecorder recorder;
  KVRBasicProfile3D<double> profile;
  profile.setLocation(pose(0.5, 1, 2, 3));
  EXPECT_EQ(c->setBaseProfile(profile) + p->setBaseProfile(profile), 0);
  EXPECT_TRUE(c->getPendingEvents().none() && p->getPendingEvents().none());
  EXPECT_XFORM_NEAR(c->getBaseLocation(), X_WP * X_PC);
  EXPECT_XFORM_NEAR(c->relative, X_PC);
  EXPECT_EQ(recorder.texts(), (std::vector<std::wstring>(2, L"Operation not supported")));
  // A profile pushed into the cache still propagates, composing again.
  p->setCachedBaseProfile(profile);
  p->flushSpatialState();
  EXPECT_EQ(recorder.texts().size(), 4u);  // for C and G
}

TEST(LocationDepth, ANormalisedCopyIsStoredAtEveryTwentiethLevel) {
  // A chain of 22 probes whose relative rotation is slightly off unit length.
  std::vector<KVRSharedHandle<Probe3D>> chain{make<Probe3D>(L"N0")};
  for (int i = 1; i < 22; ++i) {
    chain.push_back(make<Probe3D>(L"N" + std::to_wstring(i)));
    chain[i]->relative = Xform(KVRBasicQtn3D<double>(1.0, 0.0, 0.0, 0.0001), Vec(0, 0, 1));
    chain[i - 1]->addSpatialChild(chain[i]);
  }
  chain[0]->flushBaseLocation();
  const auto norm = [&](int i) { return chain[i]->getBaseLocation().getQtn().eigen().norm(); };
  EXPECT_NEAR(norm(20), 1.0, 1e-15);
  EXPECT_TRUE(std::abs(norm(19) - 1.0) > 1e-9 && std::abs(norm(21) - 1.0) > 1e-9);
  for (auto& entity : chain) entity->orphanObject();
}

// Every request refuses a number that is not finite, and a hanging body a
// base profile: each refusal changes nothing, not even at the next flush.
TEST(LocationInput, RefusedRequestsChangeNothing) {
  // H ── B (attached at X_HB) ─┬─ F (at X_BF)    G: a group with member B
  //                             └─ P ── T         A: an assembly holding part Q
  // H, B, G and A in world W.
  auto w = makeWorld(L"W");
  auto h = make<KVRBasicBody3D>(L"H"), b = make<KVRBasicBody3D>(L"B");
  auto f = make<KVRBasicFrame3D>(L"F");
  auto p = make<KVRBasicPath3D>(L"P");
  auto t = make<KVRBasicTagPoint3D>(L"T");
  auto g = make<KVRBasicGroup3D>(L"G");
  auto a = make<KVRBasicMfgAssembly3D>(L"A");
  auto q = make<KVRBasicPart3D>(L"Q");
  const Xform X_HB = pose(0.4, 1, 0, 0), X_BF = pose(-0.3, 0, 2, 0);
  for (const KVRSharedHandle<KVRBasicEntity>& e : {KVRSharedHandle<KVRBasicEntity>(h), {b}, {g}, {a}})
    w->addEntity(e);
  h->attachBody(b, X_HB);
  b->addFrame(f);
  f->setFrameLocation(X_BF);
  b->addPath(p);
  p->addTagPoint(t);
  g->addEntity(b);
  a->addBody(q);
  flushSpatial(h, b, f, p, t, g, a, q);
  const KVRSharedHandle<KVRBasicConnection3D> joint = b->getInnerConnection();
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  Xform farAway = pose(0.2, 1, 1, 1);
  farAway.setPosition(inf, 0, 0);
  KVRBasicProfile3D<double> spinning;
  spinning.setAngularVelocity(Vec(0, 0, nan));
  const Xform fine = pose(0.1, 0, 0, 1);
  const auto state = [&] {  // every location, offset, timing and pending bit the requests could touch
    std::ostringstream out;
    out << std::setprecision(17);
    for (const KVRSharedHandle<KVRBasicEntity3D>& e :
         {KVRSharedHandle<KVRBasicEntity3D>(h), {b}, {f}, {p}, {t}, {g}, {q}})
      out << e->getBaseLocation() << e->getRelativeLocation() << e->getPendingEvents() << "\n";
    out << joint->getInnerOffset() << joint->getOuterOffset() << joint->getPendingEvents()
        << g->getRelativeLocation(b) << t->getVelocity() << t->getTimingMode();
    return out.str();
  };
  const std::string before = state();
  const std::vector<std::pair<const char*, std::function<void()>>> requests{
      {"translate by NaN", [&] { b->translateBase(Vec(nan, 0, 0), KVRMath3D::ParentFrame); }},
      {"rotate by NaN", [&] { b->rotateBase(KVRMath3D::ZAxis, nan, KVRMath3D::LocalFrame); }},
      {"rotate about NaN", [&] { b->rotateBase(Vec(nan, 1, 0), 0.5, KVRMath3D::LocalFrame); }},
      {"rotate by NaN about h", [&] { b->rotateBase(KVRMath3D::XAxis, nan, h); }},
      {"move by infinity", [&] { b->moveBase(farAway, KVRMath3D::ParentFrame); }},
      {"an infinite base", [&] { b->setBaseLocation(farAway); }},
      {"an infinite base in h", [&] { b->setBaseLocation(farAway, h); }},
      {"an infinite frame", [&] { f->setFrameLocation(farAway); }},
      {"an infinite relative", [&] { f->setRelativeLocation(farAway); }},
      {"a spinning profile", [&] { t->setRelativeProfile(spinning); }},
      {"an infinite point on the path", [&] { p->setTagPointRelativeLocation(0, farAway); }},
      {"a NaN velocity", [&] { t->setVelocity(nan); }},
      {"an infinite offset", [&] { joint->setOuterOffset(farAway); }},
      {"an infinite attachment", [&] { h->attachBody(b, farAway); }},
      {"an infinite member place", [&] { g->setRelativeLocation(b, farAway); }},
      {"infinite assembly offsets", [&] { a->addBody(q, fine, farAway); }},
      {"a NaN time", [&] { w->setSimulationTime(KVRSimTime(nan)); }},
  };
  for (const auto& [what, request] : requests) {
    SCOPED_TRACE(what);
    EXPECT_THROW(request(), KVREInvalidArgument);
    EXPECT_EQ(state(), before);
  }
  expectThrowWithText<KVREInvalidArgument>([&] { b->setBaseLocation(farAway); },
                                           L"The base location given to Body \"/W/B\" is not finite");
  ReportRecorder recorder;
  KVRBasicProfile3D<double> profile;
  profile.setLocation(pose(1.0, 5, 5, 5));
  EXPECT_EQ(b->setBaseProfile(profile), 0);
  EXPECT_EQ(recorder.texts(), std::vector<std::wstring>{L"Operation not supported"});
  flushSpatial(b, f);
  EXPECT_EQ(state(), before);
  EXPECT_XFORM_NEAR(f->getBaseLocation(), X_HB * X_BF);
  EXPECT_TRUE(isSound(w));
  w->orphanObject();
}

}  // namespace
