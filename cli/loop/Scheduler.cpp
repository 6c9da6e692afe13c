#include "cli/loop/Scheduler.h"

#include "cli/Threads.h"
#include "cli/loop/FileDigest.h"
#include "cli/loop/Worker.h"

#include <algorithm>

namespace quillsum::cli {
namespace {

// Files in flight at most: enough for the other threads to keep busy on small files while one
// reads a large one, and for a spinning disk's reader to read thousands of files in disk order.
constexpr std::size_t kInFlight = 16384;
// Descriptors of the budget kept for a disk's reader: the file it reads and the next one.
constexpr std::size_t kDiskReaderFiles = 2;
// How often the adding thread, waiting for room, looks at what else it may do.
constexpr auto kLook = std::chrono::milliseconds(10);

// Each lane keeps its file open until it is read: together, the threads' lanes and a disk's
// reader stay within the descriptor budget (and when others hold some, a lane waits for one).
std::size_t LanesPerThread(const DescriptorBudget &descriptors, unsigned threads) {
  const std::size_t capacity = descriptors.Capacity();
  if (capacity == SIZE_MAX)
    return SIZE_MAX;
  const std::size_t lanes = capacity > kDiskReaderFiles ? capacity - kDiskReaderFiles : 0;
  return std::max<std::size_t>(lanes / threads, 1);
}

} // namespace

Scheduler::Scheduler(const Settings &settings, Output &output)
    : settings_(settings), output_(output), descriptors_(DescriptorBudget::OfProcess()),
      disks_(settings.road),
      window_(
          kInFlight, [this](Job &job) { HandOn(job); }, [this] { output_.Flush(); }),
      context_{settings.method,
               settings.progress,
               settings.threads,
               LanesPerThread(descriptors_, settings.threads),
               descriptors_,
               disks_,
               settings.keepTimes,
               shortage_,
               nullptr,
               nullptr},
      workers_(std::make_unique<Worker[]>(settings.threads)) {
  window_.Expect(settings.threads);
  if (settings.method == Method::Md5) {
    context_.readers = &readers_.emplace(window_, settings.progress, settings.keepTimes);
    context_.warmers = &warmers_.emplace(window_, disks_, descriptors_);
  }
}

Scheduler::~Scheduler() {
  try {
    Finish();
  } catch (...) { // an exception of the adding thread's is on its way: nothing may be lost
    Output::Abandon();
  }
}

void Scheduler::Add(std::string name, Then then, Origin origin) {
  Add(Job{std::move(name), std::move(then), origin, NothingToRead{}}, false);
}

void Scheduler::Add(std::function<void()> action) {
  Add(Job{{},
          [action = std::move(action)](const std::string &, const Outcome &) { action(); },
          Origin::Named,
          NothingToRead{}},
      true);
}

void Scheduler::Add(Job &&job, bool done) {
  if (!done)
    Hire();
  for (bool added = false; !added;) {
    shortage_.Retrying([&] { added = window_.TryAdd(std::move(job), done); });
    if (!added)
      WaitForRoom();
  }
}

void Scheduler::Drain() {
  WorkHere();
  WaitForDrain();
}

void Scheduler::Finish() {
  window_.Close();
  for (std::size_t k = 0; k < hired_; ++k)
    if (!workers_[k].taken.exchange(true)) {
      workers_[k].thread.join();
      ++joined_;
    }
  // What no thread took, when none could be had or all ended.
  WorkHere();
  if (readers_)
    readers_->Finish();
  warmers_.reset();
  WaitForDrain();
}

// Parked meanwhile: the threads that make room must not wait for the descriptors this one holds
// (a list being read).
void Scheduler::WaitForRoom() {
  while (window_.Full()) {
    if (window_.Claimers() == 0) {
      Work(window_, context_, true);
      continue;
    }
    const DescriptorBudget::Parked parked(descriptors_);
    window_.WaitForRoom(kLook);
    Reap();
  }
}

void Scheduler::WaitForDrain() {
  while (!window_.Drained()) {
    if (window_.Claimers() == 0)
      Work(window_, context_, true);
    const DescriptorBudget::Parked parked(descriptors_);
    window_.WaitForDrain(kLook);
    Reap();
  }
}

void Scheduler::HandOn(Job &job) {
  try {
    if (std::holds_alternative<InTurn>(job.outcome)) {
      output_.Flush(); // the lines before it go out while it may wait for a writer
      if (job.origin == Origin::StandardInput)
        output_.ReadStandardInput();
      job.outcome = ReadInTurn(job, settings_.method, settings_.progress, descriptors_);
    }
    // A Then allocates before it changes anything, so that it can be tried again.
    shortage_.Retrying([&] { job.then(job.name, job.outcome); });
  } catch (const std::logic_error &) {
    throw; // a Then that added: a fault of the program, which the window reports
  } catch (...) {
    Output::Abandon(); // its line cannot be written in its place any more
  }
}

void Scheduler::Hire() {
  if (!hiring_ || shortage_.lean() || hired_ == settings_.threads || window_.Idle() > 0)
    return;
  Worker &worker = workers_[hired_];
  worker.thread = StartThread([this, &worker] {
    Work(window_, context_, false);
    worker.ended = true;
  });
  if (worker.thread.joinable()) {
    shortage_.Hired();
    ++hired_;
  } else {
    hiring_ = false;
    window_.Expect(hired_);
  }
}

void Scheduler::WorkHere() {
  if (window_.Claimers() == 0)
    Work(window_, context_, true);
}

std::size_t Scheduler::Busy() { return window_.Busy() + (readers_ ? readers_->Busy() : 0); }

std::size_t Scheduler::Idle() { return window_.Idle(); }

void Scheduler::WakeIdle() { window_.Nudge(); }

std::size_t Scheduler::Reap() {
  std::size_t reaped = 0;
  for (std::size_t k = 0; k < hired_; ++k)
    if (workers_[k].ended && !workers_[k].taken.exchange(true)) {
      workers_[k].thread.join();
      ++joined_;
      ++reaped;
    }
  return reaped;
}

std::size_t Scheduler::Alive() { return hired_ - joined_; }

std::size_t Scheduler::Claimers() { return window_.Claimers(); }

} // namespace quillsum::cli
