#pragma once

#include "cli/DiskRoad.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Worker.h"

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillsum::cli {

// The hashing loop: files are digested by up to `threads` workers, and what each gave is handed
// on in the order the files came, as soon as its turn comes (cli/OrderedWindow.h). Regular files
// go on in parallel; whatever can be read only once (standard input under any name, pipes, FIFOs,
// terminals, devices) is read in its turn, one at a time, as md5sum would read it. Threads start
// as work comes, and when the system gives none the adding thread does the work itself.
class Pipeline {
public:
  using Then = Job::Then;

  Pipeline(unsigned threads, Method method, Progress *progress, Output &output);
  Pipeline(const Pipeline &) = delete;
  Pipeline &operator=(const Pipeline &) = delete;
  ~Pipeline();

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
  // Starts another worker if one would help and the user allows it.
  void Hire();
  // Does the work on this thread: no worker thread could be started.
  void WorkHere();

  const unsigned jobs_;
  const Method method_;
  Progress *const progress_;
  Output &output_;
  HeldFiles files_;
  Window window_;
  std::optional<DiskRoad> road_; // MD5 only: a fingerprint reads 256 bytes
  Crew crew_;
  std::vector<std::thread> workers_;
  bool hiring_ = true; // false once the system gave no thread
};

} // namespace quillsum::cli
