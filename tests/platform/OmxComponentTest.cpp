// The component framework: meta classes, the dictionary, interface objects and their holders.
#include <gtest/gtest.h>
#include "OmxBaseUnknown.h"
#include "OmxDictionary.h"

namespace {
// The scene: Base ← Derived, and Other on its own; Derived also derives from Other.
struct Metas {
  OmxMetaClass base{OmxGUID("11111111-0000-4000-8000-000000000001"), "Base", nullptr, nullptr, 8};
  OmxMetaClass other{OmxGUID("11111111-0000-4000-8000-000000000002"), "Other", nullptr, nullptr, 8};
  OmxMetaClass derived{OmxGUID("11111111-0000-4000-8000-000000000003"), "Derived", &base, &other, 8};
};

struct Counted : OmxBaseUnknown {  // reports its deletion
  explicit Counted(bool& deleted) : deleted(deleted) {}
  ~Counted() override { deleted = true; }
  bool& deleted;
};

TEST(OmxComponents, MetaClassesDictionaryHoldersAndCasts) {
  static Metas m;  // registered meta classes live until the process ends
  for (const OmxMetaClass* is : {&m.derived, &m.base, &m.other}) EXPECT_TRUE(m.derived.IsA(is->GetId()));
  EXPECT_FALSE(m.base.IsA(m.derived.GetId()));
  m.derived.SetFWname(nullptr); EXPECT_STREQ(m.derived.GetFWname(), "");
  const int before = OmxDictionary::GetEntryCount();
  EXPECT_TRUE(AddDictionary(m.base.GetId(), CLSID_OmxMetaClass, "Base", "MetaObject", &m.base, 1, 0, 2));
  EXPECT_FALSE(AddDictionary(m.base.GetId(), CLSID_OmxMetaClass, "Again", "MetaObject", &m.other, 3, 3, 3));
  EXPECT_FALSE(AddDictionary(m.other.GetId(), CLSID_OmxMetaClass, "", "MetaObject", &m.other, 1, 0, 2));
  EXPECT_FALSE(AddDictionary(m.other.GetId(), CLSID_OmxMetaClass, "Other", "MetaObject", nullptr, 1, 0, 2));
  EXPECT_EQ(OmxDictionary::GetEntryCount(), before + 1);
  const OmxDictionaryEntry* entry = OmxDictionary::FindById(m.base.GetId());
  ASSERT_NE(entry, nullptr); EXPECT_EQ(OmxDictionary::FindByName("Base"), entry);
  EXPECT_EQ(OmxDictionary::FindByName("Again"), nullptr);
  EXPECT_EQ(OmxDictionary::FindById(m.other.GetId()), nullptr);
  EXPECT_TRUE(entry->metaClass == &m.base && entry->registrations == 2);
  EXPECT_FALSE(OmxFillDictionary(m.base.GetId(), CLSID_OmxMetaClass, &m.base, 0).addedEntry());
  EXPECT_TRUE(OmxFillDictionary(m.derived.GetId(), CLSID_OmxMetaClass, &m.derived, 0).addedEntry());
  EXPECT_EQ(OmxDictionary::FindByName("Derived")->functionName, "MetaObject");
  EXPECT_EQ(entry->registrations, 2);
  // The last holder deletes an interface object; casts follow the meta class.
  bool deleted = false;
  auto* object = new Counted(deleted);
  {
    OmxBaseUnknown_var first(object), second;
    second = first; first = OmxBaseUnknown_var();
    EXPECT_FALSE(deleted);
    EXPECT_EQ(OmxBaseUnknown_var::CastTo(object, OmxBaseUnknown::ClassId()), object);
    EXPECT_EQ(OmxBaseUnknown_var::CastTo(object, CLSID_OmxMetaClass), nullptr);
    EXPECT_EQ(OmxBaseUnknown_var::CastTo(nullptr, OmxBaseUnknown::ClassId()), nullptr);
  }
  EXPECT_TRUE(deleted);
}
}  // namespace
