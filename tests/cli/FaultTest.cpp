// Memory that runs out at any moment: each allocation of a run fails in turn, and every such run
// ends within seconds with md5sum's output (or --duplicates' groups) and status 0, or with status
// 1, a clear line, and only lines md5sum would print: never a hang, an abort or a wrong digest.

#include "support/Launch.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

namespace quillsum {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

bool EndsWith(const std::string &line, std::string_view end) { return line.ends_with(end); }

// A run that ended as md5sum's would: its output and status 0, or status 1, a clear line, and
// only lines md5sum could print.
void ExpectEndedAsMd5sum(const test::Ran &ran, const std::string &expected,
                         const std::set<std::string> &allowed) {
  ASSERT_TRUE(ran.status == 0 || ran.status == 1) << ran.status << "\n" << ran.err;
  if (ran.status == 0) {
    EXPECT_EQ(ran.out, expected);
    EXPECT_EQ(ran.err, "");
    return;
  }
  EXPECT_NE(ran.err, "");
  for (const std::string &line : Lines(ran.out))
    EXPECT_TRUE(allowed.contains(line)) << line;
  for (const std::string &line : Lines(ran.err))
    EXPECT_TRUE(EndsWith(line, ": Cannot allocate memory") ||
                line == "quillsum-cli: memory exhausted" || EndsWith(line, " could not be read"))
        << line;
}

TEST(AllocationFailure, AtEveryAllocationEndsAsMd5sumWould) {
#if defined(QUILLSUM_SANITIZE) || defined(QUILLSUM_TSAN)
  GTEST_SKIP() << "the sanitizers' runtimes own malloc";
#endif
  const test::TempDir scratch;
  fs::create_directories(scratch.path() / "t" / "sub");
  std::vector<std::string> names;
  for (int k = 0; k < 8; ++k) {
    const std::string name = (k < 4 ? "t/" : "t/sub/") + std::to_string(k);
    std::ofstream(scratch.path() / name, std::ios::binary) << std::string(k * 3000, char('a' + k));
    names.push_back(name);
  }
  // And for --duplicates, two groups of copies of the first files.
  for (const char *copy : {"t/sub/4b", "t/sub/5b", "t/sub/5c"}) {
    fs::copy_file(scratch.path() / (std::string(copy).substr(0, 7)), scratch.path() / copy);
    names.push_back(copy);
  }
  std::sort(names.begin(), names.end()); // as the walk meets them
  const test::Ran md5sum = test::Md5sum(names, scratch.path());
  ASSERT_EQ(md5sum.status, 0);
  std::ofstream(scratch.path() / "t.md5") << md5sum.out;
  // And a file large enough to be read ahead of its digest, beside two small ones.
  std::ofstream(scratch.path() / "big", std::ios::binary) << test::RandomBytes(6 << 20, 6);
  const test::Ran bigSums = test::Md5sum({"big", names[0], names[1]}, scratch.path());
  ASSERT_EQ(bigSums.status, 0);
  std::set<std::string> allowed; // every line md5sum could print for these files
  for (const std::string &line : Lines(md5sum.out + bigSums.out)) {
    allowed.insert(line);
    const std::string name = line.substr(34);
    allowed.insert(name + ": OK");
    allowed.insert(name + ": FAILED open or read");
  }
  allowed.insert(""); // between groups of duplicates
  const auto lineOf = [&](const std::string &name) {
    return *std::find_if(allowed.begin(), allowed.end(), [&](const std::string &line) {
      return line.ends_with("  " + name);
    }) + "\n";
  };
  const std::string duplicates = lineOf("t/sub/4") + lineOf("t/sub/4b") + "\n" + lineOf("t/sub/5") +
                                 lineOf("t/sub/5b") + lineOf("t/sub/5c");
  std::vector<std::string> files{"-j1"};
  files.insert(files.end(), names.begin(), names.end());
  const struct {
    std::vector<std::string> args;
    std::string expected;
    unsigned long inARow = 1; // allocations that fail from the n-th on
  } shapes[] = {
      {files, md5sum.out},
      {{"-j2", "-r", "t"}, md5sum.out},
      // Memory short for a while: lanes started together get smaller buffers, one of them the
      // reserve, and the others wait for it.
      {{"-j2", "-r", "t"}, md5sum.out, 8},
      {{"-j2", "big", names[0], names[1]}, bigSums.out},
      {{"-j8", "--duplicates", "-r", "t"}, duplicates},
      {{"-j2", "-c", "t.md5"},
       [&] {
         std::string checked;
         for (const std::string &name : names)
           checked += name + ": OK\n";
         return checked;
       }()},
  };
  for (const auto &shape : shapes)
    for (const char *road : {"lanes", "disk"}) {
      test::Launch launch = test::CliLaunch(shape.args, scratch.path());
      launch.env = {{"LD_PRELOAD", QUILLSUM_FAILING_MALLOC}, {"QUILLSUM_ROAD", road}};
      launch.env.push_back({"QUILLSUM_COUNT_FD", "2"}); // the count follows what it wrote
      const test::Ran counted = test::Run(launch);
      ASSERT_EQ(counted.out, shape.expected);
      const unsigned long allocations = std::stoul(Lines(counted.err).back());
      launch.env.pop_back();
      launch.env.push_back({"QUILLSUM_FAIL_IN_A_ROW", std::to_string(shape.inARow)});
      launch.seconds = 10;
      for (unsigned long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(testing::PrintToString(shape.args) + " " + road + ", allocation " +
                     std::to_string(n) + " of " + std::to_string(allocations) + " fails, " +
                     std::to_string(shape.inARow) + " in a row");
        launch.env.push_back({"QUILLSUM_FAIL_ALLOCATION", std::to_string(n)});
        const test::Ran ran = test::Run(launch);
        launch.env.pop_back();
        ExpectEndedAsMd5sum(ran, shape.expected, allowed);
      }
    }
}

// Address space limited from the start (ulimit -v), from too little for the libraries and an
// exception to enough for the work: a thread's malloc arena alone would reserve 64 MiB, and a
// bad_alloc that cannot be allocated itself ends in std::terminate.
TEST(MemoryLimit, AnyLimitEndsAsMd5sumWould) {
#if defined(QUILLSUM_SANITIZE) || defined(QUILLSUM_TSAN)
  GTEST_SKIP() << "the sanitizers' runtimes reserve more";
#endif
  const test::TempDir scratch;
  std::vector<std::string> names;
  for (int k = 0; k < 2400; ++k) {
    const std::string name = "t/" + std::to_string(k % 4) + "/" + std::to_string(k);
    fs::create_directories(scratch.path() / name.substr(0, 3));
    std::ofstream(scratch.path() / name) << k;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  const test::Ran md5sum = test::Md5sum(names, scratch.path());
  ASSERT_EQ(md5sum.status, 0);
  const std::vector<std::string> lines = Lines(md5sum.out);
  const std::set<std::string> allowed(lines.begin(), lines.end());
  for (rlim_t kib = 6000; kib <= 12000; kib += kib < 8000 ? 200 : kib < 9000 ? 1000 : 3000)
    for (const char *jobs : {"-j1", "-j2", "-j8"})
      for (const char *road : {"lanes", "disk"}) {
        SCOPED_TRACE(std::to_string(kib) + " KiB, " + jobs + ", " + road);
        test::Launch launch = test::CliLaunch({jobs, "-r", "t"}, scratch.path());
        launch.env = {{"QUILLSUM_ROAD", road}};
        launch.memoryKiB = kib;
        launch.seconds = 10;
        const test::Ran ran = test::Run(launch);
        if (ran.status == 127 && !ran.err.starts_with("quillsum-cli:"))
          continue; // too little for the libraries: the loader's own failure
        ExpectEndedAsMd5sum(ran, md5sum.out, allowed);
        // Fewer threads, or a disk's reader with a smaller buffer, where a few MiB more than
        // md5sum needs are to be had.
        if (kib >= 12000 || (kib >= 9000 && jobs != std::string_view("-j8"))) {
          EXPECT_EQ(ran.status, 0) << ran.err;
        }
      }
  // Large blocks refused, small ones given: every file is still read, a smaller piece at a time.
  for (const char *road : {"lanes", "disk"}) {
    SCOPED_TRACE(road);
    test::Launch launch = test::CliLaunch({"-j2", "-r", "t"}, scratch.path());
    launch.env = {{"LD_PRELOAD", QUILLSUM_FAILING_MALLOC},
                  {"QUILLSUM_FAIL_FROM_SIZE", "65536"},
                  {"QUILLSUM_ROAD", road}};
    const test::Ran ran = test::Run(launch);
    EXPECT_EQ(ran.out, md5sum.out);
    EXPECT_EQ(ran.status, 0) << ran.err;
  }
}

// A refused resource is the run's, never a file's: in every mode, on both roads, at the tightest
// limit on memory at which -j1 gives its whole output and a little above it, and at tight limits
// on descriptors, -j2 and -j8 give what -j1 gives, three runs each.
TEST(Limits, EveryJobCountGivesWhatOneJobGives) {
#if defined(QUILLSUM_SANITIZE) || defined(QUILLSUM_TSAN)
  GTEST_SKIP() << "the sanitizers' runtimes need descriptors and memory of their own";
#endif
  const test::TempDir scratch;
  std::vector<std::string> names;
  for (int k = 0; k < 160; ++k) {
    const std::string name = "t/d" + std::to_string(k % 8) + "/" + std::to_string(k);
    fs::create_directories(scratch.path() / name.substr(0, 4));
    // A few large files, read ahead of their digests; a fifth copies of others.
    const std::size_t size = k % 40 == 0 ? 3 << 20 : static_cast<std::size_t>(k * 997 % 60'000);
    std::ofstream(scratch.path() / name, std::ios::binary)
        << test::RandomBytes(size, static_cast<std::uint32_t>(k % 5 == 4 ? k - 1 : k));
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  const test::Ran md5sum = test::Md5sum(names, scratch.path());
  ASSERT_EQ(md5sum.status, 0);
  std::ofstream(scratch.path() / "ref.md5") << md5sum.out;
  std::ofstream(scratch.path() / "half.md5") << md5sum.out.substr(0, md5sum.out.size() / 2);
  const std::vector<std::vector<std::string>> modes = {
      {"-r", "t"},
      {"-c", "ref.md5"},
      {"-c", "ref.md5", "--audit=t"},
      {"-r", "t", "--update=list.md5"},
      {"--duplicates", "-r", "t"},
      {"--fingerprint", "-r", "t"},
  };
  // Output, messages and status, and the list --update leaves, from a fresh copy of half the list.
  const auto run = [&](const std::vector<std::string> &mode, const char *jobs, const char *road,
                       rlim_t memoryKiB, rlim_t descriptors) {
    fs::copy_file(scratch.path() / "half.md5", scratch.path() / "list.md5",
                  fs::copy_options::overwrite_existing);
    std::vector<std::string> args = {jobs};
    args.insert(args.end(), mode.begin(), mode.end());
    test::Launch launch = test::CliLaunch(args, scratch.path());
    launch.env = {{"QUILLSUM_ROAD", road}};
    launch.memoryKiB = memoryKiB;
    launch.descriptors = descriptors;
    launch.seconds = 10;
    const test::Ran ran = test::Run(launch);
    return std::tuple(ran.out + test::ReadFile(scratch.path() / "list.md5"), ran.err, ran.status,
                      ran.hung);
  };
  // Where -j1 gives it all, so does every -j. A limit at which -j1 itself only mostly gives it all
  // (at the very edge, as memory happens to be laid out) is no such limit. There, about one run
  // in a hundred fails at any -j; a -j that fails counts only where it fails again, twice in
  // five runs, while -j1 gives it all ten times.
  const auto same = [&](const std::vector<std::string> &mode, const char *road, rlim_t memoryKiB,
                        rlim_t descriptors, const auto &whole) {
    const auto oneGivesAll = [&](int times) {
      for (int k = 0; k < times; ++k)
        if (run(mode, "-j1", road, memoryKiB, descriptors) != whole)
          return false;
      return true;
    };
    if (!oneGivesAll(1))
      return;
    for (const char *jobs : {"-j2", "-j8"})
      for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(std::string(jobs) + ", run " + std::to_string(round + 1));
        const auto ran = run(mode, jobs, road, memoryKiB, descriptors);
        if (ran != whole) {
          int again = 0;
          for (int k = 0; k < 5; ++k)
            again += run(mode, jobs, road, memoryKiB, descriptors) != whole;
          if (again < 2 || !oneGivesAll(10))
            return;
        }
        EXPECT_EQ(ran, whole);
      }
  };
  for (const auto &mode : modes)
    for (const char *road : {"lanes", "disk"}) {
      SCOPED_TRACE(testing::PrintToString(mode) + " " + road);
      const auto whole = run(mode, "-j1", road, 0, 0);
      ASSERT_FALSE(std::get<3>(whole));
      // The tightest limit on address space, to 256 KiB, at which -j1 still gives it all, twice.
      const auto gives = [&](rlim_t kib) {
        return run(mode, "-j1", road, kib, 0) == whole && run(mode, "-j1", road, kib, 0) == whole;
      };
      rlim_t refused = 4096, enough = 32768;
      ASSERT_TRUE(gives(enough));
      while (enough - refused > 256)
        (gives((refused + enough) / 2) ? enough : refused) = (refused + enough) / 2;
      for (const rlim_t kib : {enough, enough + 512, enough + 2048}) {
        SCOPED_TRACE(std::to_string(kib) + " KiB");
        same(mode, road, kib, 0, whole);
      }
      for (const rlim_t descriptors : {4, 5, 6, 8}) {
        SCOPED_TRACE(std::to_string(descriptors) + " descriptors");
        same(mode, road, 0, descriptors, whole);
      }
    }
}

} // namespace
} // namespace quillsum
