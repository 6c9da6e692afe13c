#include "cli/loop/LaneBuffers.h"

#include <algorithm>

#include <sys/mman.h>

namespace quillsum::cli {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = 2 << 20;
// A file larger than this is worth every lane's chunk at once, on one huge page: the copy out
// of the page cache then misses the TLB once, not at every small page.
constexpr std::size_t kLargeFile = 64 * 1024;

} // namespace

LaneBuffers::LaneBuffers(std::size_t lanes) : lanes_(lanes), own_(lanes), reserveLane_(lanes) {}

std::span<std::uint8_t> LaneBuffers::For(std::size_t lane, std::uint64_t fileSize) {
  const std::size_t want =
      fileSize >= kChunk ? kChunk : (static_cast<std::size_t>(fileSize) + kPage) / kPage * kPage;
  if (!block_ && want > kLargeFile) {
    const std::size_t size = lanes_ * kChunk;
    const bool huge = size % kHugePage == 0;
    block_.reset(static_cast<std::uint8_t *>(huge ? std::aligned_alloc(kHugePage, size)
                                                  : std::malloc(size)));
    if (block_ && huge)
      ::madvise(block_.get(), size, MADV_HUGEPAGE);
  }
  if (block_)
    return {block_.get() + lane * kChunk, kChunk};
  Own &own = own_[lane];
  // Less than wanted when memory is short, but never less than a page.
  for (std::size_t size = want; own.size < want && size > own.size && size >= kPage; size /= 2)
    if (Bytes bytes{static_cast<std::uint8_t *>(std::malloc(size))}) {
      own = {std::move(bytes), size};
      break;
    }
  if (own.bytes)
    return {own.bytes.get(), own.size};
  if (reserveLane_ == lanes_ || reserveLane_ == lane) {
    reserveLane_ = lane;
    return reserve_;
  }
  return {};
}

void LaneBuffers::Done(std::size_t lane) {
  if (reserveLane_ == lane)
    reserveLane_ = lanes_;
}

void LaneBuffers::Release() {
  block_.reset();
  for (Own &own : own_)
    own = {};
  reserveLane_ = lanes_;
}

} // namespace quillsum::cli
