#include "cli/modes/Audit.h"

#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
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
  // The first missing file makes the unlisted files worth hashing; "-" is standard input.
  struct stat info {};
  if (!missing_ && !options_.ignoreMissing && name != "-" &&
      (!here || (::stat(name.c_str(), &info) != 0 && errno == ENOENT)))
    missing_ = true;
}

void Audit::Walk(Scheduler &scheduler) {
  const auto fail = [this](const std::string &name, int error) {
    output_.Error(Failure(name, error));
    walked_ = false;
  };
  ForEachFile(
      options_.audit, true, options_.excluded,
      [&](std::string name, bool) {
        // Listed, or walked already from another of the folders.
        if (!listed_.Add(NormalName(name), 0))
          return true;
        struct stat info {};
        if (::stat(name.c_str(), &info) != 0)
          fail(name, errno);
        else if (!S_ISREG(info.st_mode))
          fail(name, kNotRegular); // a folder given that is neither folder nor file
        else if (std::find(lists_.begin(), lists_.end(), std::pair(info.st_dev, info.st_ino)) ==
                 lists_.end())
          unlisted_.push_back(std::move(name));
        return true;
      },
      fail);
  targets_.assign(unlisted_.size(), false);
  if (!missing_)
    return;
  for (std::size_t k = 0; k < unlisted_.size(); ++k)
    scheduler.Add(
        unlisted_[k],
        [this, k](const std::string &, const Digest &digest) {
          // One that cannot be read cannot be a move's target, and stays NEW.
          if (!digest.hex.empty())
            byDigest_[Lower(digest.hex)].push_back(k);
        },
        Job::Origin::Walked);
}

bool Audit::Moved(const std::string &name, const std::string &hex) {
  const auto found = byDigest_.find(Lower(hex));
  if (found == byDigest_.end() || found->second.empty())
    return false;
  const std::size_t target = found->second.front();
  found->second.pop_front();
  targets_[target] = true;
  ++moved_;
  if (!options_.status)
    output_.Out(MovedLine(name, unlisted_[target]));
  return true;
}

bool Audit::Changed(const std::string &name, const FileTimes &listed, const Digest &digest) {
  // Times as listed: damage, or a tool that put the old time back. None: it changed while read.
  if (digest.times && *digest.times == listed)
    return false;
  ++changed_;
  if (!options_.status)
    output_.Out(VerdictLine(name, "CHANGED"));
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
