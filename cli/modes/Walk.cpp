#include "cli/modes/Walk.h"

#include "cli/loop/DescriptorBudget.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace quillsum::cli {
namespace {

struct Entry {
  std::string name;
  unsigned char type; // DT_REG, DT_DIR, ... or DT_UNKNOWN when the file system does not say
  // The name's first 8 bytes as one number that sorts as they do: most names differ there, and
  // numbers compare faster than strings (the hashing threads wait for a large folder's sort).
  std::uint64_t head = 0;

  Entry(std::string_view entry, unsigned char entryType) : name(entry), type(entryType) {
    for (std::size_t k = 0; k < sizeof head; ++k)
      head = head << 8 | (k < name.size() ? static_cast<unsigned char>(name[k]) : 0);
  }
  bool operator<(const Entry &other) const {
    return head != other.head ? head < other.head : name < other.name;
  }
};

// The directory's entries, sorted; the directory is closed again before any is visited, so
// that a deep tree does not hold a descriptor per level.
bool List(const std::string &dir, std::vector<Entry> &entries, int &error) {
  // Through the budget: while the hashing threads hold every descriptor, it waits for one.
  DescriptorBudget::Held folder = DescriptorBudget::OfProcess().Open(
      dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY, true);
  if (!folder) {
    error = errno;
    return false;
  }
  const auto close = [&folder](DIR *stream) {
    ::closedir(stream);
    folder.ClosedElsewhere();
  };
  const std::unique_ptr<DIR, decltype(close)> stream(::fdopendir(folder.get()), close);
  if (!stream) {
    error = errno;
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(stream.get());
    if (!entry)
      break;
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      entries.emplace_back(name, entry->d_type);
  }
  if (errno != 0) {
    error = errno;
    return false;
  }
  std::sort(entries.begin(), entries.end());
  return true;
}

bool Excluded(const std::string &name, const std::vector<std::string> &excluded) {
  return IsScratchName(name) ||
         std::any_of(excluded.begin(), excluded.end(), [&](const std::string &pattern) {
           return ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
         });
}

// The regular files beneath dir; false once file() has asked to stop.
bool Walk(const std::string &dir, const std::vector<std::string> &excluded,
          const std::function<bool(std::string path, bool walked)> &file,
          const std::function<void(const std::string &path, int error)> &failed) {
  std::vector<Entry> entries;
  if (int error = 0; !List(dir, entries, error)) {
    failed(dir, error);
    return true;
  }
  const std::string prefix = dir.ends_with('/') ? dir : dir + '/';
  for (Entry &entry : entries) {
    if (Excluded(entry.name, excluded))
      continue;
    std::string path = prefix + entry.name;
    unsigned char type = entry.type;
    if (type == DT_UNKNOWN) {
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0)
        continue; // gone since it was listed
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      if (!Walk(path, excluded, file, failed))
        return false;
    } else if (type == DT_REG && !file(std::move(path), true)) {
      return false;
    }
  }
  return true;
}

} // namespace

void ForEachFile(const std::vector<std::string> &operands, bool recursive,
                 const std::vector<std::string> &excluded,
                 const std::function<bool(std::string path, bool walked)> &file,
                 const std::function<void(const std::string &path, int error)> &failed) {
  for (const std::string &operand : operands) {
    struct stat info {};
    // Any other operand is read as it stands, and so fails as it would without --recursive.
    if (recursive && operand != "-" && ::stat(operand.c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode)) {
      if (!Walk(operand, excluded, file, failed))
        return;
    } else if (!file(operand, false)) {
      return;
    }
  }
}

bool ListFolder(const std::string &dir, std::vector<std::string> &names, int &error) {
  std::vector<Entry> entries;
  if (!List(dir, entries, error))
    return false;
  for (Entry &entry : entries)
    names.push_back(std::move(entry.name));
  return true;
}

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
