#pragma once

// A named trace channel. The library opens one and writes nothing to it;
// applications may install a sink to receive what is traced. A channel is
// open from construction to destruction; while open it can be found by its
// name, so a host that loaded a library finds the channels it opened.
// Nothing is written to disk: traced text goes to the sink or nowhere.

#include <functional>
#include <string>

#include "KVRPlatformExport.h"

class KVRPLATFORM_API KVRTraceLog {
 public:
  using Sink = std::function<void(const KVRTraceLog& channel, int level, const std::wstring& text)>;

  KVRTraceLog(std::wstring name, int level, std::wstring formatName);
  KVRTraceLog(const KVRTraceLog&) = delete;
  KVRTraceLog& operator=(const KVRTraceLog&) = delete;
  ~KVRTraceLog();

  const std::wstring& getName() const { return name_; }
  int getLevel() const { return level_; }
  const std::wstring& getFormatName() const { return formatName_; }

  // Hands the text to the sink when `level` is not above the channel's level.
  void trace(int level, const std::wstring& text) const;
  void setSink(Sink sink) { sink_ = std::move(sink); }

  // The open channel named `name` (the first opened, when several share it), or null.
  static KVRTraceLog* find(const std::wstring& name);

 private:
  std::wstring name_;
  int level_;
  std::wstring formatName_;
  Sink sink_;
};
