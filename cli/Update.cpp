#include "cli/CheckList.h"
#include "cli/Lines.h"
#include "cli/Modes.h"
#include "cli/Pipeline.h"
#include "cli/Quote.h"
#include "cli/Walk.h"

#include "engine/UniqueFd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// The list as it was before: where it is, its bytes and what stat says of it.
struct OldList {
  std::string path; // the file itself, where the name given is a symbolic link
  bool exists = false;
  struct stat info {};
  std::string bytes;
};

// Reads the list; a missing one is an empty one. Gives 0, or the errno of the failure.
int Read(const std::string &name, OldList &list) {
  list.path = name;
  const UniqueFd fd = OpenForReading(name);
  if (!fd)
    return errno == ENOENT ? 0 : errno;
  if (::fstat(fd.get(), &list.info) != 0)
    return errno;
  if (!S_ISREG(list.info.st_mode))
    return kNotRegular;
  const std::unique_ptr<char, void (*)(void *)> real(::realpath(name.c_str(), nullptr), std::free);
  if (!real)
    return errno;
  list.path = real.get();
  list.exists = true;
  list.bytes.reserve(static_cast<std::size_t>(list.info.st_size));
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
    if (got == 0)
      return 0;
    if (got > 0)
      list.bytes.append(chunk.data(), static_cast<std::size_t>(got));
    else if (errno != EINTR)
      return errno;
  }
}

// The lexically normal names of the files the list names, its lines ending with end.
std::unordered_set<std::string> NamesIn(std::string_view bytes, char end, Method method) {
  std::unordered_set<std::string> names;
  names.reserve(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), end)));
  ListParser parser(TagOf(method));
  ListedFile file;
  while (!bytes.empty()) {
    const std::size_t length = std::min(bytes.find(end), bytes.size());
    if (parser.Parse(std::string(bytes.substr(0, length)), file) == ListParser::Line::Listed)
      names.insert(NormalName(file.name));
    bytes.remove_prefix(std::min(length + 1, bytes.size()));
  }
  return names;
}

// While the new list is being put in place, Ctrl-C, a hang-up or a request to terminate waits
// until it is there or gone, so that no scratch file is left behind; it then takes effect.
class SignalsHeld {
public:
  SignalsHeld() {
    struct sigaction hold {};
    hold.sa_handler = [](int signal) { held_ = signal; };
    sigemptyset(&hold.sa_mask);
    hold.sa_flags = SA_RESTART;
    for (std::size_t k = 0; k < kSignals.size(); ++k)
      if (::sigaction(kSignals[k], nullptr, &before_[k]) == 0 && before_[k].sa_handler != SIG_IGN)
        ::sigaction(kSignals[k], &hold, nullptr);
  }
  SignalsHeld(const SignalsHeld &) = delete;
  SignalsHeld &operator=(const SignalsHeld &) = delete;
  ~SignalsHeld() {
    for (std::size_t k = 0; k < kSignals.size(); ++k)
      ::sigaction(kSignals[k], &before_[k], nullptr);
    if (held_ != 0)
      ::raise(held_);
  }

private:
  static constexpr std::array kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static inline volatile std::sig_atomic_t held_ = 0;
  std::array<struct sigaction, kSignals.size()> before_{};
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote >= 0)
      bytes.remove_prefix(static_cast<std::size_t>(wrote));
    else if (errno != EINTR)
      return false;
  }
  return true;
}

// Makes bytes the list's content: written to a scratch file beside it, flushed to disk and
// renamed over it, so that the list is at every moment either the old one or the new one whole.
// The list keeps its mode (and its owner, where allowed). Gives 0, or the errno of the failure.
int Replace(const OldList &list, std::string_view bytes) {
  const SignalsHeld held;
  std::filesystem::path folder = std::filesystem::path(list.path).parent_path();
  if (folder.empty())
    folder = ".";
  std::string scratch = (folder / ".quillsum-cli-XXXXXX").native();
  const UniqueFd fd(::mkostemp(scratch.data(), O_CLOEXEC));
  if (!fd)
    return errno;
  mode_t mode = list.info.st_mode & 07777;
  if (!list.exists) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask; // what a shell's "> LIST" would have made
  }
  int error = 0;
  if (!WriteAll(fd.get(), bytes) || ::fchmod(fd.get(), mode) != 0 ||
      (list.exists && ::fchown(fd.get(), list.info.st_uid, list.info.st_gid) != 0 &&
       errno != EPERM) ||
      ::fsync(fd.get()) != 0 || ::rename(scratch.c_str(), list.path.c_str()) != 0)
    error = errno;
  if (error != 0) {
    ::unlink(scratch.c_str());
    return error;
  }
  // The rename reaches the disk with the folder's own entries.
  const UniqueFd entries(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (entries)
    ::fsync(entries.get());
  return 0;
}

} // namespace

bool UpdateList(const Options &options, Output &output, Progress *progress) {
  const auto cannot = [&](int error) {
    output.Error("cannot update " + Failure(options.update, error));
    return false;
  };
  OldList list;
  if (const int error = Read(options.update, list))
    return cannot(error);
  const char end = options.zero ? '\0' : '\n';
  // Names seen: listed, or already added from an operand named twice.
  std::unordered_set<std::string> seen = NamesIn(list.bytes, end, options.method);

  bool ok = true;
  std::string added;
  const LineStyle style{TagOf(options.method), options.tag, options.binary, options.zero};
  const auto fail = [&](const std::string &name, int error) {
    output.Error(Failure(name, error));
    ok = false;
  };
  const Pipeline::Then add = [&](const std::string &name, const Digest &digest) {
    if (digest.hex.empty()) {
      fail(name, digest.error);
    } else {
      const std::string line = DigestLine(digest.hex, name, style);
      output.Out(line);
      added += line;
    }
  };
  {
    Pipeline pipeline(options.jobs, options.method, progress, output);
    ForEachFile(
        options.operands, options.recursive, options.excluded,
        [&](std::string name, bool walked) {
          if (!seen.insert(NormalName(name)).second)
            return true;
          struct stat info {};
          // Whatever stat cannot see is left to fail as md5sum would fail to read it.
          if (::stat(name.c_str(), &info) == 0) {
            if (list.exists && info.st_dev == list.info.st_dev && info.st_ino == list.info.st_ino)
              return true;
            if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
              pipeline.Add([&fail, name] { fail(name, kNotRegular); });
              return true;
            }
          }
          pipeline.Add(std::move(name), std::ref(add),
                       walked ? Job::Origin::Walked : Job::Origin::Named);
          return true;
        },
        [&](const std::string &dir, int error) {
          pipeline.Add([&fail, dir, error] { fail(dir, error); });
        });
    pipeline.Finish();
  }
  if (added.empty())
    return ok;
  output.Flush();
  // The old bytes stay as they are; a last line without its end gets one before the new lines.
  std::string bytes = std::move(list.bytes);
  if (!bytes.empty() && bytes.back() != end)
    bytes += end;
  bytes += added;
  if (const int error = Replace(list, bytes))
    return cannot(error);
  return ok;
}

} // namespace quillsum::cli
