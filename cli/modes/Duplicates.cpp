// --duplicates: files with the same bytes, found in stages that each read more of fewer files:
// their sizes (the walk's one look at each), their sampled fingerprints (16 KiB at most from the
// disk; a file that small is read whole there, and its MD5 is its fingerprint), then their bytes,
// as MD5 collisions can be made at will, and the MD5 of one file of each group (the hashing loop);
// from a cold spinning disk, the MD5 of whole files in disk order before the bytes. Each stage
// drops the files that no other can match any more.

#include "cli/Threads.h"
#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/loop/Disks.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Candidates.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Reclaim.h"

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "engine/MD5Lanes.h"
#include "engine/UniqueFd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

// Fingerprints whose pages are asked for ahead of the one taken: several reads in flight for
// flash, and the next one ready for a spinning disk's head.
constexpr std::size_t kFingerprintsAhead = 8;
// A file of up to this many bytes is read whole where its fingerprint would be read: the kernel
// reads its four sampled pages all the same. Its MD5 then stands for its fingerprint.
constexpr std::uint64_t kReadWhole = 16 << 10;
// Files are fingerprinted this many at a time by a thread.
constexpr std::size_t kBunch = 64;
// Files are compared in pieces of up to kComparedPiece, smaller where a run has so many files that
// their pieces would take more than the comparing threads' share of kComparedBytes, down to
// kSmallestPiece.
constexpr std::size_t kComparedPiece = 1 << 20, kComparedBytes = 4 << 20, kSmallestPiece = 4096;

// Candidates are hashed first, in disk order, when more than this share of their bytes on
// spinning disks is not in memory: comparing reads the files of a run in turn, which would seek.
constexpr std::uint64_t kColdShare = 8;

using Index = Candidates::Index;

// What the fingerprints' stage made of a file: the errno of a failure (above 0), or one of these.
enum Taken : std::int32_t {
  kTaken = 0,
  kLater = -1,      // to be read in disk order, or by the fingerprint of its sampled pages
  kLeftOut = -2,    // a walked name that is no longer a regular file
  kNotRegular = -3, // an operand that is no longer a regular file
};

bool ReadWhole(const Candidates::File &file) { return file.size <= kReadWhole; }

// Where a file ends, as far as its size tells: on a disk's file system, a read that reaches its
// size, unless it has grown since; elsewhere (FUSE, network) a read may stop short of its end.
std::uint64_t EndOf(const Candidates::File &file) {
  return major(file.device) != 0 ? file.size : UINT64_MAX;
}

// Small files read whole, met by their size and MD5 as they are read, on any thread: of each size
// and MD5 met twice or more, the bytes of the second file met are kept (within kKeptBytes in
// all), and those met after it are compared with them at once. Of such a run, only the first file
// met is read again to be compared.
class KeptBytes {
public:
  static constexpr std::size_t kKeptBytes = 16 << 20;

  // For up to count files met.
  KeptBytes(const Candidates &files, std::size_t count)
      : files_(files), mask_(std::bit_ceil(count + count / 2 + 1) - 1),
        slots_(std::make_unique<std::atomic<Index>[]>(mask_ + 1)), settled_(files.Count(), 0) {
    for (std::size_t slot = 0; slot <= mask_; ++slot)
      slots_[slot] = kNone;
  }

