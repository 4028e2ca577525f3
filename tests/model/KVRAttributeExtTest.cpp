// Attribute sets and the attribute extension: owning copies, adding, finding and removing by key.
#include <memory>
#include <stdexcept>
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Set = KVRAttributeSet<std::wstring>;
using Keys = std::vector<std::wstring>;

// An attribute that counts the live instances of its kind and may refuse to be cloned.
struct Counted : KVRAttributeBase {
  explicit Counted(int& n, int tag = 0, bool fail = false) : live(n), tag(tag), failClone(fail) { ++live; }
  Counted(const Counted& source) : KVRAttributeBase(source), live(source.live), tag(source.tag) { ++live; }
  ~Counted() override { --live; }
  Counted* clone() const override {
    if (failClone) throw std::runtime_error("clone refused");
    return new Counted(*this);
  }
  int& live;
  int tag; bool failClone = false;
};

Keys keys(const Set& set) {
  Keys result;
  for (const auto& [key, attribute] : set) result.push_back(key);
  return result;
}

TEST(AttributeSet, CopiesHoldClonesFindsByKeyRefusesWithoutChangeAndTheExtensionIsDuplicatedAndKept) {
  int live = 0;
  Set set;
  set.addAttribute(L"B", std::make_unique<Counted>(live, 2));
  set.addAttribute(L"A", std::make_unique<Counted>(live, 1));
  set.addAttribute(L"speed", std::make_unique<KVRRealAttribute>(0.5));
  Set copy(set);
  EXPECT_EQ(keys(copy), (Keys{L"A", L"B", L"speed"})); EXPECT_EQ(live, 4);
  for (const wchar_t* key : {L"A", L"B", L"speed"})
    EXPECT_NE(copy.findAttribute(key), set.findAttribute(key));
  EXPECT_TRUE(copy.findAttribute<Counted>(L"A")->tag == 1 && copy.findAttribute<Counted>(L"B")->tag == 2);
  copy.findAttribute<KVRRealAttribute>(L"speed")->setValue(2.0);
  EXPECT_EQ(set.findAttribute<KVRRealAttribute>(L"speed")->getValue(), 0.5);
  copy = set;  // replaces its clones with new ones
  Set moved(std::move(copy));
  EXPECT_TRUE(moved.getAttributeCount() == 3 && live == 4);
  set.addAttribute(L"C", std::make_unique<Counted>(live, 3, true));
  EXPECT_THROW(Set failed(set), std::runtime_error); EXPECT_EQ(live, 5);  // the clones made before go too
  set.addAttribute(L"lot", std::make_unique<KVRWStringAttribute>(L"L-0042"));
  set.addAttribute(L"offset", std::make_unique<KVRVector3DAttribute>(KVRBasicVector3D<double>(0, 0, 0.1)));
  EXPECT_EQ(set.findAttribute<KVRWStringAttribute>(L"lot")->getValue(), L"L-0042");
  EXPECT_EQ(set.findAttribute<KVRVector3DAttribute>(L"offset")->getValue().z(), 0.1);
  EXPECT_EQ(set.findAttribute<KVRRealAttribute>(L"lot"), nullptr);  // another type
  EXPECT_TRUE(set.findAttribute(L"missing") == nullptr && set.hasAttribute(L"speed"));
  // A refused addition leaves the set as it was and frees the offer.
  expectThrowWithText<KVREAlreadyRegistered>([&] { set.addAttribute(L"A", std::make_unique<Counted>(live)); },
                                             L"The attribute set already holds an attribute named \"A\"");
  expectThrowWithText<KVREInvalidArgument>([&] { set.addAttribute(L"other", nullptr); },
                                           L"An empty attribute cannot be added to an attribute set");
  EXPECT_EQ(keys(set), (Keys{L"A", L"B", L"C", L"lot", L"offset", L"speed"}));
  EXPECT_TRUE(set.findAttribute<Counted>(L"A")->tag == 1 && live == 5);
  EXPECT_TRUE(set.removeAttribute(L"A")); EXPECT_EQ(live, 4);
  EXPECT_FALSE(set.removeAttribute(L"A"));
  EXPECT_EQ(keys(set), (Keys{L"B", L"C", L"lot", L"offset", L"speed"}));
  // The extension: on Fixture, holding a clamp force and a counted probe; duplicated onto Other.
  int probes = 0;
  auto fixture = make(L"Fixture"), other = make(L"Other");
  KVRSharedHandle<KVRAttributeExt> extension{new KVRAttributeExt};
  fixture->addExtension(extension);
  extension->getAttributeSet().addAttribute(L"clamp force", std::make_unique<KVRRealAttribute>(120.0));
  extension->getAttributeSet().addAttribute(L"probe", std::make_unique<Counted>(probes));
  EXPECT_TRUE(KVRAttributeExt::ClassInfo_.hasFactory());
  EXPECT_EQ(fixture->getExtension(KVRAttributeExt::ClassID_), extension);
  EXPECT_EQ(extension->getBasicObject(), fixture);
  KVRSharedHandle<KVRAttributeExt> dup(static_cast<KVRAttributeExt*>(
      extension->duplicateObject(KVRDynamicObject::CopyAlone, KVRSharedHandle<KVRNotificationAgent>(other))));
  EXPECT_EQ(other->getExtension(KVRAttributeExt::ClassID_), dup); EXPECT_EQ(probes, 2);
  const auto& attributes = dup->getAttributeSet();
  EXPECT_NE(attributes.findAttribute(L"probe"), extension->getAttributeSet().findAttribute(L"probe"));
  EXPECT_EQ(attributes.findAttribute<KVRRealAttribute>(L"clamp force")->getValue(), 120.0);
  other->orphanObject(); dup.detach();
  fixture->removeExtension(KVRAttributeExt::ClassID_);
  EXPECT_TRUE(extension->isOrphaned() && extension->getAttributeSet().getAttributeCount() == 2);
  EXPECT_EQ(probes, 1); extension.detach();
  EXPECT_EQ(probes, 0);
  fixture->orphanObject();
}
}  // namespace
