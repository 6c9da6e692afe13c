#pragma once

#include "cli/loop/Job.h"

namespace quillsum::cli {

// Claims jobs from the window and digests them, until the window is closed and nothing is left
// to claim, or with untilIdle until nothing is left to claim for now. For MD5, several regular
// files at once through the thread's MD5 lanes, or through their disk's reader; a fingerprint
// takes one file at a time. What can be read only once, and a name that is no regular file, is
// left to be read in its turn. A refused allocation is answered as Shortage says; once the loop
// is lean, an idle thread may be told to end. One that cannot start at all, even with nothing else
// at work, leaves the work to the others; std::bad_alloc leaves the last claimer to stop (the
// work cannot go on).
void Work(Window &window, const LoopContext &context, bool untilIdle);

} // namespace quillsum::cli
