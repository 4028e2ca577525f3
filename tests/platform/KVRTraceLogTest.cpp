// Trace channels: found by name while open, gone once closed, traced text
// handed to the sink up to the channel's level.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "KVRTraceLog.h"

namespace {

TEST(TraceLog, IsFoundByNameOnlyWhileOpen) {
  auto channel = std::make_unique<KVRTraceLog>(L"Cell trace", 2, L"DefaultFormat");
  KVRTraceLog shadow(L"Cell trace", 5, L"Other");
  EXPECT_EQ(KVRTraceLog::find(L"Cell trace"), channel.get());
  channel.reset();
  EXPECT_EQ(KVRTraceLog::find(L"Cell trace"), &shadow);
  EXPECT_EQ(KVRTraceLog::find(L"Nothing"), nullptr);
}

TEST(TraceLog, HandsTextUpToItsLevelToTheSink) {
  KVRTraceLog channel(L"Cell trace", 2, L"DefaultFormat");
  channel.trace(1, L"before a sink: dropped");
  std::vector<std::wstring> seen;
  channel.setSink([&](const KVRTraceLog& from, int level, const std::wstring& text) {
    EXPECT_EQ(&from, &channel);
    seen.push_back(std::to_wstring(level) + L" " + text);
  });
  channel.trace(1, L"moved");
  channel.trace(2, L"flushed");
  channel.trace(3, L"too fine");
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"1 moved", L"2 flushed"}));
}

}  // namespace
