#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <new>
#include <vector>

#include <pthread.h>

namespace quillsum::cli {

// Readies the process for its threads; run once, before any thread starts. malloc's arenas are
// capped now, as glibc would otherwise count the CPUs in /sys at the first allocation of some
// later thread: a descriptor no budget counts, which under a tight limit would make another
// thread's open fail.
void PrepareThreads();

// The CPUs this process may run on, told without reading any file.
unsigned UsableCpus();

// A thread of the program's, as std::thread but on a small stack of its own mapping, which is
// unmapped once the thread is joined: glibc keeps the stacks of threads it mapped itself for
// reuse, so a process limited in address space (ulimit -v) would never get them back. Joined or
// empty before it is destroyed.
class Thread {
public:
  Thread() = default;
  Thread(Thread &&other) noexcept;
  Thread &operator=(Thread &&other) noexcept;
  ~Thread();

  bool joinable() const noexcept { return stack_ != nullptr; }
  void join() noexcept;

private:
  friend Thread StartThread(std::function<void()> body) noexcept;

  pthread_t id_{};
  void *stack_ = nullptr;
  std::size_t size_ = 0;
};

// Starts body on a thread of its own; a thread that is not joinable when the system gives no
// more threads, or no memory for one. An exception that leaves body ends the program at once
// (Output::Abandon): the thread's work cannot be handed to another.
Thread StartThread(std::function<void()> body) noexcept;

// Runs work(k) for each k below count on up to `threads` threads, the calling one among them, each
// thread with the work that makeWork() makes for it on that thread. A refused allocation is the
// run's, never an item's: a thread refused memory (in makeWork, or in work(k), which must then
// leave nothing done that doing k again would repeat) takes no more items; once the others ended,
// the calling thread does the refused items again, and any left, alone. Only a refusal then, with
// nothing else at work, is final: it leaves as std::bad_alloc, whatever the number of threads.
template <class MakeWork>
void InParallel(unsigned threads, std::size_t count, const MakeWork &makeWork) {
  std::atomic<std::size_t> next = 0;
  std::vector<std::size_t> refused; // one item at most a thread, as it then stops
  refused.reserve(threads);
  std::mutex mutex;
  const auto run = [&] {
    std::size_t k = count;
    try {
      auto work = makeWork();
      while ((k = next++) < count)
        work(k);
    } catch (const std::bad_alloc &) {
      if (k < count) {
        const std::lock_guard lock(mutex);
        refused.push_back(k);
      }
    }
  };
  {
    std::vector<Thread> started;
    try {
      started.reserve(threads);
      for (unsigned k = 1; k < threads && k < count; ++k)
        if (Thread thread = StartThread(run); thread.joinable())
          started.push_back(std::move(thread));
    } catch (const std::bad_alloc &) { // no room to hand run to another thread: fewer do it
    }
    run();
  } // the others joined
  if (refused.empty() && next >= count)
    return;
  auto work = makeWork();
  for (const std::size_t k : refused)
    work(k);
  for (std::size_t k; (k = next++) < count;)
    work(k);
}

} // namespace quillsum::cli
