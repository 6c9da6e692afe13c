#include "cli/Progress.h"

#include "cli/Threads.h"

#include <cstdio>
#include <iterator>
#include <new>
#include <string>

#include <sys/ioctl.h>
#include <unistd.h>

namespace quillsum::cli {
namespace {

using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Time(double seconds) {
  const auto whole = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                  whole % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  return text;
}

// The terminal's width, so that the line never wraps (a wrapped line cannot be erased).
std::size_t Columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
    return size.ws_col - 1u;
  return 79;
}

} // namespace

Progress::Progress(Output &output, bool countBytes)
    : output_(output), countBytes_(countBytes), thread_(StartThread([this] { Run(); })) {}

Progress::~Progress() {
  Stop();
  if (thread_.joinable())
    thread_.join();
  output_.Progress({});
}

void Progress::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_one();
}

void Progress::Expect(std::uint64_t files, std::uint64_t bytes) {
  filesExpected_.fetch_add(files, std::memory_order_relaxed);
  bytesExpected_.fetch_add(bytes, std::memory_order_relaxed);
}

void Progress::Stage(const char *name) {
  known_ = false;
  filesDone_ = bytesDone_ = filesExpected_ = bytesExpected_ = 0;
  stageStart_ = std::chrono::steady_clock::now();
  stage_ = name;
}

void Progress::Run() {
  std::unique_lock lock(mutex_);
  auto next = start_ + seconds(1);
  while (!stop_.wait_until(lock, next, [this] { return stopping_.load(); })) {
    const auto now = std::chrono::steady_clock::now();
    next = now + milliseconds(250);
    try {
      // Read in this order: once known is seen, the whole has all been counted.
      const char *const stage = stage_;
      std::string line = (stage ? std::string(stage) + ": " : std::string()) +
                         Line({filesDone_, bytesDone_, known_, filesExpected_, bytesExpected_},
                              countBytes_, duration<double>(now - stageStart_.load()).count());
      const std::size_t columns = Columns();
      if (line.size() > columns)
        line.resize(columns);
      output_.Progress(line);
    } catch (const std::bad_alloc &) { // memory short for a moment: the next one, then
    }
  }
}

std::string Progress::Bytes(double bytes) {
  static constexpr const char *kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  std::size_t unit = 0;
  for (; bytes >= 1024 && unit + 1 < std::size(kUnits); ++unit)
    bytes /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string Progress::Line(const Counts &counts, bool countBytes, double secondsTaken) {
  const auto [files, bytes, known, allFiles, allBytes] = counts;
  // "1 of 3 files" once the whole is known, else "2 files" as they are done.
  std::string line;
  if (known || files > 0) {
    line = std::to_string(files);
    if (known)
      line += " of " + std::to_string(allFiles);
    line += (known ? allFiles : files) == 1 ? " file" : " files";
  }
  const auto add = [&line](const std::string &part) { line += line.empty() ? part : ", " + part; };
  if (!countBytes) {
    if (known && files > 0 && allFiles > files)
      add(Time(secondsTaken * static_cast<double>(allFiles - files) / static_cast<double>(files)) +
          " left");
    return line;
  }
  const double rate = static_cast<double>(bytes) / secondsTaken;
  add(Bytes(static_cast<double>(bytes)));
  if (known)
    line += " of " + Bytes(static_cast<double>(allBytes));
  line += ", " + Bytes(rate) + "/s";
  if (known && rate > 0 && allBytes > bytes)
    line += ", " + Time(static_cast<double>(allBytes - bytes) / rate) + " left";
  return line;
}

} // namespace quillsum::cli
