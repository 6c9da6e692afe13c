#include "cli/lists/Unicode.h"

namespace quillsum::cli {

bool NextUtf8(std::string_view text, std::size_t &at, char32_t &code) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80   ? 1
                             : lead < 0xC2 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
  if (length == 0 || text.size() - at < length)
    return false;
  char32_t value = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80)
      return false;
    value = value << 6 | (next & 0x3F);
  }
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return false;
  code = value;
  at += length;
  return true;
}

bool IsUtf8(std::string_view text) {
  char32_t code;
  for (std::size_t at = 0; at < text.size();)
    if (!NextUtf8(text, at, code))
      return false;
  return true;
}

std::optional<std::u16string> FromUtf8(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  char32_t code;
  for (std::size_t at = 0; at < bytes.size();) {
    if (!NextUtf8(bytes, at, code))
      return std::nullopt;
    if (code < 0x10000) {
      text += static_cast<char16_t>(code);
    } else {
      text += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
  }
  return text;
}

void AppendUtf8(std::string &text, char32_t code) {
  const auto byte = [](char32_t bits) { return static_cast<char>(bits); };
  if (code < 0x80) {
    text += byte(code);
  } else if (code < 0x800) {
    text += byte(0xC0 | code >> 6);
    text += byte(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += byte(0xE0 | code >> 12);
    text += byte(0x80 | (code >> 6 & 0x3F));
    text += byte(0x80 | (code & 0x3F));
  } else {
    text += byte(0xF0 | code >> 18);
    text += byte(0x80 | (code >> 12 & 0x3F));
    text += byte(0x80 | (code >> 6 & 0x3F));
    text += byte(0x80 | (code & 0x3F));
  }
}

} // namespace quillsum::cli
