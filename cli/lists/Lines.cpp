#include "cli/lists/Lines.h"

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

} // namespace quillsum::cli
