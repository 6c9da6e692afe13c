#include "cli/Lines.h"

#include <algorithm>
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

} // namespace

std::string DigestLine(std::string_view hex, std::string_view name, const LineStyle &style) {
  const bool escape = !style.zero && name.find_first_of("\\\n\r") != std::string_view::npos;
  std::string line;
  line.reserve(name.size() + hex.size() + style.tag.size() + 8);
  if (escape)
    line += '\\';
  if (style.tagged) {
    line.append(style.tag).append(" (");
    AppendName(line, name, escape);
    line.append(") = ").append(hex);
  } else {
    line.append(hex).append(style.binary ? " *" : "  ");
    AppendName(line, name, escape);
  }
  line += style.zero ? '\0' : '\n';
  return line;
}

std::string VerdictLine(std::string_view name, std::string_view verdict) {
  const bool escape = name.find('\n') != std::string_view::npos;
  std::string line;
  if (escape)
    line += '\\';
  AppendName(line, name, escape);
  line.append(": ").append(verdict) += '\n';
  return line;
}

std::string MovedLine(std::string_view name, std::string_view target) {
  const bool escape =
      name.find('\n') != std::string_view::npos || target.find('\n') != std::string_view::npos;
  std::string line;
  if (escape)
    line += '\\';
  AppendName(line, name, escape);
  line.append(": MOVED to ");
  AppendName(line, target, escape);
  line += '\n';
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

std::string_view TimesIn(std::string_view line) {
  if (line.ends_with('\r'))
    line.remove_suffix(1);
  constexpr std::string_view size = "#size=", mtime = " mtime=";
  const auto digits = [](std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  const std::size_t at = line.find(mtime);
  if (!line.starts_with(size) || at == std::string_view::npos ||
      !digits(line.substr(size.size(), at - size.size())))
    return {};
  // YYYY-MM-DDTHH:MM:SS.NNNNNNNNNZ: each character's class, from the end (the year may be longer).
  constexpr std::string_view form = "0000-00-00T00:00:00.000000000Z";
  const std::string_view time = line.substr(at + mtime.size());
  if (time.size() < form.size() || !digits(time.substr(0, time.size() - form.size() + 4)))
    return {};
  for (std::size_t k = 0; k < form.size(); ++k) {
    const char want = form[form.size() - 1 - k], got = time[time.size() - 1 - k];
    if (want == '0' ? !digits(std::string_view(&got, 1)) : got != want)
      return {};
  }
  return line;
}

} // namespace quillsum::cli
