// Names, full names, titles, path lookup and duplication of entities.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;

TEST(EntityNames, ANewEntity) {
  KVRSharedHandle<KVRBasicEntity> e(new KVRBasicEntity);
  EXPECT_EQ(e->getEntityName(KVRBasicEntity::BaseName, L'/'), L"New Entity");
  EXPECT_EQ(fullName(e), L"/");
  EXPECT_EQ(e->getStoredFullName(), L"\nNew Entity");
  EXPECT_EQ(e->getDescription(), L"Description not available");
  EXPECT_EQ(e->getEntityTypeName().scribe(KVRLocale::global()), L"Entity");
  EXPECT_EQ(e->getIntAttribute(), 0);
  EXPECT_TRUE(e->getPendingEvents().none());
  EXPECT_EQ(KVRBasicEntity::DefaultFullName, L"/New Entity");
  EXPECT_EQ(KVRBasicEntity::NameSeparator, L'\n');
}

TEST(EntityNames, RenamingSetsBitsTwoAndThreeAndAnEmptyNameGivesTheDefault) {
  auto e = make(L"Bracket");
  e->flushLogicalState();
  e->setEntityName(L"");
  EXPECT_EQ(e->getEntityName(), L"New Entity");
  EXPECT_EQ(pending(*e), (std::vector<int>{2, 3}));
  e->setEntityName(L"Arm/1");  // no character is refused
  EXPECT_EQ(e->getEntityName(), L"Arm/1");
  EXPECT_EQ(e->getStoredFullName(), L"\nArm/1");
}

// The scene: root R (standing for the universe), W under it, B under W.
class EntityPaths : public testing::Test {
 protected:
  void SetUp() override {
    root->addLogicalChild(world);
    world->addLogicalChild(body);
    body->addLogicalChild(tool);
    root->flushLogicalState();
  }
  void TearDown() override { root->orphanObject(); }

  KVRSharedHandle<KVRBasicEntity> root = make(L"Universe");
  KVRSharedHandle<KVRBasicEntity> world = make(L"W");
  KVRSharedHandle<KVRBasicEntity> body = make(L"B");
  KVRSharedHandle<KVRBasicEntity> tool = make(L"Tool");
};

TEST_F(EntityPaths, ExternalFullNamesStartBelowTheRoot) {
  EXPECT_EQ(body->getStoredFullName(), L"\nUniverse\nW\nB");
  EXPECT_EQ(fullName(body), L"/W/B");
  EXPECT_EQ(fullName(body, L':'), L":W:B");
  EXPECT_EQ(fullName(world), L"/W");
  EXPECT_EQ(fullName(root), L"/");
  EXPECT_EQ(title(body), L"Entity \"/W/B\"");
  EXPECT_EQ(body->getEntityTitle(KVRBasicEntity::BaseName, L'/').scribe(KVRLocale::global()),
            L"Entity \"B\"");
}

TEST_F(EntityPaths, RelativePathsWalkOneChildNamePerComponent) {
  EXPECT_EQ(world->findEntity(L"B", L'/'), body);
  EXPECT_EQ(world->findEntity(L"B/Tool", L'/'), tool);
  EXPECT_EQ(root->findEntity(L"W:B:Tool", L':'), tool);
  EXPECT_TRUE(world->findEntity(L"", L'/').isNull());
  EXPECT_TRUE(world->findEntity(L"B/Missing", L'/').isNull());
  EXPECT_TRUE(world->findEntity(L"B/", L'/').isNull());
  EXPECT_TRUE(world->findEntity(L"b", L'/').isNull());  // case counts
  EXPECT_TRUE(world->findEntity(L"B//Tool", L'/').isNull());
  // Without a world, an absolute path finds nothing.
  EXPECT_TRUE(body->findEntity(L"/W/B", L'/').isNull());
}

TEST_F(EntityPaths, ANameHoldingTheSeparatorIsReachedOnlyWithAnotherSeparator) {
  auto slashed = make(L"A/B");
  world->addLogicalChild(slashed);
  world->flushLogicalState();
  EXPECT_EQ(fullName(slashed), L"/W/A/B");
  EXPECT_EQ(world->findEntity(L"A/B", L':'), slashed);
  EXPECT_TRUE(world->findEntity(L"A/B", L'/').isNull());
}

