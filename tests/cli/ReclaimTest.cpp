// --duplicates --dedupe and --hardlink, held to the kernel's own view: the free blocks statfs
// counts, the extents filefrag marks shared, each file's inode, link count, times and bytes. On an
// XFS and a btrfs made for the test, and where a file system cannot share; changes come at the
// last moment before an act, through QUILLSUM_BEFORE_ACT.

#include "support/Launch.h"
#include "support/Mounted.h"
#include "support/Reference.h"
#include "support/Watch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using test::Ran;

// What can be seen of a file from outside: which file a name leads to, and what it holds.
struct Look {
  ino_t inode;
  nlink_t links;
  std::int64_t mtime, ctime; // in ns
  std::string bytes;
  bool operator==(const Look &) const = default;
  friend std::ostream &operator<<(std::ostream &out, const Look &look) {
    return out << "inode " << look.inode << ", " << look.links << " links, mtime " << look.mtime
               << ", ctime " << look.ctime << ", MD5 " << test::ReferenceMd5(look.bytes);
  }
};
Look LookAt(const fs::path &name) {
  struct stat info {};
  ::lstat(name.c_str(), &info);
  const auto ns = [](timespec t) { return t.tv_sec * 1'000'000'000 + t.tv_nsec; };
  return {info.st_ino, info.st_nlink, ns(info.st_mtim), ns(info.st_ctim), test::ReadFile(name)};
}

// The bytes a file system has free for data (btrfs counts its metadata apart), once everything
// written is on it.
std::uint64_t Free(const fs::path &folder) {
  ::sync();
  struct statvfs info {};
  ::statvfs(folder.c_str(), &info);
  return info.f_bavail * info.f_frsize;
}

Ran Reclaim(const char *option, const fs::path &folder, std::vector<std::string> names,
            rlim_t descriptors = 0) {
  names.insert(names.begin(), {"--duplicates", option});
  test::Launch launch = test::CliLaunch(names, folder);
  launch.descriptors = descriptors;
  return test::Run(launch);
}

TEST(Dedupe, SharesEachGroupOnXfsAndBtrfs) {
  const test::TempDir dir;
  // 130 files of a group are more than one FIDEDUPERANGE takes, or the few descriptors leave.
  rlim_t few = 24;
#if defined(QUILLSUM_SANITIZE) || defined(QUILLSUM_TSAN) // their runtimes need descriptors too
  few = 0;
#endif
  for (const auto &[type, descriptors] : {std::pair{"xfs", rlim_t{0}}, {"btrfs", few}}) {
    SCOPED_TRACE(type);
    const test::Mounted mounted(dir.path(), type, 300 << 20);
    if (!mounted.mounted())
      GTEST_SKIP() << mounted.why();
    // Files larger than one call's window, one of a size no block divides, and many small ones.
    const std::size_t sizes[] = {24 << 20, (20 << 20) + 1000, 8192};
    std::vector<std::vector<std::string>> groups = {{"a/1", "a/2", "b/3"}, {"odd", "odd2"}, {}};
    for (int k = 0; k < 130; ++k)
      groups[2].push_back("many/" + std::to_string(k));
    std::uint64_t blocks = 0; // of each group's other files
    for (std::size_t g = 0; g < groups.size(); ++g)
      for (const std::string &name : groups[g]) {
        fs::create_directories((mounted.path() / name).parent_path());
        dir.Write(type + ("/" + name), test::RandomBytes(sizes[g], static_cast<unsigned>(g)));
        blocks += name == groups[g].front() ? 0 : (sizes[g] + 4095) / 4096;
      }
    dir.Write(type + std::string("/b/alone"), "no other");
    // A second name of a file is that file: never offered to share with itself.
    fs::create_hard_link(mounted.path() / "a/1", mounted.path() / "b/1");
    std::map<fs::path, Look> before;
    for (const auto &entry : fs::recursive_directory_iterator(mounted.path()))
      before[entry.path()] = LookAt(entry.path());
    const std::uint64_t freeBefore = Free(mounted.path());
    const std::string plan = test::RunCli({"--duplicates", "-r", "."}, mounted.path()).out;
    const std::string sharing = "quillsum-cli: files now sharing the bytes of their group's first "
                                "file: ";
    const Ran first = Reclaim("--dedupe", mounted.path(), {"-r", "."}, descriptors);
    EXPECT_EQ(first.out, plan);
    EXPECT_EQ(first.err, sharing + "132 (69.0 MiB)\n");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(Free(mounted.path()) - freeBefore, blocks * 4096);
    for (const auto &[name, look] : before) {
      SCOPED_TRACE(name);
      EXPECT_EQ(LookAt(name), look);
      EXPECT_EQ(test::AllShared(name), name.filename() != "alone" && fs::is_regular_file(name));
    }
    // Again: nothing left to share, and said so without counting it twice.
    const Ran again = Reclaim("--dedupe", mounted.path(), {"-r", "."});
    EXPECT_EQ(again.out, plan);
    EXPECT_EQ(again.err, sharing + "0 (0 B), and 132 that already were\n");
    EXPECT_EQ(Free(mounted.path()) - freeBefore, blocks * 4096);
  }
}

// A group of a row's files, each a copy of one file's bytes, the first the group's first. Each
// file left is as it was, but for the one the hook changes ("J" for its first byte, its times put
// back), each refusal said in the system's words, and the exit status 1.
struct Refusal {
  const char *what;
  std::vector<std::string> files;
  std::string err;
  std::string setUp = "", hook = "";     // shell commands run in the folder, the files as $1...
  std::string changed = "", linked = ""; // the file the hook changes, and one linked all the same
  bool unprivileged = false;
};

// A shell command that puts "J" at the start of a file and its old times back.
std::string Change(const std::string &file) {
  return "t=$(stat -c %y " + file + "); printf J | dd of=" + file +
         " conv=notrunc status=none; touch -d \"$t\" " + file;
}

void ExpectLeftAsTheyWere(const test::TempDir &dir, const char *option,
                          const std::vector<Refusal> &rows) {
  const fs::path &folder = dir.path();
  fs::permissions(folder, fs::perms::all);
  for (const Refusal &row : rows) {
    SCOPED_TRACE(row.what);
    const std::string bytes = "Q" + test::RandomBytes(64 << 10, 7);
    std::map<std::string, Look> before;
    for (const std::string &name : row.files) {
      fs::create_directories((folder / name).parent_path());
      dir.Write(name, bytes);
    }
    test::Shell(row.setUp, row.files, folder);
    for (const std::string &name : row.files)
      before[name] = LookAt(folder / name);
    test::Launch launch = test::CliLaunch({"--duplicates", option}, folder);
    launch.argv.insert(launch.argv.end(), row.files.begin(), row.files.end());
    launch.env = {{"QUILLSUM_BEFORE_ACT", row.hook}};
    launch.unprivileged = row.unprivileged;
    const Ran ran = test::Run(launch);
    EXPECT_EQ(ran.err, row.err);
    EXPECT_EQ(ran.status, 1);
    for (const auto &[name, look] : before) {
      SCOPED_TRACE(name);
      Look now = LookAt(folder / name), expected = look;
      if (name == row.linked)
        expected = LookAt(folder / row.files[0]);
      if (name == row.changed)
        expected.bytes[0] = 'J';
      // Changed, or linked to by scratch names: its change time moved on.
      if (name == row.changed || name == row.files[0])
        std::tie(now.ctime, now.links) = std::tie(expected.ctime, expected.links);
      EXPECT_EQ(now, expected);
      EXPECT_FALSE(test::AllShared(folder / name));
    }
    test::Shell("chattr -i \"$@\" 2>/dev/null", row.files, folder); // so that it can be removed
  }
  for (const auto &entry : fs::recursive_directory_iterator(folder))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".quillsum-cli-")) << entry.path();
}

