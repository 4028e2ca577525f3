// Manufacturing assemblies: adding bodies in three forms, taking them out, nesting, refusals, the dump.

#include <functional>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Assembly = KVRSharedHandle<KVRBasicMfgAssembly3D>;
using Frame = KVRSharedHandle<KVRBasicFrame3D>;
using Names = std::vector<std::wstring>;

Names logicalChildren(const KVRSharedHandle<KVRBasicEntity>& e) {
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  return names(children);
}

// World W: a floor R; the fixture F, an assembly, hanging on R at X_RF, still empty; two
// free parts P and Q standing at X_WP and X_WQ, in no world.
class Assemblies : public testing::Test {
 protected:
  void SetUp() override {
    w->addEntity(floor);
    w->addEntity(fixture);
    floor->attachBody(fixture, X_RF);
    p->setCachedBaseLocation(X_WP);
    q->setCachedBaseLocation(X_WQ);
    w->flushLogicalState();
  }
  void TearDown() override {
    w->orphanObject();
    orphan(p, q);
  }
  // Neither in an assembly nor hanging on anything, and alive.
  static bool isFree(const Body& b) {
    return !b->hasLogicalParent() && !b->hasInnerBody() && !b->isOrphaned();
  }
  const Xform X_RF = pose(0.4, 1, 0, 0.5), X_WP = pose(-0.7, 0, 2, 0), X_WQ = pose(1.2, 3, 0, 0.3);
  const Xform X_WF2 = pose(2.1, 4, -3, 1, KVRBasicVector3D<double>(-1, 0.5, 2));
  const Xform I = pose(0.3, 0, 0, 1), O = pose(-1.1, 0.5, 0, 0);
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"Floor");
  Assembly fixture = make<KVRBasicMfgAssembly3D>(L"Fixture");
  KVRSharedHandle<KVRBasicPart3D> p = make<KVRBasicPart3D>(L"P"), q = make<KVRBasicPart3D>(L"Q");
};

TEST_F(Assemblies, AnAddedBodyStaysWhereItIsOrWhereOffsetsOrFramesPutItMovesWithTheAssemblyAndIsDumped) {
  std::ostringstream before, after;
  fixture->dump(before);
  fixture->addBody(p);
  fixture->dump(after);
  std::vector<std::string> expected{std::string(61, '-'), "/W/Fixture ( KVRBasicMfgAssembly3D ) ",
                                    "Relative Location: " + streamed(X_RF, 3),
                                    "Base Location: " + streamed(fixture->getBaseLocation(), 3),
                                    "Body count = 0", "", "Logical children: ", "Spatial children: "};
  EXPECT_EQ(lines(before.str()), expected);
  expected[4] = "Body count = 1";
  expected.insert(expected.begin() + 7, {"/W/Fixture/Fixture-P", "/W/Fixture/P"});
  expected.insert(expected.end(), {"/W/Fixture/P", "Entity Base Location: " + streamed(p->getBaseLocation())});
  EXPECT_EQ(lines(after.str()), expected);
  EXPECT_EQ(std::tuple(logicalChildren(fixture), p->getInnerBody()),
            std::tuple(Names{L"Fixture-P", L"P"}, fixture));
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WP);
  ASSERT_EQ(place(fixture, X_WF2), 2);
  fixture->flushSpatialState();
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WF2 * X_RF.inverse() * X_WP);
  // Added again to the assembly it hangs on: hung anew, with the new offsets.
  fixture->addBody(p, I, O);
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WF2 * I * O.inverse());
  EXPECT_XFORM_NEAR(p->getInnerConnection()->getOuterOffset(), O);
  // Through frames: the part's pin comes to stand on the fixture's seat.
  Frame seat = make<KVRBasicFrame3D>(L"Seat"), pin = make<KVRBasicFrame3D>(L"Pin");
  fixture->addFrame(seat);
  q->addFrame(pin);
  seat->setFrameLocation(pose(0.8, 0.2, 0.1, 0));
  pin->setFrameLocation(pose(-0.5, 0, 0.3, 0.1));
  fixture->addBody(q, seat, pin);
  q->flushSpatialState();
  EXPECT_XFORM_NEAR(pin->getBaseLocation(), seat->getBaseLocation());
  EXPECT_EQ(
      std::tuple(q->getInnerConnection()->getInnerFrame(), logicalChildren(fixture), fixture->getBodyCount()),
      std::tuple(seat, Names{L"Fixture-P", L"P", L"Seat", L"Fixture-Q", L"Q"}, 2u));
}

