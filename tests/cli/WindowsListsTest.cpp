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

#include <regex>
#include <string>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals; // "\x00" inside
using test::Ran;

// UTF-8 text re-encoded by iconv, the tests' own reference for what Windows tools write.
std::string Iconv(const char *to, std::string text) {
  const iconv_t cd = ::iconv_open(to, "UTF-8");
  std::string out(text.size() * 4, '\0');
  char *in = text.data(), *at = out.data();
  std::size_t inLeft = text.size(), outLeft = out.size();
  const bool done = ::iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<std::size_t>(-1);
  ::iconv_close(cd);
  EXPECT_TRUE(done) << to;
  return out.substr(0, out.size() - outLeft);
}
std::string Utf16Le(const std::string &text) { return "\xFF\xFE" + Iconv("UTF-16LE", text); }
std::string Utf16Be(const std::string &text) { return "\xFE\xFF" + Iconv("UTF-16BE", text); }

// A list with each {content} replaced by the digest of that content in upper case (as Windows
// tools write it) and {TAG} by the method's tag.
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
                             "{abc} *a.txt\r\n"
                             "{hello} *Sub\\deeper\\b.bin\r\n"
                             "{TAG} (sub\\deeper\\b.bin) = {hello}\r\n"
                             "{x}  caf\xC3\xA9.txt\r\n"
                             "{y}  Photo.JPG\r\n"
                             "{old}  damaged.txt\r\n"
                             "{moved}  sub\\gone.txt\r\n"
                             "\\{b}  back\\\\slash\r\n";
// The same list as md5sum writes it, its names those of the files here.
const std::string kMd5sum = "{abc} *a.txt\n"
                            "{hello} *sub/deeper/b.bin\n"
                            "{TAG} (sub/deeper/b.bin) = {hello}\n"
                            "{x}  caf\xC3\xA9.txt\n"
                            "{y}  photo.jpg\n"
                            "{old}  damaged.txt\n"
                            "{moved}  sub/gone.txt\n"
                            "\\{b}  back\\\\slash\n";

// The folder the lists are checked in. Names absolute on Windows are here, as written and as '/'
// would make them, and are never found.
const std::pair<std::string, std::string> kFiles[] = {{"a.txt", "abc"},
                                                      {"sub/deeper/b.bin", "hello"},
                                                      {"sub/DEEPER/c", "c"},
                                                      {"caf\xC3\xA9.txt", "x"},
                                                      {"photo.jpg", "y"},
                                                      {"damaged.txt", "new"},
                                                      {"sub/new.txt", "moved"},
                                                      {"back\\slash", "b"},
                                                      {"Twin.txt", "z"},
                                                      {"twin.TXT", "z"},
                                                      {"C:\\x\\a.txt", "abc"},
                                                      {"C:/x/a.txt", "abc"},
                                                      {"\\\\server\\a.txt", "abc"},
                                                      {"\\a.txt", "abc"},
                                                      {"c:a.txt", "abc"}};

