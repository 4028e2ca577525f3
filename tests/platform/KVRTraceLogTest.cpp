// Trace channels: found by name while open, text handed to the sink up to the channel's level.
#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include "KVRTraceLog.h"

TEST(TraceLog, IsFoundByNameOnlyWhileOpenAndHandsTextUpToItsLevelToTheSink) {
  auto channel = std::make_unique<KVRTraceLog>(L"Cell trace", 2, L"DefaultFormat");
  KVRTraceLog shadow(L"Cell trace", 2, L"Other");
  EXPECT_EQ(KVRTraceLog::find(L"Cell trace"), channel.get()); channel.reset();
  EXPECT_EQ(KVRTraceLog::find(L"Cell trace"), &shadow); EXPECT_EQ(KVRTraceLog::find(L"Nothing"), nullptr);
  shadow.trace(1, L"before a sink: dropped");
  std::vector<std::wstring> seen;
  shadow.setSink([&](const KVRTraceLog& from, int level, const std::wstring& text) {
    EXPECT_EQ(&from, &shadow);
    seen.push_back(std::to_wstring(level) + L" " + text);
  });
  for (int level : {1, 2, 3}) shadow.trace(level, L"level " + std::to_wstring(level));
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"1 level 1", L"2 level 2"}));
}
