// Checksum lists written on Windows: read with -c --windows-lists in each encoding and form the
// Windows tools write, they give what md5sum -c (or, for options it lacks, -c itself) gives for
// the same list in md5sum's form; the ways they fail; and without the option, the hint that a
// list failed for its Windows ways, on a terminal only.

#include "support/Launch.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals; // "\x00" inside
using test::Ran;

// UTF-8 text as iconv encodes it: the tests' own reference for what Windows tools write.
std::string Iconv(const char *to, std::string text) {
  const iconv_t cd = ::iconv_open(to, "UTF-8");
  std::string out(text.size() * 4, '\0');
  char *in = text.data(), *at = out.data();
  std::size_t inLeft = text.size(), outLeft = out.size();
  ::iconv(cd, &in, &inLeft, &at, &outLeft);
  ::iconv_close(cd);
  return out.substr(0, out.size() - outLeft);
}
std::string Utf16Le(const std::string &text) { return "\xFF\xFE" + Iconv("UTF-16LE", text); }
std::string Utf16Be(const std::string &text) { return "\xFE\xFF" + Iconv("UTF-16BE", text); }

// Each file holds its own name. Names absolute on Windows are here, as written and as '/' would
// make them, and are never found; so is a folder named as another but for its case.
const char *const kFiles[] = {
    "a.txt",        "sub/deeper/b.bin", "sub/DEEPER/c",      "caf\xC3\xA9.txt", "photo.jpg",
    "damaged.txt",  "sub/new.txt",      "back\\slash",       "Twin.txt",        "twin.TXT",
    "C:\\x\\a.txt", "C:/x/a.txt",       "\\\\server\\a.txt", "\\a.txt",         "c:a.txt"};

// A list with each {content} replaced by its digest in upper case, as Windows tools write it,
// and {TAG} by the method's name.
std::string Filled(std::string list, bool fingerprint = false) {
  for (std::size_t at; (at = list.find('{')) != std::string::npos;) {
    const std::string key = list.substr(at + 1, list.find('}', at) - at - 1);
    list.replace(at, key.size() + 2,
                 key == "TAG"  ? (fingerprint ? "FINGERPRINT" : "MD5")
                 : fingerprint ? test::ReferenceFingerprint(key)
                               : test::ReferenceMd5(key));
  }
  return list;
}

const std::string kWindows = "; made by a Windows tool\r\n"
                             "{a.txt} *a.txt\r\n"
                             "{sub/deeper/b.bin} *Sub\\deeper\\b.bin\r\n"
                             "{TAG} (sub\\deeper\\b.bin) = {sub/deeper/b.bin}\r\n"
                             "{caf\xC3\xA9.txt}  caf\xC3\xA9.txt\r\n"
                             "{photo.jpg}  Photo.JPG\r\n"
                             "{old}  damaged.txt\r\n"
                             "{sub/new.txt}  sub\\gone.txt\r\n"
                             "\\{back\\slash}  back\\\\slash\r\n";
// The same list as md5sum writes it, its names those of the files here.
const std::string kMd5sum = "{a.txt} *a.txt\n"
                            "{sub/deeper/b.bin} *sub/deeper/b.bin\n"
                            "{TAG} (sub/deeper/b.bin) = {sub/deeper/b.bin}\n"
                            "{caf\xC3\xA9.txt}  caf\xC3\xA9.txt\n"
                            "{photo.jpg}  photo.jpg\n"
                            "{old}  damaged.txt\n"
                            "{sub/new.txt}  sub/gone.txt\n"
                            "\\{back\\slash}  back\\\\slash\n";

class WindowsLists : public testing::Test {
protected:
  void SetUp() override {
    for (const std::string name : kFiles) {
      fs::create_directories((Here() / name).parent_path());
      dir.Write("case/" + name, name);
    }
  }
  fs::path Here() const { return dir.path() / "case"; }
  // The program (md5sum's output as quillsum-cli's) in the folder under a UTF-8 locale, the list
  // as ../list, or on standard input where args hold "-".
  test::Launch Launch(bool md5sum, std::vector<std::string> args, const std::string &list) const {
    dir.Write("list", list);
    const bool input = std::find(args.begin(), args.end(), "-") != args.end();
    if (!input)
      args.push_back("../list");
    test::Launch launch = test::CliLaunch(args, Here());
    launch.argv.front() = md5sum ? "md5sum" : launch.argv.front();
    launch.input = input ? list : "";
    launch.env = {{"LC_ALL", "C.UTF-8"}};
    return launch;
  }
  Ran Run(bool md5sum, std::vector<std::string> args, const std::string &list) const {
    Ran ran = test::Run(Launch(md5sum, std::move(args), list));
    test::ReplaceAll(ran.err, "md5sum", "quillsum-cli");
    ran.out = md5sum ? test::As911(ran.out, "C.UTF-8") : ran.out;
    return ran;
  }
  test::TempDir dir;
};

void ExpectSame(const Ran &actual, const Ran &expected) {
  EXPECT_EQ(actual.out, expected.out);
  EXPECT_EQ(actual.err, expected.err);
  EXPECT_EQ(actual.status, expected.status);
}

