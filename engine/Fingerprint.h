#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quillsum {

// The sampled fingerprint of a file: the MD5 of sixteen 16-byte samples at offsets 0, 429, 979
// and 1999 to 13999 in steps of 1000, bytes past the end counting as zeros, as 32 upper-case hex
// digits. It reads at most 256 bytes whatever the file's size: it tells files apart cheaply but is
// not a digest of their content.
struct Fingerprint {
  enum class Failure {
    None,
    Unreadable, // error holds the errno of the call that failed (ENOENT for no such file)
    Directory,
    NotRegular, // a FIFO, socket or device where a regular file was wanted
  };
  std::string digest; // "" unless failure is None
  Failure failure = Failure::None;
  int error = 0;
};

// How a name that leads to a FIFO, socket or device counts: by the length of 0 the file system
// gives it, never opened, as the fingerprint of nothing read; or as a failure.
enum class NonRegular { SampledAsEmpty, Refused };

// The fingerprint of the named file. The length is taken by name before the file is opened: a
// sample that starts at or past it stays zero, and an empty file is never opened.
Fingerprint SampledFingerprint(const std::filesystem::path &name, NonRegular nonRegular);
// The fingerprint of an open descriptor, which must be a regular file; its position is ignored.
Fingerprint SampledFingerprint(int fd);

// The bytes from the start of a file that hold every sample: a file's first kSampledBytes, or
// the whole of a shorter one.
inline constexpr std::size_t kSampledBytes = 14015;
// The fingerprint of the file whose first bytes, all of them up to kSampledBytes, are head: for
// a reader that has them already (bytes past kSampledBytes are not looked at).
Fingerprint SampledFingerprint(std::span<const std::uint8_t> head);

} // namespace quillsum
