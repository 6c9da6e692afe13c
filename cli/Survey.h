#pragma once

#include "cli/Options.h"
#include "cli/Progress.h"

namespace quillsum::cli {

// Tells progress how much work the operands stand for, going through them as the work will, as
// far as that can be done without reading what the work reads (standard input). For the thread
// beside the work that feeds the progress line.
void Survey(const Options &options, Progress &progress);

} // namespace quillsum::cli
