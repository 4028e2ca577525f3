#pragma once

// Text of a cell file as the model's wide strings.

#include <string>
#include <string_view>

// The wide string of UTF-8 text (the JSON parser has checked that it is
// UTF-8; a stray byte reads as U+FFFD).
std::wstring KVRFromUtf8(std::string_view text);
