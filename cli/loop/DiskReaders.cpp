#include "cli/loop/DiskReaders.h"

#include "cli/Threads.h"
#include "cli/loop/ReadAhead.h"

#include "engine/MD5Lanes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A reader that was idle lets the files that come in a burst gather, so that it reads them in
// disk order rather than the first in the order it came: for this long at most, or until the
// hashing threads have nothing left to look at.
constexpr auto kGather = std::chrono::milliseconds(50);
constexpr auto kGatherLook = std::chrono::milliseconds(1);
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
// Once a flash disk's file is found cold, the next kColdFiles files are asked for ahead, each up
// to kWarmed bytes (the rest of a large file is the lane's to ask for), by kWarmersPerCore
// threads a core (enough reads in flight for a flash disk's channels), never more than
// kWarmedAhead files past where the hashing threads claim.
constexpr unsigned kColdFiles = 4096;
constexpr off_t kWarmed = 256 << 10;
constexpr unsigned kWarmersPerCore = 4;
constexpr std::uint64_t kWarmedAhead = 1024;
constexpr auto kLookAgain = std::chrono::milliseconds(1);

// What a reader reads at a time; a file this large or larger is read ahead of its digest, so that
// the disk never waits for the hash.
constexpr std::size_t kRead = 1 << 20;
constexpr std::size_t kLeastRead = 16 << 10;
// After this many files of a disk in a row were in memory, one file in kSampled is looked at.
constexpr unsigned kInMemoryRun = 64;
constexpr unsigned kSampled = 16;
// How each medium is read: the loop's whole read policy. The page cache is asked about a file only
// where the answer changes the road.
struct Reads {
  bool ownReader;    // one reader for the disk, in disk order; else the hashing threads' lanes
  bool askPageCache; // whether a file counts as Memory when most of it is cached
  bool askAhead;     // the lanes ask for their files' reads at once when they find them cold
};
constexpr Reads ReadsOf(Medium medium) {
  switch (medium) {
  case Medium::Spinning:
    return {true, true, false};
  case Medium::Flash:
    return {false, false, true};
  case Medium::Memory:
    break;
  }
  return {false, false, false};
}

} // namespace

// One disk's reader: a thread that reads the files it is given one at a time, each time
// the one whose place on the disk comes next after the last one read (wrapping round to the
// first), and hashes them through one MD5 lane.
class DiskReaders::Reader {
public:
  Reader(Window &window, Progress *progress, DescriptorBudget &descriptors, bool keepTimes)
      : window_(window), progress_(progress), descriptors_(descriptors), keepTimes_(keepTimes) {}
  ~Reader() { Stop(); }

  bool Start() {
    thread_ = StartThread([this] { Run(); });
    return thread_.joinable();
  }

  void Take(Job &job, std::uint64_t place) {
    {
      const std::lock_guard lock(mutex_);
      if (queue_.empty() && !reading_)
        idleSince_ = Clock::now();
      queue_.emplace(place, &job);
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
  using Queue = std::multimap<std::uint64_t, Job *>;

  void Run() {
    md5_.Run(); // the lane, free
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) {
        prefetched_ = {};
        return;
      }
      while (!closing_ && Clock::now() < idleSince_ + kGather && !Settled(lock))
        work_.wait_until(lock, std::min(idleSince_ + kGather, Clock::now() + kGatherLook));
      reading_ = true;
      while (!queue_.empty()) {
        const auto next = Following(place_);
        place_ = next->first;
        Job &job = *next->second;
        queue_.erase(next);
        lock.unlock();
        try {
          Read(job);
        } catch (const std::bad_alloc &) {
          md5_.Drop(0);
          Complete(job, {{}, ENOMEM});
        }
        Job *const done = &job;
        window_.Complete(std::span(&done, 1));
        lock.lock();
      }
      reading_ = false;
    }
  }

  // Whether the hashing threads have taken every file and no more are being added: the gather
  // is then over.
  bool Settled(std::unique_lock<std::mutex> &lock) {
    lock.unlock(); // the window's lock is never taken under the head's
    const bool settled = window_.Settled();
    lock.lock();
    return settled;
  }

  // The file whose place comes next from place on, wrapping round; the queue is not empty.
  Queue::iterator Following(std::uint64_t place) {
    const auto next = queue_.lower_bound(place);
    return next == queue_.end() ? queue_.begin() : next;
  }

