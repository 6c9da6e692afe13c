#include "engine/UniqueFd.h"

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0)
    ::close(fd_);
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd OpenForReading(const std::filesystem::path &name) noexcept {
  // The system call would stop at a zero byte and open some other file.
  if (name.native().find('\0') != std::string::npos) {
    errno = ENOENT;
    return UniqueFd(-1);
  }
  return UniqueFd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

ssize_t ReadAt(int fd, void *bytes, std::size_t size, std::uint64_t offset,
               std::uint64_t endsAt) noexcept {
  std::size_t got = 0;
  while (got < size && (got == 0 || offset + got < endsAt)) {
    const ssize_t read =
        ::pread(fd, static_cast<char *>(bytes) + got, size - got, static_cast<off_t>(offset + got));
    if (read == 0)
      break;
    if (read > 0)
      got += static_cast<std::size_t>(read);
    else if (errno != EINTR)
      return -1;
  }
  return static_cast<ssize_t>(got);
}

ssize_t ReadFull(int fd, std::span<std::uint8_t> bytes, std::size_t endsAt) noexcept {
  std::size_t got = 0;
  while (got < bytes.size() && got < endsAt) {
    const ssize_t read = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (read == 0)
      break;
    if (read > 0)
      got += static_cast<std::size_t>(read);
    else if (errno != EINTR)
      return -1;
  }
  return static_cast<ssize_t>(got);
}

} // namespace quillsum
