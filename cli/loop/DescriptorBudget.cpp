#include "cli/loop/DescriptorBudget.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// The descriptors open now, which the budget leaves aside: the standard streams and whatever
// the program was started with.
std::size_t OpenNow() {
  if (DIR *fds = ::opendir("/proc/self/fd")) {
    std::size_t open = 0;
    while (const dirent *entry = ::readdir(fds))
      open += entry->d_name[0] != '.';
    ::closedir(fds);
    return open > 0 ? open - 1 : 0; // not the listing's own
  }
  std::size_t open = 0;
  for (int fd = 0; fd < 256; ++fd)
    open += ::fcntl(fd, F_GETFD) != -1;
  return open;
}

// The soft limit raised to the hard one (a disk's reader may hold thousands of files it reads in
// disk order), less what is open already.
std::size_t FromLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return SIZE_MAX;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
      ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY)
    return SIZE_MAX;
  const rlim_t open = OpenNow();
  return limit.rlim_cur > open + 1 ? static_cast<std::size_t>(limit.rlim_cur - open) : 1;
}

// How often, and after how long, an open the system refused though the budget had room is tried
// again.
constexpr int kOutsideTries = 100;
constexpr auto kOutsideMoment = std::chrono::microseconds(200);

thread_local DescriptorBudget::Holder ownHolder;
thread_local DescriptorBudget::Holder *currentHolder = nullptr;

} // namespace

DescriptorBudget::Held::Held(UniqueFd file, DescriptorBudget *budget, Holder *holder) noexcept
    : file_(std::move(file)), budget_(budget), holder_(holder) {}

DescriptorBudget::Held::Held(Held &&other) noexcept
    : file_(std::move(other.file_)), budget_(std::exchange(other.budget_, nullptr)),
      holder_(std::exchange(other.holder_, nullptr)) {}

DescriptorBudget::Held &DescriptorBudget::Held::operator=(Held &&other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::move(other.file_);
    budget_ = std::exchange(other.budget_, nullptr);
    holder_ = std::exchange(other.holder_, nullptr);
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
  std::exchange(budget_, nullptr)->Release(*std::exchange(holder_, nullptr));
}

void DescriptorBudget::Held::HandTo(Holder &holder) noexcept {
  if (!budget_ || holder_ == &holder)
    return;
  // Under the lock, as the new holder's thread may be parking it meanwhile.
  const std::lock_guard lock(budget_->mutex_);
  if (holder.parked_)
    ++budget_->parked_;
  if (holder_->parked_)
    --budget_->parked_;
  ++holder.held_;
  --holder_->held_;
  holder_ = &holder;
}

DescriptorBudget::DescriptorBudget() : capacity_(FromLimit()) {}

DescriptorBudget &DescriptorBudget::OfProcess() {
  static DescriptorBudget budget;
  return budget;
}

DescriptorBudget::Holder &DescriptorBudget::Current() noexcept {
  return currentHolder ? *currentHolder : ownHolder;
}

DescriptorBudget::Held DescriptorBudget::Open(const char *name, int flags, bool mayWait) {
  return Acquire([&] { return ::open(name, flags); }, mayWait);
}

DescriptorBudget::Held DescriptorBudget::TryOpen(const char *name, int flags) {
  return Open(name, flags, false);
}

DescriptorBudget::Held DescriptorBudget::Acquire(const std::function<int()> &open, bool mayWait) {
  Holder &mine = Current();
  for (int outside = 0;;) {
    const std::uint64_t since = releases_;
    int error = EMFILE;
    // Counted before the open, so that a refused open meanwhile waits for this one.
    const bool counted = ++held_ <= capacity_;
    if (counted) {
      ++mine.held_;
      UniqueFd file(open());
      if (file)
        return Held(std::move(file), this, &mine);
      error = errno;
      --mine.held_;
    }
    --held_;
    Wake(true); // those that wait for this open see that it came to nothing
    if ((error != EMFILE && error != ENFILE) || !mayWait) {
      errno = error;
      return {};
    }
    // Refused by the system with a permit in hand: a descriptor outside the budget, which the C
    // library opens for a moment now and then (/proc/sys/vm/overcommit_memory, a message
    // catalogue), is there. Tried again a moment later.
    if (counted && outside++ < kOutsideTries) {
      std::this_thread::sleep_for(kOutsideMoment);
      continue;
    }
    std::unique_lock lock(mutex_);
    Park(mine);
    // Permits held by holders that are not parked come back without waiting for this one.
    const auto othersHold = [this] { return held_ > parked_; };
    if (releases_ == since && othersHold()) {
      ++waiting_;
      released_.wait(lock, [&] { return releases_ != since || !othersHold(); });
      --waiting_;
    }
    // A permit given back between this open's count and the look above shows as room.
    const bool retry = releases_ != since || (!counted && held_ < capacity_);
    Unpark(mine);
    if (retry)
      continue;
    errno = error;
    return {};
  }
}

DescriptorBudget::Working::Working(Holder &holder) noexcept
    : previous_(std::exchange(currentHolder, &holder)) {}

DescriptorBudget::Working::~Working() { currentHolder = previous_; }

DescriptorBudget::Parked::Parked(DescriptorBudget &budget) noexcept
    : budget_(budget), holder_(Current()) {
  const std::lock_guard lock(budget_.mutex_);
  budget_.Park(holder_);
}

DescriptorBudget::Parked::~Parked() {
  const std::lock_guard lock(budget_.mutex_);
  budget_.Unpark(holder_);
}

// Under the mutex. A waiter that counts on this holder's permits is woken to see it cannot.
void DescriptorBudget::Park(Holder &holder) noexcept {
  holder.parked_ = true;
  parked_ += holder.held_;
  released_.notify_all();
}

void DescriptorBudget::Unpark(Holder &holder) noexcept {
  parked_ -= holder.held_;
  holder.parked_ = false;
}

// On the thread working for the holder (or, once handed over, for the new one), which is not
// parking it meanwhile.
void DescriptorBudget::Release(Holder &holder) noexcept {
  ++releases_;
  if (holder.parked_)
    --parked_;
  --holder.held_;
  --held_;
  Wake(false);
}

void DescriptorBudget::Wake(bool all) noexcept {
  // A thread about to wait counts itself before it looks at the counts, under the lock: either
  // it sees this change, or this sees it waiting and takes the lock after it sleeps. A permit
  // given back is one waiter's (waking them all would have them race for it); a count that
  // changed otherwise may change every waiter's mind.
  if (waiting_ > 0) {
    const std::lock_guard lock(mutex_);
    if (all)
      released_.notify_all();
    else
      released_.notify_one();
  }
}

} // namespace quillsum::cli
