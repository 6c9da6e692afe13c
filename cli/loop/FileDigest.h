#pragma once

#include "cli/Progress.h"
#include "cli/loop/Job.h"

#include <optional>
#include <string>

#include <sys/stat.h>

namespace quillsum::cli {

// The times of a file, fstat'ed as opened when it was opened and read since on fd: none when it
// is no regular file, or its size or modification time changed meanwhile.
std::optional<FileTimes> TimesOf(const struct stat &opened, int fd);

// What a job's file gives when read on its own, as md5sum reads it: standard input, or the name
// opened and waited for (a FIFO until a writer comes), then read to its end. For those that can
// be read only once, in their turn.
Outcome ReadInTurn(const Job &job, Method method, Progress *progress,
                   DescriptorBudget &descriptors);

// The sampled fingerprint of a job's file: a name is opened only if it is a regular file, with
// its times when keepTimes; what is not is NotRegular (named) or NothingToRead (walked).
Outcome FingerprintOf(const Job &job, bool keepTimes, DescriptorBudget &descriptors);

} // namespace quillsum::cli
