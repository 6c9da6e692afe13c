#pragma once

#include <cstdint>

namespace quillsum {

// The ANSI code page that turns text into bytes and back: Windows-1252, whose five unassigned
// bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the control characters of the same value, so
// that every byte survives bytes -> text -> bytes.

// The byte of a character; "?" (0x3F) for a character the code page lacks, including each
// half of a surrogate pair.
std::uint8_t CharToAnsi(char16_t c) noexcept;

// The character of a byte.
char16_t AnsiToChar(std::uint8_t b) noexcept;

} // namespace quillsum
