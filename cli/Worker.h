#pragma once

#include "cli/FileDigest.h"
#include "cli/HeldFiles.h"
#include "cli/Options.h"
#include "cli/OrderedWindow.h"
#include "cli/Progress.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quillsum::cli {

// One item of the hashing loop: a file to digest and what to do with its digest, or an action
// with nothing to read.
struct Job {
  // Runs with the file's name and digest, in the file's turn.
  using Then = std::function<void(const std::string &name, const Digest &digest)>;
  // Where the name came from: the command line or a list, which md5sum would open whatever it
  // is; or the walk of a folder, which gives regular files only.
  enum class Origin { Named, Walked };

  std::string name;
  Then then;
  Origin origin = Origin::Named;
  Digest digest;
  // To be read in its turn by the thread handing on (DigestInTurn): it can be read only once,
  // so in order and one at a time, as md5sum reads it.
  bool inTurn = false;
  bool skipped = false; // walked, and no longer a regular file when opened: no line at all
};

using Window = OrderedWindow<Job>;

class DiskRoad;

// What the workers of one loop share.
struct Crew {
  Method method;
  Progress *progress;    // may be null
  unsigned jobs;         // threads the user allows
  std::size_t mostLanes; // lanes a worker may use, as open files allow
  HeldFiles &files;
  DiskRoad *road; // for files on a spinning disk and not in memory; null for fingerprints
};

// Claims jobs from the window and digests them, until the window is closed and nothing is left
// to claim, or with untilIdle until nothing is left to claim for now. For MD5, several regular
// files at once through the thread's MD5 lanes; a fingerprint takes one file at a time. What can
// be read only once, and a name that is no regular file, is left to be read in its turn.
void Work(Window &window, const Crew &crew, bool untilIdle);

} // namespace quillsum::cli
