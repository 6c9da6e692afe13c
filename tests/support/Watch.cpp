#include "Watch.h"

#include "Launch.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace quillsum::test {

Watch::Watch(const std::filesystem::path &folder, std::uint32_t mask)
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ < 0 || ::inotify_add_watch(fd_, folder.c_str(), mask) < 0) {
    if (fd_ >= 0)
      ::close(fd_);
    throw std::runtime_error("cannot watch " + folder.string());
  }
}

Watch::~Watch() { ::close(fd_); }

std::vector<std::string> Watch::Names() {
  std::vector<std::string> names;
  alignas(inotify_event) char events[64 * 1024];
  for (ssize_t got; (got = ::read(fd_, events, sizeof events)) > 0;)
    for (const char *at = events; at < events + got;) {
      const auto *event = reinterpret_cast<const inotify_event *>(at);
      if (event->len > 0 && !(event->mask & IN_ISDIR))
        names.emplace_back(event->name);
      at += sizeof(inotify_event) + event->len;
    }
  return names;
}

std::optional<std::uint64_t> FirstExtent(const std::filesystem::path &file) {
  std::istringstream lines(Shell("filefrag -v -b1 -- \"$1\"", {file}));
  unsigned long long logical = 0, physical = 0;
  for (std::string line; std::getline(lines, line);)
    if (std::sscanf(line.c_str(), " 0: %llu.. %*u: %llu..", &logical, &physical) == 2)
      return physical;
  return std::nullopt;
}

bool AllShared(const std::filesystem::path &file) {
  std::istringstream lines(Shell("filefrag -v -- \"$1\"", {file}));
  bool any = false;
  for (std::string line; std::getline(lines, line);)
    if (unsigned extent = 0; std::sscanf(line.c_str(), " %u:", &extent) == 1) {
      if (line.find("shared") == std::string::npos)
        return false;
      any = true;
    }
  return any;
}

} // namespace quillsum::test
