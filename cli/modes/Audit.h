#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/loop/Outcome.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/NameTable.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace quillsum::cli {

// What --audit adds to -c: the files beneath its folders that no list names, and where listed
// files that are gone went. The check tells it each list and each listed file as it reads them;
// once every list is read, the folders are walked before any listed file has its turn.
class Audit {
public:
  Audit(const Options &options, Output &output) : options_(options), output_(output) {}

  // A list being read, open on fd: it is never reported.
  void ReadingList(int fd);
  // A file a list names; not here when it cannot be (a Windows list's absolute name).
  void Listed(const std::string &name, bool here = true);
  // Walks the folders; when a listed file is missing, the files no list names go to the
  // scheduler first, so that their digests are known by the turn of any listed file.
  void Walk(Scheduler &scheduler);
  // A listed file that does not exist, in its turn: true, with its line printed, when a file no
  // list names has the digest it is listed with and is not yet another's target.
  bool Moved(const std::string &name, const DigestBytes &listed);
  // A listed file whose digest differs from its line, in its turn: true, with its line printed,
  // when its size or modification time differs from the list's times line too (an edit).
  bool Changed(const std::string &name, const FileTimes &listed, const Digested &digested);
  // After the last list line: the NEW lines and the warnings. Whether all was as listed: nothing
  // changed, moved or new, and every folder walked.
  bool Report();

private:
  const Options &options_;
  Output &output_;
  std::vector<std::pair<dev_t, ino_t>> lists_;
  NameTable listed_;                  // lexically normal names, and those walked
  bool missing_ = false;              // a listed file does not exist
  bool walked_ = true;                // every folder could be walked
  std::vector<std::string> unlisted_; // in walk order
  std::vector<bool> targets_;         // of moves, by index in unlisted_
  std::map<DigestBytes, std::deque<std::size_t>> byDigest_; // of the unlisted files read
  std::uint64_t moved_ = 0;
  std::uint64_t changed_ = 0;
};

} // namespace quillsum::cli
