#include "cli/loop/Worker.h"

#include "cli/loop/DiskReaders.h"
#include "cli/loop/FileDigest.h"
#include "cli/loop/LaneBuffers.h"
#include "cli/loop/ReadAhead.h"
#include "cli/loop/Shortage.h"
#include "cli/loop/Warmers.h"

#include "engine/MD5Lanes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quillsum::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A file with this much left to read, with a core to spare, is read ahead of its digest on
// another thread.
constexpr off_t kReadAheadFrom = 4 << 20;
// A first read that takes this long came from the disk, not the page cache.
constexpr auto kColdRead = std::chrono::microseconds(200);
// What a lane asks for at once of a file on a cold disk that reads ahead.
constexpr off_t kAskedAhead = 16 << 20;
// Fingerprints read 256 bytes a file: taken this many at a time, for fewer trips to the window.
constexpr std::size_t kFingerprintsAtOnce = 16;

// A thread's MD5 lanes, each digesting a regular file read chunk by chunk into its own buffer.
// Files come from the window as lanes free up, and go back digested after each pass of the lanes.
class LaneWorker {
public:
  LaneWorker(Window &window, const LoopContext &context)
      : window_(window), context_(context), width_(std::min(md5_.Width(), context.mostLanes)),
        buffers_(width_), lanes_(width_) {
    for (std::size_t lane = width_; lane-- > 0;)
      free_.push_back(lane);
    // Room for all that is claimed and finished at once: once a job is taken from the window,
    // nothing may throw before it is back in finished_, or it would be lost.
    pending_.reserve(2 * width_);
    finished_.reserve(2 * width_);
    started_.reserve(width_);
  }

  // Works until there is no more work (with untilIdle, none for now), or until this thread is
  // told to end once the loop is lean.
  void Work(bool untilIdle) {
    md5_.Run(); // every lane, free
    while (Claim(untilIdle)) {
      Start();
      if (held_ > 0)
        for (std::size_t lane : md5_.Run())
          FeedOrFinish(lane);
    }
    window_.Complete(finished_);
  }

private:
  struct Lane {
    Job *job = nullptr;
    DescriptorBudget::Held file; // open until the lane is done with it
    std::unique_ptr<ReadAhead::File> ahead;
    std::span<std::uint8_t> buffer;
    bool firstRead = false; // timed, to tell a cold disk
    bool cold = false;      // its first read waited for the disk
    bool asked = false;     // its first kAskedAhead bytes asked of the disk at once
    struct stat opened {};  // its file's, when opened
    off_t read = 0;         // bytes read by this thread
  };
  // How a job's file was opened.
  enum class Opened { Lane, Finished, Later };

  bool Claim(bool untilIdle);
  void Start();
  Opened Open(Job &job, DescriptorBudget::Held &file, struct stat &info);
  void FeedOrFinish(std::size_t lane);
  void Read(std::size_t lane);
  bool ReadAheadOf(Lane &at);
  void AskAhead(Lane &at);
  void Done();
  void Finish(std::size_t lane, Outcome outcome);

  Window &window_;
  const LoopContext &context_;
  MD5Lanes md5_;
  const std::size_t width_; // the lanes used
  LaneBuffers buffers_;
  std::unique_ptr<ReadAhead> reader_; // reads the lanes' large files, once started
  bool readerRefused_ = false;
  std::vector<Lane> lanes_;
  std::vector<std::size_t> free_;
  std::size_t held_ = 0; // lanes with a file
  std::size_t Pending() const { return pending_.size() - next_; }

  std::vector<Job *> pending_; // claimed, in order; from next_ on, not started yet
  std::size_t next_ = 0;
  std::vector<Job *> finished_;      // digested or left for their turn, not yet marked done
  std::vector<std::size_t> started_; // lanes given a file by this Start, to read
};

// Marks what is finished done, then claims more: up to this thread's share, so that a few large
// files spread over every thread. Waits for files only with nothing else to do; false once there
// will be none (or, with untilIdle, none for now).
bool LaneWorker::Claim(bool untilIdle) {
  const std::size_t held = held_ + Pending();
  if (held >= width_) {
    window_.Complete(finished_);
    finished_.clear();
    return true;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(next_));
  next_ = 0;
  // The window makes room in pending_ before it marks finished_ done, and throws only then.
  window_.Claim(finished_, held, width_, false, pending_);
  finished_.clear();
  if (Pending() == 0 && held == 0) {
    if (untilIdle)
      return false;
    // Nothing to read: memory and the reading thread go with the work.
    buffers_.Release();
    reader_.reset();
    // Woken with nothing, an idle thread asks whether to end: the loop may be lean.
    while (Pending() == 0)
      if (context_.shortage.Retire() || !window_.Claim({}, 0, width_, true, pending_))
        return false;
  }
  return true;
}

