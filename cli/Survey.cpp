#include "cli/Survey.h"

#include "cli/lists/CheckList.h"
#include "cli/loop/DescriptorBudget.h"
#include "cli/modes/Walk.h"
#include "cli/modes/WindowsNames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

class Counter {
public:
  explicit Counter(Progress &progress) : progress_(progress) {}

  // Counts a file the work will read; false once the progress line is no longer wanted.
  bool Count(const std::string &name, Origin origin) {
    struct stat info {};
    const bool found = (origin == Origin::StandardInput ? ::fstat(STDIN_FILENO, &info)
                                                        : ::stat(name.c_str(), &info)) == 0;
    // How much a pipe, terminal or device gives cannot be known beforehand.
    if (found && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
      whole_ = false;
    progress_.Expect(1,
                     found && S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0);
    return progress_.Running();
  }
  void Unknown() { whole_ = false; }
  void Done() {
    if (whole_)
      progress_.Known();
  }

private:
  Progress &progress_;
  bool whole_ = true;
};

void Count(const Options &options, Progress &progress) {
  // What --update hashes depends on its list, and what --duplicates reads on its stages: only
  // the work itself tells.
  if (options.mode == Options::Mode::Update || options.mode == Options::Mode::Duplicates)
    return;
  Counter counter(progress);
  if (options.mode == Options::Mode::Digest) {
    ForEachFile(
        options.operands, options.recursive, options.excluded,
        [&](std::string name, Origin origin) { return counter.Count(name, origin); },
        [](const std::string &, int) {}, nullptr);
    counter.Done();
    return;
  }
  ListParser parser(TagOf(options.method));
  WindowsNames windowsNames;
  for (const std::string &operand : options.operands) {
    // Only a regular file can be read once here and again by the work; opening a FIFO could
    // even let its writer go on before the work is there to read.
    struct stat info {};
    if (OriginOf(operand, false) != Origin::Named || ::stat(operand.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
      counter.Unknown();
      continue;
    }
    const DescriptorBudget::Held list = DescriptorBudget::OfProcess().Open(
        operand.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    LineReader reader(list.get(), options.windowsLists);
    std::string line;
    ListedFile file;
    while (list && reader.Next(line)) {
      if (parser.Parse(std::move(line), file) != ListParser::Line::Listed)
        continue;
      // A name that cannot be here is not read, and so not counted.
      if (options.windowsLists && !windowsNames.ToFileHere(file.name, file.escaped))
        continue;
      if (!counter.Count(file.name, OriginOf(file.name, false)))
        return;
    }
  }
  // --audit may hash files beneath its folders too.
  if (!options.audit.empty())
    counter.Unknown();
  counter.Done();
}

} // namespace

void Survey(const Options &options, Progress &progress) {
  // Out of memory, it counts no more: the line goes on without a whole.
  try {
    Count(options, progress);
  } catch (const std::bad_alloc &) {
  }
}

} // namespace quillsum::cli
