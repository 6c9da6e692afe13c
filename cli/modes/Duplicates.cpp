// --duplicates: files with the same bytes, found in stages that each read more of fewer files:
// their sizes (nothing read), their sampled fingerprints (16 KiB at most from the disk), the MD5
// of whole files (the hashing loop, in disk order on a spinning disk), then their bytes, as MD5
// collisions can be made at will. Each stage drops the files that no other can match any more.

#include "cli/Threads.h"
#include "cli/lists/Lines.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Walk.h"

#include "engine/Fingerprint.h"
#include "engine/UniqueFd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// Fingerprints whose pages are asked for ahead of the one taken: several reads in flight for
// flash, and the next one ready for a spinning disk's head.
constexpr std::size_t kFingerprintsAhead = 8;
// Each of two files is compared in pieces this large, when memory allows: few seeks where the
// pages are gone.
constexpr std::size_t kComparedPiece = 1 << 20, kSmallestPiece = 4096;

using Index = std::uint32_t; // of a file, in the order the walk met them

// Threads that compare files, two open at a time each: as many as the user allows and the
// descriptors the process may open leave room for, beside a few for standard streams and the like.
unsigned ComparingThreads(unsigned threads) {
  constexpr rlim_t kOtherFds = 16;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return threads;
  const rlim_t spare = limit.rlim_cur > kOtherFds ? limit.rlim_cur - kOtherFds : 0;
  return static_cast<unsigned>(std::clamp<rlim_t>(spare / 2, 1, threads));
}

// What is kept of a file: a few dozen bytes and its name, whatever its size.
struct File {
  std::uint64_t size;
  dev_t device;
  ino_t inode;
  std::size_t name;           // where its name starts in Duplicates::names_, ended by a NUL
  std::array<char, 32> hex{}; // its fingerprint, then its MD5
  bool walked;
};

// Whether two files hold the same bytes, read to their ends, or which one could not be read and
// why.
struct Verdict {
  enum { Same, Different, FirstFailed, SecondFailed } is;
  int error = 0;
};

class Duplicates {
public:
  Duplicates(const Options &options, Output &output, Progress *progress)
      : options_(options), output_(output), progress_(progress) {}

  bool Run() {
    Stage("sizes");
    std::vector<Index> left = Shared(Candidates(), false);
    Stage("fingerprints");
    left = Shared(Fingerprinted(left), true);
    Stage("digests");
    left = Shared(Hashed(left), true);
    Stage("bytes");
    Print(Grouped(left));
    return ok_.load();
  }

private:
  const char *Name(Index index) const { return names_.c_str() + files_[index].name; }

  // From any thread.
  void Fail(const std::string &name, int error) {
    output_.Error(Failure(name, error));
    ok_ = false;
  }

  void Stage(const char *name) {
    if (progress_)
      progress_->Stage(name);
  }
  void Expect(const std::vector<Index> &which, std::uint64_t most) {
    if (!progress_)
      return;
    std::uint64_t bytes = 0;
    for (Index index : which)
      bytes += std::min(files_[index].size, most);
    progress_->Expect(which.size(), bytes);
    progress_->Known();
  }
  void Done(std::uint64_t bytes) {
    if (progress_) {
      progress_->Read(bytes);
      progress_->FileDone();
    }
  }

