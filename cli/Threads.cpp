#include "cli/Threads.h"

#include "cli/Output.h"

#include <new>
#include <system_error>

#include <pthread.h>

namespace quillsum::cli {

void UseSmallThreadStacks() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kStack = 1 << 20; // the sanitizers' runtimes refuse less
#else
  constexpr std::size_t kStack = 256 << 10; // the deepest, the lanes' kernels, need a few KiB
#endif
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0)
    return;
  if (::pthread_attr_setstacksize(&attributes, kStack) == 0)
    ::pthread_setattr_default_np(&attributes);
  ::pthread_attr_destroy(&attributes);
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
