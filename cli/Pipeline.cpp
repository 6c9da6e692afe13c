#include "cli/Pipeline.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "engine/MD5Lanes.h"
#include "engine/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// Files in flight at most: enough for the other threads to keep busy on small files while one
// reads a large one.
constexpr std::size_t kWindow = 1024;
// Files a thread takes at once at most.
constexpr std::uint64_t kMostClaimed = 16;
// What a lane reads of its file at a time, as MD5CLS reads a file: a read's own cost is small
// next to copying and hashing this much (32 to 256 KiB made no difference here).
constexpr std::size_t kLaneChunk = 128 * 1024;
// Descriptors kept for all but the lanes' files: standard streams, a list, a folder being
// listed, a file read on its own.
constexpr rlim_t kOtherFds = 16;

// Each lane keeps its file open until it is read: together, the threads' lanes stay within the
// descriptors the process may open.
std::size_t LanesPerThread(unsigned threads) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return SIZE_MAX;
  const rlim_t spare = limit.rlim_cur > kOtherFds ? limit.rlim_cur - kOtherFds : 0;
  return std::max<std::size_t>(spare / threads, 1);
}

struct Free {
  void operator()(std::uint8_t *bytes) const { std::free(bytes); }
};
using Buffers = std::unique_ptr<std::uint8_t[], Free>;

// The lanes' read buffers, in one block. Sixteen lanes' buffers fill one 2 MiB huge page, where
// the system gives it: the copy out of the page cache then misses the TLB once, not at every
// small page, and costs a third less here.
Buffers LaneBuffers(std::size_t size) {
  constexpr std::size_t kHugePage = 2 << 20;
  const bool huge = size % kHugePage == 0;
  Buffers buffers(
      static_cast<std::uint8_t *>(huge ? std::aligned_alloc(kHugePage, size) : std::malloc(size)));
  if (!buffers)
    throw std::bad_alloc();
  if (huge)
    ::madvise(buffers.get(), size, MADV_HUGEPAGE);
  return buffers;
}

std::string Lower(std::string hex) {
  for (char &c : hex)
    if (c >= 'A' && c <= 'F')
      c = static_cast<char>(c - 'A' + 'a');
  return hex;
}

Digest Md5Of(int fd, Progress *progress, MD5CLS::Reads reads) {
  std::function<void(std::size_t)> onRead;
  if (progress)
    onRead = [progress](std::size_t bytes) { progress->Read(bytes); };
  std::string hex = MD5CLS().DigestFdToHexStr(fd, onRead, reads);
  if (hex.empty())
    return {{}, errno};
  return {Lower(std::move(hex))};
}

Digest Md5Of(const std::string &name, Progress *progress, MD5CLS::Reads reads) {
  // A blocking open, as md5sum's: a FIFO waits for its writer rather than reading as empty.
  const UniqueFd opened(name == "-" ? -1 : ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  const int fd = name == "-" ? STDIN_FILENO : opened.get();
  if (fd < 0)
    return {{}, errno};
  return Md5Of(fd, progress, reads);
}

Digest FingerprintOf(const std::string &name) {
  const Fingerprint fingerprint = name == "-" ? SampledFingerprint(STDIN_FILENO)
                                              : SampledFingerprint(name, NonRegular::Refused);
  switch (fingerprint.failure) {
  case Fingerprint::Failure::None:
    return {fingerprint.digest};
  case Fingerprint::Failure::Unreadable:
    return {{}, fingerprint.error};
  case Fingerprint::Failure::Directory:
    return {{}, EISDIR};
  case Fingerprint::Failure::NotRegular:
    break;
  }
  return {{}, kNotRegular};
}

} // namespace

std::string Reason(int error) {
  return error == kNotRegular ? "Not a regular file" : std::strerror(error);
}

Digest DigestOne(const std::string &name, Method method, Progress *progress) {
  Digest digest =
      method == Method::Md5 ? Md5Of(name, progress, MD5CLS::Reads::InTurn) : FingerprintOf(name);
  if (progress)
    progress->FileDone();
  return digest;
}

// A thread's MD5 lanes, each digesting a regular file read chunk by chunk into a buffer of its
// own. Files come from the pipeline as lanes free up, and go back digested after each pass of
// the lanes. Anything else (a FIFO, pipe, terminal or device) may wait for a writer or a reader:
// it is read on its own once the lanes are empty, so that it never holds back the files before
// it, and nothing after it starts meanwhile.
class Pipeline::LaneWorker {
public:
  explicit LaneWorker(Pipeline &pipeline)
      : pipeline_(pipeline), progress_(pipeline.progress_),
        width_(std::min(md5_.Width(), pipeline.lanesPerThread_)),
        buffers_(LaneBuffers(width_ * kLaneChunk)), lanes_(width_) {
    for (std::size_t lane = width_; lane-- > 0;)
      free_.push_back(lane);
  }

  void Work() {
    md5_.Run(); // every lane, free
    while (Trade()) {
      Start();
      if (apart_ && held_ == 0)
        ReadApart();
      else
        for (std::size_t lane : md5_.Run())
          Serve(lane);
    }
  }

private:
  struct Lane {
    Item *item = nullptr;
    std::optional<UniqueFd> file; // until read to its end
  };