  // The regular files the operands stand for, not empty, each file under the first name met.
  std::vector<Index> Candidates() {
    ForEachFile(
        options_.operands, options_.recursive, options_.excluded,
        [this](std::string name, bool walked) {
          struct stat info {};
          if ((walked ? ::lstat : ::stat)(name.c_str(), &info) != 0) {
            if (!walked || errno != ENOENT) // else gone since its folder was listed
              Fail(name, errno);
          } else if (S_ISDIR(info.st_mode)) {
            Fail(name, EISDIR);
          } else if (!S_ISREG(info.st_mode)) {
            if (!walked)
              Fail(name, kNotRegular);
          } else if (info.st_size > 0) {
            files_.push_back({static_cast<std::uint64_t>(info.st_size),
                              info.st_dev,
                              info.st_ino,
                              names_.size(),
                              {},
                              walked});
            names_.append(name) += '\0';
            Done(files_.back().size);
          }
          return true;
        },
        [this](const std::string &dir, int error) { Fail(dir, error); });
    std::vector<Index> all(files_.size());
    for (Index index = 0; index < all.size(); ++index)
      all[index] = index;
    std::sort(all.begin(), all.end(), [this](Index a, Index b) {
      return std::tie(files_[a].device, files_[a].inode, a) <
             std::tie(files_[b].device, files_[b].inode, b);
    });
    const auto second = std::unique(all.begin(), all.end(), [this](Index a, Index b) {
      return files_[a].device == files_[b].device && files_[a].inode == files_[b].inode;
    });
    all.erase(second, all.end());
    return all;
  }

  // The files of which has another with the same size (and hex, withHex), in walk order.
  std::vector<Index> Shared(std::vector<Index> which, bool withHex) const {
    const auto key = [&](const Index &index) {
      const File &file = files_[index];
      return std::tie(file.size, withHex ? file.hex : kNoHex, index);
    };
    std::sort(which.begin(), which.end(), [&](Index a, Index b) { return key(a) < key(b); });
    const auto same = [&](Index a, Index b) {
      return files_[a].size == files_[b].size && (!withHex || files_[a].hex == files_[b].hex);
    };
    std::vector<Index> shared;
    for (std::size_t start = 0, end; start < which.size(); start = end) {
      for (end = start + 1; end < which.size() && same(which[end], which[start]);)
        ++end;
      if (end - start > 1)
        shared.insert(shared.end(), which.begin() + static_cast<std::ptrdiff_t>(start),
                      which.begin() + static_cast<std::ptrdiff_t>(end));
    }
    std::sort(shared.begin(), shared.end());
    return shared;
  }

