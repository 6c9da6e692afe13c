#pragma once

// What a test sees of files from outside the program it runs: which of a folder's files were
// touched, as inotify tells it, and where a file lies on its disk, as filefrag tells it.

#include <sys/inotify.h> // the masks

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillsum::test {

// The events of the given inotify mask (IN_OPEN, IN_ACCESS...) on a folder's files, from now on.
class Watch {
public:
  Watch(const std::filesystem::path &folder, std::uint32_t mask);
  Watch(const Watch &) = delete;
  Watch &operator=(const Watch &) = delete;
  ~Watch();

  // The files' names, one for each event since the last call, in the order they came; the
  // folder's own events and those on folders within it are left out.
  std::vector<std::string> Names();

private:
  int fd_;
};

// filefrag's byte offset of the file's first extent on its device; nullopt where it has none or
// filefrag cannot tell.
std::optional<std::uint64_t> FirstExtent(const std::filesystem::path &file);
// Whether filefrag marks every extent of the file shared (with another file, or within it); false
// where it has none.
bool AllShared(const std::filesystem::path &file);

} // namespace quillsum::test