TEST(EntityDuplication, DeepModesCopyTheChildrenInOrderWithThePrefix) {
  auto arm = make(L"Arm");
  arm->setDescription(L"six axes");
  arm->setIntAttribute(42);
  auto link1 = make(L"Link1");
  auto link2 = make(L"Link2");
  arm->addLogicalChild(link1);
  arm->addLogicalChild(link2);
  link2->addLogicalChild(make(L"Flange"));

  for (auto mode : {KVRDynamicObject::CopyDeep, KVRDynamicObject::CopyDeepAll}) {
    KVRSharedHandle<KVRBasicEntity> copy(static_cast<KVRBasicEntity*>(arm->duplicateObject(mode)));
    EXPECT_EQ(copy->getEntityName(), L"Copy of Arm");
    KVRSharedList<KVRBasicEntity> children;
    copy->getLogicalChildren(children);
    EXPECT_EQ(names(children), (std::vector<std::wstring>{L"Copy of Link1", L"Copy of Link2"}));
    EXPECT_EQ(names(std::vector{children.back()->getLogicalChild(L"Copy of Flange")}),
              std::vector<std::wstring>{L"Copy of Flange"});
    EXPECT_NE(copy->getUUID(), arm->getUUID());
    EXPECT_EQ(copy->getDescription(), L"six axes");
    EXPECT_EQ(copy->getIntAttribute(), 42);
    EXPECT_FALSE(copy->hasLogicalParent());
    copy->orphanObject();
  }
  KVRSharedHandle<KVRBasicEntity> alone(
      static_cast<KVRBasicEntity*>(arm->duplicateObject(KVRDynamicObject::CopyAlone)));
  EXPECT_EQ(alone->getLogicalChildrenCount(), 0);
  EXPECT_EQ(arm->getLogicalChildrenCount(), 2);  // the source is untouched
  arm->orphanObject();
}

// An entity whose copy fails, to break a deep copy half-way.
class Uncopyable : public KVRBasicEntity {
 public:
  static const KVRClassInfo ClassInfo_;
  Uncopyable() = default;
  Uncopyable(const Uncopyable&, CopyMode) { throw std::runtime_error("no copies"); }
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
};
constinit const KVRClassInfo Uncopyable::ClassInfo_ =
    KVRClassInfo::concrete<Uncopyable>("Uncopyable", KVRBasicEntity::ClassInfo_);

TEST(EntityDuplication, AFailedDeepCopyLeavesNothingBehind) {
  // LeakSanitizer checks that the half-built copy and its first child are freed.
  auto arm = make(L"Arm");
  arm->addLogicalChild(make(L"Link"));
  arm->addLogicalChild(make<Uncopyable>(L"Sealed"));
  EXPECT_THROW(arm->duplicateObject(KVRDynamicObject::CopyDeep), std::runtime_error);
  EXPECT_EQ(arm->getLogicalChildrenCount(), 2);
  arm->orphanObject();
}

TEST(EntityDuplication, CloningAnEntitysOwnChildrenAppendsOneCopyOfEach) {
  auto arm = make(L"Arm");
  arm->addLogicalChild(make(L"Link"));
  arm->cloneLogicalChildren(*arm, KVRDynamicObject::CopyDeep);  // must not loop over the copies
  KVRSharedVector<KVRBasicEntity> children;
  arm->getLogicalChildren(children);
  EXPECT_EQ(names(children), (std::vector<std::wstring>{L"Link", L"Copy of Link"}));
  arm->orphanObject();
}

TEST(EntityDuplication, CopyConstructorCopiesNamesButNoTreeOrIdentity) {
  auto source = make(L"Source");
  source->addLogicalChild(make(L"Child"));
  source->addSymbol(new KVRSymbolBase);
  KVRSharedHandle<KVRBasicEntity> copy(new KVRBasicEntity(*source, KVRDynamicObject::CopyDeep));
  EXPECT_EQ(copy->getEntityName(), L"Source");
  EXPECT_EQ(copy->getLogicalChildrenCount(), 0);
  EXPECT_EQ(copy->getSymbolCount(), 0);
  EXPECT_NE(copy->getUUID(), source->getUUID());
  source->orphanObject();
}

TEST(EntityClass, DescriptorAndIdentity) {
  KVRSharedHandle<KVRBasicEntity> e(static_cast<KVRBasicEntity*>(KVRBasicEntity::ClassInfo_.createObject()));
  EXPECT_TRUE(e.isDerivedFrom(KVRExtendibleObject::ClassInfo_));
  EXPECT_TRUE(e->isInstanceOf(KVRBasicEntity::ClassInfo_));
  EXPECT_STREQ(e->getClassName(), "KVRBasicEntity");
  EXPECT_EQ(e->getClassID(), KVRBasicEntity::ClassID_);
  EXPECT_EQ(KVRBasicEntity::ClassInfo_.getBaseClass(), &KVRExtendibleObject::ClassInfo_);
}

}  // namespace