TEST_F(Assemblies, ABodyLeavesTheAssemblyItHungOnButABodyHangingElsewhereJoinsOnlyLogically) {
  fixture->addBody(p);
  const Assembly tray = make<KVRBasicMfgAssembly3D>(L"Tray");
  tray->addBody(p);
  EXPECT_EQ(std::tuple(fixture->getLogicalChildrenCount(), p->getInnerBody()),
            std::tuple(0, tray));  // unhung
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WP);
  floor->attachBody(q);
  tray->addBody(q);  // on a plain body: left alone
  EXPECT_EQ(std::tuple(q->getInnerBody(), tray->getBodyCount()), std::tuple(floor, 1u));
  // Attached to a part elsewhere (the floor remembered), it joins logically and stays on the part.
  p->attachBody(q, pose(0.1, 0, 0, 0.1));
  ASSERT_EQ(q->getInnerBodyOriginal(), floor);
  tray->addBody(q);
  EXPECT_EQ(std::tuple(q->getLogicalParent(), q->getInnerBody(), tray->getBodyCount()),
            std::tuple(tray, p, 2u));
  tray->removeBody(q);
  EXPECT_EQ(std::tuple(q->getInnerBody(), q->hasLogicalParent()), std::tuple(p, false));
  tray->orphanObject();
}

TEST_F(Assemblies, BodiesAreTakenOutByHandleAndByNameAndLookupsSeeOnlyBodies) {
  fixture->addBody(p);
  fixture->addBody(q);
  const Frame seat = make<KVRBasicFrame3D>(L"Seat");
  fixture->addFrame(seat);
  EXPECT_EQ(fixture->getBody(L"Q"), q);
  // An attachment and a frame are no bodies: not found, and nothing to remove.
  EXPECT_TRUE(fixture->getBody(L"Fixture-P").isNull() && fixture->getBody(L"Seat").isNull());
  fixture->removeBody(L"Seat");
  fixture->destroyBody(L"Fixture-P");
  fixture->removeBody(L"Nothing");
  EXPECT_EQ(fixture->getLogicalChildrenCount(), 5);
  KVRSharedList<KVRBasicBody3D> bodies{floor};
  fixture->getBodies(bodies);  // replaced
  EXPECT_EQ(names(bodies), (Names{L"P", L"Q"}));
  const auto attachment = p->getInnerConnection(), other = q->getInnerConnection();
  fixture->removeBody(L"P");
  EXPECT_TRUE(isFree(p) && attachment->isOrphaned());
  fixture->destroyBody(q);
  EXPECT_TRUE(q->isOrphaned() && other->isOrphaned());
  EXPECT_EQ(logicalChildren(fixture), Names{L"Seat"});
  // Everything at once: removed, only the attachments go; destroyed, all of it.
  fixture->addBody(p);
  const auto third = p->getInnerConnection();
  fixture->removeAll();
  EXPECT_EQ(fixture->getLogicalChildrenCount() + fixture->getSpatialChildrenCount(), 0);
  EXPECT_TRUE(third->isOrphaned() && isFree(p) && !seat->isOrphaned());
  fixture->addBody(p);
  fixture->addFrame(seat);
  fixture->destroyAll();
  EXPECT_TRUE(p->isOrphaned() && seat->isOrphaned());
  EXPECT_EQ(fixture->getLogicalChildrenCount() + fixture->getSpatialChildrenCount(), 0);
}

