#include "cli/Threads.h"

#include "cli/Output.h"

#include <new>
#include <system_error>

#include <pthread.h>

namespace quillsum::cli {

void UseSmallThreadStacks() {
  constexpr std::size_t kStack = 1 << 20; // ThreadSanitizer refuses less
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
