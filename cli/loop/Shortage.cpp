#include "cli/loop/Shortage.h"

#include <chrono>
#include <thread>
#include <utility>

namespace quillsum::cli {
namespace {

// How long a refused thread waits before it tries again while others are at work.
constexpr auto kMoment = std::chrono::milliseconds(1);

thread_local bool atWork = false;

} // namespace

Shortage::AtWork::AtWork() noexcept : previous_(std::exchange(atWork, true)) {}

Shortage::AtWork::~AtWork() { atWork = previous_; }

bool Shortage::Await() {
  lean_ = true;
  if (final_)
    return false;
  threads_.WakeIdle();
  if (atWork)
    ++awaitingAtWork_;
  const bool othersAtWork = threads_.Busy() > awaitingAtWork_;
  if (othersAtWork)
    std::this_thread::sleep_for(kMoment);
  if (atWork)
    --awaitingAtWork_;
  if (othersAtWork || threads_.Reap() > 0)
    return true;
  // Nothing else at work: idle hashing threads told to end give their memory back once ended.
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (staying_ <= 1 || threads_.Idle() == 0) {
        const bool reaped = threads_.Reap() > 0;
        final_ = !reaped;
        return reaped;
      }
    }
    threads_.WakeIdle();
    std::this_thread::sleep_for(kMoment);
    if (threads_.Reap() > 0)
      return true;
  }
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
