#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/DiskReaders.h"
#include "cli/loop/Job.h"

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillsum::cli {

// The hashing loop's ordered scheduler: files are digested by up to `threads` hashing threads
// (and, for a disk read its own way, by its reader), and what each gave is handed on in the order
// the files came, as soon as its turn comes (cli/loop/OrderedWindow.h). Regular files go on in
// parallel; whatever can be read only once (standard input under any name, pipes, FIFOs,
// terminals, devices) is read in its turn, one at a time, as md5sum would read it. Threads start
// as work comes, and when the system gives none the adding thread does the work itself.
//
// One thread adds. A file's road: Add -> the window -> Work (cli/loop/Worker.h) claims it, opens it
// and reads it through its lanes, or gives it to its disk's reader (cli/loop/DiskReaders.h) -> the
// window hands it on -> its Then (see Job::Then for what a Then may do).
class Scheduler {
public:
  using Then = Job::Then;

  // With keepTimes, each regular file's digest carries its times (Digest::times), which costs an
  // fstat after it is read.
  Scheduler(unsigned threads, Method method, Progress *progress, Output &output,
            bool keepTimes = false);
  Scheduler(const Scheduler &) = delete;
  Scheduler &operator=(const Scheduler &) = delete;
  ~Scheduler();

  // Adds a file to digest; waits while the window is full.
  void Add(std::string name, Then then, Job::Origin origin = Job::Origin::Named);
  // Adds an action with no file to read, to run in its turn.
  void Add(std::function<void()> action);
  // Waits until everything added so far has had its turn.
  void Drain();
  // Waits until every item has had its turn.
  void Finish();

private:
  void Add(Job job, bool done);
  void HandOn(Job &job);
  // Starts another hashing thread if one would help and the user allows it.
  void Hire();
  // Does the work on this thread: no hashing thread could be started.
  void WorkHere();

  const unsigned threads_;
  const Method method_;
  Progress *const progress_;
  Output &output_;
  DescriptorBudget &descriptors_;
  Window window_;
  std::optional<DiskReaders> disks_; // MD5 only: a fingerprint reads 256 bytes
  Crew crew_;
  std::vector<std::thread> workers_;
  bool hiring_ = true; // false once the system gave no thread
};

} // namespace quillsum::cli
