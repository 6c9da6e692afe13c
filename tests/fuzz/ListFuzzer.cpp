// Reads arbitrary bytes as a checksum list (after a first byte that picks the tag, odd for
// FINGERPRINT), through the line reader and the list parser. Neither
// may crash or read out of bounds; the lines must be the bytes between newlines; what a line
// lists must be a name without a zero byte; and the line written for that name and digest, in
// each form and case, must read back to the same name and digest; so must a times line.

#include "cli/lists/CheckList.h"
#include "cli/lists/Lines.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using quillsum::cli::LineStyle;
using quillsum::cli::ListedFile;
using quillsum::cli::ListParser;

void Expect(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

// The input's lines as the reader gives them, from a file in memory.
std::vector<std::string> ReadLines(std::string_view input) {
  const int fd = ::memfd_create("list", MFD_CLOEXEC);
  Expect(fd >= 0 && ::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()) &&
             ::lseek(fd, 0, SEEK_SET) == 0,
         "memfd");
  quillsum::cli::LineReader reader(fd);
  std::vector<std::string> lines;
  for (std::string line; reader.Next(line);)
    lines.push_back(line);
  Expect(reader.error() == 0, "read error");
  ::close(fd);
  return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string_view tag = data[0] & 1 ? "FINGERPRINT" : "MD5";
  const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

  const std::vector<std::string> lines = ReadLines(input);
  std::string joined;
  for (const std::string &line : lines)
    joined += line + '\n';
  Expect(joined == input || joined == std::string(input) + '\n', "lines");

  ListParser parser(tag);
  for (const std::string &line : lines) {
    // A times line read back from the one written for what it gave: the same size and time.
    std::int64_t bytes = 0, again = 0;
    timespec mtime{}, mtimeAgain{};
    if (quillsum::cli::ReadTimesLine(line, bytes, mtime)) {
      std::string written = quillsum::cli::TimesLine(bytes, mtime, false);
      written.pop_back();
      Expect(quillsum::cli::ReadTimesLine(written, again, mtimeAgain) && again == bytes &&
                 mtimeAgain.tv_sec == mtime.tv_sec && mtimeAgain.tv_nsec == mtime.tv_nsec,
             "times line read back");
    }
    ListedFile file;
    if (parser.Parse(line, file) != ListParser::Line::Listed)
      continue;
    Expect(file.name.find('\0') == std::string::npos, "name");
    if (file.name.empty()) // no file has that name, so none is ever written
      continue;
    for (const LineStyle &style :
         {LineStyle{tag, false, false, false, false}, LineStyle{tag, false, false, true, false},
          LineStyle{tag, true, true, true, false}}) {
      std::string written = quillsum::cli::DigestLine(file.digest, file.name, style);
      written.pop_back();
      ListParser fresh(tag);
      ListedFile again;
      Expect(fresh.Parse(written, again) == ListParser::Line::Listed, "written line refused");
      Expect(again.name == file.name && again.digest == file.digest, "written line read back");
    }
  }
  return 0;
}
