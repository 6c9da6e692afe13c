#include "cli/Lines.h"
#include "cli/Modes.h"
#include "cli/Pipeline.h"
#include "cli/Walk.h"

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
  const Pipeline::Then print = [&](const std::string &name, const Digest &digest) {
    if (digest.hex.empty())
      fail(name, digest.error);
    else
      output.Out(PrintedLines(name, digest, style, options.times));
  };
  Pipeline pipeline(options.jobs, options.method, progress, output);
  ForEachFile(
      options.operands, options.recursive, options.excluded,
      [&](std::string name, bool walked) {
        pipeline.Add(std::move(name), std::ref(print),
                     walked ? Job::Origin::Walked : Job::Origin::Named);
        return true;
      },
      [&](const std::string &dir, int error) {
        pipeline.Add([&fail, dir, error] { fail(dir, error); });
      });
  pipeline.Finish();
  return ok;
}

} // namespace quillsum::cli
