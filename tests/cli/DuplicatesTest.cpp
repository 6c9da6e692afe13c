// --duplicates: a table of trees with the groups expected, each group's lines as md5sum prints
// them; the pages a fingerprint leaves in memory; and the groups of a generated tree against
// jdupes, which compares bytes, at every road, number of jobs and tight limits.

#include "support/Launch.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using test::Ran;
using test::RandomBytes;
using test::TempDir;

// The published MD5 collision (Wang and Yu, 2004): two 128-byte blocks that differ in six bytes,
// none of them in the fingerprint's first sample, and have one digest.
std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t k = 0; k + 1 < hex.size(); k += 2)
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(k, 2)), nullptr, 16));
  return bytes;
}
const std::string kCollisionA =
    FromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
            "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
            "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
            "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
const std::string kCollisionB =
    FromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f89"
            "55ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5b"
            "d8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0"
            "e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70");

// The bytes with one changed at offset, past every sample when it is 14015 or more.
std::string Flipped(std::string bytes, std::size_t offset) {
  bytes.at(offset) = static_cast<char>(bytes[offset] ^ 1);
  return bytes;
}

// How a name of the tree is made: a file of its bytes, a hard or symbolic link to another name,
// a file of its bytes that no one but root may read, or an empty folder no one but root may list.
struct Made {
  enum Kind { File, HardLink, SymbolicLink, Locked, LockedFolder };
  std::string name, bytes; // for links, bytes names the target
  Kind kind = File;
};

void Plant(const fs::path &folder, const std::vector<Made> &tree) {
  for (const Made &made : tree) {
    const fs::path path = folder / made.name;
    fs::create_directories(path.parent_path());
    if (made.kind == Made::HardLink)
      fs::create_hard_link(folder / made.bytes, path);
    else if (made.kind == Made::SymbolicLink)
      fs::create_symlink(made.bytes, path);
    else if (made.kind == Made::LockedFolder)
      fs::create_directory(path);
    else
      std::ofstream(path, std::ios::binary) << made.bytes;
    if (made.kind == Made::Locked || made.kind == Made::LockedFolder)
      fs::permissions(path, fs::perms::none);
  }
}

// Runs a program other than quillsum-cli.
Ran RunOther(std::vector<std::string> argv, const fs::path &folder = ".") {
  test::Launch launch;
  launch.argv = std::move(argv);
  launch.folder = folder;
  return test::Run(launch);
}

// What --duplicates must print for these groups: each group as md5sum prints its lines, with
// the same options, one empty line (or NUL) between groups.
std::string Expected(const std::vector<std::vector<std::string>> &groups,
                     const std::vector<std::string> &options, const fs::path &folder) {
  const bool zero = std::find(options.begin(), options.end(), "-z") != options.end();
  std::string out;
  for (const std::vector<std::string> &group : groups) {
    std::vector<std::string> md5sum = {"md5sum"};
    md5sum.insert(md5sum.end(), options.begin(), options.end());
    md5sum.insert(md5sum.end(), group.begin(), group.end());
    out += (out.empty() ? "" : std::string(1, zero ? '\0' : '\n')) + RunOther(md5sum, folder).out;
  }
  return out;
}

// Run as "nobody", so that a locked file cannot be read.
Ran RunUnprivileged(const std::vector<std::string> &args, const fs::path &folder,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
  test::Launch launch = test::CliLaunch(args, folder);
  launch.unprivileged = true;
  launch.env = std::move(env);
  return test::Run(launch);
}

