#include "cli/lists/WindowsList.h"

#include "cli/lists/Unicode.h"

#include "engine/CodePage.h"

#include <utility>

namespace quillsum::cli {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF", kUtf16LeMark = "\xFF\xFE",
                           kUtf16BeMark = "\xFE\xFF";

bool IsComment(std::string_view line) { return line.starts_with(';'); }

} // namespace

bool WindowsListDecoder::Decode(std::string_view bytes, bool last, std::string &text) {
  if (form_ == Form::Bytes) {
    text += bytes;
    return true;
  }
  held_ += bytes;
  if (form_ == Form::Unknown) {
    const std::pair<std::string_view, Form> marks[] = {
        {kUtf8Mark, Form::Bytes}, {kUtf16LeMark, Form::Utf16Le}, {kUtf16BeMark, Form::Utf16Be}};
    for (const auto &[mark, form] : marks) {
      if (held_.starts_with(mark)) {
        form_ = form;
        held_.erase(0, mark.size());
        break;
      }
      if (!last && mark.starts_with(held_))
        return true; // a pipe may give the mark a byte at a time
    }
    if (form_ == Form::Unknown || form_ == Form::Bytes) {
      form_ = Form::Bytes;
      text += held_;
      held_ = {};
      return true;
    }
  }
  return DecodeUtf16(last, text);
}

bool WindowsListDecoder::DecodeUtf16(bool last, std::string &text) {
  const auto unitAt = [this](std::size_t at) {
    const auto first = static_cast<unsigned char>(held_[at]),
               second = static_cast<unsigned char>(held_[at + 1]);
    return static_cast<char16_t>(form_ == Form::Utf16Le ? first | second << 8
                                                        : first << 8 | second);
  };
  std::size_t at = 0;
  bool valid = true;
  while (valid && held_.size() - at >= 2) {
    const char16_t unit = unitAt(at);
    if (unit < 0xD800 || unit > 0xDFFF) {
      AppendUtf8(text, unit);
      at += 2;
    } else if (unit > 0xDBFF) {
      valid = false; // a low surrogate first
    } else if (held_.size() - at < 4) {
      break; // the low surrogate is still to come
    } else if (const char16_t low = unitAt(at + 2); low < 0xDC00 || low > 0xDFFF) {
      valid = false;
    } else {
      AppendUtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      at += 4;
    }
  }
  held_.erase(0, at);
  return valid && !(last && !held_.empty());
}

void ToMd5sumLine(std::string &line) {
  if (IsComment(line))
    line.clear();
  else
    line = WindowsText(std::move(line));
}

std::string WindowsText(std::string bytes) {
  if (IsUtf8(bytes))
    return bytes;
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char byte : bytes)
    AppendUtf8(text, AnsiToChar(static_cast<std::uint8_t>(byte)));
  return text;
}

bool LooksWrittenOnWindows(std::string_view line, bool first) {
  return IsComment(line) ||
         (first && (line.starts_with(kUtf8Mark) || line.starts_with(kUtf16LeMark) ||
                    line.starts_with(kUtf16BeMark)));
}

} // namespace quillsum::cli
