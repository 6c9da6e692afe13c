#include "cli/CheckList.h"
#include "cli/Lines.h"
#include "cli/Modes.h"
#include "cli/NameTable.h"
#include "cli/Pipeline.h"
#include "cli/Quote.h"
#include "cli/Walk.h"

#include "engine/MD5CLS.h"
#include "engine/UniqueFd.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Symbolic links followed from the list's name, as the kernel allows.
constexpr int kMostLinks = 40;
// Times the new list is written again because another program appended to the old one meanwhile.
constexpr int kMostAttempts = 100;

// The file a name leads to, its symbolic links followed even where the last one leads nowhere
// (a shell's ">>" creates the list there). Gives 0, or the errno of the failure.
int Resolve(const std::string &name, std::string &path) {
  path = name;
  for (int links = 0; links < kMostLinks; ++links) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
      return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(info.st_mode))
      return 0;
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0)
      return errno;
    target.resize(static_cast<std::size_t>(length));
    path = target.starts_with('/') ? target
                                   : (std::filesystem::path(path).parent_path() / target).native();
  }
  return ELOOP;
}

std::string FolderOf(const std::string &path) {
  const std::string folder = std::filesystem::path(path).parent_path().native();
  return folder.empty() ? "." : folder;
}

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

// Reads up to size bytes at offset; gives how many, fewer only at the end; -1 on failure.
ssize_t ReadAt(int fd, std::uint8_t *bytes, std::size_t size, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t read = ::pread(fd, bytes + got, size - got, static_cast<off_t>(offset + got));
    if (read == 0)
      break;
    if (read > 0)
      got += static_cast<std::size_t>(read);
    else if (errno != EINTR)
      return -1;
  }
  return static_cast<ssize_t>(got);
}

// What the list says, kept compactly: the lexically normal name of each file it lists and, for
// those whose line has a times line before it, where both lines are and the times. Not its bytes:
// the list is read again when the new one is written.
class ListIndex {
public:
  struct Timed {
    std::uint64_t timesAt = 0, lineAt = 0, linesEnd = 0; // the times line, the digest line, the end
    FileTimes times;
    bool refreshed = false; // hashed again by this run
  };
  static constexpr std::uint32_t kUntimed = std::numeric_limits<std::uint32_t>::max();

  // Reads the list from fd's start to its end. Gives 0, or the errno of the failure.
  int Read(int fd, char end, Method method) {
    ListParser parser(TagOf(method));
    ListedFile file;
    std::string line;
    std::optional<Timed> pending;
    const auto take = [&](std::uint64_t at, std::uint64_t next) {
      if (FileTimes times; ReadTimesLine(line, times.size, times.mtime)) {
        pending = Timed{at, 0, 0, times};
        return;
      }
      if (parser.Parse(line, file) != ListParser::Line::Listed)
        return;
      std::uint32_t timed = kUntimed;
      if (pending) {
        pending->lineAt = at;
        pending->linesEnd = next;
        timed = static_cast<std::uint32_t>(timed_.size());
        timed_.push_back(*pending);
        pending.reset();
      }
      Add(NormalName(file.name), timed);
    };
    std::vector<std::uint8_t> chunk(kChunk);
    std::uint64_t lineAt = 0;
    md5_.MD5Init();
    for (;;) {
      const ssize_t got = ReadAt(fd, chunk.data(), chunk.size(), size_);
      if (got < 0)
        return errno;
      if (got == 0)
        break;
      md5_.MD5Update(static_cast<std::int32_t>(got), chunk);
      const auto *bytes = reinterpret_cast<const char *>(chunk.data());
      for (std::size_t k = 0, size = static_cast<std::size_t>(got); k < size;) {
        const auto *found = static_cast<const char *>(std::memchr(bytes + k, end, size - k));
        const std::size_t until = found ? static_cast<std::size_t>(found - bytes) : size;
        line.append(bytes + k, until - k);
        k = until;
        if (!found)
          break;
        take(lineAt, size_ + ++k);
        line.clear();
        lineAt = size_ + k;
      }
      size_ += static_cast<std::uint64_t>(got);
    }
    if (!line.empty())
      take(lineAt, size_);
    md5_.MD5Final();
    return 0;
  }

  // How many bytes were read, and their MD5.
  std::uint64_t size() const { return size_; }
  std::string digest() const { return md5_.GetValues(); }
  bool hasTimes() const { return !timed_.empty(); }
  Timed &timed(std::uint32_t k) { return timed_[k]; }

  // The list's line for the name, kUntimed or an index for timed(); false if none.
  bool Find(std::string_view normal, std::uint32_t &timed) const {
    return names_.Find(normal, timed);
  }
  // A name, listed or added by this run; of a name listed twice, the first line counts.
  void Add(std::string_view normal, std::uint32_t timed = kUntimed) { names_.Add(normal, timed); }

private:
  NameTable names_;
  std::deque<Timed> timed_;
  std::uint64_t size_ = 0;
  MD5CLS md5_;
};

