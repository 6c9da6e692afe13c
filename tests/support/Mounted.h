#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace quillsum::test {

// A fresh file system for a test, mounted on a folder named for its type in dir and unmounted at
// the end: ext4, xfs (with reflinks) or btrfs on a loop device over a sparse image of bytes in
// dir, or a tmpfs of that size. Needs root, and mkfs for the type; why() says what was missing.
class Mounted {
public:
  Mounted(const std::filesystem::path &dir, const std::string &type, std::uint64_t bytes);
  Mounted(const Mounted &) = delete;
  Mounted &operator=(const Mounted &) = delete;
  ~Mounted();

  bool mounted() const { return why_.empty(); }
  const std::string &why() const { return why_; }
  const std::filesystem::path &path() const { return mount_; }

private:
  std::filesystem::path mount_;
  std::string why_;
};

} // namespace quillsum::test
