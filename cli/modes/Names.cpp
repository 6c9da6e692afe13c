#include "cli/modes/Names.h"

#include <algorithm>
#include <filesystem>

namespace quillsum::cli {

bool IsScratchName(std::string_view name) {
  const std::string_view prefix = kScratchName.substr(0, kScratchName.find('X'));
  return name.size() == kScratchName.size() && name.starts_with(prefix);
}

std::string NormalName(std::string_view name) {
  // Most names are normal already: no empty component but a leading one, no "." or "..".
  bool already = !name.empty();
  for (std::size_t at = 0; already && at <= name.size();) {
    const std::size_t end = std::min(name.find('/', at), name.size());
    const std::string_view part = name.substr(at, end - at);
    already = (!part.empty() || (at == 0 && end < name.size())) && part != "." && part != "..";
    at = end + 1;
  }
  if (already)
    return std::string(name);
  std::string normal = std::filesystem::path(name).lexically_normal().native();
  if (normal.size() > 1 && normal.back() == '/')
    normal.pop_back();
  return normal;
}

} // namespace quillsum::cli
