// --dedupe and --hardlink: the space of each group's other files given back, a member at a time,
// each done whole or not at all. Sharing leaves the judging to the kernel, which locks both files
// and compares their bytes itself. Linking takes a name away from a file, so everything that can
// be checked is checked before, the member's name is swapped for the first file's in one step,
// and the old file, still open, is checked once more after, with a way back.

#include "cli/modes/Reclaim.h"

#include "cli/modes/Attributes.h"

#include "cli/SignalsHeld.h"
#include "cli/lists/Quote.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/loop/FileDigest.h"
#include "cli/modes/Names.h"

#include "engine/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// Opened without waiting: a name that has become a FIFO since must not block the run.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
// The most members one FIDEDUPERANGE takes: its arguments must fit in a page.
constexpr std::size_t kMostPerCall = 127;
// Of each file, the bytes compared at a time, and the extents FIEMAP is asked for at a time.
constexpr std::size_t kPiece = 1 << 20;
constexpr unsigned kExtents = 64;
// What the files of one FIDEDUPERANGE may have asked of the disk ahead, all together; and the most
// the kernel reads ahead for one request, a device's read-ahead window (128 KiB by default).
constexpr std::uint64_t kReadAhead = 64 << 20, kAskStep = 128 << 10;

bool SameTime(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether a file opened now is the one seen when its group was made, of the same size; with
// times, also neither written nor touched since (its modification and change times).
bool AsSeen(const struct stat &now, const Member &seen, bool times) {
  return now.st_dev == seen.device && now.st_ino == seen.inode &&
         static_cast<std::uint64_t>(now.st_size) == seen.size &&
         (!times || (SameTime(now.st_mtim, seen.mtime) && SameTime(now.st_ctim, seen.ctime)));
}

// A regular file opened through the process's descriptor budget, as fstat saw it then.
struct Opened {
  DescriptorBudget::Held fd;
  struct stat info {};
  Outcome failure; // when it is not open: Failed or NotRegular
  explicit operator bool() const { return static_cast<bool>(fd); }
  bool FailedWith(int error) const {
    const auto *failed = std::get_if<Failed>(&failure);
    return failed && failed->error == error;
  }
};

Opened OpenFile(const char *name, int flags, int folder = AT_FDCWD) {
  Opened opened;
  // This thread holds the other files of the act, which only it can close: it does not wait.
  opened.fd = DescriptorBudget::OfProcess().Acquire(
      [&] { return ::openat(folder, name, kOpenFlags | flags); }, false);
  if (!opened.fd || ::fstat(opened.fd.get(), &opened.info) != 0)
    opened.failure = Failed{errno};
  else if (!S_ISREG(opened.info.st_mode))
    opened.failure = NotRegular{};
  if (!std::holds_alternative<NothingToRead>(opened.failure))
    opened.fd.Close();
  return opened;
}

// For tests: the shell command QUILLSUM_BEFORE_ACT, run with a member's name as $1 at the last
// moment before the act on it, when a change to the member is the hardest to catch.
void BeforeAct(const char *name) {
  static const char *const command = std::getenv("QUILLSUM_BEFORE_ACT");
  if (!command || !*command)
    return;
  const char *argv[] = {"sh", "-c", command, "sh", name, nullptr};
  pid_t child = 0;
  if (::posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv),
                    environ) == 0)
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Asks the disk for a range of an open file without waiting for it, a step at a time.
void AskAhead(int fd, std::uint64_t from, std::uint64_t length) {
  for (std::uint64_t at = from; at < from + length; at += kAskStep)
    ::posix_fadvise(fd, static_cast<off_t>(at), kAskStep, POSIX_FADV_WILLNEED);
}