// Starts the files claimed, in order, each in a free lane; what cannot go in a lane is finished
// (a failure) or left for its turn.
void LaneWorker::Start() {
  started_.clear();
  while (Pending() > 0 && !free_.empty()) {
    Job &job = *pending_[next_];
    DescriptorBudget::Held file;
    struct stat info {};
    const Opened opened = Open(job, file, info);
    if (opened == Opened::Later)
      break;
    ++next_;
    if (opened == Opened::Finished)
      continue;
    if (context_.readers && context_.disks.ByItsReader(file.get(), info) &&
        context_.readers->Take(job, file, info, context_.disks.ReaderOf(info.st_dev)))
      continue;
    const std::size_t lane = free_.back();
    Lane &at = lanes_[lane];
    at.buffer = buffers_.For(lane, static_cast<std::uint64_t>(info.st_size));
    if (at.buffer.empty()) { // no memory for another lane now: it waits for one to free up
      --next_;
      break;
    }
    free_.pop_back();
    at.job = &job;
    at.file = std::move(file);
    at.firstRead = true;
    at.opened = info;
    ++held_;
    started_.push_back(lane);
    AskAhead(at);
  }
  // On a cold disk every file started is asked for before it is read, so that their reads are in
  // flight together, one for each channel: once the first read of one is found cold, the rest.
  for (std::size_t k = 0; k < started_.size(); ++k) {
    Read(started_[k]);
    if (lanes_[started_[k]].cold)
      for (std::size_t later = k + 1; later < started_.size(); ++later)
        AskAhead(lanes_[started_[later]]);
  }
}

// Only where the disk's read policy says so: never on a spinning disk, whose reads keep to one.
void LaneWorker::AskAhead(Lane &at) {
  if (context_.readers && context_.disks.AskAhead(at.opened.st_dev) &&
      !std::exchange(at.asked, true))
    ::posix_fadvise(at.file.get(), 0, std::min<off_t>(at.opened.st_size, kAskedAhead),
                    POSIX_FADV_WILLNEED);
}

// Opens the job's file if it is a regular one, as Origin and Reading say: a name given is looked
// at before it is opened, and the open descriptor's status decides. What is not read now is
// finished, or left for its turn. Later: no descriptor now, but this thread's lanes will soon
// give one back.
LaneWorker::Opened LaneWorker::Open(Job &job, DescriptorBudget::Held &file, struct stat &info) {
  const auto finish = [&](Outcome outcome) {
    file.Close();
    job.outcome = std::move(outcome);
    if (!std::holds_alternative<InTurn>(job.outcome))
      Done();
    finished_.push_back(&job);
    return Opened::Finished;
  };
  if (job.origin == Origin::StandardInput)
    return finish(InTurn{});
  if (job.origin == Origin::Named) {
    if (::stat(job.name.c_str(), &info) != 0)
      return finish(Failed{errno});
    if (std::optional<Outcome> outcome = OutcomeOf(ReadingOf(job.origin, info)))
      return finish(std::move(*outcome));
  }
  // With files in its lanes, this thread does not wait for a descriptor: it closes its own.
  file = context_.descriptors.Open(job.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                                   held_ == 0);
  if (!file) {
    const int error = errno;
    if (error == EWOULDBLOCK) // another program's lease, which md5sum's open would wait for
      return finish(InTurn{});
    if ((error == EMFILE || error == ENFILE) && held_ > 0)
      return Opened::Later;
    return finish(Failed{error});
  }
  if (::fstat(file.get(), &info) != 0)
    return finish(Failed{errno});
  if (std::optional<Outcome> outcome = OutcomeOf(ReadingOf(job.origin, info)))
    return finish(std::move(*outcome));
  return Opened::Lane;
}

// Gives a lane that Run returned what it needs: its file's next chunk, or, once its digest is
// ready, a place among the free lanes.
void LaneWorker::FeedOrFinish(std::size_t lane) {
  if (md5_.Done(lane)) {
    const Lane &at = lanes_[lane];
    Finish(lane, Digested{md5_.Digest(lane),
                          context_.keepTimes ? TimesOf(at.opened, at.file.get()) : std::nullopt});
  } else {
    Read(lane);
  }
}

