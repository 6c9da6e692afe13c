#pragma once

#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/DiskReaders.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Job.h"
#include "cli/loop/Shortage.h"
#include "cli/loop/Warmers.h"

#include "cli/Threads.h"
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillsum::cli {

// The hashing loop's ordered scheduler: files are digested by up to `threads` hashing threads
// (and, for a disk read its own way, by its reader), and what became of each is handed on in the
// order the files came, as soon as its turn comes (cli/loop/OrderedWindow.h). Regular files go on
// in parallel; whatever can be read only once (standard input under any name, pipes, FIFOs,
// terminals, devices) is read in its turn, one at a time, as md5sum would read it. Threads start
// as work comes, and when the system gives none the adding thread does the work itself.
//
// One thread adds. A file's road: Add -> the window -> Work (cli/loop/Worker.h) claims it, opens it
// and reads it through its lanes, or gives it to its disk's reader (cli/loop/DiskReaders.h) -> the
// window hands it on -> its Then (see Job::Then for what a Then may do).
class Scheduler : private Shortage::Threads {
public:
  using Then = Job::Then;

  struct Settings {
    unsigned threads = 1; // hashing threads at most (-j)
    Method method = Method::Md5;
    Road road = Road::Automatic;
    // Each regular file's digest carries its times (Digested::times), which costs an fstat
    // after it is read.
    bool keepTimes = false;
    Progress *progress = nullptr;
  };

  Scheduler(const Settings &settings, Output &output);
  Scheduler(const Scheduler &) = delete;
  Scheduler &operator=(const Scheduler &) = delete;
  ~Scheduler();

  // Adds a file to digest; waits while the window is full.
  void Add(std::string name, Then then, Origin origin);
  // Adds an action with no file to read, to run in its turn.
  void Add(std::function<void()> action);
  // Waits until everything added so far has had its turn.
  void Drain();
  // Waits until every item has had its turn.
  void Finish();

  // The answer to a refused allocation, for the modes' own work on the adding thread too.
  Shortage &shortage() { return shortage_; }

private:
  void Add(Job &&job, bool done);
  void HandOn(Job &job);
  // Starts another hashing thread if one would help and the user allows it.
  void Hire();
  // Does the work on this thread: no hashing thread is there to do it.
  void WorkHere();
  // Waits until the window has room, or is drained: the adding thread meanwhile parks its
  // descriptors, joins the hashing threads that ended, and does the work itself when no
  // hashing thread is left.
  void WaitForRoom();
  void WaitForDrain();

  std::size_t Busy() override;
  std::size_t Idle() override;
  void WakeIdle() override;
  std::size_t Alive() override;
  std::size_t Claimers() override;
  std::size_t Reap() override;

  // A hashing thread, joined once by whichever thread takes it: Finish, or Reap once it ended.
  struct Worker {
    Thread thread;
    std::atomic<bool> ended = false, taken = false;
  };

  const Settings settings_;
  Output &output_;
  DescriptorBudget &descriptors_;
  Disks disks_;
  Shortage shortage_{*this};
  Window window_;
  std::optional<DiskReaders> readers_; // MD5 only: a fingerprint reads 256 bytes
  std::optional<Warmers> warmers_;     // likewise
  LoopContext context_;
  const std::unique_ptr<Worker[]> workers_;
  std::atomic<std::size_t> hired_ = 0; // moved by the adding thread only
  std::atomic<std::size_t> joined_ = 0;
  bool hiring_ = true; // false once the system gave no thread
};

} // namespace quillsum::cli
