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

constexpr char16_t CharOf(std::uint8_t b) {
  return b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : char16_t{b};
}

// The byte of every character, as one lookup, so that a long text costs the same whatever its
// characters: characters are grouped in pages of 256 by their high byte; the five pages that
// hold a character of the code page have their own bytes, every other page is all "?".
struct ByteTable {
  std::array<std::uint8_t, 256> pageOf{}; // page 0 is the all-"?" one
  std::array<std::array<std::uint8_t, 256>, 6> pages{};
};

constexpr ByteTable MakeByteTable() {
  ByteTable table;
  for (auto &page : table.pages)
    page.fill('?');
  std::uint8_t used = 1;
  for (unsigned b = 0; b < 256; ++b) {
    const char16_t c = CharOf(static_cast<std::uint8_t>(b));
    auto &page = table.pageOf[c >> 8];
    if (page == 0)
      page = used++;
    table.pages[page][c & 0xFF] = static_cast<std::uint8_t>(b);
  }
  return table;
}

constexpr ByteTable kBytes = MakeByteTable();

} // namespace

std::uint8_t CharToAnsi(char16_t c) noexcept {
  return kBytes.pages[kBytes.pageOf[c >> 8]][c & 0xFF];
}

char16_t AnsiToChar(std::uint8_t b) noexcept { return CharOf(b); }

} // namespace quillsum