// Whether FIEMAP tells, cheaply (nothing is flushed for it), that a member's bytes already are
// the first file's: the same extents on the disk at the same offsets, each marked shared.
bool AlreadyShared(int first, int member) {
  constexpr std::size_t kWords = (sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / 8 + 1;
  std::vector<std::uint64_t> firstRoom(kWords), memberRoom(kWords);
  const auto ask = [](int fd, std::uint64_t from, std::vector<std::uint64_t> &room) {
    std::fill(room.begin(), room.end(), 0);
    auto *map = reinterpret_cast<fiemap *>(room.data());
    map->fm_start = from;
    map->fm_length = FIEMAP_MAX_OFFSET - from;
    map->fm_extent_count = kExtents;
    return ::ioctl(fd, FS_IOC_FIEMAP, map) == 0 ? map : nullptr;
  };
  // Extents whose place is not yet known or not the data's own say nothing either way.
  constexpr std::uint32_t kUnsure = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                    FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_DATA_ENCRYPTED |
                                    FIEMAP_EXTENT_NOT_ALIGNED | FIEMAP_EXTENT_DATA_INLINE |
                                    FIEMAP_EXTENT_DATA_TAIL | FIEMAP_EXTENT_UNWRITTEN;
  for (std::uint64_t from = 0;;) {
    const fiemap *a = ask(first, from, firstRoom), *b = ask(member, from, memberRoom);
    if (!a || !b || a->fm_mapped_extents == 0 || a->fm_mapped_extents != b->fm_mapped_extents)
      return false;
    for (std::uint32_t k = 0; k < a->fm_mapped_extents; ++k) {
      const fiemap_extent &x = a->fm_extents[k], &y = b->fm_extents[k];
      if (x.fe_logical != y.fe_logical || x.fe_physical != y.fe_physical ||
          x.fe_length != y.fe_length || x.fe_flags != y.fe_flags ||
          !(x.fe_flags & FIEMAP_EXTENT_SHARED) || (x.fe_flags & kUnsure))
        return false;
    }
    const fiemap_extent &last = a->fm_extents[a->fm_mapped_extents - 1];
    if (last.fe_flags & FIEMAP_EXTENT_LAST)
      return true;
    from = last.fe_logical + last.fe_length;
  }
}

// A new name in folder for the open file, of the pattern of --update's scratch files, which walks
// never give; the name, or "" with errno.
std::string LinkScratch(int file, int folder) {
  static std::mt19937_64 random(std::random_device{}());
  constexpr std::string_view kLetters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::string proc = "/proc/self/fd/" + std::to_string(file);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name(kScratchName);
    for (char &c : name)
      if (c == 'X')
        c = kLetters[random() % kLetters.size()];
    // The open file itself, whatever its name leads to now: by its descriptor where the caller
    // may (CAP_DAC_READ_SEARCH), else through /proc.
    if (::linkat(file, "", folder, name.c_str(), AT_EMPTY_PATH) == 0 ||
        (errno == ENOENT &&
         ::linkat(AT_FDCWD, proc.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0))
      return name;
    if (errno != EEXIST)
      return {};
  }
  return {};
}

// Removes name from folder if it still leads to the file seen: false with errno if not.
bool RemoveName(int folder, const std::string &name, const struct stat &seen) {
  struct stat now {};
  if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) {
    errno = EEXIST;
    return false;
  }
  return ::unlinkat(folder, name.c_str(), 0) == 0;
}

class Reclaimer {
public:
  Reclaimer(Output &output, Progress *progress) : output_(output), progress_(progress) {}

  // Offers each other member to the kernel, to share the first file's extents.
  void Share(const Group &group);
  // Makes each other member another name of the first file.
  void Link(const Group &group);
  // The line that tells what was done.
  void Tell(Options::Reclaim reclaim);
  bool ok() const { return ok_; }

private:
  // A member offered to the kernel, with how much of it is shared so far.
  struct Offered {
    const Member *member;
    Opened file;
    std::uint64_t shared = 0;
    bool going = true;
  };

  bool Offer(const Opened &source, std::uint64_t size, std::vector<Offered> &batch);
  void Refused(Offered &offered, int error);
  void LinkMember(const Opened &source, const Member &member);
  const char *Refusal(const Opened &source, const Opened &file, const Member &seen, int &error);
  bool SameBytes(int a, int b, std::uint64_t size, int &error);

  void Fail(const std::string &line) {
    output_.Error(line);
    ok_ = false;
  }
  void Changed(const char *name) {
    Fail(QuoteName(name) + ": changed since compared, left as it was");
  }
  void NotLinked(const char *name, std::string_view reason) {
    Fail(QuoteName(name) + ": not linked: " + std::string(reason));
  }
  void GroupLeft(const char *first, std::string_view reason) {
    Fail(QuoteName(first) + ": " + std::string(reason) + ", the rest of its group left as it was");
  }
  void Ended(std::uint64_t bytes) {
    if (progress_) {
      progress_->Read(bytes);
      progress_->FileDone();
    }
  }

