// Worlds and the universe: entities, simulation time, full names and paths.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;

// The scene: the universe U, world W under it holding body B, which holds
// tag T; a second world V holding X.
class Worlds : public testing::Test {
 protected:
  void SetUp() override {
    universe->addEntity(w);
    universe->addEntity(v);
    w->addEntity(b);
    b->addLogicalChild(t);
    v->addEntity(x);
    universe->flushLogicalState();
  }
  void TearDown() override {
    universe->orphanLogicalChild(w);
    universe->orphanLogicalChild(v);
  }
  KVRSharedHandle<KVRBasicUniverse> universe = KVRBasicUniverse::getUniverse();
  KVRSharedHandle<KVRBasicWorld> w = make<KVRBasicWorld>(L"W"), v = make<KVRBasicWorld>(L"V");
  KVRSharedHandle<KVRBasicEntity> b = make(L"B"), t = make(L"T"), x = make(L"X");
};

TEST_F(Worlds, EveryLevelFindsItsWorldAndItsTimeAndWorldsSeeOnlyTheirDirectChildren) {
  EXPECT_EQ(title(w), L"World \"/W\"");
  EXPECT_TRUE(t->getWorld() == w && w->getWorld() == w);
  EXPECT_TRUE(universe->getWorld().isNull() && make(L"Loose")->getWorld().isNull());
  auto nested = make<KVRBasicWorld>(L"Nested");  // nested in another entity, it still finds itself
  b->addLogicalChild(nested);
  EXPECT_EQ(nested->getWorld(), nested);
  // Every entity reports its world's simulation time; one in no world reads zero.
  w->setSimulationTime(KVRSimTime(12.5));
  EXPECT_TRUE(w->testEvent(KVRBasicWorld::SimulationTimeChanged));
  EXPECT_EQ(t->getSimulationTime(), KVRSimTime(12.5));
  EXPECT_TRUE(x->getSimulationTime() == KVRSimTime(0.0) &&
              make(L"L")->getSimulationTime() == KVRSimTime(0.0));
  // Entity operations see only direct children.
  EXPECT_FALSE(w->hasEntity(t));
  KVRSharedVector<KVRBasicEntity> entities;
  w->getEntities(entities);
  EXPECT_EQ(names(entities), std::vector<std::wstring>{L"B"});
  EXPECT_THROW(w->removeEntity(x), KVRENotFound);
  EXPECT_THROW(w->addEntity(x), KVREAlreadyRegistered);
  // Removing keeps the subtree, destroying orphans it.
  w->removeEntity(b);
  EXPECT_TRUE(!b->isOrphaned() && b->getLogicalChild(L"T") == t);
  w->addEntity(b);
  w->destroyEntity(b);
  EXPECT_TRUE(b->isOrphaned() && t->isOrphaned());
  EXPECT_EQ(w->getEntityCount(), 0);
}

TEST_F(Worlds, FullNamesStartBelowTheUniverseAndPathsWalkOneNamePerComponent) {
  EXPECT_EQ(fullName(b, L':'), L":W:B");
  EXPECT_EQ(t->findEntity(L"/W/B", L'/'), b);
  EXPECT_EQ(t->findEntity(L"/X/B", L'/'), b);  // the first component stands for the world
  EXPECT_TRUE(t->findEntity(L"/W", L'/').isNull() && make(L"L")->findEntity(L"/W/B", L'/').isNull());
  // The universe's own lookup walks one component per level, and answers
  // the same through a handle of any type.
  const KVRSharedHandle<KVRBasicEntity> asEntity = universe;
  for (const wchar_t* path : {L"W\nB\nT", L"W/B/T", L"/W/B/T", L"\nW\nB\nT"})
    EXPECT_TRUE(universe->findEntity(path) == t && asEntity->findEntity(path) == t) << path;
  EXPECT_TRUE(universe->findEntity(L"V/X", L'/') == x && universe->findEntity(L":V:X", L':') == x);
  EXPECT_TRUE(universe->findEntity(L"W\nT").isNull() && universe->findEntity(L"").isNull());
  EXPECT_EQ(w->findEntity(L"B/T", L'/'), t);
  for (const wchar_t* missing : {L"", L"B/Missing", L"B/", L"b", L"B//T"})
    EXPECT_TRUE(w->findEntity(missing, L'/').isNull()) << missing;
  // A name holding the separator is reached only with another separator.
  auto slashed = make(L"A/B");
  w->addEntity(slashed);
  w->flushLogicalState();
  EXPECT_EQ(fullName(slashed), L"/W/A/B");
  EXPECT_TRUE(w->findEntity(L"A/B", L':') == slashed && w->findEntity(L"A/B", L'/').isNull());
}

// Nothing destroys this world: LeakSanitizer checks at exit that the
// universe was orphaned before it was released.
TEST(WorldLifetime, AWorldLeftInTheUniverseIsFreedWhenTheLibraryUnloads) {
  auto world = makeWorld(L"Left Behind");
  auto body = make<Probe3D>(L"Body"), part = make<Probe3D>(L"Part");
  world->addEntity(body);
  body->addSpatialChild(part);
  world->addEntity(part);
}

}  // namespace
