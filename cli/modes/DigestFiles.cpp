#include "cli/lists/Lines.h"
#include "cli/lists/Quote.h"
#include "cli/loop/Scheduler.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Walk.h"

namespace quillsum::cli {

Scheduler::Settings LoopSettings(const Options &options, Progress *progress, bool keepTimes) {
  return {options.threads, options.method, options.road, keepTimes, progress};
}

std::string PrintedLines(const std::string &name, const Digested &digested, const LineStyle &style,
                         bool times) {
  std::string lines = DigestLine(digested.digest, name, style);
  if (times && digested.times)
    lines.insert(0, TimesLine(digested.times->size, digested.times->mtime, style.zero));
  return lines;
}

bool DigestFiles(const Options &options, Output &output, Progress *progress) {
  bool ok = true;
  const LineStyle style = options.lineStyle();
  const auto fail = [&](const std::string &message) {
    output.Error(message);
    ok = false;
  };
  const Scheduler::Then print = [&](const std::string &name, const Outcome &outcome) {
    if (const auto *digested = std::get_if<Digested>(&outcome))
      output.Out(PrintedLines(name, *digested, style, options.times));
    else if (const std::optional<std::string> failure = FailureOf(name, outcome))
      fail(*failure);
  };
  Scheduler scheduler(LoopSettings(options, progress, options.times), output);
  ForEachFile(
      options.operands, options.recursive, options.excluded,
      [&](std::string name, Origin origin) {
        scheduler.Add(std::move(name), std::ref(print), origin);
        return true;
      },
      [&](const std::string &dir, int error) {
        scheduler.Add([&fail, message = Failure(dir, error)] { fail(message); });
      },
      &scheduler.shortage());
  scheduler.Finish();
  return ok;
}

} // namespace quillsum::cli
