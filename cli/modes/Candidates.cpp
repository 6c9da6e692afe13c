#include "cli/modes/Candidates.h"

#include "cli/Threads.h"
#include "cli/lists/Quote.h"
#include "cli/loop/Outcome.h"
#include "cli/modes/Walk.h"

#include <algorithm>
#include <cerrno>
#include <tuple>

#include <sys/resource.h>
#include <sys/stat.h>

namespace quillsum::cli {
namespace {

// What a look at a file found: the errno of its failure (above 0), or one of these.
enum Look : std::int32_t { kRegular = 0, kUnlooked = -1, kDirectory = -2, kOther = -3 };

// Files are looked at this many at a time by a thread.
constexpr std::size_t kBunch = 64;

// The calling thread's waits so far: for the disk, among others; not the times it was preempted.
long Waits() {
  rusage usage{};
  return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : 0;
}

} // namespace

std::vector<Candidates::Index>
Candidates::Walk(const Options &options, unsigned threads, Disks &disks, bool keepTimes,
                 const std::function<void(const std::string &message)> &failed) {
  struct FolderFailure {
    std::size_t before; // the files met before it
    std::string message;
  };
  std::vector<FolderFailure> folderFailures;
  std::vector<std::int32_t> looks;
  WalkFiles(
      options.operands, options.recursive, options.excluded,
      [this](std::string_view prefix) { folders_.push_back(Store(prefix)); },
      [&](const Met &met) {
        const auto index = static_cast<Index>(files_.size());
        const auto folder =
            met.folder == kNoFolder ? kOperand : static_cast<std::uint32_t>(met.folder);
        files_.push_back({0, 0, 0, {}, Store(met.name), folder});
        looks.push_back(kUnlooked);
        if (keepTimes)
          times_.emplace_back();
        if (met.status)
          Take(index, *met.status, looks);
        return true;
      },
      [&](const std::string &dir, int error) {
        folderFailures.push_back({files_.size(), Failure(dir, error)});
      },
      nullptr);

  // The first files alone: where they waited for a spinning disk, the others are looked at in
  // turn, as the head goes.
  const std::size_t first = std::min(kBunch, files_.size());
  const long waits = Waits();
  LookAt(0, first, looks);
  if (Waits() != waits)
    for (Index k = 0; k < first; ++k)
      if (looks[k] == kRegular) {
        threads = disks.Of(files_[k].device).spinning ? 1 : threads;
        break;
      }
  InParallel(threads, (files_.size() - first + kBunch - 1) / kBunch, [&] {
    return [&](std::size_t bunch) {
      const std::size_t begin = first + bunch * kBunch;
      LookAt(begin, std::min(begin + kBunch, files_.size()), looks);
    };
  });

  std::vector<Index> all;
  auto folderFailure = folderFailures.begin();
  for (Index k = 0; k <= files_.size(); ++k) {
    for (; folderFailure != folderFailures.end() && folderFailure->before <= k; ++folderFailure)
      failed(folderFailure->message);
    if (k == files_.size())
      break;
    const std::int32_t look = looks[k];
    if (look > 0) {
      if (!Walked(k) || look != ENOENT) // else gone since its folder was listed
        failed(Failure(Name(k), look));
    } else if (look == kDirectory) {
      failed(Failure(Name(k), EISDIR));
    } else if (look == kOther) {
      if (!Walked(k))
        failed(*FailureOf(Name(k), NotRegular{}));
    } else if (files_[k].size > 0) {
      all.push_back(k);
    }
  }
  const auto key = [this](const Index &index) {
    return std::tie(files_[index].device, files_[index].inode, index);
  };
  std::sort(all.begin(), all.end(), [&](Index a, Index b) { return key(a) < key(b); });
  const auto second = std::unique(all.begin(), all.end(), [this](Index a, Index b) {
    return files_[a].device == files_[b].device && files_[a].inode == files_[b].inode;
  });
  all.erase(second, all.end());
  return all;
}

std::string Candidates::Name(Index index) const {
  const File &file = files_[index];
  std::string name(file.folder == kOperand ? "" : arena_.c_str() + folders_[file.folder]);
  return name += arena_.c_str() + file.name;
}

std::uint64_t Candidates::Store(std::string_view name) {
  const std::uint64_t at = arena_.size();
  arena_.append(name) += '\0';
  return at;
}

void Candidates::LookAt(std::size_t begin, std::size_t end, std::vector<std::int32_t> &looks) {
  for (auto k = static_cast<Index>(begin); k < end; ++k) {
    if (looks[k] != kUnlooked)
      continue;
    struct stat info {};
    if ((Walked(k) ? ::lstat : ::stat)(Name(k).c_str(), &info) != 0)
      looks[k] = errno;
    else
      Take(k, info, looks);
  }
}

void Candidates::Take(Index index, const struct stat &info, std::vector<std::int32_t> &looks) {
  if (S_ISDIR(info.st_mode)) {
    looks[index] = kDirectory;
  } else if (!S_ISREG(info.st_mode)) {
    looks[index] = kOther;
  } else {
    File &file = files_[index];
    file.size = static_cast<std::uint64_t>(info.st_size);
    file.device = info.st_dev;
    file.inode = info.st_ino;
    if (!times_.empty())
      times_[index] = {info.st_mtim, info.st_ctim};
    looks[index] = kRegular;
  }
}

} // namespace quillsum::cli
