#include "Launch.h"

#include "JoinedThread.h"
#include "Reference.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quillsum::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  ssize_t got;
  while ((got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

// Everything the child needs is made before the fork: after it, only calls that are safe
// between fork and exec.
struct Prepared {
  std::vector<char *> argv, envp;
  std::vector<std::string> env;
  int in, out, err;
};

[[noreturn]] void Become(const Launch &launch, const Prepared &child) {
  // A group of its own, so that what a shell starts is killed with it.
  ::setpgid(0, 0);
  // Duplicated above the standard numbers first, so that one dup2 cannot close another's source.
  const int in = ::fcntl(child.in, F_DUPFD_CLOEXEC, 10);
  const int out = ::fcntl(child.out, F_DUPFD_CLOEXEC, 10);
  const int err = ::fcntl(child.err, F_DUPFD_CLOEXEC, 10);
  if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
      ::dup2(err, 2) < 0 || ::chdir(launch.folder.c_str()) != 0)
    ::_exit(126);
  // Nothing else the tests hold open (the test runner's pipes among them) is inherited: limits
  // on descriptors must count the program's own.
  ::close_range(3, ~0U, 0);
  if (launch.unprivileged && ::geteuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
    ::_exit(126);
  const auto limit = [](int resource, rlim_t value) {
    const rlimit both{value, value};
    if (value != 0 && ::setrlimit(resource, &both) != 0)
      ::_exit(126);
  };
  limit(RLIMIT_NOFILE, launch.descriptors);
  limit(RLIMIT_NPROC, launch.processes);
  limit(RLIMIT_AS, launch.memoryKiB * 1024);
  if (launch.closed >= 0)
    ::close(launch.closed);
  ::signal(SIGPIPE, SIG_DFL);
  // Should the test program itself die, the program still ends.
  ::alarm(launch.seconds + 10);
  ::execvpe(child.argv[0], child.argv.data(), child.envp.data());
  ::_exit(127);
}

} // namespace

// (glibc 2.36 declares pidfd_open without C linkage, hence the system call.)
Child::Child(pid_t pid, int pipe, const Launch &launch)
    : pid_(pid), pipe_(pipe), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
      deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(launch.seconds)),
      seconds_(launch.seconds) {
  for (const std::string &arg : launch.argv)
    name_ += (name_.empty() ? "" : " ") + arg;
}