// The list's digest line with another digest in place of its own, in the same form and with the
// name as it was written. The line is given with its end, if it has one.
std::string WithDigest(std::string line, const std::string &hex) {
  std::size_t at = line.starts_with('\\') ? 1 : 0;
  const bool gnu = line.size() > at + hex.size() && line[at + hex.size()] == ' ' &&
                   std::all_of(line.begin() + static_cast<std::ptrdiff_t>(at),
                               line.begin() + static_cast<std::ptrdiff_t>(at + hex.size()),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!gnu) { // "TAG (name) = hex", then maybe a carriage return, then the end
    std::size_t last = line.size();
    while (last > 0 && (line[last - 1] == '\n' || line[last - 1] == '\0' || line[last - 1] == '\r'))
      --last;
    at = last - hex.size();
  }
  return line.replace(at, hex.size(), hex);
}

// Bytes of the old list replaced in the new one: [at, end) by lines.
struct Splice {
  std::uint64_t at = 0, end = 0;
  std::string lines;
};

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

// The list being updated, open and read while its folder is locked.
class List {
public:
  // How a list may not be written, or the errno; 0 when it may.
  static constexpr int kOtherLinks = -2, kOtherOwner = -3, kChangedMeanwhile = -4,
                       kReplacedMeanwhile = -5;

  List(std::string path, char end) : path_(std::move(path)), folder_(FolderOf(path_)), end_(end) {}

  // Refused before anything else, as a shell's ">>" would refuse it: a list the user may not
  // write. Gives 0, or the errno.
  int Writable() const {
    if (::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT)
      return errno;
    return 0;
  }

  // Locks the folder for this run's whole read, hash and rename: every run updating a list
  // there takes the same lock, so none renames over lines another added. Then reads the list;
  // a missing one is an empty one. Gives 0, or the errno of the failure.
  int Open(Method method) {
    locked_ = UniqueFd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Without read access to the folder there is no lock, and the bytes' check alone holds.
    if (locked_)
      while (::flock(locked_.get(), LOCK_EX) != 0 && errno == EINTR) {
      }
    if (const int error = OpenList())
      return error == ENOENT ? 0 : error;
    return index_.Read(fd_.get(), end_, method);
  }

  // Removes the scratch files that runs killed before their rename left in the folder. While the
  // folder is locked no run is writing one, so a file named as ours and owned by this user is
  // ours; another's is left, and said so.
  void RemoveStaleScratch(Output &output) const {
    if (!locked_)
      return;
    const std::unique_ptr<DIR, int (*)(DIR *)> folder(::opendir(folder_.c_str()), ::closedir);
    std::vector<std::string> stale;
    for (const dirent *entry; folder && (entry = ::readdir(folder.get()));)
      if (IsScratchName(entry->d_name))
        stale.push_back((std::filesystem::path(folder_) / entry->d_name).native());
    for (const std::string &name : stale) {
      struct stat info {};
      if (::lstat(name.c_str(), &info) != 0)
        continue;
      if (S_ISREG(info.st_mode) && info.st_uid == ::geteuid())
        ::unlink(name.c_str());
      else
        output.Error(QuoteName(name) + ": left in place: not this user's scratch file");
    }
  }

  ListIndex &index() { return index_; }
  int fd() const { return fd_.get(); }
  bool exists() const { return static_cast<bool>(fd_); }
  const struct stat &info() const { return info_; }

