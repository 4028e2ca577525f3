#pragma once

// Assertion reports: the way the system tells about an internal inconsistency
// ("Invalid request status", "Operation not supported", ...) without stopping.
// A report reaches the installed handler and the operation that raised it goes
// on. The default handler writes one line on standard error; tests install
// their own to see which reports were raised.

#include <functional>
#include <string>

#include "KVRPlatformExport.h"
#include "KVRSourceLocation.h"

struct KVRAssertionReport {
  std::string category;  // "Software" for the model's own reports
  std::wstring text;
  std::string file;
  int line = 0;
};

using KVRAssertionHandler = std::function<void(const KVRAssertionReport&)>;

// Installs `handler` (an empty one restores the default) and returns the one it replaces.
KVRPLATFORM_API KVRAssertionHandler KVRSetAssertionHandler(KVRAssertionHandler handler);

// Hands a report to the installed handler; returns normally.
KVRPLATFORM_API void KVRReportAssertion(const std::string& category, const std::wstring& text,
                                        const char* file, int line);

inline void KVRReportAssertion(const std::string& category, const std::wstring& text,
                               KVRSourceLocation where = KVRSourceLocation::current()) {
  KVRReportAssertion(category, text, where.file_name(), static_cast<int>(where.line()));
}