TEST(Dedupe, RefusalsLeaveEachMemberAsItWas) {
  const test::TempDir dir;
  const test::Mounted xfs(dir.path(), "xfs", 300 << 20), tmpfs(dir.path(), "tmpfs", 16 << 20);
  for (const test::Mounted *mounted : {&xfs, &tmpfs})
    if (!mounted->mounted())
      GTEST_SKIP() << mounted->why();
  const std::string none = "quillsum-cli: files now sharing the bytes of their group's first "
                           "file: 0 (0 B)\n";
  const auto refused = [](const std::string &name, const std::string &reason) {
    return "quillsum-cli: " + name + ": cannot share its bytes: " + reason + "\n";
  };
  ExpectLeftAsTheyWere(dir, "--dedupe",
                       {{"a file system that cannot share",
                         {"tmpfs/a", "tmpfs/b", "tmpfs/c"},
                         refused("tmpfs/b", "Operation not supported") +
                             refused("tmpfs/c", "Operation not supported") + none},
                        {"a member on another file system",
                         {"xfs/x/a", "tmpfs/x/b"},
                         refused("tmpfs/x/b", "Invalid cross-device link") + none},
                        {"an immutable member, named to move a terminal",
                         {"xfs/i/a", "xfs/i/b\x1b[2J"},
                         refused("'xfs/i/b'$'\\033''[2J'", "Operation not permitted") + none,
                         "chattr +i \"$2\""},
                        {"a member the user may not write",
                         {"xfs/w/a", "xfs/w/b"},
                         refused("xfs/w/b", "Operation not permitted") + none,
                         "",
                         "",
                         "",
                         "",
                         true},
                        {"a member changed since compared, its time put back",
                         {"xfs/c/a", "xfs/c/b"},
                         "quillsum-cli: xfs/c/b: changed since compared, left as it was\n" + none,
                         "",
                         Change("\"$1\""),
                         "xfs/c/b"}});
}