  bool Trade();
  void Start();
  void Serve(std::size_t lane);
  void Read(std::size_t lane);
  void ReadApart();
  void Finish(Item &item, Digest digest);
  void Finish(std::size_t lane, Digest digest);

  Pipeline &pipeline_;
  Progress *const progress_;
  MD5Lanes md5_;
  const std::size_t width_; // the lanes used
  const Buffers buffers_;
  std::vector<Lane> lanes_;
  std::vector<std::size_t> free_;
  std::size_t held_ = 0;         // lanes with a file
  std::deque<Item *> taken_;     // in order, not started yet
  std::vector<Item *> finished_; // digested, not yet marked done
  Item *apart_ = nullptr;        // not a regular file: read once the lanes are empty
  std::optional<UniqueFd> apartFile_;
  bool alone_ = false; // the one file taken is all there is, and another thread is idle
  bool busy_ = false;  // counted in the pipeline's busy_
};

// Marks what is digested done and hands it on, then takes more files: up to this thread's share
// of those waiting or in lanes, so that a few large files spread over every thread. Waits for
// files only with nothing else to do; false once there will be none.
bool Pipeline::LaneWorker::Trade() {
  Pipeline &p = pipeline_;
  std::unique_lock lock(p.mutex_);
  if (!finished_.empty()) {
    for (Item *item : finished_)
      item->done = true;
    p.inLanes_ -= finished_.size();
    finished_.clear();
    p.HandOn(lock);
  }
  bool idle;
  for (;;) {
    p.claimed_ = std::max(p.claimed_, p.handedOn_);
    idle = held_ == 0 && taken_.empty() && !apart_;
    if (idle && busy_) {
      --p.busy_;
      busy_ = false;
    }
    if (!apart_) {
      const std::uint64_t share =
          (p.added_ - p.claimed_ + p.inLanes_ + p.threads_ - 1) / p.threads_;
      const std::uint64_t most = std::clamp<std::uint64_t>(share, 1, width_);
      for (; p.claimed_ < p.added_ && held_ + taken_.size() < most; ++p.claimed_)
        if (Item &item = p.At(p.claimed_); !item.done) { // else read already, on the adding thread
          taken_.push_back(&item);
          ++p.inLanes_;
        }
    }
    if (!idle || !taken_.empty())
      break;
    if (p.finishing_)
      return false;
    p.workAdded_.wait(lock);
  }
  alone_ = idle && taken_.size() == 1 && p.claimed_ == p.added_ && p.busy_ + 1 < p.threads_;
  if (!busy_) {
    ++p.busy_;
    busy_ = true;
  }
  return true;
}

// Opens the files taken, in order, each into a free lane. The open does not wait, so that a FIFO
// with no writer holds up nothing; what is not a regular file is put apart.
void Pipeline::LaneWorker::Start() {
  while (!apart_ && !taken_.empty() && !free_.empty()) {
    Item &item = *taken_.front();
    taken_.pop_front();
    const int fd = ::open(item.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    // EWOULDBLOCK: another program's lease, which md5sum's open would wait for.
    if (fd < 0 && errno != EWOULDBLOCK) {
      Finish(item, {{}, errno});
      continue;
    }
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      apart_ = &item;
      if (fd >= 0)
        apartFile_.emplace(fd);
      break;
    }
    if (std::exchange(alone_, false)) {
      // With nothing else waiting and a thread to spare, a large file's reads go ahead of its
      // digest on that thread.
      const UniqueFd file(fd);
      Finish(item, Md5Of(fd, progress_, MD5CLS::Reads::Ahead));
      continue;
    }
    const std::size_t lane = free_.back();
    free_.pop_back();
    lanes_[lane].item = &item;
    lanes_[lane].file.emplace(fd);
    ++held_;
    Read(lane);
  }
  alone_ = false;
}

// Gives a lane that Run returned what it needs: its file's next chunk, or, once its digest is
// ready, a place among the free lanes.
void Pipeline::LaneWorker::Serve(std::size_t lane) {
  if (md5_.Done(lane))
    Finish(lane, {Lower(md5_.Digest(lane))});
  else
    Read(lane);
}

// Feeds the lane its file's next chunk; a read error ends the file there.
void Pipeline::LaneWorker::Read(std::size_t lane) {
  Lane &at = lanes_[lane];
  std::uint8_t *const chunk = buffers_.get() + lane * kLaneChunk;
  std::size_t size = 0;
  bool end = false;
  // To the end, as md5sum reads: a file that grows meanwhile is read as far as it has grown.
  while (size < kLaneChunk && !end) {
    const ssize_t got = ::read(at.file->get(), chunk + size, kLaneChunk - size);
    if (got > 0) {
      size += static_cast<std::size_t>(got);
    } else if (got == 0) {
      end = true;
    } else if (errno != EINTR) {
      md5_.Drop(lane);
      return Finish(lane, {{}, errno});
    }
  }
  if (end)
    at.file.reset();
  if (progress_)
    progress_->Read(size);
  md5_.Feed(lane, {chunk, size}, end);
}

