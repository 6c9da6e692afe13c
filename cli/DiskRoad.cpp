#include "cli/DiskRoad.h"

#include "cli/ReadAhead.h"
#include "cli/Threads.h"

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

// A head that was idle lets the files that come in a burst gather, so that it reads them in disk
// order rather than the first in the order it came: until none has come for this long, or the
// workers have nothing left to look at.
constexpr auto kGather = std::chrono::milliseconds(10);
constexpr auto kGatherLook = std::chrono::milliseconds(1);
// What a head reads at a time; a file this large or larger is read ahead of its digest, so that
// the disk never waits for the hash.
constexpr std::size_t kRead = 1 << 20;
// After this many files of a disk in a row were in memory, one file in kSampled is looked at.
constexpr unsigned kInMemoryRun = 64;
constexpr unsigned kSampled = 16;
// The most of a file whose pages are looked up in the page cache.
constexpr off_t kLookedAt = 64 << 20;

// The page cache's count of a file's pages (cachestat(2), Linux 6.5), declared here as glibc
// does not yet.
struct CachestatRange {
  std::uint64_t offset, length;
};
struct Cachestat {
  std::uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
};
constexpr long kCachestat = 451;

// Whether most of the file's first kLookedAt bytes are in memory, asked without reading any:
// cachestat where the kernel has it, else mincore over a mapping of the file.
bool InMemory(int fd, off_t size) {
  const off_t length = std::min(size, kLookedAt);
  if (length == 0)
    return true;
  const long page = ::sysconf(_SC_PAGESIZE);
  const auto pages = static_cast<std::uint64_t>((length + page - 1) / page);
  CachestatRange range{0, static_cast<std::uint64_t>(length)};
  Cachestat counted{};
  if (::syscall(kCachestat, fd, &range, &counted, 0) == 0)
    return counted.cached * 2 >= pages;
  void *mapped = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED)
    return true;
  std::vector<unsigned char> resident(pages);
  std::uint64_t cached = 0;
  if (::mincore(mapped, static_cast<std::size_t>(length), resident.data()) == 0)
    for (unsigned char r : resident)
      cached += r & 1;
  ::munmap(mapped, static_cast<std::size_t>(length));
  return cached * 2 >= pages;
}

} // namespace

// One disk's reading head: a thread that reads the files it is given one at a time, each time
// the one whose place on the disk comes next after the last one read (wrapping round to the
// first), and hashes them through one MD5 lane.
class DiskRoad::Head {
public:
  Head(Window &window, Progress *progress, HeldFiles &files)
      : window_(window), progress_(progress), files_(files) {}
  ~Head() { Finish(); }

  bool Start() {
    thread_ = StartThread([this] { Run(); });
    return thread_.joinable();
  }

  void Take(Job &job, std::uint64_t place) {
    {
      const std::lock_guard lock(mutex_);
      queue_.emplace(place, &job);
      arrived_ = Clock::now();
    }
    work_.notify_one();
  }