  // Reads the job's file and digests it; what is no longer a regular file goes as Job says.
  void Read(Job &job) {
    DescriptorBudget::Held file;
    if (prefetched_.job == &job)
      file = std::move(prefetched_.file);
    prefetched_ = {};
    if (!file)
      file = descriptors_.Open(job.name.c_str(), kOpenFlags, true);
    if (!file)
      return Complete(job, {{}, errno});
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
      return Fail(job, errno);
    if (!S_ISREG(info.st_mode))
      return job.NotRegular();
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const bool large = info.st_size >= static_cast<off_t>(kRead);
    if (large && !reader_)
      reader_ = ReadAhead::Start();
    const auto ahead = large && reader_ ? reader_->Read(file.get()) : nullptr;
    if (!ahead && !buffer_ && !AllocateBuffer())
      return Complete(job, {{}, ENOMEM});
    bool prefetched = false;
    for (bool end = false; !end;) {
      std::span<const std::uint8_t> chunk;
      if (ahead) {
        chunk = ahead->Next();
        if (chunk.empty() && ahead->error() != 0)
          return Fail(job, ahead->error());
        end = chunk.empty();
      } else {
        std::size_t size = 0;
        while (size < bufferSize_ && !end) {
          const ssize_t got = ::read(file.get(), buffer_.get() + size, bufferSize_ - size);
          if (got > 0)
            size += static_cast<std::size_t>(got);
          else if (got == 0)
            end = true;
          else if (errno != EINTR)
            return Fail(job, errno);
        }
        chunk = {buffer_.get(), size};
      }
      // Once this file is read, the disk goes on to the next one while the rest is hashed.
      if (!prefetched && (end || (ahead && ahead->ReadAll()))) {
        Prefetch();
        prefetched = true;
      }
      if (progress_)
        progress_->Read(chunk.size());
      md5_.Feed(0, chunk, end);
      md5_.Run();
    }
    std::optional<FileTimes> times = keepTimes_ ? TimesOf(info, file.get()) : std::nullopt;
    file.Close();
    Complete(job, {Lower(md5_.Digest(0)), 0, times});
  }

  // kRead bytes, or less while memory is short: a smaller buffer reads as surely.
  bool AllocateBuffer() {
    for (bufferSize_ = kRead; bufferSize_ >= kLeastRead; bufferSize_ /= 2) {
      buffer_.reset(new (std::nothrow) std::uint8_t[bufferSize_]);
      if (buffer_)
        return true;
    }
    return false;
  }

  // Opens the file that comes next and asks the kernel to start reading it.
  void Prefetch() {
    Job *next = nullptr;
    {
      const std::lock_guard lock(mutex_);
      if (!queue_.empty())
        next = Following(place_)->second;
    }
    if (!next)
      return;
    DescriptorBudget::Held file = descriptors_.TryOpen(next->name.c_str(), kOpenFlags);
    if (!file)
      return;
    ::posix_fadvise(file.get(), 0, kRead, POSIX_FADV_WILLNEED);
    prefetched_ = {next, std::move(file)};
  }

  void Fail(Job &job, int error) {
    md5_.Drop(0); // whatever it was fed of this file
    Complete(job, {{}, error});
  }

  void Complete(Job &job, Digest digest) {
    job.digest = std::move(digest);
    if (progress_)
      progress_->FileDone();
  }

  Window &window_;
  Progress *const progress_;
  DescriptorBudget &descriptors_;
  const bool keepTimes_;
  std::mutex mutex_;
  std::condition_variable work_;
  Queue queue_;                 // by place on the disk
  std::uint64_t place_ = 0;     // of the file read last
  Clock::time_point idleSince_; // when files came to a reader with none to read
  bool reading_ = false;
  bool closing_ = false;
  std::thread thread_;
  // Only the head's thread touches these.
  MD5Lanes md5_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t bufferSize_ = 0;
  std::unique_ptr<ReadAhead> reader_; // reads a large file ahead of its digest, once started
  struct Prefetched {
    Job *job = nullptr;
    DescriptorBudget::Held file;
  } prefetched_;
};

DiskReaders::Road DiskReaders::Forced() {
  const char *road = std::getenv("QUILLSUM_ROAD");
  const std::string_view name = road ? road : "";
  return name == "lanes" ? Road::Lanes : name == "disk" ? Road::Disk : Road::Automatic;
}

DiskReaders::DiskReaders(Window &window, Progress *progress, DescriptorBudget &descriptors,
                         bool keepTimes)
    : window_(window), progress_(progress), descriptors_(descriptors), keepTimes_(keepTimes),
      forced_(Forced()) {}

DiskReaders::~DiskReaders() { Finish(); }

namespace {

// What the calling thread last learnt of a device: its disk, and how many of its files in a row
// were in memory.
struct LastDevice {
  bool known = false;
  dev_t device = 0;
  Disk disk{};
  unsigned inMemory = 0, files = 0;
};
thread_local LastDevice last;

} // namespace

Disk DiskReaders::DiskOf(dev_t device) {
  if (!last.known || last.device != device)
    last = {true, device, disks_.Of(device), 0, 0};
  return last.disk;
}

