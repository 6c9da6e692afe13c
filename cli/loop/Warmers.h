#pragma once

#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Job.h"

#include "cli/Threads.h"
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace quillsum::cli {

// Threads that only wait on a flash disk, so that many of its reads are in flight however few
// hashing threads run: once a lane finds a file's first read cold (Disks::FoundCold), each takes
// the next file not claimed yet, up to a thousand past where claiming stands, opens it and asks
// the kernel for its first pages (all of a small file), then closes it. The lanes then find its
// data in memory, or on its way. Never a file on a spinning disk, whose reader reads in disk
// order, nor anything but a regular file.
class Warmers {
public:
  Warmers(Window &window, Disks &disks, DescriptorBudget &descriptors);
  Warmers(const Warmers &) = delete;
  Warmers &operator=(const Warmers &) = delete;
  ~Warmers();

  // Starts the threads, the first time, and sets them to work. Any thread may call it.
  void Begin() noexcept;

private:
  void Run();
  void Warm(const std::string &name);

  Window &window_;
  Disks &disks_;
  DescriptorBudget &descriptors_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t cursor_ = 0; // the window's index to look at next
  bool started_ = false, stopping_ = false;
  std::vector<Thread> threads_;
};

} // namespace quillsum::cli
