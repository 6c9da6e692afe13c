#include "cli/loop/FileDigest.h"

#include "cli/lists/Quote.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "engine/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<FileTimes> SteadyTimes(const struct stat &before, const struct stat &after) {
  const FileTimes then{before.st_size, before.st_mtim};
  if (!S_ISREG(before.st_mode) || !(FileTimes{after.st_size, after.st_mtim} == then))
    return std::nullopt;
  return then;
}

// Descriptor 0 as it was at the start, and whether it is the stand-in for a closed one.
struct StandardInput {
  struct stat info {};
  bool open = false, closed = false;
};
const StandardInput &Input() {
  static const StandardInput input = [] {
    StandardInput in;
    in.open = ::fstat(STDIN_FILENO, &in.info) == 0;
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    in.closed = flags != -1 && (flags & O_PATH) != 0;
    return in;
  }();
  return input;
}

// Whether the name leads to a closed standard input's stand-in; looked up only when it is closed.
bool LeadsToClosedStandardInput(const std::string &name) {
  struct stat info {};
  return Input().closed && ::stat(name.c_str(), &info) == 0 && NoSuchStandardInput(info);
}

Digest Md5InTurn(const std::string &name, Progress *progress, DescriptorBudget &descriptors) {
  const bool standardInput = name == "-";
  if (!standardInput && LeadsToClosedStandardInput(name))
    return {{}, ENOENT};
  // A blocking open, as md5sum's: a FIFO waits for its writer rather than reading as empty.
  DescriptorBudget::Held opened;
  if (!standardInput &&
      !(opened = descriptors.Open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, true)))
    return {{}, errno};
  struct stat info {}; // a stream's stays zero: no times
  if (opened)
    ::fstat(opened.get(), &info);
  std::function<void(std::size_t)> onRead;
  if (progress)
    onRead = [progress](std::size_t bytes) { progress->Read(bytes); };
  std::string hex = MD5CLS().DigestFdToHexStr(standardInput ? STDIN_FILENO : opened.get(), onRead);
  const int error = errno;
  std::optional<FileTimes> times = opened ? TimesOf(info, opened.get()) : std::nullopt;
  opened.Close();
  if (hex.empty())
    return {{}, error};
  return {Lower(std::move(hex)), 0, times};
}

Digest FromFingerprint(const Fingerprint &fingerprint) {
  switch (fingerprint.failure) {
  case Fingerprint::Failure::None:
    return {fingerprint.digest};
  case Fingerprint::Failure::Unreadable:
    return {{}, fingerprint.error};
  case Fingerprint::Failure::Directory:
    return {{}, EISDIR};
  case Fingerprint::Failure::NotRegular:
    break;
  }
  return {{}, kNotRegular};
}

} // namespace

std::string Failure(const std::string &name, int error) {
  return QuoteName(name) + ": " +
         (error == kNotRegular ? "Not a regular file" : std::strerror(error));
}

std::string Lower(std::string hex) {
  // Without a branch: hex digits are random, and a mispredicted branch cost more than the rest.
  for (char &c : hex)
    c = static_cast<char>(c + (c >= 'A' && c <= 'F') * ('a' - 'A'));
  return hex;
}

Digest DigestInTurn(const std::string &name, Method method, Progress *progress,
                    DescriptorBudget &descriptors) {
  Digest digest = method == Method::Md5 ? Md5InTurn(name, progress, descriptors)
                  : name == "-"         ? FromFingerprint(SampledFingerprint(STDIN_FILENO))
                                        : FingerprintOf(name, true);
  if (progress)
    progress->FileDone();
  return digest;
}

Digest FingerprintOf(const std::string &name, bool keepTimes) {
  if (LeadsToClosedStandardInput(name))
    return {{}, ENOENT};
  // The fingerprint opens the file by name: its times are those of the name before and after.
  struct stat before {};
  struct stat after {};
  const bool found = keepTimes && ::stat(name.c_str(), &before) == 0;
  Digest digest = FromFingerprint(SampledFingerprint(name, NonRegular::Refused));
  if (found && !digest.hex.empty() && ::stat(name.c_str(), &after) == 0 && SameFile(before, after))
    digest.times = SteadyTimes(before, after);
  return digest;
}

std::optional<FileTimes> TimesOf(const struct stat &opened, int fd) {
  struct stat now {};
  if (::fstat(fd, &now) != 0)
    return std::nullopt;
  return SteadyTimes(opened, now);
}

bool IsStandardInput(const struct stat &info) {
  return Input().open && SameFile(info, Input().info);
}

bool NoSuchStandardInput(const struct stat &info) {
  return Input().closed && SameFile(info, Input().info);
}

} // namespace quillsum::cli
