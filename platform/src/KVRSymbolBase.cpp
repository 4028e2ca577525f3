#include "KVRSymbolBase.h"

KVRSymbolBase::~KVRSymbolBase() = default;

void KVRAssign(std::wstring& destination, const std::string& source) {
  destination.assign(source.size(), L'\0');
  for (std::size_t i = 0; i < source.size(); ++i)
    destination[i] = static_cast<wchar_t>(static_cast<unsigned char>(source[i]));
}

const std::wstring& KVRSymbolBase::noName() {
  static const std::wstring none;
  return none;
}