  Output &output_;
  Progress *const progress_;
  std::vector<std::uint8_t> pieces_[2]; // for comparing, once needed
  std::uint64_t files_ = 0, bytes_ = 0, already_ = 0;
  bool ok_ = true;
};

void Reclaimer::Share(const Group &group) {
  const Member &first = group.front();
  const Opened source = OpenFile(first.name, 0);
  if (!source)
    return Fail(*FailureOf(first.name, source.failure));
  if (!AsSeen(source.info, first, false))
    return GroupLeft(first.name, "changed since compared");
  // The first file and a batch of members open at once, within the budget.
  const std::size_t most =
      std::clamp<std::size_t>(DescriptorBudget::OfProcess().Capacity() - 1, 1, kMostPerCall);
  std::vector<Offered> batch;
  for (auto next = group.begin() + 1; next != group.end();) {
    batch.clear();
    while (next != group.end() && batch.size() < most) {
      Opened file = OpenFile(next->name, 0);
      if ((file.FailedWith(EMFILE) || file.FailedWith(ENFILE)) && !batch.empty())
        break; // opened again once the batch is closed
      const Member &member = *next++;
      if (!file) {
        Fail(*FailureOf(member.name, file.failure));
        Ended(0);
      } else if (!AsSeen(file.info, member, false)) {
        Changed(member.name);
        Ended(0);
      } else if (AlreadyShared(source.fd.get(), file.fd.get())) {
        ++already_;
        Ended(member.size);
      } else {
        batch.push_back({&member, std::move(file)});
      }
    }
    if (!Offer(source, first.size, batch))
      return GroupLeft(first.name, "changed since compared");
  }
}

// Offers the batch's members, open, to the kernel, the first file's whole length each, a window at
// a time, until each is shared to its end or refused; false when the first file changed meanwhile.
bool Reclaimer::Offer(const Opened &source, std::uint64_t size, std::vector<Offered> &batch) {
  for (const Offered &offered : batch)
    BeforeAct(offered.member->name);
  std::vector<std::uint64_t> room(
      (sizeof(file_dedupe_range) + batch.size() * sizeof(file_dedupe_range_info)) / 8 + 1);
  auto *const range = reinterpret_cast<file_dedupe_range *>(room.data());
  for (;;) {
    // The kernel may share less than asked: the members still going, shared as far as the
    // first of them, go on together.
    std::vector<Offered *> call;
    for (Offered &offered : batch)
      if (offered.going && (call.empty() || offered.shared == call.front()->shared))
        call.push_back(&offered);
    if (call.empty())
      return true;
    // The kernel reads each page it compares that is not in memory on its own, one at a time:
    // each file's window is asked of the disk first, and its next one too, read meanwhile.
    const std::uint64_t at = call.front()->shared;
    const std::uint64_t window =
        std::max<std::uint64_t>(kReadAhead / 2 / (call.size() + 1) / kAskStep, 1) * kAskStep;
    std::fill(room.begin(), room.end(), 0);
    range->src_offset = at;
    range->src_length = std::min(size - at, window);
    range->dest_count = static_cast<std::uint16_t>(call.size());
    AskAhead(source.fd.get(), at, 2 * window);
    for (std::size_t k = 0; k < call.size(); ++k) {
      range->info[k].dest_fd = call[k]->file.fd.get();
      range->info[k].dest_offset = at;
      AskAhead(call[k]->file.fd.get(), at, 2 * window);
    }
    if (::ioctl(source.fd.get(), FIDEDUPERANGE, range) != 0) {
      // A length past the first file's end fails the whole call; anything else is the file
      // system's refusal, of every member alike (EOPNOTSUPP).
      const int error = errno;
      struct stat now {};
      if (::fstat(source.fd.get(), &now) == 0 && static_cast<std::uint64_t>(now.st_size) != size)
        return false;
      for (Offered *offered : call)
        Refused(*offered, error);
      continue;
    }
    for (std::size_t k = 0; k < call.size(); ++k) {
      const file_dedupe_range_info &info = range->info[k];
      Offered &offered = *call[k];
      if (info.status == FILE_DEDUPE_RANGE_SAME && info.bytes_deduped > 0) {
        offered.shared += info.bytes_deduped;
        bytes_ += info.bytes_deduped;
        if (progress_)
          progress_->Read(info.bytes_deduped);
        if (offered.shared >= size) {
          offered.going = false;
          ++files_;
          Ended(0);
        }
      } else if (info.status < 0) {
        Refused(offered, -info.status);
      } else { // different bytes, or none shared: its end is no longer the first file's
        offered.going = false;
        Changed(offered.member->name);
        Ended(0);
      }
    }
  }
}

