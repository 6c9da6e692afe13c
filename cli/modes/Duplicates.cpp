// --duplicates: files with the same bytes, found in stages that each read more of fewer files:
// their sizes (nothing read), their sampled fingerprints (16 KiB at most from the disk), then
// their bytes, as MD5 collisions can be made at will, and the MD5 of one file of each group (the
// hashing loop); from a cold spinning disk, the MD5 of whole files in disk order before the bytes.
// Each stage drops the files that no other can match any more.

#include "cli/Threads.h"
#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Reclaim.h"
#include "cli/modes/Walk.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "engine/UniqueFd.h"

#include <optional>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// Fingerprints whose pages are asked for ahead of the one taken: several reads in flight for
// flash, and the next one ready for a spinning disk's head.
constexpr std::size_t kFingerprintsAhead = 8;
// Files are compared in pieces of up to kComparedPiece, smaller where a run has so many files that
// their pieces would take more than the comparing threads' share of kComparedBytes, down to
// kSmallestPiece.
constexpr std::size_t kComparedPiece = 1 << 20, kComparedBytes = 4 << 20, kSmallestPiece = 4096;

// Candidates are hashed first, in disk order, when more than this share of their bytes on
// spinning disks is not in memory: comparing reads the files of a run in turn, which would seek.
constexpr std::uint64_t kColdShare = 8;

using Index = std::uint32_t; // of a file, in the order the walk met them

// What is kept of a file: a few dozen bytes and its name, whatever its size.
struct File {
  std::uint64_t size;
  dev_t device;
  ino_t inode;
  timespec mtime, ctime; // for --dedupe and --hardlink to tell whether it changed since
  std::size_t name;      // where its name starts in Duplicates::names_, ended by a NUL
  DigestBytes digest{};  // its fingerprint, then its MD5
  bool walked;
};

class Duplicates {
public:
  Duplicates(const Options &options, Output &output, Progress *progress)
      : options_(options), output_(output), progress_(progress), threads_(options.threads),
        disks_(options.road) {}

  // When a share of the candidates are on spinning disks and not in memory (or QUILLSUM_ROAD=disk
  // says so), every candidate is hashed first, in disk order, so that the comparing finds them in
  // memory; else the bytes are compared first, and only one file of each group is hashed: its
  // digest is every other's.
  bool Run() {
    Stage("sizes");
    std::vector<Index> left = Shared(Candidates(), false);
    Stage("fingerprints");
    left = Shared(Fingerprinted(left), true);
    if (coldSpinning_) {
      Stage("digests");
      left = Shared(HashedRest(left), true);
    }
    Stage("bytes");
    std::vector<std::pair<Index, Index>> grouped = Grouped(left);
    if (!coldSpinning_) {
      Stage("digests");
      grouped = DigestedGroups(std::move(grouped));
    }
    Print(grouped);
    return options_.reclaim == Options::Reclaim::Nothing
               ? ok_.load()
               : ReclaimSpace(options_.reclaim, Groups(grouped), output_, progress_) && ok_;
  }

private:
  const char *Name(Index index) const { return names_.c_str() + files_[index].name; }

