// Manufacturing assemblies: adding bodies in the three forms, taking them
// out, nesting, root assemblies, refusals that leave the model as it was, and
// the dump text.

#include <functional>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Assembly = KVRSharedHandle<KVRBasicMfgAssembly3D>;
using Part = KVRSharedHandle<KVRBasicPart3D>;
using Frame = KVRSharedHandle<KVRBasicFrame3D>;

std::vector<std::wstring> logicalChildren(const KVRSharedHandle<KVRBasicEntity>& e) {
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  return names(children);
}

// The scene, in world W: a floor R; the fixture F, an assembly, hanging on R
// at X_RF; two free parts P and Q standing at X_WP and X_WQ, in no world.
// Nothing has been added to the fixture yet.
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

  // Moves the fixture to X_WF and flushes it.
  void moveFixture(const Xform& X_WF) {
    ASSERT_EQ(place(fixture, X_WF), 2);
    fixture->flushSpatialState();
  }

  const Xform X_RF = pose(0.4, 1, 0, 0.5), X_WP = pose(-0.7, 0, 2, 0), X_WQ = pose(1.2, 3, 0, 0.3);
  const Xform X_WF2 = pose(2.1, 4, -3, 1, KVRBasicVector3D<double>(-1, 0.5, 2));
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"Floor");
  Assembly fixture = make<KVRBasicMfgAssembly3D>(L"Fixture");
  Part p = make<KVRBasicPart3D>(L"P"), q = make<KVRBasicPart3D>(L"Q");
};

TEST_F(Assemblies, AnAddedBodyStaysWhereItIsAndMovesWithTheAssembly) {
  fixture->addBody(p);
  EXPECT_EQ(fixture->getBodyCount(), 1u);
  EXPECT_EQ(logicalChildren(fixture), (std::vector<std::wstring>{L"Fixture-P", L"P"}));
  EXPECT_EQ(p->getInnerBody(), fixture);
  EXPECT_TRUE(p->getInnerConnection()->isInstanceOf(KVRBasicAttachment3D::ClassInfo_));
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WP);
  const Xform X_FP = p->getRelativeLocation();
  EXPECT_XFORM_NEAR(X_FP, X_RF.inverse() * X_WP);

  moveFixture(X_WF2);
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WF2 * X_FP);
  EXPECT_XFORM_NEAR(p->getRelativeLocation(), X_FP);
  EXPECT_EQ(title(p), L"Part \"/W/Fixture/P\"");
}

TEST_F(Assemblies, OffsetsAndFramesPlaceTheAddedBody) {
  const Xform I = pose(0.3, 0, 0, 1), O = pose(-1.1, 0.5, 0, 0);
  fixture->addBody(p, I, O);
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_RF * I * O.inverse());
  EXPECT_XFORM_NEAR(p->getInnerConnection()->getOuterOffset(), O);

  // Through frames: the part's pin comes to stand on the fixture's seat.
  Frame seat = make<KVRBasicFrame3D>(L"Seat"), pin = make<KVRBasicFrame3D>(L"Pin");
  fixture->addFrame(seat);
  q->addFrame(pin);
  Xform X_FS = pose(0.8, 0.2, 0.1, 0), X_QN = pose(-0.5, 0, 0.3, 0.1);
  seat->setFrameLocation(X_FS);
  pin->setFrameLocation(X_QN);
  fixture->addBody(q, seat, pin);
  q->flushSpatialState();
  EXPECT_XFORM_NEAR(pin->getBaseLocation(), seat->getBaseLocation());
  EXPECT_EQ(q->getInnerConnection()->getInnerFrame(), seat);
  EXPECT_EQ(logicalChildren(fixture),
            (std::vector<std::wstring>{L"Fixture-P", L"P", L"Seat", L"Fixture-Q", L"Q"}));
  EXPECT_EQ(fixture->getBodyCount(), 2u);
}

TEST_F(Assemblies, ABodyLeavesTheAssemblyItHungOnButABodyOnAPlainBodyIsLeftAlone) {
  fixture->addBody(p);
  const Assembly tray = make<KVRBasicMfgAssembly3D>(L"Tray");
  tray->addBody(p);
  EXPECT_EQ(fixture->getLogicalChildrenCount(), 0);  // its attachment destroyed
  EXPECT_EQ(p->getInnerBody(), tray);
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_WP);
  // Added again to the assembly it hangs on: hung anew, with the new offsets.
  const Xform I = pose(0.2, 1, 1, 1);
  tray->addBody(p, I, Xform::Identity);
  EXPECT_EQ(logicalChildren(tray), (std::vector<std::wstring>{L"Tray-P", L"P"}));
  EXPECT_XFORM_NEAR(p->getRelativeLocation(), I);

  floor->attachBody(q);
  fixture->addBody(q);
  EXPECT_EQ(q->getInnerBody(), floor);
  EXPECT_EQ(fixture->getBodyCount(), 0u);
  tray->orphanObject();
}