TEST_F(Assemblies, ReplacingABodyKeepsItsOffsetsRefusalsChangeNothingAndAttachmentsGoByClass) {
  fixture->addBody(p, I, O);
  fixture->replaceBody(p, q);
  EXPECT_XFORM_NEAR(q->getBaseLocation(), X_RF * I * O.inverse());
  EXPECT_TRUE(isFree(p));
  // A body without an attachment (destroyed meanwhile) is replaced with identity offsets.
  fixture->destroyAttachments();
  fixture->replaceBody(q, p);
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_RF);
  const Body placed = make<KVRBasicBody3D>(L"Placed"), held = make<KVRBasicBody3D>(L"Held");
  w->addEntity(placed);
  floor->attachBody(held);
  expectThrowWithText<KVRENotFound>([&] { fixture->replaceBody(q, p); },
                                    L"Part \"/\" is not a logical child of Assembly \"/W/Fixture\"");
  expectThrowWithText<KVREAlreadyRegistered>(
      [&] { fixture->replaceBody(p, p); },
      L"Part \"/W/Fixture/P\" is a logical child of Assembly \"/W/Fixture\"");
  EXPECT_THROW(fixture->replaceBody(p, placed), KVREAlreadyRegistered);  // it has a logical parent
  // It hangs on a plain body: addBody would leave it alone.
  expectThrowWithText<KVREAlreadyRegistered>([&] { fixture->replaceBody(p, held); },
                                             L"Body \"/\" is already connected to another body");
  EXPECT_THROW(fixture->replaceBody(p, Body()), KVREInvalidArgument);
  EXPECT_EQ(std::tuple(logicalChildren(fixture), p->getInnerBody()),
            std::tuple(Names{L"Fixture-P", L"P"}, fixture));
  held->orphanObject();  // in no world: its attachment would keep it alive
  // Destroying attachments by class frees only those bodies; a plain body keeps its attachment.
  const Body plain = make<KVRBasicBody3D>(L"Plain");
  const Assembly sub = make<KVRBasicMfgAssembly3D>(L"Sub");
  for (const Body& b : {plain, Body(sub)}) fixture->addBody(b);
  fixture->destroyAttachments(KVRBasicPart3D::ClassInfo_);
  EXPECT_TRUE(!p->hasInnerBody() && p->getLogicalParent() == fixture && plain->hasInnerBody() &&
              sub->hasInnerBody());
  fixture->destroyAttachments();
  EXPECT_TRUE(!sub->hasInnerBody() && plain->hasInnerBody());
  EXPECT_EQ(logicalChildren(fixture), (Names{L"P", L"Fixture-Plain", L"Plain", L"Sub"}));
  // A freed body is destroyed without an attachment, and hung on again by addBody.
  fixture->destroyBody(sub);
  EXPECT_TRUE(sub->isOrphaned());
  fixture->addBody(p);
  EXPECT_EQ(logicalChildren(fixture), (Names{L"P", L"Fixture-Plain", L"Plain", L"Fixture-P"}));
}

TEST_F(Assemblies, NestedAssembliesKnowTheirParentAndRootAndMoveRelativeToTheirParent) {
  // LeakSanitizer checks that the bodies, attachments and copies are freed.
  const Assembly sub = make<KVRBasicMfgAssembly3D>(L"Sub"), leaf = make<KVRBasicMfgAssembly3D>(L"Leaf");
  fixture->addBody(sub);
  sub->addBody(leaf);
  leaf->addBody(p);
  // A top-level assembly has neither.
  EXPECT_EQ(
      (std::vector<Assembly>{fixture->getRootAssembly(), fixture->getParentAssembly(), sub->getRootAssembly(),
                             leaf->getRootAssembly(), leaf->getParentAssembly()}),
      (std::vector<Assembly>{{}, {}, fixture, fixture, sub}));
  Xform asked = pose(0.3, 0, 1, 0), X_SL = pose(-0.6, 1, 2, 3), location = X_SL;
  EXPECT_EQ(fixture->setAssemblyLocation(asked), 0);  // top level: nothing moves
  EXPECT_XFORM_NEAR(fixture->getBaseLocation(), X_RF);
  EXPECT_EQ(leaf->setAssemblyLocation(location), 2);
  EXPECT_XFORM_NEAR(leaf->getBaseLocation(), sub->getBaseLocation() * X_SL);  // at once
  EXPECT_XFORM_NEAR(leaf->getAssemblyLocation(), X_SL);
  const Xform X_LP = p->getRelativeLocation();
  leaf->flushSpatialState();
  EXPECT_XFORM_NEAR(p->getBaseLocation(), sub->getBaseLocation() * X_SL * X_LP);
  // The root assembly of a world is its first assembly.
  w->addEntity(make<KVRBasicMfgAssembly3D>(L"Second"));
  EXPECT_EQ(KVRBasicMfgAssembly3D::KVRGetRootAssembly(w), fixture);
  EXPECT_TRUE(KVRBasicMfgAssembly3D::KVRGetRootAssembly(KVRSharedHandle<KVRBasicWorld>()).isNull());
  sub->addBody(q);
  fixture->replaceBody(sub, make<KVRBasicPart3D>(L"Spare"));
  fixture->addBody(sub);
  auto copy = duplicate(fixture, KVRDynamicObject::CopyDeep);
  EXPECT_EQ(copy->getBodyCount(), 2u);
  copy->orphanObject();
}

