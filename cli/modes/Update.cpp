#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Names.h"
#include "cli/modes/UpdatedList.h"
#include "cli/modes/Walk.h"

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace quillsum::cli {

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
  const LineStyle style = options.lineStyle();
  const char end = style.zero ? '\0' : '\n';
  // The Thens allocate before they change anything: they may be tried again (Job::Then).
  const auto fail = [&](const std::string &message) {
    output.Error(message);
    ok = false;
  };
  const auto failed = [&](const std::string &name, const Outcome &outcome) {
    if (const std::optional<std::string> failure = FailureOf(name, outcome))
      fail(*failure);
  };
  const Scheduler::Then add = [&](const std::string &name, const Outcome &outcome) {
    const auto *digested = std::get_if<Digested>(&outcome);
    if (!digested)
      return failed(name, outcome);
    const std::string lines = PrintedLines(name, *digested, style, times);
    added.reserve(added.size() + lines.size());
    output.Out(lines);
    added += lines;
  };
  // A listed file edited since its lines: each of its entries whose times line no longer holds
  // gets a new times line and digest line where they are, ending as that digest line ends. Its
  // lines are printed once.
  const auto refresh = [&](std::uint32_t first) {
    return [&, first](const std::string &name, const Outcome &outcome) {
      const auto *digested = std::get_if<Digested>(&outcome);
      if (!digested)
        return failed(name, outcome);
      std::vector<UpdatedList::Splice> fresh;
      std::string printed;
      for (std::uint32_t k = first; k != UpdatedList::kUntimed; k = list.timed(k).next) {
        const UpdatedList::Timed &entry = list.timed(k);
        if (digested->times && *digested->times == entry.times)
          continue;
        std::string line;
        if (!list.Read(entry.lineAt, entry.linesEnd, line))
          return fail(UpdatedList::CannotUpdate(options.update, errno));
        line = WithDigest(std::move(line), digested->digest, style);
        std::string timesLine =
            digested->times ? TimesLine(digested->times->size, digested->times->mtime, style.zero)
                            : "";
        // Printed as md5sum prints a line; in the list, ending as the digest line does.
        const bool crlf = line.ends_with("\r\n");
        if (printed.empty()) {
          std::string shown = line;
          if (crlf)
            shown.erase(shown.size() - 2, 1);
          printed = timesLine + shown + (shown.ends_with(end) ? "" : std::string(1, end));
        }
        if (crlf && !timesLine.empty())
          timesLine.insert(timesLine.size() - 1, 1, '\r');
        fresh.push_back({entry.timesAt, entry.linesEnd, timesLine + line});
      }
      splices.reserve(splices.size() + fresh.size());
      output.Out(printed);
      splices.insert(splices.end(), fresh.begin(), fresh.end());
    };
  };
  {
    Scheduler scheduler(LoopSettings(options, progress, times), output);
    Shortage &shortage = scheduler.shortage();
    ForEachFile(
        options.operands, options.recursive, options.excluded,
        [&](std::string name, Origin origin) {
          std::string normal;
          std::uint32_t first = 0;
          bool listed = false;
          shortage.Retrying([&] {
            normal = NormalName(name);
            listed = list.Find(normal, first);
          });
          // Listed without times: nothing to look at, not even with a stat.
          if (listed && first == UpdatedList::kUntimed)
            return true;
          struct stat info {};
          // Whatever stat cannot see is left to fail as md5sum would fail to read it.
          const bool found = ::stat(name.c_str(), &info) == 0;
          if (listed) {
            // Read again once, and only when a times line of its says it was edited since.
            if (!found || !S_ISREG(info.st_mode) || list.timed(first).taken)
              return true;
            bool edited = false;
            for (std::uint32_t k = first; k != UpdatedList::kUntimed; k = list.timed(k).next)
              edited = edited || !(FileTimes{info.st_size, info.st_mtim} == list.timed(k).times);
            if (!edited)
              return true;
            shortage.Retrying([&] { scheduler.Add(name, refresh(first), origin); });
            list.timed(first).taken = true;
            return true;
          }
          if (found && list.Is(info))
            return true;
          // A name met again (walked and named) is added once: the table says so from here on.
          shortage.Retrying([&] {
            list.Add(normal);
            if (found && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
              scheduler.Add([&fail, message = *FailureOf(name, NotRegular{})] { fail(message); });
            else
              scheduler.Add(name, std::ref(add), origin);
          });
          return true;
        },
        [&](const std::string &dir, int error) {
          scheduler.Add([&fail, message = Failure(dir, error)] { fail(message); });
        },
        &shortage);
    scheduler.Finish();
  }
  if (added.empty() && splices.empty())
    return ok;
  output.Flush();
  if (const int error = list.Replace(splices, added)) {
    output.Error(UpdatedList::NotUpdated(options.update, error));
    return false;
  }
  return ok;
}

} // namespace quillsum::cli
