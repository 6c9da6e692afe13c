// quillsum-cli: md5sum's work and options, on every core, plus the sampled fingerprint and the
// text digest of Quillsum's window.

#include "cli/Modes.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Threads.h"

#include <clocale>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>

#include <unistd.h>

namespace {

using namespace quillsum::cli;

int Run(const Options &options, Output &output) {
  if (options.mode == Options::Mode::Texts)
    return DigestTexts(options, output) ? EXIT_SUCCESS : EXIT_FAILURE;
  std::optional<Progress> progress;
  std::thread survey;
  if (::isatty(STDERR_FILENO) == 1 && !options.status) {
    progress.emplace(output, options.method == Method::Md5);
    Output::EraseProgressOnSignals();
    survey = StartThread([&] { Survey(options, *progress); });
  }
  Progress *const shown = progress ? &*progress : nullptr;
  const bool ok = options.mode == Options::Mode::Check    ? CheckLists(options, output, shown)
                  : options.mode == Options::Mode::Update ? UpdateList(options, output, shown)
                  : options.mode == Options::Mode::Duplicates
                      ? FindDuplicates(options, output, shown)
                      : DigestFiles(options, output, shown);
  if (progress)
    progress->Stop();
  if (survey.joinable())
    survey.join();
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

} // namespace

int main(int argc, char **argv) {
  // The locale decides which bytes of a name print as they are in messages, as for md5sum.
  std::setlocale(LC_ALL, "");
  UseSmallThreadStacks();
  Output output;
  try {
    auto read = ReadCommandLine(argc, argv, output);
    if (const int *status = std::get_if<int>(&read))
      return output.Close(*status);
    return output.Close(Run(std::get<Options>(read), output));
  } catch (const std::bad_alloc &) {
    output.Error("memory exhausted"); // as md5sum says it
  }
  return output.Close(EXIT_FAILURE);
}
