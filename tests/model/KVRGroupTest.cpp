// Groups: membership, the propagating flags, carrying members, refusals, copies and the dump.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Member = KVRSharedHandle<KVRBasicEntity3D>;

// A group whose entries and ancestor lookups the tests can read.
class OpenGroup : public KVRBasicGroup3D {
 public:
  using KVRBasicGroup3D::getAncestor;
  using KVRBasicGroup3D::getEntries;
  using KVRBasicGroup3D::getPropagatingAncestor;
  std::vector<int> propagatingFlags() const {
    std::vector<int> flags;
    for (const GroupSubEntry& entry : getEntries()) flags.push_back(entry.propagating);
    return flags;
  }
};

// World W: a floor R; the pallet G (the group) hanging on R at X_RG; a box A
// on R at X_RA, with a lid L on A at X_AL; a crate C on R at X_RC, with a
// frame F on it at X_CF. Everything is flushed; nothing is a member yet.
class Groups : public testing::Test {
 protected:
  void SetUp() override {
    for (const Body& b : {floor, box, lid, crate, Body(group)}) w->addEntity(b);
    floor->attachBody(group, X_RG);
    floor->attachBody(box, X_RA);
    floor->attachBody(crate, X_RC);
    box->attachBody(lid, X_AL);
    crate->addFrame(frame);
    frame->setFrameLocation(X_CF);
    w->flushLogicalState();
    flushSpatial(floor, group, box, lid, crate, frame);
  }
  void TearDown() override { w->orphanObject(); }
  static void move(const Member& e, const Xform& X_WE) {
    ASSERT_EQ(place(e, X_WE), 2);
    e->flushSpatialState();
  }
  void moveGroup(const Xform& X_WG) { move(group, X_WG); }
  static void expectPlaced(std::initializer_list<std::pair<Member, Xform>> expected) {
    for (const auto& [e, X_WE] : expected) EXPECT_XFORM_NEAR(e->getBaseLocation(), X_WE) << title(e);
  }
  const Xform X_RG = pose(0.4, 1, 0, 0), X_RA = pose(-0.7, 0, 2, 0), X_AL = pose(1.2, 0, 0, 0.3);
  const Xform X_RC = pose(0.9, -1, -1, 0.5), X_CF = pose(-0.2, 0.1, 0.2, 0.3);
  const Xform X_WG2 = pose(2.1, 4, -3, 1, KVRBasicVector3D<double>(-1, 0.5, 2));
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  Body floor = make<KVRBasicBody3D>(L"Floor"), box = make<KVRBasicBody3D>(L"Box"),
       lid = make<KVRBasicBody3D>(L"Lid"), crate = make<KVRBasicBody3D>(L"Crate");
  KVRSharedHandle<KVRBasicFrame3D> frame = make<KVRBasicFrame3D>(L"Mark");
  KVRSharedHandle<OpenGroup> group = make<OpenGroup>(L"Pallet");
};

TEST_F(Groups, ANewGroupIsInactiveAndCarriesOnlyItsAlwaysActiveMembers) {
  for (const Body& b : {box, crate}) group->addEntity(b);
  group->setEntityAlwaysActive(crate, 7);  // any nonzero value counts
  const Xform X_WA = box->getBaseLocation(), X_GC = X_RG.inverse() * X_RC;
  moveGroup(X_WG2);
  expectPlaced({{box, X_WA}, {crate, X_WG2 * X_GC}, {frame, X_WG2 * X_GC * X_CF}});  // F through C
  // Its own frames and outer bodies follow it in the same flush; a member
  // hanging on it, or below one of its frames, keeps its recorded place.
  auto tool = make<KVRBasicFrame3D>(L"Tool"), hook = make<KVRBasicFrame3D>(L"Hook"),
       pin = make<KVRBasicFrame3D>(L"Pin");
  group->addFrame(tool);
  hook->setFrameLocation(X_AL);
  group->addFrame(hook);
  hook->addSpatialChild(pin);
  group->grabBody(lid, 1);
  const Xform X_GL = X_WG2.inverse() * lid->getBaseLocation();
  group->setEntityAlwaysActive(crate, 0);
  for (const auto& [m, X_GM] : {std::pair{Member(pin), X_CF}, {Member(lid), X_GC}}) {
    group->addEntity(m);
    group->setEntityAlwaysActive(m, 1);
    group->setRelativeLocation(m, X_GM);
  }
  moveGroup(X_RG);
  expectPlaced({{tool, X_RG}, {hook, X_RG * X_AL}, {lid, X_RG * X_GC}, {pin, X_RG * X_CF}});
  EXPECT_XFORM_NEAR(lid->getRelativeLocation(), X_GC);
  EXPECT_FALSE(X_GL.isApprox(X_GC));
  EXPECT_TRUE(isSound(w));
}

