#include "cli/loop/DiskReaders.h"

#include "cli/Threads.h"
#include "cli/loop/FileDigest.h"
#include "cli/loop/ReadAhead.h"
#include "cli/loop/Shortage.h"

#include "engine/MD5Lanes.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <new>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A reader that was idle lets the files that come in a burst gather, so that it reads them in
// disk order rather than the first in the order it came: for this long at most, until the hashing
// threads have nothing left to look at, or until descriptors are short.
constexpr auto kGather = std::chrono::milliseconds(50);
constexpr auto kGatherLook = std::chrono::milliseconds(1);

// What a reader reads at a time; a file this large or larger is read ahead of its digest, so that
// the disk never waits for the hash. While memory is short, less, down to a reserve of its own.
constexpr std::size_t kRead = 1 << 20;
constexpr std::size_t kLeastRead = 16 << 10;

} // namespace

// One disk's reader: a thread that reads the files it is given one at a time, each time
// the one whose place on the disk comes next after the last one read (wrapping round to the
// first), and hashes them through one MD5 lane. It holds the descriptors of the files queued
// for it, and gives each back once its file is read.
class DiskReaders::Reader {
public:
  Reader(Window &window, Progress *progress, bool keepTimes, std::atomic<std::size_t> &busy)
      : window_(window), progress_(progress), keepTimes_(keepTimes), busy_(busy) {}
  ~Reader() { Stop(); }

  bool Start() {
    thread_ = StartThread([this] { Run(); });
    return thread_.joinable();
  }

  // Queues the job and its file (the descriptor and its permit become this reader's); throws
  // std::bad_alloc, with file as it was, when there is no memory to queue it.
  void Take(Job &job, DescriptorBudget::Held &file, const struct stat &info, std::uint64_t place) {
    {
      const std::lock_guard lock(mutex_);
      const auto queued = queue_.emplace(place, Queued{&job, {}, info});
      file.HandTo(holder_);
      queued->second.file = std::move(file);
      if (queue_.size() == 1 && !reading_) {
        idleSince_ = Clock::now();
        ++busy_;
      }
    }
    work_.notify_one();
  }

  // Reads what is queued, then ends the thread.
  void Stop() {
    {
      const std::lock_guard lock(mutex_);
      closing_ = true;
    }
    work_.notify_one();
    if (thread_.joinable())
      thread_.join();
  }

private:
  struct Queued {
    Job *job;
    DescriptorBudget::Held file;
    struct stat info;
  };
  using Queue = std::multimap<std::uint64_t, Queued>;

