#include "cli/lists/Quote.h"
#include "cli/modes/Modes.h"

#include "engine/MD5CLS.h"

#include <optional>

namespace quillsum::cli {
namespace {

// The UTF-16 text of UTF-8 bytes; nothing when they are not UTF-8 (overlong forms, surrogates
// and code points past U+10FFFF included).
std::optional<std::u16string> FromUtf8(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || bytes.size() - at < length)
      return std::nullopt;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[at + k]);
      if ((next & 0xC0) != 0x80)
        return std::nullopt;
      code = code << 6 | (next & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return std::nullopt;
    if (code < 0x10000) {
      text += static_cast<char16_t>(code);
    } else {
      text += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
    at += length;
  }
  return text;
}

} // namespace

bool DigestTexts(const Options &options, Output &output) {
  bool ok = true;
  for (const std::string &operand : options.operands) {
    const std::optional<std::u16string> text = FromUtf8(operand);
    if (!text) {
      output.Error(QuoteName(operand) + ": not valid UTF-8");
      ok = false;
      continue;
    }
    std::string line = MD5CLS().DigestStrToHexStr(*text);
    line += options.zero ? '\0' : '\n';
    output.Out(line);
  }
  output.Flush();
  return ok;
}

} // namespace quillsum::cli