TEST_F(Groups, AnActiveGroupCarriesEveryMemberAtThePlaceRecordedWhenActivated) {
  for (const Member& m : {Member(box), Member(crate), Member(frame)}) group->addEntity(m);
  group->activate();
  EXPECT_EQ(group->propagatingFlags(), (std::vector<int>{1, 1, 0}));  // the frame moves with the crate
  const Xform X_WA2 = pose(0.3, 5, 5, 5), X_GA2 = X_WG2.inverse() * X_WA2;
  move(box, X_WA2);
  moveGroup(X_WG2);  // X_WM' = X_WG' · X_WG⁻¹ · X_WM, the box carried back to its recorded place
  const Xform motion = X_WG2 * X_RG.inverse();
  expectPlaced({{box, motion * X_RA}, {lid, motion * X_RA * X_AL}, {frame, motion * X_RC * X_CF}});
  EXPECT_XFORM_NEAR(group->getRelativeLocation(L"Box"), X_RG.inverse() * X_RA);
  // Activating again records where the members stand now.
  move(box, X_WA2);
  group->activate();
  EXPECT_XFORM_NEAR(group->getRelativeLocation(box), X_GA2);
  moveGroup(X_RG);
  EXPECT_XFORM_NEAR(box->getBaseLocation(), X_RG * X_GA2);
  group->deactivate();
  moveGroup(X_WG2);
  EXPECT_XFORM_NEAR(box->getBaseLocation(), X_RG * X_GA2);  // left behind
}

