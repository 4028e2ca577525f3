#include "KVRAssertion.h"

#include <cstdio>

#include "KVRMessage.h"

namespace {

void writeToStandardError(const KVRAssertionReport& report) {
  std::fprintf(stderr, "KVR assertion [%s] %s (%s:%d)\n", report.category.c_str(),
               KVRToUtf8(report.text).c_str(), report.file.c_str(), report.line);
}

KVRAssertionHandler& installedHandler() {
  static KVRAssertionHandler handler = writeToStandardError;
  return handler;
}

}  // namespace

KVRAssertionHandler KVRSetAssertionHandler(KVRAssertionHandler handler) {
  KVRAssertionHandler previous = std::move(installedHandler());
  installedHandler() = handler ? std::move(handler) : KVRAssertionHandler(writeToStandardError);
  return previous;
}

void KVRReportAssertion(const std::string& category, const std::wstring& text, const char* file, int line) {
  KVRAssertionReport report{category, text, file ? file : "", line};
  // Copy the handler: it may replace itself while it runs.
  KVRAssertionHandler handler = installedHandler();
  handler(report);
}
