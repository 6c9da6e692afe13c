#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>

#include <sys/stat.h>
#include <sys/types.h>

namespace quillsum::cli {

// The disk beneath a file system, as far as reading it goes.
struct Disk {
  dev_t id;      // the whole disk: files with the same id share one reading head
  bool spinning; // its queue says rotational; false for anything unknown
};

// Which disk a file is on, and whether it spins, from its st_dev: a partition's whole disk; for
// dm-* and md* devices, a disk beneath them that spins (or the device itself when none does); a
// loop device by its own flag; a file system whose st_dev names no block device (btrfs and other
// anonymous devices) through its mount's source. Anything else (network, FUSE, overlay, tmpfs, no
// sysfs) counts as flash, with the device itself as id. Each device is looked up once; Of may be
// called from several threads.
class Disks {
public:
  explicit Disks(std::filesystem::path sysfs = "/sys",
                 std::filesystem::path mountinfo = "/proc/self/mountinfo");

  Disk Of(dev_t device);

private:
  Disk Find(dev_t device) const;

  const std::filesystem::path sysfs_, mountinfo_;
  std::mutex mutex_;
  std::map<dev_t, Disk> known_;
};

// Where an open regular file lies on its disk, for reading files in that order: the physical
// byte offset of its first extent (FIEMAP); 0 when it has no data on the disk (empty, or all
// holes); its inode number where the file system does not say. Offsets of files on different
// file systems do not compare.
std::uint64_t DiskOrder(int fd, const struct stat &info);

// Whether most of an open file (of size bytes) is in memory, asked without reading any: of a
// large file, of windows spread over it.
bool InMemory(int fd, off_t size);

} // namespace quillsum::cli
