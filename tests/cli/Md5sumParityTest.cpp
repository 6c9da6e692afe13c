// quillsum-cli is a drop-in for the machine's md5sum: every case below runs through both, in the
// same folder with the same standard input, under the C locale and a UTF-8 one, and must give the
// same stdout, the same exit status and the same stderr once the program's name is swapped, and
// -c's result lines written as coreutils 9.11 writes them (As911). A
// case that names $J runs with quillsum-cli's -j 1, 2 and 8 (md5sum has no such option).

#include "support/Launch.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace quillsum {
namespace {

namespace fs = std::filesystem;

const std::string kAbc = "900150983cd24fb0d6963f7d28e17f72";   // MD5 of "abc"
const std::string kEmpty = "d41d8cd98f00b204e9800998ecf8427e"; // MD5 of nothing

// What `seq 300000` prints, and its MD5.
std::string Seq300000() {
  std::string text;
  for (int k = 1; k <= 300'000; ++k)
    text += std::to_string(k) + '\n';
  return text;
}
const std::string kSeq = [] {
  std::string hex = test::ReferenceMd5(Seq300000());
  for (char &c : hex)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}();

// The folder every case runs in: files with plain and awkward names, a folder, and check lists.
const std::pair<std::string, std::string> kFiles[] = {
    {"abc", "abc"},
    {"empty", ""},
    {"a b", "abc"},
    {"it's", ""},
    {"back\\slash", "abc"},
    {"new\nline", ""},
    {"cr\rname", "abc"},
    {"caf\xc3\xa9", "abc"},
    {"bad\xffname", ""},
    {"-b", "abc"},
    {"good.md5", kAbc + "  abc\n" + kEmpty + "  empty\n"},
    {"bad.md5", kAbc + "  abc\n" + kAbc + "  empty\n"},
    {"twobad.md5", kEmpty + "  abc\n" + kAbc + "  empty\n"},
    {"missing.md5", kEmpty + "  empty\n" + kEmpty + "  nosuch\n"},
    {"allmissing.md5", kEmpty + "  nosuch\n" + kEmpty + "  'other one'\n"},
    {"tag.md5", "MD5 (abc) = " + kAbc + "\nMD5 (empty) = " + kEmpty + "\n"},
    {"tight.md5", "MD5(abc)=" + kAbc + "\nMD5 (a b) = " + kAbc + "\n"},
    {"gnufirst.md5", kAbc + "  abc\nMD5 (empty) = " + kEmpty + "\n" + kAbc + " *a b\n"},
    {"tagfirst.md5", "MD5 (abc) = " + kAbc + "\n" + kEmpty + "  empty\nMD5 (a b) = " + kAbc + "\n"},
    {"binary.md5", kAbc + " *abc\n" + kEmpty + " *empty\n"},
    {"upper.md5",
     "900150983CD24FB0D6963F7D28E17F72  abc\nD41d8cd98f00B204E9800998ecf8427E  empty\n"},
    {"crlf.md5", kAbc + "  abc\r\n" + kEmpty + "  empty\r\nMD5 (abc) = " + kAbc + "\r\n"},
    {"comments.md5", "# made by hand\n\n" + kAbc + "  abc\n   \n#" + kEmpty + "  empty\n"},
    {"malformed.md5", kAbc + "  abc\nnot a line\n900150983cd24  abc\n" + kEmpty + "  empty\nxyz\n"},
    {"garbage.md5", "hello\nworld\n"},
    {"empty.md5", ""},
    {"escaped.md5",
     "\\" + kAbc + "  back\\\\slash\n\\" + kEmpty + "  new\\nline\n\\" + kAbc + "  cr\\rname\n"},
    {"badescape.md5", "\\" + kAbc + "  back\\xslash\n\\" + kAbc + "  abc\n" + kAbc + "  abc\\\n"},
    {"spaces.md5", kAbc + "  a b\n" + kEmpty + "  it's\n" + kAbc + "  caf\xc3\xa9\n"},
    {"nul.md5", kEmpty + "  empty\n" + kEmpty + std::string("  em\0pty\n", 8) + kAbc + "  abc\n"},
    {"dir.md5", kEmpty + "  dir\n" + kAbc + "  abc\n"},
    {"short.md5", "d41d8cd98f00b204e9800998ecf8427  empty\n" + kAbc + "0  abc\n"},
    {"nonhex.md5", "g41d8cd98f00b204e9800998ecf8427e  empty\n" + kAbc + "  abc\n"},
    {"onespace.md5", kEmpty + " empty\n" + kAbc + "\tabc\n" + kAbc + "  abc"},
    {"othertag.md5",
     "SHA1 (abc) = a9993e364706816aba3e25717850c26c9cd0d89d\nMD5 (abc) = " + kAbc + "\n"},
    {"tagodd.md5", "MD5 (a) b) = " + kAbc + "\nMD5 (abc)  = " + kAbc + "\nMD5  (abc) = " + kAbc +
                       "\nMD5 (abc) =" + kAbc + "\n"},
    {"stdin.md5", kAbc + "  -\n"},
    {"trailing.md5", kAbc + "  abc \n" + kEmpty + "   empty\n"},
    {"unreadable.md5", kEmpty + "  /proc/self/mem\n" + kAbc + "  abc\n"},
    {"oddnames.md5", "\\" + kAbc + "  cr\\rname\n" + kAbc + "  cr\rname\n" + kEmpty +
                         "  bad\xffname\n" + kEmpty + "  'no such'\n"},
    {"mixed.md5", kAbc + "  abc\n" + kEmpty + " empty\n" + kAbc + "  a b\n"},
    {"mixed2.md5", kAbc + " abc\n" + kEmpty + "  empty\n" + kAbc + " a b\n"},
    {"stdin2.md5", kSeq + "  /dev/stdin\n" + kEmpty + "  /dev/stdin\n"},
    {"big", test::RandomBytes(12 << 20, 12)},
};

struct Case {
  const char *name;
  // bash, with $P for the program, $J for its -j option and $NOBODY for a prefix that runs what
  // follows as user nobody when the tests run as root
  const char *command;
  const char *input = "";
  // Then it is killed, and the case fails as hung: the limit rows' threads wait for each other
  // to give back what is short, and a lost wake-up must show at once.
  unsigned seconds = 30;
};

// What md5sum does with files, lists, options and their mistakes.
const Case kCases[] = {
    // Hashing: formats.
    {"TwoFiles", "$P abc empty"},
    {"Binary", "$P -b abc; $P --binary empty"},
    {"Text", "$P -t abc; $P --text -b empty"},
    {"Tag", "$P --tag abc empty 'a b'"},
    {"TagBinary", "$P --tag -b abc"},
    {"Zero", "$P -z abc empty"},
    {"TagZero", "$P --tag -z abc 'a b'"},
    {"OptionsAfterNames", "$P abc -b empty --tag"},
    {"DoubleDash", "$P abc -- -b"},
    {"Abbreviated", "$P --bin abc; $P --ta empty; $P --ze abc"},
    // --w, --wa and --war stay --warn, though --windows-lists starts the same.
    {"AbbreviatedWarn", "$P -c --w malformed.md5; $P -c --wa --war malformed.md5"},
    // Hashing: names that need escaping, and names that do not.
    {"SpaceAndQuote", "$P 'a b' \"it's\" café"},
    {"Backslash", "$P 'back\\slash'"},
    {"Newline", "$P $'new\\nline'"},
    {"CarriageReturn", "$P $'cr\\rname'"},
    {"NotUtf8", "$P $'bad\\xffname'"},
    {"EscapedTag", "$P --tag 'back\\slash' $'new\\nline' $'cr\\rname'"},
    {"EscapedBinary", "$P -b 'back\\slash'"},
    {"ZeroDoesNotEscape", "$P -z 'back\\slash' $'new\\nline'"},
    // Hashing: what is read, and what cannot be.
    {"StandardInput", "$P", "abc"},
    {"Dash", "$P - abc", "abc"},
    {"DashTwice", "$P - -", "abc"},
    {"DashTag", "$P --tag -", "abc"},
    {"DevStdin", "$P /dev/stdin", "abc"},
    {"ProcessSubstitution", "$P <(printf abc) <(printf '')"},
    {"Pipe", "printf abc | $P; printf abc | $P - empty"},
    {"DevNull", "$P /dev/null"},
    {"Missing", "$P abc nosuch empty"},
    {"MissingQuoted", "$P 'no such' \"it's gone\" $'n\\nl' $'c\\rr' 'caf\xc3\xa9.x' $'b\\xffd'"},
    {"Directory", "$P dir abc"},
    {"ReadError", "$P /proc/self/mem abc"},
    {"ZeroWithErrors", "$P -z nosuch abc"},
    {"WriteError", "$P abc >/dev/full"},
    {"ClosedStdout", "$P abc >&-"},
    {"HeadEndsQuietly", "$P abc empty abc abc | head -n 1"},
    // Usage errors.
    {"UnknownOption", "$P -x abc"},
    {"UnknownLongOption", "$P --frobnicate abc"},
    {"AmbiguousOption", "$P --st abc"},
    {"CheckWithBinary", "$P -c -b good.md5"},
    {"CheckWithText", "$P --check --text good.md5"},
    {"CheckWithTag", "$P -c --tag good.md5"},
    {"CheckWithZero", "$P -c -z good.md5"},
    {"QuietWithoutCheck", "$P --quiet abc"},
    {"StatusWithoutCheck", "$P --status abc"},
    {"StrictWithoutCheck", "$P --strict abc"},
    {"WarnWithoutCheck", "$P -w abc"},
    {"IgnoreMissingWithoutCheck", "$P --ignore-missing abc"},
    {"TagAndText", "$P --tag -t abc"},
    // Checking: outcomes.
    {"CheckGood", "$P -c good.md5"},
    {"CheckBad", "$P -c bad.md5"},
    {"CheckTwoBad", "$P --check twobad.md5"},
    {"CheckQuiet", "$P -c --quiet good.md5 bad.md5"},
    {"CheckStatus", "$P -c --status bad.md5; echo $?; $P -c --status good.md5"},
    {"CheckMissing", "$P -c missing.md5"},
    {"CheckIgnoreMissing", "$P -c --ignore-missing missing.md5"},
    {"CheckIgnoreMissingNothingLeft", "$P -c --ignore-missing allmissing.md5"},
    {"CheckDirectoryEntry", "$P -c dir.md5"},
    {"CheckUnreadableEntry", "$P -c unreadable.md5"},
    {"CheckSeveralLists", "$P -c good.md5 bad.md5 missing.md5"},
    {"CheckListMissing", "$P -c nosuch.md5 good.md5"},
    {"CheckListIsDirectory", "$P -c dir"},
    {"CheckEmptyList", "$P -c empty.md5"},
    // Checking: list forms.
    {"CheckTag", "$P -c tag.md5"},
    {"CheckTight", "$P -c tight.md5"},
    {"CheckGnuFirst", "$P -c gnufirst.md5"},
    {"CheckTagFirst", "$P -c tagfirst.md5"},
    {"CheckBinaryMarks", "$P -c binary.md5"},
    {"CheckUpperCase", "$P -c upper.md5"},
    {"CheckCrlf", "$P -c crlf.md5"},
    {"CheckComments", "$P -c comments.md5"},
    {"CheckEscaped", "$P -c escaped.md5"},
    {"CheckBadEscapes", "$P -c -w badescape.md5"},
    {"CheckSpacesInNames", "$P -c spaces.md5"},
    {"CheckOddNames", "$P -c oddnames.md5"},
    {"CheckNulInLine", "$P -c nul.md5"},
    {"CheckShortAndLongHex", "$P -c -w short.md5"},
    {"CheckNonHex", "$P -c nonhex.md5"},
    {"CheckSeparators", "$P -c -w onespace.md5"},
    {"CheckOtherAlgorithm", "$P -c -w othertag.md5"},
    {"CheckOddTags", "$P -c -w tagodd.md5"},
    {"CheckTrailingSpace", "$P -c trailing.md5"},
    // Checking: malformed lists and the options about them.
    {"CheckMalformed", "$P -c malformed.md5"},
    {"CheckMalformedWarn", "$P -c --warn malformed.md5"},
    {"CheckMalformedStrict", "$P -c --strict malformed.md5"},
    {"CheckStrictGood", "$P -c --strict good.md5"},
    {"CheckGarbage", "$P -c garbage.md5"},
    {"CheckGarbageStatus", "$P -c --status garbage.md5"},
    {"CheckQuietMalformed", "$P -c --quiet -w malformed.md5 bad.md5"},
    {"CheckStatusMissing", "$P -c --status missing.md5"},
    // Checking: lists from standard input.
    {"CheckStandardInput", "$P -c", "900150983cd24fb0d6963f7d28e17f72  abc\n"},
    {"CheckDash", "$P -c - good.md5", "900150983cd24fb0d6963f7d28e17f72  empty\n"},
    {"CheckStandardInputWarn", "$P -c -w", "junk\n900150983cd24fb0d6963f7d28e17f72  abc\nmore\n"},
    {"CheckStandardInputGarbage", "$P -c", "junk\n"},
    {"CheckEntryIsStandardInput", "$P -c stdin.md5", "abc"},
    {"CheckPipedList", "cat good.md5 | $P -c; $P -c <(cat bad.md5)"},
    {"CheckWriteError", "$P -c good.md5 >/dev/full"},
    {"RoundTrip", "$P abc 'a b' 'back\\slash' $'new\\nline' >../list && $P -c ../list"},
    {"RoundTripTag", "$P --tag abc $'new\\nline' >../list && $P -c ../list"},
    // Checking: what md5sum says that is easy to get wrong.
    {"CheckMixedSeparators", "$P -c -w mixed.md5; $P -c -w mixed2.md5"},
    {"CheckIgnoreMissingDirectory", "$P -c --ignore-missing dir.md5"},
    {"CheckIgnoreMissingUnreadable", "$P -c --ignore-missing unreadable.md5"},
    {"CheckStatusAfterWarn", "$P -c -w --status malformed.md5"},
    {"MissingQuoteAndTab", "$P $'it\\'s\\tx' $'tab\\there'"},
    {"MissingWithColon", "$P 'a:b' 'c:' abc"},
    // What can be read only once is read in the order of the operands, one at a time, however
    // many threads hash; a few rounds, to show a race.
    {"StandardInputTwice", "for r in 1 2 3; do seq 300000 | $P $J /dev/stdin /dev/stdin; done"},
    {"DashAndDevStdin", "for r in 1 2 3; do seq 300000 | $P $J - /dev/stdin; done"},
    {"StandardInputByOtherNames",
     "for r in 1 2 3; do seq 300000 | $P $J /dev/fd/0 abc /proc/self/fd/0; done"},
    {"StandardInputAFile", "$P $J - - /dev/stdin abc - <big"},
    {"LargeFileThenStandardInput", "echo hi | $P $J big -"},
    {"FifoNamedTwice", "rm -f ../f; mkfifo ../f; (seq 100000 >../f; sleep 0.2; seq 5 >../f) & "
                       "$P $J ../f abc ../f; wait"},
    {"CheckListNamingStandardInputTwice",
     "for r in 1 2 3; do seq 300000 | $P $J -c stdin2.md5; done"},
    {"ClosedStandardInputByName", "$P $J /dev/stdin abc /dev/null <&-"},
    {"ClosedStandardInputAsList", "$P $J -c /dev/stdin <&-"},
// Limits md5sum works within: no more descriptors, threads or memory than it needs.
// The sanitizers' runtimes need descriptors, threads and memory of their own.
#if !defined(QUILLSUM_SANITIZE) && !defined(QUILLSUM_TSAN)
    {"DescriptorLimit",
     "prlimit --nofile=4 $P $J big abc empty 'a b'; prlimit --nofile=5 $P $J -c good.md5", "", 5},
    // A tree of 8 folders, walked (md5sum is given the names the walk finds) and checked, on
    // both roads: the walk's folders and the list count against the same descriptors. With one
    // descriptor to share, many times: a race for it must never fail an open.
    {"DescriptorLimitWalkAndList",
     "mkdir -p ../t; for d in 1 2 3 4 5 6 7 8; do mkdir -p ../t/$d; for f in $(seq 40); do "
     "echo $d$f >../t/$d/$f; done; done; md5sum $(find ../t -type f | LC_ALL=C sort) >../t.md5; "
     "[ $P = md5sum ] && W=$(find ../t -type f | LC_ALL=C sort) || W='-r ../t'; "
     "for road in lanes disk; do export QUILLSUM_ROAD=$road; "
     "for r in $(seq 20); do prlimit --nofile=4 $P $J $W; done; "
     "for n in 6 8 12; do prlimit --nofile=$n $P $J $W; done; "
     "for n in 5 8; do prlimit --nofile=$n $P $J -c ../t.md5; done; done",
     "", 30},
    {"ThreadLimit", "$NOBODY prlimit --nproc=1 $P $J big abc empty", "", 5},
    {"MemoryLimit", "ulimit -v 24000; $P $J big abc empty", "", 5},
    {"MemoryLimitManyFiles",
     "for f in $(seq 200); do echo $f >../m$f; done; ulimit -v 16000; $P $J ../m*; "
     "$P $J -c good.md5",
     "", 10},
#endif
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.command; }

using test::Ran;

class Md5sumParity : public testing::TestWithParam<Case> {
protected:
  static void SetUpTestSuite() {
    scratch_ = new test::TempDir;
    // User nobody runs some cases.
    fs::permissions(scratch_->path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::create_directory(Folder());
    for (const auto &[name, bytes] : kFiles)
      std::ofstream(Folder() / name, std::ios::binary) << bytes;
    fs::create_directory(Folder() / "dir");
    std::ofstream(Folder() / "dir" / "inner") << "abc";
  }
  static void TearDownTestSuite() { delete scratch_; }
  static fs::path Folder() { return scratch_->path() / "case"; }

  // Runs the case's command with $P naming program, found on PATH under that name.
  static Ran Run(const Case &c, const std::string &program, const char *locale,
                 const std::string &jobs) {
    fs::remove(scratch_->path() / "list");
    test::Launch launch;
    launch.argv = {"bash", "-c", c.command};
    launch.folder = Folder();
    launch.input = c.input;
    launch.env = {
        {"P", program},
        {"J", jobs},
        {"NOBODY", ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups --" : ""},
        {"LC_ALL", locale},
        {"PATH", fs::path(test::Cli()).parent_path().string() + ":" + std::getenv("PATH")}};
    launch.seconds = c.seconds;
    return test::Run(launch);
  }

  static test::TempDir *scratch_;
};

test::TempDir *Md5sumParity::scratch_ = nullptr;

TEST_P(Md5sumParity, SameOutputErrorsAndStatus) {
  const Case &c = GetParam();
  ASSERT_EQ(fs::path(test::Cli()).filename(), "quillsum-cli");
  const bool jobs = std::string_view(c.command).find("$J") != std::string_view::npos;
  for (const char *locale : {"C", "C.UTF-8"}) {
    Ran expected = Run(c, "md5sum", locale, "");
    test::ReplaceAll(expected.err, "md5sum", "quillsum-cli");
    expected.out = test::As911(expected.out, locale);
    for (const char *j : jobs ? std::vector{"-j1", "-j2", "-j8"} : std::vector{""}) {
      SCOPED_TRACE(std::string(c.command) + "   [LC_ALL=" + locale + " " + j + "]");
      const Ran actual = Run(c, "quillsum-cli", locale, j);
      EXPECT_EQ(actual.out, expected.out);
      EXPECT_EQ(actual.err, expected.err);
      EXPECT_EQ(actual.status, expected.status);
      if (actual.hung)
        return; // the next runs would only hang as long
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Md5sumParity, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace quillsum