TEST(Duplicates, GroupsAreFilesOfEqualBytesOnly) {
  const std::string x = RandomBytes(20'000, 1), y = RandomBytes(20'000, 2);
  const std::string suffix = RandomBytes(3000, 3), large = RandomBytes(3 << 20, 5);
  const std::string collidingA = kCollisionA + suffix, collidingB = kCollisionB + suffix;
  struct Case {
    const char *what;
    std::vector<Made> tree;
    std::vector<std::string> args;
    std::vector<std::vector<std::string>> groups;
    std::string err = "";
  };
  const Case cases[] = {
      {"equal bytes, in walk order; another size and another head are not",
       {{"t/b", x}, {"t/a", x}, {"t/sub/a", x}, {"t/c", y}, {"t/d", x + "!"}, {"t/e", y}},
       {"-r", "t"},
       {{"t/a", "t/b", "t/sub/a"}, {"t/c", "t/e"}}},
      {"groups in the order of their first files, with -z and --tag",
       {{"t/1", y}, {"t/2", x}, {"t/3", y}, {"t/4", x}, {"t/new\nline", x}},
       {"-r", "t", "-z", "--tag"},
       {{"t/1", "t/3"}, {"t/2", "t/4", "t/new\nline"}}},
      {"names escaped as md5sum escapes them",
       {{"t/back\\slash", y}, {"t/new\nline", y}},
       {"-r", "t"},
       {{"t/back\\slash", "t/new\nline"}}},
      {"one byte different where no sample reads: equal fingerprints, different digests",
       {{"a", x}, {"b", Flipped(x, 100)}, {"c", Flipped(x, 19'000)}, {"d", x}},
       {"a", "b", "c", "d"},
       {{"a", "d"}}},
      {"3 MiB files differing only in their last byte: compared to their end",
       {{"a", large}, {"b", Flipped(large, large.size() - 1)}, {"c", large}},
       {"a", "b", "c"},
       {{"a", "c"}}},
      {"colliding MD5s: a digest alone makes no group",
       {{"a", collidingA}, {"b", collidingB}, {"c", collidingA}},
       {"a", "b", "c"},
       {{"a", "c"}}},
      {"colliding MD5s, the first met alone: the others are compared with it all the same",
       {{"a", collidingB}, {"b", collidingA}, {"c", collidingA}},
       {"a", "b", "c"},
       {{"b", "c"}}},
      {"hard links and a name twice are one file, under the first name",
       {{"t/a", x},
        {"t/b", "t/a", Made::HardLink},
        {"t/c", x},
        {"u", y},
        {"v", "u", Made::HardLink}},
       {"-r", "t", "t/a", "u", "u", "v"},
       {{"t/a", "t/c"}}},
      {"empty files are no one's duplicates",
       {{"t/a", ""}, {"t/b", ""}, {"t/c", x}, {"t/d", x}},
       {"-r", "t"},
       {{"t/c", "t/d"}}},
      {"unreadable files are reported and in no group; one of a size no other has is not opened",
       {{"t/a", x}, {"t/b", x, Made::Locked}, {"t/c", x}, {"t/d", y + "!", Made::Locked}},
       {"-r", "t", "missing"},
       {{"t/a", "t/c"}},
       "quillsum-cli: missing: No such file or directory\n"
       "quillsum-cli: t/b: Permission denied\n"},
      {"failures in walk order: operands, and a folder that cannot be listed between them",
       {{"t/a", x}, {"t/b", "", Made::LockedFolder}, {"t/c", x}},
       {"missing", "-r", "t", "gone"},
       {{"t/a", "t/c"}},
       "quillsum-cli: missing: No such file or directory\n"
       "quillsum-cli: t/b: Permission denied\n"
       "quillsum-cli: gone: No such file or directory\n"},
      {"symbolic links beneath a folder are not followed; named, they lead to their file",
       {{"t/a", x}, {"t/b", "a", Made::SymbolicLink}, {"c", x}, {"l", "c", Made::SymbolicLink}},
       {"-r", "t", "l", "c"},
       {{"t/a", "l"}}},
  };
  for (const Case &c : cases)
    for (const char *road : {"lanes", "disk"}) {
      SCOPED_TRACE(std::string(c.what) + ", " + road);
      const TempDir dir;
      fs::permissions(dir.path(), fs::perms::all);
      Plant(dir.path(), c.tree);
      std::vector<std::string> args = {"--duplicates"};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const Ran ran = RunUnprivileged(args, dir.path(), {{"QUILLSUM_ROAD", road}});
      std::vector<std::string> options;
      std::copy_if(c.args.begin(), c.args.end(), std::back_inserter(options),
                   [](const std::string &arg) { return arg == "-z" || arg == "--tag"; });
      EXPECT_EQ(ran.out, Expected(c.groups, options, dir.path()));
      EXPECT_EQ(ran.err, c.err);
      EXPECT_EQ(ran.status, c.err.empty() ? 0 : 1);
    }
}

// Pages of the file in memory.
std::size_t PagesInMemory(const fs::path &file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const std::size_t size = fs::file_size(file), page = static_cast<std::size_t>(::getpagesize());
  void *map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  std::vector<unsigned char> in((size + page - 1) / page);
  ::mincore(map, size, in.data());
  ::munmap(map, size);
  ::close(fd);
  return static_cast<std::size_t>(
      std::count_if(in.begin(), in.end(), [](auto p) { return p & 1; }));
}

// A file whose size another shares but whose fingerprint no other has costs the disk its first
// four pages at most, whatever its read-ahead; one of a size no other has, nothing.
TEST(Duplicates, AFingerprintReadsOnlyTheSampledPages) {
  const TempDir dir;
  const std::string big = RandomBytes(4 << 20, 4);
  const fs::path first = dir.Write("first", big), second = dir.Write("second", Flipped(big, 0));
  const fs::path other = dir.Write("other", big + "!");
  for (const fs::path &file : {first, second, other}) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    if (PagesInMemory(file) != 0)
      GTEST_SKIP() << "this file system keeps its pages in memory";
  }
  const Ran ran = test::RunCli({"--duplicates", "first", "second", "other"}, dir.path());
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(ran.status, 0);
  EXPECT_LE(PagesInMemory(first), 4u);
  EXPECT_LE(PagesInMemory(second), 4u);
  EXPECT_EQ(PagesInMemory(other), 0u);
}

// A small file costs the walk's lstat and one open, read whole at once; of a group of small
// files, only the first met is opened again, to be compared with the bytes kept of the second.
// None is looked at again, nor asked to read ahead; one of a size no other has is not opened.
TEST(Duplicates, ASmallFileIsOpenedOnce) {
#if defined(QUILLSUM_SANITIZE) || defined(QUILLSUM_TSAN)
  GTEST_SKIP() << "the sanitizers' runtimes make calls of their own, and LeakSanitizer cannot run "
                  "under ptrace";
#endif
  if (RunOther({"strace", "-V"}).status != 0)
    GTEST_SKIP() << "no strace";
  const TempDir dir;
  const std::string group = RandomBytes(700, 5);
  const struct {
    std::string name, bytes;
    int opens, looks;
  } files[] = {
      {"t/alone", RandomBytes(100, 6), 0, 1},
      {"t/x1", RandomBytes(500, 7), 1, 1},
      {"t/x2", RandomBytes(500, 8), 1, 1},
      {"t/g1", group, 2, 1},
      {"t/g2", group, 1, 1},
      {"t/g3", group, 1, 1},
  };
  fs::create_directories(dir.path() / "t");
  for (const auto &file : files)
    dir.Write(file.name, file.bytes);
  const Ran traced = RunOther({"strace", "-f", "-y", "-qq", "-o", "trace", "-e",
                               "trace=openat,open,newfstatat,statx,fstat,lstat,stat,fadvise64",
                               test::Cli(), "--duplicates", "-r", "t"},
                              dir.path());
  EXPECT_EQ(traced.out, Expected({{"t/g1", "t/g2", "t/g3"}}, {}, dir.path()));
  EXPECT_EQ(traced.status, 0) << traced.err;
  // Each call as "PID  NAME(ARGUMENTS) = RESULT".
  std::ifstream trace(dir.path() / "trace");
  std::vector<std::pair<std::string, std::string>> calls;
  for (std::string pid, call; trace >> pid && std::getline(trace >> std::ws, call);)
    calls.emplace_back(call.substr(0, call.find('(')), call);
  for (const auto &file : files) {
    SCOPED_TRACE(file.name);
    // By name, or by a descriptor that strace -y shows with the file's path.
    const auto count = [&](std::set<std::string> names) {
      return std::count_if(calls.begin(), calls.end(), [&](const auto &call) {
        return names.contains(call.first) &&
               (call.second.find('"' + file.name + '"') != std::string::npos ||
                call.second.find("/" + file.name + ">") != std::string::npos);
      });
    };
    EXPECT_EQ(count({"openat", "open"}), file.opens);
    EXPECT_EQ(count({"newfstatat", "statx", "fstat", "lstat", "stat"}), file.looks);
    EXPECT_EQ(count({"fadvise64"}), 0);
  }
}

// Groups as sets of names, read from output whose lines are NAME (jdupes) or HEX  NAME.
std::set<std::set<std::string>> Groups(const std::string &out, bool hex) {
  std::set<std::set<std::string>> groups;
  std::set<std::string> group;
  std::istringstream lines(out + "\n");
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) {
      group.insert(hex ? line.substr(34) : line);
    } else if (!group.empty()) {
      groups.insert(group);
      group.clear();
    }
  }
  return groups;
}

