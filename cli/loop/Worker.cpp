#include "cli/loop/Worker.h"

#include "cli/loop/DiskReaders.h"
#include "cli/loop/LaneBuffers.h"
#include "cli/loop/ReadAhead.h"

#include "engine/MD5Lanes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
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

bool TooManyOpen(int error) { return error == EMFILE || error == ENFILE; }

// A thread's MD5 lanes, each digesting a regular file read chunk by chunk into its own buffer.
// Files come from the window as lanes free up, and go back digested after each pass of the lanes.
class LaneWorker {
public:
  LaneWorker(Window &window, const Crew &crew)
      : window_(window), crew_(crew), width_(std::min(md5_.Width(), crew.mostLanes)),
        buffers_(width_), lanes_(width_) {
    for (std::size_t lane = width_; lane-- > 0;)
      free_.push_back(lane);
    // Room for all a pass can finish, and more for FailAll: once a job is taken from the window,
    // nothing may throw before it is back in finished_, or it would be lost.
    pending_.reserve(width_);
    finished_.reserve(4 * width_);
    started_.reserve(width_);
  }

  // False when memory was too short for this thread to go on at all: its memory is given back,
  // and the others do the rest.
  bool Work(bool untilIdle) {
    md5_.Run(); // every lane, free
    bool wentOn = true;
    for (bool more = true; more;) {
      try {
        while (Claim(untilIdle)) {
          Start();
          if (held_ > 0)
            for (std::size_t lane : md5_.Run())
              FeedOrFinish(lane);
        }
        more = false;
      } catch (const std::bad_alloc &) {
        wentOn = more = held_ > 0 || Pending() > 0;
        FailAll(ENOMEM); // this thread's own files fail, and it goes on with the next
      }
    }
    window_.Complete(finished_);
    return wentOn;
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
  void Finish(Job &job, Digest digest);
  void Finish(std::size_t lane, Digest digest);
  void FailAll(int error);

  Window &window_;
  const Crew &crew_;
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
    if (!window_.Claim({}, 0, width_, true, pending_))
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
    if (crew_.disks && crew_.disks->Take(job, file.get(), info)) // its disk's reader reads it
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
  if (crew_.disks && crew_.disks->AskAhead(at.opened.st_dev) && !std::exchange(at.asked, true))
    ::posix_fadvise(at.file.get(), 0, std::min<off_t>(at.opened.st_size, kAskedAhead),
                    POSIX_FADV_WILLNEED);
}

// Opens the job's file if it is a regular one. The name's type is looked at before the open, so
// that nothing that can be read only once (a FIFO, whose open lets its writer go on, a device) is
// opened out of its turn; and the open descriptor's type decides, as the file may have changed
// in between. Later: no descriptor now, but this thread's lanes will soon free one.
LaneWorker::Opened LaneWorker::Open(Job &job, DescriptorBudget::Held &file, struct stat &info) {
  const auto leave = [&] {
    job.result = Job::Result::InTurn;
    finished_.push_back(&job);
    return Opened::Finished;
  };
  const auto fail = [&](int error) {
    Finish(job, {{}, error});
    return Opened::Finished;
  };
  if (job.name == "-")
    return leave();
  if (job.origin == Job::Origin::Named) {
    if (::stat(job.name.c_str(), &info) != 0)
      return fail(errno);
    if (NoSuchStandardInput(info))
      return fail(ENOENT);
    if (S_ISDIR(info.st_mode))
      return fail(EISDIR);
    if (!S_ISREG(info.st_mode))
      return leave();
  }
  // With files in its lanes, this thread does not wait for a descriptor: it closes its own.
  file = crew_.descriptors.Open(job.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                                held_ == 0);
  if (!file) {
    const int error = errno;
    if (error == EWOULDBLOCK) // another program's lease, which md5sum's open would wait for
      return leave();
    if (TooManyOpen(error) && held_ > 0)
      return Opened::Later;
    return fail(error);
  }
  if (::fstat(file.get(), &info) != 0) {
    const int error = errno;
    file.Close();
    return fail(error);
  }
  if (S_ISREG(info.st_mode))
    return Opened::Lane;
  file.Close();
  job.NotRegular();
  finished_.push_back(&job);
  return Opened::Finished;
}

// Gives a lane that Run returned what it needs: its file's next chunk, or, once its digest is
// ready, a place among the free lanes.
void LaneWorker::FeedOrFinish(std::size_t lane) {
  if (md5_.Done(lane))
    Finish(lane, {Lower(md5_.Digest(lane)), 0,
                  crew_.keepTimes ? TimesOf(lanes_[lane].opened, lanes_[lane].file.get())
                                  : std::nullopt});
  else
    Read(lane);
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
      return Finish(lane, {{}, at.ahead->error()});
    }
    end = chunk.empty();
  } else if (ReadAheadOf(at)) {
    return Read(lane);
  } else {
    const auto began = at.firstRead ? Clock::now() : Clock::time_point{};
    // A file read whole at once ends where a short read reaches the size it had when opened, on
    // a disk's file system: a read of nothing more would be a fifth of a small file's syscalls.
    // Elsewhere (FUSE, network, /proc) a size may not tell the end.
    const auto whole = static_cast<std::size_t>(at.opened.st_size);
    const bool sizeTellsEnd =
        at.firstRead && whole < at.buffer.size() && major(at.opened.st_dev) != 0;
    std::size_t size = 0;
    // To the end, as md5sum reads: a file that grows meanwhile is read as far as it has grown.
    while (size < at.buffer.size() && !end) {
      const ssize_t got = ::read(at.file.get(), at.buffer.data() + size, at.buffer.size() - size);
      if (got > 0) {
        size += static_cast<std::size_t>(got);
        end = sizeTellsEnd && size == whole;
      } else if (got == 0) {
        end = true;
      } else if (errno != EINTR) {
        md5_.Drop(lane);
        return Finish(lane, {{}, errno});
      }
    }
    chunk = at.buffer.first(size);
    at.read += static_cast<off_t>(size);
    if (std::exchange(at.firstRead, false) && Clock::now() - began > kColdRead) {
      at.cold = true;
      if (crew_.disks)
        crew_.disks->FoundCold(at.opened.st_dev);
    }
  }
  if (crew_.progress)
    crew_.progress->Read(chunk.size());
  md5_.Feed(lane, chunk, end);
}

