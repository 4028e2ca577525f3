#include "KVRTraceLog.h"

#include <algorithm>
#include <vector>

namespace {

// The open channels, in order of opening. Built on first use, so a channel
// constructed by another library's static initialiser finds it ready, and
// never destroyed, so a channel closed late at exit still finds it.
std::vector<KVRTraceLog*>& openChannels() {
  static auto* channels = new std::vector<KVRTraceLog*>;
  return *channels;
}

}  // namespace

KVRTraceLog::KVRTraceLog(std::wstring name, int level, std::wstring formatName)
    : name_(std::move(name)), level_(level), formatName_(std::move(formatName)) {
  openChannels().push_back(this);
}

KVRTraceLog::~KVRTraceLog() {
  auto& channels = openChannels();
  channels.erase(std::remove(channels.begin(), channels.end(), this), channels.end());
}

void KVRTraceLog::trace(int level, const std::wstring& text) const {
  if (sink_ && level <= level_) sink_(*this, level, text);
}

KVRTraceLog* KVRTraceLog::find(const std::wstring& name) {
  for (KVRTraceLog* channel : openChannels())
    if (channel->getName() == name) return channel;
  return nullptr;
}
