// Opening and closing the world model library as a host application does (this program does not link it).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include "KVRTraceLog.h"
#include "OmxDictionary.h"

namespace {
TEST(LibraryLoad, RegistersTheInterfaceAndOpensTheTraceChannelUntilUnload) {
  ASSERT_EQ(OmxDictionary::FindByName("KVRIWDMExt"), nullptr);
  ASSERT_EQ(KVRTraceLog::find(L"KVRWorldTrace"), nullptr);
  void* library = dlopen(KVR_MODEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto* iid = static_cast<const OmxGUID*>(dlsym(library, "IID_KVRIWDMExt"));
  ASSERT_NE(iid, nullptr);
  const OmxDictionaryEntry* entry = OmxDictionary::FindById(*iid);
  ASSERT_NE(entry, nullptr); EXPECT_EQ(OmxDictionary::FindByName("KVRIWDMExt"), entry);
  EXPECT_TRUE(entry->registrations == 1 && entry->functionName == "MetaObject" && entry->libraryName.empty());
  EXPECT_STREQ(entry->metaClass->GetFWname(), "KVRWorldModel");
  KVRTraceLog* channel = KVRTraceLog::find(L"KVRWorldTrace");
  ASSERT_NE(channel, nullptr); EXPECT_EQ(channel, dlsym(library, "KVRWorldTrace"));
  EXPECT_TRUE(channel->getLevel() == 3 && channel->getFormatName() == L"DefaultFormat");
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_EQ(dlopen(KVR_MODEL_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
  EXPECT_EQ(KVRTraceLog::find(L"KVRWorldTrace"), nullptr);
  // The registration outlives the library: the meta class lives until the process ends.
  EXPECT_EQ(OmxDictionary::FindByName("KVRIWDMExt"), entry);
  EXPECT_STREQ(entry->metaClass->GetName(), "KVRIWDMExt");
}
}  // namespace
