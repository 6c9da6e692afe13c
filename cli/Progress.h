#pragma once

#include "cli/Output.h"

#include "cli/Threads.h"
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace quillsum::cli {

// The progress line of long work, for a terminal: after about a second, and then a few times a
// second, files and bytes done, the rate, and the time left once the whole is known. Erased
// when the work ends.
class Progress {
public:
  // countBytes: false when only files count (fingerprints read a few bytes each).
  Progress(Output &output, bool countBytes);
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;
  ~Progress();

  void Read(std::size_t bytes) { bytesDone_.fetch_add(bytes, std::memory_order_relaxed); }
  void FileDone() { filesDone_.fetch_add(1, std::memory_order_relaxed); }
  // Adds to the whole work as far as it is known; Known() once all of it has been counted.
  void Expect(std::uint64_t files, std::uint64_t bytes);
  void Known() { known_ = true; }
  // Starts a stage of work done in several, named at the start of the line: what is done and
  // known counts from nothing again. Only while nothing else counts.
  void Stage(const char *name);
  // Ends the line's updates; Running() tells work done only to feed them that it can stop.
  void Stop();
  bool Running() const { return !stopping_; }

  // What is done, and the whole as far as it is known, at one moment.
  struct Counts {
    std::uint64_t files = 0, bytes = 0;
    bool known = false;
    std::uint64_t allFiles = 0, allBytes = 0;
  };
  // The line's text for those counts, secondsTaken after the work began.
  static std::string Line(const Counts &counts, bool countBytes, double secondsTaken);
  // A number of bytes as the line writes it: "512 B", "20.0 MiB".
  static std::string Bytes(double bytes);

private:
  void Run();

  Output &output_;
  const bool countBytes_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<std::chrono::steady_clock::time_point> stageStart_ = start_;
  std::atomic<std::uint64_t> filesDone_ = 0, bytesDone_ = 0;
  std::atomic<std::uint64_t> filesExpected_ = 0, bytesExpected_ = 0;
  std::atomic<bool> known_ = false;
  std::atomic<const char *> stage_ = nullptr;
  std::atomic<bool> stopping_ = false;
  std::mutex mutex_;
  std::condition_variable stop_;
  Thread thread_;
};

} // namespace quillsum::cli
