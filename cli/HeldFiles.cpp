#include "cli/HeldFiles.h"

#include <cerrno>

#include <fcntl.h>

namespace quillsum::cli {
namespace {

thread_local std::size_t mine = 0; // what this thread holds

} // namespace

UniqueFd HeldFiles::Open(const char *name, int flags, bool mayWait) {
  for (;;) {
    std::uint64_t since;
    {
      // Counted before the open, so that a thread whose open fails meanwhile waits for this one.
      const std::lock_guard lock(mutex_);
      ++held_;
      since = releases_;
    }
    ++mine;
    UniqueFd file(::open(name, flags));
    if (file)
      return file;
    const int error = errno;
    --mine;
    std::unique_lock lock(mutex_);
    --held_;
    released_.notify_all(); // one that waits for this open sees it came to nothing
    if ((error != EMFILE && error != ENFILE) || !mayWait) {
      errno = error;
      return file;
    }
    released_.wait(lock, [&] { return releases_ != since || held_ == mine; });
    if (releases_ == since) {
      errno = error;
      return file;
    }
  }
}

void HeldFiles::Release() {
  --mine;
  {
    const std::lock_guard lock(mutex_);
    --held_;
    ++releases_;
  }
  released_.notify_all();
}

} // namespace quillsum::cli
