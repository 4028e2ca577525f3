// Attribute sets and the attribute extension: owning copies and destruction,
// adding, finding and removing attributes by key.

#include <memory>
#include <stdexcept>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;

// An attribute that counts the live instances of its kind and may refuse to be cloned.
struct Counted : KVRAttributeBase {
  explicit Counted(int& live, int tag = 0, bool failClone = false)
      : live(live), tag(tag), failClone(failClone) {
    ++live;
  }
  Counted(const Counted& source) : KVRAttributeBase(source), live(source.live), tag(source.tag) { ++live; }
  ~Counted() override { --live; }
  Counted* clone() const override {
    if (failClone) throw std::runtime_error("clone refused");
    return new Counted(*this);
  }
  int& live;
  int tag;
  bool failClone = false;
};

using Set = KVRAttributeSet<std::wstring>;

std::vector<std::wstring> keys(const Set& set) {
  std::vector<std::wstring> result;
  for (const auto& [key, attribute] : set) result.push_back(key);
  return result;
}

TEST(AttributeSet, CopyHoldsDistinctClonesInKeyOrder) {
  int live = 0;
  Set set;
  set.addAttribute(L"B", std::make_unique<Counted>(live, 2));
  set.addAttribute(L"A", std::make_unique<Counted>(live, 1));
  set.addAttribute(L"speed", std::make_unique<KVRRealAttribute>(0.5));

  Set copy(set);
  EXPECT_EQ(keys(copy), (std::vector<std::wstring>{L"A", L"B", L"speed"}));
  EXPECT_EQ(live, 4);
  for (const wchar_t* key : {L"A", L"B", L"speed"})
    EXPECT_NE(copy.findAttribute(key), set.findAttribute(key));
  EXPECT_EQ(copy.findAttribute<Counted>(L"A")->tag, 1);
  EXPECT_EQ(copy.findAttribute<Counted>(L"B")->tag, 2);
  copy.findAttribute<KVRRealAttribute>(L"speed")->setValue(2.0);
  EXPECT_EQ(set.findAttribute<KVRRealAttribute>(L"speed")->getValue(), 0.5);

  copy = set;  // replaces its clones with new ones
  EXPECT_EQ(live, 4);
  Set moved(std::move(copy));
  EXPECT_EQ(moved.getAttributeCount(), 3);
  EXPECT_EQ(live, 4);
}

TEST(AttributeSet, FailedCloneLeavesNoCopyBehind) {
  int live = 0;
  Set set;
  set.addAttribute(L"A", std::make_unique<Counted>(live, 1));
  set.addAttribute(L"B", std::make_unique<Counted>(live, 2, true));
  EXPECT_THROW(Set copy(set), std::runtime_error);
  EXPECT_EQ(live, 2);
}

TEST(AttributeSet, RefusedAdditionLeavesTheSetAsItWasAndFreesTheOffer) {
  int live = 0;
  Set set;
  set.addAttribute(L"clamp", std::make_unique<Counted>(live, 1));
  expectThrowWithText<KVREAlreadyRegistered>(
      [&] { set.addAttribute(L"clamp", std::make_unique<Counted>(live, 2)); },
      L"The attribute set already holds an attribute named \"clamp\"");
  expectThrowWithText<KVREInvalidArgument>([&] { set.addAttribute(L"other", nullptr); },
                                           L"An empty attribute cannot be added to an attribute set");
  EXPECT_EQ(keys(set), std::vector<std::wstring>{L"clamp"});
  EXPECT_EQ(set.findAttribute<Counted>(L"clamp")->tag, 1);
  EXPECT_EQ(live, 1);
}

TEST(AttributeSet, FindsByKeyAndTypeAndRemovesByDeleting) {
  int live = 0;
  Set set;
  set.addAttribute(L"lot", std::make_unique<KVRWStringAttribute>(L"L-0042"));
  set.addAttribute(L"offset", std::make_unique<KVRVector3DAttribute>(KVRBasicVector3D<double>(0, 0, 0.1)));
  set.addAttribute(L"count", std::make_unique<KVRIntegerAttribute>(3));
  set.addAttribute(L"probe", std::make_unique<Counted>(live));

  EXPECT_EQ(set.findAttribute<KVRWStringAttribute>(L"lot")->getValue(), L"L-0042");
  EXPECT_EQ(set.findAttribute<KVRVector3DAttribute>(L"offset")->getValue().z(), 0.1);
  EXPECT_EQ(set.findAttribute<KVRIntegerAttribute>(L"lot"), nullptr);  // another type
  EXPECT_EQ(set.findAttribute(L"missing"), nullptr);
  EXPECT_TRUE(set.hasAttribute(L"count"));

  EXPECT_TRUE(set.removeAttribute(L"probe"));
  EXPECT_EQ(live, 0);
  EXPECT_FALSE(set.removeAttribute(L"probe"));
  EXPECT_EQ(keys(set), (std::vector<std::wstring>{L"count", L"lot", L"offset"}));
}

// The scene: a fixture entity with an attribute extension holding a clamp
// force and a counted probe attribute.
class AttributeExtension : public testing::Test {
 protected:
  void SetUp() override {
    fixture->addExtension(extension);
    extension->getAttributeSet().addAttribute(L"clamp force", std::make_unique<KVRRealAttribute>(120.0));
    extension->getAttributeSet().addAttribute(L"probe", std::make_unique<Counted>(live));
  }
  void TearDown() override {
    fixture->orphanObject();
    other->orphanObject();
  }

  int live = 0;
  KVRSharedHandle<KVRBasicEntity> fixture = make(L"Fixture"), other = make(L"Other");
  KVRSharedHandle<KVRAttributeExt> extension{new KVRAttributeExt};
};

TEST_F(AttributeExtension, IsFoundOnItsObjectByClassIdentifier) {
  EXPECT_TRUE(KVRAttributeExt::ClassInfo_.isDerivedFrom(KVRExtensionObject::ClassInfo_));
  EXPECT_TRUE(KVRAttributeExt::ClassInfo_.hasFactory());
  EXPECT_EQ(fixture->getExtension(KVRAttributeExt::ClassID_), extension);
  EXPECT_EQ(extension->getBasicObject(), fixture);
}

TEST_F(AttributeExtension, DuplicateHoldsClonesAndIsAttachedToTheNewOwner) {
  KVRSharedHandle<KVRAttributeExt> copy(static_cast<KVRAttributeExt*>(
      extension->duplicateObject(KVRDynamicObject::CopyAlone, KVRSharedHandle<KVRNotificationAgent>(other))));
  EXPECT_EQ(other->getExtension(KVRAttributeExt::ClassID_), copy);
  EXPECT_EQ(live, 2);
  const auto& attributes = copy->getAttributeSet();
  EXPECT_NE(attributes.findAttribute(L"probe"), extension->getAttributeSet().findAttribute(L"probe"));
  EXPECT_EQ(attributes.findAttribute<KVRRealAttribute>(L"clamp force")->getValue(), 120.0);
}

TEST_F(AttributeExtension, OrphaningKeepsTheAttributesAndDestroyingDeletesThem) {
  fixture->removeExtension(KVRAttributeExt::ClassID_);
  EXPECT_TRUE(extension->isOrphaned());
  EXPECT_EQ(extension->getAttributeSet().getAttributeCount(), 2);
  EXPECT_EQ(live, 1);
  extension.detach();
  EXPECT_EQ(live, 0);
}

}  // namespace
