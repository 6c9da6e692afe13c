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

// A large file's pages are looked up in the page cache in kWindows windows of kWindow bytes spread
// over it: as telling as every page, and a 64 MiB file is asked about in 12 us rather than 520.
constexpr off_t kWindow = 64 << 10;
constexpr off_t kWindows = 16;

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

// Asked of cachestat where the kernel has it, else of mincore over a mapping of each window.
bool InMemory(int fd, off_t size) {
  if (size == 0)
    return true;
  const off_t page = ::sysconf(_SC_PAGESIZE);
  const off_t windows = size > kWindows * kWindow ? kWindows : 1;
  const off_t window = windows == 1 ? size : kWindow;
  // Window k starts at a multiple of kWindow (a whole number of pages, as mmap needs).
  const auto start = [&](off_t k) {
    return windows == 1 ? 0 : k * (size - kWindow) / (windows - 1) / kWindow * kWindow;
  };
  const std::uint64_t pages = static_cast<std::uint64_t>(windows * ((window + page - 1) / page));
  std::uint64_t cached = 0;
  bool counted = true;
  for (off_t k = 0; k < windows && counted; ++k) {
    CachestatRange range{static_cast<std::uint64_t>(start(k)), static_cast<std::uint64_t>(window)};
    Cachestat stat{};
    counted = ::syscall(kCachestat, fd, &range, &stat, 0) == 0;
    cached += stat.cached;
  }
  if (counted)
    return cached * 2 >= pages;
  std::vector<unsigned char> resident(static_cast<std::size_t>((window + page - 1) / page));
  cached = 0;
  for (off_t k = 0; k < windows; ++k) {
    const auto length = static_cast<std::size_t>(window);
    void *mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, start(k));
    if (mapped == MAP_FAILED)
      return true;
    if (::mincore(mapped, length, resident.data()) == 0)
      for (unsigned char r : resident)
        cached += r & 1;
    ::munmap(mapped, length);
  }
  return cached * 2 >= pages;
}

} // namespace quillsum::cli
