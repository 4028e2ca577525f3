// The library's component interface and start-up: the meta class registered
// once in the framework's dictionary, casts to the interface, the trace channel.

#include <cstring>

#include "KVRTestSupport.h"
#include "OmxDictionary.h"

namespace {

// An object of the interface, as a host's component would be.
class Extension : public KVRIWDMExt {
 public:
  explicit Extension(int& deleted) : deleted_(deleted) {}
  ~Extension() override { ++deleted_; }

 private:
  int& deleted_;
};

// A framework object that does not implement the interface.
class Unrelated : public OmxBaseUnknown {};

TEST(ComponentInterface, MetaClassIsMadeOnceWithItsNamesAndBase) {
  OmxMetaClass* meta = KVRIWDMExt::MetaObject();
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(KVRIWDMExt::MetaObject(), meta);
  EXPECT_EQ(meta->GetId(), IID_KVRIWDMExt);
  EXPECT_STREQ(meta->GetName(), "KVRIWDMExt");
  EXPECT_STREQ(meta->GetFWname(), "KVRWorldModel");
  EXPECT_EQ(meta->GetBase(), OmxBaseUnknown::MetaObject());
  EXPECT_EQ(meta->GetSecondBase(), nullptr);
  EXPECT_EQ(meta->GetKind(), 8);
  EXPECT_EQ(KVRIWDMExt::ClassId(), IID_KVRIWDMExt);
  EXPECT_STREQ(KVRIWDMExt::ClassName(), "KVRIWDMExt");
}

TEST(ComponentInterface, IsRegisteredOnceAtLoadAndFoundByIdentifierAndName) {
  const OmxDictionaryEntry* entry = OmxDictionary::FindById(IID_KVRIWDMExt);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(OmxDictionary::FindByName("KVRIWDMExt"), entry);
  EXPECT_EQ(entry->registrations, 1);
  EXPECT_EQ(entry->metaClass, KVRIWDMExt::MetaObject());
  EXPECT_EQ(entry->classId, CLSID_OmxMetaClass);
  EXPECT_EQ(entry->name, "KVRIWDMExt");
  EXPECT_EQ(entry->functionName, "MetaObject");
  EXPECT_EQ(std::vector<int>({entry->kind, entry->flags, entry->version}), std::vector<int>({1, 0, 2}));
  EXPECT_EQ(entry->libraryName, "");
}

TEST(ComponentInterface, VarHoldsOnlyObjectsOfTheInterface) {
  int deleted = 0;
  auto* extension = new Extension(deleted);
  {
    KVRIWDMExt_var held(extension);
    ASSERT_TRUE(held);
    EXPECT_EQ(held.get(), extension);
    EXPECT_EQ(held->GetMetaObject(), KVRIWDMExt::MetaObject());
    KVRIWDMExt_var second = held;
    EXPECT_EQ(KVRIWDMExt_var::__CastTo(extension), extension);
  }
  EXPECT_EQ(deleted, 1);  // the last holder released it

  OmxBaseUnknown_var unrelated(new Unrelated);
  EXPECT_FALSE(KVRIWDMExt_var(unrelated.get()));
  EXPECT_EQ(KVRIWDMExt_var::__CastTo(nullptr), nullptr);
}

TEST(ComponentInterface, TraceChannelIsOpenWhileTheLibraryIsLoaded) {
  EXPECT_EQ(KVRTraceLog::find(L"KVRWorldTrace"), &KVRWorldTrace);
  EXPECT_EQ(KVRWorldTrace.getName(), L"KVRWorldTrace");
  EXPECT_EQ(KVRWorldTrace.getLevel(), 3);
  EXPECT_EQ(KVRWorldTrace.getFormatName(), L"DefaultFormat");
  EXPECT_EQ(KVRWorldModelMarker(), 1);
}

}  // namespace
