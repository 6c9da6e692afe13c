#include "WindowTest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace quillsum::test {

namespace {

void SetDefault(const char *name, const char *value) {
  if (const char *set = std::getenv(name); !set || !*set)
    ::setenv(name, value, 1);
}

} // namespace

Headless::Headless() {
  SetDefault("QT_QPA_PLATFORM", "offscreen");
  SetDefault("QT_SCALE_FACTOR", "1");
  SetDefault("XDG_RUNTIME_DIR", dir_.path().c_str());
  const auto config = dir_.path() / "config";
  std::filesystem::create_directory(config);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
}

void MakeFile(const std::filesystem::path &file, std::string_view head, std::int64_t length) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 &&
                       ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
                       ::ftruncate(fd, length) == 0;
  if (fd >= 0)
    ::close(fd);
  if (!written)
    throw std::runtime_error("cannot write " + file.string());
}

} // namespace quillsum::test