  UniqueFd Open(Index index) const {
    return UniqueFd(::open(Name(index), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  }

  // The fingerprints of which, taken in disk order on a spinning disk; those that fail are
  // reported and left out. Only the sampled pages are read: ahead of each fingerprint, in one
  // request, and with the file's read-ahead off, which would read a large file's first 128 KiB
  // or more for its 256 bytes.
  std::vector<Index> Fingerprinted(std::vector<Index> which) {
    Expect(which, kSampledBytes);
    Disks disks;
    std::vector<std::tuple<bool, dev_t, std::uint64_t, Index>> places;
    for (Index index : which) {
      const Disk disk = disks.Of(files_[index].device);
      std::uint64_t place = 0;
      struct stat info {};
      if (const UniqueFd fd = disk.spinning ? Open(index) : UniqueFd(-1);
          fd && ::fstat(fd.get(), &info) == 0)
        place = DiskOrder(fd.get(), info);
      places.emplace_back(disk.spinning, disk.id, place, index);
    }
    std::sort(places.begin(), places.end());
    std::vector<Index> taken;
    for (std::size_t k = 0, asked = 0; k < places.size(); ++k) {
      for (; asked < places.size() && asked <= k + kFingerprintsAhead; ++asked)
        if (const UniqueFd fd = Open(std::get<Index>(places[asked])))
          ::posix_fadvise(fd.get(), 0, kSampledBytes, POSIX_FADV_WILLNEED);
      const Index index = std::get<Index>(places[k]);
      if (Fingerprint(index))
        taken.push_back(index);
    }
    return taken;
  }

  bool Fingerprint(Index index) {
    File &file = files_[index];
    const UniqueFd fd = Open(index);
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
      Fail(Name(index), errno);
      return false;
    }
    if (!S_ISREG(info.st_mode)) { // since it was looked at
      if (!file.walked)
        Fail(Name(index), kNotRegular);
      return false;
    }
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
    std::array<std::uint8_t, kSampledBytes> head;
    std::size_t got = 0;
    while (got < head.size()) { // up to the end of the file
      const ssize_t read =
          ::pread(fd.get(), head.data() + got, head.size() - got, static_cast<off_t>(got));
      if (read == 0)
        break;
      if (read > 0) {
        got += static_cast<std::size_t>(read);
      } else if (errno != EINTR) {
        Fail(Name(index), errno);
        return false;
      }
    }
    const std::string digest = SampledFingerprint(std::span(head).first(got)).digest;
    std::copy(digest.begin(), digest.end(), file.hex.begin());
    Done(got);
    return true;
  }

  // The MD5s of which, through the hashing loop; those that fail are reported and left out.
  std::vector<Index> Hashed(const std::vector<Index> &which) {
    Expect(which, UINT64_MAX);
    hashed_.clear();
    Scheduler scheduler(options_.threads, Method::Md5, progress_, output_);
    for (Index index : which)
      // Walked: a name that is no longer a regular file is skipped, not waited for.
      scheduler.Add(
          Name(index),
          [this, index](const std::string &name, const Digest &digest) {
            if (digest.hex.size() != files_[index].hex.size())
              return Fail(name, digest.error);
            std::copy(digest.hex.begin(), digest.hex.end(), files_[index].hex.begin());
            hashed_.push_back(index);
          },
          Job::Origin::Walked);
    scheduler.Finish();
    return hashed_;
  }

  // Whether the files hold the same bytes. Both were read whole for their MD5 just before, so
  // their pages are most likely still in memory.
  Verdict Compare(Index first, Index second, std::span<std::uint8_t> pieces) const {
    const UniqueFd a = Open(first);
    if (!a)
      return {Verdict::FirstFailed, errno};
    const UniqueFd b = Open(second);
    if (!b)
      return {Verdict::SecondFailed, errno};
    const std::span<std::uint8_t> pieceA = pieces.first(pieces.size() / 2),
                                  pieceB = pieces.last(pieces.size() / 2);
    for (;;) {
      const ssize_t gotA = ReadPiece(a.get(), pieceA);
      if (gotA < 0)
        return {Verdict::FirstFailed, errno};
      const ssize_t gotB = ReadPiece(b.get(), pieceB);
      if (gotB < 0)
        return {Verdict::SecondFailed, errno};
      if (gotA != gotB ||
          std::memcmp(pieceA.data(), pieceB.data(), static_cast<std::size_t>(gotA)) != 0)
        return {Verdict::Different};
      if (gotA == 0)
        return {Verdict::Same};
    }
  }

  // Room for a piece of each of two files: as large as memory allows, down to the smallest
  // piece. Raises std::bad_alloc when even that cannot be had.
  static std::vector<std::uint8_t> Pieces() {
    for (std::size_t piece = kComparedPiece; piece > kSmallestPiece; piece /= 4)
      try {
        return std::vector<std::uint8_t>(2 * piece);
      } catch (const std::bad_alloc &) {
      }
    return std::vector<std::uint8_t>(2 * kSmallestPiece);
  }

  // Reads a piece whole, or up to the file's end; -1 on failure, with errno.
  static ssize_t ReadPiece(int fd, std::span<std::uint8_t> piece) {
    std::size_t size = 0;
    while (size < piece.size()) {
      const ssize_t got = ::read(fd, piece.data() + size, piece.size() - size);
      if (got == 0)
        break;
      if (got > 0)
        size += static_cast<std::size_t>(got);
      else if (errno != EINTR)
        return -1;
    }
    return static_cast<ssize_t>(size);
  }

  // Of which, the files whose bytes another has, each with the first file (in walk order) of
  // its group: files of one size and MD5 whose bytes differ make groups of their own. The runs of
  // one size and MD5 are compared on as many threads as the user allows.
  std::vector<std::pair<Index, Index>> Grouped(std::vector<Index> which) {
    Expect(which, UINT64_MAX);
    std::sort(which.begin(), which.end(), [this](Index a, Index b) {
      return std::tie(files_[a].size, files_[a].hex, a) <
             std::tie(files_[b].size, files_[b].hex, b);
    });
    std::vector<std::span<const Index>> runs;
    for (std::size_t start = 0, end; start < which.size(); start = end) {
      for (end = start + 1; end < which.size() &&
                            files_[which[end]].size == files_[which[start]].size &&
                            files_[which[end]].hex == files_[which[start]].hex;)
        ++end;
      runs.push_back(std::span(which).subspan(start, end - start));
    }
    std::vector<std::vector<std::pair<Index, Index>>> groupedRuns(runs.size());
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> outOfMemory = false; // a run is left half done: nothing can be told
    const auto compare = [&] {
      try {
        std::vector<std::uint8_t> pieces = Pieces();
        for (std::size_t run; (run = next++) < runs.size();)
          groupedRuns[run] = Split(runs[run], pieces);
      } catch (const std::bad_alloc &) {
        outOfMemory = true;
      }
    };
    std::vector<std::thread> threads;
    for (unsigned k = 1; k < ComparingThreads(options_.threads) && k < runs.size(); ++k)
      if (std::thread thread = StartThread(compare); thread.joinable())
        threads.push_back(std::move(thread));
    compare();
    for (std::thread &thread : threads)
      thread.join();
    if (outOfMemory)
      throw std::bad_alloc();
    std::vector<std::pair<Index, Index>> grouped;
    for (const auto &run : groupedRuns)
      grouped.insert(grouped.end(), run.begin(), run.end());
    std::sort(grouped.begin(), grouped.end());
    return grouped;
  }

  // The files of one size and MD5, in walk order, split into groups of equal bytes: each file
  // goes in the first group whose bytes it has, or in a group of its own. A group's first file
  // that can no longer be read leaves it to the next.
  std::vector<std::pair<Index, Index>> Split(std::span<const Index> run,
                                             std::span<std::uint8_t> pieces) {
    std::vector<std::vector<Index>> groups;
    for (Index index : run) {
      Done(files_[index].size);
      bool placed = false;
      for (std::size_t g = 0; g < groups.size() && !placed;) {
        const Verdict verdict = Compare(groups[g].front(), index, pieces);
        if (verdict.is == Verdict::Same) {
          groups[g].push_back(index);
          placed = true;
        } else if (verdict.is == Verdict::Different) {
          ++g;
        } else if (verdict.is == Verdict::FirstFailed) {
          Fail(Name(groups[g].front()), verdict.error);
          groups[g].erase(groups[g].begin());
          if (groups[g].empty())
            groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(g));
        } else {
          Fail(Name(index), verdict.error);
          placed = true;
        }
      }
      if (!placed)
        groups.push_back({index});
    }
    std::vector<std::pair<Index, Index>> grouped;
    for (const std::vector<Index> &group : groups)
      if (group.size() > 1)
        for (Index index : group)
          grouped.emplace_back(group.front(), index);
    return grouped;
  }

  void Print(const std::vector<std::pair<Index, Index>> &grouped) {
    const LineStyle style{TagOf(Method::Md5), options_.tag, options_.binary, options_.zero};
    const std::string between(1, options_.zero ? '\0' : '\n');
    for (std::size_t k = 0; k < grouped.size(); ++k) {
      if (k > 0 && grouped[k].first != grouped[k - 1].first)
        output_.Out(between);
      const File &file = files_[grouped[k].second];
      output_.Out(DigestLine({file.hex.data(), file.hex.size()}, Name(grouped[k].second), style));
    }
  }

  static constexpr std::array<char, 32> kNoHex{};

  const Options &options_;
  Output &output_;
  Progress *const progress_;
  std::vector<File> files_;
  std::string names_;
  std::vector<Index> hashed_; // by the hashing loop's thread handing on, in walk order
  std::atomic<bool> ok_ = true;
};

} // namespace

bool FindDuplicates(const Options &options, Output &output, Progress *progress) {
  return Duplicates(options, output, progress).Run();
}

} // namespace quillsum::cli
