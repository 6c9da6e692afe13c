#include "cli/Threads.h"

#include "cli/Output.h"

#include <algorithm>
#include <new>
#include <system_error>

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

namespace quillsum::cli {

void PrepareThreads() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kStack = 1 << 20; // the sanitizers' runtimes refuse less
#else
  constexpr std::size_t kStack = 256 << 10; // the deepest, the lanes' kernels, need a few KiB
#endif
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) == 0) {
    if (::pthread_attr_setstacksize(&attributes, kStack) == 0)
      ::pthread_setattr_default_np(&attributes);
    ::pthread_attr_destroy(&attributes);
  }
#ifdef __GLIBC__
  // An arena of its own reserves 64 MiB of address space for a thread: under a limit on that
  // (ulimit -v) the reservation fails, and glibc then maps a page for every allocation of the
  // thread's, which soon exhausts the limit. One arena, shared, stays within it; without a
  // limit, glibc's own default.
  rlimit space{};
  const bool spaceLimited = ::getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY;
  ::mallopt(M_ARENA_MAX, spaceLimited ? 1 : static_cast<int>(8 * UsableCpus()));
#endif
}

unsigned UsableCpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0)
    return 1;
  return static_cast<unsigned>(std::max(1, CPU_COUNT(&cpus)));
}

std::thread StartThread(std::function<void()> body) noexcept {
  try {
    return std::thread([body = std::move(body)] {
      try {
        body();
      } catch (...) {
        Output::Abandon();
      }
    });
  } catch (const std::system_error &) {
  } catch (const std::bad_alloc &) {
  }
  return {};
}

} // namespace quillsum::cli