TEST_F(Assemblies, ABodyAttachedToAPartElsewhereJoinsOnlyLogically) {
  fixture->addBody(p);
  floor->attachBody(q);
  p->attachBody(q, pose(0.1, 0, 0, 0.1));  // remembers the floor as where it hung before
  ASSERT_EQ(q->getInnerBodyOriginal(), floor);
  fixture->addBody(q);
  EXPECT_EQ(q->getLogicalParent(), fixture);
  EXPECT_EQ(q->getInnerBody(), p);
  EXPECT_EQ(fixture->getBodyCount(), 2u);

  fixture->removeBody(q);  // it keeps hanging on the part
  EXPECT_EQ(q->getInnerBody(), p);
  EXPECT_FALSE(q->hasLogicalParent());
}

TEST_F(Assemblies, BodiesAreTakenOutByHandleAndByNameAndLookupsSeeOnlyBodies) {
  fixture->addBody(p);
  fixture->addBody(q);
  fixture->addFrame(make<KVRBasicFrame3D>(L"Seat"));
  EXPECT_EQ(fixture->getBody(L"Q"), q);
  // An attachment and a frame are no bodies: not found, and nothing to remove.
  EXPECT_TRUE(fixture->getBody(L"Fixture-P").isNull());
  EXPECT_TRUE(fixture->getBody(L"Seat").isNull());
  fixture->removeBody(L"Seat");
  fixture->destroyBody(L"Fixture-P");
  fixture->removeBody(L"Nothing");
  EXPECT_EQ(fixture->getLogicalChildrenCount(), 5);

  KVRSharedList<KVRBasicBody3D> bodies{floor};
  fixture->getBodies(bodies);  // replaced
  EXPECT_EQ(names(bodies), (std::vector<std::wstring>{L"P", L"Q"}));

  const auto attachment = p->getInnerConnection();
  fixture->removeBody(L"P");
  EXPECT_FALSE(p->hasLogicalParent() || p->hasInnerBody() || p->isOrphaned());
  EXPECT_TRUE(attachment->isOrphaned());

  const auto other = q->getInnerConnection();
  fixture->destroyBody(q);
  EXPECT_TRUE(q->isOrphaned() && other->isOrphaned());
  EXPECT_EQ(logicalChildren(fixture), std::vector<std::wstring>{L"Seat"});
}

TEST_F(Assemblies, ReplacingABodyKeepsItsOffsets) {
  const Xform I = pose(0.3, 0, 0, 1), O = pose(-1.1, 0.5, 0, 0);
  fixture->addBody(p, I, O);
  fixture->replaceBody(p, q);
  EXPECT_EQ(q->getInnerBody(), fixture);
  EXPECT_XFORM_NEAR(q->getBaseLocation(), X_RF * I * O.inverse());
  EXPECT_FALSE(p->hasLogicalParent() || p->hasInnerBody() || p->isOrphaned());

  // A body without an attachment (destroyed meanwhile) is replaced with identity offsets.
  fixture->destroyAttachments();
  fixture->replaceBody(q, p);
  EXPECT_XFORM_NEAR(p->getBaseLocation(), X_RF);
  EXPECT_EQ(logicalChildren(fixture), (std::vector<std::wstring>{L"Fixture-P", L"P"}));
}

TEST_F(Assemblies, DestroyingAttachmentsByClassFreesOnlyThoseBodies) {
  const Body plain = make<KVRBasicBody3D>(L"Plain");
  const Assembly sub = make<KVRBasicMfgAssembly3D>(L"Sub");
  for (const Body& b : {Body(p), plain, Body(sub)}) fixture->addBody(b);
  fixture->destroyAttachments(KVRBasicPart3D::ClassInfo_);
  EXPECT_FALSE(p->hasInnerBody());
  EXPECT_EQ(p->getLogicalParent(), fixture);
  EXPECT_TRUE(plain->hasInnerBody() && sub->hasInnerBody());

  fixture->destroyAttachments();  // parts and sub-assemblies; a plain body keeps its attachment
  EXPECT_FALSE(sub->hasInnerBody());
  EXPECT_TRUE(plain->hasInnerBody());
  EXPECT_EQ(logicalChildren(fixture), (std::vector<std::wstring>{L"P", L"Fixture-Plain", L"Plain", L"Sub"}));

  // A freed body is destroyed without an attachment, and hung on again by addBody.
  fixture->destroyBody(sub);
  EXPECT_TRUE(sub->isOrphaned());
  fixture->addBody(p);
  EXPECT_EQ(p->getInnerBody(), fixture);
  EXPECT_EQ(logicalChildren(fixture),
            (std::vector<std::wstring>{L"P", L"Fixture-Plain", L"Plain", L"Fixture-P"}));
}

