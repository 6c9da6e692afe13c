#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <utility>

#include <sys/types.h>

namespace quillsum {

// An open file descriptor, closed when this goes out of scope.
class UniqueFd {
public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept;
  ~UniqueFd();

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }

private:
  int fd_;
};

// Opens a file for reading without ever waiting: a FIFO with no writer or a device opens at
// once (or fails), so callers can look at what they opened before they read. On failure the
// result is empty and errno tells why.
UniqueFd OpenForReading(const std::filesystem::path &name) noexcept;

// Reads up to size bytes at offset, whatever the reads in between give; how many, fewer only at
// the file's end, or -1 with errno. A file known to end at the offset endsAt (by its size) ends
// where a read reaches it, which saves the read of nothing after it.
ssize_t ReadAt(int fd, void *bytes, std::size_t size, std::uint64_t offset,
               std::uint64_t endsAt = UINT64_MAX) noexcept;

// Reads from where fd stands until bytes is full, the file ends, or endsAt bytes were read (a
// size known to be the end, which saves the read of nothing after it); how many, or -1 with errno.
ssize_t ReadFull(int fd, std::span<std::uint8_t> bytes, std::size_t endsAt = SIZE_MAX) noexcept;

} // namespace quillsum