  // Meets a file, its size and MD5 set, with its bytes: they are kept, or compared with those
  // kept for its size and MD5.
  void Met(Index index, std::span<const std::uint8_t> bytes) {
    const Candidates::File &file = files_[index];
    Index first = kNone;
    for (std::size_t slot = Hash(file) & mask_; first == kNone; slot = (slot + 1) & mask_) {
      Index in = kNone;
      if (slots_[slot].compare_exchange_strong(in, index) || in == index)
        return; // the first met, or met again when its bunch is done again
      if (files_[in].size == file.size && files_[in].digest == file.digest)
        first = in;
    }
    // Bytes kept save reads: where memory is short, none are, and the run's files are read again.
    const std::vector<std::uint8_t> *kept = nullptr;
    try {
      const std::lock_guard lock(mutex_);
      auto [at, second] = kept_.try_emplace(first);
      kept = &at->second;
      if (second && keptBytes_ + bytes.size() <= kKeptBytes) {
        at->second.assign(bytes.begin(), bytes.end());
        keptBytes_ += bytes.size();
      }
    } catch (const std::bad_alloc &) {
    }
    settled_[index] = kept && !kept->empty() && std::ranges::equal(*kept, bytes);
  }
  // Once every file is met: the slots' room is given back.
  void Close() { slots_.reset(); }

  // Whether the file's bytes were found equal to those kept for its size and MD5.
  bool Settled(Index index) const { return settled_[index]; }
  // The bytes kept for the size and MD5 of the file met first with them; null if none.
  const std::vector<std::uint8_t> *Of(Index first) const {
    const auto kept = kept_.find(first);
    return kept != kept_.end() && !kept->second.empty() ? &kept->second : nullptr;
  }

private:
  static constexpr Index kNone = UINT32_MAX;

  // MD5s are as good as random: their first bytes tell runs apart.
  static std::size_t Hash(const Candidates::File &file) {
    std::uint64_t head;
    std::memcpy(&head, file.digest.data(), sizeof head);
    return static_cast<std::size_t>(head ^ file.size);
  }

  const Candidates &files_;
  const std::size_t mask_;
  std::unique_ptr<std::atomic<Index>[]> slots_; // the first file met of each size and MD5
  std::vector<char> settled_;                   // by file, each written by one thread
  std::mutex mutex_;                            // for these
  std::unordered_map<Index, std::vector<std::uint8_t>> kept_; // by the first file met
  std::size_t keptBytes_ = 0;
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
    std::vector<Index> left = Shared(Walked(), false);
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
    if (options_.reclaim == Options::Reclaim::Nothing)
      return ok_;
    std::vector<std::string> names; // the members', for as long as their groups are reclaimed
    return ReclaimSpace(options_.reclaim, Groups(grouped, names), output_, progress_) && ok_;
  }

