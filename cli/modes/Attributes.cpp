#include "cli/modes/Attributes.h"

#include <cerrno>
#include <cstring>

#include <sys/xattr.h>

namespace quillsum::cli {
namespace {

// One attribute's value (or, with no name, the names of all, each ended by a zero byte) into
// bytes; false on failure, with errno.
bool Attribute(int fd, const char *name, std::string &bytes) {
  for (;;) {
    const ssize_t size = name ? ::fgetxattr(fd, name, nullptr, 0) : ::flistxattr(fd, nullptr, 0);
    if (size < 0)
      return false;
    bytes.resize(static_cast<std::size_t>(size));
    const ssize_t got = name ? ::fgetxattr(fd, name, bytes.data(), bytes.size())
                             : ::flistxattr(fd, bytes.data(), bytes.size());
    if (got >= 0) {
      bytes.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) // else it grew meanwhile: again
      return false;
  }
}

} // namespace

std::optional<std::map<std::string, std::string>> AttributesOf(int fd) {
  std::map<std::string, std::string> attributes;
  std::string names;
  if (!Attribute(fd, nullptr, names)) {
    if (errno == ENOTSUP) // a file system without them
      return attributes;
    return std::nullopt;
  }
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
    const char *name = names.c_str() + at;
    if (!Attribute(fd, name, attributes[name]))
      return std::nullopt;
  }
  return attributes;
}

bool CopyAttributes(int from, int to) {
  const auto given = AttributesOf(from);
  if (!given)
    return false;
  std::string theirs;
  for (const auto &[name, value] : *given) {
    if (Attribute(to, name.c_str(), theirs) && theirs == value)
      continue;
    if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
      return false;
  }
  return true;
}

} // namespace quillsum::cli
