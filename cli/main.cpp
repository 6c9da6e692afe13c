// quillsum-cli: md5sum's work and options, on every core, plus the sampled fingerprint and the
// text digest of Quillsum's window.

#include "cli/Operands.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Survey.h"
#include "cli/Threads.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/modes/Modes.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace quillsum::cli;

// Whether the user may be typing what the work reads, on the terminal the progress line would
// be drawn on: an operand names standard input, and it is that terminal.
bool TypedOnTheProgressTerminal(const Options &options) {
  struct stat in {
  }, err{};
  if (::isatty(STDIN_FILENO) != 1 || ::fstat(STDIN_FILENO, &in) != 0 ||
      ::fstat(STDERR_FILENO, &err) != 0 || in.st_rdev != err.st_rdev)
    return false;
  return std::any_of(options.operands.begin(), options.operands.end(), [](const std::string &name) {
    struct stat info {};
    return OriginOf(name, false) == Origin::StandardInput ||
           (::stat(name.c_str(), &info) == 0 && IsStandardInput(info));
  });
}

// The progress line and the survey that counts the whole work for it, ended and joined however
// the work ends.
class ShownProgress {
public:
  ShownProgress(const Options &options, Output &output) {
    if (::isatty(STDERR_FILENO) != 1 || options.status || TypedOnTheProgressTerminal(options))
      return;
    progress_.emplace(output, options.method == Method::Md5);
    Output::EraseProgressOnSignals();
    survey_ = StartThread([this, &options] { Survey(options, *progress_); });
  }
  ShownProgress(const ShownProgress &) = delete;
  ShownProgress &operator=(const ShownProgress &) = delete;
  ~ShownProgress() {
    if (progress_)
      progress_->Stop();
    if (survey_.joinable())
      survey_.join();
  }
  Progress *get() { return progress_ ? &*progress_ : nullptr; }

private:
  std::optional<Progress> progress_;
  Thread survey_;
};

int Run(const Options &options, Output &output) {
  if (options.mode == Options::Mode::Texts)
    return DigestTexts(options, output) ? EXIT_SUCCESS : EXIT_FAILURE;
  ShownProgress progress(options, output);
  const bool ok =
      options.mode == Options::Mode::Check        ? CheckLists(options, output, progress.get())
      : options.mode == Options::Mode::Update     ? UpdateList(options, output, progress.get())
      : options.mode == Options::Mode::Duplicates ? FindDuplicates(options, output, progress.get())
                                                  : DigestFiles(options, output, progress.get());
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

// std::terminate with no exception active: what a bad_alloc ends in when memory is so short
// that the exception itself cannot be allocated (as under a tight ulimit -v from the start).
// Said as any other exhaustion is; a fault of the program's still aborts.
[[noreturn]] void Terminated() {
  if (!std::current_exception()) {
    void *probe = std::malloc(1024);
    if (!probe)
      Output::Abandon();
    std::free(probe);
  }
  std::abort();
}

} // namespace

int main(int argc, char **argv) {
  std::set_terminate(Terminated);
  // The locale decides which bytes of a name print as they are in messages, as for md5sum.
  std::setlocale(LC_ALL, "");
  PrepareThreads();
  Output output;
  // Before anything else is opened: what is open now stays outside the budget.
  DescriptorBudget::OfProcess();
  try {
    auto read = ReadCommandLine(argc, argv, output);
    if (const int *status = std::get_if<int>(&read))
      return output.Close(*status);
    return output.Close(Run(std::get<Options>(read), output));
  } catch (const std::bad_alloc &) {
    // As md5sum says it, with no allocation: memory may still be short.
    Output::Abandon();
  }
}
