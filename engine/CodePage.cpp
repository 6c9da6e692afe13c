#include "engine/CodePage.h"

#include <array>

namespace quillsum {
namespace {

// Bytes 0x80 to 0x9F; everything else maps to the character of the same value.
constexpr std::array<char16_t, 32> kHighControls = {
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178',
};

} // namespace

std::uint8_t CharToAnsi(char16_t c) noexcept {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
    return static_cast<std::uint8_t>(c);
  for (std::size_t i = 0; i < kHighControls.size(); ++i)
    if (kHighControls[i] == c)
      return static_cast<std::uint8_t>(0x80 + i);
  return '?';
}

char16_t AnsiToChar(std::uint8_t b) noexcept {
  return b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : char16_t{b};
}

} // namespace quillsum
