// Messages, exceptions and assertion reports.

#include <gtest/gtest.h>

#include "KVRAssertion.h"
#include "KVRException.h"
#include "KVRMessage.h"
#include "KVRSymbolBase.h"
#include "KVRTraceLog.h"

namespace {

TEST(Message, ArgumentsFillTheMarkersInOrder) {
  KVRMessage message(L"%2 before %1, %3 stays, 100% sure");
  message << std::wstring(L"one") << KVRMessage(L"two");
  EXPECT_EQ(message.scribe(KVRLocale::global()), L"two before one, %3 stays, 100% sure");
  EXPECT_EQ(message.getText(), L"%2 before %1, %3 stays, 100% sure");
  EXPECT_NE(std::string(message.getFile()).find("KVRMessageTest.cpp"), std::string::npos);
  EXPECT_GT(message.getLine(), 0);
}

TEST(Exception, KeepsItsTypeThroughTheArgumentsAndReportsUtf8) {
  try {
    throw KVRENotFound(L"%1 is not a logical child of %2") << std::wstring(L"Body \"/W/Gr\u00fc\u00dfe\"")
                                                           << KVRMessage(L"World \"/W\"");
  } catch (const KVRERuntimeError& e) {
    EXPECT_NE(dynamic_cast<const KVRENotFound*>(&e), nullptr);
    EXPECT_EQ(e.getMessage(), L"Body \"/W/Gr\u00fc\u00dfe\" is not a logical child of World \"/W\"");
    EXPECT_STREQ(e.what(), "Body \"/W/Gr\xc3\xbc\xc3\x9f" "e\" is not a logical child of World \"/W\"");
    EXPECT_NE(std::string(e.message().getFile()).find("KVRMessageTest.cpp"), std::string::npos);
  }
}

TEST(Exception, EveryKindIsAStandardException) {
  const auto check = [](auto&& e) {
    const std::exception& standard = e;
    EXPECT_STREQ(standard.what(), "text");
  };
  check(KVREAlreadyRegistered(L"text"));
  check(KVREInvalidRelation(L"text"));
  check(KVREInvalidCast(L"text"));
  check(KVREInvalidArgument(L"text", "file.cpp", 3));
}

TEST(Utf8, EncodesEveryRangeAndReplacesNonCharacters) {
  EXPECT_EQ(KVRToUtf8(L"a\u00e9\u20ac\U0001F600"), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(KVRToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
}

TEST(Assertion, ReportsReachTheInstalledHandlerAndTheOperationGoesOn) {
  std::vector<KVRAssertionReport> reports;
  KVRAssertionHandler previous = KVRSetAssertionHandler([&](const KVRAssertionReport& r) { reports.push_back(r); });
  KVRReportAssertion("Software", L"Invalid request status");
  KVRReportAssertion("Software", L"Operation not supported", "here.cpp", 12);
  KVRAssertionHandler mine = KVRSetAssertionHandler(previous);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].text, L"Invalid request status");
  EXPECT_NE(reports[0].file.find("KVRMessageTest.cpp"), std::string::npos);
  EXPECT_EQ(reports[1].file, "here.cpp");
  EXPECT_EQ(reports[1].line, 12);
  EXPECT_TRUE(static_cast<bool>(mine));
}

TEST(Assertion, TheDefaultHandlerWritesOneLineOnStandardError) {
  KVRAssertionHandler previous = KVRSetAssertionHandler(nullptr);
  testing::internal::CaptureStderr();
  KVRReportAssertion("Software", L"Operation not supported", "x.cpp", 7);
  const std::string written = testing::internal::GetCapturedStderr();
  KVRSetAssertionHandler(previous);
  EXPECT_EQ(written, "KVR assertion [Software] Operation not supported (x.cpp:7)\n");
}

TEST(TraceLog, PassesTextUpToItsLevelToTheSink) {
  KVRTraceLog channel(L"KVRWorldTrace", 3, L"DefaultFormat");
  std::vector<std::wstring> seen;
  channel.setSink([&](const KVRTraceLog&, int, const std::wstring& text) { seen.push_back(text); });
  channel.trace(3, L"kept");
  channel.trace(4, L"too detailed");
  EXPECT_EQ(seen, std::vector<std::wstring>{L"kept"});
  EXPECT_EQ(channel.getFormatName(), L"DefaultFormat");
}

TEST(Assign, WidensEveryCharacter) {
  std::wstring wide = L"old";
  KVRAssign(wide, std::string("P1\xe9"));
  EXPECT_EQ(wide, std::wstring(L"P1\u00e9"));
}

}  // namespace