// A tree beneath folder/tree of files of a few sizes: copies in twos to fives, near copies one
// byte apart beyond the samples, and the colliding pair.
void PlantGeneratedTree(const fs::path &folder) {
  std::mt19937 random(21);
  const std::size_t sizes[] = {3000, 16'384, 20'000, 100'000, 300'000};
  for (int d = 0; d < 7; ++d)
    fs::create_directories(folder / "tree" / ("d" + std::to_string(d)));
  const auto write = [&](const std::string &name, const std::string &bytes) {
    std::ofstream(folder / name, std::ios::binary) << bytes;
  };
  for (int k = 0; k < 300; ++k) {
    const std::string name = "tree/d" + std::to_string(k % 7) + "/f" + std::to_string(k);
    std::string bytes = RandomBytes(sizes[random() % std::size(sizes)], static_cast<unsigned>(k));
    const unsigned copies = random() % 6 < 2 ? 2 + random() % 4 : 1;
    for (unsigned copy = 0; copy < copies; ++copy)
      write(name + (copy ? "-" + std::to_string(copy) : ""), bytes);
    if (random() % 8 == 0 && bytes.size() > 15'000)
      write(name + "-near", Flipped(bytes, 14'015 + random() % (bytes.size() - 14'015)));
  }
  write("tree/c1", kCollisionA + "tail");
  write("tree/d3/c2", kCollisionB + "tail");
}

