#include "cli/loop/ReadAhead.h"

#include "cli/Threads.h"
#include "cli/loop/LaneBuffers.h"

#include "engine/UniqueFd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// A lane's chunk at a time; four a file keep 16 files' lanes fed, with little memory to fault in.
constexpr std::size_t kChunk = LaneBuffers::kChunk;
constexpr std::size_t kChunks = 4;
// Rings' chunks come four rings to a 2 MiB huge page, where the system gives one: copied out of
// the page cache into 4 KiB pages, they would miss the TLB at each page.
constexpr std::size_t kRing = kChunks * kChunk;
constexpr std::size_t kBlock = 2 << 20;

} // namespace

// A file's chunks, filled by the reader in order and taken by the digest in the same order.
struct ReadAhead::File::Ring {
  explicit Ring(int file) : fd(file) {}
  std::size_t Ready() const { return ahead - taken; }
  bool Open() const { return !ended && Ready() < kChunks; }

  const int fd;
  std::uint8_t *bytes = nullptr; // kRing of them, in one of the reader's blocks
  std::array<std::size_t, kChunks> sizes{};
  std::size_t ahead = 0, taken = 0; // chunks read and chunks given back, from the start
  bool holding = false;             // Next has given out chunk `taken`
  bool ended = false, reading = false;
  int error = 0;
};

// The reader waits while no file has room for a chunk, and is woken once one has half of its
// ring free again: it then fills every file it can before it waits again.
struct ReadAhead::State {
  void Run() {
    std::unique_lock lock(mutex);
    for (;;) {
      File::Ring *ring = Neediest();
      if (!ring) {
        if (stopping)
          return;
        readerWaits = true;
        work.wait(lock);
        readerWaits = false;
        continue;
      }
      std::uint8_t *const chunk = ring->bytes + ring->ahead % kChunks * kChunk;
      ring->reading = true;
      lock.unlock();
      const ssize_t got = ReadFull(ring->fd, {chunk, kChunk});
      const int readError = errno;
      lock.lock();
      ring->reading = false;
      if (got <= 0) {
        ring->ended = true;
        ring->error = got < 0 ? readError : 0;
      } else {
        ring->sizes[ring->ahead % kChunks] = static_cast<std::size_t>(got);
        ++ring->ahead;
      }
      filled.notify_all();
    }
  }

  // The file with room whose digest has the fewest chunks ready.
  File::Ring *Neediest() const {
    File::Ring *neediest = nullptr;
    for (File::Ring *ring : rings)
      if (ring->Open() && (!neediest || ring->Ready() < neediest->Ready()))
        neediest = ring;
    return neediest;
  }

  // Another block of rings' chunks, under the lock; none when no memory can be had. Every ring
  // it can hold has room in rings and spare beforehand, so that starting or ending a file never
  // needs memory.
  void Grow() {
    Block block(static_cast<std::uint8_t *>(std::aligned_alloc(kBlock, kBlock)));
    if (!block)
      return;
    ::madvise(block.get(), kBlock, MADV_HUGEPAGE);
    const std::size_t slots = (blocks.size() + 1) * (kBlock / kRing);
    rings.reserve(slots);
    spare.reserve(slots);
    blocks.reserve(blocks.size() + 1);
    for (std::size_t at = 0; at < kBlock; at += kRing)
      spare.push_back(block.get() + at);
    blocks.push_back(std::move(block));
  }

  struct Free {
    void operator()(std::uint8_t *bytes) const { std::free(bytes); }
  };
  using Block = std::unique_ptr<std::uint8_t[], Free>;

  std::mutex mutex;
  std::condition_variable work, filled;
  std::vector<File::Ring *> rings;
  std::vector<Block> blocks;
  // The rings' chunks free for the next files: memory the reader has written once costs no page
  // faults again.
  std::vector<std::uint8_t *> spare;
  bool stopping = false, readerWaits = false;
  Thread reader;
};

std::unique_ptr<ReadAhead> ReadAhead::Start() noexcept {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state)
    return nullptr;
  std::unique_ptr<ReadAhead> ahead(new (std::nothrow) ReadAhead(std::move(state)));
  if (!ahead)
    return nullptr;
  State &s = *ahead->state_;
  s.reader = StartThread([&s] { s.Run(); });
  if (!s.reader.joinable()) {
    s.stopping = true; // so that the destructor has nothing to join
    return nullptr;
  }
  return ahead;
}

ReadAhead::ReadAhead(std::unique_ptr<State> state) : state_(std::move(state)) {}

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_one();
  if (state_->reader.joinable())
    state_->reader.join();
}

std::unique_ptr<ReadAhead::File> ReadAhead::Read(int fd) noexcept {
  State &s = *state_;
  std::unique_ptr<File::Ring> ring(new (std::nothrow) File::Ring(fd));
  if (!ring)
    return nullptr;
  File::Ring &started = *ring;
  std::unique_ptr<File> file(new (std::nothrow) File(*this, std::move(ring)));
  if (!file)
    return nullptr;
  {
    const std::lock_guard lock(s.mutex);
    try {
      if (s.spare.empty())
        s.Grow();
    } catch (const std::bad_alloc &) { // the block, if any, is let go again
    }
    if (!s.spare.empty()) {
      started.bytes = s.spare.back();
      s.spare.pop_back();
      s.rings.push_back(&started);
    }
  }
  if (!started.bytes)
    return nullptr;
  s.work.notify_one();
  return file;
}

ReadAhead::File::File(ReadAhead &reader, std::unique_ptr<Ring> ring)
    : reader_(reader), ring_(std::move(ring)) {}

ReadAhead::File::~File() {
  State &s = *reader_.state_;
  std::unique_lock lock(s.mutex);
  const auto found = std::find(s.rings.begin(), s.rings.end(), ring_.get());
  if (found == s.rings.end()) // never started: Read gave up on it
    return;
  s.filled.wait(lock, [&] { return !ring_->reading; });
  s.rings.erase(found);
  s.spare.push_back(ring_->bytes);
}

bool ReadAhead::File::ReadAll() const {
  const std::lock_guard lock(reader_.state_->mutex);
  return ring_->ended;
}

std::span<const std::uint8_t> ReadAhead::File::Next() {
  State &s = *reader_.state_;
  Ring &r = *ring_;
  std::unique_lock lock(s.mutex);
  if (std::exchange(r.holding, false)) {
    ++r.taken;
    if (s.readerWaits && r.Ready() == kChunks / 2)
      s.work.notify_one();
  }
  s.filled.wait(lock, [&] { return r.Ready() > 0 || r.ended; });
  if (r.Ready() == 0) {
    error_ = r.error;
    return {};
  }
  r.holding = true;
  return {r.bytes + r.taken % kChunks * kChunk, r.sizes[r.taken % kChunks]};
}

} // namespace quillsum::cli
