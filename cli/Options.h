#pragma once

#include "cli/Output.h"
#include "cli/lists/Lines.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Outcome.h"

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillsum::cli {

struct Options {
  enum class Mode { Digest, Check, Texts, Update, Duplicates };
  Mode mode = Mode::Digest;
  // What --duplicates does with each group once printed: nothing, or gives back the space of
  // its other files (--dedupe, --hardlink).
  enum class Reclaim { Nothing, Dedupe, Hardlink };
  Reclaim reclaim = Reclaim::Nothing;
  Method method = Method::Md5;
  bool binary = false; // '*' before names: -b, or --tag
  bool tag = false;
  bool zero = false;
  bool recursive = false;
  bool quiet = false;
  bool status = false;
  bool strict = false;
  bool warn = false;
  bool ignoreMissing = false;
  bool times = false;                // a "#size=... mtime=..." line before each digest line
  bool windowsLists = false;         // -c's lists may be written on Windows
  unsigned threads = 1;              // -j: hashing threads
  Road road = Road::Automatic;       // QUILLSUM_ROAD's, for tests
  std::vector<std::string> audit;    // --audit's folders, with -c
  std::vector<std::string> excluded; // --exclude's patterns, for the names walks find
  std::string update;                // --update's list, in Mode::Update
  std::vector<std::string> operands; // "-" when none were given, except for texts

  // How digest lines look with these options.
  LineStyle lineStyle() const {
    return {TagOf(method), method == Method::Fingerprint, tag, binary, zero};
  }
};

// Reads the command line with md5sum's grammar (options may follow operands, long options may be
// abbreviated, "--" ends the options) and md5sum's checks, plus this program's own options.
// When the command line asks for no work (--help, --version) or is wrong, it has been answered
// on output and the exit status comes back instead of options.
std::variant<Options, int> ReadCommandLine(int argc, char **argv, Output &output);

} // namespace quillsum::cli
