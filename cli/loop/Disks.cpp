#include "cli/loop/Disks.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

namespace fs = std::filesystem;

// The most of a file whose pages are looked up in the page cache.
constexpr off_t kLookedAt = 64 << 20;

// The page cache's count of a file's pages (cachestat(2), Linux 6.5), declared here as glibc
// does not yet.
struct CachestatRange {
  std::uint64_t offset, length;
};
struct Cachestat {
  std::uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
};
constexpr long kCachestat = 451;

// dm over md over dm... is never this deep; a cycle in a broken tree stops here.
constexpr int kMaxDepth = 8;

std::string FirstLine(const fs::path &file) {
  std::ifstream stream(file);
  std::string line;
  std::getline(stream, line);
  return line;
}

// "8:1", as in sysfs's dev files and mountinfo.
std::string Numbers(dev_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

dev_t Device(const std::string &numbers) {
  unsigned major = 0, minor = 0;
  return std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) == 2 ? makedev(major, minor) : 0;
}

// The disk of a block device's sysfs folder (symbolic links resolved, so that a partition's
// parent folder is its disk).
Disk Resolve(const fs::path &folder, int depth) {
  const fs::path disk = fs::exists(folder / "partition") ? folder.parent_path() : folder;
  const Disk own{Device(FirstLine(disk / "dev")), FirstLine(disk / "queue" / "rotational") == "1"};
  bool stacked = false;
  if (depth < kMaxDepth && fs::is_directory(disk / "slaves"))
    for (const auto &slave : fs::directory_iterator(disk / "slaves")) {
      stacked = true;
      if (const Disk found = Resolve(fs::canonical(slave.path()), depth + 1); found.spinning)
        return found;
    }
  return stacked ? Disk{own.id, false} : own;
}

// The source of the mount whose device is the given one, as mountinfo shows it.
std::optional<std::string> MountSource(const fs::path &mountinfo, dev_t device) {
  std::ifstream lines(mountinfo);
  const std::string wanted = Numbers(device);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    fields >> id >> parent >> numbers;
    const auto dash = line.find(" - "); // then the file system's type and the source
    if (numbers != wanted || dash == std::string::npos)
      continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type, source;
    rest >> type >> source;
    return source;
  }
  return std::nullopt;
}

} // namespace

Disks::Disks(fs::path sysfs, fs::path mountinfo)
    : sysfs_(std::move(sysfs)), mountinfo_(std::move(mountinfo)) {}

Disk Disks::Of(dev_t device) {
  const std::lock_guard lock(mutex_);
  if (const auto known = known_.find(device); known != known_.end())
    return known->second;
  return known_.emplace(device, Find(device)).first->second;
}

Disk Disks::Find(dev_t device) const {
  const Disk unknown{device, false};
  try {
    fs::path folder = sysfs_ / "dev" / "block" / Numbers(device);
    if (major(device) == 0) {
      // No block device of its own: the source's name, once /dev/mapper/x and the like are
      // followed to the device node, names it in sysfs.
      const auto source = MountSource(mountinfo_, device);
      if (!source || !source->starts_with('/'))
        return unknown;
      folder = sysfs_ / "class" / "block" / fs::weakly_canonical(*source).filename();
    }
    if (!fs::exists(folder))
      return unknown;
    return Resolve(fs::canonical(folder), 0);
  } catch (const fs::filesystem_error &) {
    return unknown;
  }
}

std::uint64_t DiskOrder(int fd, const struct stat &info) {
  // One extent is enough: the first one the file has.
  alignas(fiemap) unsigned char request[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
  auto *map = reinterpret_cast<fiemap *>(request);
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = 1;
  if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0)
    return info.st_ino;
  if (map->fm_mapped_extents == 0)
    return 0;
  const fiemap_extent &first = map->fm_extents[0];
  return first.fe_flags & FIEMAP_EXTENT_UNKNOWN ? info.st_ino : first.fe_physical;
}

// Asked of cachestat where the kernel has it, else of mincore over a mapping of the file.
bool InMemory(int fd, off_t size) {
  const off_t length = std::min(size, kLookedAt);
  if (length == 0)
    return true;
  const long page = ::sysconf(_SC_PAGESIZE);
  const auto pages = static_cast<std::uint64_t>((length + page - 1) / page);
  CachestatRange range{0, static_cast<std::uint64_t>(length)};
  Cachestat counted{};
  if (::syscall(kCachestat, fd, &range, &counted, 0) == 0)
    return counted.cached * 2 >= pages;
  void *mapped = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED)
    return true;
  std::vector<unsigned char> resident(pages);
  std::uint64_t cached = 0;
  if (::mincore(mapped, static_cast<std::size_t>(length), resident.data()) == 0)
    for (unsigned char r : resident)
      cached += r & 1;
  ::munmap(mapped, static_cast<std::size_t>(length));
  return cached * 2 >= pages;
}

} // namespace quillsum::cli