  // From any thread.
  void Fail(const std::string &name, int error) { Fail(Failure(name, error)); }
  void Fail(const std::string &message) {
    output_.Error(message);
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
        [this](std::string name, Origin origin) {
          const bool walked = origin == Origin::Walked;
          struct stat info {};
          if ((walked ? ::lstat : ::stat)(name.c_str(), &info) != 0) {
            if (!walked || errno != ENOENT) // else gone since its folder was listed
              Fail(name, errno);
          } else if (S_ISDIR(info.st_mode)) {
            Fail(name, EISDIR);
          } else if (!S_ISREG(info.st_mode)) {
            if (!walked)
              Fail(*FailureOf(name, NotRegular{}));
          } else if (info.st_size > 0) {
            files_.push_back({static_cast<std::uint64_t>(info.st_size),
                              info.st_dev,
                              info.st_ino,
                              info.st_mtim,
                              info.st_ctim,
                              names_.size(),
                              {},
                              walked});
            names_.append(name) += '\0';
            Done(files_.back().size);
          }
          return true;
        },
        [this](const std::string &dir, int error) { Fail(dir, error); }, nullptr);
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
      return std::tie(file.size, withHex ? file.digest : kNoDigest, index);
    };
    std::sort(which.begin(), which.end(), [&](Index a, Index b) { return key(a) < key(b); });
    const auto same = [&](Index a, Index b) {
      return files_[a].size == files_[b].size && (!withHex || files_[a].digest == files_[b].digest);
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

  // Through the descriptor budget: each thread holds at most one file at a time, so it may wait.
  DescriptorBudget::Held Open(Index index) const {
    return DescriptorBudget::OfProcess().Open(Name(index),
                                              O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }

  // Runs work(k) for each k below count on as many threads as the user and the descriptors allow,
  // this one among them; each thread's work is made by makeWork on that thread. A failed
  // allocation on any of them ends them all and is raised here, as nothing can be told.
  template <class MakeWork> void InParallel(std::size_t count, const MakeWork &makeWork) const {
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> outOfMemory = false;
    const auto run = [&] {
      try {
        auto work = makeWork();
        for (std::size_t k; !outOfMemory && (k = next++) < count;)
          work(k);
      } catch (const std::bad_alloc &) {
        outOfMemory = true;
      }
    };
    std::vector<Thread> threads;
    threads.reserve(threads_);
    try {
      for (unsigned k = 1; k < threads_ && k < count; ++k)
        if (Thread thread = StartThread(run); thread.joinable())
          threads.push_back(std::move(thread));
    } catch (const std::bad_alloc &) { // no memory to hand run to another thread: fewer do it
    }
    run();
    for (Thread &thread : threads)
      thread.join();
    if (outOfMemory)
      throw std::bad_alloc();
  }

  // The fingerprints of which; those that fail are reported and left out. Only the sampled pages
  // are read, with the file's read-ahead off, which would read a large file's first 128 KiB or
  // more for its 256 bytes. Files on spinning disks are asked where they lie and whether they are
  // in memory: when enough are not, their fingerprints are taken one at a time in disk order, the
  // next ones' pages asked for ahead; else on every thread, ahead of those that may be cold.
  std::vector<Index> Fingerprinted(const std::vector<Index> &which) {
    Expect(which, kSampledBytes);
    struct Place {
      bool spinning;
      dev_t disk;
      std::uint64_t place;
      Index index;
      bool inMemory;
      auto operator<=>(const Place &) const = default;
    };
    std::vector<Place> places(which.size());
    std::atomic<std::uint64_t> spinningBytes = 0, coldBytes = 0;
    InParallel(which.size(), [&] {
      return [&](std::size_t k) {
        const Index index = which[k];
        const Disk disk = disks_.Of(files_[index].device);
        places[k] = {disk.spinning, disk.id, 0, index, false};
        struct stat info {};
        if (const DescriptorBudget::Held fd =
                disk.spinning ? Open(index) : DescriptorBudget::Held();
            fd && ::fstat(fd.get(), &info) == 0) {
          places[k].inMemory = InMemory(fd.get(), info.st_size);
          if (!places[k].inMemory)
            places[k].place = DiskOrder(fd.get(), info);
          spinningBytes += files_[index].size;
          coldBytes += places[k].inMemory ? 0 : files_[index].size;
        }
      };
    });
    const Road forced = disks_.forced();
    coldSpinning_ = forced == Road::Disk ||
                    (forced == Road::Automatic && coldBytes > spinningBytes / kColdShare);
    if (coldSpinning_)
      std::sort(places.begin(), places.end());
    std::vector<char> taken(places.size(), 0);
    const auto fingerprint = [&](std::size_t k) {
      // Not on a spinning disk, whose head would leave what is read whole for them.
      if (const std::size_t ahead = k + kFingerprintsAhead;
          ahead < places.size() && !places[ahead].spinning && !places[ahead].inMemory)
        if (const DescriptorBudget::Held fd = Open(places[ahead].index))
          ::posix_fadvise(fd.get(), 0, kSampledBytes, POSIX_FADV_WILLNEED);
      taken[k] = Fingerprint(places[k].index);
    };
    if (coldSpinning_) {
      // One at a time in disk order, a file whose size and fingerprint one before it had hashed
      // whole at once, while the head is there: of each group only the first is read again.
      std::set<std::pair<std::uint64_t, DigestBytes>> met;
      for (std::size_t k = 0; k < places.size(); ++k) {
        fingerprint(k);
        const File &file = files_[places[k].index];
        if (taken[k] && !met.emplace(file.size, file.digest).second)
          taken[k] = HashedNow(places[k].index);
      }
    } else {
      InParallel(places.size(), [&] { return fingerprint; });
    }
    std::vector<Index> fingerprinted;
    for (std::size_t k = 0; k < places.size(); ++k)
      if (taken[k])
        fingerprinted.push_back(places[k].index);
    std::sort(fingerprinted.begin(), fingerprinted.end());
    return fingerprinted;
  }

  // Hashes a file whole, its MD5 kept apart until the digests' stage; false if it cannot be read.
  bool HashedNow(Index index) {
    std::optional<DigestBytes> digest;
    if (const DescriptorBudget::Held fd = Open(index)) {
      ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
      digest = ReadHex(MD5CLS().DigestFdToHexStr(fd.get()));
    }
    if (!digest) {
      Fail(Name(index), errno);
      return false;
    }
    hashedEarly_.emplace_back(index, *digest);
    return true;
  }

  bool Fingerprint(Index index) {
    File &file = files_[index];
    const DescriptorBudget::Held fd = Open(index);
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
      Fail(Name(index), errno);
      return false;
    }
    if (!S_ISREG(info.st_mode)) { // since it was looked at
      if (!file.walked)
        Fail(*FailureOf(Name(index), NotRegular{}));
      return false;
    }
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
    std::array<std::uint8_t, kSampledBytes> head;
    const ssize_t got = ReadAt(fd.get(), head.data(), head.size(), 0); // up to the file's end
    if (got < 0) {
      Fail(Name(index), errno);
      return false;
    }
    file.digest =
        *ReadHex(SampledFingerprint(std::span(head).first(static_cast<std::size_t>(got))).digest);
    Done(static_cast<std::uint64_t>(got));
    return true;
  }

  // The MD5s of which, through the hashing loop; those that fail are reported and left out.
  std::vector<Index> Hashed(const std::vector<Index> &which) {
    Expect(which, UINT64_MAX);
    hashed_.clear();
    Scheduler scheduler(LoopSettings(options_, progress_, false), output_);
    for (Index index : which)
      // Walked: a name that is no longer a regular file is skipped, not waited for.
      scheduler.Add(
          Name(index),
          [this, index](const std::string &name, const Outcome &outcome) {
            if (const auto *digested = std::get_if<Digested>(&outcome)) {
              files_[index].digest = digested->digest;
              hashed_.push_back(index);
            } else if (const std::optional<std::string> failure = FailureOf(name, outcome)) {
              Fail(*failure);
            }
          },
          Origin::Walked);
    scheduler.Finish();
    return hashed_;
  }

  // The MD5s of which: those hashed with the fingerprints as they were, the others through the
  // hashing loop.
  std::vector<Index> HashedRest(const std::vector<Index> &which) {
    std::sort(hashedEarly_.begin(), hashedEarly_.end());
    std::vector<Index> rest, early;
    auto next = hashedEarly_.begin();
    for (Index index : which) {
      while (next != hashedEarly_.end() && next->first < index)
        ++next;
      if (next != hashedEarly_.end() && next->first == index) {
        files_[index].digest = next->second;
        early.push_back(index);
      } else {
        rest.push_back(index);
      }
    }
    std::vector<Index> hashed = Hashed(rest);
    hashed.insert(hashed.end(), early.begin(), early.end());
    std::sort(hashed.begin(), hashed.end());
    return hashed;
  }

  // The groups with the MD5 of their first file given to all: a first file that cannot be read
  // now is reported, and its group goes on from its next file while two are left.
  std::vector<std::pair<Index, Index>>
  DigestedGroups(std::vector<std::pair<Index, Index>> grouped) {
    std::vector<char> hashed(files_.size(), 0);
    for (;;) {
      std::vector<Index> firsts;
      for (const auto &[first, file] : grouped)
        if (first == file && !hashed[first])
          firsts.push_back(first);
      if (firsts.empty())
        break;
      for (Index index : Hashed(firsts))
        hashed[index] = 1;
      std::vector<std::pair<Index, Index>> regrouped;
      for (std::size_t k = 0, end; k < grouped.size(); k = end) {
        for (end = k + 1; end < grouped.size() && grouped[end].first == grouped[k].first;)
          ++end;
        const std::size_t start = hashed[grouped[k].first] ? k : k + 1;
        if (end - start > 1)
          for (std::size_t n = start; n < end; ++n)
            regrouped.emplace_back(grouped[start].second, grouped[n].second);
      }
      std::sort(regrouped.begin(), regrouped.end());
      grouped = std::move(regrouped);
    }
    for (const auto &[first, file] : grouped)
      files_[file].digest = files_[first].digest;
    return grouped;
  }

  // Reads the piece of a file at `at` whole, or up to the file's end: the bytes read, or -1 on
  // failure, with errno.
  ssize_t ReadPiece(Index index, off_t at, std::span<std::uint8_t> piece) const {
    const DescriptorBudget::Held fd = Open(index);
    return fd ? ReadAt(fd.get(), piece.data(), piece.size(), static_cast<std::uint64_t>(at)) : -1;
  }

  // Of which, the files whose bytes another has, each with the first file (in walk order) of
  // its group: files of one size and MD5 whose bytes differ make groups of their own. The runs of
  // one size and MD5 are compared on as many threads as the user allows.
  std::vector<std::pair<Index, Index>> Grouped(std::vector<Index> which) {
    Expect(which, UINT64_MAX);
    std::sort(which.begin(), which.end(), [this](Index a, Index b) {
      return std::tie(files_[a].size, files_[a].digest, a) <
             std::tie(files_[b].size, files_[b].digest, b);
    });
    std::vector<std::span<const Index>> runs;
    for (std::size_t start = 0, end; start < which.size(); start = end) {
      for (end = start + 1; end < which.size() &&
                            files_[which[end]].size == files_[which[start]].size &&
                            files_[which[end]].digest == files_[which[start]].digest;)
        ++end;
      runs.push_back(std::span(which).subspan(start, end - start));
    }
    std::vector<std::vector<std::pair<Index, Index>>> groupedRuns(runs.size());
    InParallel(runs.size(), [&] {
      return [&, pieces = std::vector<std::vector<std::uint8_t>>()](std::size_t run) mutable {
        groupedRuns[run] = Split(runs[run], pieces);
      };
    });
    std::vector<std::pair<Index, Index>> grouped;
    for (const auto &run : groupedRuns)
      grouped.insert(grouped.end(), run.begin(), run.end());
    std::sort(grouped.begin(), grouped.end());
    return grouped;
  }

  // Makes room in pieces for count pieces of up to piece bytes, halving the piece while memory is
  // short, down to kSmallestPiece; gives the piece there is room for.
  static std::size_t Room(std::vector<std::vector<std::uint8_t>> &pieces, std::size_t count,
                          std::size_t piece) {
    for (;; piece = std::max(piece / 2, kSmallestPiece))
      try {
        if (pieces.size() < count)
          pieces.resize(count);
        for (std::size_t k = 0; k < count; ++k)
          if (pieces[k].size() < piece)
            pieces[k].resize(piece);
        return piece;
      } catch (const std::bad_alloc &) {
        if (piece == kSmallestPiece)
          throw;
      }
  }

  // The files of one size and hex, in walk order, split into groups of equal bytes, each file
  // read once, a piece at a time: a group's files are read at one place in turn, each going on in
  // the first new group whose first file's piece it matches, or starting one; a file alone in its
  // group is done with. A file that cannot be read is reported and left out. pieces: room the
  // calling thread keeps, a piece for each new group's first file and one for the file read.
  std::vector<std::pair<Index, Index>> Split(std::span<const Index> run,
                                             std::vector<std::vector<std::uint8_t>> &pieces) {
    std::vector<std::pair<Index, Index>> grouped;
    std::vector<std::vector<Index>> groups{{run.begin(), run.end()}}, next;
    std::size_t piece = std::clamp<std::size_t>(kComparedBytes / threads_ / (run.size() + 1),
                                                kSmallestPiece, kComparedPiece);
    for (off_t at = 0; !groups.empty(); at += static_cast<off_t>(piece), groups.swap(next)) {
      next.clear();
      std::size_t largest = 0;
      for (const std::vector<Index> &group : groups)
        largest = std::max(largest, group.size());
      piece = Room(pieces, largest + 1, piece);
      for (const std::vector<Index> &group : groups) {
        const std::size_t first = next.size();
        std::vector<std::size_t> sizes; // of each new group's first piece
        for (Index index : group) {
          const std::size_t slot = next.size() - first;
          const ssize_t got = ReadPiece(index, at, std::span(pieces[slot]).first(piece));
          if (got < 0) {
            Fail(Name(index), errno);
            continue;
          }
          const auto size = static_cast<std::size_t>(got);
          std::size_t same = 0;
          while (same < slot && (sizes[same] != size ||
                                 std::memcmp(pieces[same].data(), pieces[slot].data(), size) != 0))
            ++same;
          if (same == slot) {
            next.emplace_back();
            sizes.push_back(size);
          }
          next[first + same].push_back(index);
        }
        // Alone, a file has no duplicate; a group whose piece was its last is done.
        for (std::size_t g = first; g < next.size(); ++g)
          if (next[g].size() < 2 || sizes[g - first] < piece) {
            for (Index index : next[g]) {
              Done(files_[index].size);
              if (next[g].size() > 1)
                grouped.emplace_back(next[g].front(), index);
            }
            next[g].clear();
          }
        std::erase_if(next, [](const std::vector<Index> &group) { return group.empty(); });
      }
    }
    return grouped;
  }

  void Print(const std::vector<std::pair<Index, Index>> &grouped) {
    const LineStyle style = options_.lineStyle();
    const std::string between(1, options_.zero ? '\0' : '\n');
    for (std::size_t k = 0; k < grouped.size(); ++k) {
      if (k > 0 && grouped[k].first != grouped[k - 1].first)
        output_.Out(between);
      const File &file = files_[grouped[k].second];
      output_.Out(DigestLine(file.digest, Name(grouped[k].second), style));
    }
  }

  // The groups as printed, with what was seen of each file.
  std::vector<Group> Groups(const std::vector<std::pair<Index, Index>> &grouped) const {
    std::vector<Group> groups;
    for (std::size_t k = 0; k < grouped.size(); ++k) {
      if (k == 0 || grouped[k].first != grouped[k - 1].first)
        groups.emplace_back();
      const File &file = files_[grouped[k].second];
      groups.back().push_back(
          {Name(grouped[k].second), file.device, file.inode, file.size, file.mtime, file.ctime});
    }
    return groups;
  }

  static constexpr DigestBytes kNoDigest{};

  const Options &options_;
  Output &output_;
  Progress *const progress_;
  const unsigned threads_; // that compare or fingerprint
  Disks disks_;
  std::vector<File> files_;
  std::string names_;
  std::vector<Index> hashed_; // by the hashing loop's thread handing on, in walk order
  std::vector<std::pair<Index, DigestBytes>> hashedEarly_; // see HashedRest
  bool coldSpinning_ = false; // whether enough of the candidates are on spinning disks and not in
                              // memory
  std::atomic<bool> ok_ = true;
};

} // namespace

bool FindDuplicates(const Options &options, Output &output, Progress *progress) {
  return Duplicates(options, output, progress).Run();
}

} // namespace quillsum::cli
