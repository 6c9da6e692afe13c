// What md5sum cannot judge: the fingerprint and text digest against models of the window's own,
// the order of -r and of -j, lines that stay whole and come at once, and the progress line on a
// terminal.

#include "support/JoinedThread.h"
#include "support/Launch.h"
#include "support/Reference.h"
#include "support/Watch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <regex.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using test::TempDir;

using test::CliLaunch;
using test::Ran;
using test::RunCli;

std::vector<std::string> Lines(const std::string &text, char end = '\n') {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line, end);)
    lines.push_back(line);
  return lines;
}

std::string Md5sum(const std::vector<std::string> &names, const fs::path &folder) {
  return test::Md5sum(names, folder).out;
}

class Cli : public testing::Test {
protected:
  TempDir dir;
};

// Lengths around the sample offsets, and a hole past 4 GiB whose length needs 64 bits.
TEST_F(Cli, FingerprintIsWhatTheWindowShows) {
  std::vector<std::string> names;
  std::map<std::string, std::string> heads;
  for (std::int64_t length : {0LL, 3LL, 15LL, 429LL, 430LL, 980LL, 13999LL, 14000LL, 14015LL,
                              100'000LL, (5LL << 30) + 7}) {
    const std::string name = std::to_string(length) + "-bytes";
    heads[name] = RandomBytes(static_cast<std::size_t>(std::min<std::int64_t>(length, 20'000)),
                              static_cast<std::uint32_t>(length));
    test::MakeFile(dir.path() / name, heads[name], length);
    names.push_back(name);
  }
  struct Form {
    std::vector<std::string> options;
    std::string before, between, after; // a line is before NAME between HEX after
  };
  for (const Form &form : {Form{{}, "", "  ", "\n"}, Form{{"-b"}, "", " *", "\n"},
                           Form{{"--tag"}, "FINGERPRINT (", ") = ", "\n"},
                           Form{{"-z", "-j", "3"}, "", "  ", std::string(1, '\0')}}) {
    SCOPED_TRACE(testing::PrintToString(form.options));
    std::vector<std::string> args = form.options;
    args.push_back("--fingerprint");
    args.insert(args.end(), names.begin(), names.end());
    const Ran ran = RunCli(args, dir.path());
    std::string expected;
    for (const std::string &name : names) {
      const std::string hex = test::ReferenceFingerprint(
          heads[name], static_cast<std::int64_t>(fs::file_size(dir.path() / name)));
      expected += form.before == "" ? hex + form.between + name + form.after
                                    : form.before + name + form.between + hex + form.after;
    }
    EXPECT_EQ(ran.out, expected);
    EXPECT_EQ(ran.err, "");
    EXPECT_EQ(ran.status, 0);
  }
}

TEST_F(Cli, FingerprintListsCheckOnlyTheSampledBytes) {
  std::string content = RandomBytes(20'000, 7);
  fs::create_directories(dir.path() / "sub");
  dir.Write("sub/x", content);
  dir.Write("sub/y", "abc");
  const Ran written = RunCli({"--fingerprint", "-r", "sub"}, dir.path());
  ASSERT_EQ(written.status, 0);
  std::string lower = written.out; // any case reads back
  for (char &c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  dir.Write("gnu.list", written.out);
  dir.Write("lower.list", lower);
  dir.Write("tag.list", RunCli({"--fingerprint", "--tag", "sub/x", "sub/y"}, dir.path()).out);
  struct Change {
    std::size_t offset;
    bool seen;
  };
  for (const Change &change : {Change{16, false}, Change{15'000, false}, Change{979, true}}) {
    SCOPED_TRACE(change.offset);
    content[change.offset] ^= 0x5A;
    dir.Write("sub/x", content);
    for (const char *list : {"gnu.list", "lower.list", "tag.list"}) {
      const Ran checked = RunCli({"--fingerprint", "-c", list}, dir.path());
      EXPECT_EQ(checked.out,
                std::string("sub/x: ") + (change.seen ? "FAILED" : "OK") + "\nsub/y: OK\n");
      EXPECT_EQ(checked.status, change.seen ? 1 : 0);
    }
    content[change.offset] ^= 0x5A;
  }
  // The whole-file digest of the same files is no fingerprint.
  EXPECT_EQ(RunCli({"-c", "gnu.list"}, dir.path()).status, 1);
}

TEST_F(Cli, FingerprintOfWhatIsNotARegularFileIsAnErrorLine) {
  dir.Write("abc", "abc");
  fs::create_directory(dir.path() / "folder");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0); // never opened, so never waits
  const std::string abc = "1A821A17504FE5B6180E653902FC80BC";
  struct Case {
    std::vector<std::string> args;
    std::string input, out, err;
  };
  const Case cases[] = {
      {{"folder", "abc"}, "", abc + "  abc\n", "quillsum-cli: folder: Is a directory\n"},
      {{"abc", "fifo"}, "", abc + "  abc\n", "quillsum-cli: fifo: Not a regular file\n"},
      {{"/dev/null"}, "", "", "quillsum-cli: /dev/null: Not a regular file\n"},
      {{"-", "abc"}, "abc", abc + "  abc\n", "quillsum-cli: -: Not a regular file\n"},
      {{"-c", "list"},
       "",
       "abc: OK\nfifo: FAILED open or read\n",
       "quillsum-cli: fifo: Not a regular file\n"
       "quillsum-cli: WARNING: 1 listed file could not be read\n"},
  };
  dir.Write("list", abc + "  abc\n" + abc + "  fifo\n");
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--fingerprint");
    const Ran ran = RunCli(args, dir.path(), c.input);
    EXPECT_EQ(ran.out, c.out);
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(ran.status, 1);
  }
  // Standard input redirected from a regular file is sampled like the file.
  test::Launch redirected = CliLaunch({"--fingerprint"}, dir.path());
  redirected.in = ::open((dir.path() / "abc").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(test::Run(redirected).out, test::ReferenceFingerprint("abc") + "  -\n");
  ::close(redirected.in);
}

TEST_F(Cli, StringIsTheWindowsTextDigest) {
  const std::vector<std::string> texts = {"",
                                          "abc",
                                          "caf\xC3\xA9",
                                          "\xE2\x82\xAC 5",
                                          "\xC5\xB8",
                                          "\xE6\x97\xA5\xE6\x9C\xAC",
                                          "\xF0\x9F\x98\x80 astral",
                                          "tab\tnew\nline",
                                          std::string(40'000, 'q')};
  const std::vector<std::string> invalid = {"\xFF",       "\xC0\xAF",         "\xED\xA0\x80",
                                            "ab\xE2\x82", "\xF4\x90\x80\x80", "\x80"};
  std::vector<std::string> args = {"--string"};
  std::string expected;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    args.push_back(texts[k]);
    expected += test::ReferenceTextDigest(texts[k]) + "\n";
    if (k < invalid.size())
      args.push_back(invalid[k]); // refused, between texts that are not
  }
  const Ran ran = RunCli(args, dir.path());
  EXPECT_EQ(ran.out, expected);
  const std::vector<std::string> errors = Lines(ran.err);
  EXPECT_EQ(errors.size(), invalid.size());
  for (const std::string &error : errors)
    EXPECT_TRUE(error.starts_with("quillsum-cli: ") && error.ends_with(": not valid UTF-8"))
        << error;
  EXPECT_EQ(ran.status, 1);
}

TEST_F(Cli, RecursiveGoesDepthFirstInByteOrderWithoutFollowingLinks) {
  for (const char *name : {"t/b/x", "t/b/c/y", "t/b-c", "t/B/z", "t/Z", "t/a", "t/caf\xC3\xA9",
                           "t/locked/secret", "t/e/.hidden"}) {
    fs::create_directories((dir.path() / name).parent_path());
    dir.Write(name, name);
  }
  fs::create_directory(dir.path() / "t" / "empty");
  fs::create_symlink("a", dir.path() / "t" / "link");
  fs::create_symlink("b", dir.path() / "t" / "linkdir");
  fs::create_directory_symlink("t", dir.path() / "named");
  ASSERT_EQ(::mkfifo((dir.path() / "t" / "fifo").c_str(), 0600), 0);
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions(dir.path() / "t" / "locked", fs::perms::none);

  const std::vector<std::string> order = {"B/z", "Z",   "a",           "b/c/y",
                                          "b/x", "b-c", "caf\xC3\xA9", "e/.hidden"};
  for (const char *root : {"t", "t/", "named"}) {
    SCOPED_TRACE(root);
    std::vector<std::string> names;
    const std::string prefix = std::string(root).ends_with('/') ? root : std::string(root) + '/';
    for (const std::string &name : order)
      names.push_back(prefix + name);
    test::Launch launch = CliLaunch({"-r", root}, dir.path());
    launch.unprivileged = true;
    const Ran ran = test::Run(launch);
    EXPECT_EQ(ran.out, Md5sum(names, dir.path()));
    EXPECT_EQ(ran.err, "quillsum-cli: " + prefix + "locked: Permission denied\n");
    EXPECT_EQ(ran.status, 1);
  }
}

// A walked file that is swapped for a FIFO between the listing and the open is no longer a
// regular file: it is skipped, never waited for. Many files put the two far apart; the swaps go
// on through many runs, so that some open finds the FIFO.
TEST_F(Cli, RecursiveSkipsAFileThatTurnedIntoAFifo) {
  fs::create_directory(dir.path() / "t");
  for (int k = 0; k < 2000; ++k)
    dir.Write("t/f" + std::to_string(k), std::to_string(k));
  const fs::path swapped = dir.path() / "t" / "zz", spare = dir.path() / "spare";
  std::atomic<bool> stop = false;
  const test::JoinedThread swapper(
      [&] {
        for (bool fifo = false; !stop; fifo = !fifo) {
          if (fifo)
            ::mkfifo(spare.c_str(), 0600);
          else
            dir.Write("spare", "abc");
          ::rename(spare.c_str(), swapped.c_str());
        }
      },
      [&] { stop = true; });
  const std::string zz = "900150983cd24fb0d6963f7d28e17f72  t/zz";
  for (int run = 0; run < 30; ++run) {
    test::Launch launch = CliLaunch({"-r", "t"}, dir.path());
    launch.seconds = 20;
    const Ran ran = test::Run(launch);
    ASSERT_EQ(ran.status, 0) << ran.err;
    const std::vector<std::string> lines = Lines(ran.out);
    ASSERT_TRUE(lines.size() == 2000 || (lines.size() == 2001 && lines.back() == zz));
  }
}

TEST_F(Cli, JobsKeepTheOrderOfFilesOfVeryUnevenSizes) {
  std::vector<std::string> names;
  test::MakeFile(dir.path() / "large", "head", 96 << 20);
  test::MakeFile(dir.path() / "medium", "head", 8 << 20);
  for (int k = 0; k < 400; ++k) {
    const std::string name = std::to_string(k) + ".small";
    dir.Write(name, RandomBytes(static_cast<std::size_t>(k * 37), static_cast<std::uint32_t>(k)));
    names.push_back(name);
    if (k == 0 || k == 150)
      names.push_back("large");
    if (k == 300)
      names.push_back("medium");
  }
  const std::string expected = Md5sum(names, dir.path());
  for (const char *jobs : {"1", "2", "3", "16"}) {
    SCOPED_TRACE(jobs);
    std::vector<std::string> args = {"-j", jobs};
    args.insert(args.end(), names.begin(), names.end());
    EXPECT_EQ(RunCli(args, dir.path()).out, expected);
  }
}

// Runs run() while a writer waits to write to the FIFO; a writer left waiting is let go after.
template <typename Run> auto WhileWriting(const fs::path &fifo, const std::string &bytes, Run run) {
  struct Reader {
    int fd = -1;
    ~Reader() { ::close(fd); }
  } reader; // closed once the writer is done
  const test::JoinedThread writer(
      [&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
      },
      [&] { reader.fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  return run();
}

// Files of lengths around the block, padding and chunk boundaries, more of them than a thread has
// lanes, a large one, and what lanes must leave to be read on its own (a FIFO whose writer waits
// from the start, a device, a read error, a folder, a missing file): every lane count, and either
// road (lanes, or a spinning disk's head), gives md5sum's output, and the same errors and status
// as one lane; also with descriptors for fewer lanes than the threads have.
TEST_F(Cli, EveryLaneCountAndRoadGivesMd5sumsOutput) {
  fs::create_directories(dir.path() / "tree" / "deep");
  std::vector<std::string> files;
  const auto add = [&](const std::string &name, std::size_t size) {
    dir.Write(name, RandomBytes(size, static_cast<std::uint32_t>(files.size())));
    files.push_back(name);
  };
  for (std::size_t size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 4096, 131071, 131072,
                           131073, 262144, (5 << 20) + 65})
    add("tree/s" + std::to_string(size), size);
  std::mt19937 random(10);
  for (int k = 0; k < 40; ++k)
    add("tree/deep/r" + std::to_string(k), random() % 300'000);
  std::sort(files.begin(), files.end()); // as -r goes
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string fed = RandomBytes(50'000, 3);
  std::vector<std::string> operands = files;
  operands.insert(operands.begin() + 30, {"fifo", "/dev/null", "/proc/self/mem", "nosuch", "tree"});
  dir.Write("list", Md5sum(files, dir.path()) + "00000000000000000000000000000000  tree/s55\n" +
                        test::ReferenceMd5(fed) + "  fifo\n" + std::string(32, 'a') +
                        "  /proc/self/mem\n");

  struct Case {
    std::vector<std::string> args, md5sumArgs; // none: not md5sum's work
    bool readsFifo = false;
    rlim_t descriptors = 0;
  };
  std::vector<std::string> jobs = {"-j", "3"};
  jobs.insert(jobs.end(), operands.begin(), operands.end());
  const Case cases[] = {
      {jobs, operands, true},
      {{"-r", "tree"}, files},
      {{"-c", "list"}, {"-c", "list"}, true},
      {{"-j", "2", "-r", "tree"}, files, false, 24},
      {{"--fingerprint", "-r", "tree"}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto whileWriting = [&](auto run) {
      return c.readsFifo ? WhileWriting(fifo, fed, run) : run();
    };
    std::optional<Ran> one;
    const std::pair<const char *, const char *> settings[] = {{"QUILLSUM_LANES", "1"},
                                                              {"QUILLSUM_LANES", "8"},
                                                              {"QUILLSUM_LANES", "16"},
                                                              {"QUILLSUM_ROAD", "lanes"},
                                                              {"QUILLSUM_ROAD", "disk"}};
    for (const auto &[name, value] : settings) {
      SCOPED_TRACE(std::string(name) + "=" + value);
      test::Launch launch = CliLaunch(c.args, dir.path());
      launch.env = {{name, value}};
      launch.descriptors = c.descriptors;
      const Ran ran = whileWriting([&] { return test::Run(launch); });
      if (!one)
        one = ran;
      EXPECT_EQ(ran.out, one->out);
      EXPECT_EQ(ran.err, one->err);
      EXPECT_EQ(ran.status, one->status);
    }
    if (!c.md5sumArgs.empty()) {
      EXPECT_EQ(one->out, whileWriting([&] { return Md5sum(c.md5sumArgs, dir.path()); }));
    }
  }
}

// A spinning disk's head reads its files in the order of their places on the disk: written in
// an order unlike their names', each flushed, they are read in the order of their first blocks.
TEST_F(Cli, TheDiskRoadReadsFilesInDiskOrder) {
  fs::create_directory(dir.path() / "t");
  std::vector<std::string> names;
  for (int k = 0; k < 40; ++k)
    names.push_back(std::string("f") + std::to_string(100 + k));
  std::vector<std::string> written = names;
  std::shuffle(written.begin(), written.end(), std::mt19937(4));
  for (const std::string &name : written) {
    const int fd = ::open((dir.path() / "t" / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const std::string bytes = RandomBytes(20'000, static_cast<std::uint32_t>(name.size()));
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::fsync(fd);
    ::close(fd);
  }
  std::map<std::string, std::uint64_t> blocks;
  for (const std::string &name : names)
    if (const auto extent = test::FirstExtent(dir.path() / "t" / name))
      blocks[name] = *extent;
  if (blocks.size() != names.size())
    GTEST_SKIP() << "filefrag cannot tell where these files lie";
  std::vector<std::string> diskOrder = names;
  std::sort(diskOrder.begin(), diskOrder.end(),
            [&](const auto &a, const auto &b) { return blocks.at(a) < blocks.at(b); });
  ASSERT_NE(diskOrder, names);

  // Only the disk's reader reads the files' bytes: the first read of each tells the order. The
  // reader starts once the hashing threads have looked at every file, or after a while: a loaded
  // machine may keep them from it that long, so one run in three reading in disk order will do.
  Ran ran;
  std::vector<std::string> read;
  for (int run = 0; run < 3 && read != diskOrder; ++run) {
    test::Watch watch(dir.path() / "t", IN_ACCESS);
    test::Launch launch = CliLaunch({"-r", "t"}, dir.path());
    launch.env = {{"QUILLSUM_ROAD", "disk"}};
    ran = test::Run(launch);
    read.clear();
    for (const std::string &name : watch.Names())
      if (std::find(read.begin(), read.end(), name) == read.end())
        read.push_back(name);
  }
  EXPECT_EQ(read, diskOrder);
  std::vector<std::string> paths;
  for (const std::string &name : names)
    paths.push_back("t/" + name);
  EXPECT_EQ(ran.out, Md5sum(paths, dir.path())); // in the order of the names still
}

// Four runs share one pipe: md5sum's promise that their lines never mix holds for every line.
TEST_F(Cli, LinesOfRunsSharingAPipeStayWhole) {
  std::set<std::string> lines;
  std::vector<std::string> names;
  for (int k = 0; k < 300; ++k) {
    names.push_back(std::string(200, static_cast<char>('a' + k % 26)) + std::to_string(k));
    dir.Write(names.back(), RandomBytes(64, static_cast<std::uint32_t>(k)));
  }
  for (const std::string &line : Lines(Md5sum(names, dir.path())))
    lines.insert(line);
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  std::vector<test::Child> children;
  for (int run = 0; run < 4; ++run) {
    test::Launch launch = CliLaunch(names, dir.path());
    launch.out = ends[1];
    children.push_back(test::Start(launch));
  }
  ::close(ends[1]);
  std::string shared;
  char buffer[65536];
  for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
    shared.append(buffer, static_cast<std::size_t>(got));
  ::close(ends[0]);
  for (test::Child &child : children)
    EXPECT_EQ(child.Wait(), 0);
  const std::vector<std::string> received = Lines(shared);
  EXPECT_EQ(received.size(), 4 * names.size());
  for (const std::string &line : received)
    EXPECT_TRUE(lines.contains(line)) << line;
}

// Whether text holds a match of the POSIX extended regular expression.
bool Matches(const std::string &text, const char *pattern) {
  regex_t compiled;
  if (::regcomp(&compiled, pattern, REG_EXTENDED | REG_NOSUB) != 0)
    return false;
  const bool found = ::regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
  ::regfree(&compiled);
  return found;
}

// Reads from fd until text holds a line, for at most twenty seconds.
std::string FirstLine(int fd) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    char c[256];
    ssize_t got = 0;
    if (::poll(&ready, 1, 20'000) <= 0 || (got = ::read(fd, c, sizeof c)) <= 0)
      break;
    text.append(c, static_cast<std::size_t>(got));
  }
  return text;
}

// The second operand is a FIFO with no writer yet: its reader waits, so the first line can only
// arrive if it is written before that file's turn is over; also when one thread has both.
TEST_F(Cli, EachLineGoesOutAsSoonAsItsTurnComes) {
  dir.Write("abc", "abc");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  for (const std::vector<std::string> &jobs : {std::vector<std::string>{}, {"-j", "1"}}) {
    SCOPED_TRACE(testing::PrintToString(jobs));
    std::vector<std::string> args = jobs;
    args.insert(args.end(), {"abc", "fifo"});
    test::Child child = test::Start(CliLaunch(args, dir.path()));
    EXPECT_EQ(FirstLine(child.pipe()), "900150983cd24fb0d6963f7d28e17f72  abc\n");
    { std::ofstream(dir.path() / "fifo") << "abc"; }
    EXPECT_EQ(FirstLine(child.pipe()), "900150983cd24fb0d6963f7d28e17f72  fifo\n");
    EXPECT_EQ(child.Wait(), 0);
  }
}

// The descriptors that process pid holds open on file.
int OpenedBy(pid_t pid, const fs::path &file) {
  int count = 0;
  std::error_code error;
  for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
    count += fs::read_symlink(fd.path(), error) == file;
  return count;
}

// Lines with nothing to read are handed on at once, ahead of the threads, and their places in the
// window are then taken by newer lines: each listed file must still be opened once, and only
// once. The FIFO has a writer from the start, so that its readers open it at once and then wait.
TEST_F(Cli, ListsOfManyMalformedLinesReadEachFileOnce) {
  dir.Write("abc", "abc");
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  std::string list;
  for (int k = 0; k < 1100; ++k)
    list += "malformed\n";
  for (const char *name : {"fifo", "abc"})
    list += "900150983cd24fb0d6963f7d28e17f72  " + std::string(name) + "\n";
  dir.Write("list", list);
  test::Child child = test::Start(CliLaunch({"-c", "-j", "2", "list"}, dir.path()));
  for (int wait = 0; wait < 2000 && OpenedBy(child.pid(), fifo) == 0; ++wait)
    ::usleep(10'000);
  ::usleep(300'000); // time for a second reader, if there were one
  EXPECT_EQ(OpenedBy(child.pid(), fifo), 1);
  EXPECT_EQ(::write(writer, "abc", 3), 3);
  ::close(writer);
  std::string received;
  for (std::string line; !(line = FirstLine(child.pipe())).empty();)
    received += line;
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(received, "fifo: OK\nabc: OK\n");
}

// Standard input is fed slowly until the progress line shows on a pseudo-terminal; then the line
// must be erased, whether the input ends (the digest then being that of all that was fed) or the
// program is interrupted. The count of files shows once one is done, and reads as English does.
TEST_F(Cli, ProgressShowsOnlyOnATerminalAndErasesItself) {
  dir.Write("abc", "abc");
  const std::string abcLine = "900150983cd24fb0d6963f7d28e17f72  abc\n";
  struct Case {
    std::vector<std::string> args;
    bool terminal;
    const char *line;   // what the progress line shows, as a POSIX extended expression
    std::string before; // output lines before standard input's
    int signal = 0;     // sent once the line shows, instead of ending the input
  };
  const std::string rate = "[0-9.]+ [KM]i?B, [0-9.]+ [KM]i?B/s\x1b\\[K";
  const std::string bare = "\r" + rate, one = "\r1 file, " + rate;
  const Case cases[] = {
      {{}, true, bare.c_str(), ""},
      {{"abc", "-"}, true, one.c_str(), abcLine},
      {{}, true, bare.c_str(), "", SIGINT},
      {{}, true, bare.c_str(), "", SIGQUIT}, // every signal that ends it, not only the usual
      {{}, true, bare.c_str(), "", SIGUSR1},
      {{}, false, nullptr, ""}, // a second and a half of work shows nothing
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + (c.terminal ? " on a terminal" : "") +
                 (c.signal ? " interrupted" : ""));
    int master = -1, errWrite = -1, feed[2], out[2];
    if (c.terminal) {
      ASSERT_EQ(::openpty(&master, &errWrite, nullptr, nullptr, nullptr), 0);
      ::fcntl(master, F_SETFD, FD_CLOEXEC);
      ::fcntl(errWrite, F_SETFD, FD_CLOEXEC);
    } else {
      int ends[2];
      ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
      master = ends[0];
      errWrite = ends[1];
    }
    ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    test::Launch launch = CliLaunch(c.args, dir.path());
    launch.in = feed[0];
    launch.out = out[1];
    launch.err = errWrite;
    test::Child child = test::Start(launch);
    for (int fd : {feed[0], out[1], errWrite})
      ::close(fd);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    std::string fed, shown;
    const std::string chunk = RandomBytes(64 * 1024, 9);
    for (int round = 0; round < (c.terminal ? 400 : 30); ++round) {
      ASSERT_EQ(::write(feed[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
      fed += chunk;
      ::usleep(50'000);
      char buffer[4096];
      for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, static_cast<std::size_t>(got));
      if (shown.find("/s\x1b[K") != std::string::npos)
        break;
    }
    // Interrupted, the program ends while its input is still open.
    const int status = c.signal && ::kill(child.pid(), c.signal) == 0 ? child.Wait() : -1;
    ::close(feed[1]);
    std::string hex = test::ReferenceMd5(fed);
    for (char &ch : hex)
      ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string printed;
    for (std::string line; !(line = FirstLine(out[0])).empty();)
      printed += line;
    EXPECT_EQ(printed, c.before + (c.signal ? "" : hex + "  -\n"));
    EXPECT_EQ(c.signal ? status : child.Wait(), c.signal ? 128 + c.signal : 0);
    ::fcntl(master, F_SETFL, 0);
    char buffer[4096];
    for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
      shown.append(buffer, static_cast<std::size_t>(got));
    ::close(master);
    ::close(out[0]);
    if (c.line) {
      EXPECT_TRUE(Matches(shown, c.line)) << shown;
      EXPECT_FALSE(Matches(shown, "0 files|1 files")) << shown;
      EXPECT_TRUE(shown.ends_with("\r\x1b[K")) << shown;
    } else {
      EXPECT_EQ(shown, "");
    }
  }
}

// A file opened later must not take the number of a closed standard stream: "-" would read it.
TEST_F(Cli, ClosedStandardStreamsStayClosed) {
  dir.Write("abc", "abc");
  dir.Write("list", "900150983cd24fb0d6963f7d28e17f72  -\n900150983cd24fb0d6963f7d28e17f72  abc\n");
  test::Launch launch = CliLaunch({"-c", "list"}, dir.path());
  launch.closed = STDIN_FILENO;
  const Ran input = test::Run(launch);
  EXPECT_EQ(input.out, "-: FAILED open or read\nabc: OK\n");
  EXPECT_EQ(input.err, "quillsum-cli: -: Bad file descriptor\n"
                       "quillsum-cli: WARNING: 1 listed file could not be read\n"
                       "quillsum-cli: standard input: Bad file descriptor\n");
  EXPECT_EQ(input.status, 1);
  launch = CliLaunch({"--fingerprint", "-r", "."}, dir.path());
  launch.closed = STDOUT_FILENO;
  const Ran output = test::Run(launch);
  EXPECT_EQ(output.err, "quillsum-cli: write error: Bad file descriptor\n");
  EXPECT_EQ(output.status, 1);
}

// -c and --audit name each file quoted as md5sum's messages quote it, as md5sum -c does since
// coreutils 9.11 (the first rows are coreutils' own expectations, tests/cksum/md5sum-bsd.sh): no
// name from a list or a walk writes control bytes to the terminal.
TEST_F(Cli, CheckAndAuditQuoteNamesAsCoreutils911Does) {
  const struct {
    std::string name, quoted; // in the folder d
  } rows[] = {
      {"a\\b", "'d/a\\b'"},       {"a\\", "'d/a\\'"},
      {"\\a", "'d/\\a'"},         {"a\nb", "'d/a'$'\\n''b'"},
      {"a\tb", "'d/a'$'\\t''b'"}, {"my file.txt", "'d/my file.txt'"},
      {"plain", "d/plain"},       {"\x1b[2Khidden", test::Md5sumQuoted("d/\x1b[2Khidden")},
  };
  fs::create_directory(dir.path() / "d");
  std::vector<std::string> names;
  std::string expected;
  for (const auto &row : rows) {
    dir.Write("d/" + row.name, row.name);
    names.push_back("d/" + row.name);
    expected += row.quoted + ": OK\n";
  }
  const std::string gone = "d/\x1b]0;gone\a", damaged = "d/\x1b[1Adamaged";
  for (const std::string &name : {gone, damaged})
    dir.Write(name, "before");
  names.insert(names.end(), {gone, damaged});
  std::ofstream(dir.path() / "list") << test::Md5sum(names, dir.path()).out;
  fs::remove(dir.path() / gone);
  dir.Write(damaged, "after!");
  dir.Write("d/\x1b[31mnew", "new");
  expected += test::Md5sumQuoted(gone) + ": FAILED open or read\n" + test::Md5sumQuoted(damaged) +
              ": FAILED\n";
  const Ran checked = RunCli({"-c", "list"}, dir.path());
  EXPECT_EQ(checked.out, expected);
  EXPECT_EQ(checked.status, 1);
  const Ran audited = RunCli({"-c", "--quiet", "list", "--audit=d"}, dir.path());
  EXPECT_NE(audited.out.find(test::Md5sumQuoted("d/\x1b[31mnew") + ": NEW\n"), std::string::npos)
      << audited.out;
  EXPECT_EQ(audited.out.find('\x1b'), std::string::npos) << audited.out;
}

TEST_F(Cli, CommandLineMistakesAreUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string tryHelp = "Try 'quillsum-cli --help' for more information.\n";
  const Case cases[] = {
      {{"-j", "0", "x"}, "quillsum-cli: invalid number of jobs: '0'\n" + tryHelp},
      {{"--jobs=many", "x"}, "quillsum-cli: invalid number of jobs: 'many'\n" + tryHelp},
      {{"-j1025", "x"}, "quillsum-cli: invalid number of jobs: '1025'\n" + tryHelp},
      // md5sum's abbreviations keep their meaning: --str is --strict.
      {{"--str", "x"},
       "quillsum-cli: the --strict option is meaningful only when verifying checksums\n" + tryHelp},
      {{"--string"}, "quillsum-cli: missing text operand\n" + tryHelp},
      {{"--string=x"}, "quillsum-cli: option '--string' doesn't allow an argument\n" + tryHelp},
      {{"--strin", "-c", "x"},
       "quillsum-cli: the --check option is meaningless with --string\n" + tryHelp},
      {{"-r", "-c", "x"},
       "quillsum-cli: the --recursive option is meaningless when verifying checksums\n" + tryHelp},
      {{"--audit=x", "list"},
       "quillsum-cli: the --audit option is meaningful only when verifying checksums\n" + tryHelp},
      {{"-c", "--update=x", "list"},
       "quillsum-cli: the --update option is meaningless when verifying checksums\n" + tryHelp},
      {{"--update=", "x"},
       "quillsum-cli: the --update option needs the name of a list\n" + tryHelp},
      {{"--update=x"},
       "quillsum-cli: the --update option needs FILE operands, not standard input\n" + tryHelp},
      {{"-r", "--update=x", "y", "-"},
       "quillsum-cli: the --update option needs FILE operands, not standard input\n" + tryHelp},
      {{"--duplicates", "-c", "x"},
       "quillsum-cli: the --duplicates option is meaningless when verifying checksums\n" + tryHelp},
      {{"--strin", "--dup", "x"},
       "quillsum-cli: the --duplicates option is meaningless with --string\n" + tryHelp},
      {{"--duplicates", "--fingerprint", "x"},
       "quillsum-cli: the --fingerprint option is meaningless with --duplicates\n" + tryHelp},
      {{"--duplicates", "--update=x", "y"},
       "quillsum-cli: the --update option is meaningless with --duplicates\n" + tryHelp},
      {{"--duplicates", "--audit=x", "y"},
       "quillsum-cli: the --audit option is meaningful only when verifying checksums\n" + tryHelp},
      {{"-r", "--duplicates"},
       "quillsum-cli: the --duplicates option needs FILE operands, not standard input\n" + tryHelp},
      {{"--wi", "x"},
       "quillsum-cli: the --windows-lists option is meaningful only when verifying checksums\n" +
           tryHelp},
      {{"-c", "--windows=yes", "x"},
       "quillsum-cli: option '--windows-lists' doesn't allow an argument\n" + tryHelp},
      {{"-c", "-z", "--windows-lists", "x"},
       "quillsum-cli: the --zero option is not supported when verifying checksums\n" + tryHelp},
      {{"--dedupe", "x"},
       "quillsum-cli: the --dedupe option is meaningful only with --duplicates\n" + tryHelp},
      {{"-c", "--ha", "x"},
       "quillsum-cli: the --hardlink option is meaningful only with --duplicates\n" + tryHelp},
      {{"--duplicates", "--hardlink", "--dedupe", "x"},
       "quillsum-cli: the --dedupe and --hardlink options do not go together\n" + tryHelp},
      {{"--duplicates", "--dedupe", "--update=x", "y"},
       "quillsum-cli: the --update option is meaningless with --duplicates\n" + tryHelp},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Ran ran = RunCli(c.args, dir.path());
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, c.err);
    EXPECT_EQ(ran.status, 1);
  }
  // md5sum's --h and --he are --help still, whatever --hardlink's abbreviations.
  for (const char *help : {"--h", "--he"})
    EXPECT_EQ(RunCli({help}, dir.path()).out, RunCli({"--help"}, dir.path()).out) << help;
  // Spelt out far enough, --string is itself, and "-j N" does not take it as its argument.
  EXPECT_EQ(RunCli({"-j", "2", "--strin", "abc"}, dir.path()).out,
            "900150983CD24FB0D6963F7D28E17F72\n");
  // Nor does "--update LIST" when LIST looks like it.
  dir.Write("abc", "abc");
  EXPECT_EQ(RunCli({"--up", "--strin", "abc"}, dir.path()).status, 0);
  EXPECT_EQ(test::ReadFile(dir.path() / "--strin"), "900150983cd24fb0d6963f7d28e17f72  abc\n");
}

} // namespace
} // namespace quillsum