TEST(Hardlink, RefusalsLeaveEachMemberAsItWas) {
  const test::TempDir dir;
  const test::Mounted tmpfs(dir.path(), "tmpfs", 16 << 20);
  if (!tmpfs.mounted())
    GTEST_SKIP() << tmpfs.why();
  const std::string none = "quillsum-cli: files now other names of their group's first file: ";
  const auto refused = [&](const std::string &name, const std::string &reason) {
    return "quillsum-cli: " + name + ": not linked: " + reason + "\n" + none + "0 (0 B)\n";
  };
  ExpectLeftAsTheyWere(
      dir, "--hardlink",
      {{"another mode", {"m/a", "m/b"}, refused("m/b", "another mode"), "chmod 600 \"$2\""},
       {"another owner", {"o/a", "o/b"}, refused("o/b", "another owner"), "chown nobody \"$2\""},
       {"an ACL",
        {"l/a", "l/b"},
        refused("l/b", "other extended attributes"),
        "setfacl -m u:nobody:r \"$2\""},
       {"two file systems", {"f/a", "tmpfs/f/b"}, refused("tmpfs/f/b", "on another file system")},
       {"a named symbolic link",
        {"s/a", "s/b"},
        refused("s/b", "a symbolic link"),
        "mv \"$2\" \"$2.file\" && ln -s b.file \"$2\""},
       {"changed after its group was made, before its turn",
        {"t/a", "t/b", "t/c"},
        "quillsum-cli: t/c: not linked: changed since compared\n" + none + "1 (64.0 KiB)\n",
        "",
        "[ \"$1\" = t/b ] && " + Change("t/c"),
        "t/c",
        "t/b"},
       {"changed after it was compared, before its name is swapped",
        {"e/a", "e/b"},
        refused("e/b", "changed since compared"),
        "",
        Change("\"$1\""),
        "e/b"}});
}

TEST(Hardlink, MembersBecomeNamesOfTheFirstFile) {
  const test::TempDir dir;
  const std::string x = test::RandomBytes(300'000, 1), y = test::RandomBytes(5000, 2);
  for (const auto &[name, bytes] :
       {std::pair{"t/a", x}, {"t/sub/b", x}, {"t/c", x}, {"t/d", y}, {"t/e", y}}) {
    fs::create_directories((dir.path() / name).parent_path());
    dir.Write(name, bytes);
  }
  // c has another name outside the tree, which keeps its bytes.
  fs::create_hard_link(dir.path() / "t/c", dir.path() / "c2");
  Look a = LookAt(dir.path() / "t/a");
  const Look c = LookAt(dir.path() / "c2");
  const std::string plan = test::RunCli({"--duplicates", "-r", "t"}, dir.path()).out;
  const Ran ran = Reclaim("--hardlink", dir.path(), {"-r", "t"});
  EXPECT_EQ(ran.out, plan);
  EXPECT_EQ(ran.err, "quillsum-cli: files now other names of their group's first file: 3 (297.9 "
                     "KiB)\n");
  EXPECT_EQ(ran.status, 0);
  // The first file is the same file, with its bytes and time, and two names more.
  std::tie(a.links, a.ctime) = std::tuple(3, LookAt(dir.path() / "t/a").ctime);
  EXPECT_EQ(LookAt(dir.path() / "t/a"), a);
  for (const auto &[name, first] : {std::pair{"t/sub/b", "t/a"}, {"t/c", "t/a"}, {"t/e", "t/d"}})
    EXPECT_EQ(LookAt(dir.path() / name), LookAt(dir.path() / first)) << name;
  EXPECT_EQ(test::ReadFile(dir.path() / "t/d"), y);
  const Look c2 = LookAt(dir.path() / "c2");
  EXPECT_EQ(std::tie(c2.inode, c2.bytes), std::tie(c.inode, c.bytes));
  EXPECT_EQ(Reclaim("--hardlink", dir.path(), {"-r", "t"}).err,
            "quillsum-cli: files now other names of their group's first file: 0 (0 B)\n");
}

} // namespace
} // namespace quillsum