class WindowsLists : public testing::Test {
protected:
  void SetUp() override {
    for (const auto &[name, content] : kFiles) {
      fs::create_directories((Here() / name).parent_path());
      dir.Write("case/" + name, content);
    }
  }
  fs::path Here() const { return dir.path() / "case"; }
  // The folder's launch of quillsum-cli, or of md5sum, under a UTF-8 locale.
  test::Launch Launch(bool md5sum, std::vector<std::string> args) const {
    test::Launch launch = test::CliLaunch(std::move(args), Here());
    if (md5sum)
      launch.argv.front() = "md5sum";
    launch.env = {{"LC_ALL", "C.UTF-8"}};
    return launch;
  }
  // Runs it with the list as ../list, or on standard input; md5sum's output as quillsum-cli's.
  Ran Run(bool md5sum, std::vector<std::string> args, const std::string &list,
          bool input = false) const {
    dir.Write("list", list);
    args.push_back(input ? "-" : "../list");
    test::Launch launch = Launch(md5sum, args);
    launch.input = input ? list : "";
    Ran ran = test::Run(launch);
    if (md5sum) {
      test::ReplaceAll(ran.err, "md5sum", "quillsum-cli");
      ran.out = test::As911(ran.out, "C.UTF-8");
    }
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
  struct Way {
    std::vector<std::string> args;
    bool md5sumHasIt = true, input = false;
  };
  const Way ways[] = {{{}},
                      {{"--quiet"}},
                      {{"--status"}},
                      {{"--strict", "-w"}},
                      {{"--ignore-missing"}},
                      {{}, true, true},
                      {{"--fingerprint"}, false},
                      {{"--audit=sub"}, false}};
  for (const auto &[encoding, encode] : encodings)
    for (const Way &way : ways) {
      SCOPED_TRACE(std::string(encoding) + " " + testing::PrintToString(way.args));
      const bool fingerprint = way.args == std::vector<std::string>{"--fingerprint"};
      std::vector<std::string> args = way.args;
      args.insert(args.begin(), "-c");
      const Ran expected = Run(way.md5sumHasIt, args, Filled(kMd5sum, fingerprint), way.input);
      args.push_back("--windows-lists");
      ExpectSame(Run(false, args, encode(Filled(kWindows, fingerprint)), way.input), expected);
    }
}

TEST_F(WindowsLists, NamesThatAreNotHereAndListsNotValidInTheirEncodingFail) {
  struct Case {
    const char *what;
    std::string list, out, err;
    std::vector<std::string> args = {"-c", "--windows-lists"};
  };
  const std::string names[] = {"C:\\x\\a.txt", "\\\\server\\a.txt", "\\a.txt", "c:a.txt",
                               "TWIN.TXT"};
  Case absent{"absolute, or two files in another case", "", "", ""};
  for (const std::string &name : names) {
    const std::string shown = test::Md5sumQuoted(name, "C.UTF-8");
    absent.list += Filled("{abc}  ") + name + "\r\n";
    absent.out += shown + ": FAILED open or read\n";
    absent.err += "quillsum-cli: " + shown + ": No such file or directory\n";
  }
  absent.err += "quillsum-cli: WARNING: 5 listed files could not be read\n";
  const std::string line = Filled("{abc}  a.txt\r\n"), ok = "a.txt: OK\n";
  const std::string invalid = "quillsum-cli: ../list: 2: not valid UTF-16\n";
  const Case cases[] = {
      absent,
      {"a low surrogate first", Utf16Le(line) + "\x00\xDC"s + Iconv("UTF-16LE", line), ok, invalid},
      {"a high surrogate alone", Utf16Be(line) + "\xD8\x3D\x00\r\x00\n"s + Iconv("UTF-16BE", line),
       ok, invalid},
      {"an odd byte at the end", Utf16Le(line) + "a", ok, invalid},
      {"with --update",
       "",
       "",
       "quillsum-cli: the --windows-lists option is meaningful only when verifying checksums\n"
       "Try 'quillsum-cli --help' for more information.\n",
       {"--windows-lists", "a.txt", "--update"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Ran ran = Run(false, c.args, c.list);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(test::ReadFile(dir.path() / "list"), c.list);
  }
}

// What standard error shows on a pseudo-terminal, the progress line taken out, when it ends.
std::string ShownOnTerminal(test::Launch launch) {
  int terminal = -1, err = -1;
  EXPECT_EQ(::openpty(&terminal, &err, nullptr, nullptr, nullptr), 0);
  termios raw{};
  ::tcgetattr(err, &raw);
  ::cfmakeraw(&raw); // the bytes as written, no "\r\n" for "\n"
  ::tcsetattr(err, TCSANOW, &raw);
  launch.err = err;
  test::Child child = test::Start(launch);
  ::close(err);
  char buffer[4096];
  while (::read(child.pipe(), buffer, sizeof buffer) > 0) {
  }
  child.Wait();
  std::string shown;
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;)
    shown.append(buffer, static_cast<std::size_t>(got));
  ::close(terminal);
  return std::regex_replace(shown, std::regex("\r[^\r\n]*\x1b\\[K"), "");
}

TEST_F(WindowsLists, AListThatFailsForItsWindowsWaysSaysSoOnATerminalOnly) {
  const std::pair<std::string, bool> lists[] = {
      {"\xEF\xBB\xBF{abc}  a.txt\n", true},
      {Utf16Le("{abc}  a.txt\r\n"), true},
      {"; made by a Windows tool\n{abc}  a.txt\n", true},
      {"{hello}  sub\\deeper\\b.bin\n", true},
      {"{y}  Photo.JPG\n", true},
      {"{x}  caf\xE9.txt\n", true},
      {"{abc}  a.txt\n{abc}  no\\such.txt\nnot a line\n{abc}  nosuch.txt\n", false}};
  for (const auto &[list, hint] : lists) {
    SCOPED_TRACE(list);
    const Ran md5sum = Run(true, {"-c"}, Filled(list));
    ExpectSame(Run(false, {"-c"}, Filled(list)), md5sum);
    EXPECT_EQ(ShownOnTerminal(Launch(false, {"-c", "../list"})),
              md5sum.err + (hint ? "quillsum-cli: ../list looks written on Windows: try again "
                                   "with --windows-lists\n"
                                 : ""));
  }
}

} // namespace
} // namespace quillsum
