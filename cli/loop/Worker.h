#pragma once

#include "cli/loop/Job.h"

namespace quillsum::cli {

// Claims jobs from the window and digests them, until the window is closed and nothing is left
// to claim, or with untilIdle until nothing is left to claim for now. For MD5, several regular
// files at once through the thread's MD5 lanes, or through their disk's reader; a fingerprint
// takes one file at a time. What can be read only once, and a name that is no regular file, is
// left to be read in its turn. Out of memory for a file, that file fails with ENOMEM and the rest
// go on; out of memory with no file to blame, the thread stops, and std::bad_alloc leaves the last
// claimer to stop (the work cannot go on).
void Work(Window &window, const Crew &crew, bool untilIdle);

} // namespace quillsum::cli
