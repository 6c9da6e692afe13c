#include "cli/modes/UpdatedList.h"

#include "cli/SignalsHeld.h"
#include "cli/lists/CheckList.h"
#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/modes/Attributes.h"
#include "cli/modes/Names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Symbolic links followed from the list's name, as the kernel allows.
constexpr int kMostLinks = 40;
// Times the new list is written again because another program appended to the old one meanwhile.
constexpr int kMostAttempts = 100;
// After the rename, the old list is looked at every kLookEvery microseconds until it was still at
// kStillLooks looks in a row, or kMostLooks were made.
constexpr useconds_t kLookEvery = 2000;
constexpr int kStillLooks = 3, kMostLooks = 500;

// The file a name leads to, its symbolic links followed even where the last one leads nowhere.
// Gives 0, or the errno of the failure.
int FollowLinks(const std::string &name, std::string &path) {
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

} // namespace

namespace {

// Why a list is not updated, in words.
std::string Reason(int error) {
  switch (error) {
  case UpdatedList::kNotAFile:
    return "Not a regular file";
  case UpdatedList::kOtherLinks:
    return "it has other hard links, which a new copy would leave with the old one";
  case UpdatedList::kOtherOwner:
    return "it belongs to another user, whom a new copy could not keep as its owner";
  case UpdatedList::kChangedMeanwhile:
    return "another program changed it meanwhile";
  case UpdatedList::kReplacedMeanwhile:
    return "another program replaced it meanwhile";
  case UpdatedList::kAttributesNotKept:
    return "its extended attributes (an ACL, say) cannot be given to a new copy";
  default:
    return std::strerror(error);
  }
}

} // namespace

std::string UpdatedList::CannotUpdate(const std::string &name, int error) {
  return "cannot update " + Failure(name, Reason(error));
}

std::string UpdatedList::NotUpdated(const std::string &name, int error) {
  return QuoteName(name) + " was not updated: " + Reason(error);
}

int UpdatedList::Resolve(const std::string &name, char end) {
  end_ = end;
  if (const int error = FollowLinks(name, path_))
    return error;
  const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
  folder_ = folder.empty() ? std::string(".") : folder.native();
  return 0;
}

int UpdatedList::Writable() const {
  if (::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT)
    return errno;
  return 0;
}

