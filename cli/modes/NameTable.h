#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

namespace quillsum::cli {

// A set of names, each with a number, kept compactly for lists of millions of files: the names
// in large blocks, each after its length, and a table of their places, open-addressed.
class NameTable {
public:
  // Names longer than this are no path the system takes, and are never added.
  static constexpr std::size_t kLongest = std::numeric_limits<std::uint16_t>::max();

  // Whether the name is in the table; value then holds its number.
  bool Find(std::string_view name, std::uint32_t &value) const;
  // Adds the name with its number; false, leaving the table as it was, when it is in already
  // or too long.
  bool Add(std::string_view name, std::uint32_t value);
  // Gives a name in the table another number.
  void Set(std::string_view name, std::uint32_t value);

private:
  // Where the name's slot is; slots_.size() when it is not in the table.
  std::size_t SlotOf(std::string_view name) const;
  std::string_view NameAt(std::uint32_t place) const;
  std::uint32_t Keep(std::string_view name);
  void Insert(std::uint64_t slot);
  void Grow();

  std::vector<std::uint64_t> slots_; // each a name's place (high half) and its number
  std::size_t count_ = 0;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0; // of the last block
};

} // namespace quillsum::cli