TEST_F(Assemblies, NestedAssembliesKnowTheirParentAndRootAndMoveRelativeToTheirParent) {
  const Assembly sub = make<KVRBasicMfgAssembly3D>(L"Sub"), leaf = make<KVRBasicMfgAssembly3D>(L"Leaf");
  fixture->addBody(sub);
  sub->addBody(leaf);
  leaf->addBody(p);
  EXPECT_TRUE(fixture->getRootAssembly().isNull());  // a top-level assembly has none
  EXPECT_EQ(sub->getRootAssembly(), fixture);
  EXPECT_EQ(leaf->getRootAssembly(), fixture);
  EXPECT_EQ(leaf->getParentAssembly(), sub);
  EXPECT_TRUE(fixture->getParentAssembly().isNull());

  Xform asked = pose(0.3, 0, 1, 0);
  EXPECT_EQ(fixture->setAssemblyLocation(asked), 0);  // top level: nothing moves
  EXPECT_XFORM_NEAR(fixture->getBaseLocation(), X_RF);
  const Xform X_SL = pose(-0.6, 1, 2, 3);
  Xform location = X_SL;
  EXPECT_EQ(leaf->setAssemblyLocation(location), 2);
  EXPECT_XFORM_NEAR(leaf->getAssemblyLocation(), X_SL);
  EXPECT_XFORM_NEAR(leaf->getBaseLocation(), sub->getBaseLocation() * X_SL);  // at once
  const Xform X_LP = p->getRelativeLocation();
  leaf->flushSpatialState();
  EXPECT_XFORM_NEAR(p->getBaseLocation(), sub->getBaseLocation() * X_SL * X_LP);

  // The root assembly of a world is its first assembly.
  const Assembly second = make<KVRBasicMfgAssembly3D>(L"Second");
  w->addEntity(second);
  EXPECT_EQ(KVRBasicMfgAssembly3D::KVRGetRootAssembly(w), fixture);
  EXPECT_TRUE(KVRBasicMfgAssembly3D::KVRGetRootAssembly(KVRSharedHandle<KVRBasicWorld>()).isNull());
}

