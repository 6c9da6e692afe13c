#include "engine/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

namespace quillsum {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0)
    ::close(fd_);
}

UniqueFd OpenForReading(const std::filesystem::path &name) noexcept {
  return UniqueFd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

} // namespace quillsum