  void Run() {
    const DescriptorBudget::Working working(holder_);
    const Shortage::AtWork atWork;
    md5_.Run(); // the lane, free
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty())
        return;
      while (!closing_ && Clock::now() < idleSince_ + kGather && !Settled(lock) &&
             !DescriptorBudget::OfProcess().Short())
        work_.wait_until(lock, std::min(idleSince_ + kGather, Clock::now() + kGatherLook));
      reading_ = true;
      while (!queue_.empty()) {
        const auto next = Following(place_);
        place_ = next->first;
        Queued queued = std::move(next->second);
        queue_.erase(next);
        lock.unlock();
        queued.job->outcome = Read(queued.file, queued.info);
        queued.file.Close();
        if (progress_)
          progress_->FileDone();
        Job *const done = queued.job;
        window_.Complete(std::span(&done, 1));
        lock.lock();
      }
      reading_ = false;
      // Idle: its memory goes with the work, before it counts as idle (see Shortage).
      lock.unlock();
      buffer_.reset();
      ahead_.reset();
      lock.lock();
      --busy_;
    }
  }

  // Whether the hashing threads have taken every file and no more are being added: the gather
  // is then over.
  bool Settled(std::unique_lock<std::mutex> &lock) {
    lock.unlock(); // the window's lock is never taken under the reader's
    const bool settled = window_.Settled();
    lock.lock();
    return settled;
  }

  // The file whose place comes next from place on, wrapping round; the queue is not empty.
  Queue::iterator Following(std::uint64_t place) {
    const auto next = queue_.lower_bound(place);
    return next == queue_.end() ? queue_.begin() : next;
  }

  // Reads the open file to its end and digests it.
  Outcome Read(const DescriptorBudget::Held &file, const struct stat &info) {
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const bool large = info.st_size >= static_cast<off_t>(kRead);
    if (large && !ahead_)
      ahead_ = ReadAhead::Start();
    const auto ahead = large && ahead_ ? ahead_->Read(file.get()) : nullptr;
    const std::span<std::uint8_t> buffer = ahead ? std::span<std::uint8_t>() : Buffer();
    bool askedNext = false;
    for (bool end = false; !end;) {
      std::span<const std::uint8_t> chunk;
      if (ahead) {
        chunk = ahead->Next();
        if (chunk.empty() && ahead->error() != 0)
          return Fail(ahead->error());
        end = chunk.empty();
      } else {
        const ssize_t got = ReadFull(file.get(), buffer);
        if (got < 0)
          return Fail(errno);
        chunk = buffer.first(static_cast<std::size_t>(got));
        end = chunk.size() < buffer.size();
      }
      // Once this file is read, the disk goes on to the next one while the rest is hashed.
      if (!askedNext && (end || (ahead && ahead->ReadAll()))) {
        AskForNext();
        askedNext = true;
      }
      if (progress_)
        progress_->Read(chunk.size());
      md5_.Feed(0, chunk, end);
      md5_.Run();
    }
    return Digested{md5_.Digest(0), keepTimes_ ? TimesOf(info, file.get()) : std::nullopt};
  }

  // kRead bytes, or less while memory is short: a smaller buffer reads as surely.
  std::span<std::uint8_t> Buffer() {
    for (std::size_t size = kRead; !buffer_ && size > kLeastRead; size /= 2) {
      buffer_.reset(new (std::nothrow) std::uint8_t[size]);
      bufferSize_ = size;
    }
    if (buffer_)
      return {buffer_.get(), bufferSize_};
    return reserve_;
  }

  // Asks the kernel to start reading the file that comes next.
  void AskForNext() {
    int next = -1;
    {
      const std::lock_guard lock(mutex_);
      if (!queue_.empty())
        next = Following(place_)->second.file.get(); // only this thread takes from the queue
    }
    if (next >= 0)
      ::posix_fadvise(next, 0, kRead, POSIX_FADV_WILLNEED);
  }

  Outcome Fail(int error) {
    md5_.Drop(0); // whatever it was fed of this file
    return Failed{error};
  }

  Window &window_;
  Progress *const progress_;
  const bool keepTimes_;
  std::atomic<std::size_t> &busy_;  // readers with files, this one among them while it has any
  DescriptorBudget::Holder holder_; // of the files queued and the one read
  std::mutex mutex_;
  std::condition_variable work_;
  Queue queue_;                 // by place on the disk
  std::uint64_t place_ = 0;     // of the file read last
  Clock::time_point idleSince_; // when files came to a reader with none to read
  bool reading_ = false;
  bool closing_ = false;
  Thread thread_;
  // Only the reader's thread touches these.
  MD5Lanes md5_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t bufferSize_ = 0;
  std::array<std::uint8_t, kLeastRead> reserve_;
  std::unique_ptr<ReadAhead> ahead_; // reads a large file ahead of its digest, once started
};

DiskReaders::DiskReaders(Window &window, Progress *progress, bool keepTimes)
    : window_(window), progress_(progress), keepTimes_(keepTimes) {}

DiskReaders::~DiskReaders() { Finish(); }

bool DiskReaders::Take(Job &job, DescriptorBudget::Held &file, const struct stat &info,
                       dev_t disk) noexcept {
  try {
    const std::uint64_t place = DiskOrder(file.get(), info);
    const std::lock_guard lock(mutex_);
    auto found = readers_.find(disk);
    if (found == readers_.end()) {
      auto reader = std::make_unique<Reader>(window_, progress_, keepTimes_, busy_);
      if (!reader->Start())
        return false;
      found = readers_.emplace(disk, std::move(reader)).first;
    }
    found->second->Take(job, file, info, place);
    return true;
  } catch (const std::bad_alloc &) { // queued nowhere: the caller reads it
    return false;
  }
}

void DiskReaders::Finish() {
  const std::lock_guard lock(mutex_);
  for (auto &[disk, reader] : readers_)
    reader->Stop();
  readers_.clear();
}

} // namespace quillsum::cli
