#pragma once

// Messages: a wide text with the markers %1, %2, ... that are filled, in
// order, by the arguments given with operator<<, together with the source
// file and line where the message was made. Entity titles, type names and the
// texts of every exception of the model are messages.

#include <string>
#include <vector>

#include "KVRPlatformExport.h"
#include "KVRSourceLocation.h"

// The locale a message is written for. There is one, the global locale; it is
// an explicit argument so that formatting stays a deliberate step.
class KVRPLATFORM_API KVRLocale {
 public:
  static const KVRLocale& global();
};

class KVRPLATFORM_API KVRMessage {
 public:
  explicit KVRMessage(std::wstring text, KVRSourceLocation where = KVRSourceLocation::current());
  KVRMessage(std::wstring text, const char* file, int line);

  // The text before substitution.
  const std::wstring& getText() const { return text_; }
  const std::vector<std::wstring>& getArguments() const { return arguments_; }
  const char* getFile() const { return file_; }
  int getLine() const { return line_; }

  // The finished text: every %n replaced by the n-th argument (from 1). A
  // marker without an argument stays as it is.
  std::wstring scribe(const KVRLocale& locale) const;

  void addArgument(std::wstring argument) { arguments_.push_back(std::move(argument)); }

 private:
  std::wstring text_;
  std::vector<std::wstring> arguments_;
  const char* file_;
  int line_;
};

// Supply the next argument (%1 first, then %2, ...).
KVRPLATFORM_API KVRMessage& operator<<(KVRMessage& message, const std::wstring& argument);
KVRPLATFORM_API KVRMessage& operator<<(KVRMessage& message, const KVRMessage& argument);
inline KVRMessage&& operator<<(KVRMessage&& message, const std::wstring& argument) {
  return std::move(message << argument);
}
inline KVRMessage&& operator<<(KVRMessage&& message, const KVRMessage& argument) {
  return std::move(message << argument);
}

// UTF-8 form of a wide text, for narrow channels such as std::exception::what().
KVRPLATFORM_API std::string KVRToUtf8(const std::wstring& text);
