// quillsum-cli: md5sum's work and options, on every core, plus the sampled fingerprint and the
// text digest of Quillsum's window.

#include "cli/Modes.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"

#include <clocale>
#include <cstdlib>
#include <optional>
#include <thread>

#include <unistd.h>

int main(int argc, char **argv) {
  using namespace quillsum::cli;
  // The locale decides which bytes of a name print as they are in messages, as for md5sum.
  std::setlocale(LC_ALL, "");
  Output output;
  auto read = ReadCommandLine(argc, argv, output);
  if (const int *status = std::get_if<int>(&read))
    return output.Close(*status);
  const Options &options = std::get<Options>(read);
  if (options.mode == Options::Mode::Texts)
    return output.Close(DigestTexts(options, output) ? EXIT_SUCCESS : EXIT_FAILURE);

  std::optional<Progress> progress;
  std::thread survey;
  if (::isatty(STDERR_FILENO) == 1 && !options.status) {
    progress.emplace(output, options.method == Method::Md5);
    survey = std::thread([&] { Survey(options, *progress); });
  }
  Progress *const shown = progress ? &*progress : nullptr;
  const bool ok = options.mode == Options::Mode::Check    ? CheckLists(options, output, shown)
                  : options.mode == Options::Mode::Update ? UpdateList(options, output, shown)
                                                          : DigestFiles(options, output, shown);
  if (survey.joinable()) {
    progress->Stop();
    survey.join();
  }
  progress.reset();
  return output.Close(ok ? EXIT_SUCCESS : EXIT_FAILURE);
}
