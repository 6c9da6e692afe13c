#pragma once

// Starting a program for a test, the one way every test does it: arguments, folder, standard
// input, limits and user, with what it writes collected.

#include <sys/resource.h>
#include <sys/types.h>

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
  unsigned seconds = 60;                                // it is killed after that
};

struct Ran {
  std::string out, err;
  int status = -1; // the exit status, or 128 + the signal that ended it
};

// Starts the program and returns at once; pipe holds its standard output's read end unless
// launch.out was given.
struct Started {
  pid_t pid = -1;
  int pipe = -1;
};
Started Start(const Launch &launch);
// Waits for a started program; the status as in Ran.
int Wait(pid_t pid);

// Runs the program to its end.
Ran Run(const Launch &launch);

// quillsum-cli as this build made it, in a folder that "nobody" may enter too: the tests may run
// as root from a folder only root can enter.
std::string Cli();
// quillsum-cli with these arguments in folder, to adjust before it is run or started.
Launch CliLaunch(std::vector<std::string> args, const std::filesystem::path &folder);
// Runs quillsum-cli with these arguments in folder.
Ran RunCli(std::vector<std::string> args, const std::filesystem::path &folder,
           std::string input = {});

} // namespace quillsum::test
