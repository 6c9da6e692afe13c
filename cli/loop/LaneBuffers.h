#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace quillsum::cli {

// The read buffers of one thread's MD5 lanes, had only while there is work: a lane gets a buffer
// when it gets a file, sized to the file (a chunk at most), and the thread gives them all back
// when it runs out of files. When memory is short a lane gets less, down to a small reserve
// that always serves one lane, so that a thread can always go on with one file.
class LaneBuffers {
public:
  // What a lane reads at a time at most: a read's own cost is small next to copying and hashing
  // this much (32 to 256 KiB made no difference here).
  static constexpr std::size_t kChunk = 128 * 1024;

  explicit LaneBuffers(std::size_t lanes);
  LaneBuffers(const LaneBuffers &) = delete;
  LaneBuffers &operator=(const LaneBuffers &) = delete;

  // A buffer for the lane's file of this size: room for all of it and one byte more (so that the
  // end shows in the same pass of reads), up to a chunk. Empty when there is no memory for one,
  // nor the reserve.
  std::span<std::uint8_t> For(std::size_t lane, std::uint64_t fileSize);
  // The lane's file is done; its buffer serves the lane's next file.
  void Done(std::size_t lane);
  // Gives back every buffer: the thread has no file.
  void Release();

private:
  struct Free {
    void operator()(std::uint8_t *bytes) const { std::free(bytes); }
  };
  using Bytes = std::unique_ptr<std::uint8_t[], Free>;
  struct Own {
    Bytes bytes;
    std::size_t size = 0;
  };

  const std::size_t lanes_;
  Bytes block_; // every lane's chunk, on a huge page where the system gives one
  std::vector<Own> own_;
  std::size_t reserveLane_;
  std::array<std::uint8_t, 16 * 1024> reserve_;
};

} // namespace quillsum::cli