// Threads that only wait on the disk: each takes the next file not claimed yet, up to kWarmedAhead
// past where claiming stands, opens it, and asks the kernel for its first pages (all of a small
// file), then closes it. The lanes then find its data in memory, or on its way.
class DiskReaders::Warmers {
public:
  Warmers(DiskReaders &readers, unsigned threads) : readers_(readers) {
    for (unsigned k = 0; k < threads; ++k)
      if (std::thread thread = StartThread([this] { Run(); }); thread.joinable())
        threads_.push_back(std::move(thread));
  }
  ~Warmers() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &thread : threads_)
      thread.join();
  }
  void Wake() { wake_.notify_all(); }

private:
  void Run() {
    for (;;) {
      std::string name;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || readers_.cold_ > 0; });
        if (stopping_)
          return;
        try {
          const std::uint64_t next =
              readers_.window_.Peek(cursor_, 1, kWarmedAhead, [&name](const Job &job) {
                if (job.name != "-")
                  name = job.name;
              });
          if (next == cursor_) { // nothing new to look at: the claimers caught up
            wake_.wait_for(lock, kLookAgain);
            continue;
          }
          cursor_ = next;
        } catch (const std::bad_alloc &) {
          continue; // that file is read as it comes
        }
      }
      if (!name.empty() && readers_.cold_.load() > 0) {
        Warm(name);
        readers_.cold_.fetch_sub(1);
      }
    }
  }

  void Warm(const std::string &name) {
    struct stat info {};
    // Only a regular file: opening a FIFO would let its writer go on out of its turn. Nothing
    // on a spinning disk: its reader reads in disk order.
    if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
      return;
    try {
      if (readers_.DiskOf(info.st_dev).spinning)
        return;
    } catch (const std::bad_alloc &) {
      return;
    }
    const DescriptorBudget::Held file = readers_.descriptors_.TryOpen(name.c_str(), kOpenFlags);
    if (file)
      ::posix_fadvise(file.get(), 0, std::min<off_t>(info.st_size, kWarmed), POSIX_FADV_WILLNEED);
  }

  DiskReaders &readers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t cursor_ = 0; // the window's index to look at next
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

void DiskReaders::FoundCold(dev_t device) noexcept {
  try {
    if (forced_ == Road::Disk ||
        !ReadsOf(DiskOf(device).spinning ? Medium::Spinning : Medium::Flash).askAhead)
      return;
    cold_ = kColdFiles;
    const std::lock_guard lock(mutex_);
    if (!warmers_)
      warmers_ = std::make_unique<Warmers>(*this, kWarmersPerCore * UsableCpus());
    warmers_->Wake();
  } catch (const std::bad_alloc &) { // no warmers: the lanes read as they can
  }
}

bool DiskReaders::AskAhead(dev_t device) noexcept {
  try {
    return cold_ > 0 && forced_ != Road::Disk &&
           ReadsOf(DiskOf(device).spinning ? Medium::Spinning : Medium::Flash).askAhead;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

Medium DiskReaders::MediumOf(int fd, const struct stat &info) {
  DiskOf(info.st_dev);
  ++last.files;
  const Medium medium = last.disk.spinning ? Medium::Spinning : Medium::Flash;
  if (!ReadsOf(medium).askPageCache)
    return medium;
  // A file missed by the sampling takes the lanes, which read it well enough.
  if (last.inMemory >= kInMemoryRun && last.files % kSampled != 0)
    return Medium::Memory;
  if (InMemory(fd, info.st_size)) {
    ++last.inMemory;
    return Medium::Memory;
  }
  last.inMemory = 0;
  return medium;
}

bool DiskReaders::Take(Job &job, int fd, const struct stat &info) noexcept {
  if (forced_ == Road::Lanes)
    return false;
  try {
    if (forced_ == Road::Automatic && !ReadsOf(MediumOf(fd, info)).ownReader)
      return false;
    const dev_t disk = forced_ == Road::Disk ? info.st_dev : disks_.Of(info.st_dev).id;
    const std::uint64_t place = DiskOrder(fd, info);
    const std::lock_guard lock(mutex_);
    auto found = readers_.find(disk);
    if (found == readers_.end()) {
      auto reader = std::make_unique<Reader>(window_, progress_, descriptors_, keepTimes_);
      if (!reader->Start())
        return false;
      found = readers_.emplace(disk, std::move(reader)).first;
    }
    found->second->Take(job, place);
    return true;
  } catch (const std::bad_alloc &) { // the job was queued nowhere: the caller reads it
    return false;
  }
}

void DiskReaders::Finish() {
  const std::lock_guard lock(mutex_);
  warmers_.reset();
  for (auto &[disk, reader] : readers_)
    reader->Stop();
  readers_.clear();
}

} // namespace quillsum::cli
