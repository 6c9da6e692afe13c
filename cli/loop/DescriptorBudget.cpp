#include "cli/loop/DescriptorBudget.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>

namespace quillsum::cli {
namespace {

// Kept for all but the readers' files: standard streams, a list, a folder being listed, the
// disk lookup in sysfs, a file read in its turn.
constexpr rlim_t kReserve = 16;

thread_local std::atomic<std::size_t> mine = 0; // what this thread holds

std::size_t FromLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return SIZE_MAX;
  return limit.rlim_cur > kReserve + 1 ? static_cast<std::size_t>(limit.rlim_cur - kReserve) : 1;
}

} // namespace

DescriptorBudget::Held::Held(UniqueFd file, DescriptorBudget *budget,
                             std::atomic<std::size_t> *owner) noexcept
    : file_(std::move(file)), budget_(budget), owner_(owner) {}

DescriptorBudget::Held::Held(Held &&other) noexcept
    : file_(std::move(other.file_)), budget_(std::exchange(other.budget_, nullptr)),
      owner_(std::exchange(other.owner_, nullptr)) {}

DescriptorBudget::Held &DescriptorBudget::Held::operator=(Held &&other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::move(other.file_);
    budget_ = std::exchange(other.budget_, nullptr);
    owner_ = std::exchange(other.owner_, nullptr);
  }
  return *this;
}

void DescriptorBudget::Held::ClosedElsewhere() noexcept {
  file_.release();
  Close();
}

void DescriptorBudget::Held::Close() noexcept {
  if (!budget_)
    return;
  file_ = UniqueFd(-1);
  --*std::exchange(owner_, nullptr);
  std::exchange(budget_, nullptr)->Release();
}

DescriptorBudget::DescriptorBudget() : capacity_(FromLimit()) {}

DescriptorBudget &DescriptorBudget::OfProcess() {
  static DescriptorBudget budget;
  return budget;
}

DescriptorBudget::Held DescriptorBudget::Open(const char *name, int flags, bool mayWait,
                                              int folder) {
  for (;;) {
    // Counted before the open, so that a thread whose open fails meanwhile waits for this one.
    ++held_;
    ++mine;
    const std::uint64_t since = releases_;
    UniqueFd file(::openat(folder, name, flags));
    if (file)
      return Held(std::move(file), this, &mine);
    const int error = errno;
    --mine;
    --held_;
    Wake(); // one that waits for this open sees it came to nothing
    if ((error != EMFILE && error != ENFILE) || !mayWait) {
      errno = error;
      return {};
    }
    std::unique_lock lock(mutex_);
    // The count first: a close that lowered it has raised releases_ before (Release).
    const bool noneElsewhere = held_ == mine;
    if (releases_ != since) // one was closed since this open was tried
      continue;
    if (noneElsewhere) { // no other thread holds one: nothing will free one
      errno = error;
      return {};
    }
    ++waiting_;
    released_.wait(lock, [&] { return releases_ != since || held_ == mine; });
    --waiting_;
    // Then once more: another thread closed one, or its open came to nothing.
  }
}

DescriptorBudget::Held DescriptorBudget::TryOpen(const char *name, int flags) {
  if (held_ >= capacity_) {
    errno = EMFILE;
    return {};
  }
  return Open(name, flags, false);
}

void DescriptorBudget::Release() {
  ++releases_;
  --held_;
  Wake();
}

void DescriptorBudget::Wake() {
  // A thread about to wait counts itself before it looks at the counts, under the lock: either
  // it sees this change, or this sees it waiting and takes the lock after it sleeps.
  if (waiting_ > 0) {
    const std::lock_guard lock(mutex_);
    released_.notify_all();
  }
}

} // namespace quillsum::cli