  // Makes the list the old one with the splices made and added after it: written to a scratch
  // file beside it, flushed to disk and renamed over it, so that the list is at every moment
  // either the old one or the new one whole. The list keeps its mode and owner. What another
  // program appends to the old list meanwhile is kept too. Gives 0, or the errno of the failure
  // or one of the reasons above.
  int Replace(std::vector<Splice> &splices, const std::string &added) {
    std::sort(splices.begin(), splices.end(),
              [](const Splice &a, const Splice &b) { return a.at < b.at; });
    const SignalsHeld held;
    for (int attempt = 0; attempt < kMostAttempts; ++attempt) {
      std::string scratch = (std::filesystem::path(folder_) / kScratchName).native();
      const UniqueFd out(::mkostemp(scratch.data(), O_CLOEXEC));
      if (!out)
        return errno;
      std::uint64_t copied = 0;
      // A list that was missing is an empty one: what another program wrote there since was
      // appended to it.
      int error = exists() ? 0 : OpenList();
      if (error == ENOENT)
        error = 0;
      if (error == 0)
        error = Write(out.get(), splices, added, copied);
      bool again = false;
      if (error == 0 && !exists()) {
        // Still missing? Another program may have created it since it was looked for.
        struct stat named {};
        again = ::stat(path_.c_str(), &named) == 0;
      } else if (error == 0) {
        // Written while the old list had these bytes: still so, and still the list's file?
        struct stat now {
        }, named{};
        if (::fstat(fd_.get(), &now) != 0 || ::stat(path_.c_str(), &named) != 0)
          error = errno;
        else if (named.st_dev != info_.st_dev || named.st_ino != info_.st_ino)
          error = kReplacedMeanwhile;
        else
          again = static_cast<std::uint64_t>(now.st_size) != copied;
      }
      if (error == 0 && !again && ::rename(scratch.c_str(), path_.c_str()) != 0)
        error = errno;
      if (error != 0 || again) {
        ::unlink(scratch.c_str());
        if (error != 0)
          return error;
        continue;
      }
      // What was appended to the old list between the look and the rename goes on the new one.
      if (exists())
        KeepLateLines(copied);
      // The rename reaches the disk with the folder's own entries.
      const UniqueFd entries(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (entries)
        ::fsync(entries.get());
      return 0;
    }
    return kChangedMeanwhile;
  }

private:
  void KeepLateLines(std::uint64_t copied) {
    struct stat now {};
    if (::fstat(fd_.get(), &now) != 0 || static_cast<std::uint64_t>(now.st_size) <= copied)
      return;
    std::string late(static_cast<std::size_t>(now.st_size) - copied, '\0');
    const ssize_t got =
        ReadAt(fd_.get(), reinterpret_cast<std::uint8_t *>(late.data()), late.size(), copied);
    const UniqueFd list(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (got > 0 && list) {
      late.resize(static_cast<std::size_t>(got));
      WriteAll(list.get(), late);
      ::fsync(list.get());
    }
  }

  // Opens the list and looks at what it is. Gives 0, or the errno or reason it cannot be updated.
  int OpenList() {
    fd_ = OpenForReading(path_);
    if (!fd_)
      return errno;
    if (::fstat(fd_.get(), &info_) != 0)
      return errno;
    if (!S_ISREG(info_.st_mode))
      return kNotRegular;
    if (info_.st_nlink > 1)
      return kOtherLinks;
    // The new copy is the caller's: only root can give it the owner the list had.
    if (info_.st_uid != ::geteuid() && ::geteuid() != 0)
      return kOtherOwner;
    return 0;
  }

  // The new list's bytes into out; copied is how many of the old list's were read.
  int Write(int out, const std::vector<Splice> &splices, const std::string &added,
            std::uint64_t &copied) {
    std::string buffer;
    bool endless = false; // what is written so far ends without a line's end
    const auto append = [&](std::string_view bytes) {
      if (bytes.empty())
        return true;
      buffer += bytes;
      endless = bytes.back() != end_;
      if (buffer.size() < kChunk)
        return true;
      const bool wrote = WriteAll(out, buffer);
      buffer.clear();
      return wrote;
    };
    // The old list's bytes from at, up to until (or its end), kept or not. Those read first
    // are checked against what was read then; what follows them is what another program
    // appended meanwhile.
    MD5CLS md5;
    md5.MD5Init();
    std::vector<std::uint8_t> chunk(kChunk);
    std::uint64_t at = 0;
    const auto copy = [&](std::uint64_t until, bool keep) {
      while (at < until) {
        const ssize_t got =
            ReadAt(fd_.get(), chunk.data(),
                   static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), until - at)), at);
        if (got <= 0)
          return got == 0;
        const auto size = static_cast<std::size_t>(got);
        if (at < index_.size())
          md5.MD5Update(static_cast<std::int32_t>(std::min(at + size, index_.size()) - at), chunk);
        at += size;
        if (keep && !append({reinterpret_cast<const char *>(chunk.data()), size}))
          return false;
      }
      return true;
    };
    constexpr std::uint64_t kToTheEnd = std::numeric_limits<std::uint64_t>::max();
    if (exists()) {
      for (const Splice &splice : splices)
        if (!copy(splice.at, true) || !copy(splice.end, false) || !append(splice.lines))
          return errno;
      if (!copy(kToTheEnd, true))
        return errno;
      md5.MD5Final();
      if (at < index_.size() || (index_.size() > 0 && md5.GetValues() != index_.digest()))
        return kChangedMeanwhile;
    }
    copied = at;
    if (endless)
      buffer += end_;
    buffer += added;
    if (!WriteAll(out, buffer))
      return errno;
    mode_t mode = info_.st_mode & 07777;
    if (!exists()) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask; // what a shell's ">> LIST" would have made
    }
    if (::fchmod(out, mode) != 0 || (exists() && ::fchown(out, info_.st_uid, info_.st_gid) != 0) ||
        ::fsync(out) != 0)
      return errno;
    return 0;
  }

  const std::string path_;
  const std::string folder_;
  const char end_;
  UniqueFd locked_{-1};
  UniqueFd fd_{-1};
  struct stat info_ {};
  ListIndex index_;
};