// The generated tree: the same groups as jdupes finds, and the same output at any road, number of
// jobs, and with few descriptors or little memory.
TEST(Duplicates, GroupsAreJdupesOnAGeneratedTree) {
  if (RunOther({"jdupes", "--version"}).status != 0)
    GTEST_SKIP() << "no jdupes";
  const TempDir dir;
  PlantGeneratedTree(dir.path());
  const Ran jdupes = RunOther({"jdupes", "-r", "-q", "tree"}, dir.path());
  ASSERT_EQ(jdupes.status, 0);
  const std::set<std::set<std::string>> expected = Groups(jdupes.out, false);
  ASSERT_GT(expected.size(), 50u);

  struct Setting {
    std::vector<std::string> jobs;
    std::vector<std::pair<std::string, std::string>> env;
    rlim_t descriptors = 0, memoryKiB = 0;
  };
  const Setting settings[] = {
    {{"-j", "1"}, {}},
    {{"-j", "2"}, {{"QUILLSUM_ROAD", "lanes"}}},
    {{"-j", "8"}, {{"QUILLSUM_ROAD", "disk"}}},
// The sanitizers' runtimes need descriptors and memory of their own.
#if !defined(QUILLSUM_SANITIZE) && !defined(QUILLSUM_TSAN)
    {{"-j", "2"}, {{"QUILLSUM_ROAD", "disk"}}, 8},
    {{"-j", "8"}, {}, 8},
    {{"-j", "2"}, {}, 0, 64 << 10},
#endif
  };
  std::optional<std::string> first;
  for (const Setting &s : settings) {
    SCOPED_TRACE(testing::PrintToString(s.jobs) + testing::PrintToString(s.env) + " nofile " +
                 std::to_string(s.descriptors) + " as " + std::to_string(s.memoryKiB));
    test::Launch launch = test::CliLaunch({"--duplicates", "-r", "tree"}, dir.path());
    launch.argv.insert(launch.argv.end(), s.jobs.begin(), s.jobs.end());
    launch.env = s.env;
    launch.descriptors = s.descriptors;
    launch.memoryKiB = s.memoryKiB;
    const Ran ran = test::Run(launch);
    EXPECT_EQ(ran.err, "");
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(Groups(ran.out, true), expected);
    if (!first)
      first = ran.out;
    EXPECT_EQ(ran.out, *first);
  }
}

// A refused resource is the run's: under any limit on descriptors or memory at which one job
// gives every group, any number of jobs gives the same, on either road.
TEST(Duplicates, UnderALimitOneJobMeetsAnyNumberGivesTheSame) {
#if defined(QUILLSUM_SANITIZE) || defined(QUILLSUM_TSAN)
  GTEST_SKIP() << "the sanitizers' runtimes need descriptors and memory of their own";
#endif
  const TempDir dir;
  PlantGeneratedTree(dir.path());
  const Ran unlimited = test::RunCli({"--duplicates", "-r", "tree"}, dir.path());
  ASSERT_EQ(unlimited.status, 0);
  struct Limit {
    rlim_t descriptors = 0, memoryKiB = 0;
  };
  std::vector<Limit> limits;
  for (rlim_t descriptors : {4, 5, 6, 8})
    limits.push_back({descriptors, 0});
  for (rlim_t kib = 6000; kib <= 16000; kib += 1000)
    limits.push_back({0, kib});
  std::size_t held = 0;
  for (const Limit &limit : limits)
    for (const char *road : {"lanes", "disk"})
      for (const char *jobs : {"-j1", "-j2", "-j8"}) {
        SCOPED_TRACE(std::string(road) + " " + jobs + ", nofile " +
                     std::to_string(limit.descriptors) + ", as " + std::to_string(limit.memoryKiB) +
                     " KiB");
        test::Launch launch = test::CliLaunch({jobs, "--duplicates", "-r", "tree"}, dir.path());
        launch.env = {{"QUILLSUM_ROAD", road}};
        launch.descriptors = limit.descriptors;
        launch.memoryKiB = limit.memoryKiB;
        const Ran ran = test::Run(launch);
        if (jobs == std::string_view("-j1")) {
          if (ran.status != 0 || ran.out != unlimited.out)
            break; // one job does not meet this limit: no claim on more
          ++held;
          continue;
        }
        EXPECT_EQ(ran.err, "");
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.out, unlimited.out);
      }
  EXPECT_GT(held, limits.size()); // most limits were met, on both roads
}

} // namespace
} // namespace quillsum
