#include "cli/loop/ReadAhead.h"

#include "cli/Threads.h"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::size_t kChunk = 128 * 1024;
constexpr std::size_t kChunks = 8;

} // namespace

// The reader fills the ring's chunks in order; the digest takes them in the same order. The
// reader waits once the ring is full and is woken when half of it is free again.
struct ReadAhead::State {
  explicit State(int file) : fd(file) {}

  void Read() {
    std::unique_lock lock(mutex);
    for (;;) {
      if (ahead - taken == kChunks) {
        readerWaits = true;
        freed.wait(lock, [&] { return stopping || ahead - taken <= kChunks / 2; });
        readerWaits = false;
      }
      if (stopping)
        return;
      std::uint8_t *const chunk = bytes.get() + ahead % kChunks * kChunk;
      lock.unlock();
      ssize_t got;
      do
        got = ::read(fd, chunk, kChunk);
      while (got < 0 && errno == EINTR);
      const int readError = errno;
      lock.lock();
      if (got <= 0) {
        ended = true;
        error = got < 0 ? readError : 0;
        filled.notify_one();
        return;
      }
      sizes[ahead % kChunks] = static_cast<std::size_t>(got);
      ++ahead;
      filled.notify_one();
    }
  }

  const int fd;
  std::unique_ptr<std::uint8_t[]> bytes{new (std::nothrow) std::uint8_t[kChunks * kChunk]};
  std::array<std::size_t, kChunks> sizes{};
  std::mutex mutex;
  std::condition_variable filled, freed;
  std::size_t ahead = 0, taken = 0; // chunks read and chunks given back, from the start
  bool holding = false;             // Next has given out chunk `taken`
  bool ended = false, stopping = false, readerWaits = false;
  int error = 0;
  std::thread reader;
};

std::unique_ptr<ReadAhead> ReadAhead::Start(int fd) noexcept {
  std::unique_ptr<State> state(new (std::nothrow) State(fd));
  if (!state || !state->bytes)
    return nullptr;
  std::unique_ptr<ReadAhead> ahead(new (std::nothrow) ReadAhead(std::move(state)));
  if (!ahead)
    return nullptr;
  State &s = *ahead->state_;
  s.reader = StartThread([&s] { s.Read(); });
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
  state_->freed.notify_one();
  if (state_->reader.joinable())
    state_->reader.join();
}

bool ReadAhead::ReadAll() const {
  const std::lock_guard lock(state_->mutex);
  return state_->ended;
}

std::span<const std::uint8_t> ReadAhead::Next() {
  State &s = *state_;
  std::unique_lock lock(s.mutex);
  if (std::exchange(s.holding, false)) {
    ++s.taken;
    if (s.readerWaits && s.ahead - s.taken <= kChunks / 2)
      s.freed.notify_one();
  }
  s.filled.wait(lock, [&] { return s.ahead > s.taken || s.ended; });
  if (s.ahead == s.taken) {
    error_ = s.error;
    return {};
  }
  s.holding = true;
  return {s.bytes.get() + s.taken % kChunks * kChunk, s.sizes[s.taken % kChunks]};
}

} // namespace quillsum::cli
