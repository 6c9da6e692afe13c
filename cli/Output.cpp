#include "cli/Output.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::string_view kEraseLine = "\r\x1b[K";

// Whether the progress line is on the terminal: a signal handler reads it too, so it is not a
// member (there is one Output a process, which Abandon finds here).
std::atomic<bool> progressOnScreen = false;
std::atomic<Output *> theOutput = nullptr;

extern "C" void EraseProgressAndEnd(int signal) {
  // Erased whether or not the line is known to be on screen: a signal that comes while it is
  // being drawn would otherwise leave it there. The line on the terminal holds nothing else.
  [[maybe_unused]] const auto wrote = ::write(STDERR_FILENO, kEraseLine.data(), kEraseLine.size());
  // The handler was reset when it ran: the signal ends the program as it would have.
  ::raise(signal);
}

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote < 0 && errno != EINTR)
      return;
    if (wrote > 0)
      bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

// Takes the number fd of a closed standard stream, the lowest free one, so that no file opened
// later takes it. The stand-in is an O_PATH descriptor, which fails read(2) and write(2) with
// EBADF as a closed one does, of an anonymous file of its own: no name but /dev/stdin and the
// like leads to it, and those fail as they would with the stream closed.
bool StandIn(int fd) {
  const int file = ::memfd_create("closed standard stream", MFD_CLOEXEC);
  const int path =
      file == fd ? ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_PATH) : -1;
  if (path < 0) { // no memfd or no /proc: /dev/null stands in
    if (file >= 0)
      ::close(file);
    return ::open("/dev/null", O_PATH) == fd;
  }
  const bool moved = ::dup2(path, fd) == fd; // closes the memfd, which the O_PATH keeps alive
  ::close(path);
  return moved;
}

} // namespace

Output::Output() {
  theOutput = this;
  // Queued lines never need more: queuing then never allocates, so that a line is never half
  // written. Without it, a line's own allocation may fail, and its hand-on is tried again.
  try {
    queued_.reserve(PIPE_BUF);
  } catch (const std::bad_alloc &) {
  }
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    closed_[fd] = ::fcntl(fd, F_GETFD) == -1 && StandIn(fd);
    terminal_[fd] = ::isatty(fd) == 1;
  }
}

void Output::EraseProgressOnSignals() {
  for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGPOLL,
                     SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPWR}) {
    struct sigaction action {};
    // A signal ignored when the program started (nohup) stays ignored.
    if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
      continue;
    action = {};
    action.sa_handler = EraseProgressAndEnd;
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal, &action, nullptr);
  }
}

void Output::Abandon() noexcept {
  static std::atomic<bool> abandoning = false;
  if (abandoning.exchange(true))
    for (;;) // another thread is ending the program
      ::pause();
  std::string_view reason = "memory exhausted";
  try {
    if (const std::exception_ptr exception = std::current_exception())
      std::rethrow_exception(exception);
  } catch (const std::bad_alloc &) {
  } catch (const std::exception &exception) {
    reason = exception.what();
  } catch (...) {
  }
  if (Output *output = theOutput.load()) {
    output->Progress({});
    output->Flush();
  }
  // One write, with no allocation: a line another thread writes meanwhile cannot cut it.
  char line[256];
  std::size_t size = 0;
  const std::string_view parts[] = {kProgram, ": ", reason.substr(0, 200), "\n"};
  for (const std::string_view part : parts)
    size += part.copy(line + size, part.size());
  WriteAll(STDERR_FILENO, {line, size});
  ::_exit(EXIT_FAILURE);
}

void Output::Out(std::string_view lines) { Queue(STDOUT_FILENO, lines); }

void Output::Err(std::string_view lines) { Queue(STDERR_FILENO, lines); }

void Output::Error(std::string_view text) {
  std::string line(kProgram);
  line.append(": ").append(text) += '\n';
  Err(line);
}

void Output::Warning(std::uint64_t n, std::string_view one, std::string_view more) {
  Error("WARNING: " + std::to_string(n) + ' ' + std::string(n == 1 ? one : more));
}

void Output::Flush() {
  const std::lock_guard lock(mutex_);
  FlushLocked();
}

void Output::Progress(std::string_view text) {
  const std::lock_guard lock(mutex_);
  FlushLocked();
  if (text.empty()) { // with no allocation: Abandon erases it so
    if (progressOnScreen.exchange(false))
      Write(STDERR_FILENO, kEraseLine);
    return;
  }
  std::string line(kEraseLine.substr(0, 1));
  line.append(text).append(kEraseLine.substr(1));
  progressOnScreen = false; // Write must not erase it first
  Write(STDERR_FILENO, line);
  progressOnScreen = true;
}

int Output::Close(int status) {
  Progress({});
  Flush();
  if (readStandardInput_ && (closed_[STDIN_FILENO] || ::close(STDIN_FILENO) != 0)) {
    Error(std::string("standard input: ") + std::strerror(closed_[STDIN_FILENO] ? EBADF : errno));
    status = 1;
  }
  if (outFailed_) {
    // As md5sum: the close's own failure, if any, is the reason given.
    if (closed_[STDOUT_FILENO] || ::close(STDOUT_FILENO) != 0)
      Error(std::string("write error: ") + std::strerror(closed_[STDOUT_FILENO] ? EBADF : errno));
    else
      Error("write error");
  }
  Flush();
  return outFailed_ || errFailed_ ? 1 : status;
}

void Output::Queue(int fd, std::string_view lines) {
  const std::lock_guard lock(mutex_);
  if (fd != queuedFd_ || queued_.size() + lines.size() > PIPE_BUF)
    FlushLocked();
  if (lines.size() > PIPE_BUF) {
    Write(fd, lines);
    return;
  }
  queuedFd_ = fd;
  queued_.append(lines);
}

void Output::FlushLocked() {
  if (queued_.empty())
    return;
  Write(queuedFd_, queued_);
  queued_.clear();
}

void Output::Write(int fd, std::string_view bytes) {
  if (progressOnScreen && terminal_[fd]) {
    progressOnScreen = false;
    Write(STDERR_FILENO, kEraseLine);
  }
  bool &failed = fd == STDOUT_FILENO ? outFailed_ : errFailed_;
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(wrote));
    } else if (errno != EINTR) {
      failed = true;
      return;
    }
  }
}

} // namespace quillsum::cli
