#include "engine/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum {
namespace {

// Reads until size bytes are in, the file ends, or endsAt bytes were read: read(got) reads the
// next piece after got bytes. How many, or -1 with errno.
template <class Read> ssize_t Fill(std::size_t size, std::size_t endsAt, const Read &read) {
  std::size_t got = 0;
  while (got < size && got < endsAt) {
    const ssize_t piece = read(got);
    if (piece == 0)
      break;
    if (piece > 0)
      got += static_cast<std::size_t>(piece);
    else if (errno != EINTR)
      return -1;
  }
  return static_cast<ssize_t>(got);
}

} // namespace

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
  // At least one read, though the file was known to end before offset: it may have grown.
  const std::uint64_t left = endsAt > offset ? endsAt - offset : 1;
  return Fill(size, static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX)),
              [&](std::size_t got) {
                return ::pread(fd, static_cast<char *>(bytes) + got, size - got,
                               static_cast<off_t>(offset + got));
              });
}

ssize_t ReadFull(int fd, std::span<std::uint8_t> bytes, std::size_t endsAt) noexcept {
  return Fill(bytes.size(), endsAt,
              [&](std::size_t got) { return ::read(fd, bytes.data() + got, bytes.size() - got); });
}

} // namespace quillsum
