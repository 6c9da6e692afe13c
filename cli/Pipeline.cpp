#include "cli/Pipeline.h"

#include "cli/Threads.h"

#include "engine/MD5Lanes.h"

#include <algorithm>

#include <sys/resource.h>

namespace quillsum::cli {
namespace {

// Files in flight at most: enough for the other threads to keep busy on small files while one
// reads a large one, and for a spinning disk's head to read thousands of files in disk order.
constexpr std::size_t kWindow = 16384;
// Descriptors kept for all but the lanes' files: standard streams, a list, a folder being
// listed, a file read in its turn.
constexpr rlim_t kOtherFds = 16;

// Each lane keeps its file open until it is read: together, the threads' lanes stay within the
// descriptors the process may open (and when others hold some, a lane waits for one).
std::size_t LanesPerThread(unsigned threads) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return SIZE_MAX;
  const rlim_t spare = limit.rlim_cur > kOtherFds ? limit.rlim_cur - kOtherFds : 0;
  return std::max<std::size_t>(spare / threads, 1);
}

} // namespace

Pipeline::Pipeline(unsigned threads, Method method, Progress *progress, Output &output)
    : jobs_(threads), method_(method), progress_(progress), output_(output),
      window_(
          kWindow, [this](Job &job) { HandOn(job); }, [this] { output_.Flush(); }),
      crew_{method, progress, threads, LanesPerThread(threads), files_, nullptr} {
  window_.Expect(threads);
  if (method == Method::Md5) {
    road_.emplace(window_, progress, files_);
    crew_.road = &*road_;
  }
}

Pipeline::~Pipeline() { Finish(); }

void Pipeline::Add(std::string name, Then then, Job::Origin origin) {
  Add(Job{std::move(name), std::move(then), origin, {}, false, false}, false);
}

void Pipeline::Add(std::function<void()> action) {
  Add(Job{{},
          [action = std::move(action)](const std::string &, const Digest &) { action(); },
          Job::Origin::Named,
          {},
          false,
          false},
      true);
}

void Pipeline::Add(Job job, bool done) {
  if (!done)
    Hire();
  if (workers_.empty() && window_.Full())
    WorkHere();
  window_.Add(std::move(job), done);
}

void Pipeline::Drain() {
  WorkHere();
  window_.Drain();
}

void Pipeline::Finish() {
  window_.Close();
  for (std::thread &worker : workers_)
    worker.join();
  workers_.clear();
  // What no thread took, when none could be had or every one ran out of memory.
  WorkHere();
  if (road_)
    road_->Finish();
  window_.Drain();
}

void Pipeline::HandOn(Job &job) {
  if (job.skipped)
    return;
  if (job.inTurn) {
    output_.Flush(); // the lines before it go out while it may wait for a writer
    if (job.name == "-")
      output_.ReadStandardInput();
    job.digest = DigestInTurn(job.name, method_, progress_, files_);
  }
  job.then(job.name, job.digest);
}

void Pipeline::Hire() {
  if (!hiring_ || workers_.size() == jobs_ || window_.Idle() > 0)
    return;
  std::thread worker = StartThread([this] { Work(window_, crew_, false); });
  if (worker.joinable()) {
    workers_.push_back(std::move(worker));
  } else {
    hiring_ = false;
    window_.Expect(workers_.size());
  }
}

void Pipeline::WorkHere() {
  if (workers_.empty())
    Work(window_, crew_, true);
}

} // namespace quillsum::cli
