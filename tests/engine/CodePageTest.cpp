#include "engine/CodePage.h"
#include "engine/MD5CLS.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

namespace quillsum {
namespace {

TEST(CodePage, EveryCharacterMapsAsWindows1252) {
  for (char32_t c = 0; c <= 0xFFFF; ++c) {
    const auto ch = static_cast<char16_t>(c);
    ASSERT_EQ(CharToAnsi(ch), test::ReferenceAnsi(ch)) << "U+" << std::hex << static_cast<int>(c);
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
