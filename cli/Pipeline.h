#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillsum::cli {

// What hashing a file gave.
struct Digest {
  std::string hex; // lower case for MD5, upper case for a fingerprint; "" on failure
  int error = 0;   // then: the errno of the failure, or kNotRegular
};
// A fingerprint asked of what is not a regular file: a pipe, FIFO, device or socket.
inline constexpr int kNotRegular = -1;

// What a failure says after the file's name: the system's text for errno, or one of ours.
std::string Reason(int error);

// The digest of one file on its own, "-" being standard input.
Digest DigestOne(const std::string &name, Method method, Progress *progress);

// The hashing loop: files are digested by a set of threads, and what each gave is handed on in
// the order the files came, as soon as its turn comes. At most a fixed window of files is in
// flight, so memory stays bounded whatever their number. For MD5, each thread digests several
// regular files at once through MD5 lanes; a fingerprint takes one file at a time.
class Pipeline {
public:
  // Runs with the file's name and digest, in its turn: one at a time, in the order of Add.
  using Then = std::function<void(const std::string &name, const Digest &digest)>;

  Pipeline(unsigned threads, Method method, Progress *progress, Output &output);
  Pipeline(const Pipeline &) = delete;
  Pipeline &operator=(const Pipeline &) = delete;
  ~Pipeline();

  // Adds a file to digest; waits while the window is full. Standard input is read here and now,
  // so that whatever reads it (a list, or "-" named twice) takes it in the order of the command
  // line.
  void Add(std::string name, Then then);
  // Adds an action with no file to read, to run in its turn.
  void Add(std::function<void()> action);
  // Waits until every item has had its turn.
  void Finish();

private:
  struct Item {
    std::string name;
    Then then;
    Digest digest;
    bool done = false;
  };
  void Add(Item item);
  class LaneWorker;

  void Work();
  // Hands on the items that are done and next in order; one thread at a time does it.
  void HandOn(std::unique_lock<std::mutex> &lock);
  Item &At(std::uint64_t index) { return items_[index % items_.size()]; }

  const unsigned threads_;
  const Method method_;
  Progress *const progress_;
  Output &output_;
  std::vector<Item> items_;
  std::mutex mutex_;
  std::condition_variable workAdded_, roomMade_;
  std::uint64_t added_ = 0, claimed_ = 0, handedOn_ = 0;
  unsigned busy_ = 0;         // lane workers with files
  std::uint64_t inLanes_ = 0; // items lane workers took and have not marked done
  const std::size_t lanesPerThread_;
  bool handingOn_ = false;
  bool waitingForRoom_ = false;
  bool finishing_ = false;
  std::vector<std::thread> workers_;
};

} // namespace quillsum::cli
