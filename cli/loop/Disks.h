#pragma once

#include "cli/loop/DescriptorBudget.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include <sys/stat.h>
#include <sys/types.h>

namespace quillsum::cli {

// The disk beneath a file system, as far as reading it goes.
struct Disk {
  dev_t id;      // the whole disk: files with the same id share one reading head
  bool spinning; // its queue says rotational; false for anything unknown
};

// The road every regular file is sent on, whatever its disk (QUILLSUM_ROAD=lanes or =disk, for
// tests that hold both roads to md5sum's output); Automatic lets each disk's policy decide.
enum class Road { Automatic, Lanes, Disk };

// How the loop reads each disk, decided here and nowhere else: which disk a file is on and
// whether it spins, the one table of how each kind of disk is read, and whether a file's pages
// are in the page cache where that changes the road. Any thread may ask.
//
// Disks are found from a file's st_dev: a partition's whole disk; for dm-* and md* devices, a
// disk beneath them that spins (or the device itself when none does); a loop device by its own
// flag; a file system whose st_dev names no block device (btrfs and other anonymous devices)
// through its mount's source. Anything else (network, FUSE, overlay, tmpfs, no sysfs) counts as
// flash, with the device itself as id. Each device is looked up once, through the descriptor
// budget; a lookup the budget or memory refuses counts as flash this time.
class Disks {
public:
  explicit Disks(Road forced, std::filesystem::path sysfs = "/sys",
                 std::filesystem::path mountinfo = "/proc/self/mountinfo");
  Disks(const Disks &) = delete;
  Disks &operator=(const Disks &) = delete;

  Road forced() const { return forced_; }
  Disk Of(dev_t device);

  // Whether a regular file open as fd (with info) is read by its disk's own reader, in disk
  // order, rather than by the hashing threads' lanes: files on a spinning disk whose pages are
  // mostly not in memory. Each calling thread keeps what it last learnt of a device, so that a
  // run of files on one device asks sysfs once and, once many in a row were in memory, asks the
  // page cache about one file in 16 only.
  bool ByItsReader(int fd, const struct stat &info);
  // The disk whose reader reads a file of this device.
  dev_t ReaderOf(dev_t device);

  // A lane's first read of a file on this device waited for the disk. Where the disk's reads are
  // asked for ahead (flash, whose channels each serve one read at a time), the next files are
  // then asked for at once; true when that begins now.
  bool FoundCold(dev_t device);
  // Whether a file on this device that a lane starts now is to be asked for at once.
  bool AskAhead(dev_t device);
  // Takes one of the files still to be asked for ahead, for those that warm them; false when
  // none is left.
  bool TakeCold();
  bool Cold() const { return cold_ > 0; }

private:
  std::optional<Disk> Find(dev_t device);

  const Road forced_;
  const std::filesystem::path sysfs_, mountinfo_;
  std::mutex mutex_;
  std::map<dev_t, Disk> known_;
  std::atomic<unsigned> cold_ = 0; // files still to ask for ahead since a read was found cold
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
