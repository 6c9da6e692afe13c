#pragma once

#include "cli/Options.h"
#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"

#include <cstdint>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace quillsum::cli {

// A regular file's size and modification time, as they were when it was opened.
struct FileTimes {
  std::int64_t size = 0;
  timespec mtime{};
  bool operator==(const FileTimes &other) const {
    return size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
           mtime.tv_nsec == other.mtime.tv_nsec;
  }
};

// What digesting a file gave.
struct Digest {
  std::string hex; // lower case for MD5, upper case for a fingerprint; "" on failure
  int error = 0;   // then: the errno of the failure, or kNotRegular
  // Of the descriptor read, when it is a regular file whose times held still while it was read.
  std::optional<FileTimes> times{};
};
// The times of a file, fstat'ed as opened when it was opened and read since on fd: none when it
// is no regular file, or its size or modification time changed meanwhile.
std::optional<FileTimes> TimesOf(const struct stat &opened, int fd);
// A fingerprint asked of what is not a regular file: a pipe, FIFO, device or socket.
inline constexpr int kNotRegular = -1;

// "name: reason", as a failure to read a file shows in messages: the name quoted as md5sum
// quotes it, the reason the system's text for errno, or ours.
std::string Failure(const std::string &name, int error);

// An MD5 digest's hex in lower case, as md5sum prints it.
std::string Lower(std::string hex);

// The digest of one file, read on its own as md5sum reads it: "-" is standard input; any other
// name is opened and waited for (a FIFO until a writer comes), then read to its end. For those
// that can be read only once, in their turn.
Digest DigestInTurn(const std::string &name, Method method, Progress *progress,
                    DescriptorBudget &descriptors);

// The fingerprint of a named file, which is opened only if it is a regular file; with keepTimes,
// with its times (those of the name before and after: the engine opens it by name).
Digest FingerprintOf(const std::string &name, bool keepTimes);

// Whether the file with this status is standard input, whatever its name: the same file as
// descriptor 0. A closed standard input (a stand-in, see Output) is no file at all: a name that
// leads to it fails as md5sum's would, with ENOENT, which NoSuchStandardInput tells.
bool IsStandardInput(const struct stat &info);
bool NoSuchStandardInput(const struct stat &info);

} // namespace quillsum::cli
