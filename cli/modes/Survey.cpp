#include "cli/lists/CheckList.h"
#include "cli/modes/Modes.h"
#include "cli/modes/Walk.h"
#include "cli/modes/WindowsNames.h"

#include "engine/UniqueFd.h"

#include <sys/stat.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

class Counter {
public:
  explicit Counter(Progress &progress) : progress_(progress) {}

  // Counts a file the work will read; false once the progress line is no longer wanted.
  bool Count(const std::string &name) {
    struct stat info {};
    const bool found =
        (name == "-" ? ::fstat(STDIN_FILENO, &info) : ::stat(name.c_str(), &info)) == 0;
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

} // namespace

void Survey(const Options &options, Progress &progress) {
  // What --update hashes depends on its list, and what --duplicates reads on its stages: only
  // the work itself tells.
  if (options.mode == Options::Mode::Update || options.mode == Options::Mode::Duplicates)
    return;
  Counter counter(progress);
  if (options.mode == Options::Mode::Digest) {
    ForEachFile(
        options.operands, options.recursive, options.excluded,
        [&](std::string name, bool) { return counter.Count(name); },
        [](const std::string &, int) {});
    counter.Done();
    return;
  }
  ListParser parser(TagOf(options.method));
  WindowsNames windowsNames;
  for (const std::string &operand : options.operands) {
    // Only a regular file can be read once here and again by the work; opening a FIFO could
    // even let its writer go on before the work is there to read.
    struct stat info {};
    if (::stat(operand.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || operand == "-") {
      counter.Unknown();
      continue;
    }
    const UniqueFd list = OpenForReading(operand);
    LineReader reader(list.get(), options.windowsLists);
    std::string line;
    ListedFile file;
    while (list && reader.Next(line)) {
      if (parser.Parse(std::move(line), file) != ListParser::Line::Listed)
        continue;
      // A name that cannot be here is not read, and so not counted.
      if (options.windowsLists && !windowsNames.ToFileHere(file.name, file.escaped))
        continue;
      if (!counter.Count(file.name))
        return;
    }
  }
  // --audit may hash files beneath its folders too.
  if (!options.audit.empty())
    counter.Unknown();
  counter.Done();
}

} // namespace quillsum::cli
