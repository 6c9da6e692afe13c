#include "cli/lists/Lines.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Modes.h"
#include "cli/modes/UpdatedList.h"
#include "cli/modes/Walk.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace quillsum::cli {
namespace {

// The list's digest line with another digest in place of its own, in the same form and with the
// name as it was written. The line is given with its end, if it has one.
std::string WithDigest(std::string line, const std::string &hex) {
  std::size_t at = line.starts_with('\\') ? 1 : 0;
  const bool gnu = line.size() > at + hex.size() && line[at + hex.size()] == ' ' &&
                   std::all_of(line.begin() + static_cast<std::ptrdiff_t>(at),
                               line.begin() + static_cast<std::ptrdiff_t>(at + hex.size()),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!gnu) { // "TAG (name) = hex", then maybe a carriage return, then the end
    std::size_t last = line.size();
    while (last > 0 && (line[last - 1] == '\n' || line[last - 1] == '\0' || line[last - 1] == '\r'))
      --last;
    at = last - hex.size();
  }
  return line.replace(at, hex.size(), hex);
}

} // namespace

bool UpdateList(const Options &options, Output &output, Progress *progress) {
  const auto cannot = [&](int error) {
    output.Error(UpdatedList::CannotUpdate(options.update, error));
    return false;
  };
  UpdatedList list;
  if (const int error = list.Resolve(options.update, options.zero ? '\0' : '\n'))
    return cannot(error);
  if (const int error = list.Writable()) {
    output.Error(Failure(options.update, error)); // as a shell's ">>" says it
    return false;
  }
  if (const int error = list.Open(options.method))
    return cannot(error);
  list.RemoveStaleScratch(output);
  const bool times = options.times || list.HasTimes();

  bool ok = true;
  std::string added;
  std::vector<UpdatedList::Splice> splices;
  const LineStyle style{TagOf(options.method), options.tag, options.binary, options.zero};
  const auto fail = [&](const std::string &name, int error) {
    output.Error(Failure(name, error));
    ok = false;
  };
  const Scheduler::Then add = [&](const std::string &name, const Digest &digest) {
    if (digest.hex.empty())
      return fail(name, digest.error);
    const std::string lines = PrintedLines(name, digest, style, times);
    output.Out(lines);
    added += lines;
  };
  // A listed file edited since its line: its times line and digest line, replaced where they are.
  const auto refresh = [&](std::uint32_t timed) {
    return [&, timed](const std::string &name, const Digest &digest) {
      if (digest.hex.empty())
        return fail(name, digest.error);
      const UpdatedList::Timed &lines = list.timed(timed);
      std::string line;
      if (!list.Read(lines.lineAt, lines.linesEnd, line))
        return fail(options.update, errno);
      line = WithDigest(std::move(line), digest.hex);
      const std::string timesLine =
          digest.times ? TimesLine(digest.times->size, digest.times->mtime, options.zero) : "";
      output.Out(timesLine + line +
                 (line.ends_with(style.zero ? '\0' : '\n')
                      ? ""
                      : std::string(1, style.zero ? '\0' : '\n')));
      splices.push_back({lines.timesAt, lines.linesEnd, timesLine + line});
    };
  };
  {
    Scheduler scheduler(options.threads, options.method, progress, output, times);
    ForEachFile(
        options.operands, options.recursive, options.excluded,
        [&](std::string name, bool walked) {
          const std::string normal = NormalName(name);
          std::uint32_t timed = 0;
          const bool listed = list.Find(normal, timed);
          // Listed without times: nothing to look at (a stat each made a large list's walk
          // a third slower).
          if (listed && timed == UpdatedList::kUntimed)
            return true;
          struct stat info {};
          // Whatever stat cannot see is left to fail as md5sum would fail to read it.
          const bool found = ::stat(name.c_str(), &info) == 0;
          if (listed) {
            // Read again only when its times line says it was edited since.
            if (!found || !S_ISREG(info.st_mode))
              return true;
            UpdatedList::Timed &lines = list.timed(timed);
            if (lines.refreshed || FileTimes{info.st_size, info.st_mtim} == lines.times)
              return true;
            lines.refreshed = true;
            scheduler.Add(std::move(name), refresh(timed),
                          walked ? Job::Origin::Walked : Job::Origin::Named);
            return true;
          }
          if (found) {
            if (list.Is(info))
              return true;
            if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
              list.Add(normal);
              scheduler.Add([&fail, name] { fail(name, kNotRegular); });
              return true;
            }
          }
          list.Add(normal);
          scheduler.Add(std::move(name), std::ref(add),
                        walked ? Job::Origin::Walked : Job::Origin::Named);
          return true;
        },
        [&](const std::string &dir, int error) {
          scheduler.Add([&fail, dir, error] { fail(dir, error); });
        });
    scheduler.Finish();
  }
  if (added.empty() && splices.empty())
    return ok;
  output.Flush();
  if (const int error = list.Replace(splices, added))
    return cannot(error);
  return ok;
}

} // namespace quillsum::cli