TEST_F(Assemblies, RefusedAddsLeaveTheModelAsItWas) {
  fixture->addBody(p);
  const auto bits = pending(*p);
  const auto unchanged = [&] {
    EXPECT_EQ(std::tuple(logicalChildren(fixture), fixture->getSpatialChildrenCount(),
                         fixture->getInnerBody(), p->getInnerBody(), pending(*p)),
              std::tuple(Names{L"Fixture-P", L"P"}, 1, floor, fixture, bits));
  };
  const Body placed = make<KVRBasicBody3D>(L"Placed");  // in the world: it has a logical parent
  w->addEntity(placed);
  expectThrowWithText<KVREAlreadyRegistered>([&] { fixture->addBody(placed); },
                                             L"Body \"/W/Placed\" is a logical child of World \"/W\"");
  EXPECT_FALSE(placed->hasInnerBody() || placed->hasInnerConnection());
  EXPECT_THROW(fixture->addBody(Body()), KVREInvalidArgument);
  expectThrowWithText<KVREInvalidRelation>([&] { fixture->addBody(fixture); },
                                           L"The inner and outer bodies cannot be the same entity");
  // A sub-assembly cannot take the assembly it hangs on.
  const Assembly tray = make<KVRBasicMfgAssembly3D>(L"Tray"), sub = make<KVRBasicMfgAssembly3D>(L"Sub");
  tray->addBody(sub);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { sub->addBody(tray); },
      L"Assembly \"/\" cannot become a spatial child of Assembly \"/Sub\", which lies in its own subtree");
  EXPECT_EQ(sub->getBodyCount(), 0u);
  // An orphaned assembly is refused, in every form, before P would leave the fixture for it.
  const Frame seat = make<KVRBasicFrame3D>(L"Seat"), pin = make<KVRBasicFrame3D>(L"Pin");
  const Assembly gone = make<KVRBasicMfgAssembly3D>(L"Gone");
  gone->orphanObject();
  for (const auto& add :
       std::vector<std::function<void()>>{[&] { gone->addBody(p); }, [&] { gone->addBody(p, seat, seat); }}) {
    expectThrowWithText<KVREInvalidRelation>(add,
                                             L"Assembly \"/\" has been orphaned and cannot be linked again");
    EXPECT_EQ(p->getLogicalParent(), fixture);
  }
  // Nor does an assembly that leaving would destroy: one below the attachment P hangs on.
  const KVRSharedHandle<KVRBasicConnection3D> attachment = p->getInnerConnection();
  const Assembly below = make<KVRBasicMfgAssembly3D>(L"Below");
  attachment->addLogicalChild(below);
  expectThrowWithText<KVREInvalidRelation>([&] { below->addBody(p); },
                                           L"Assembly \"/W/Fixture/Fixture-P/Below\" lies below Attachment "
                                           L"\"/W/Fixture/Fixture-P\", which is destroyed "
                                           L"when Part \"/W/Fixture/P\" is taken out of its assembly");
  EXPECT_FALSE(below->isOrphaned() || attachment->isOrphaned() || p->getInnerConnection() != attachment);
  unchanged();
  // A body in an assembly that does not hang on it through that assembly's attachment.
  tray->addBody(q);
  floor->grabBody(q, 1);
  q->detachBody();  // back on the tray, through an attachment of its own
  ASSERT_EQ(q->getInnerBody(), tray);
  expectThrowWithText<KVREAlreadyRegistered>([&] { fixture->addBody(q); },
                                             L"Part \"/Q\" is already connected to another body");
  EXPECT_EQ(q->getLogicalParent(), tray);
  unchanged();
  // Through frames.
  const Body loose = make<KVRBasicBody3D>(L"Loose");
  loose->addFrame(pin);
  floor->addFrame(seat);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { fixture->addBody(loose, seat, pin); },
      L"The specified inner frame is not attached to Assembly \"/W/Fixture\"");
  floor->removeFrame(seat);
  fixture->addFrame(seat);
  expectThrowWithText<KVREInvalidRelation>([&] { fixture->addBody(q, seat, pin); },
                                           L"The specified outer frame is not attached to Part \"/Q\"");
  floor->attachBody(loose);
  expectThrowWithText<KVREInvalidRelation>([&] { fixture->addBody(loose, seat, pin); },
                                           L"Body \"/\" is not a logical child of Assembly \"/W/Fixture\"");
  loose->detachBody();
  fixture->addBody(loose, seat, pin);
  expectThrowWithText<KVREAlreadyRegistered>(
      [&] { fixture->addBody(loose, seat, pin); },
      L"Body \"/W/Fixture/Loose\" is already connected to another body");
  EXPECT_EQ(fixture->getBodyCount(), 2u);
  orphan(tray, sub, placed);
}

}  // namespace
