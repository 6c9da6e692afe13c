#include "cli/loop/Disks.h"

#include "cli/lists/CheckList.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
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

// How each kind of disk is read: the loop's whole read policy. The page cache is asked about a
// file only where the answer changes the road.
struct Reads {
  bool ownReader;    // one reader for the disk, in disk order; else the hashing threads' lanes
  bool askPageCache; // a file mostly in memory takes the lanes all the same
  bool askAhead;     // the lanes ask for their files' reads at once when they find them cold
};
constexpr Reads ReadsOf(const Disk &disk) {
  return disk.spinning ? Reads{true, true, false} : Reads{false, false, true};
}

// After this many files of a disk in a row were in memory, one file in kSampled is looked at.
constexpr unsigned kInMemoryRun = 64;
constexpr unsigned kSampled = 16;
// Once a flash disk's file is found cold, this many files that follow are asked for ahead.
constexpr unsigned kColdFiles = 4096;

// A large file's pages are looked up in the page cache in kSamples samples of kSample bytes
// spread over it: as telling as every page, and far quicker for a large file.
constexpr off_t kSample = 64 << 10;
constexpr off_t kSamples = 16;

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

// A lookup the descriptor budget had no permit for.
struct Refused {};

DescriptorBudget::Held OpenForLookup(const fs::path &path, int flags) {
  // Lookups run on threads that hold files; they never wait for a descriptor.
  DescriptorBudget::Held file =
      DescriptorBudget::OfProcess().Open(path.c_str(), flags | O_RDONLY | O_CLOEXEC, false);
  if (!file && (errno == EMFILE || errno == ENFILE))
    throw Refused{};
  return file;
}

std::string FirstLine(const fs::path &file) {
  const DescriptorBudget::Held opened = OpenForLookup(file, 0);
  std::string line;
  if (opened)
    LineReader(opened.get()).Next(line);
  return line;
}

// The names in a folder, listed with one descriptor that is closed again before they are used.
std::vector<fs::path> Entries(const fs::path &folder) {
  std::vector<fs::path> entries;
  DescriptorBudget::Held opened = OpenForLookup(folder, O_DIRECTORY);
  DIR *listing = opened ? ::fdopendir(opened.get()) : nullptr;
  if (!listing)
    return entries;
  while (const dirent *entry = ::readdir(listing))
    if (entry->d_name[0] != '.')
      entries.push_back(folder / entry->d_name);
  ::closedir(listing);
  opened.ClosedElsewhere();
  return entries;
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
  const std::vector<fs::path> slaves =
      depth < kMaxDepth ? Entries(disk / "slaves") : std::vector<fs::path>{};
  for (const fs::path &slave : slaves)
    if (const Disk found = Resolve(fs::canonical(slave), depth + 1); found.spinning)
      return found;
  return slaves.empty() ? own : Disk{own.id, false};
}

// The source of the mount whose device is the given one, as mountinfo shows it.
std::optional<std::string> MountSource(const fs::path &mountinfo, dev_t device) {
  const DescriptorBudget::Held opened = OpenForLookup(mountinfo, 0);
  if (!opened)
    return std::nullopt;
  LineReader lines(opened.get());
  const std::string wanted = Numbers(device);
  for (std::string line; lines.Next(line);) {
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

// What the calling thread last learnt of a device: its disk, and how many of its files in a row
// were in memory.
struct LastDevice {
  const Disks *disks = nullptr;
  dev_t device = 0;
  Disk disk{};
  unsigned inMemory = 0, files = 0;
};
thread_local LastDevice last;

} // namespace

Disks::Disks(Road forced, fs::path sysfs, fs::path mountinfo)
    : forced_(forced), sysfs_(std::move(sysfs)), mountinfo_(std::move(mountinfo)) {}

Disk Disks::Of(dev_t device) {
  {
    const std::lock_guard lock(mutex_);
    if (const auto known = known_.find(device); known != known_.end())
      return known->second;
  }
  const std::optional<Disk> found = Find(device);
  if (!found)
    return {device, false};
  try {
    const std::lock_guard lock(mutex_);
    return known_.emplace(device, *found).first->second;
  } catch (const std::bad_alloc &) { // looked up again next time
    return *found;
  }
}

std::optional<Disk> Disks::Find(dev_t device) {
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
  } catch (const Refused &) {
    return std::nullopt;
  } catch (const std::bad_alloc &) {
    return std::nullopt;
  }
}

bool Disks::ByItsReader(int fd, const struct stat &info) {
  if (forced_ != Road::Automatic)
    return forced_ == Road::Disk;
  try {
    if (last.disks != this || last.device != info.st_dev)
      last = {this, info.st_dev, Of(info.st_dev), 0, 0};
  } catch (const std::bad_alloc &) { // unknown: the lanes read it
    return false;
  }
  ++last.files;
  const Reads reads = ReadsOf(last.disk);
  if (!reads.ownReader || !reads.askPageCache)
    return reads.ownReader;
  // A file missed by the sampling takes the lanes, which read it well enough.
  if (last.inMemory >= kInMemoryRun && last.files % kSampled != 0)
    return false;
  if (InMemory(fd, info.st_size)) {
    ++last.inMemory;
    return false;
  }
  last.inMemory = 0;
  return true;
}

dev_t Disks::ReaderOf(dev_t device) { return forced_ == Road::Disk ? device : Of(device).id; }

bool Disks::FoundCold(dev_t device) {
  try {
    if (forced_ == Road::Disk || !ReadsOf(Of(device)).askAhead)
      return false;
  } catch (const std::bad_alloc &) {
    return false;
  }
  cold_ = kColdFiles;
  return true;
}

bool Disks::AskAhead(dev_t device) {
  try {
    return cold_ > 0 && forced_ != Road::Disk && ReadsOf(Of(device)).askAhead;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

bool Disks::TakeCold() {
  for (unsigned cold = cold_; cold > 0;)
    if (cold_.compare_exchange_weak(cold, cold - 1))
      return true;
  return false;
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

// Asked of cachestat where the kernel has it, else of mincore over a mapping of each sample.
bool InMemory(int fd, off_t size) {
  if (size == 0)
    return true;
  const off_t page = ::sysconf(_SC_PAGESIZE);
  const off_t samples = size > kSamples * kSample ? kSamples : 1;
  const off_t sample = samples == 1 ? size : kSample;
  // Sample k starts at a multiple of kSample (a whole number of pages, as mmap needs).
  const auto start = [&](off_t k) {
    return samples == 1 ? 0 : k * (size - kSample) / (samples - 1) / kSample * kSample;
  };
  const std::uint64_t pages = static_cast<std::uint64_t>(samples * ((sample + page - 1) / page));
  std::uint64_t cached = 0;
  bool counted = true;
  for (off_t k = 0; k < samples && counted; ++k) {
    CachestatRange range{static_cast<std::uint64_t>(start(k)), static_cast<std::uint64_t>(sample)};
    Cachestat stat{};
    counted = ::syscall(kCachestat, fd, &range, &stat, 0) == 0;
    cached += stat.cached;
  }
  if (counted)
    return cached * 2 >= pages;
  std::vector<unsigned char> resident(static_cast<std::size_t>((sample + page - 1) / page));
  cached = 0;
  for (off_t k = 0; k < samples; ++k) {
    const auto length = static_cast<std::size_t>(sample);
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