  void Finish() {
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
        Forget(prefetched_.file);
        return;
      }
      while (!closing_ && Clock::now() < arrived_ + kGather && !WorkersIdle(lock))
        work_.wait_until(lock, std::min(arrived_ + kGather, Clock::now() + kGatherLook));
      while (!queue_.empty()) {
        const auto next = Following(place_);
        place_ = next->first;
        Job &job = *next->second;
        queue_.erase(next);
        lock.unlock();
        Read(job);
        Job *const done = &job;
        window_.Complete(std::span(&done, 1));
        lock.lock();
      }
    }
  }

  bool WorkersIdle(std::unique_lock<std::mutex> &lock) {
    lock.unlock(); // the window's lock is never taken under the head's
    const bool idle = window_.Unclaimed() == 0 && window_.Busy() == 0;
    lock.lock();
    return idle;
  }

  // The file whose place comes next from place on, wrapping round; the queue is not empty.
  Queue::iterator Following(std::uint64_t place) {
    const auto next = queue_.lower_bound(place);
    return next == queue_.end() ? queue_.begin() : next;
  }

  // Reads the job's file and digests it; what is no longer a regular file is left for its turn,
  // or skipped when a walk named it.
  void Read(Job &job) {
    UniqueFd file = std::move(prefetched_.file);
    if (prefetched_.job != &job) {
      Forget(file);
      file = files_.Open(job.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, true);
    }
    prefetched_.job = nullptr;
    if (!file)
      return Finish(job, {{}, errno});
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
      return Fail(job, file, errno);
    if (!S_ISREG(info.st_mode)) {
      Forget(file);
      job.inTurn = job.origin == Job::Origin::Named;
      job.skipped = !job.inTurn;
      return;
    }
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    const auto ahead =
        info.st_size >= static_cast<off_t>(kRead) ? ReadAhead::Start(file.get()) : nullptr;
    if (!ahead && !buffer_)
      buffer_.reset(new (std::nothrow) std::uint8_t[kRead]);
    if (!ahead && !buffer_) {
      Forget(file);
      return Finish(job, {{}, ENOMEM});
    }
    bool prefetched = false;
    for (bool end = false; !end;) {
      std::span<const std::uint8_t> chunk;
      if (ahead) {
        chunk = ahead->Next();
        if (chunk.empty() && ahead->error() != 0)
          return Fail(job, file, ahead->error());
        end = chunk.empty();
      } else {
        std::size_t size = 0;
        while (size < kRead && !end) {
          const ssize_t got = ::read(file.get(), buffer_.get() + size, kRead - size);
          if (got > 0)
            size += static_cast<std::size_t>(got);
          else if (got == 0)
            end = true;
          else if (errno != EINTR)
            return Fail(job, file, errno);
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
    std::optional<FileTimes> times = TimesOf(info, file.get());
    Forget(file);
    Finish(job, {Lower(md5_.Digest(0)), 0, times});
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
    UniqueFd file =
        files_.Open(next->name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, false);
    if (!file)
      return;
    ::posix_fadvise(file.get(), 0, kRead, POSIX_FADV_WILLNEED);
    prefetched_ = {next, std::move(file)};
  }

  void Forget(UniqueFd &file) {
    if (file) {
      file = UniqueFd(-1);
      files_.Release();
    }
  }

  void Fail(Job &job, UniqueFd &file, int error) {
    md5_.Drop(0); // whatever it was fed of this file
    Forget(file);
    Finish(job, {{}, error});
  }

  void Finish(Job &job, Digest digest) {
    job.digest = std::move(digest);
    if (progress_)
      progress_->FileDone();
  }

  Window &window_;
  Progress *const progress_;
  HeldFiles &files_;
  std::mutex mutex_;
  std::condition_variable work_;
  Queue queue_;             // by place on the disk
  std::uint64_t place_ = 0; // of the file read last
  Clock::time_point arrived_;
  bool closing_ = false;
  std::thread thread_;
  // Only the head's thread touches these.
  MD5Lanes md5_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  struct {
    Job *job = nullptr;
    UniqueFd file{-1};
  } prefetched_;
};

DiskRoad::Road DiskRoad::Forced() {
  const char *road = std::getenv("QUILLSUM_ROAD");
  const std::string_view name = road ? road : "";
  return name == "lanes" ? Road::Lanes : name == "disk" ? Road::Disk : Road::Chosen;
}

DiskRoad::DiskRoad(Window &window, Progress *progress, HeldFiles &files)
    : window_(window), progress_(progress), files_(files), forced_(Forced()) {}

DiskRoad::~DiskRoad() { Finish(); }

bool DiskRoad::Take(Job &job, int fd, const struct stat &info) {
  if (forced_ == Road::Lanes)
    return false;
  // What this thread last learnt of a device: its disk, and how many of its files in a row were
  // in memory. Once that is many, only one file in kSampled is looked at (a file missed takes
  // the lanes, which read it well enough), until one is not in memory.
  thread_local struct {
    dev_t device = 0;
    Disk disk{};
    unsigned inMemory = 0, files = 0;
  } last;
  if (last.files == 0 || last.device != info.st_dev)
    last = {info.st_dev, disks_.Of(info.st_dev), 0, 0};
  ++last.files;
  const Disk disk = forced_ == Road::Disk ? Disk{info.st_dev, true} : last.disk;
  if (!disk.spinning)
    return false;
  if (forced_ == Road::Chosen) {
    if (last.inMemory >= kInMemoryRun && last.files % kSampled != 0)
      return false;
    if (InMemory(fd, info.st_size)) {
      ++last.inMemory;
      return false;
    }
    last.inMemory = 0;
  }
  const std::uint64_t place = DiskOrder(fd, info);
  const std::lock_guard lock(mutex_);
  auto found = heads_.find(disk.id);
  if (found == heads_.end()) {
    auto head = std::make_unique<Head>(window_, progress_, files_);
    if (!head->Start())
      return false; // no thread for it: the lanes read it
    found = heads_.emplace(disk.id, std::move(head)).first;
  }
  found->second->Take(job, place);
  return true;
}

void DiskRoad::Finish() {
  const std::lock_guard lock(mutex_);
  for (auto &[disk, head] : heads_)
    head->Finish();
  heads_.clear();
}

} // namespace quillsum::cli
