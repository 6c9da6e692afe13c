#include "cli/HeldFiles.h"

#include <cerrno>

#include <fcntl.h>

namespace quillsum::cli {
namespace {

thread_local std::size_t mine = 0; // what this thread holds

} // namespace

UniqueFd HeldFiles::Open(const char *name, int flags, bool mayWait) {
  for (;;) {
    // Counted before the open, so that a thread whose open fails meanwhile waits for this one.
    ++held_;
    ++mine;
    const std::uint64_t since = releases_;
    UniqueFd file(::open(name, flags));
    if (file)
      return file;
    const int error = errno;
    --mine;
    --held_;
    Wake(); // one that waits for this open sees it came to nothing
    if ((error != EMFILE && error != ENFILE) || !mayWait) {
      errno = error;
      return file;
    }
    std::unique_lock lock(mutex_);
    ++waiting_;
    released_.wait(lock, [&] { return releases_ != since || held_ == mine; });
    --waiting_;
    if (releases_ == since) {
      errno = error;
      return file;
    }
  }
}

void HeldFiles::Release() {
  --mine;
  --held_;
  ++releases_;
  Wake();
}

void HeldFiles::Wake() {
  // A thread about to wait counts itself before it looks at the counts, under the lock: either
  // it sees this change, or this sees it waiting and takes the lock after it sleeps.
  if (waiting_ > 0) {
    const std::lock_guard lock(mutex_);
    released_.notify_all();
  }
}

} // namespace quillsum::cli