void Reclaimer::Refused(Offered &offered, int error) {
  offered.going = false;
  // A length past a member's end is refused as invalid: it was cut short since.
  struct stat now {};
  if (error == EINVAL && ::fstat(offered.file.fd.get(), &now) == 0 &&
      static_cast<std::uint64_t>(now.st_size) != offered.member->size)
    Changed(offered.member->name);
  else
    Fail(QuoteName(offered.member->name) + ": cannot share its bytes: " + std::strerror(error));
  Ended(0);
}

void Reclaimer::Link(const Group &group) {
  const Member &first = group.front();
  const Opened source = OpenFile(first.name, O_NOFOLLOW);
  if (!source)
    return source.FailedWith(ELOOP) ? GroupLeft(first.name, "a symbolic link")
                                    : Fail(*FailureOf(first.name, source.failure));
  // As seen, but for the change time that this run's own links and renames move on.
  Member expected = first;
  expected.ctime = source.info.st_ctim;
  if (!AsSeen(source.info, first, true))
    return GroupLeft(first.name, "changed since compared");
  for (auto member = group.begin() + 1; member != group.end(); ++member) {
    struct stat now {};
    if (::fstat(source.fd.get(), &now) != 0 || !AsSeen(now, expected, true))
      return GroupLeft(first.name, "changed since compared");
    LinkMember(source, *member);
    Ended(member->size);
    if (::fstat(source.fd.get(), &now) == 0)
      expected.ctime = now.st_ctim;
  }
}

