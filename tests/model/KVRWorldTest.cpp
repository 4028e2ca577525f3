// Worlds and the universe: the singleton, worlds' entity operations,
// simulation time, getWorld from every level, absolute paths.

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
    w->flushLogicalState();
    v->flushLogicalState();
  }
  void TearDown() override {
    universe->orphanLogicalChild(w);
    universe->orphanLogicalChild(v);
  }

  KVRSharedHandle<KVRBasicUniverse> universe = KVRBasicUniverse::getUniverse();
  KVRSharedHandle<KVRBasicWorld> w = make<KVRBasicWorld>(L"W"), v = make<KVRBasicWorld>(L"V");
  KVRSharedHandle<KVRBasicEntity> b = make(L"B"), t = make(L"T"), x = make(L"X");
};

TEST_F(Worlds, TheUniverseIsASingleNamedEntity) {
  EXPECT_EQ(KVRBasicUniverse::getUniverse(), universe);
  EXPECT_EQ(KVRBasicUniverse::hSingleUniverse, universe);
  EXPECT_EQ(universe->getEntityName(), L"Universe");
  EXPECT_EQ(universe->getEntityTypeName().scribe(KVRLocale::global()), L"Entity");
  EXPECT_EQ(fullName(universe), L"/");
  EXPECT_EQ(w->getStoredFullName(), L"\nUniverse\nW");
  EXPECT_EQ(fullName(w), L"/W");
  EXPECT_EQ(title(b), L"Entity \"/W/B\"");
  EXPECT_EQ(title(w), L"World \"/W\"");
}

TEST_F(Worlds, GetWorldFromEveryLevel) {
  EXPECT_EQ(t->getWorld(), w);
  EXPECT_EQ(b->getWorld(), w);
  EXPECT_EQ(w->getWorld(), w);
  EXPECT_TRUE(universe->getWorld().isNull());
  auto loose = make(L"Loose");
  EXPECT_TRUE(loose->getWorld().isNull());
  // A world nested in another entity still finds itself.
  auto nested = make<KVRBasicWorld>(L"Nested");
  b->addLogicalChild(nested);
  EXPECT_EQ(nested->getWorld(), nested);
}

TEST_F(Worlds, EntitiesReportTheirWorldsSimulationTime) {
  EXPECT_EQ(w->getSimulationTime(), KVRSimTime(0.0));
  w->setSimulationTime(KVRSimTime(12.5));
  EXPECT_TRUE(w->testEvent(KVRBasicWorld::SimulationTimeChanged));
  EXPECT_EQ(t->getSimulationTime(), KVRSimTime(12.5));
  EXPECT_EQ(x->getSimulationTime(), KVRSimTime(0.0));
  // An entity in no world reads zero rather than failing.
  EXPECT_EQ(make(L"Loose")->getSimulationTime(), KVRSimTime(0.0));
}

TEST_F(Worlds, AbsoluteAndRelativePaths) {
  EXPECT_EQ(t->findEntity(L"/W/B", L'/'), b);
  EXPECT_EQ(t->findEntity(L"/X/B", L'/'), b);  // the first component stands for the world
  EXPECT_EQ(t->findEntity(L"/W/B/T", L'/'), t);
  EXPECT_EQ(t->findEntity(L":W:B", L':'), b);
  EXPECT_TRUE(t->findEntity(L"/W", L'/').isNull());
  EXPECT_TRUE(make(L"Loose")->findEntity(L"/W/B", L'/').isNull());
  EXPECT_EQ(w->findEntity(L"B/T", L'/'), t);
  // The universe's own lookup walks one component per level.
  EXPECT_EQ(universe->findEntity(L"W\nB\nT"), t);
  EXPECT_EQ(universe->findEntity(L"\nW\nB"), b);
  EXPECT_EQ(universe->findEntity(L"V/X", L'/'), x);
  EXPECT_TRUE(universe->findEntity(L"W\nT").isNull());
  EXPECT_TRUE(universe->findEntity(L"").isNull());
}

TEST_F(Worlds, EntityOperationsSeeOnlyDirectChildren) {
  EXPECT_TRUE(w->hasEntity(b));
  EXPECT_FALSE(w->hasEntity(t));
  KVRSharedVector<KVRBasicEntity> entities;
  w->getEntities(entities);
  EXPECT_EQ(names(entities), std::vector<std::wstring>{L"B"});
  EXPECT_EQ(w->getEntityCount(), 1);
  EXPECT_EQ(w->getEntityCount(KVRBasicWorld::ClassInfo_), 0);
  expectThrowWithText<KVRENotFound>([&] { w->removeEntity(x); },
                                    L"Entity \"/V/X\" is not a logical child of World \"/W\"");
  expectThrowWithText<KVREAlreadyRegistered>([&] { w->addEntity(x); },
                                             L"Entity \"/V/X\" has already been assigned a logical parent");
}

TEST_F(Worlds, RemovingKeepsTheSubtreeDestroyingOrphansIt) {
  w->removeEntity(b);
  EXPECT_FALSE(b->isOrphaned());
  EXPECT_EQ(b->getLogicalChild(L"T"), t);
  w->addEntity(b);
  w->destroyEntity(b);
  EXPECT_TRUE(b->isOrphaned());
  EXPECT_TRUE(t->isOrphaned());
  EXPECT_EQ(w->getEntityCount(), 0);
}

TEST_F(Worlds, CopiesOfWorldsAndOfTheUniverse) {
  w->setSimulationTime(KVRSimTime(3.0));
  KVRSharedHandle<KVRBasicWorld> copy(new KVRBasicWorld(*w));
  EXPECT_EQ(copy->getEntityName(), L"W");
  EXPECT_EQ(copy->getSimulationTime(), KVRSimTime(3.0));
  KVRSharedHandle<KVRBasicUniverse> other(new KVRBasicUniverse(*universe));
  EXPECT_EQ(other->getEntityName(), L"New Entity");
  EXPECT_NE(other, KVRBasicUniverse::getUniverse());
  KVRSharedHandle<KVRBasicEntity> duplicate(
      static_cast<KVRBasicEntity*>(w->duplicateObject(KVRDynamicObject::CopyDeep)));
  EXPECT_TRUE(duplicate->isInstanceOf(KVRBasicWorld::ClassInfo_));
  EXPECT_EQ(duplicate->getLogicalChild(L"Copy of B")->getLogicalChildrenCount(), 1);
  duplicate->orphanObject();
}

TEST(WorldLifetime, AWorldLeftInTheUniverseIsFreedWhenTheLibraryUnloads) {
  // Nothing destroys this world: LeakSanitizer checks at exit that the
  // universe was orphaned before it was released.
  auto world = make<KVRBasicWorld>(L"Left Behind");
  KVRBasicUniverse::getUniverse()->addEntity(world);
  auto body = make<Probe3D>(L"Body");
  world->addEntity(body);
  auto part = make<Probe3D>(L"Part");
  body->addSpatialChild(part);
  world->addEntity(part);
  SUCCEED();
}

}  // namespace