// Reads the file put apart as md5sum would have, now that no lane waits on it: a FIFO once a
// writer has come (poll tells: a FIFO opened with no writer shows no hang-up until one has come
// and gone, while a pipe, whose open never waits, shows it at once), and then to its end.
void Pipeline::LaneWorker::ReadApart() {
  Item &item = *std::exchange(apart_, nullptr);
  if (!apartFile_)
    return Finish(item, Md5Of(item.name, progress_, MD5CLS::Reads::InTurn));
  const int fd = apartFile_->get();
  pollfd ready{fd, POLLIN, 0};
  while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  Finish(item, Md5Of(fd, progress_, MD5CLS::Reads::InTurn));
  apartFile_.reset();
}

void Pipeline::LaneWorker::Finish(Item &item, Digest digest) {
  item.digest = std::move(digest);
  if (progress_)
    progress_->FileDone();
  finished_.push_back(&item);
}

void Pipeline::LaneWorker::Finish(std::size_t lane, Digest digest) {
  Finish(*lanes_[lane].item, std::move(digest));
  lanes_[lane].item = nullptr;
  lanes_[lane].file.reset();
  free_.push_back(lane);
  --held_;
}

Pipeline::Pipeline(unsigned threads, Method method, Progress *progress, Output &output)
    : threads_(threads), method_(method), progress_(progress), output_(output), items_(kWindow),
      lanesPerThread_(LanesPerThread(threads)) {
  for (unsigned k = 0; k < threads; ++k)
    workers_.emplace_back([this] { Work(); });
}

Pipeline::~Pipeline() { Finish(); }

void Pipeline::Add(std::string name, Then then) {
  if (name != "-")
    return Add({std::move(name), std::move(then), {}, false});
  output_.ReadStandardInput();
  Digest digest = DigestOne(name, method_, progress_);
  Add({std::move(name), std::move(then), std::move(digest), true});
}

void Pipeline::Add(std::function<void()> action) {
  Add({{},
       [action = std::move(action)](const std::string &, const Digest &) { action(); },
       {},
       true});
}

void Pipeline::Add(Item item) {
  std::unique_lock lock(mutex_);
  // Once the window is full, half of it is let go before adding more, so that the threads and
  // this one do not take turns at every file.
  if (added_ - handedOn_ == items_.size()) {
    waitingForRoom_ = true;
    roomMade_.wait(lock, [this] { return added_ - handedOn_ <= items_.size() / 2; });
    waitingForRoom_ = false;
  }
  const bool done = item.done;
  At(added_++) = std::move(item);
  if (done)
    HandOn(lock);
  else
    workAdded_.notify_one();
}

void Pipeline::Finish() {
  {
    const std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  workAdded_.notify_all();
  for (std::thread &worker : workers_)
    worker.join();
  workers_.clear();
}

void Pipeline::Work() {
  if (method_ == Method::Md5)
    return LaneWorker(*this).Work();
  std::vector<Item *> claimed;
  std::unique_lock lock(mutex_);
  for (;;) {
    // Items with nothing to read may be handed on before any thread passes them, and their
    // places then hold newer items: claiming goes on from the oldest one not handed on.
    claimed_ = std::max(claimed_, handedOn_);
    if (claimed_ == added_) {
      if (finishing_)
        return;
      workAdded_.wait(lock);
      continue;
    }
    // Several files at a time when many wait, for fewer trips through the lock; only a share of
    // them, so that large files still spread over every thread.
    const std::uint64_t share = (added_ - claimed_) / (4 * threads_);
    const std::uint64_t end = claimed_ + std::clamp<std::uint64_t>(share, 1, kMostClaimed);
    for (; claimed_ < end && claimed_ < added_; ++claimed_)
      if (!At(claimed_).done) // else read already, on the adding thread
        claimed.push_back(&At(claimed_));
    lock.unlock();
    // Only this thread touches these items until they are marked done.
    for (Item *item : claimed)
      item->digest = DigestOne(item->name, method_, progress_);
    lock.lock();
    for (Item *item : claimed)
      item->done = true;
    claimed.clear();
    HandOn(lock);
  }
}

void Pipeline::HandOn(std::unique_lock<std::mutex> &lock) {
  if (handingOn_)
    return; // the thread handing on will see this item too before it stops
  handingOn_ = true;
  while (handedOn_ < added_ && At(handedOn_).done) {
    const std::uint64_t first = handedOn_;
    std::uint64_t end = first;
    while (end < added_ && At(end).done)
      ++end;
    lock.unlock();
    for (std::uint64_t index = first; index < end; ++index) {
      Item &item = At(index);
      item.then(item.name, item.digest);
    }
    output_.Flush();
    lock.lock();
    handedOn_ = end;
    if (waitingForRoom_ && added_ - handedOn_ <= items_.size() / 2)
      roomMade_.notify_one();
  }
  handingOn_ = false;
}

} // namespace quillsum::cli
