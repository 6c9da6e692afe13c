#include "cli/modes/Audit.h"

#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/modes/Names.h"
#include "cli/modes/Walk.h"

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>

namespace quillsum::cli {

void Audit::ReadingList(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) == 0)
    lists_.emplace_back(info.st_dev, info.st_ino);
}

void Audit::Listed(const std::string &name, bool here) {
  if (here)
    listed_.Add(NormalName(name), 0);
  // The first missing file makes the unlisted files worth hashing.
  struct stat info {};
  if (!missing_ && !options_.ignoreMissing && OriginOf(name, false) == Origin::Named &&
      (!here || (::stat(name.c_str(), &info) != 0 && errno == ENOENT)))
    missing_ = true;
}

void Audit::Walk(Scheduler &scheduler) {
  Shortage &shortage = scheduler.shortage();
  const auto fail = [&](const std::string &name, int error) {
    shortage.Retrying([&] { output_.Error(Failure(name, error)); });
    walked_ = false;
  };
  ForEachFile(
      options_.audit, true, options_.excluded,
      [&](std::string name, Origin) {
        struct stat info {};
        const bool found = ::stat(name.c_str(), &info) == 0;
        const int error = found ? 0 : errno;
        // Room first, so that a file is never taken as walked but not kept.
        bool fresh = false;
        shortage.Retrying([&] {
          if (unlisted_.size() == unlisted_.capacity())
            unlisted_.reserve(2 * unlisted_.size() + 64);
          // Listed, or walked already from another of the folders.
          fresh = listed_.Add(NormalName(name), 0);
        });
        if (!fresh)
          return true;
        if (!found)
          fail(name, error);
        else if (!S_ISREG(info.st_mode)) // a folder given that is neither folder nor file
          shortage.Retrying([&] {
            output_.Error(*FailureOf(name, NotRegular{}));
            walked_ = false;
          });
        else if (std::find(lists_.begin(), lists_.end(), std::pair(info.st_dev, info.st_ino)) ==
                 lists_.end())
          unlisted_.push_back(std::move(name));
        return true;
      },
      fail, &shortage);
  shortage.Retrying([&] { targets_.assign(unlisted_.size(), false); });
  if (!missing_)
    return;
  for (std::size_t k = 0; k < unlisted_.size(); ++k)
    shortage.Retrying([&] {
      scheduler.Add(
          unlisted_[k],
          [this, k](const std::string &, const Outcome &outcome) {
            // One that cannot be read cannot be a move's target, and stays NEW.
            if (const auto *digested = std::get_if<Digested>(&outcome))
              byDigest_[digested->digest].push_back(k);
          },
          Origin::Walked);
    });
}

// Both allocate before they count, so that they can be tried again (Job::Then).
bool Audit::Moved(const std::string &name, const DigestBytes &listed) {
  const auto found = byDigest_.find(listed);
  if (found == byDigest_.end() || found->second.empty())
    return false;
  const std::size_t target = found->second.front();
  const std::string line = options_.status ? "" : MovedLine(name, unlisted_[target]);
  found->second.pop_front();
  targets_[target] = true;
  ++moved_;
  output_.Out(line);
  return true;
}

bool Audit::Changed(const std::string &name, const FileTimes &listed, const Digested &digested) {
  // Times as listed: damage, or a tool that put the old time back. None: it changed while read.
  if (digested.times && *digested.times == listed)
    return false;
  const std::string line = options_.status ? "" : VerdictLine(name, "CHANGED");
  ++changed_;
  output_.Out(line);
  return true;
}

bool Audit::Report() {
  std::uint64_t fresh = 0;
  for (std::size_t k = 0; k < unlisted_.size(); ++k) {
    if (targets_[k])
      continue;
    ++fresh;
    if (!options_.status)
      output_.Out(VerdictLine(unlisted_[k], "NEW"));
  }
  if (!options_.status) {
    if (changed_ != 0)
      output_.Warning(changed_, "listed file was changed since the list",
                      "listed files were changed since the list");
    if (moved_ != 0)
      output_.Warning(moved_, "listed file was moved", "listed files were moved");
    if (fresh != 0)
      output_.Warning(fresh, "file is not listed", "files are not listed");
  }
  return walked_ && changed_ == 0 && moved_ == 0 && fresh == 0;
}

} // namespace quillsum::cli