std::string Reason(int error) {
  switch (error) {
  case List::kOtherLinks:
    return "it has other hard links, which a new copy would leave with the old one";
  case List::kOtherOwner:
    return "it belongs to another user, whom a new copy could not keep as its owner";
  case List::kChangedMeanwhile:
    return "another program changed it meanwhile";
  case List::kReplacedMeanwhile:
    return "another program replaced it meanwhile";
  default:
    return {};
  }
}

} // namespace

bool UpdateList(const Options &options, Output &output, Progress *progress) {
  const auto cannot = [&](int error) {
    const std::string reason = Reason(error);
    output.Error(reason.empty() ? "cannot update " + Failure(options.update, error)
                                : "cannot update " + QuoteName(options.update) + ": " + reason);
    return false;
  };
  std::string path;
  if (const int error = Resolve(options.update, path))
    return cannot(error);
  const char end = options.zero ? '\0' : '\n';
  List list(path, end);
  if (const int error = list.Writable()) {
    output.Error(Failure(options.update, error)); // as a shell's ">>" says it
    return false;
  }
  if (const int error = list.Open(options.method))
    return cannot(error);
  list.RemoveStaleScratch(output);
  ListIndex &index = list.index();
  const bool times = options.times || index.hasTimes();

  bool ok = true;
  std::string added;
  std::vector<Splice> splices;
  const LineStyle style{TagOf(options.method), options.tag, options.binary, options.zero};
  const auto fail = [&](const std::string &name, int error) {
    output.Error(Failure(name, error));
    ok = false;
  };
  const Pipeline::Then add = [&](const std::string &name, const Digest &digest) {
    if (digest.hex.empty())
      return fail(name, digest.error);
    const std::string lines = PrintedLines(name, digest, style, times);
    output.Out(lines);
    added += lines;
  };
  // A listed file edited since its line: its times line and digest line, replaced where they are.
  const auto refresh = [&](std::uint32_t timed) {
    return [&, timed](const std::string &name, const Digest &digest) {
      if (digest.hex.empty())
        return fail(name, digest.error);
      const ListIndex::Timed &lines = index.timed(timed);
      std::string line(lines.linesEnd - lines.lineAt, '\0');
      if (ReadAt(list.fd(), reinterpret_cast<std::uint8_t *>(line.data()), line.size(),
                 lines.lineAt) != static_cast<ssize_t>(line.size()))
        return fail(options.update, errno);
      line = WithDigest(std::move(line), digest.hex);
      const std::string timesLine =
          digest.times ? TimesLine(digest.times->size, digest.times->mtime, options.zero) : "";
      output.Out(timesLine + line + (line.ends_with(end) ? "" : std::string(1, end)));
      splices.push_back({lines.timesAt, lines.linesEnd, timesLine + line});
    };
  };
  {
    Pipeline pipeline(options.jobs, options.method, progress, output);
    ForEachFile(
        options.operands, options.recursive, options.excluded,
        [&](std::string name, bool walked) {
          const std::string normal = NormalName(name);
          struct stat info {};
          // Whatever stat cannot see is left to fail as md5sum would fail to read it.
          const bool found = ::stat(name.c_str(), &info) == 0;
          if (std::uint32_t timed = 0; index.Find(normal, timed)) {
            // Listed: read again only when its times line says it was edited since.
            if (timed == ListIndex::kUntimed || !found || !S_ISREG(info.st_mode))
              return true;
            ListIndex::Timed &lines = index.timed(timed);
            if (lines.refreshed || FileTimes{info.st_size, info.st_mtim} == lines.times)
              return true;
            lines.refreshed = true;
            pipeline.Add(std::move(name), refresh(timed),
                         walked ? Job::Origin::Walked : Job::Origin::Named);
            return true;
          }
          if (found) {
            if (list.exists() && info.st_dev == list.info().st_dev &&
                info.st_ino == list.info().st_ino)
              return true;
            if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
              index.Add(normal);
              pipeline.Add([&fail, name] { fail(name, kNotRegular); });
              return true;
            }
          }
          index.Add(normal);
          pipeline.Add(std::move(name), std::ref(add),
                       walked ? Job::Origin::Walked : Job::Origin::Named);
          return true;
        },
        [&](const std::string &dir, int error) {
          pipeline.Add([&fail, dir, error] { fail(dir, error); });
        });
    pipeline.Finish();
  }
  if (added.empty() && splices.empty())
    return ok;
  output.Flush();
  if (const int error = list.Replace(splices, added))
    return cannot(error);
  return ok;
}

} // namespace quillsum::cli
