#include "cli/Pipeline.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "engine/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// Files in flight at most: enough for the other threads to keep busy on small files while one
// reads a large one.
constexpr std::size_t kWindow = 1024;
// Files a thread takes at once at most.
constexpr std::uint64_t kMostClaimed = 16;

Digest Md5Of(const std::string &name, Progress *progress, MD5CLS::Reads reads) {
  // A blocking open, as md5sum's: a FIFO waits for its writer rather than reading as empty.
  const UniqueFd opened(name == "-" ? -1 : ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  const int fd = name == "-" ? STDIN_FILENO : opened.get();
  if (fd < 0)
    return {{}, errno};
  std::function<void(std::size_t)> onRead;
  if (progress)
    onRead = [progress](std::size_t bytes) { progress->Read(bytes); };
  std::string hex = MD5CLS().DigestFdToHexStr(fd, onRead, reads);
  if (hex.empty())
    return {{}, errno};
  for (char &c : hex)
    if (c >= 'A' && c <= 'F')
      c = static_cast<char>(c - 'A' + 'a');
  return {std::move(hex)};
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

Digest DigestOne(const std::string &name, Method method, Progress *progress, MD5CLS::Reads reads) {
  Digest digest = method == Method::Md5 ? Md5Of(name, progress, reads) : FingerprintOf(name);
  if (progress)
    progress->FileDone();
  return digest;
}

Pipeline::Pipeline(unsigned threads, Method method, Progress *progress, Output &output)
    : threads_(threads), method_(method), progress_(progress), output_(output), items_(kWindow) {
  for (unsigned k = 0; k < threads; ++k)
    workers_.emplace_back([this] { Work(); });
}

Pipeline::~Pipeline() { Finish(); }

void Pipeline::Add(std::string name, Then then) {
  if (name != "-")
    return Add({std::move(name), std::move(then), {}, false});
  output_.ReadStandardInput();
  Digest digest = DigestOne(name, method_, progress_, MD5CLS::Reads::InTurn);
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
    // With nothing else waiting and a thread to spare, the reads of a large file can go ahead
    // of its digest on a thread of their own.
    const auto reads =
        claimed_ == added_ && busy_ + 1 < threads_ ? MD5CLS::Reads::Ahead : MD5CLS::Reads::InTurn;
    ++busy_;
    lock.unlock();
    // Only this thread touches these items until they are marked done.
    for (Item *item : claimed)
      item->digest = DigestOne(item->name, method_, progress_, reads);
    lock.lock();
    --busy_;
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