TEST_F(WindowsLists, EachEncodingReadsAsMd5sumReadsTheListInItsForm) {
  const std::pair<const char *, std::string (*)(const std::string &)> encodings[] = {
      {"UTF-8 with a mark", [](const std::string &s) { return "\xEF\xBB\xBF" + s; }},
      {"UTF-16LE with a mark", Utf16Le},
      {"UTF-16BE with a mark", Utf16Be},
      {"Windows-1252", [](const std::string &s) { return Iconv("CP1252", s); }},
      {"UTF-8", [](const std::string &s) { return s; }}};
  // The last two md5sum lacks: -c itself on the list in md5sum's form tells what they give.
  const std::vector<std::string> ways[] = {
      {},    {"--quiet"},       {"--status"},   {"--strict", "-w"}, {"--ignore-missing"},
      {"-"}, {"--fingerprint"}, {"--audit=sub"}};
  for (const auto &[encoding, encode] : encodings)
    for (std::vector<std::string> args : ways) {
      SCOPED_TRACE(std::string(encoding) + " " + testing::PrintToString(args));
      const bool fingerprint = args == std::vector<std::string>{"--fingerprint"};
      const bool md5sum = !fingerprint && args != std::vector<std::string>{"--audit=sub"};
      args.insert(args.begin(), "-c");
      const Ran expected = Run(md5sum, args, Filled(kMd5sum, fingerprint));
      args.push_back("--windows-lists");
      ExpectSame(Run(false, args, encode(Filled(kWindows, fingerprint))), expected);
    }
}

TEST_F(WindowsLists, NamesThatAreNotHereAndListsNotValidInTheirEncodingFail) {
  struct Case {
    std::string list, out, err;
    std::vector<std::string> args = {"-c", "--windows-lists"};
  };
  Case absent; // absolute, or two files in another case
  for (const std::string name :
       {"C:\\x\\a.txt", "\\\\server\\a.txt", "\\a.txt", "c:a.txt", "TWIN.TXT"}) {
    const std::string shown = test::Md5sumQuoted(name, "C.UTF-8");
    absent.list += Filled("{a.txt}  ") + name + "\r\n";
    absent.out += shown + ": FAILED open or read\n";
    absent.err += "quillsum-cli: " + shown + ": No such file or directory\n";
  }
  absent.err += "quillsum-cli: WARNING: 5 listed files could not be read\n";
  const std::string line = Filled("{a.txt}  a.txt\r\n"), ok = "a.txt: OK\n",
                    invalid = "quillsum-cli: ../list: 2: not valid UTF-16\n";
  const Case cases[] = {
      absent,
      {Utf16Le(line) + "\x00\xDC"s + Iconv("UTF-16LE", line), ok, invalid}, // a low surrogate
      {Utf16Be(line) + "\xD8\x3D\x00\r\x00\n"s, ok, invalid},               // a high one alone
      {Utf16Le(line) + "a", ok, invalid},                                   // an odd last byte
      {"",
       "",
       "quillsum-cli: the --windows-lists option is meaningful only when verifying checksums\n"
       "Try 'quillsum-cli --help' for more information.\n",
       {"--windows-lists", "a.txt", "--update"}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.list);
    const Ran ran = Run(false, c.args, c.list);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(test::ReadFile(dir.path() / "list"), c.list); // never written
  }
}

// What standard error shows on a pseudo-terminal, the progress line taken out, when it ends.
std::string ShownOnTerminal(test::Launch launch) {
  int terminal = -1;
  EXPECT_EQ(::openpty(&terminal, &launch.err, nullptr, nullptr, nullptr), 0);
  termios raw{};
  ::tcgetattr(launch.err, &raw);
  ::cfmakeraw(&raw); // the bytes as written, no "\r\n" for "\n"
  ::tcsetattr(launch.err, TCSANOW, &raw);
  test::Child child = test::Start(launch);
  ::close(launch.err);
  char buffer[4096];
  while (::read(child.pipe(), buffer, sizeof buffer) > 0) {
  }
  child.Wait();
  std::string shown;
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;)
    shown.append(buffer, static_cast<std::size_t>(got));
  ::close(terminal);
  // Each "\r<text>\x1b[K" that drew or erased it.
  for (std::size_t at, end; (at = shown.find('\r')) != std::string::npos &&
                            (end = shown.find("\x1b[K", at)) != std::string::npos;)
    shown.erase(at, end + 3 - at);
  return shown;
}

TEST_F(WindowsLists, AListThatFailsForItsWindowsWaysSaysSoOnATerminalOnly) {
  const std::string hint =
      "quillsum-cli: ../list looks written on Windows: try again with --windows-lists\n";
  const std::pair<std::string, bool> lists[] = {
      {"\xEF\xBB\xBF" + Filled("{a.txt}  a.txt\n"), true},
      {Utf16Le(Filled("{a.txt}  a.txt\r\n")), true},
      {Filled("; made by a Windows tool\n{a.txt}  a.txt\n"), true},
      {Filled("{sub/deeper/b.bin}  sub\\deeper\\b.bin\n"), true},
      {Filled("{photo.jpg}  Photo.JPG\n"), true},
      {Filled("{caf\xC3\xA9.txt}  caf\xE9.txt\n"), true},
      {Filled("{a.txt}  a.txt\n{a.txt}  no\\such.txt\nnot a line\n{a.txt}  nosuch.txt\n"), false}};
  for (const auto &[list, windows] : lists) {
    SCOPED_TRACE(list);
    const Ran md5sum = Run(true, {"-c"}, list);
    ExpectSame(Run(false, {"-c"}, list), md5sum);
    EXPECT_EQ(ShownOnTerminal(Launch(false, {"-c"}, list)), md5sum.err + (windows ? hint : ""));
  }
}

} // namespace
} // namespace quillsum
