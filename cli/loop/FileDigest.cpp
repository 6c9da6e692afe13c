#include "cli/loop/FileDigest.h"

#include "cli/lists/Quote.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"

#include <cerrno>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

Outcome FromHex(const std::string &hex, int error, std::optional<FileTimes> times) {
  if (const std::optional<DigestBytes> digest = ReadHex(hex))
    return Digested{*digest, times};
  return Failed{error};
}

Outcome FromFingerprint(const Fingerprint &fingerprint, std::optional<FileTimes> times) {
  switch (fingerprint.failure) {
  case Fingerprint::Failure::None:
    return FromHex(fingerprint.digest, 0, times);
  case Fingerprint::Failure::Unreadable:
    return Failed{fingerprint.error};
  case Fingerprint::Failure::Directory:
    return Failed{EISDIR};
  case Fingerprint::Failure::NotRegular:
    break;
  }
  return NotRegular{};
}

Outcome Md5InTurn(const Job &job, Progress *progress, DescriptorBudget &descriptors) {
  DescriptorBudget::Held opened;
  if (job.origin != Origin::StandardInput) {
    struct stat info {};
    if (::stat(job.name.c_str(), &info) == 0 && ReadingOf(job.origin, info) == Reading::Missing)
      return Failed{ENOENT};
    // A blocking open, as md5sum's: a FIFO waits for its writer rather than reading as empty.
    if (!(opened = descriptors.Open(job.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)))
      return Failed{errno};
  }
  struct stat info {}; // a stream's stays zero: no times
  if (opened)
    ::fstat(opened.get(), &info);
  std::function<void(std::size_t)> onRead;
  if (progress)
    onRead = [progress](std::size_t bytes) { progress->Read(bytes); };
  const std::string hex = MD5CLS().DigestFdToHexStr(opened ? opened.get() : STDIN_FILENO, onRead);
  const int error = errno;
  return FromHex(hex, error, opened ? TimesOf(info, opened.get()) : std::nullopt);
}

} // namespace

std::optional<FileTimes> TimesOf(const struct stat &opened, int fd) {
  struct stat now {};
  const FileTimes then{opened.st_size, opened.st_mtim};
  if (!S_ISREG(opened.st_mode) || ::fstat(fd, &now) != 0 ||
      !(FileTimes{now.st_size, now.st_mtim} == then))
    return std::nullopt;
  return then;
}

Outcome ReadInTurn(const Job &job, Method method, Progress *progress,
                   DescriptorBudget &descriptors) {
  Outcome outcome = method == Method::Md5 ? Md5InTurn(job, progress, descriptors)
                    : job.origin == Origin::StandardInput
                        ? FromFingerprint(SampledFingerprint(STDIN_FILENO), std::nullopt)
                        : FingerprintOf(job, true, descriptors);
  if (progress)
    progress->FileDone();
  return outcome;
}

Outcome FingerprintOf(const Job &job, bool keepTimes, DescriptorBudget &descriptors) {
  // Of a regular file only: looked at before it is opened, so that no FIFO or device is opened,
  // and again once open, as it may have changed in between.
  const auto unlessRegular = [&](const struct stat &info) -> std::optional<Outcome> {
    std::optional<Outcome> outcome = OutcomeOf(ReadingOf(job.origin, info));
    if (outcome && std::holds_alternative<InTurn>(*outcome))
      outcome = NotRegular{};
    return outcome;
  };
  struct stat info {};
  if (::stat(job.name.c_str(), &info) != 0)
    return Failed{errno};
  if (std::optional<Outcome> outcome = unlessRegular(info))
    return *outcome;
  const DescriptorBudget::Held file =
      descriptors.Open(job.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (!file || ::fstat(file.get(), &info) != 0)
    return Failed{errno};
  if (std::optional<Outcome> outcome = unlessRegular(info))
    return *outcome;
  return FromFingerprint(SampledFingerprint(file.get()),
                         keepTimes ? TimesOf(info, file.get()) : std::nullopt);
}

std::optional<Outcome> OutcomeOf(Reading reading) {
  switch (reading) {
  case Reading::Now:
    return std::nullopt;
  case Reading::InTurn:
    return InTurn{};
  case Reading::Skipped:
    return NothingToRead{};
  case Reading::Directory:
    return Failed{EISDIR};
  case Reading::Missing:
    break;
  }
  return Failed{ENOENT};
}

std::optional<std::string> FailureOf(std::string_view name, const Outcome &outcome) {
  if (const auto *failed = std::get_if<Failed>(&outcome))
    return Failure(name, failed->error);
  if (std::holds_alternative<NotRegular>(outcome))
    return Failure(name, "Not a regular file");
  return std::nullopt;
}

} // namespace quillsum::cli