private:
  std::string Name(Index index) const { return files_.Name(index); }

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
  std::vector<Index> Walked() {
    std::vector<Index> all =
        files_.Walk(options_, threads_, disks_, options_.reclaim != Options::Reclaim::Nothing,
                    [this](const std::string &message) { Fail(message); });
    for (Index index : all)
      Done(files_[index].size);
    return all;
  }

  // The files of which has another with the same size (and hex, withHex), in walk order. Sorted
  // as keys side by side, a file's own record being far from the next one's: its size, then the
  // first bytes of its hex beside its index; where those bytes are alike, whole hexes tell.
  std::vector<Index> Shared(const std::vector<Index> &which, bool withHex) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> keys;
    keys.reserve(which.size());
    for (Index index : which) {
      std::uint32_t head = 0;
      if (withHex)
        std::memcpy(&head, files_[index].digest.data(), sizeof head);
      keys.emplace_back(files_[index].size, std::uint64_t{head} << 32 | index);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<Index> shared, run;
    const auto hexOf = [&](Index index) -> const DigestBytes & {
      return withHex ? files_[index].digest : kNoDigest;
    };
    for (std::size_t start = 0, end; start < keys.size(); start = end) {
      for (end = start + 1; end < keys.size() && keys[end].first == keys[start].first &&
                            keys[end].second >> 32 == keys[start].second >> 32;)
        ++end;
      run.clear();
      for (std::size_t k = start; k < end; ++k)
        run.push_back(static_cast<Index>(keys[k].second));
      if (withHex)
        std::sort(run.begin(), run.end(),
                  [&](Index a, Index b) { return std::tie(hexOf(a), a) < std::tie(hexOf(b), b); });
      for (std::size_t first = 0, last; first < run.size(); first = last) {
        for (last = first + 1; last < run.size() && hexOf(run[last]) == hexOf(run[first]);)
          ++last;
        if (last - first > 1)
          shared.insert(shared.end(), run.begin() + static_cast<std::ptrdiff_t>(first),
                        run.begin() + static_cast<std::ptrdiff_t>(last));
      }
    }
    std::sort(shared.begin(), shared.end());
    return shared;
  }

  // Through the descriptor budget: each thread holds at most one file at a time, so it may wait.
  DescriptorBudget::Held Open(Index index) const {
    return DescriptorBudget::OfProcess().Open(Name(index).c_str(),
                                              O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }

  // The walk's status of a file, for those that ask where it lies and whether it is in memory.
  struct stat Status(Index index) const {
    struct stat info {};
    info.st_dev = files_[index].device;
    info.st_ino = files_[index].inode;
    info.st_size = static_cast<off_t>(files_[index].size);
    return info;
  }

  // A thread's reads of small files whole, each into a lane's buffer, hashed in its MD5 lanes: up
  // to `most` at once, as many as it has lanes (fewer where memory is short).
  class WholeReads {
  public:
    WholeReads(Duplicates &owner, std::size_t most)
        : owner_(owner), lanes_(std::min(most, md5_.Width())) {
      for (;; lanes_ /= 2)
        try {
          buffers_.resize(lanes_ * kReadWhole);
          return;
        } catch (const std::bad_alloc &) {
          if (lanes_ == 1)
            throw;
        }
    }

    // The files of items [begin, end) of which: a small one read whole and hashed, unless it is
    // to be read in disk order; a large one, on a spinning disk, asked where it lies and whether
    // it is in memory. What became of each goes to taken, where each lies to places.
    void Bunch(const std::vector<Index> &which, std::size_t begin, std::size_t end,
               std::vector<std::int32_t> &taken, std::vector<std::uint64_t> &places) {
      std::array<std::size_t, 16> item{}, length{}; // each lane's
      std::size_t next = begin;
      const auto feed = [&](std::size_t lane) {
        while (next < end) {
          const std::size_t k = next++;
          const Index index = which[k];
          if (!ReadWhole(owner_.files_[index])) {
            places[k] = owner_.Placed(index, nullptr);
            taken[k] = kLater;
            continue;
          }
          const DescriptorBudget::Held fd = owner_.Open(index);
          if (!fd) {
            taken[k] = errno;
            continue;
          }
          if (owner_.disks_.ByItsReader(fd.get(), owner_.Status(index))) {
            places[k] = owner_.Placed(index, &fd);
            taken[k] = kLater;
            continue;
          }
          const ssize_t got = Read(fd, index, lane);
          if (got < 0) {
            taken[k] = errno;
            continue;
          }
          owner_.Counted(index, false);
          md5_.Feed(lane, Buffer(lane).first(static_cast<std::size_t>(got)), true);
          item[lane] = k;
          length[lane] = static_cast<std::size_t>(got);
          return;
        }
      };
      for (std::size_t lane = 0; lane < lanes_; ++lane)
        feed(lane);
      for (auto ready = md5_.Run(); !ready.empty(); ready = md5_.Run())
        for (const std::size_t lane : ready)
          if (lane < lanes_) {
            if (md5_.Done(lane)) {
              const std::size_t k = item[lane];
              owner_.files_[which[k]].digest = md5_.Digest(lane);
              owner_.kept_->Met(which[k], Buffer(lane).first(length[lane]));
              taken[k] = kTaken;
            }
            feed(lane);
          }
    }

    // One small file read whole and hashed now; kTaken or the errno of its failure.
    std::int32_t One(Index index) {
      const DescriptorBudget::Held fd = owner_.Open(index);
      const ssize_t got = fd ? Read(fd, index, 0) : -1;
      if (got < 0)
        return errno;
      md5_.Feed(0, Buffer(0).first(static_cast<std::size_t>(got)), true);
      while (!md5_.Run().empty()) {
      }
      owner_.files_[index].digest = md5_.Digest(0);
      return kTaken;
    }

  private:
    std::span<std::uint8_t> Buffer(std::size_t lane) {
      return std::span(buffers_).subspan(lane * kReadWhole, kReadWhole);
    }

    ssize_t Read(const DescriptorBudget::Held &fd, Index index, std::size_t lane) {
      const ssize_t got = ReadFull(fd.get(), Buffer(lane), EndOf(owner_.files_[index]));
      if (got >= 0)
        owner_.Done(static_cast<std::uint64_t>(got));
      return got;
    }

    Duplicates &owner_;
    MD5Lanes md5_;
    std::size_t lanes_;
    std::vector<std::uint8_t> buffers_;
  };

  // Where a file to be fingerprinted later lies: its place on a spinning disk when it is not in
  // memory (small files, open already, are not), else 0. Counts its bytes for the road.
  std::uint64_t Placed(Index index, const DescriptorBudget::Held *open) {
    if (!open && !disks_.Of(files_[index].device).spinning)
      return 0;
    const DescriptorBudget::Held fd = open ? DescriptorBudget::Held() : Open(index);
    const int file = open ? open->get() : fd.get();
    if (file < 0)
      return 0;
    const struct stat info = Status(index);
    const bool cold = open || !InMemory(file, info.st_size);
    Counted(index, cold);
    return cold ? DiskOrder(file, info) : 0;
  }

  // Counts a file's bytes on spinning disks, and of those not in memory, for the road.
  void Counted(Index index, bool cold) {
    if (!cold && !disks_.Of(files_[index].device).spinning)
      return;
    spinningBytes_ += files_[index].size;
    coldBytes_ += cold ? files_[index].size : 0;
  }

  // The fingerprints of which; those that fail are reported and left out. A small file is read
  // whole, and its MD5 stands for its fingerprint; of a large one, only the sampled pages are
  // read, with the file's read-ahead off, which would read its first 128 KiB or more for 256
  // bytes. Files on spinning disks are asked whether they are in memory and where they lie: when
  // enough are not, they are fingerprinted one at a time in disk order, the next ones' pages
  // asked for ahead; else on every thread, ahead of those that may be cold.
  std::vector<Index> Fingerprinted(const std::vector<Index> &which) {
    Expect(which, kReadWhole);
    std::vector<std::int32_t> taken(which.size(), kLater);
    std::vector<std::uint64_t> places(which.size(), 0);
    kept_.emplace(files_, static_cast<std::size_t>(std::ranges::count_if(
                              which, [&](Index index) { return ReadWhole(files_[index]); })));
    InParallel(threads_, (which.size() + kBunch - 1) / kBunch, [&] {
      return [&, reads = WholeReads(*this, kBunch)](std::size_t bunch) mutable {
        const std::size_t begin = bunch * kBunch;
        reads.Bunch(which, begin, std::min(begin + kBunch, which.size()), taken, places);
      };
    });
    kept_->Close();
    const Road forced = disks_.forced();
    coldSpinning_ = forced == Road::Disk ||
                    (forced == Road::Automatic && coldBytes_ > spinningBytes_ / kColdShare);

    struct Place {
      bool spinning;
      dev_t disk;
      std::uint64_t place;
      std::size_t k; // in which
      auto operator<=>(const Place &) const = default;
    };
    std::vector<Place> later;
    for (std::size_t k = 0; k < which.size(); ++k)
      if (taken[k] == kLater) {
        const Disk disk = disks_.Of(files_[which[k]].device);
        later.push_back({disk.spinning, disk.id, places[k], k});
      }
    places = {};
    if (coldSpinning_)
      std::sort(later.begin(), later.end());
    const auto fingerprint = [&](std::size_t n, WholeReads &reads) {
      const std::size_t k = later[n].k;
      const Index index = which[k];
      if (ReadWhole(files_[index])) {
        taken[k] = reads.One(index);
        return;
      }
      // Not on a spinning disk, whose head would leave what is read whole for them; nor for a
      // small file, which the kernel reads whole at once.
      if (const std::size_t ahead = n + kFingerprintsAhead;
          ahead < later.size() && !later[ahead].spinning &&
          !ReadWhole(files_[which[later[ahead].k]]))
        if (const DescriptorBudget::Held fd = Open(which[later[ahead].k]))
          ::posix_fadvise(fd.get(), 0, kSampledBytes, POSIX_FADV_WILLNEED);
      taken[k] = Fingerprint(index);
    };
    if (coldSpinning_) {
      // One at a time in disk order, a large file whose size and fingerprint one before it had
      // hashed whole at once, while the head is there: of each group only the first is read
      // again.
      WholeReads reads(*this, 1);
      std::set<std::pair<std::uint64_t, DigestBytes>> met;
      for (std::size_t n = 0; n < later.size(); ++n) {
        fingerprint(n, reads);
        const std::size_t k = later[n].k;
        const Candidates::File &file = files_[which[k]];
        if (taken[k] == kTaken && !ReadWhole(file) && !met.emplace(file.size, file.digest).second)
          taken[k] = HashedNow(which[k]);
      }
    } else {
      InParallel(threads_, later.size(), [&] {
        return [&, reads = WholeReads(*this, 1)](std::size_t n) mutable { fingerprint(n, reads); };
      });
    }
    std::vector<Index> fingerprinted;
    for (std::size_t k = 0; k < which.size(); ++k)
      if (taken[k] == kTaken)
        fingerprinted.push_back(which[k]);
      else if (taken[k] > 0)
        Fail(Name(which[k]), taken[k]);
      else if (taken[k] == kNotRegular)
        Fail(*FailureOf(Name(which[k]), NotRegular{}));
    return fingerprinted;
  }

  // Hashes a file whole, its MD5 kept apart until the digests' stage: kTaken, or the errno of
  // its failure.
  std::int32_t HashedNow(Index index) {
    std::optional<DigestBytes> digest;
    if (const DescriptorBudget::Held fd = Open(index)) {
      ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
      digest = ReadHex(MD5CLS().DigestFdToHexStr(fd.get()));
    }
    if (!digest)
      return errno;
    hashedEarly_.emplace_back(index, *digest);
    return kTaken;
  }

  // The sampled fingerprint of a large file: what became of it, as in Taken.
  std::int32_t Fingerprint(Index index) {
    Candidates::File &file = files_[index];
    const DescriptorBudget::Held fd = Open(index);
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0)
      return errno;
    if (!S_ISREG(info.st_mode)) // since it was looked at
      return files_.Walked(index) ? kLeftOut : kNotRegular;
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_RANDOM);
    std::array<std::uint8_t, kSampledBytes> head;
    const ssize_t got = ReadAt(fd.get(), head.data(), head.size(), 0); // up to the file's end
    if (got < 0)
      return errno;
    file.digest =
        *ReadHex(SampledFingerprint(std::span(head).first(static_cast<std::size_t>(got))).digest);
    Done(static_cast<std::uint64_t>(got));
    return kTaken;
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

  // The MD5s of which: those of small files and those hashed with the fingerprints as they were,
  // the others through the hashing loop.
  std::vector<Index> HashedRest(const std::vector<Index> &which) {
    std::sort(hashedEarly_.begin(), hashedEarly_.end());
    std::vector<Index> rest, early;
    auto next = hashedEarly_.begin();
    for (Index index : which) {
      while (next != hashedEarly_.end() && next->first < index)
        ++next;
      if (ReadWhole(files_[index])) {
        early.push_back(index);
      } else if (next != hashedEarly_.end() && next->first == index) {
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

  // The groups with the MD5 of their first file given to all (small files have theirs): a first
  // file that cannot be read now is reported, and its group goes on from its next file while two
  // are left.
  std::vector<std::pair<Index, Index>>
  DigestedGroups(std::vector<std::pair<Index, Index>> grouped) {
    Index most = 0;
    for (const auto &[first, file] : grouped)
      most = std::max(most, file);
    std::vector<char> hashed(most + std::size_t{1}, 0);
    for (;;) {
      std::vector<Index> firsts;
      for (const auto &[first, file] : grouped)
        if (first == file && !hashed[first] && !ReadWhole(files_[first]))
          firsts.push_back(first);
      if (firsts.empty())
        break;
      for (Index index : Hashed(firsts))
        hashed[index] = 1;
      std::vector<std::pair<Index, Index>> regrouped;
      for (std::size_t k = 0, end; k < grouped.size(); k = end) {
        for (end = k + 1; end < grouped.size() && grouped[end].first == grouped[k].first;)
          ++end;
        const Index first = grouped[k].first;
        const std::size_t start = hashed[first] || ReadWhole(files_[first]) ? k : k + 1;
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
    return fd ? ReadAt(fd.get(), piece.data(), piece.size(), static_cast<std::uint64_t>(at),
                       EndOf(files_[index]))
              : -1;
  }

  // What a run of files of one size and hex came to: its groups, each file with the first of its
  // group, and its files that could not be read, with the errno.
  struct Split {
    std::vector<std::pair<Index, Index>> grouped;
    std::vector<std::pair<Index, int>> failed;
  };

  // Of which, the files whose bytes another has, each with the first file (in walk order) of
  // its group: files of one size and MD5 whose bytes differ make groups of their own. The runs of
  // one size and MD5 are compared on as many threads as the user allows; the files that could not
  // be read are reported after, run by run.
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
    std::vector<Split> splits(runs.size());
    InParallel(threads_, runs.size(), [&] {
      return [&, pieces = std::vector<std::vector<std::uint8_t>>()](std::size_t run) mutable {
        std::optional<Split> settled = SettledRun(runs[run], pieces);
        splits[run] = settled ? std::move(*settled) : SplitRun(runs[run], pieces);
        for (Index index : runs[run])
          Done(files_[index].size);
      };
    });
    std::vector<std::pair<Index, Index>> grouped;
    for (const Split &split : splits) {
      for (const auto &[index, error] : split.failed)
        Fail(Name(index), error);
      grouped.insert(grouped.end(), split.grouped.begin(), split.grouped.end());
    }
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

  // The files of one size and MD5, in walk order, split into groups of equal bytes where all but
  // the first met were found equal to the bytes kept for them as they were read (KeptBytes): the
  // first is read again and compared with those bytes. Nothing when the run is not such.
  std::optional<Split> SettledRun(std::span<const Index> run,
                                  std::vector<std::vector<std::uint8_t>> &pieces) {
    if (!kept_ || !ReadWhole(files_[run.front()]))
      return std::nullopt;
    const auto unsure =
        std::ranges::find_if(run, [&](Index index) { return !kept_->Settled(index); });
    if (unsure == run.end() || std::find_if(unsure + 1, run.end(), [&](Index index) {
                                 return !kept_->Settled(index);
                               }) != run.end())
      return std::nullopt;
    const std::vector<std::uint8_t> *kept = kept_->Of(*unsure);
    if (!kept)
      return std::nullopt;
    // One byte more than a file read whole: one that has grown since shows.
    if (pieces.empty())
      pieces.emplace_back();
    if (pieces[0].size() < kReadWhole + 1)
      pieces[0].resize(kReadWhole + 1);
    const ssize_t got = ReadPiece(*unsure, 0, std::span(pieces[0]).first(kReadWhole + 1));
    Split split;
    if (got < 0)
      split.failed.emplace_back(*unsure, errno);
    const bool same =
        got >= 0 &&
        std::ranges::equal(*kept, std::span(pieces[0]).first(static_cast<std::size_t>(got)));
    std::optional<Index> first;
    for (Index index : run)
      if (index != *unsure || same) {
        first = first.value_or(index);
        split.grouped.emplace_back(*first, index);
      }
    if (split.grouped.size() < 2)
      split.grouped.clear();
    return split;
  }

  // The files of one size and hex, in walk order, split into groups of equal bytes, each file
  // read once, a piece at a time: a group's files are read at one place in turn, each going on in
  // the first new group whose first file's piece it matches, or starting one; a file alone in its
  // group is done with. pieces: room the calling thread keeps, a piece for each new group's first
  // file and one for the file read.
  Split SplitRun(std::span<const Index> run, std::vector<std::vector<std::uint8_t>> &pieces) {
    Split split;
    std::vector<std::vector<Index>> groups{{run.begin(), run.end()}}, next;
    // No larger than the file and a byte, which its first read then ends.
    std::size_t piece = std::min<std::uint64_t>(
        std::clamp<std::size_t>(kComparedBytes / threads_ / (run.size() + 1), kSmallestPiece,
                                kComparedPiece),
        std::max<std::uint64_t>(files_[run.front()].size + 1, kSmallestPiece));
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
            split.failed.emplace_back(index, errno);
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
            if (next[g].size() > 1)
              for (Index index : next[g])
                split.grouped.emplace_back(next[g].front(), index);
            next[g].clear();
          }
        std::erase_if(next, [](const std::vector<Index> &group) { return group.empty(); });
      }
    }
    return split;
  }

  void Print(const std::vector<std::pair<Index, Index>> &grouped) {
    const LineStyle style = options_.lineStyle();
    const std::string between(1, options_.zero ? '\0' : '\n');
    for (std::size_t k = 0; k < grouped.size(); ++k) {
      if (k > 0 && grouped[k].first != grouped[k - 1].first)
        output_.Out(between);
      const Candidates::File &file = files_[grouped[k].second];
      output_.Out(DigestLine(file.digest, Name(grouped[k].second), style));
    }
  }

  // The groups as printed, with what was seen of each file; names holds their names.
  std::vector<Group> Groups(const std::vector<std::pair<Index, Index>> &grouped,
                            std::vector<std::string> &names) const {
    names.reserve(grouped.size()); // where the members' names point
    std::vector<Group> groups;
    for (std::size_t k = 0; k < grouped.size(); ++k) {
      if (k == 0 || grouped[k].first != grouped[k - 1].first)
        groups.emplace_back();
      const Index index = grouped[k].second;
      const Candidates::File &file = files_[index];
      const Candidates::Times &times = files_.TimesOf(index);
      names.emplace_back(Name(index));
      groups.back().push_back(
          {names.back().c_str(), file.device, file.inode, file.size, times.mtime, times.ctime});
    }
    return groups;
  }

  static constexpr DigestBytes kNoDigest{};

  const Options &options_;
  Output &output_;
  Progress *const progress_;
  const unsigned threads_; // that walk, fingerprint or compare
  Disks disks_;
  Candidates files_;
  std::vector<Index> hashed_; // by the hashing loop's thread handing on, in walk order
  std::vector<std::pair<Index, DigestBytes>> hashedEarly_; // see HashedRest
  std::optional<KeptBytes> kept_;                          // of the small files fingerprinted
  // Of the candidates fingerprinted, the bytes on spinning disks, and of those not in memory.
  std::atomic<std::uint64_t> spinningBytes_ = 0, coldBytes_ = 0;
  bool coldSpinning_ = false; // whether enough of the candidates are on spinning disks and not in
                              // memory
  std::atomic<bool> ok_ = true;
};

} // namespace

bool FindDuplicates(const Options &options, Output &output, Progress *progress) {
  return Duplicates(options, output, progress).Run();
}

} // namespace quillsum::cli
