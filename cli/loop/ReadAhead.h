#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quillsum::cli {

// Files read on a thread of their own, a few chunks ahead of whoever digests them, so that
// copying them out of the page cache costs another core's time rather than the digest's. The
// thread reads every file started on it, a chunk at a time, the one with the fewest chunks ready
// first: a thread's lanes, which take a chunk of each file in turn, then rarely wait.
class ReadAhead {
public:
  // The reading thread; nothing when no thread or memory can be had, and the caller then reads
  // in turn.
  static std::unique_ptr<ReadAhead> Start() noexcept;
  ReadAhead(const ReadAhead &) = delete;
  ReadAhead &operator=(const ReadAhead &) = delete;
  // Ends the thread; every File started on it must be gone.
  ~ReadAhead();

  // One file being read. Its chunks are taken by one thread.
  class File {
  public:
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    // Stops reading it.
    ~File();

    // The next chunk once it is read; it stays as it is until the next call. Empty at the end of
    // the file, and after a read that failed, whose errno error() then gives.
    std::span<const std::uint8_t> Next();
    int error() const { return error_; }
    // Whether the whole file has been read, some of it perhaps not yet taken by Next.
    bool ReadAll() const;

    struct Ring;

  private:
    friend class ReadAhead;
    File(ReadAhead &reader, std::unique_ptr<Ring> ring);
    ReadAhead &reader_;
    std::unique_ptr<Ring> ring_;
    int error_ = 0;
  };

  // Starts reading fd from where it stands; nothing when no memory can be had.
  std::unique_ptr<File> Read(int fd) noexcept;

  struct State;

private:
  explicit ReadAhead(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace quillsum::cli
