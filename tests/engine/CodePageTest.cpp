#include "engine/CodePage.h"
#include "engine/MD5CLS.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <optional>

namespace quillsum {
namespace {

// glibc's own Windows-1252 table, as an independent model; it has no byte for the five
// unassigned codes.
std::optional<std::uint8_t> IconvCp1252(char16_t c) {
  const iconv_t cd = iconv_open("CP1252", "UTF-16LE");
  char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  char out[4] = {};
  char *inPtr = in;
  char *outPtr = out;
  std::size_t inLeft = 2, outLeft = sizeof out;
  const bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
                  outLeft == sizeof out - 1;
  iconv_close(cd);
  return ok ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(out[0])) : std::nullopt;
}

bool IsUnassignedByte(char16_t c) {
  return c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

TEST(CodePage, EveryCharacterMapsAsWindows1252) {
  for (char32_t c = 0; c <= 0xFFFF; ++c) {
    const auto ch = static_cast<char16_t>(c);
    const auto expected = IsUnassignedByte(ch)
                              ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(ch))
                              : IconvCp1252(ch);
    ASSERT_EQ(CharToAnsi(ch), expected.value_or('?')) << "U+" << std::hex << static_cast<int>(c);
  }
}

TEST(CodePage, EveryByteSurvivesTheRoundTrip) {
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    EXPECT_EQ(CharToAnsi(AnsiToChar(byte)), byte) << b;
  }
}

TEST(CodePage, TextDigestUsesTheCodePageBytes) {
  struct Case {
    std::u16string text;
    std::string bytes;
  };
  const Case cases[] = {
      {u"caf\u00E9", "caf\xE9"},
      {u"\u20AC 5", "\x80 5"},
      {u"\u0081\u008D\u008F\u0090\u009D", "\x81\x8D\x8F\x90\x9D"},
      {u"\u0100\u4E2D", "??"},
      {u"\U0001F600", "??"}, // a surrogate pair: each half
      {std::u16string(1, u'\0') + u"x", std::string(1, '\0') + "x"},
  };
  for (const auto &[text, bytes] : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(MD5CLS().DigestStrToHexStr(text), test::ReferenceMd5(bytes));
  }
}

} // namespace
} // namespace quillsum
