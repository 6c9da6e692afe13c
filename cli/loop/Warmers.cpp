#include "cli/loop/Warmers.h"

#include "cli/Threads.h"

#include <algorithm>
#include <chrono>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>

namespace quillsum::cli {
namespace {

// Each file up to kWarmed bytes (the rest of a large file is the lane's to ask for), by
// kWarmersPerCore threads a core (enough reads in flight for a flash disk's channels), never more
// than kWarmedAhead files past where the hashing threads claim.
constexpr off_t kWarmed = 256 << 10;
constexpr unsigned kWarmersPerCore = 4;
constexpr std::uint64_t kWarmedAhead = 1024;
constexpr auto kLookAgain = std::chrono::milliseconds(1);

} // namespace

Warmers::Warmers(Window &window, Disks &disks, DescriptorBudget &descriptors)
    : window_(window), disks_(disks), descriptors_(descriptors) {}

Warmers::~Warmers() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (Thread &thread : threads_)
    thread.join();
}

void Warmers::Begin() noexcept {
  {
    const std::lock_guard lock(mutex_);
    if (!std::exchange(started_, true)) {
      try {
        const unsigned threads = kWarmersPerCore * UsableCpus();
        threads_.reserve(threads);
        for (unsigned k = 0; k < threads; ++k)
          if (Thread thread = StartThread([this] { Run(); }); thread.joinable())
            threads_.push_back(std::move(thread));
      } catch (const std::bad_alloc &) { // fewer, or none: the lanes read as they can
      }
    }
  }
  wake_.notify_all();
}

void Warmers::Run() {
  for (;;) {
    std::string name;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || disks_.Cold(); });
      if (stopping_)
        return;
      try {
        const std::uint64_t next = window_.Peek(cursor_, 1, kWarmedAhead, [&name](const Job &job) {
          if (job.origin != Origin::StandardInput)
            name = job.name;
        });
        if (next == cursor_) { // nothing new to look at: the claimers caught up
          wake_.wait_for(lock, kLookAgain);
          continue;
        }
        cursor_ = next;
      } catch (const std::bad_alloc &) {
        continue; // that file is read as it comes
      }
    }
    if (!name.empty() && disks_.TakeCold())
      Warm(name);
  }
}

void Warmers::Warm(const std::string &name) {
  struct stat info {};
  // Only a regular file: opening a FIFO would let its writer go on out of its turn.
  if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
    return;
  try {
    if (disks_.Of(info.st_dev).spinning)
      return;
  } catch (const std::bad_alloc &) {
    return;
  }
  const DescriptorBudget::Held file =
      descriptors_.TryOpen(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (file)
    ::posix_fadvise(file.get(), 0, std::min<off_t>(info.st_size, kWarmed), POSIX_FADV_WILLNEED);
}

} // namespace quillsum::cli
