#include "engine/Fingerprint.h"

#include "engine/CodePage.h"
#include "engine/MD5CLS.h"
#include "engine/UniqueFd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include <sys/stat.h>
#include <unistd.h>

namespace quillsum {
namespace {

constexpr std::array<off_t, 16> kSampleOffsets = {
    0, 429, 979, 1999, 2999, 3999, 4999, 5999, 6999, 7999, 8999, 9999, 10999, 11999, 12999, 13999};
constexpr std::size_t kSampleSize = 16;

Fingerprint Failed(Fingerprint::Failure failure, int error = 0) { return {{}, failure, error}; }

Fingerprint Unreadable(int error) { return Failed(Fingerprint::Failure::Unreadable, error); }

Fingerprint OfKind(mode_t mode) {
  return Failed(S_ISDIR(mode) ? Fingerprint::Failure::Directory : Fingerprint::Failure::NotRegular);
}

using Samples = std::array<std::uint8_t, kSampleOffsets.size() * kSampleSize>;

Fingerprint OfSamples(const Samples &samples) {
  // The samples go through the code page as text and back, one character per byte, as every
  // text digest does; 256 characters are far inside what a text digest accepts.
  std::u16string text(samples.size(), u'\0');
  for (std::size_t k = 0; k < samples.size(); ++k)
    text[k] = AnsiToChar(samples[k]);
  MD5CLS md5; // a fresh engine, so that nothing passes from one digest to the next
  md5.MD5Init();
  md5.DigestStrToHexStr(text);
  return {md5.GetValues()};
}

// Every fingerprint makes the same sixteen reads, so that its cost does not depend on the file's
// length. A read that meets the end of the file leaves the rest of its sample zero; a sample that
// starts at or past the length taken stays zero whatever its read found.
Fingerprint Sample(int fd, off_t length) {
  Samples samples{};
  if (fd >= 0)
    for (std::size_t k = 0; k < kSampleOffsets.size(); ++k) {
      std::array<std::uint8_t, kSampleSize> sample{};
      ssize_t got;
      do
        got = ::pread(fd, sample.data(), kSampleSize, kSampleOffsets[k]);
      while (got < 0 && errno == EINTR);
      if (got < 0)
        return Unreadable(errno);
      if (kSampleOffsets[k] < length)
        std::copy(sample.begin(), sample.end(), samples.begin() + k * kSampleSize);
    }
  return OfSamples(samples);
}

} // namespace

Fingerprint SampledFingerprint(const std::filesystem::path &name, NonRegular nonRegular) {
  // The system calls would stop at a zero byte and sample some other file.
  if (name.native().find('\0') != std::string::npos)
    return Unreadable(ENOENT);
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0)
    return Unreadable(errno);
  if (S_ISDIR(info.st_mode) || (!S_ISREG(info.st_mode) && nonRegular == NonRegular::Refused))
    return OfKind(info.st_mode);
  // A FIFO, socket or device reports a length of 0, so it is never opened (an open could wait
  // for a writer) and gives the fingerprint of nothing read, like an empty file.
  if (info.st_size <= 0)
    return Sample(-1, 0);
  const UniqueFd file = OpenForReading(name);
  if (!file)
    return Unreadable(errno);
  // The name may have been given to something else since it was looked at.
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
    return Failed(Fingerprint::Failure::NotRegular);
  return Sample(file.get(), info.st_size);
}

Fingerprint SampledFingerprint(std::span<const std::uint8_t> head) {
  head = head.first(std::min(head.size(), kSampledBytes));
  Samples samples{};
  for (std::size_t k = 0; k < kSampleOffsets.size(); ++k) {
    const auto offset = static_cast<std::size_t>(kSampleOffsets[k]);
    if (offset < head.size())
      std::copy_n(head.begin() + static_cast<std::ptrdiff_t>(offset),
                  std::min(kSampleSize, head.size() - offset), samples.begin() + k * kSampleSize);
  }
  return OfSamples(samples);
}

Fingerprint SampledFingerprint(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return Unreadable(errno);
  if (!S_ISREG(info.st_mode))
    return OfKind(info.st_mode);
  return Sample(info.st_size > 0 ? fd : -1, info.st_size);
}

} // namespace quillsum
