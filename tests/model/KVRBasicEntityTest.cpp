// Names and duplication of entities.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Names = std::vector<std::wstring>;

TEST(EntityNames, DefaultsAndRenamingWhichSetsBitsTwoAndThree) {
  auto e = make(L"");
  EXPECT_EQ(e->getEntityName(), L"New Entity");  // an empty name gives the default
  EXPECT_EQ(fullName(e), L"/");
  EXPECT_EQ(e->getStoredFullName(), L"\nNew Entity");
  e->flushLogicalState();
  e->setEntityName(L"Arm/1");  // no character is refused
  EXPECT_EQ(e->getStoredFullName(), L"\nArm/1");
  EXPECT_EQ(pending(*e), (std::vector<int>{2, 3}));
}

TEST(EntityNames, ANameHoldingTheFullNameSeparatorIsRefused) {
  auto w = makeWorld(L"W");
  auto b = make(L"B");
  w->addEntity(b);
  w->flushLogicalState();
  b->flushLogicalState();
  expectThrowWithText<KVREInvalidArgument>([&] { b->setEntityName(L"Left\nRight"); },
                                           L"A line feed cannot be part of the name of Entity \"/W/B\"");
  EXPECT_EQ(b->getEntityName(), L"B");
  EXPECT_EQ(fullName(b), L"/W/B");
  EXPECT_TRUE(b->getPendingEvents().none());
  b->setEntityName(L"C");  // a later rename replaces the whole last component
  EXPECT_EQ(b->getStoredFullName(), L"\nUniverse\nW\nC");
  w->orphanObject();
}

// Names of one-byte characters are kept a byte each, others as given: both
// read back, compare, and make full names and copies' names unchanged.
TEST(EntityNames, EveryCharacterSurvivesWhicheverWayTheNameIsKept) {
  auto w = makeWorld(L"W");
  const std::wstring latin = L"Gr\u00fc\u00dfe \u00ff\u0001";  // the last byte value, a control character
  const std::wstring wide = L"\u0100 \u041f\u0440\u0438\u0432\u043e\u0434 \U0001F916";
  auto a = make(latin);
  auto b = make(wide);
  w->addEntity(a);
  a->addLogicalChild(b);
  w->flushLogicalState();
  a->flushLogicalState();
  EXPECT_EQ(a->getEntityName(), latin);
  EXPECT_EQ(b->getEntityName(), wide);
  EXPECT_EQ(fullName(b), L"/W/" + latin + L"/" + wide);
  EXPECT_EQ(w->getLogicalChild(latin), a);
  EXPECT_EQ(a->getLogicalChild(wide), b);
  // Same length, differing only above one byte: no match.
  EXPECT_FALSE(w->getLogicalChild(L"Gr\u00fc\u00dfe \u01ff\u0001"));
  EXPECT_FALSE(a->getLogicalChild(L"\u0100 \u041f\u0440\u0438\u0432\u043e\u0434 \U0001F917"));
  const auto copy = KVRDuplicate(b);
  EXPECT_EQ(copy->getEntityName(), L"Copy of " + wide);
  EXPECT_TRUE(isSound(w));
  copy->orphanObject();
  w->orphanObject();
}

TEST(EntityDuplication, ACopyIsARootUntilItIsAdopted) {
  auto w = makeWorld(L"W");
  auto body = make<KVRBasicBody3D>(L"B");
  w->addEntity(body);
  w->flushLogicalState();
  KVRSharedHandle<KVRBasicBody3D> copy = KVRDuplicate(body);  // typed like its source
  EXPECT_EQ(copy->getEntityName(), L"Copy of B");
  EXPECT_EQ(title(copy), L"Body \"/\"");
  EXPECT_EQ(copy->getStoredFullName(), L"\nCopy of B");
  w->addEntity(copy);
  EXPECT_EQ(fullName(copy), L"/W/Copy of B");
  EXPECT_TRUE(KVRDuplicate(KVRSharedHandle<KVRBasicBody3D>()).isNull());
  EXPECT_TRUE(isSound(w));
  w->orphanObject();
}

// The scene: Arm ─┬─ Link1
//                 └─ Link2 ── Flange
TEST(EntityDuplication, DeepModesCopyTheChildrenInOrderWithThePrefix) {
  auto arm = make(L"Arm"), link2 = make(L"Link2");
  arm->setDescription(L"six axes");
  arm->addLogicalChild(make(L"Link1"));
  arm->addLogicalChild(link2);
  link2->addLogicalChild(make(L"Flange"));
  for (auto mode : {KVRDynamicObject::CopyDeep, KVRDynamicObject::CopyDeepAll}) {
    auto copy = duplicate(arm, mode);
    EXPECT_EQ(copy->getEntityName(), L"Copy of Arm");
    KVRSharedList<KVRBasicEntity> children;
    copy->getLogicalChildren(children);
    EXPECT_EQ(names(children), (Names{L"Copy of Link1", L"Copy of Link2"}));
    EXPECT_FALSE(children.back()->getLogicalChild(L"Copy of Flange").isNull());
    EXPECT_NE(copy->getUUID(), arm->getUUID());
    EXPECT_EQ(copy->getDescription(), L"six axes");
    copy->orphanObject();
  }
  EXPECT_EQ(duplicate(arm, KVRDynamicObject::CopyAlone)->getLogicalChildrenCount(), 0);
  // The copy constructor copies no tree and none of the owned symbols.
  arm->addSymbol(new KVRSymbolBase);
  KVRSharedHandle<KVRBasicEntity> copy(new KVRBasicEntity(*arm, KVRDynamicObject::CopyDeep));
  EXPECT_EQ(copy->getLogicalChildrenCount() + copy->getSymbolCount(), 0);
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
  EXPECT_EQ(names(children), (Names{L"Link", L"Copy of Link"}));
  arm->orphanObject();
}

}  // namespace
