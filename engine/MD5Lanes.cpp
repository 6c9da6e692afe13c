#include "engine/MD5Lanes.h"

#include "engine/MD5CLS.h"
#include "engine/MD5LanesKernels.h"
#include "engine/RuntimeError.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace quillsum {
namespace lanes {

struct Kernel {
  std::size_t width;
  Fold *fold; // none: one lane, through MD5CLS
};

} // namespace lanes

namespace {

constexpr lanes::Kernel kOneLane{1, nullptr};
#ifdef QUILLSUM_X86_LANES
constexpr lanes::Kernel kEightLanes{8, lanes::FoldEightAvx2};
constexpr lanes::Kernel kSixteenLanes{16, lanes::FoldSixteenAvx512};
#endif

// The widest kernel the CPU can run within the cap QUILLSUM_LANES sets; a value that is not a
// number sets none. Without the x86 kernels, the cap changes nothing.
const lanes::Kernel &ChooseKernel() {
  [[maybe_unused]] std::size_t cap = lanes::kMaxLanes;
  if (const char *text = std::getenv("QUILLSUM_LANES")) {
    const char *end = text + std::strlen(text);
    std::size_t value = 0;
    if (const auto [stop, error] = std::from_chars(text, end, value);
        error == std::errc() && stop == end)
      cap = value;
  }
#ifdef QUILLSUM_X86_LANES
  if (cap >= 16 && __builtin_cpu_supports("avx512f"))
    return kSixteenLanes;
  if (cap >= 8 && __builtin_cpu_supports("avx2"))
    return kEightLanes;
#endif
  return kOneLane;
}

} // namespace

MD5Lanes::MD5Lanes() : kernel_(ChooseKernel()) {}

std::size_t MD5Lanes::Width() const noexcept { return kernel_.width; }

void MD5Lanes::Feed(std::size_t index, std::span<const std::uint8_t> piece, bool last) {
  Lane &lane = At(index);
  if (lane.blocks > 0)
    throw RuntimeError(5);
  if (lane.stage != Stage::Open) {
    lane = Lane{};
    lane.stage = Stage::Open;
    MD5CLS start;
    start.MD5Init();
    for (std::size_t k = 0; k < 4; ++k)
      words_[k * kMaxLanes + index] = static_cast<std::uint32_t>(start.Registers[k + 1]);
  }
  lane.piece = piece;
  lane.last = last;
  lane.length += piece.size();
  lane.owed = false;
  Settle(lane);
}

void MD5Lanes::Drop(std::size_t index) {
  Lane &lane = At(index);
  lane = Lane{};
  lane.owed = false;
}

std::span<const std::size_t> MD5Lanes::Run() {
  for (;;) {
    std::size_t ready = 0;
    std::size_t busy = 0;
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (std::size_t k = 0; k < Width(); ++k) {
      Lane &lane = lanes_[k];
      if (lane.blocks > 0) {
        ++busy;
        fewest = std::min(fewest, lane.blocks);
      } else if (lane.owed) {
        lane.owed = false;
        ready_[ready++] = k;
      }
    }
    if (ready > 0 || busy == 0)
      return {ready_.data(), ready};
    // A lane alone is faster through MD5CLS (288 cycles a block here) than through a pass of
    // either kernel (about 430 cycles with 16 lanes, 375 with 8); two lanes are not.
    if (!kernel_.fold || busy == 1) {
      for (std::size_t k = 0; k < Width(); ++k)
        if (lanes_[k].blocks > 0)
          FoldOne(k);
    } else {
      FoldAll(fewest);
    }
  }
}

bool MD5Lanes::Done(std::size_t index) const { return At(index).stage == Stage::Done; }

std::array<std::uint8_t, 16> MD5Lanes::Digest(std::size_t index) const {
  if (!Done(index))
    throw RuntimeError(5);
  std::array<std::uint8_t, 16> digest;
  for (std::size_t k = 0; k < digest.size(); ++k)
    digest[k] = static_cast<std::uint8_t>(words_[k / 4 * kMaxLanes + index] >> (8 * (k % 4)));
  return digest;
}

