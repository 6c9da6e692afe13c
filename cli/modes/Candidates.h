#pragma once

#include "cli/Options.h"
#include "cli/lists/Lines.h"
#include "cli/loop/Disks.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>
#include <time.h>

namespace quillsum::cli {

// The files --duplicates looks at, in the order the walk met them, each in a few dozen bytes: its
// name stored once (its folder's number and its own name, in one arena), and what the walk's one
// look at it saw: lstat for a walked name, stat for an operand.
class Candidates {
public:
  using Index = std::uint32_t; // in the order the walk met them

  struct File {
    std::uint64_t size;
    dev_t device;
    ino_t inode;
    DigestBytes digest{}; // for the stages after the walk
    std::uint64_t name;   // where its own name starts in the arena, ended by a NUL
    std::uint32_t folder; // its folder's number, or kOperand
  };
  // Its modification and change times, kept only when asked for.
  struct Times {
    timespec mtime, ctime;
  };

  // Walks the options' operands (cli/modes/Walk.h), then looks at every file met: on up to
  // `threads` threads, where the disk allows (on one where the first looks waited for a spinning
  // disk). Each failure goes to failed() as its message, in walk order. Gives the regular files
  // that are not empty, each file under the first name met, in walk order; with keepTimes, their
  // times are kept.
  std::vector<Index> Walk(const Options &options, unsigned threads, Disks &disks, bool keepTimes,
                          const std::function<void(const std::string &message)> &failed);

  // The files met, candidates or not.
  std::size_t Count() const { return files_.size(); }
  File &operator[](Index index) { return files_[index]; }
  const File &operator[](Index index) const { return files_[index]; }
  bool Walked(Index index) const { return files_[index].folder != kOperand; }
  const Times &TimesOf(Index index) const { return times_[index]; }
  // The file's name as the walk met it.
  std::string Name(Index index) const;

private:
  static constexpr std::uint32_t kOperand = UINT32_MAX;

  std::uint64_t Store(std::string_view name);
  // Takes the status of files [begin, end) that the walk did not give, into looks.
  void LookAt(std::size_t begin, std::size_t end, std::vector<std::int32_t> &looks);
  void Take(Index index, const struct stat &info, std::vector<std::int32_t> &looks);

  std::vector<File> files_;
  std::vector<Times> times_;
  std::vector<std::uint64_t> folders_; // where each folder's path and '/' start in the arena
  std::string arena_;
};

} // namespace quillsum::cli
