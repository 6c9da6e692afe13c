#include "cli/Output.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::string_view kEraseLine = "\r\x1b[K";

} // namespace

Output::Output() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    // The lowest free number is fd: the ones below it are open. An O_PATH descriptor fails
    // read(2) and write(2) with EBADF, as a closed one does.
    closed_[fd] = ::fcntl(fd, F_GETFD) == -1 && ::open("/dev/null", O_PATH) == fd;
    terminal_[fd] = ::isatty(fd) == 1;
  }
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
  if (text.empty() && !progressShown_)
    return;
  std::string line(kEraseLine.substr(0, 1));
  line.append(text).append(kEraseLine.substr(1));
  progressShown_ = false; // Write must not erase it first
  Write(STDERR_FILENO, line);
  progressShown_ = !text.empty();
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
  if (progressShown_ && terminal_[fd]) {
    progressShown_ = false;
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
