// Messages, exceptions and assertion reports.
#include <gtest/gtest.h>
#include "KVRAssertion.h"
#include "KVRException.h"
#include "KVRMessage.h"
#include "KVRSymbolBase.h"

namespace {
TEST(Message, MarkersFillInOrderExceptionsKeepTheirTypeAndReportUtf8AndAssertionsReachTheHandler) {
  KVRMessage message(L"%2 before %1, %3 stays, 100% sure");
  message << std::wstring(L"one") << KVRMessage(L"two");
  EXPECT_EQ(message.scribe(KVRLocale::global()), L"two before one, %3 stays, 100% sure");
  try {
    throw KVRENotFound(L"%1 is not a logical child of %2")
        << std::wstring(L"Body \"/W/Gr\u00fc\u00dfe\"") << KVRMessage(L"World \"/W\"");
  } catch (const KVRERuntimeError& e) {
    EXPECT_NE(dynamic_cast<const KVRENotFound*>(&e), nullptr);
    EXPECT_EQ(e.getMessage(), L"Body \"/W/Gr\u00fc\u00dfe\" is not a logical child of World \"/W\"");
    EXPECT_STREQ(e.what(), "Body \"/W/Gr\xc3\xbc\xc3\x9f" "e\" is not a logical child of World \"/W\"");
    EXPECT_NE(std::string(e.message().getFile()).find("KVRMessageTest.cpp"), std::string::npos);
  }
  EXPECT_EQ(KVRToUtf8(L"a\u00e9\u20ac\U0001F600"), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(KVRToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xef\xbf\xbd");
  std::wstring wide = L"old";
  KVRAssign(wide, std::string("P1\xe9"));  // widens every byte
  EXPECT_EQ(wide, std::wstring(L"P1\u00e9"));
  // Assertion reports reach the installed handler, or one line on standard error.
  std::vector<KVRAssertionReport> reports;
  auto previous = KVRSetAssertionHandler([&](const KVRAssertionReport& r) { reports.push_back(r); });
  KVRReportAssertion("Software", L"Invalid request status");
  KVRReportAssertion("Software", L"Operation not supported", "here.cpp", 12);
  KVRSetAssertionHandler(nullptr); testing::internal::CaptureStderr();
  KVRReportAssertion("Software", L"Operation not supported", "x.cpp", 7);
  const std::string written = testing::internal::GetCapturedStderr();
  KVRSetAssertionHandler(previous);
  ASSERT_EQ(reports.size(), 2u); EXPECT_EQ(reports[0].text, L"Invalid request status");
  EXPECT_NE(reports[0].file.find("KVRMessageTest.cpp"), std::string::npos);
  EXPECT_TRUE(reports[1].file == "here.cpp" && reports[1].line == 12);
  EXPECT_EQ(written, "KVR assertion [Software] Operation not supported (x.cpp:7)\n");
}
}  // namespace
