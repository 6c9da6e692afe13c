#pragma once

#include "cli/Operands.h"
#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/Disks.h"
#include "cli/loop/OrderedWindow.h"
#include "cli/loop/Outcome.h"

#include <cstddef>
#include <functional>
#include <string>

namespace quillsum::cli {

// One item of the hashing loop: a file to digest and what to do with what became of it, or an
// action with nothing to read.
struct Job {
  // Runs with the file's name and outcome in the file's turn, on the thread handing on (see
  // OrderedWindow): one at a time, in the order the jobs were added, never with InTurn (read by
  // then). It must not add to the scheduler it runs in (that throws std::logic_error); an
  // exception that leaves it ends the program through Output::Abandon, since its line can no
  // longer be written in its place.
  using Then = std::function<void(const std::string &name, const Outcome &outcome)>;

  std::string name;
  Then then;
  Origin origin = Origin::Named;
  Outcome outcome; // NothingToRead until a reader gives it another
};

using Window = OrderedWindow<Job>;

class DiskReaders;
class Shortage;
class Warmers;

// What the threads of one loop share, each of them reading.
struct LoopContext {
  Method method;
  Progress *progress;    // may be null
  unsigned threads;      // hashing threads the user allows (-j)
  std::size_t mostLanes; // lanes a thread may fill, as the descriptor budget allows
  DescriptorBudget &descriptors;
  Disks &disks;
  bool keepTimes; // digests carry their files' times
  Shortage &shortage;
  DiskReaders *readers; // for files on a disk read its own way; null for fingerprints
  Warmers *warmers;     // for files on a flash disk found cold; null for fingerprints
};

} // namespace quillsum::cli
