#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"

#include <cstdint>
#include <vector>

#include <sys/types.h>
#include <time.h>

namespace quillsum::cli {

// A file of a group as --duplicates printed it, with what was seen of it when the group was made.
struct Member {
  const char *name;
  dev_t device;
  ino_t inode;
  std::uint64_t size;
  timespec mtime, ctime;
};
// A group's files, in the order printed, each a different file: the first keeps its bytes, and
// the others are to take them.
using Group = std::vector<Member>;

// Gives back the space that each group's other files take, one member at a time, each either
// done whole or left as it was:
// - Dedupe: the kernel shares the first file's extents with a member whose bytes it finds equal
//   (FIDEDUPERANGE); every name, inode, owner, mode and time stays.
// - Hardlink: a member still as it was seen, with the first file's bytes, owner, group, mode and
//   extended attributes, on its file system, becomes another name of the first file.
// A member not done is one line on standard error; then one line tells what was done. Gives
// whether every member was done.
bool ReclaimSpace(Options::Reclaim reclaim, const std::vector<Group> &groups, Output &output,
                  Progress *progress);

} // namespace quillsum::cli