// Feeds the lane its file's next chunk; a read error ends the file there.
void LaneWorker::Read(std::size_t lane) {
  Lane &at = lanes_[lane];
  std::span<const std::uint8_t> chunk;
  bool end = false;
  if (at.ahead) {
    chunk = at.ahead->Next();
    if (chunk.empty() && at.ahead->error() != 0) {
      md5_.Drop(lane);
      return Finish(lane, Failed{at.ahead->error()});
    }
    end = chunk.empty();
  } else if (ReadAheadOf(at)) {
    return Read(lane);
  } else {
    const auto began = at.firstRead ? Clock::now() : Clock::time_point{};
    // A file read whole at once ends where a short read reaches the size it had when opened, on
    // a disk's file system: a small file then costs one read, not two. Elsewhere (FUSE, network,
    // /proc) a size may not tell the end. Read to the end, as md5sum reads: a file that grows
    // meanwhile is read as far as it has grown.
    const auto whole = static_cast<std::size_t>(at.opened.st_size);
    const bool sizeTellsEnd =
        at.firstRead && whole < at.buffer.size() && major(at.opened.st_dev) != 0;
    const ssize_t got = ReadFull(at.file.get(), at.buffer, sizeTellsEnd ? whole : SIZE_MAX);
    if (got < 0) {
      md5_.Drop(lane);
      return Finish(lane, Failed{errno});
    }
    chunk = at.buffer.first(static_cast<std::size_t>(got));
    end = chunk.size() < at.buffer.size();
    at.read += got;
    if (std::exchange(at.firstRead, false) && Clock::now() - began > kColdRead) {
      at.cold = true;
      if (context_.warmers && !context_.shortage.lean() &&
          context_.disks.FoundCold(at.opened.st_dev))
        context_.warmers->Begin();
    }
  }
  if (context_.progress)
    context_.progress->Read(chunk.size());
  md5_.Feed(lane, chunk, end);
}

// Whether the lane's file is now read ahead of its digest: a large file in memory (its first read
// did not wait for the disk, whose reads the lanes ask for their own way), once nothing is left
// for the other threads and a core is free. Looked at before each chunk, as a thread that took a
// few files may finish them early and leave its core to this one's.
bool LaneWorker::ReadAheadOf(Lane &at) {
  if (at.firstRead || at.cold || at.opened.st_size - at.read < kReadAheadFrom ||
      context_.shortage.lean() || window_.Unclaimed() > 0 || window_.Busy() >= context_.threads)
    return false;
  if (!reader_ && !readerRefused_)
    readerRefused_ = !(reader_ = ReadAhead::Start()); // no thread to be had: asked once
  if (!reader_)
    return false;
  at.ahead = reader_->Read(at.file.get());
  return at.ahead != nullptr;
}

void LaneWorker::Done() {
  if (context_.progress)
    context_.progress->FileDone();
}

void LaneWorker::Finish(std::size_t lane, Outcome outcome) {
  Lane &at = lanes_[lane];
  at.job->outcome = std::move(outcome);
  Done();
  finished_.push_back(at.job);
  at.ahead.reset();
  buffers_.Done(lane);
  at = Lane{};
  free_.push_back(lane);
  --held_;
}

void Fingerprints(Window &window, const LoopContext &context, bool untilIdle) {
  std::vector<Job *> claimed, finished;
  while (window.Claim(finished, 0, kFingerprintsAtOnce, !untilIdle, claimed)) {
    finished.clear();
    // Woken with nothing, an idle thread asks whether to end: the loop may be lean.
    if (claimed.empty() && (untilIdle || context.shortage.Retire()))
      break;
    for (Job *job : claimed) {
      if (job->origin == Origin::StandardInput) {
        job->outcome = InTurn{};
        continue;
      }
      try {
        context.shortage.Retrying(
            [&] { job->outcome = FingerprintOf(*job, context.keepTimes, context.descriptors); });
      } catch (const std::bad_alloc &) { // with nothing else at work: the file's failure
        job->outcome = Failed{ENOMEM};
      }
      if (context.progress)
        context.progress->FileDone();
    }
    finished.swap(claimed);
  }
}

} // namespace

void Work(Window &window, const LoopContext &context, bool untilIdle) {
  const Shortage::AtWork atWork;
  window.Join();
  bool wentOn = true;
  try {
    if (context.method == Method::Md5) {
      // A thread with others beside it that cannot start leaves the work to them: one less
      // thread gives its stack back.
      std::optional<LaneWorker> worker;
      if (window.Claimers() > 1)
        worker.emplace(window, context);
      else
        context.shortage.Retrying([&] { worker.emplace(window, context); });
      worker->Work(untilIdle);
    } else {
      Fingerprints(window, context, untilIdle);
    }
  } catch (const std::bad_alloc &) { // no memory to start, even with nothing else at work
    wentOn = false;
  }
  // The last claimer leaves no file unclaimed: memory is too short for the work to go on.
  if (window.Leave() == 0 && !wentOn)
    throw std::bad_alloc();
}

} // namespace quillsum::cli
