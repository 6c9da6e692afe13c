#pragma once

#include "cli/Operands.h"
#include "cli/lists/Lines.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <time.h>

namespace quillsum::cli {

// What a file's line carries: the MD5 of its content, or Quillsum's sampled fingerprint.
enum class Method { Md5, Fingerprint };
// The method's name in BSD-style lines ("MD5 (name) = ...") and in messages about them.
constexpr std::string_view TagOf(Method method) {
  return method == Method::Md5 ? "MD5" : "FINGERPRINT";
}

// A regular file's size and modification time, as they were when it was opened.
struct FileTimes {
  std::int64_t size = 0;
  timespec mtime{};
  bool operator==(const FileTimes &other) const {
    return size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
           mtime.tv_nsec == other.mtime.tv_nsec;
  }
};

// What became of a file the loop was given, one alternative for each case.
struct Digested {
  DigestBytes digest;
  // Of the descriptor read, when it is a regular file whose times held still while it was read.
  std::optional<FileTimes> times;
};
struct Failed {
  int error; // the errno of the open or read that failed
};
struct NotRegular {};    // a fingerprint asked of a pipe, FIFO, device or socket
struct InTurn {};        // can be read only once: by the thread handing on, in its turn
struct NothingToRead {}; // an action, or a walked name that is no longer a regular file
using Outcome = std::variant<NothingToRead, Digested, Failed, NotRegular, InTurn>;

// The outcome of a name that is not read now, from how it is read (nothing for Reading::Now).
std::optional<Outcome> OutcomeOf(Reading reading);

// "name: reason" for an outcome that is a failure, as md5sum says it; nothing for any other.
std::optional<std::string> FailureOf(std::string_view name, const Outcome &outcome);

} // namespace quillsum::cli
