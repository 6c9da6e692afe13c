#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quillsum::cli {

// The name in every message, whatever the name the program was run by.
inline constexpr std::string_view kProgram = "quillsum-cli";

// Standard output and standard error, written the way md5sum writes them: each line in one
// write(2), so that parallel runs sharing a pipe never split each other's lines, and without
// delay. Lines that are ready together may share a write as long as it stays within PIPE_BUF.
// Any thread may call it.
class Output {
public:
  // Run before anything is opened: a standard stream that is closed gets a stand-in that fails
  // every read and write as the closed one would, so that no file opened later takes its number
  // (standard input would then read that file).
  Output();

  // Queue one or more whole lines for standard output or standard error.
  void Out(std::string_view lines);
  void Err(std::string_view lines);
  // "quillsum-cli: <text>\n" on standard error.
  void Error(std::string_view text);
  // md5sum's counted warning, "quillsum-cli: WARNING: <n> <one>" or "... <n> <more>".
  void Warning(std::uint64_t n, std::string_view one, std::string_view more);
  // Writes what is queued.
  void Flush();

  // Shows text as the one line of progress on standard error, a terminal, replacing the one
  // before; it is erased before anything else goes to a terminal, and by an empty text.
  void Progress(std::string_view text);

  // From now on every signal that ends the program by default and may come from outside (SIGINT,
  // SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, ...) erases the progress line before it ends the
  // program, so that the shell's prompt starts a clean line.
  static void EraseProgressOnSignals();

  // Ends the program at once, for an exception that the work cannot go on from (an allocation
  // that failed where no single file can take the blame): what was handed on is written, the
  // progress line erased, "memory exhausted" (md5sum's words) or the exception's own text said,
  // and the exit status is 1. Allocates nothing; any thread may call it, inside a catch block or
  // out of one.
  [[noreturn]] static void Abandon() noexcept;

  // Says that standard input was read, so that Close closes it and reports a failure as md5sum
  // does (reading a closed standard input fails once per read, and once more at the end).
  void ReadStandardInput() { readStandardInput_ = true; }

  // Flushes, reports a failed write to standard output as md5sum does, and gives the exit
  // status: status, or 1 if writing or closing failed.
  int Close(int status);

private:
  void Queue(int fd, std::string_view lines);
  void Write(int fd, std::string_view bytes);
  void FlushLocked();

  std::mutex mutex_;
  int queuedFd_ = -1;
  std::string queued_;
  bool terminal_[3] = {};
  bool closed_[3] = {}; // at the start
  bool outFailed_ = false;
  bool errFailed_ = false;
  bool readStandardInput_ = false;
};

} // namespace quillsum::cli
