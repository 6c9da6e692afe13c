#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quillsum::cli {

// A file read on a thread of its own, a few chunks ahead of whoever digests them, so that
// copying it out of the page cache costs another core's time rather than the digest's.
class ReadAhead {
public:
  // Starts reading fd from where it stands; nothing when no thread or memory can be had, and
  // the caller then reads in turn.
  static std::unique_ptr<ReadAhead> Start(int fd) noexcept;
  ReadAhead(const ReadAhead &) = delete;
  ReadAhead &operator=(const ReadAhead &) = delete;
  // Stops reading and waits for the thread.
  ~ReadAhead();

  // The next chunk once it is read; it stays as it is until the next call. Empty at the end of
  // the file, and after a read that failed, whose errno error() then gives.
  std::span<const std::uint8_t> Next();
  int error() const { return error_; }
  // Whether the whole file has been read, some of it perhaps not yet taken by Next.
  bool ReadAll() const;

  struct State;

private:
  explicit ReadAhead(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
  int error_ = 0;
};

} // namespace quillsum::cli
