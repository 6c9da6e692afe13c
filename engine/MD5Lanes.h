#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillsum {
namespace lanes {
struct Kernel;
}

// MD5 (RFC 1321) of up to 16 messages at once, one per lane, in the vector units of one core:
// 16 lanes with AVX-512, 8 with AVX2, else one through MD5CLS's transform. The lane count is the
// most the CPU can run, capped by the environment variable QUILLSUM_LANES (1, 8 or 16) when it is
// set to a number. Each lane is fed its message in pieces of any size; a lane whose message ends
// is finished on its own and takes the next message while the others go on; a lane busy alone
// goes through MD5CLS, which is then faster. One object per thread. Feed to a busy lane, Digest
// before the end and a lane number out of range raise quillsum::RuntimeError 5 and change
// nothing.
//
// A worker hashing files, with one read buffer per lane, small files fed whole and large ones
// chunk by chunk; a file that cannot be read is dropped and leaves the others as they are:
//
//   MD5Lanes lanes;
//   std::vector<Job> jobs(lanes.Width());   // a lane's file and its read buffer
//   for (auto ready = lanes.Run(); !ready.empty(); ready = lanes.Run())
//     for (std::size_t lane : ready) {
//       Job &job = jobs[lane];
//       if (lanes.Done(lane))
//         Print(job, lanes.Digest(lane));               // 16 bytes
//       while (job.IsOpen() || job.OpenNextFile(queue)) { // this file, else the next waiting
//         if (job.ReadChunk()) {                          // into its buffer; at the end, closes
//           lanes.Feed(lane, job.chunk, job.atEnd);
//           break;
//         }
//         lanes.Drop(lane);
//         PrintError(job);                                // and on to the next file
//       }
//     }
//
// Run hashes while it can and returns the lanes that need their owner; the loop ends when no
// lane has anything left to hash.
class MD5Lanes {
public:
  MD5Lanes();

  // The number of lanes: 1, 8 or 16.
  std::size_t Width() const noexcept;

  // Gives a lane the next piece of its message, or starts a new message in a lane that is free or
  // done; last says the piece ends it. The bytes are read in place: they must stay as they are
  // until Run returns the lane again, or it is dropped. Error 5 while the lane is still busy.
  void Feed(std::size_t lane, std::span<const std::uint8_t> piece, bool last);

  // Forgets the lane's message; the lane is free. The other lanes go on as they were.
  void Drop(std::size_t lane);

  // Hashes until at least one lane stops: its piece is used up (hand it the next), its digest
  // is ready, or it is free. Returns those lanes, each once for each time it stops (all lanes
  // on the first call, as all start free); no lanes when no lane has anything left to hash. The
  // list stays valid until the next call.
  std::span<const std::size_t> Run();

  // Whether the lane's message is finished, and its digest: RFC 1321's 16 bytes (the state words
  // A to D, each from its least significant byte on). Digest raises error 5 while the message is
  // not finished.
  bool Done(std::size_t lane) const;
  std::array<std::uint8_t, 16> Digest(std::size_t lane) const;

private:
  enum class Stage : std::uint8_t { Free, Open, Padded, Done };
  struct Lane {
    Stage stage = Stage::Free;
    bool last = false; // the piece ends the message
    bool owed = true;  // stopped, and not returned by Run since
    std::uint64_t length = 0;
    // The blocks to hash next: in the caller's piece, or in end once a block is assembled there.
    const std::uint8_t *next = nullptr;
    std::size_t blocks = 0;
    std::span<const std::uint8_t> piece; // the caller's bytes after those blocks
    std::size_t buffered = 0;            // message bytes waiting in end
    // A block assembled across pieces, then the message's last one or two blocks, padded.
    std::array<std::uint8_t, 128> end{};
  };

  static constexpr std::size_t kMaxLanes = 16;

  Lane &At(std::size_t lane);
  const Lane &At(std::size_t lane) const;
  void Settle(Lane &lane);
  void FoldOne(std::size_t lane);
  void FoldAll(std::size_t count);

  const lanes::Kernel &kernel_;
  std::array<Lane, kMaxLanes> lanes_;
  // The state words of every lane, word by word: A of lanes 0 to 15, then B, C, D.
  alignas(64) std::array<std::uint32_t, 4 * kMaxLanes> words_{};
  std::array<std::size_t, kMaxLanes> ready_{};
};

} // namespace quillsum
