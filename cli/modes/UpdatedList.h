#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/loop/Outcome.h"
#include "cli/modes/NameTable.h"

#include "engine/MD5CLS.h"
#include "engine/UniqueFd.h"

#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace quillsum::cli {

// The checksum list that --update rewrites, safe from other writers: one run at a time updates
// the lists of a folder (a lock on the folder, held from Open to the end), the list is read
// again when the new one is written and must still start with the bytes read first, and the new
// one takes its place whole. What is kept of the list is what the update needs, compactly: the
// names it lists and, for a digest line with a times line before it, where both lines are.
class UpdatedList {
public:
  static constexpr std::uint32_t kUntimed = std::numeric_limits<std::uint32_t>::max();

  // Why a list is not updated, besides an errno.
  static constexpr int kNotAFile = -1, kOtherLinks = -2, kOtherOwner = -3, kChangedMeanwhile = -4,
                       kReplacedMeanwhile = -5, kAttributesNotKept = -6;
  // "cannot update NAME: reason", for the list named so; "NAME was not updated: reason" when its
  // new copy could not be put in place.
  static std::string CannotUpdate(const std::string &name, int error);
  static std::string NotUpdated(const std::string &name, int error);

  // A listed file's digest line with a times line before it. A name listed more than once has
  // each such entry in a chain, from the table's to next.
  struct Timed {
    std::uint64_t timesAt = 0, lineAt = 0, linesEnd = 0; // the times line, the digest line, the end
    FileTimes times;
    std::uint32_t next = kUntimed;
    bool taken = false; // of a chain's first: its file was met by this run
  };

  // Bytes of the old list that the new one has in place of others: [at, end) becomes lines.
  struct Splice {
    std::uint64_t at = 0, end = 0;
    std::string lines;
  };

  // The list that name leads to, its lines ending with end. Symbolic links are followed, even
  // where the last one leads nowhere: a shell's ">>" creates the list there. Gives 0, or the
  // errno of the failure.
  int Resolve(const std::string &name, char end);
  // Whether the user may write the list (or create it): 0, or the errno, as ">>" would fail.
  int Writable() const;
  // Locks the list's folder, and reads the list; a missing one is an empty one. Gives 0, or the
  // errno of the failure or one of the reasons above.
  int Open(Method method);
  // Removes the scratch files that runs killed before their rename left in the folder: while
  // the folder is locked no run is writing one, so a file named as ours and owned by this user is
  // ours; another's is left, and said so.
  void RemoveStaleScratch(Output &output) const;

  // The list's entries for the name (lexically normal): kUntimed when none has times, else the
  // first of their chain, for timed(); false if the list does not name it.
  bool Find(std::string_view normal, std::uint32_t &timed) const {
    return names_.Find(normal, timed);
  }
  // A name this run adds, so that it is added once.
  void Add(std::string_view normal) { names_.Add(normal, kUntimed); }
  bool HasTimes() const { return !timed_.empty(); }
  Timed &timed(std::uint32_t k) { return timed_[k]; }
  // Whether the file with this status is the list itself.
  bool Is(const struct stat &info) const;
  // The old list's bytes [at, end) into bytes; false on failure, with errno.
  bool Read(std::uint64_t at, std::uint64_t end, std::string &bytes) const;
  // Lines in md5sum's form, ending as this list's lines end: CR LF where its first line does.
  std::string Ended(std::string lines) const;

  // Makes the list the old one with the splices made and added after it: written to a scratch
  // file beside it, flushed to disk and renamed over it, so that the list is at every moment
  // either the old one or the new one whole. The list keeps its mode, owner and extended attributes
  // (POSIX ACLs included), and what another program appends to it meanwhile. Gives 0, or the errno
  // of the failure or one of the reasons above.
  int Replace(std::vector<Splice> &splices, const std::string &added);

private:
  int OpenList();
  int ReadIndex(Method method);
  int Write(int out, const std::vector<Splice> &splices, const std::string &added,
            std::uint64_t &copied);
  void KeepLateLines(std::uint64_t copied);
  bool exists() const { return static_cast<bool>(fd_); }

  std::string path_, folder_;
  char end_ = '\n';
  bool crlf_ = false;
  UniqueFd locked_{-1};
  UniqueFd fd_{-1};
  struct stat info_ {};
  NameTable names_;
  std::deque<Timed> timed_;
  std::uint64_t size_ = 0; // bytes read first, and their MD5
  MD5CLS md5_;
};

} // namespace quillsum::cli