void Reclaimer::LinkMember(const Opened &source, const Member &member) {
  const std::string_view name = member.name;
  const std::size_t slash = name.rfind('/');
  const std::string folderName = slash == std::string_view::npos ? "."
                                 : slash == 0                    ? "/"
                                              : std::string(name.substr(0, slash));
  const std::string base(slash == std::string_view::npos ? name : name.substr(slash + 1));
  const DescriptorBudget::Held folder = DescriptorBudget::OfProcess().Open(
      folderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, false);
  if (!folder)
    return Fail(Failure(member.name, errno));
  // --update takes this lock before it removes the scratch names it finds in its list's folder.
  while (::flock(folder.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  const Opened file = OpenFile(base.c_str(), O_NOFOLLOW, folder.get());
  if (!file)
    return file.FailedWith(ELOOP) ? NotLinked(member.name, "a symbolic link")
                                  : Fail(*FailureOf(member.name, file.failure));
  int error = 0;
  if (const char *refusal = Refusal(source, file, member, error))
    return NotLinked(member.name, error ? std::strerror(error) : refusal);

  const SignalsHeld held;
  const std::string scratch = LinkScratch(source.fd.get(), folder.get());
  if (scratch.empty())
    return NotLinked(member.name, std::strerror(errno));
  const std::string shownScratch = folderName + "/" + scratch;
  BeforeAct(member.name);
  if (::renameat2(folder.get(), scratch.c_str(), folder.get(), base.c_str(), RENAME_EXCHANGE) !=
      0) {
    error = errno;
    if (!RemoveName(folder.get(), scratch, source.info))
      Fail(Failure(shownScratch, errno));
    return NotLinked(member.name, std::strerror(error));
  }
  // The member's name leads to the first file now, and its old file, named scratch, is checked
  // once more through the descriptor still open on it: a writer may have come since.
  struct stat moved {};
  struct stat now {};
  if (::fstatat(folder.get(), scratch.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
      moved.st_dev != file.info.st_dev || moved.st_ino != file.info.st_ino ||
      ::fstat(file.fd.get(), &now) != 0 || now.st_size != file.info.st_size ||
      !SameTime(now.st_mtim, file.info.st_mtim) ||
      !SameBytes(source.fd.get(), file.fd.get(), member.size, error)) {
    if (::renameat2(folder.get(), scratch.c_str(), folder.get(), base.c_str(), RENAME_EXCHANGE) !=
        0)
      return Fail(QuoteName(member.name) + ": changed since compared, and its own file is named " +
                  QuoteName(shownScratch) + " now: " + std::strerror(errno));
    if (!RemoveName(folder.get(), scratch, source.info))
      Fail(Failure(shownScratch, errno));
    return NotLinked(member.name, error ? std::strerror(error) : "changed since compared");
  }
  if (!RemoveName(folder.get(), scratch, file.info))
    Fail(Failure(shownScratch, errno));
  if (::fsync(folder.get()) != 0)
    Fail(Failure(folderName, errno));
  ++files_;
  // A file with other names keeps its bytes.
  if (file.info.st_nlink == 1)
    bytes_ += member.size;
}

// Why a member may not become another name of the first file, or null when it may: error says
// why when something could not be read.
const char *Reclaimer::Refusal(const Opened &source, const Opened &file, const Member &seen,
                               int &error) {
  const struct stat &a = source.info, &b = file.info;
  if (!AsSeen(b, seen, true))
    return "changed since compared";
  if (a.st_dev != b.st_dev)
    return "on another file system";
  if (a.st_ino == b.st_ino)
    return "already its group's first file";
  if (a.st_uid != b.st_uid)
    return "another owner";
  if (a.st_gid != b.st_gid)
    return "another group";
  if (a.st_mode != b.st_mode)
    return "another mode";
  const auto first = AttributesOf(source.fd.get());
  const auto other = first ? AttributesOf(file.fd.get()) : std::nullopt;
  if (!other) {
    error = errno;
    return "";
  }
  if (*first != *other)
    return "other extended attributes";
  if (!SameBytes(source.fd.get(), file.fd.get(), seen.size, error))
    return "changed since compared";
  return nullptr;
}

// Whether two open files hold the same size bytes now; error is set when a read failed.
bool Reclaimer::SameBytes(int a, int b, std::uint64_t size, int &error) {
  for (std::vector<std::uint8_t> &piece : pieces_)
    piece.resize(kPiece);
  for (std::uint64_t at = 0; at < size; at += kPiece) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size - at));
    const ssize_t gotA = ReadAt(a, pieces_[0].data(), want, at);
    const ssize_t gotB = gotA < 0 ? -1 : ReadAt(b, pieces_[1].data(), want, at);
    if (gotB < 0) {
      error = errno;
      return false;
    }
    if (gotA != gotB || static_cast<std::size_t>(gotA) != want ||
        std::memcmp(pieces_[0].data(), pieces_[1].data(), want) != 0)
      return false;
  }
  return true;
}

void Reclaimer::Tell(Options::Reclaim reclaim) {
  std::string line = reclaim == Options::Reclaim::Dedupe
                         ? "files now sharing the bytes of their group's first file: "
                         : "files now other names of their group's first file: ";
  line += std::to_string(files_) + " (" + Progress::Bytes(static_cast<double>(bytes_)) + ")";
  if (already_ > 0)
    line += ", and " + std::to_string(already_) +
            (already_ == 1 ? " that already was" : " that already were");
  output_.Error(line);
}

} // namespace

bool ReclaimSpace(Options::Reclaim reclaim, const std::vector<Group> &groups, Output &output,
                  Progress *progress) {
  if (progress) {
    progress->Stage(reclaim == Options::Reclaim::Dedupe ? "sharing" : "linking");
    std::uint64_t files = 0, bytes = 0;
    for (const Group &group : groups) {
      files += group.size() - 1;
      bytes += (group.size() - 1) * group.front().size;
    }
    progress->Expect(files, bytes);
    progress->Known();
  }
  Reclaimer reclaimer(output, progress);
  for (const Group &group : groups)
    if (reclaim == Options::Reclaim::Dedupe)
      reclaimer.Share(group);
    else
      reclaimer.Link(group);
  reclaimer.Tell(reclaim);
  return reclaimer.ok();
}

} // namespace quillsum::cli
