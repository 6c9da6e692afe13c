#include "cli/lists/Lines.h"

#include "cli/lists/Quote.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace quillsum::cli {
namespace {

void AppendName(std::string &line, std::string_view name, bool escape) {
  if (!escape) {
    line += name;
    return;
  }
  for (const char c : name) {
    if (c == '\\')
      line += "\\\\";
    else if (c == '\n')
      line += "\\n";
    else if (c == '\r')
      line += "\\r";
    else
      line += c;
  }
}

void AppendHex(std::string &line, const DigestBytes &digest, bool upperCase) {
  const char *const digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  for (const std::uint8_t byte : digest) {
    line += digits[byte >> 4];
    line += digits[byte & 15];
  }
}

} // namespace

std::string DigestLine(const DigestBytes &digest, std::string_view name, const LineStyle &style) {
  const bool escape = !style.zero && name.find_first_of("\\\n\r") != std::string_view::npos;
  std::string line;
  line.reserve(name.size() + 2 * digest.size() + style.tag.size() + 8);
  if (escape)
    line += '\\';
  if (style.tagged) {
    line.append(style.tag).append(" (");
    AppendName(line, name, escape);
    line.append(") = ");
    AppendHex(line, digest, style.upperCase);
  } else {
    AppendHex(line, digest, style.upperCase);
    line.append(style.binary ? " *" : "  ");
    AppendName(line, name, escape);
  }
  line += style.zero ? '\0' : '\n';
  return line;
}

std::optional<DigestBytes> ReadHex(std::string_view hex) {
  const auto value = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  DigestBytes digest;
  if (hex.size() != 2 * digest.size())
    return std::nullopt;
  for (std::size_t k = 0; k < digest.size(); ++k) {
    const int high = value(hex[2 * k]), low = value(hex[2 * k + 1]);
    if (high < 0 || low < 0)
      return std::nullopt;
    digest[k] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return digest;
}

std::string WithDigest(std::string line, const DigestBytes &digest, const LineStyle &style) {
  std::string hex;
  AppendHex(hex, digest, style.upperCase);
  std::size_t at = line.starts_with('\\') ? 1 : 0;
  const bool gnu = line.size() > at + hex.size() && line[at + hex.size()] == ' ' &&
                   std::all_of(line.begin() + static_cast<std::ptrdiff_t>(at),
                               line.begin() + static_cast<std::ptrdiff_t>(at + hex.size()),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!gnu) { // "TAG (name) = hex", then maybe a carriage return, then the end
    std::size_t last = line.size();
    while (last > 0 && (line[last - 1] == '\n' || line[last - 1] == '\0' || line[last - 1] == '\r'))
      --last;
    at = last - hex.size();
  }
  return line.replace(at, hex.size(), hex);
}

std::string VerdictLine(std::string_view name, std::string_view verdict) {
  std::string line = QuoteName(name);
  line.append(": ").append(verdict) += '\n';
  return line;
}

std::string MovedLine(std::string_view name, std::string_view target) {
  std::string line = QuoteName(name);
  line.append(": MOVED to ").append(QuoteName(target)) += '\n';
  return line;
}

std::string TimesLine(std::int64_t size, const timespec &mtime, bool zero) {
  tm utc{};
  ::gmtime_r(&mtime.tv_sec, &utc);
  char line[128];
  const int length = std::snprintf(
      line, sizeof line, "#size=%lld mtime=%04d-%02d-%02dT%02d:%02d:%02d.%09ldZ%c",
      static_cast<long long>(size), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
      utc.tm_min, utc.tm_sec, static_cast<long>(mtime.tv_nsec), zero ? '\0' : '\n');
  return std::string(line, static_cast<std::size_t>(length));
}

bool ReadTimesLine(std::string_view line, std::int64_t &size, timespec &mtime) {
  if (line.ends_with('\r'))
    line.remove_suffix(1);
  // "#size=" SIZE " mtime=" YEAR, then the fields of fixed width: each '0' here is a digit.
  constexpr std::string_view head = "#size=", middle = " mtime=",
                             tail = "-00-00T00:00:00.000000000Z";
  const std::size_t at = line.find(middle);
  if (!line.starts_with(head) || at == std::string_view::npos ||
      line.size() < at + middle.size() + 4 + tail.size())
    return false;
  const std::string_view bytes = line.substr(head.size(), at - head.size());
  const std::string_view year =
      line.substr(at + middle.size()).substr(0, line.size() - at - middle.size() - tail.size());
  const std::string_view rest = line.substr(line.size() - tail.size());
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto digits = [&](std::string_view text, std::size_t most) {
    return !text.empty() && text.size() <= most && std::all_of(text.begin(), text.end(), digit);
  };
  if (!digits(bytes, 18) || !digits(year, 9))
    return false;
  for (std::size_t k = 0; k < tail.size(); ++k)
    if (tail[k] == '0' ? !digit(rest[k]) : rest[k] != tail[k])
      return false;
  const auto number = [](std::string_view text) {
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
  };
  tm utc{};
  utc.tm_year = static_cast<int>(number(year) - 1900);
  utc.tm_mon = static_cast<int>(number(rest.substr(1, 2)) - 1);
  utc.tm_mday = static_cast<int>(number(rest.substr(4, 2)));
  utc.tm_hour = static_cast<int>(number(rest.substr(7, 2)));
  utc.tm_min = static_cast<int>(number(rest.substr(10, 2)));
  utc.tm_sec = static_cast<int>(number(rest.substr(13, 2)));
  size = number(bytes);
  mtime = {::timegm(&utc), static_cast<long>(number(rest.substr(16, 9)))};
  return true;
}

} // namespace quillsum::cli