TEST_F(Assemblies, RefusedAddsLeaveTheModelAsItWas) {
  fixture->addBody(p);
  const auto unchanged = [&] {
    EXPECT_EQ(logicalChildren(fixture), (std::vector<std::wstring>{L"Fixture-P", L"P"}));
    EXPECT_EQ(fixture->getSpatialChildrenCount(), 1);
    EXPECT_EQ(fixture->getInnerBody(), floor);
  };

  // A body placed in the world already has a logical parent.
  const Body placed = make<KVRBasicBody3D>(L"Placed");
  w->addEntity(placed);
  expectThrowWithText<KVREAlreadyRegistered>([&] { fixture->addBody(placed); },
                                             L"Body \"/W/Placed\" is a logical child of World \"/W\"");
  EXPECT_FALSE(placed->hasInnerBody() || placed->hasInnerConnection());
  unchanged();

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
  const Frame seat = make<KVRBasicFrame3D>(L"Seat"), pin = make<KVRBasicFrame3D>(L"Pin");
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

TEST_F(Assemblies, AnOrphanedAssemblyTakesNoBodyAndTheBodyStaysInItsOwn) {
  // P hangs on the fixture; an assembly orphaned since is refused before P
  // would leave the fixture for it.
  fixture->addBody(p);
  const Assembly gone = make<KVRBasicMfgAssembly3D>(L"Gone");
  gone->orphanObject();
  const Frame seat = make<KVRBasicFrame3D>(L"Seat");
  const auto bits = pending(*p);
  for (const auto& add : std::vector<std::function<void()>>{[&] { gone->addBody(p); },
                                                            [&] { gone->addBody(p, Xform(), Xform()); },
                                                            [&] { gone->addBody(p, seat, seat); }}) {
    EXPECT_THROW(add(), KVREInvalidRelation);
    EXPECT_EQ(p->getInnerBody(), fixture);
    EXPECT_EQ(p->getLogicalParent(), fixture);
    EXPECT_EQ(pending(*p), bits);
  }
  expectThrowWithText<KVREInvalidRelation>([&] { gone->addBody(p); },
                                           L"Assembly \"/\" has been orphaned and cannot be linked again");
  // Nor does an assembly that leaving would destroy: one below the attachment P hangs on.
  const KVRSharedHandle<KVRBasicConnection3D> attachment = p->getInnerConnection();
  const Assembly below = make<KVRBasicMfgAssembly3D>(L"Below");
  attachment->addLogicalChild(below);
  expectThrowWithText<KVREInvalidRelation>(
      [&] { below->addBody(p); },
      L"Assembly \"/W/Fixture/Fixture-P/Below\" lies below Attachment "
      L"\"/W/Fixture/Fixture-P\", which is destroyed when Part \"/W/Fixture/P\" "
      L"is taken out of its assembly");
  EXPECT_FALSE(below->isOrphaned() || attachment->isOrphaned());
  EXPECT_EQ(p->getInnerConnection(), attachment);
  EXPECT_EQ(pending(*p), bits);
  orphan(seat);
}

TEST_F(Assemblies, RefusedReplacementsLeaveTheModelAsItWas) {
  fixture->addBody(p);
  const Body placed = make<KVRBasicBody3D>(L"Placed"), held = make<KVRBasicBody3D>(L"Held");
  w->addEntity(placed);
  floor->attachBody(held);
  const auto unchanged = [&] {
    EXPECT_EQ(logicalChildren(fixture), (std::vector<std::wstring>{L"Fixture-P", L"P"}));
    EXPECT_EQ(p->getInnerBody(), fixture);
  };
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
  unchanged();
  held->orphanObject();  // in no world: its attachment would keep it alive
}

TEST_F(Assemblies, RemovingAndDestroyingEverything) {
  const Frame seat = make<KVRBasicFrame3D>(L"Seat");
  fixture->addFrame(seat);
  fixture->addBody(p);
  const auto attachment = p->getInnerConnection();
  fixture->removeAll();
  EXPECT_EQ(fixture->getLogicalChildrenCount() + fixture->getSpatialChildrenCount(), 0);
  EXPECT_TRUE(attachment->isOrphaned());
  EXPECT_FALSE(p->isOrphaned() || seat->isOrphaned() || p->hasInnerBody());

  fixture->addBody(p);
  fixture->addFrame(seat);
  fixture->destroyAll();
  EXPECT_TRUE(p->isOrphaned() && seat->isOrphaned());
  EXPECT_EQ(fixture->getLogicalChildrenCount() + fixture->getSpatialChildrenCount(), 0);
}

TEST_F(Assemblies, TheDumpWritesTheAssemblyAndItsChildren) {
  std::ostringstream empty;
  fixture->dump(empty);
  const std::vector<std::string> head{std::string(61, '-'), "/W/Fixture ( KVRBasicMfgAssembly3D ) ",
                                      "Relative Location: " + streamed(X_RF, 3),
                                      "Base Location: " + streamed(fixture->getBaseLocation(), 3)};
  std::vector<std::string> expected = head;
  for (const char* line : {"Body count = 0", "", "Logical children: ", "Spatial children: "})
    expected.emplace_back(line);
  EXPECT_EQ(lines(empty.str()), expected);

  fixture->addBody(p);
  std::ostringstream one;
  fixture->dump(one);
  expected = head;
  for (const char* line : {"Body count = 1", "", "Logical children: ", "/W/Fixture/Fixture-P", "/W/Fixture/P",
                           "Spatial children: ", "/W/Fixture/P"})
    expected.emplace_back(line);
  expected.push_back("Entity Base Location: " + streamed(p->getBaseLocation()));
  EXPECT_EQ(lines(one.str()), expected);
}

TEST_F(Assemblies, BuildingMovingNestingAndDestroyingLeavesNothingBehind) {
  // LeakSanitizer checks that bodies and attachments are freed.
  const Assembly sub = make<KVRBasicMfgAssembly3D>(L"Sub");
  fixture->addBody(sub);
  sub->addBody(p);
  sub->addBody(q);
  moveFixture(X_WF2);
  fixture->replaceBody(sub, make<KVRBasicPart3D>(L"Spare"));
  fixture->addBody(sub);
  auto copy = duplicate(fixture, KVRDynamicObject::CopyDeep);
  EXPECT_TRUE(copy->isInstanceOf(KVRBasicMfgAssembly3D::ClassInfo_));
  EXPECT_EQ(copy->getBodyCount(), 2u);
  copy->orphanObject();
}

}  // namespace
