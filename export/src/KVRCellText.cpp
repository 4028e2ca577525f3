#include "KVRCellText.h"

std::wstring KVRFromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xE  ? 3
                       : (lead >> 3) == 0x1E ? 4
                                             : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    char32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    bool valid = true;
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      valid = valid && (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    out += valid ? static_cast<wchar_t>(code) : L'\xFFFD';
    i += valid ? static_cast<std::size_t>(length) : 1;
  }
  return out;
}
