#include "cli/Threads.h"

#include "cli/Output.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include <malloc.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStack = 1 << 20; // the sanitizers' runtimes need more
#else
constexpr std::size_t kStack = 256 << 10; // the deepest, the lanes' kernels, need a few KiB
#endif

void *Run(void *argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()> *>(argument));
  try {
    (*body)();
  } catch (...) {
    Output::Abandon();
  }
  return nullptr;
}

} // namespace

void PrepareThreads() {
#ifdef __GLIBC__
  // An arena of its own reserves 64 MiB of address space for a thread: under a limit on that
  // (ulimit -v) the reservation fails, and glibc then maps a page for every allocation of the
  // thread's, which soon exhausts the limit. One arena, shared, stays within it; without a
  // limit, glibc's own default.
  rlimit space{};
  const bool spaceLimited = ::getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY;
  ::mallopt(M_ARENA_MAX, spaceLimited ? 1 : static_cast<int>(8 * UsableCpus()));
  // And large blocks (buffers) mapped and unmapped each time, whatever was freed before: glibc
  // would otherwise keep them in the heap once one was freed, where the space is not given back.
  if (spaceLimited)
    ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
#endif
}

unsigned UsableCpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0)
    return 1;
  return static_cast<unsigned>(std::max(1, CPU_COUNT(&cpus)));
}

Thread::Thread(Thread &&other) noexcept
    : id_(other.id_), stack_(std::exchange(other.stack_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

Thread &Thread::operator=(Thread &&other) noexcept {
  if (this != &other) {
    join();
    id_ = other.id_;
    stack_ = std::exchange(other.stack_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Thread::~Thread() { join(); }

void Thread::join() noexcept {
  if (!stack_)
    return;
  ::pthread_join(id_, nullptr);
  ::munmap(std::exchange(stack_, nullptr), size_);
}

Thread StartThread(std::function<void()> body) noexcept {
  Thread thread;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t size = kStack + page; // and a guard page below it
  void *stack = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
  if (stack == MAP_FAILED)
    return thread;
  auto *argument = new (std::nothrow) std::function<void()>(std::move(body));
  pthread_attr_t attributes;
  bool started = false;
  if (argument && ::mprotect(stack, page, PROT_NONE) == 0 &&
      ::pthread_attr_init(&attributes) == 0) {
    started =
        ::pthread_attr_setstack(&attributes, static_cast<char *>(stack) + page, kStack) == 0 &&
        ::pthread_create(&thread.id_, &attributes, Run, argument) == 0;
    ::pthread_attr_destroy(&attributes);
  }
  if (!started) {
    delete argument;
    ::munmap(stack, size);
    return thread;
  }
  thread.stack_ = stack;
  thread.size_ = size;
  return thread;
}

} // namespace quillsum::cli
