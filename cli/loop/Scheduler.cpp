#include "cli/loop/Scheduler.h"

#include "cli/Threads.h"
#include "cli/loop/Worker.h"

#include <algorithm>

namespace quillsum::cli {
namespace {

// Files in flight at most: enough for the other threads to keep busy on small files while one
// reads a large one, and for a spinning disk's reader to read thousands of files in disk order.
constexpr std::size_t kWindow = 16384;
// Descriptors of the budget kept for a disk's reader: the file it reads and the next one.
constexpr std::size_t kDiskReaderFiles = 2;

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

Scheduler::Scheduler(unsigned threads, Method method, Progress *progress, Output &output,
                     bool keepTimes)
    : threads_(threads), method_(method), progress_(progress), output_(output),
      descriptors_(DescriptorBudget::OfProcess()),
      window_(
          kWindow, [this](Job &job) { HandOn(job); }, [this] { output_.Flush(); }),
      crew_{method,       progress,  threads, LanesPerThread(descriptors_, threads),
            descriptors_, keepTimes, nullptr} {
  window_.Expect(threads);
  workers_.reserve(threads); // a thread started is never let go unjoined
  if (method == Method::Md5) {
    disks_.emplace(window_, progress, descriptors_, keepTimes);
    crew_.disks = &*disks_;
  }
}

Scheduler::~Scheduler() {
  try {
    Finish();
  } catch (...) { // an exception of the adding thread's is on its way: nothing may be lost
    Output::Abandon();
  }
}

void Scheduler::Add(std::string name, Then then, Job::Origin origin) {
  Add(Job{std::move(name), std::move(then), origin, Job::Result::Digested, {}}, false);
}

void Scheduler::Add(std::function<void()> action) {
  Add(Job{{},
          [action = std::move(action)](const std::string &, const Digest &) { action(); },
          Job::Origin::Named,
          Job::Result::Digested,
          {}},
      true);
}

void Scheduler::Add(Job job, bool done) {
  if (!done)
    Hire();
  if (workers_.empty() && window_.Full())
    WorkHere();
  window_.Add(std::move(job), done);
}

void Scheduler::Drain() {
  WorkHere();
  window_.Drain();
}

void Scheduler::Finish() {
  window_.Close();
  for (std::thread &worker : workers_)
    worker.join();
  workers_.clear();
  // What no thread took, when none could be had.
  WorkHere();
  if (disks_)
    disks_->Finish();
  window_.Drain();
}

void Scheduler::HandOn(Job &job) {
  try {
    switch (job.result) {
    case Job::Result::Skipped:
      return;
    case Job::Result::InTurn:
      output_.Flush(); // the lines before it go out while it may wait for a writer
      if (job.name == "-")
        output_.ReadStandardInput();
      job.digest = DigestInTurn(job.name, method_, progress_, descriptors_);
      break;
    case Job::Result::Digested:
      break;
    }
    job.then(job.name, job.digest);
  } catch (const std::logic_error &) {
    throw; // a Then that added: a fault of the program, which the window reports
  } catch (...) {
    Output::Abandon(); // its line cannot be written in its place any more
  }
}

void Scheduler::Hire() {
  if (!hiring_ || workers_.size() == threads_ || window_.Idle() > 0)
    return;
  std::thread worker = StartThread([this] { Work(window_, crew_, false); });
  if (worker.joinable()) {
    workers_.push_back(std::move(worker));
  } else {
    hiring_ = false;
    window_.Expect(workers_.size());
  }
}

void Scheduler::WorkHere() {
  if (workers_.empty())
    Work(window_, crew_, true);
}

} // namespace quillsum::cli
