#include "cli/modes/NameTable.h"

#include <algorithm>
#include <functional>
#include <new>

namespace quillsum::cli {
namespace {

// A name's place: its block's number times kBlock, plus where it starts in the block.
constexpr std::size_t kBlock = 1 << 20;
constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();

std::size_t Hash(std::string_view name) { return std::hash<std::string_view>{}(name); }

} // namespace

bool NameTable::Find(std::string_view name, std::uint32_t &value) const {
  const std::size_t slot = SlotOf(name);
  if (slot == slots_.size())
    return false;
  value = static_cast<std::uint32_t>(slots_[slot]);
  return true;
}

void NameTable::Set(std::string_view name, std::uint32_t value) {
  if (const std::size_t slot = SlotOf(name); slot < slots_.size())
    slots_[slot] = (slots_[slot] >> 32) << 32 | value;
}

std::size_t NameTable::SlotOf(std::string_view name) const {
  if (slots_.empty())
    return 0;
  for (std::size_t at = Hash(name);; ++at) {
    const std::size_t slot = at & (slots_.size() - 1);
    if (slots_[slot] == kEmpty)
      return slots_.size();
    if (NameAt(static_cast<std::uint32_t>(slots_[slot] >> 32)) == name)
      return slot;
  }
}

bool NameTable::Add(std::string_view name, std::uint32_t value) {
  if (std::uint32_t known = 0; name.size() > kLongest || Find(name, known))
    return false;
  if ((count_ + 1) * 2 > slots_.size())
    Grow();
  Insert(static_cast<std::uint64_t>(Keep(name)) << 32 | value);
  ++count_;
  return true;
}

std::string_view NameTable::NameAt(std::uint32_t place) const {
  const auto *start =
      reinterpret_cast<const unsigned char *>(blocks_[place / kBlock].get()) + place % kBlock;
  return {reinterpret_cast<const char *>(start + 2),
          static_cast<std::size_t>(start[0] << 8 | start[1])};
}

std::uint32_t NameTable::Keep(std::string_view name) {
  if (blocks_.empty() || used_ + 2 + name.size() > kBlock) {
    if (blocks_.size() >= std::numeric_limits<std::uint32_t>::max() / kBlock)
      throw std::bad_alloc();
    blocks_.push_back(std::make_unique<char[]>(kBlock));
    used_ = 0;
  }
  char *start = blocks_.back().get() + used_;
  start[0] = static_cast<char>(name.size() >> 8);
  start[1] = static_cast<char>(name.size() & 0xff);
  std::copy(name.begin(), name.end(), start + 2);
  const auto place = static_cast<std::uint32_t>((blocks_.size() - 1) * kBlock + used_);
  used_ += 2 + name.size();
  return place;
}

// Into the first free slot from the name's hash on; the table is never more than half full.
void NameTable::Insert(std::uint64_t slot) {
  std::size_t at = Hash(NameAt(static_cast<std::uint32_t>(slot >> 32)));
  while (slots_[at & (slots_.size() - 1)] != kEmpty)
    ++at;
  slots_[at & (slots_.size() - 1)] = slot;
}

void NameTable::Grow() {
  std::vector<std::uint64_t> old(std::max<std::size_t>(slots_.size() * 2, 1024), kEmpty);
  old.swap(slots_);
  for (const std::uint64_t slot : old)
    if (slot != kEmpty)
      Insert(slot);
}

} // namespace quillsum::cli