// Every run updating a list in the folder takes the same lock, so none renames over lines
// another added. Without read access to the folder there is no lock, and the bytes' check alone
// holds.
int UpdatedList::Open(Method method) {
  locked_ = UniqueFd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (locked_)
    while (::flock(locked_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  if (const int error = OpenList())
    return error == ENOENT ? 0 : error;
  return ReadIndex(method);
}

void UpdatedList::RemoveStaleScratch(Output &output) const {
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

bool UpdatedList::Is(const struct stat &info) const {
  return exists() && info.st_dev == info_.st_dev && info.st_ino == info_.st_ino;
}

bool UpdatedList::Read(std::uint64_t at, std::uint64_t end, std::string &bytes) const {
  bytes.assign(end - at, '\0');
  return ReadAt(fd_.get(), bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size());
}

int UpdatedList::Replace(std::vector<Splice> &splices, const std::string &added) {
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
      struct stat now {};
      struct stat named {};
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

// Opens the list and looks at what it is. Gives 0, or the errno or reason it cannot be updated.
int UpdatedList::OpenList() {
  fd_ = OpenForReading(path_);
  if (!fd_)
    return errno;
  if (::fstat(fd_.get(), &info_) != 0)
    return errno;
  if (!S_ISREG(info_.st_mode))
    return kNotAFile;
  if (info_.st_nlink > 1)
    return kOtherLinks;
  // The new copy is the caller's: only root can give it the owner the list had.
  if (info_.st_uid != ::geteuid() && ::geteuid() != 0)
    return kOtherOwner;
  return 0;
}

// Reads the list from its start to its end: the names it lists, where its times lines are, and
// the MD5 of its bytes. Gives 0, or the errno of the failure.
int UpdatedList::ReadIndex(Method method) {
  ListParser parser(TagOf(method));
  ListedFile file;
  std::string line;
  std::optional<Timed> pending;
  bool first = true;
  const auto take = [&](std::uint64_t at, std::uint64_t next) {
    if (std::exchange(first, false))
      crlf_ = end_ == '\n' && line.ends_with('\r');
    if (FileTimes times; ReadTimesLine(line, times.size, times.mtime)) {
      pending = Timed{at, 0, 0, times};
      return;
    }
    if (parser.Parse(line, file) != ListParser::Line::Listed)
      return;
    const std::string normal = NormalName(file.name);
    std::uint32_t head = kUntimed;
    const bool known = names_.Find(normal, head);
    if (!pending) {
      if (!known)
        names_.Add(normal, kUntimed);
      return;
    }
    // A name listed again (lists put together): each of its timed entries, in a chain.
    const auto timed = static_cast<std::uint32_t>(timed_.size());
    timed_.push_back({pending->timesAt, at, next, pending->times});
    pending.reset();
    if (!known)
      names_.Add(normal, timed);
    else if (head == kUntimed)
      names_.Set(normal, timed);
    else {
      while (timed_[head].next != kUntimed)
        head = timed_[head].next;
      timed_[head].next = timed;
    }
  };
  std::vector<std::uint8_t> chunk(kChunk);
  std::uint64_t lineAt = 0;
  md5_.MD5Init();
  for (;;) {
    const ssize_t got = ReadAt(fd_.get(), chunk.data(), chunk.size(), size_);
    if (got < 0)
      return errno;
    if (got == 0)
      break;
    md5_.MD5Update(static_cast<std::int32_t>(got), chunk);
    const auto *bytes = reinterpret_cast<const char *>(chunk.data());
    for (std::size_t k = 0, size = static_cast<std::size_t>(got); k < size;) {
      const auto *found = static_cast<const char *>(std::memchr(bytes + k, end_, size - k));
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

std::string UpdatedList::Ended(std::string lines) const {
  if (!crlf_)
    return lines;
  std::string ended;
  ended.reserve(lines.size() + lines.size() / 32);
  for (const char c : lines) {
    if (c == '\n')
      ended += '\r';
    ended += c;
  }
  return ended;
}

// What was appended to the old list between the last look and the rename goes on the new one. A
// writer that opened the old list before the rename may write to it a moment after: unless a read
// lease shows that no one has it open for writing, the old list is watched until it has been
// still for a while.
void UpdatedList::KeepLateLines(std::uint64_t copied) {
  const UniqueFd list(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (!list)
    return;
  const bool noWriter = ::fcntl(fd_.get(), F_SETLEASE, F_RDLCK) == 0;
  if (noWriter)
    ::fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
  const int stillLooks = noWriter ? 1 : kStillLooks;
  for (int look = 0, still = 0; look < kMostLooks && still < stillLooks; ++look) {
    struct stat now {};
    if (::fstat(fd_.get(), &now) != 0)
      break;
    if (static_cast<std::uint64_t>(now.st_size) > copied) {
      std::string late(static_cast<std::size_t>(now.st_size) - copied, '\0');
      const ssize_t got = ReadAt(fd_.get(), late.data(), late.size(), copied);
      if (got <= 0)
        break;
      late.resize(static_cast<std::size_t>(got));
      WriteAll(list.get(), late);
      copied += static_cast<std::uint64_t>(got);
      still = 0;
    } else {
      ++still;
    }
    if (still < stillLooks)
      ::usleep(kLookEvery);
  }
  ::fsync(list.get());
}

// The new list's bytes into out; copied is how many of the old list's were read.
int UpdatedList::Write(int out, const std::vector<Splice> &splices, const std::string &added,
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
      if (at < size_)
        md5.MD5Update(static_cast<std::int32_t>(std::min(at + size, size_) - at), chunk);
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
    if (at < size_ || (size_ > 0 && md5.GetValues() != md5_.GetValues()))
      return kChangedMeanwhile;
  }
  copied = at;
  if (endless)
    buffer += Ended(std::string(1, end_));
  buffer += Ended(added);
  if (!WriteAll(out, buffer))
    return errno;
  mode_t mode = info_.st_mode & 07777;
  if (!exists()) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask; // what a shell's ">> LIST" would have made
  }
  if (::fchmod(out, mode) != 0 || (exists() && ::fchown(out, info_.st_uid, info_.st_gid) != 0))
    return errno;
  if (exists() && !CopyAttributes(fd_.get(), out))
    return kAttributesNotKept;
  return ::fsync(out) != 0 ? errno : 0;
}

} // namespace quillsum::cli
