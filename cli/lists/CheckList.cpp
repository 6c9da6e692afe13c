#include "cli/lists/CheckList.h"

#include <array>
#include <cerrno>
#include <string_view>

#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::size_t kHexDigits = 32;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Exactly 32 hex digits from at, then the end of the string (a zero byte counts as one).
bool HexAt(const std::string &s, std::size_t at) {
  for (std::size_t k = 0; k < kHexDigits; ++k)
    if (!IsHexDigit(s[at + k]))
      return false;
  return s[at + kHexDigits] == '\0';
}

// Undoes the escaping of s[from, to) in place and ends the result with a zero byte if it got
// shorter. Only \\, \n and \r are escapes; anything else, a lone backslash at the end or a zero
// byte makes the name invalid.
bool Unescape(std::string &s, std::size_t from, std::size_t to) {
  std::size_t out = from;
  for (std::size_t at = from; at < to; ++at) {
    char c = s[at];
    if (c == '\0')
      return false;
    if (c == '\\') {
      if (++at == to)
        return false;
      c = s[at] == 'n' ? '\n' : s[at] == 'r' ? '\r' : s[at] == '\\' ? '\\' : '\0';
      if (c == '\0')
        return false;
    }
    s[out++] = c;
  }
  if (out < to)
    s[out] = '\0';
  return true;
}

} // namespace

// The string is read as C reads one: s[s.size()] is a zero byte, and the name and the hex end at
// the first zero byte, as they do in md5sum.
ListParser::Line ListParser::Parse(std::string s, ListedFile &file) {
  if (!s.empty() && s.front() == '#')
    return Line::Skipped;
  if (!s.empty() && s.back() == '\r')
    s.pop_back();
  if (s.empty())
    return Line::Skipped;

  const std::size_t length = s.size();
  std::size_t at = 0;
  while (IsBlank(s[at]))
    ++at;
  const bool escaped = s[at] == '\\';
  at += escaped;

  std::size_t hexAt, nameAt;
  if (s.compare(at, tag_.size(), tag_) == 0) {
    // "<TAG> (<name>) = <hex>", the name ending at the last ')'.
    at += tag_.size();
    at += s[at] == ' ';
    if (s[at] != '(')
      return Line::Misformatted;
    nameAt = ++at;
    if (nameAt == length)
      return Line::Misformatted;
    std::size_t close = length - 1;
    while (close > nameAt && s[close] != ')')
      --close;
    if (s[close] != ')' || (escaped && !Unescape(s, nameAt, close)))
      return Line::Misformatted;
    s[close] = '\0';
    at = close + 1;
    while (IsBlank(s[at]))
      ++at;
    if (s[at] != '=')
      return Line::Misformatted;
    ++at;
    while (IsBlank(s[at]))
      ++at;
    hexAt = at;
  } else {
    // "<hex><blank><type flag><name>", or "<hex><blank><name>" in the form some BSD tools write.
    if (length - at < kHexDigits + 2 + (s[at] == '\\'))
      return Line::Misformatted;
    hexAt = at;
    at += kHexDigits;
    if (!IsBlank(s[at]))
      return Line::Misformatted;
    s[at++] = '\0';
    if (!HexAt(s, hexAt))
      return Line::Misformatted;
    // Once a list has used one form, a line in the other is refused: a name cannot then gain
    // or lose a leading space or '*' by being read in the wrong form.
    if (length - at == 1 || (s[at] != ' ' && s[at] != '*')) {
      if (separator_ == Separator::TypeFlag)
        return Line::Misformatted;
      separator_ = Separator::SingleBlank;
    } else if (separator_ != Separator::SingleBlank) {
      separator_ = Separator::TypeFlag;
      ++at;
    }
    nameAt = at;
    if (escaped && !Unescape(s, nameAt, length))
      return Line::Misformatted;
  }
  if (!HexAt(s, hexAt))
    return Line::Misformatted;
  file.digest = *ReadHex(std::string_view(s).substr(hexAt, kHexDigits));
  file.name.assign(s.c_str() + nameAt);
  file.escaped = escaped;
  return Line::Listed;
}

LineReader::LineReader(int fd, bool windows) : fd_(fd) {
  if (windows)
    windows_.emplace();
}

bool LineReader::Next(std::string &line) {
  for (;;) {
    const std::size_t newline = buffer_.find('\n', at_);
    if (newline != std::string::npos) {
      line.assign(buffer_, at_, newline - at_);
      at_ = newline + 1;
      break;
    }
    if (ended_) {
      if (error_ != 0 || invalid_ || at_ == buffer_.size())
        return false;
      line.assign(buffer_, at_);
      at_ = buffer_.size();
      break;
    }
    buffer_.erase(0, at_);
    at_ = 0;
    // Room first: a read's bytes are never lost to a failed allocation, so that Next may be tried
    // again.
    std::array<char, 64 * 1024> chunk;
    buffer_.reserve(buffer_.size() + chunk.size());
    const ssize_t got = ::read(fd_, chunk.data(), chunk.size());
    if (got < 0) {
      error_ = errno == EINTR ? 0 : errno;
      ended_ = error_ != 0;
      continue;
    }
    ended_ = got == 0;
    const std::string_view bytes(chunk.data(), static_cast<std::size_t>(got));
    if (!windows_)
      buffer_ += bytes;
    else if (!windows_->Decode(bytes, ended_, buffer_))
      ended_ = invalid_ = true;
  }
  if (windows_)
    ToMd5sumLine(line);
  return true;
}

} // namespace quillsum::cli
