#pragma once

// A 128-bit identity. Built from its 8-4-4-4-12 hexadecimal text it names a
// fixed identity (every class has one, ClassID_); built by default it is a new
// identity, distinct from every other one made by this process.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "KVRPlatformExport.h"

class KVRPLATFORM_API KVRUUID {
 public:
  // A new, random (version 4) identity.
  KVRUUID();
  // The identity written as 8-4-4-4-12 hexadecimal digits; any other text is
  // refused with std::invalid_argument (at compile time for a constexpr object).
  constexpr explicit KVRUUID(std::string_view text) : bytes_(parse(text)) {}

  std::string toString() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  friend constexpr bool operator==(const KVRUUID&, const KVRUUID&) = default;
  friend constexpr auto operator<=>(const KVRUUID&, const KVRUUID&) = default;

 private:
  static constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  static constexpr std::array<std::uint8_t, 16> parse(std::string_view text) {
    if (text.size() != 36) throw std::invalid_argument("KVRUUID: expected 8-4-4-4-12 hexadecimal text");
    std::array<std::uint8_t, 16> bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        if (text[i] != '-') throw std::invalid_argument("KVRUUID: expected 8-4-4-4-12 hexadecimal text");
        ++i;
        continue;
      }
      const int high = hexValue(text[i]);
      const int low = hexValue(text[i + 1]);
      if (high < 0 || low < 0) throw std::invalid_argument("KVRUUID: expected 8-4-4-4-12 hexadecimal text");
      bytes[byte++] = static_cast<std::uint8_t>(high * 16 + low);
      i += 2;
    }
    return bytes;
  }

  std::array<std::uint8_t, 16> bytes_;
};
