// The library's component interface: its meta class in the framework's dictionary, holders and casts.
#include "KVRTestSupport.h"
#include "OmxDictionary.h"

namespace {
struct Extension : KVRIWDMExt {  // as a host's component would be
  explicit Extension(int& deleted) : deleted(deleted) {}
  ~Extension() override { ++deleted; }
  int& deleted;
};
class Unrelated : public OmxBaseUnknown {};  // does not implement the interface

TEST(ComponentInterface, MetaClassIsMadeOnceAndVarHoldsOnlyObjectsOfTheInterface) {
  OmxMetaClass* meta = KVRIWDMExt::MetaObject();
  ASSERT_NE(meta, nullptr); EXPECT_EQ(KVRIWDMExt::MetaObject(), meta);
  EXPECT_TRUE(meta->GetId() == IID_KVRIWDMExt && meta->GetBase() == OmxBaseUnknown::MetaObject());
  const OmxDictionaryEntry* entry = OmxDictionary::FindById(IID_KVRIWDMExt);
  ASSERT_NE(entry, nullptr);
  EXPECT_TRUE(entry->metaClass == meta && entry->classId == CLSID_OmxMetaClass);
  EXPECT_EQ(std::vector<int>({entry->kind, entry->flags, entry->version}), std::vector<int>({1, 0, 2}));
  EXPECT_EQ(KVRWorldModelMarker(), 1);
  int deleted = 0;
  auto* extension = new Extension(deleted);
  {
    KVRIWDMExt_var held(extension), second = held;
    ASSERT_TRUE(held); EXPECT_EQ(held->GetMetaObject(), meta);
    EXPECT_EQ(KVRIWDMExt_var::__CastTo(extension), extension);
  }
  EXPECT_EQ(deleted, 1);  // the last holder released it
  OmxBaseUnknown_var unrelated(new Unrelated);
  EXPECT_FALSE(KVRIWDMExt_var(unrelated.get()));
  EXPECT_EQ(KVRIWDMExt_var::__CastTo(nullptr), nullptr);
}
}  // namespace