TEST_F(Groups, PropagatingFlagsFollowMembersComingAndGoingAndAMemberBelowAnotherIsMovedOnceWithIt) {
  for (const Body& b : {box, lid, crate}) group->addEntity(b);  // the lid's parent: a propagating member
  EXPECT_EQ(group->propagatingFlags(), (std::vector<int>{1, 0, 1}));
  EXPECT_TRUE(group->getPropagatingAncestor(lid) == box && group->getAncestor(lid) == box);
  // Replacing the box by an entity that is not above the lid keeps the lid's flag cleared.
  auto other = make<KVRBasicFrame3D>(L"Other");
  group->replaceEntity(box, other);
  EXPECT_EQ(group->propagatingFlags(), (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(group->getEntries()[2].entity, other);
  EXPECT_EQ(group->removeEntity(other), 1);  // nothing is above the lid any more
  EXPECT_EQ(group->propagatingFlags(), (std::vector<int>{1, 1}));
  group->addEntity(box);  // after the lid: the lid stops being moved directly
  EXPECT_EQ(group->propagatingFlags(), (std::vector<int>{0, 1, 1}));
  // The lid moves on the box after activation: moved by the group directly, it would
  // be put back at its recorded place. Published once, as moved by an ancestor (11, 12).
  group->activate();
  const Xform X_AL2 = pose(-0.4, 0, 1, 0);
  move(lid, box->getBaseLocation() * X_AL2);
  EventLog log;
  log.watch(lid);
  moveGroup(X_WG2);
  EXPECT_XFORM_NEAR(lid->getBaseLocation(), X_WG2 * X_RG.inverse() * X_RA * X_AL2);
  EXPECT_EQ(log.seen, (EventLog::Seen{{L"Lid", {11, 12}}}));
  lid->removeSubscriber(KVRMakeEventFunctor(&log, &EventLog::onEvent));
  EXPECT_EQ(group->removeEntity(L"Box"), 1);
  EXPECT_EQ(group->propagatingFlags(), (std::vector<int>{1, 1}));
  EXPECT_EQ(group->removeEntity(box), 0);
  for (const Member& m : {Member(box), Member(frame)}) group->addEntity(m);
  group->removeEntities(KVRBasicBody3D::ClassInfo_);
  EXPECT_EQ(group->propagatingFlags(), std::vector<int>{1});
  EXPECT_EQ(group->getEntityCount(), 1u);
}

TEST_F(Groups, MembersAreFoundByHandleAndByBaseNameAndPlacedRelativeToTheGroup) {
  auto twin = make<KVRBasicFrame3D>(L"Box");  // the same base name as the box
  for (const Member& m : {Member(box), Member(twin), Member(frame)}) group->addEntity(m);
  EXPECT_TRUE(group->hasEntity(twin) && group->hasEntity(L"Box") && !group->hasEntity(L"Crate"));
  EXPECT_EQ(group->getEntity(L"Box"), box);  // the first of that name
  EXPECT_TRUE(group->getEntity(L"Nothing").isNull());
  KVRSharedVector<KVRBasicEntity3D> found{crate};
  group->getEntities(found);  // appended after what the caller holds
  EXPECT_EQ(names(found), (std::vector<std::wstring>{L"Crate", L"Box", L"Box", L"Mark"}));
  group->setRelativeLocation(L"Nothing", X_RG);  // names that no member has are ignored
  group->setEntityAlwaysActive(L"Nothing", 1);
  EXPECT_EQ(group->removeEntity(L"Nothing"), 0);
  EXPECT_EQ(group->getEntityCount(), 3u);
  const Xform X_GA = pose(0.6, 0, 1, 1);
  group->setRelativeLocation(L"Box", X_GA);  // moves it at once, even while inactive
  EXPECT_XFORM_NEAR(box->getBaseLocation(), X_RG * X_GA);
  group->setEntityAlwaysActive(box, 1);
  moveGroup(X_WG2);
  EXPECT_XFORM_NEAR(box->getBaseLocation(), X_WG2 * X_GA);
}

TEST_F(Groups, RefusedMembershipChangesAndLinksThatWouldLetAMemberCarryItsGroupChangeNothing) {
  for (const Body& b : {box, lid}) group->addEntity(b);
  const auto unchanged = [&, before = group->propagatingFlags()] {
    EXPECT_EQ(std::tuple(group->getEntityCount(), group->propagatingFlags(), group->getEntries()[0].entity),
              std::tuple(2u, before, Member(box)));
  };
  expectThrowWithText<KVREAlreadyRegistered>([&] { group->addEntity(box); },
                                             L"Entity already exists in Group ");
  expectThrowWithText<KVREInvalidArgument>([&] { group->addEntity(Member()); },
                                           L"An empty handle was given as a member of Group \"/W/Pallet\"");
  expectThrowWithText<KVREInvalidRelation>([&] { group->addEntity(group); },
                                           L"Group \"/W/Pallet\" cannot become a member of itself");
  expectThrowWithText<KVREInvalidRelation>(
      [&] { group->addEntity(floor); },
      L"Body \"/W/Floor\" cannot become a member of Group \"/W/Pallet\": the group moves with it");
  auto carrier = make<KVRBasicGroup3D>(L"Carrier");
  carrier->addEntity(group);
  EXPECT_THROW(group->addEntity(carrier), KVREInvalidRelation);  // each would carry the other
  unchanged();
  expectThrowWithText<KVRENotFound>([&] { group->replaceEntity(crate, frame); },
                                    L"/W/Crate not found in /W/Pallet");
  expectThrowWithText<KVREInvalidRelation>([&] { group->replaceEntity(box, lid); },
                                           L"/W/Lid already in /W/Pallet");
  EXPECT_THROW(group->replaceEntity(box, floor), KVREInvalidRelation);
  EXPECT_THROW(group->replaceEntity(Member(), crate), KVREInvalidArgument);
  EXPECT_THROW(group->replaceEntity(box, Member()), KVREInvalidArgument);
  unchanged();
  carrier->orphanObject();
  // Whatever would hang the active pallet below its member, the box, or the lid on it is refused.
  group->removeEntity(lid);
  group->activate();
  KVRNotifyBasicBody3DList list;
  list.getBodies().push_back(crate);
  list.getBodies().push_back(group);
  const std::vector<std::tuple<const char*, std::function<void()>, const wchar_t*>> links{
      {"attach", [&] { box->attachBody(group, X_RG); }, L"Box"},
      {"grab", [&] { lid->grabBody(group, 1); }, L"Lid"},
      {"grab a list", [&] { box->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), &list); }, L"Box"},
  };
  for (const auto& [what, link, parent] : links) {
    SCOPED_TRACE(what);
    expectThrowWithText<KVREInvalidRelation>(
        link, L"Group \"/W/Pallet\" cannot become a spatial child of Body \"/W/" + std::wstring(parent) +
                  L"\", which moves with it");
    EXPECT_EQ(group->getSpatialParent(), Member(floor));
    EXPECT_EQ(crate->getSpatialParent(), Member(floor));
  }
  EXPECT_XFORM_NEAR(group->getBaseLocation(), X_RG);
  // Nor the other way round: a body hanging below the group joins it as a
  // member, but the group's spatial ancestor does not.
  group->grabBody(crate, 1);
  group->addEntity(crate);
  EXPECT_THROW(group->addEntity(floor), KVREInvalidRelation);
  moveGroup(X_WG2);
  EXPECT_XFORM_NEAR(group->getBaseLocation(), X_WG2);
  EXPECT_TRUE(isSound(w));
}