// Whether the lane's file is now read ahead of its digest: a large file in memory (its first read
// did not wait for the disk, whose reads the lanes ask for their own way), once nothing is left
// for the other threads and a core is free. Looked at before each chunk, as a thread that took a
// few files may finish them early and leave its core to this one's.
bool LaneWorker::ReadAheadOf(Lane &at) {
  if (at.firstRead || at.cold || at.opened.st_size - at.read < kReadAheadFrom ||
      window_.Unclaimed() > 0 || window_.Busy() >= crew_.threads)
    return false;
  if (!reader_ && !readerRefused_)
    readerRefused_ = !(reader_ = ReadAhead::Start()); // no thread to be had: asked once
  if (!reader_)
    return false;
  at.ahead = reader_->Read(at.file.get());
  return at.ahead != nullptr;
}

void LaneWorker::Finish(Job &job, Digest digest) {
  job.digest = std::move(digest);
  if (crew_.progress)
    crew_.progress->FileDone();
  finished_.push_back(&job);
}

void LaneWorker::Finish(std::size_t lane, Digest digest) {
  Lane &at = lanes_[lane];
  Finish(*at.job, std::move(digest));
  at.ahead.reset();
  buffers_.Done(lane);
  at = Lane{};
  free_.push_back(lane);
  --held_;
}

// Out of memory for this thread's own work: its files fail, and the others' go on.
void LaneWorker::FailAll(int error) {
  for (std::size_t lane = 0; lane < width_; ++lane)
    if (lanes_[lane].job) {
      md5_.Drop(lane);
      Finish(lane, {{}, error});
    }
  for (; next_ < pending_.size(); ++next_)
    Finish(*pending_[next_], {{}, error});
}

void Fingerprints(Window &window, const Crew &crew, bool untilIdle) {
  std::vector<Job *> claimed, finished;
  while (window.Claim(finished, 0, kFingerprintsAtOnce, !untilIdle, claimed) && !claimed.empty()) {
    for (Job *job : claimed) {
      if (job->name == "-") {
        job->result = Job::Result::InTurn;
        continue;
      }
      job->digest = FingerprintOf(job->name, crew.keepTimes);
      if (job->origin == Job::Origin::Walked && job->digest.error == kNotRegular)
        job->result = Job::Result::Skipped;
      if (crew.progress)
        crew.progress->FileDone();
    }
    finished.swap(claimed);
    claimed.clear();
  }
}

} // namespace

void Work(Window &window, const Crew &crew, bool untilIdle) {
  window.Join();
  bool wentOn = true;
  if (crew.method == Method::Md5)
    wentOn = LaneWorker(window, crew).Work(untilIdle);
  else
    Fingerprints(window, crew, untilIdle);
  // The last claimer leaves no file unclaimed: memory is too short for the work to go on.
  if (window.Leave() == 0 && !wentOn)
    throw std::bad_alloc();
}

} // namespace quillsum::cli
