// Loaded with LD_PRELOAD into a program under test: the n-th allocation of the process
// (QUILLSUM_FAIL_ALLOCATION=n, counted over every thread) fails once, as it would when memory ran
// out at that moment, and with QUILLSUM_FAIL_IN_A_ROW=k so do the k - 1 after it, as while memory
// stays short; every other one is glibc's. With QUILLSUM_FAIL_FROM_SIZE=s, every allocation of s
// bytes or more fails, as where only large blocks are short. operator new comes here through
// malloc. With QUILLSUM_COUNT_FD set, the count of allocations is written to that descriptor at
// exit.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
}

namespace {

std::atomic<unsigned long> calls = 0;
unsigned long Setting(const char *name, unsigned long otherwise) {
  const char *value = std::getenv(name);
  return value ? std::strtoul(value, nullptr, 10) : otherwise;
}
const unsigned long failAt = Setting("QUILLSUM_FAIL_ALLOCATION", 0);
const unsigned long inARow = Setting("QUILLSUM_FAIL_IN_A_ROW", 1);
const unsigned long failFromSize = Setting("QUILLSUM_FAIL_FROM_SIZE", 0);

bool Fails(std::size_t size) {
  const unsigned long n = ++calls;
  if ((failFromSize == 0 || size < failFromSize) &&
      (failAt == 0 || n < failAt || n >= failAt + inARow))
    return false;
  errno = ENOMEM;
  return true;
}

struct Count {
  ~Count() {
    if (const char *fd = std::getenv("QUILLSUM_COUNT_FD")) {
      char line[32];
      const int size = std::snprintf(line, sizeof line, "%lu\n", calls.load());
      [[maybe_unused]] const auto wrote =
          ::write(std::atoi(fd), line, static_cast<std::size_t>(size));
    }
  }
} count;

} // namespace

extern "C" {

void *malloc(std::size_t size) { return Fails(size) ? nullptr : __libc_malloc(size); }

void *calloc(std::size_t n, std::size_t size) {
  return Fails(n * size) ? nullptr : __libc_calloc(n, size);
}

void *realloc(void *bytes, std::size_t size) {
  return size != 0 && Fails(size) ? nullptr : __libc_realloc(bytes, size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
  return Fails(size) ? nullptr : __libc_memalign(alignment, size);
}

int posix_memalign(void **bytes, std::size_t alignment, std::size_t size) {
  if (Fails(size))
    return ENOMEM;
  *bytes = __libc_memalign(alignment, size);
  return *bytes ? 0 : ENOMEM;
}

} // extern "C"
