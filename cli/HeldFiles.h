#pragma once

#include "engine/UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quillsum::cli {

// The descriptors the loop's threads keep open, so that an open that finds no descriptor left
// can tell a limit that others will soon lift (it waits for one of theirs to be closed) from one
// that nothing will lift (it fails, as md5sum's open would). Any thread may call it; only a
// thread that waits takes a lock.
class HeldFiles {
public:
  // Opens name with flags. On EMFILE or ENFILE, with mayWait, waits while other threads hold
  // descriptors until one is closed and tries again; fails with errno when only this thread
  // holds any, or none is held at all. What it opens counts as held until Release. A thread that
  // holds descriptors it could close itself should not wait: two such threads would wait for
  // each other.
  UniqueFd Open(const char *name, int flags, bool mayWait);
  // A descriptor Open gave is closed.
  void Release();

private:
  void Wake();

  std::atomic<std::size_t> held_ = 0;       // by every thread, opens under way included
  std::atomic<std::uint64_t> releases_ = 0; // so far
  std::atomic<std::size_t> waiting_ = 0;
  std::mutex mutex_; // for those that wait
  std::condition_variable released_;
};

} // namespace quillsum::cli
