#pragma once

// Starting a program for a test, the one way every test does it: arguments, folder, standard
// input, limits and user, with what it writes collected. A program still running when its case
// ends, however it ends (a failed ASSERT returns early), is killed with all it started, so that
// the test program goes on to the next case.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace quillsum::test {

struct Launch {
  std::vector<std::string> argv; // argv[0] is the program: a path, or a name looked up on PATH
  std::filesystem::path folder = ".";
  std::string input; // written to its standard input through a pipe, which is then closed
  // Descriptors to give it in place of the pipe and the collected output; out and err are then
  // not collected.
  int in = -1, out = -1, err = -1;
  int closed = -1;           // a standard stream it starts with closed
  bool unprivileged = false; // as "nobody" when the tests run as root, who could read anything
  rlim_t descriptors = 0;    // RLIMIT_NOFILE, when not 0
  rlim_t processes = 0;      // RLIMIT_NPROC, when not 0
  rlim_t memoryKiB = 0;      // RLIMIT_AS, when not 0
  std::vector<std::pair<std::string, std::string>> env; // set in its environment
  // After that it is killed with all it started, and the case fails: it hung.
  unsigned seconds = 60;
};

struct Ran {
  std::string out, err;
  int status = -1;   // the exit status, or 128 + the signal that ended it
  bool hung = false; // killed at the end of its time, the case failed
};

// A started program, in a process group of its own. When Wait has seen it end, or when it goes
// out of scope, whatever is left in its group is killed, and it is reaped.
class Child {
public:
  Child(Child &&other) noexcept;
  Child &operator=(Child &&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  // Its standard output's read end, unless launch.out was given.
  int pipe() const { return pipe_; }
  // Waits for its end, for what is left of the launch's seconds, and gives its status as in
  // Ran; a program still running then fails the case as hung, and is killed.
  int Wait();
  bool hung() const { return hung_; }

private:
  friend Child Start(const Launch &launch);
  Child(pid_t pid, int pipe, const Launch &launch);
  int Reap();

  pid_t pid_ = -1;
  int pipe_ = -1, pidfd_ = -1;
  std::chrono::steady_clock::time_point deadline_;
  unsigned seconds_ = 0;
  bool hung_ = false;
  std::string name_; // the command, to say what hung
};
// Starts the program and returns at once.
Child Start(const Launch &launch);

// Runs the program to its end.
Ran Run(const Launch &launch);

// The machine's md5sum, given args, run in folder: the reference the command line is held to.
Ran Md5sum(const std::vector<std::string> &args, const std::filesystem::path &folder);

// The name as the machine's md5sum quotes it in its messages under the locale (LC_ALL; the tests'
// own when empty): how -c names files in its result lines since coreutils 9.11. Asked of md5sum's
// own message for the name in an empty folder; a name md5sum reads without a message (standard
// input) is given as it is.
std::string Md5sumQuoted(const std::string &name, const std::string &locale = {});

// Every from in text replaced by to.
void ReplaceAll(std::string &text, const std::string &from, const std::string &to);

// md5sum 9.1's output as coreutils 9.11 writes it under the locale: each -c result line names its
// file quoted as md5sum's messages quote it, where 9.1 wrote the name raw (escaped, after a
// leading backslash, when it held a newline).
std::string As911(const std::string &out, const std::string &locale);

// The standard output of a shell command run in folder, given args as $1, $2...: names need
// no quoting.
std::string Shell(const std::string &command, const std::vector<std::string> &args = {},
                  const std::filesystem::path &folder = ".");

// quillsum-cli as this build made it, in a folder that "nobody" may enter too: the tests may run
// as root from a folder only root can enter.
std::string Cli();
// quillsum-cli with these arguments in folder, to adjust before it is run or started.
Launch CliLaunch(std::vector<std::string> args, const std::filesystem::path &folder);
// Runs quillsum-cli with these arguments in folder.
Ran RunCli(std::vector<std::string> args, const std::filesystem::path &folder,
           std::string input = {});

} // namespace quillsum::test
