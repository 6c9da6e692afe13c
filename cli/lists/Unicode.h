#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillsum::cli {

// The code point of the UTF-8 character at text[at], with at moved past it; false, at left as it
// was, where the bytes there are not UTF-8 (overlong forms, surrogates and code points past
// U+10FFFF included, and a character cut short).
bool NextUtf8(std::string_view text, std::size_t &at, char32_t &code);

// Whether the bytes are UTF-8 throughout.
bool IsUtf8(std::string_view text);

// The UTF-16 text of UTF-8 bytes; nothing when they are not UTF-8.
std::optional<std::u16string> FromUtf8(std::string_view bytes);

// Appends the UTF-8 bytes of a code point up to U+10FFFF.
void AppendUtf8(std::string &text, char32_t code);

} // namespace quillsum::cli
