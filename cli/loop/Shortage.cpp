#include "cli/loop/Shortage.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

namespace quillsum::cli {
namespace {

// How long a refused thread waits before it tries again while others are at work, and at most for
// idle threads told to end.
constexpr auto kMoment = std::chrono::milliseconds(1);
constexpr auto kEnding = std::chrono::milliseconds(200);

thread_local bool atWork = false;

} // namespace

Shortage::AtWork::AtWork() noexcept : previous_(std::exchange(atWork, true)) {}

Shortage::AtWork::~AtWork() { atWork = previous_; }

bool Shortage::Await() {
  lean_ = true;
  if (final_)
    return false;
  const auto retiring = [this] {
    const std::lock_guard lock(mutex_);
    return staying_ > 1;
  };
  if (retiring())
    threads_.WakeIdle();
  if (atWork)
    ++awaitingAtWork_;
  const auto othersAtWork = [this] { return threads_.Busy() > awaitingAtWork_; };
  bool again = othersAtWork();
  if (again) {
    std::this_thread::sleep_for(kMoment);
  } else {
    // Nothing else at work: idle hashing threads beyond one end, told so now, and give their
    // memory back once joined.
    for (const auto given = std::chrono::steady_clock::now() + kEnding;
         !again && std::chrono::steady_clock::now() < given;) {
      again = threads_.Reap() > 0 || othersAtWork();
      {
        const std::lock_guard lock(mutex_);
        // None starting or ending (alive but no claimer), none idle that may be told to end.
        if (threads_.Alive() <= threads_.Claimers() && (staying_ <= 1 || threads_.Idle() == 0))
          break;
      }
      if (!again) {
        threads_.WakeIdle();
        std::this_thread::sleep_for(kMoment);
      }
    }
    again = again || threads_.Reap() > 0;
#ifdef __GLIBC__
    // Memory freed into the heap is no address space for a block that must be mapped (a limit
    // on address space leaves the heap no room to grow): its free top given back may be. Only a
    // heap that shrank counts, so that this ends.
    if (!again) {
      const auto top = [] { return reinterpret_cast<std::uintptr_t>(::sbrk(0)); };
      const std::uintptr_t before = top();
      ::malloc_trim(0);
      again = top() < before;
    }
#endif
  }
  if (atWork)
    --awaitingAtWork_;
  final_ = !again;
  return again;
}

bool Shortage::Retire() {
  if (!lean_)
    return false;
  const std::lock_guard lock(mutex_);
  if (staying_ <= 1)
    return false;
  --staying_;
  return true;
}

} // namespace quillsum::cli
