#pragma once

#include <cstddef>
#include <functional>

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

} // namespace quillsum::cli
