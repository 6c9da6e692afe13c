#pragma once

#include "cli/Disks.h"
#include "cli/HeldFiles.h"
#include "cli/Progress.h"
#include "cli/Worker.h"

#include <map>
#include <memory>
#include <mutex>

#include <sys/stat.h>

namespace quillsum::cli {

// The road of a file whose data lies on a spinning disk and is not in memory. Threads reading
// many files at once make a spinning disk seek between them at every piece; here each disk has
// one reading head instead, a thread that reads its files one at a time in the order of their
// places on the disk (FIEMAP), and starts the next file's read while this one is hashed, so that
// the head sweeps the disk once. Files in memory and on flash keep the lanes, which suit them.
// Output keeps its order: the window hands on what the heads complete in their turn.
//
// QUILLSUM_ROAD=lanes or =disk in the environment sends every regular file down one road, for
// tests that hold both to md5sum's output.
class DiskRoad {
public:
  DiskRoad(Window &window, Progress *progress, HeldFiles &files);
  DiskRoad(const DiskRoad &) = delete;
  DiskRoad &operator=(const DiskRoad &) = delete;
  ~DiskRoad();

  // Takes the job whose regular file is open as fd (with info) if it belongs on this road: its
  // disk's head then reads and completes it, and fd may be closed. False when it does not, or
  // when no thread can be had for its head: the caller reads it.
  bool Take(Job &job, int fd, const struct stat &info);

  // Waits until the heads have read every file they took.
  void Finish();

  class Head;

private:
  enum class Road { Chosen, Lanes, Disk };
  static Road Forced();

  Window &window_;
  Progress *const progress_;
  HeldFiles &files_;
  const Road forced_;
  Disks disks_;
  std::mutex mutex_;
  std::map<dev_t, std::unique_ptr<Head>> heads_; // by disk
};

} // namespace quillsum::cli
