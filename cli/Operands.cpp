#include "cli/Operands.h"

#include <fcntl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Descriptor 0 as it was at the start, and whether it is the stand-in for a closed one (Output).
struct StandardInput {
  struct stat info {};
  bool open = false, closed = false;
};
const StandardInput &Input() {
  static const StandardInput input = [] {
    StandardInput in;
    in.open = ::fstat(STDIN_FILENO, &in.info) == 0;
    const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
    in.closed = flags != -1 && (flags & O_PATH) != 0;
    return in;
  }();
  return input;
}

} // namespace

Origin OriginOf(std::string_view name, bool walked) {
  return walked ? Origin::Walked : name == "-" ? Origin::StandardInput : Origin::Named;
}

Reading ReadingOf(Origin origin, const struct stat &info) {
  switch (origin) {
  case Origin::StandardInput:
    return Reading::InTurn;
  case Origin::Walked:
    return S_ISREG(info.st_mode) ? Reading::Now : Reading::Skipped;
  case Origin::Named:
    break;
  }
  if (Input().closed && SameFile(info, Input().info))
    return Reading::Missing;
  return S_ISREG(info.st_mode)   ? Reading::Now
         : S_ISDIR(info.st_mode) ? Reading::Directory
                                 : Reading::InTurn;
}

bool IsStandardInput(const struct stat &info) {
  return Input().open && SameFile(info, Input().info);
}

} // namespace quillsum::cli
