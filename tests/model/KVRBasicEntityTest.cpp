// Names and duplication of entities.

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;
using Names = std::vector<std::wstring>;

// An empty name gives the default; no character but the separator is refused;
// a rename sets bits 2 and 3 and replaces the whole last component. Names of
// one-byte characters are kept a byte each, others as given: both read back,
// compare, and make full names and copies' names unchanged.
TEST(EntityNames, DefaultsRenamingTheRefusedSeparatorAndEveryOtherCharacter) {
  auto w = makeWorld(L"W");
  auto e = make(L"");
  EXPECT_EQ(e->getEntityName(), L"New Entity");
  EXPECT_TRUE(fullName(e) == L"/" && e->getStoredFullName() == L"\nNew Entity");
  w->addEntity(e);
  w->flushLogicalState();
  e->setEntityName(L"Arm/1");
  EXPECT_EQ(e->getStoredFullName(), L"\nUniverse\nW\nArm/1");
  EXPECT_EQ(pending(*e), (std::vector<int>{2, 3}));
  e->flushLogicalState();
  expectThrowWithText<KVREInvalidArgument>([&] { e->setEntityName(L"Left\nRight"); },
                                           L"A line feed cannot be part of the name of Entity \"/W/Arm/1\"");
  EXPECT_TRUE(e->getEntityName() == L"Arm/1" && fullName(e) == L"/W/Arm/1");
  EXPECT_TRUE(e->getPendingEvents().none());

  const std::wstring latin = L"Gr\u00fc\u00dfe \u00ff\u0001";  // the last byte value, a control character
  const std::wstring wide = L"\u0100 \u041f\u0440\u0438\u0432\u043e\u0434 \U0001F916";
  auto a = make(latin), b = make(wide);
  w->addEntity(a);
  a->addLogicalChild(b);
  w->flushLogicalState();
  a->flushLogicalState();
  EXPECT_TRUE(a->getEntityName() == latin && b->getEntityName() == wide);
  EXPECT_EQ(fullName(b), L"/W/" + latin + L"/" + wide);
  EXPECT_TRUE(w->getLogicalChild(latin) == a && a->getLogicalChild(wide) == b);
  // Same length, differing only above one byte: no match.
  EXPECT_FALSE(w->getLogicalChild(L"Gr\u00fc\u00dfe \u01ff\u0001"));
  EXPECT_FALSE(a->getLogicalChild(L"\u0100 \u041f\u0440\u0438\u0432\u043e\u0434 \U0001F917"));
  const auto copy = KVRDuplicate(b);
  EXPECT_EQ(copy->getEntityName(), L"Copy of " + wide);
  EXPECT_TRUE(isSound(w));
  orphan(copy, w);
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

// The scene: Arm ─┬─ Link1
//                 └─ Link2 ── Flange
// A copy is a root, typed like its source, until it is adopted; the deep
// modes copy the children in order with the prefix, the others none.
TEST(EntityDuplication, ACopyIsARootAndDeepModesCopyTheChildrenInOrder) {
  auto w = makeWorld(L"W");
  auto body = make<KVRBasicBody3D>(L"B");
  w->addEntity(body);
  w->flushLogicalState();
  KVRSharedHandle<KVRBasicBody3D> copy = KVRDuplicate(body);
  EXPECT_TRUE(title(copy) == L"Body \"/\"" && copy->getStoredFullName() == L"\nCopy of B");
  w->addEntity(copy);
  EXPECT_EQ(fullName(copy), L"/W/Copy of B");
  EXPECT_TRUE(KVRDuplicate(KVRSharedHandle<KVRBasicBody3D>()).isNull());
  EXPECT_TRUE(isSound(w));
  w->orphanObject();

  auto arm = make(L"Arm"), link2 = make(L"Link2");
  arm->setDescription(L"six axes");
  arm->addLogicalChild(make(L"Link1"));
  arm->addLogicalChild(link2);
  link2->addLogicalChild(make(L"Flange"));
  for (auto mode : {KVRDynamicObject::CopyDeep, KVRDynamicObject::CopyDeepAll}) {
    auto deep = duplicate(arm, mode);
    EXPECT_EQ(deep->getEntityName(), L"Copy of Arm");
    KVRSharedList<KVRBasicEntity> children;
    deep->getLogicalChildren(children);
    EXPECT_EQ(names(children), (Names{L"Copy of Link1", L"Copy of Link2"}));
    EXPECT_FALSE(children.back()->getLogicalChild(L"Copy of Flange").isNull());
    EXPECT_TRUE(deep->getUUID() != arm->getUUID() && deep->getDescription() == L"six axes");
    deep->orphanObject();
  }
  EXPECT_EQ(duplicate(arm, KVRDynamicObject::CopyAlone)->getLogicalChildrenCount(), 0);
  // The copy constructor copies no tree and none of the owned symbols.
  arm->addSymbol(new KVRSymbolBase);
  KVRSharedHandle<KVRBasicEntity> alone(new KVRBasicEntity(*arm, KVRDynamicObject::CopyDeep));
  EXPECT_EQ(alone->getLogicalChildrenCount() + alone->getSymbolCount(), 0);
  // Cloning an entity's own children appends one copy of each, once.
  link2->orphanObject();
  arm->cloneLogicalChildren(*arm, KVRDynamicObject::CopyDeep);
  KVRSharedVector<KVRBasicEntity> children;
  arm->getLogicalChildren(children);
  EXPECT_EQ(names(children), (Names{L"Link1", L"Copy of Link1"}));
  // A deep copy that fails half-way leaves the source as it was and, as
  // LeakSanitizer checks, nothing of the half-built copy behind.
  arm->addLogicalChild(make<Uncopyable>(L"Sealed"));
  EXPECT_THROW(arm->duplicateObject(KVRDynamicObject::CopyDeep), std::runtime_error);
  EXPECT_EQ(arm->getLogicalChildrenCount(), 3);
  arm->orphanObject();
}

}  // namespace
