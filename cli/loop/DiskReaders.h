#pragma once

#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/Job.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include <sys/stat.h>

namespace quillsum::cli {

// The readers of disks that are best read their own way (Disks::ByItsReader says which). Threads
// reading many files at once make a spinning disk seek between them at every piece; such a disk
// gets one reader instead, a thread that reads its files one at a time in the order of their
// places on the disk (FIEMAP), and asks the disk for the next file while this one is hashed, so
// that the disk is swept once. Output keeps its order: the window hands on what the readers
// complete in their turn. An idle reader keeps no buffer.
class DiskReaders {
public:
  DiskReaders(Window &window, Progress *progress, bool keepTimes);
  DiskReaders(const DiskReaders &) = delete;
  DiskReaders &operator=(const DiskReaders &) = delete;
  ~DiskReaders();

  // Gives the job to the reader of the disk (`disk`, as Disks::ReaderOf names it) with its
  // regular file, which the calling thread opened as file and fstat'ed as info: the reader reads
  // that descriptor, with its permit, and completes the job. False, with file as it was, when no
  // thread or memory can be had for the reader: the caller reads it.
  bool Take(Job &job, DescriptorBudget::Held &file, const struct stat &info, dev_t disk) noexcept;

  // Readers with files to read.
  std::size_t Busy() const { return busy_; }
  // Waits until the readers have read every file they took, and ends their threads.
  void Finish();

  class Reader;

private:
  Window &window_;
  Progress *const progress_;
  const bool keepTimes_;
  std::mutex mutex_;
  std::map<dev_t, std::unique_ptr<Reader>> readers_; // by disk
  std::atomic<std::size_t> busy_ = 0;
};

} // namespace quillsum::cli
