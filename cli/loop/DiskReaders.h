#pragma once

#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Job.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include <sys/stat.h>

namespace quillsum::cli {

// Where a regular file's data is read from, and so how the loop reads it. The one table of the
// loop's read policy is ReadsOf, in DiskReaders.cpp.
enum class Medium { Memory, Flash, Spinning };

// The readers of disks that are best read their own way. Threads reading many files at once make
// a spinning disk seek between them at every piece; such a disk gets one reader instead, a thread
// that reads its files one at a time in the order of their places on the disk (FIEMAP), and opens
// the next file while this one is hashed, so that the disk is swept once. Files in memory and on
// flash keep the hashing threads' lanes, which suit them. Output keeps its order: the window
// hands on what the readers complete in their turn.
//
// QUILLSUM_ROAD=lanes or =disk in the environment sends every regular file one way, for tests
// that hold both to md5sum's output.
class DiskReaders {
public:
  DiskReaders(Window &window, Progress *progress, DescriptorBudget &descriptors, bool keepTimes);
  DiskReaders(const DiskReaders &) = delete;
  DiskReaders &operator=(const DiskReaders &) = delete;
  ~DiskReaders();

  // Takes the job whose regular file is open as fd (with info) if its disk has a reader of its
  // own: that reader then reads and completes it, and fd may be closed. False when it does not,
  // or when no thread or memory can be had for the reader: the caller reads it.
  //
  // Each calling thread keeps what it last learnt of a device (its disk, and how many of its
  // files in a row were in memory), so that a run of files on one device asks sysfs once and,
  // once many in a row were in memory, asks the page cache about one file in 16 only. Files on
  // flash are never asked about: the lanes read them whether or not they are in memory.
  bool Take(Job &job, int fd, const struct stat &info) noexcept;

  // A lane's first read of a file on this device had to wait for the disk. On a medium whose
  // reads are asked for ahead (flash, whose channels each serve one read at a time), the next
  // files are then asked for at once: by the lanes as they start them (AskAhead), and by
  // warmers, threads that only wait on the disk, which open the files not claimed yet and ask the
  // kernel for their pages, so that many reads are in flight however few hashing threads run.
  void FoundCold(dev_t device) noexcept;
  // Whether a file on this device that a lane starts now is to be asked for at once.
  bool AskAhead(dev_t device) noexcept;

  // Waits until the readers have read every file they took, and ends their threads.
  void Finish();

  class Reader;
  class Warmers;

  // The road QUILLSUM_ROAD sends every regular file, if any.
  enum class Road { Automatic, Lanes, Disk };
  static Road Forced();

private:
  Disk DiskOf(dev_t device);
  Medium MediumOf(int fd, const struct stat &info);

  Window &window_;
  Progress *const progress_;
  DescriptorBudget &descriptors_;
  const bool keepTimes_;
  const Road forced_;
  Disks disks_;
  std::mutex mutex_;
  std::map<dev_t, std::unique_ptr<Reader>> readers_; // by disk
  std::unique_ptr<Warmers> warmers_;                 // started when a flash disk is found cold
  std::atomic<unsigned> cold_ = 0; // files still to ask for ahead since a read was found cold
};

} // namespace quillsum::cli