Child::Child(Child &&other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pipe_(std::exchange(other.pipe_, -1)),
      pidfd_(std::exchange(other.pidfd_, -1)), deadline_(other.deadline_), seconds_(other.seconds_),
      hung_(other.hung_), name_(std::move(other.name_)) {}

Child::~Child() {
  if (pid_ > 0)
    Reap();
  for (const int fd : {pipe_, pidfd_})
    if (fd >= 0)
      ::close(fd);
}

int Child::Reap() {
  // Whatever is left in the group goes too: until the program is reaped, no other can take its
  // number.
  if (::kill(-pid_, SIGKILL) != 0) // not yet in its group
    ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (reaped < 0)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Child::Wait() {
  using namespace std::chrono;
  if (pid_ <= 0)
    throw std::logic_error("waited for twice");
  pollfd ended{pidfd_, POLLIN, 0};
  int ready;
  do {
    const auto left = duration_cast<milliseconds>(deadline_ - steady_clock::now());
    ready = ::poll(&ended, 1, static_cast<int>(std::max<milliseconds::rep>(left.count(), 0)));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    ADD_FAILURE() << "hung: " << name_ << "\nstill running after " << seconds_ << " s, and killed";
    hung_ = true;
  }
  return Reap();
}

Child Start(const Launch &launch) {
  if (launch.argv.empty())
    throw std::invalid_argument("no program to start");
  Prepared child;
  for (const std::string &arg : launch.argv)
    child.argv.push_back(const_cast<char *>(arg.c_str()));
  child.argv.push_back(nullptr);
  for (char **pair = environ; *pair; ++pair) {
    const std::string_view name(*pair, std::string_view(*pair).find('='));
    bool replaced = false;
    for (const auto &[set, value] : launch.env)
      replaced = replaced || set == name;
    if (!replaced)
      child.env.emplace_back(*pair);
  }
  for (const auto &[name, value] : launch.env)
    child.env.push_back(name + "=" + value);
  for (std::string &pair : child.env)
    child.envp.push_back(pair.data());
  child.envp.push_back(nullptr);
  int ends[2] = {-1, -1};
  if (launch.out < 0 && ::pipe2(ends, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  child.in = launch.in >= 0 ? launch.in : null;
  child.out = launch.out >= 0 ? launch.out : ends[1];
  child.err = launch.err >= 0 ? launch.err : null;
  const pid_t pid = ::fork();
  if (pid == 0)
    Become(launch, child);
  ::close(null);
  if (ends[1] >= 0)
    ::close(ends[1]);
  if (pid < 0)
    throw std::runtime_error("fork");
  ::setpgid(pid, pid); // as the child does, whichever comes first
  Child started(pid, ends[0], launch);
  if (started.pidfd_ < 0)
    throw std::runtime_error("pidfd_open");
  return started;
}

Ran Run(const Launch &launch) {
  // Output goes to files in memory, which never fill up and block the program as a pipe would.
  const int out = launch.out >= 0 ? -1 : ::memfd_create("out", MFD_CLOEXEC);
  const int err = launch.err >= 0 ? -1 : ::memfd_create("err", MFD_CLOEXEC);
  int in[2] = {-1, -1};
  if (launch.in < 0 && ::pipe2(in, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  Launch started = launch;
  started.in = launch.in >= 0 ? launch.in : in[0];
  started.out = launch.out >= 0 ? launch.out : out;
  started.err = launch.err >= 0 ? launch.err : err;
  Child child = Start(started);
  std::optional<JoinedThread> writer;
  if (in[0] >= 0) {
    ::close(in[0]);
    // A program that stops reading early must not hang the test, nor one that is killed.
    writer.emplace([&launch, fd = in[1]] {
      std::string_view left = launch.input;
      ::signal(SIGPIPE, SIG_IGN);
      for (ssize_t wrote; !left.empty() && (wrote = ::write(fd, left.data(), left.size())) > 0;)
        left.remove_prefix(static_cast<std::size_t>(wrote));
      ::close(fd);
    });
  }
  Ran ran;
  ran.status = child.Wait();
  ran.hung = child.hung();
  writer.reset();
  for (const auto &[fd, text] : {std::pair{out, &ran.out}, std::pair{err, &ran.err}})
    if (fd >= 0) {
      *text = ReadAll(fd);
      ::close(fd);
    }
  return ran;
}

Ran Md5sum(const std::vector<std::string> &args, const std::filesystem::path &folder) {
  Launch launch;
  launch.argv = {"md5sum"};
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.folder = folder;
  return Run(launch);
}

std::string Md5sumQuoted(const std::string &name, const std::string &locale) {
  static std::map<std::pair<std::string, std::string>, std::string> asked;
  auto [quoted, fresh] = asked.try_emplace({name, locale});
  if (!fresh)
    return quoted->second;
  const TempDir empty;
  Launch launch;
  launch.argv = {"md5sum", "--", name};
  launch.folder = empty.path();
  if (!locale.empty())
    launch.env = {{"LC_ALL", locale}};
  const Ran ran = Run(launch);
  // "md5sum: NAME: reason\n": a colon in a quoted name is inside its quotes, and no reason has one.
  const std::string prefix = "md5sum: ";
  const std::size_t reason = ran.err.rfind(": ");
  quoted->second =
      !ran.err.starts_with(prefix) || reason == std::string::npos || reason < prefix.size()
          ? name
          : ran.err.substr(prefix.size(), reason - prefix.size());
  return quoted->second;
}

void ReplaceAll(std::string &text, const std::string &from, const std::string &to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

std::string As911(const std::string &out, const std::string &locale) {
  std::string converted;
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t end = std::min(out.find('\n', at), out.size());
    std::string line = out.substr(at, end - at);
    at = end + 1;
    for (const std::string_view verdict : {": FAILED open or read", ": FAILED", ": OK"}) {
      if (!line.ends_with(verdict))
        continue;
      std::string name = line.substr(0, line.size() - verdict.size());
      if (name.starts_with('\\')) {
        std::string raw;
        for (std::size_t k = 1; k < name.size(); ++k)
          raw += name[k] != '\\' || k + 1 == name.size() ? name[k]
                 : name[++k] == 'n'                      ? '\n'
                 : name[k] == 'r'                        ? '\r'
                                                         : name[k];
        name = raw;
      }
      line = Md5sumQuoted(name, locale) + std::string(verdict);
      break;
    }
    converted += line + (end < out.size() ? "\n" : "");
  }
  return converted;
}

std::string Shell(const std::string &command, const std::vector<std::string> &args,
                  const fs::path &folder) {
  Launch launch;
  launch.argv = {"sh", "-c", command, "sh"};
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.folder = folder;
  return Run(launch).out;
}

std::string Cli() {
  static const TempDir reachable;
  static const std::string copy = [] {
    const fs::path path = reachable.path() / "quillsum-cli";
    fs::copy_file(QUILLSUM_CLI, path);
    fs::permissions(reachable.path(), fs::perms::owner_all | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read |
                                          fs::perms::others_exec);
    return path.string();
  }();
  return copy;
}

Launch CliLaunch(std::vector<std::string> args, const fs::path &folder) {
  Launch launch;
  launch.argv = {Cli()};
  launch.folder = folder;
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  return launch;
}

Ran RunCli(std::vector<std::string> args, const fs::path &folder, std::string input) {
  Launch launch = CliLaunch(std::move(args), folder);
  launch.input = std::move(input);
  return Run(launch);
}

} // namespace quillsum::test
