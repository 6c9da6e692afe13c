#include "cli/lists/Lines.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Walk.h"

namespace quillsum::cli {

std::string PrintedLines(const std::string &name, const Digest &digest, const LineStyle &style,
                         bool times) {
  std::string lines = DigestLine(digest.hex, name, style);
  if (times && digest.times)
    lines.insert(0, TimesLine(digest.times->size, digest.times->mtime, style.zero));
  return lines;
}

bool DigestFiles(const Options &options, Output &output, Progress *progress) {
  bool ok = true;
  const LineStyle style{TagOf(options.method), options.tag, options.binary, options.zero};
  const auto fail = [&](const std::string &name, int error) {
    output.Error(Failure(name, error));
    ok = false;
  };
  const Scheduler::Then print = [&](const std::string &name, const Digest &digest) {
    if (digest.hex.empty())
      fail(name, digest.error);
    else
      output.Out(PrintedLines(name, digest, style, options.times));
  };
  Scheduler scheduler(options.threads, options.method, progress, output, options.times);
  ForEachFile(
      options.operands, options.recursive, options.excluded,
      [&](std::string name, bool walked) {
        scheduler.Add(std::move(name), std::ref(print),
                      walked ? Job::Origin::Walked : Job::Origin::Named);
        return true;
      },
      [&](const std::string &dir, int error) {
        scheduler.Add([&fail, dir, error] { fail(dir, error); });
      });
  scheduler.Finish();
  return ok;
}

} // namespace quillsum::cli