TEST_F(Groups, TheDumpWritesFourLinesPerMemberACopyHasNoneAndNothingOutlivesItsGroup) {
  const auto dumped = [&] {
    std::ostringstream text;
    group->dump(text);
    return lines(text.str());
  };
  std::vector<std::string> expected{std::string(61, '-'), "/W/Pallet ( KVRBasicGroup3D ) ",
                                    "Base Location: " + streamed(group->getBaseLocation(), 3),
                                    "Entity count = 0", "", "Entities in Group: "};
  EXPECT_EQ(dumped(), expected);
  group->addEntity(box);
  double r, p, y, deg = 180.0 / KVRMathConst::Pi;
  box->getBaseLocation().getRPY(r, p, y);
  expected[3] = "Entity count = 1";
  expected.insert(expected.end(), {"Entity name = /W/Box",
                                   "Location rel. to Group =  " + streamed(group->getRelativeLocation(box), 15),
                                   "Base Location = " + streamed(box->getBaseLocation(), 15),
                                   streamed(r * deg) + ", " + streamed(p * deg) + ", " + streamed(y * deg)});
  EXPECT_EQ(dumped(), expected);
  // A copy has the active state but no members; nothing outlives its group
  // (LeakSanitizer checks that members held only by a group are freed with it).
  auto inner = make<KVRBasicGroup3D>(L"Inner");
  inner->addEntity(make<KVRBasicFrame3D>(L"Loose"));
  group->addEntity(inner);
  group->activate();
  auto copy = duplicate(KVRSharedHandle<KVRBasicGroup3D>(group), KVRDynamicObject::CopyAlone);
  EXPECT_EQ(std::tuple(copy->isActive(), copy->getEntityCount()), std::tuple(1, 0u));
  copy->orphanObject();
  box->orphanObject();  // a destroyed member is carried no more: it refuses location requests
  moveGroup(X_WG2);
  inner->orphanObject();
}

}  // namespace
