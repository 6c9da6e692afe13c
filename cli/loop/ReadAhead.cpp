#include "cli/loop/ReadAhead.h"

#include "cli/Threads.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::size_t kChunk = 128 * 1024;
constexpr std::size_t kChunks = 8;

} // namespace

// A file's chunks, filled by the reader in order and taken by the digest in the same order.
struct ReadAhead::File::Ring {
  Ring(int file, Bytes chunks) : fd(file), bytes(std::move(chunks)) {}
  std::size_t Ready() const { return ahead - taken; }
  bool Open() const { return !ended && Ready() < kChunks; }

  const int fd;
  Bytes bytes;
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
      std::uint8_t *const chunk = ring->bytes.get() + ring->ahead % kChunks * kChunk;
      ring->reading = true;
      lock.unlock();
      ssize_t got;
      do
        got = ::read(ring->fd, chunk, kChunk);
      while (got < 0 && errno == EINTR);
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

  std::mutex mutex;
  std::condition_variable work, filled;
  std::vector<File::Ring *> rings;
  // The chunks of rings whose files are done, for the next files: memory the reader has written
  // once costs no page faults again.
  std::vector<Bytes> spare;
  bool stopping = false, readerWaits = false;
  std::thread reader;
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
  Bytes bytes;
  {
    const std::lock_guard lock(state_->mutex);
    if (!state_->spare.empty()) {
      bytes = std::move(state_->spare.back());
      state_->spare.pop_back();
    }
  }
  if (!bytes)
    bytes.reset(new (std::nothrow) std::uint8_t[kChunks * kChunk]);
  if (!bytes)
    return nullptr;
  std::unique_ptr<File::Ring> ring(new (std::nothrow) File::Ring(fd, std::move(bytes)));
  if (!ring)
    return nullptr;
  File::Ring *const started = ring.get();
  std::unique_ptr<File> file(new (std::nothrow) File(*this, std::move(ring)));
  if (!file)
    return nullptr;
  try {
    const std::lock_guard lock(state_->mutex);
    // Room for every ring's chunks among the spare ones: a file's end never needs memory.
    state_->spare.reserve(state_->spare.size() + state_->rings.size() + 1);
    state_->rings.push_back(started);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  state_->work.notify_one();
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
  s.spare.push_back(std::move(ring_->bytes));
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
  return {r.bytes.get() + r.taken % kChunks * kChunk, r.sizes[r.taken % kChunks]};
}

} // namespace quillsum::cli
