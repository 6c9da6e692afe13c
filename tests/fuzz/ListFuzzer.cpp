// Reads arbitrary bytes as a checksum list (after a first byte that picks the tag, odd for
// FINGERPRINT, and with its second bit set, reading it as --windows-lists does), through the line
// reader and the list parser. Neither may crash or read out of bounds; the lines must be the
// bytes between newlines, or for a Windows list those iconv decodes them to (from UTF-16 after
// its mark, else UTF-8 or Windows-1252 line by line; ';' comments empty), up to where iconv
// finds the UTF-16 not valid, where the reader must stop too; what a line lists must be a name
// without a zero byte; and the line written for that name and digest, in each form and case,
// must read back to the same name and digest; so must a times line.

#include "cli/lists/CheckList.h"
#include "cli/lists/Lines.h"

#include <iconv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
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

// The input's lines as the reader gives them, from a file in memory; invalid says whether it
// stopped at one not valid UTF-16.
std::vector<std::string> ReadLines(std::string_view input, bool windows, bool &invalid) {
  const int fd = ::memfd_create("list", MFD_CLOEXEC);
  Expect(fd >= 0 && ::write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size()) &&
             ::lseek(fd, 0, SEEK_SET) == 0,
         "memfd");
  quillsum::cli::LineReader reader(fd, windows);
  std::vector<std::string> lines;
  for (std::string line; reader.Next(line);)
    lines.push_back(line);
  Expect(reader.error() == 0, "read error");
  invalid = reader.invalid();
  ::close(fd);
  return lines;
}

// What iconv makes of bytes in an encoding, as UTF-8 unless told; complete says whether it took
// them all.
std::string Iconv(const char *from, std::string bytes, bool &complete, const char *to = "UTF-8") {
  const iconv_t cd = ::iconv_open(to, from);
  Expect(cd != reinterpret_cast<iconv_t>(-1), "iconv_open");
  std::string out(bytes.size() * 4 + 4, '\0');
  char *in = bytes.data(), *at = out.data();
  std::size_t inLeft = bytes.size(), outLeft = out.size();
  complete = ::iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<std::size_t>(-1);
  ::iconv_close(cd);
  return out.substr(0, out.size() - outLeft);
}

// A line of a Windows list that is not UTF-16: a comment empty, else UTF-8 as it is, else each
// byte as the Windows-1252 character iconv gives it (the five bytes that code page leaves
// unassigned as the control characters of the same value).
std::string WindowsLine(const std::string &line) {
  static const auto ansi = [] {
    std::array<std::string, 256> table;
    for (unsigned byte = 0; byte < 256; ++byte) {
      bool complete = false;
      table[byte] = Iconv("CP1252", std::string(1, static_cast<char>(byte)), complete);
      if (!complete)
        table[byte] = {static_cast<char>(0xC0 | byte >> 6),
                       static_cast<char>(0x80 | (byte & 0x3F))};
    }
    return table;
  }();
  if (line.starts_with(';'))
    return {};
  // Through UTF-32, since glibc's UTF-8 to UTF-8 lets code points past U+10FFFF through.
  bool utf8 = false;
  Iconv("UTF-8", line, utf8, "UTF-32LE");
  if (utf8)
    return line;
  std::string decoded;
  for (const char byte : line)
    decoded += ansi[static_cast<unsigned char>(byte)];
  return decoded;
}

// The lines a Windows list must give, and whether iconv found it not valid UTF-16.
std::vector<std::string> WindowsLines(std::string_view input, bool &invalid) {
  const char *utf16 = input.starts_with("\xFF\xFE")   ? "UTF-16LE"
                      : input.starts_with("\xFE\xFF") ? "UTF-16BE"
                                                      : nullptr;
  bool complete = true;
  const std::string text =
      utf16 ? Iconv(utf16, std::string(input.substr(2)), complete)
            : std::string(input.substr(input.starts_with("\xEF\xBB\xBF") ? 3 : 0));
  invalid = !complete;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos && invalid)
      break; // cut short where the UTF-16 stopped being valid
    lines.push_back(text.substr(at, std::min(end, text.size()) - at));
    if (utf16)
      lines.back() = lines.back().starts_with(';') ? "" : lines.back();
    else
      lines.back() = WindowsLine(lines.back());
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string_view tag = data[0] & 1 ? "FINGERPRINT" : "MD5";
  const bool windows = data[0] & 2;
  const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

  bool invalid = false;
  const std::vector<std::string> lines = ReadLines(input, windows, invalid);
  if (windows) {
    bool notUtf16 = false;
    Expect(lines == WindowsLines(input, notUtf16) && invalid == notUtf16, "Windows lines");
  } else {
    std::string joined;
    for (const std::string &line : lines)
      joined += line + '\n';
    Expect(joined == input || joined == std::string(input) + '\n', "lines");
  }

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
