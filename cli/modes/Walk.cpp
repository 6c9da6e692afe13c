#include "cli/modes/Walk.h"

#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/Shortage.h"
#include "cli/modes/Names.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
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
// that a deep tree does not hold a descriptor per level. Gives 0, or the errno of the failure
// (ENOMEM when memory was short). Read with getdents64 into the stack, not through a DIR stream,
// whose 32 KiB buffer is the one large allocation a walk would need when memory is short.
int List(const std::string &dir, std::vector<Entry> &entries) {
  // Through the budget: while the hashing threads hold every descriptor, it waits for one.
  const DescriptorBudget::Held folder = DescriptorBudget::OfProcess().Open(
      dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (!folder)
    return errno;
  alignas(dirent64) char buffer[16 << 10];
  try {
    for (;;) {
      const ssize_t got = ::getdents64(folder.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR)
        continue;
      if (got < 0)
        return errno;
      if (got == 0)
        break;
      for (ssize_t at = 0; at < got;) {
        const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
        at += entry->d_reclen;
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
          entries.emplace_back(name, entry->d_type);
      }
    }
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  std::sort(entries.begin(), entries.end());
  return 0;
}

bool Excluded(const std::string &name, const std::vector<std::string> &excluded) {
  return IsScratchName(name) ||
         std::any_of(excluded.begin(), excluded.end(), [&](const std::string &pattern) {
           return ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
         });
}

struct Walker {
  const std::vector<std::string> &excluded;
  const std::function<void(std::string_view prefix)> &entered;
  const std::function<bool(const Met &met)> &file;
  const std::function<void(const std::string &path, int error)> &failed;
  Shortage *shortage;
  std::size_t folders = 0; // entered so far

  // The regular files beneath dir; false once file() has asked to stop.
  bool Walk(const std::string &dir) {
    std::vector<Entry> entries;
    for (int error; (error = List(dir, entries)) != 0;) {
      entries.clear();
      if (error != ENOMEM || !shortage || !shortage->Await()) {
        failed(dir, error);
        return true;
      }
    }
    std::string prefix;
    Retrying([&] { prefix = dir.ends_with('/') ? dir : dir + '/'; });
    const std::size_t folder = folders++;
    if (entered)
      entered(prefix);
    for (Entry &entry : entries) {
      if (Excluded(entry.name, excluded))
        continue;
      struct stat info {};
      const struct stat *status = nullptr;
      unsigned char type = entry.type;
      if (type == DT_UNKNOWN) {
        std::string path;
        Retrying([&] { path = prefix + entry.name; });
        if (::lstat(path.c_str(), &info) != 0)
          continue; // gone since it was listed
        status = &info;
        type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type == DT_DIR) {
        std::string path;
        Retrying([&] { path = prefix + entry.name; });
        if (!Walk(path))
          return false;
      } else if (type == DT_REG && !file({folder, prefix, entry.name, Origin::Walked, status})) {
        return false;
      }
    }
    return true;
  }

  template <class Work> void Retrying(Work &&work) {
    if (shortage)
      shortage->Retrying(std::forward<Work>(work));
    else
      work();
  }
};

} // namespace

void WalkFiles(const std::vector<std::string> &operands, bool recursive,
               const std::vector<std::string> &excluded,
               const std::function<void(std::string_view prefix)> &entered,
               const std::function<bool(const Met &met)> &file,
               const std::function<void(const std::string &path, int error)> &failed,
               Shortage *shortage) {
  Walker walker{excluded, entered, file, failed, shortage};
  for (const std::string &operand : operands) {
    const Origin origin = OriginOf(operand, false);
    struct stat info {};
    // Any other operand is read as it stands, and so fails as it would without --recursive.
    if (recursive && origin == Origin::Named && ::stat(operand.c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode)) {
      if (!walker.Walk(operand))
        return;
    } else if (!file({kNoFolder, {}, operand, origin, nullptr})) {
      return;
    }
  }
}

void ForEachFile(const std::vector<std::string> &operands, bool recursive,
                 const std::vector<std::string> &excluded,
                 const std::function<bool(std::string path, Origin origin)> &file,
                 const std::function<void(const std::string &path, int error)> &failed,
                 Shortage *shortage) {
  WalkFiles(
      operands, recursive, excluded, nullptr,
      [&](const Met &met) {
        std::string path;
        const auto join = [&] { path.assign(met.prefix) += met.name; };
        if (shortage)
          shortage->Retrying(join);
        else
          join();
        return file(std::move(path), met.origin);
      },
      failed, shortage);
}

int ListFolder(const std::string &dir, std::vector<std::string> &names) {
  std::vector<Entry> entries;
  if (const int error = List(dir, entries))
    return error;
  for (Entry &entry : entries)
    names.push_back(std::move(entry.name));
  return 0;
}

} // namespace quillsum::cli
