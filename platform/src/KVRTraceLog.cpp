#include "KVRTraceLog.h"

KVRTraceLog::KVRTraceLog(std::wstring name, int level, std::wstring formatName)
    : name_(std::move(name)), level_(level), formatName_(std::move(formatName)) {}

KVRTraceLog::~KVRTraceLog() = default;

void KVRTraceLog::trace(int level, const std::wstring& text) const {
  if (sink_ && level <= level_) sink_(*this, level, text);
}
