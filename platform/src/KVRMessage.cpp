#include "KVRMessage.h"

#include <cstdint>

#include "KVRException.h"

const KVRLocale& KVRLocale::global() {
  static const KVRLocale locale;
  return locale;
}

KVRMessage::KVRMessage(std::wstring text, KVRSourceLocation where)
    : KVRMessage(std::move(text), where.file_name(), static_cast<int>(where.line())) {}

KVRMessage::KVRMessage(std::wstring text, const char* file, int line)
    : text_(std::move(text)), file_(file ? file : ""), line_(line) {}

std::wstring KVRMessage::scribe(const KVRLocale&) const {
  if (arguments_.empty()) return text_;
  std::wstring result;
  result.reserve(text_.size() + 32);
  for (std::size_t i = 0; i < text_.size(); ++i) {
    const wchar_t c = text_[i];
    if (c == L'%' && i + 1 < text_.size() && text_[i + 1] >= L'1' && text_[i + 1] <= L'9') {
      const std::size_t index = static_cast<std::size_t>(text_[i + 1] - L'1');
      if (index < arguments_.size()) {
        result += arguments_[index];
        ++i;
        continue;
      }
    }
    result += c;
  }
  return result;
}

KVRMessage& operator<<(KVRMessage& message, const std::wstring& argument) {
  message.addArgument(argument);
  return message;
}

KVRMessage& operator<<(KVRMessage& message, const KVRMessage& argument) {
  message.addArgument(argument.scribe(KVRLocale::global()));
  return message;
}

std::string KVRToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;  // not a character: replacement mark
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

KVRException::KVRException(std::wstring text, KVRSourceLocation where)
    : KVRException(std::move(text), where.file_name(), static_cast<int>(where.line())) {}

KVRException::KVRException(std::wstring text, const char* file, int line)
    : message_(std::move(text), file, line), what_(KVRToUtf8(message_.scribe(KVRLocale::global()))) {}

KVRException::~KVRException() = default;

std::wstring KVRException::getMessage() const { return message_.scribe(KVRLocale::global()); }

void KVRException::addArgument(const std::wstring& argument) {
  message_.addArgument(argument);
  what_ = KVRToUtf8(getMessage());
}

void KVRException::addArgument(const KVRMessage& argument) {
  addArgument(argument.scribe(KVRLocale::global()));
}

KVRERuntimeError::~KVRERuntimeError() = default;
KVRENotFound::~KVRENotFound() = default;
KVREAlreadyRegistered::~KVREAlreadyRegistered() = default;
KVREInvalidRelation::~KVREInvalidRelation() = default;
KVREInvalidCast::~KVREInvalidCast() = default;
KVREInvalidArgument::~KVREInvalidArgument() = default;