MD5Lanes::Lane &MD5Lanes::At(std::size_t index) {
  if (index >= Width())
    throw RuntimeError(5);
  return lanes_[index];
}

const MD5Lanes::Lane &MD5Lanes::At(std::size_t index) const {
  if (index >= Width())
    throw RuntimeError(5);
  return lanes_[index];
}

// Finds what the lane hashes next once its blocks are done: a block completed in end from the
// start of the piece, the piece's whole blocks, then the padded end. Else the lane stops, to
// wait for its next piece, or done.
void MD5Lanes::Settle(Lane &lane) {
  if (lane.blocks > 0)
    return;
  if (lane.stage == Stage::Padded) {
    lane.stage = Stage::Done;
    lane.owed = true;
    return;
  }
  auto &piece = lane.piece;
  const auto keep = [&](std::size_t size) {
    if (size > 0)
      std::memcpy(lane.end.data() + lane.buffered, piece.data(), size);
    lane.buffered += size;
    piece = piece.subspan(size);
  };
  if (lane.buffered > 0) {
    keep(std::min(64 - lane.buffered, piece.size()));
    if (lane.buffered == 64) {
      lane.buffered = 0;
      lane.next = lane.end.data();
      lane.blocks = 1;
      return;
    }
  }
  if (piece.size() >= 64) {
    lane.next = piece.data();
    lane.blocks = piece.size() / 64;
    piece = piece.subspan(lane.blocks * 64);
    return;
  }
  keep(piece.size());
  if (!lane.last) {
    lane.owed = true;
    return;
  }
  // The message is followed by 0x80, zeros up to 56 bytes mod 64, then its bit count as 8
  // little-endian bytes: one more block, or two when 56 or more bytes wait in end.
  const std::size_t size = lane.buffered < 56 ? 64 : 128;
  std::fill(lane.end.begin() + static_cast<std::ptrdiff_t>(lane.buffered),
            lane.end.begin() + static_cast<std::ptrdiff_t>(size), 0);
  lane.end[lane.buffered] = 0x80;
  const std::uint64_t bits = lane.length * 8;
  for (std::size_t k = 0; k < 8; ++k)
    lane.end[size - 8 + k] = static_cast<std::uint8_t>(bits >> (8 * k));
  lane.stage = Stage::Padded;
  lane.next = lane.end.data();
  lane.blocks = size / 64;
}

// One lane's blocks, all of them, through MD5CLS's transform.
void MD5Lanes::FoldOne(std::size_t index) {
  Lane &lane = lanes_[index];
  MD5CLS md5;
  for (std::size_t k = 0; k < 4; ++k)
    md5.Registers[k + 1] = static_cast<std::int32_t>(words_[k * kMaxLanes + index]);
  md5.Feed({lane.next, lane.blocks * 64});
  for (std::size_t k = 0; k < 4; ++k)
    words_[k * kMaxLanes + index] = static_cast<std::uint32_t>(md5.Registers[k + 1]);
  lane.blocks = 0;
  Settle(lane);
}

// The same count of blocks from every busy lane through the kernel; the lanes that are not busy
// read a busy lane's blocks, and get their state words back after.
void MD5Lanes::FoldAll(std::size_t count) {
  std::array<const std::uint8_t *, kMaxLanes> blocks{};
  const std::uint8_t *busy = nullptr;
  for (std::size_t k = 0; k < Width(); ++k)
    if (lanes_[k].blocks > 0)
      busy = lanes_[k].next;
  for (std::size_t k = 0; k < Width(); ++k)
    blocks[k] = lanes_[k].blocks > 0 ? lanes_[k].next : busy;
  const auto before = words_;
  kernel_.fold(words_.data(), blocks.data(), count);
  for (std::size_t k = 0; k < Width(); ++k) {
    Lane &lane = lanes_[k];
    if (lane.blocks == 0) {
      for (std::size_t w = 0; w < 4; ++w)
        words_[w * kMaxLanes + k] = before[w * kMaxLanes + k];
    } else {
      lane.next += 64 * count;
      lane.blocks -= count;
      Settle(lane);
    }
  }
}

} // namespace quillsum
