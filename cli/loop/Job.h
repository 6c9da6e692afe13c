#pragma once

#include "cli/Options.h"
#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/FileDigest.h"
#include "cli/loop/OrderedWindow.h"

#include <cstddef>
#include <functional>
#include <string>

namespace quillsum::cli {

// One item of the hashing loop: a file to digest and what to do with its digest, or an action
// with nothing to read.
struct Job {
  // Runs with the file's name and digest in the file's turn, on the thread handing on (see
  // OrderedWindow): one at a time, in the order the jobs were added. It must not add to the
  // scheduler it runs in (that throws std::logic_error); an exception that leaves it ends the
  // program through Output::Abandon, since its line can no longer be written in its place.
  using Then = std::function<void(const std::string &name, const Digest &digest)>;
  // Where the name came from: the command line or a list, which md5sum would open whatever it
  // is; or the walk of a folder, which gives regular files only.
  enum class Origin { Named, Walked };
  // What the readers left for the thread handing on: a digest (or a failure) for `then`; a name
  // that is no regular file, which can be read only once and so in its turn, one at a time, as
  // md5sum reads it; or a walked name that is no longer a regular file, which gives no line.
  enum class Result { Digested, InTurn, Skipped };

  std::string name;
  Then then;
  Origin origin = Origin::Named;
  Result result = Result::Digested;
  Digest digest;

  // The rule for a name that turns out to be no regular file: named, read in its turn; walked,
  // skipped.
  void NotRegular() { result = origin == Origin::Named ? Result::InTurn : Result::Skipped; }
};

using Window = OrderedWindow<Job>;

class DiskReaders;

// What the readers of one loop share.
struct Crew {
  Method method;
  Progress *progress;    // may be null
  unsigned threads;      // hashing threads the user allows (-j)
  std::size_t mostLanes; // lanes a thread may fill, as the descriptor budget allows
  DescriptorBudget &descriptors;
  bool keepTimes;     // digests carry their files' times
  DiskReaders *disks; // for files on a disk read its own way; null for fingerprints
};

} // namespace quillsum::cli
