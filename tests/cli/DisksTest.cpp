// Which disk a file is on, on fake sysfs trees laid out as the kernel lays them out, and where a
// file lies on its disk, against filefrag on an ext4 made for the test.

#include "cli/loop/Disks.h"
#include "support/Mounted.h"
#include "support/Reference.h"
#include "support/Watch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <vector>

namespace quillsum {
namespace {

namespace fs = std::filesystem;

struct BlockDevice {
  std::string name, numbers;
  std::string disk; // for a partition, its whole disk
  std::string rotational;
  std::vector<std::string> slaves;
};

// Disks and partitions with their stacks, whose own flags say nothing sure: a stack over a
// spinning disk may say "not rotational", and older kernels said "rotational" of every dm device.
const BlockDevice kDevices[] = {
    {"sda", "8:0", "", "1", {}},
    {"sda1", "8:1", "sda", "", {}},
    {"sda2", "8:2", "sda", "", {}},
    {"sdb", "8:16", "", "1", {}},
    {"sdb1", "8:17", "sdb", "", {}},
    {"sdc", "8:32", "", "1", {}},
    {"sdc1", "8:33", "sdc", "", {}},
    {"nvme0n1", "259:0", "", "0", {}},
    {"nvme0n1p1", "259:1", "nvme0n1", "", {}},
    {"dm-0", "253:0", "", "0", {"sda2", "nvme0n1p1"}},
    {"dm-1", "253:1", "", "1", {"nvme0n1p1"}},
    {"md0", "9:0", "", "0", {"nvme0n1p1", "sdc1"}},
    {"dm-2", "253:2", "", "0", {"md0"}},
    {"loop0", "7:0", "", "1", {}},
    {"loop1", "7:1", "", "0", {}},
};

// Mounts whose device is anonymous: btrfs on a partition, tmpfs, a FUSE file system.
const char kMountinfo[] =
    "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "40 26 0:45 /@home /home rw,relatime shared:7 - btrfs /dev/sdb1 rw,subvol=/@home\n"
    "41 26 0:46 / /tmp rw,nosuid - tmpfs tmpfs rw\n"
    "42 26 0:48 / /mnt/far rw - fuse.sshfs someone@far:/ rw\n";

// Lays the devices out as sysfs does: each device's folder under devices/ (a partition's inside
// its disk's), reached through dev/block/MAJOR:MINOR and class/block/NAME, and each stacked
// device's slaves/ linking to the folders of the devices beneath it.
void LayOut(const fs::path &root) {
  const auto folder = [&](const std::string &name) {
    for (const auto &device : kDevices)
      if (device.name == name)
        return device.disk.empty() ? root / "devices" / name
                                   : root / "devices" / device.disk / name;
    throw std::logic_error("no device " + name);
  };
  const auto link = [](const fs::path &target, const fs::path &at) {
    fs::create_directories(at.parent_path());
    fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
  };
  for (const auto &device : kDevices) {
    const fs::path own = folder(device.name);
    fs::create_directories(own);
    std::ofstream(own / "dev") << device.numbers << "\n";
    if (device.disk.empty()) {
      fs::create_directories(own / "queue");
      std::ofstream(own / "queue" / "rotational") << device.rotational << "\n";
      fs::create_directories(own / "slaves");
    } else {
      std::ofstream(own / "partition") << "1\n";
    }
    link(own, root / "dev" / "block" / device.numbers);
    link(own, root / "class" / "block" / device.name);
  }
  for (const auto &device : kDevices)
    for (const auto &slave : device.slaves)
      link(folder(slave), folder(device.name) / "slaves" / slave);
}

TEST(Disks, FindsTheWholeDiskAndWhetherItSpins) {
  const test::TempDir dir;
  LayOut(dir.path() / "sys");
  std::ofstream(dir.path() / "mountinfo") << kMountinfo;
  cli::Disks disks(cli::Road::Automatic, dir.path() / "sys", dir.path() / "mountinfo");

  const struct {
    dev_t device, disk;
    bool spinning;
    const char *what;
  } kCases[] = {
      {makedev(8, 0), makedev(8, 0), true, "a plain spinning disk"},
      {makedev(8, 1), makedev(8, 0), true, "a partition: its whole disk"},
      {makedev(8, 2), makedev(8, 0), true, "another partition of the same disk"},
      {makedev(259, 1), makedev(259, 0), false, "a partition of a flash disk"},
      {makedev(253, 0), makedev(8, 0), true, "dm over a spinning and a flash disk"},
      {makedev(253, 1), makedev(253, 1), false, "dm over flash only, saying rotational"},
      {makedev(9, 0), makedev(8, 32), true, "md over a flash and a spinning disk"},
      {makedev(253, 2), makedev(8, 32), true, "dm over md"},
      {makedev(7, 0), makedev(7, 0), true, "a loop device marked rotational"},
      {makedev(7, 1), makedev(7, 1), false, "a loop device not marked"},
      {makedev(8, 99), makedev(8, 99), false, "a device sysfs does not know"},
      {makedev(0, 45), makedev(8, 16), true, "btrfs: through its mount's source"},
      {makedev(0, 46), makedev(0, 46), false, "tmpfs"},
      {makedev(0, 47), makedev(0, 47), false, "an anonymous device no mount names"},
      {makedev(0, 48), makedev(0, 48), false, "a FUSE file system"},
  };
  for (int round = 0; round < 2; ++round) // the second from what was learnt
    for (const auto &c : kCases) {
      SCOPED_TRACE(c.what);
      const cli::Disk disk = disks.Of(c.device);
      EXPECT_EQ(major(disk.id), major(c.disk));
      EXPECT_EQ(minor(disk.id), minor(c.disk));
      EXPECT_EQ(disk.spinning, c.spinning);
    }
}

TEST(DiskOrder, IsTheFirstExtentFilefragReports) {
  const test::TempDir dir;
  const test::Mounted ext4(dir.path(), "ext4", 64 << 20);
  if (!ext4.mounted())
    GTEST_SKIP() << ext4.why();

  // Created in name order, so that inode numbers follow the names; written in another order,
  // each to disk before the next, so that the data lies in that order.
  std::vector<std::string> names;
  for (char c = 'a'; c <= 'p'; ++c)
    names.push_back(std::string(1, c));
  for (const auto &name : names)
    std::ofstream(ext4.path() / name);
  std::vector<std::string> written = names;
  std::shuffle(written.begin(), written.end(), std::mt19937(14));
  std::size_t size = 0;
  for (const auto &name : written) {
    if (name == "e")
      continue; // stays empty
    size = size * 7 % 200'000 + 3000;
    const int fd = ::open((ext4.path() / name).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string bytes = test::RandomBytes(size, static_cast<std::uint32_t>(size));
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::fsync(fd);
    ::close(fd);
  }

  std::vector<std::pair<std::uint64_t, std::string>> order;
  for (const auto &name : names) {
    SCOPED_TRACE(name);
    const int fd = ::open((ext4.path() / name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ::fstat(fd, &info);
    const std::uint64_t place = cli::DiskOrder(fd, info);
    ::close(fd);
    EXPECT_EQ(place, test::FirstExtent(ext4.path() / name).value_or(0));
    if (name != "e")
      order.emplace_back(place, name);
  }
  std::sort(order.begin(), order.end());
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end(), [](const auto &a, const auto &b) {
    return a.second < b.second;
  })) << "the data should lie in another order than the names'";
}

TEST(DiskOrder, IsTheInodeWhereTheFileSystemDoesNotSay) {
  struct statfs shm {};
  if (::statfs("/dev/shm", &shm) != 0 || shm.f_type != TMPFS_MAGIC)
    GTEST_SKIP() << "no tmpfs on /dev/shm, whose files have no extents to report";
  const fs::path file = fs::path("/dev/shm") / ("quillsum-disks-" + std::to_string(::getpid()));
  std::ofstream(file) << "on no disk";
  const int fd = ::open(file.c_str(), O_RDONLY);
  fs::remove(file);
  ASSERT_GE(fd, 0);
  struct stat info {};
  ::fstat(fd, &info);
  EXPECT_EQ(cli::DiskOrder(fd, info), info.st_ino);
  ::close(fd);
}

// Whether most of a file is in memory: the file let go of, then the listed quarters read back
// without read-ahead.
TEST(InMemory, TellsWhetherMostOfAFileIsCached) {
  struct Case {
    std::size_t size;
    std::vector<int> read; // quarters of the file
    bool inMemory;
  };
  const Case cases[] = {
      {8 << 20, {0, 1, 2, 3}, true},   {8 << 20, {}, false},   {8 << 20, {1, 2, 3}, true},
      {8 << 20, {0, 1, 2}, true},      {8 << 20, {0}, false},  {8 << 20, {3}, false},
      {100 << 10, {0, 1, 2, 3}, true}, {100 << 10, {}, false}, {0, {}, true},
  };
  const test::TempDir dir;
  for (const Case &c : cases) {
    const std::string bytes = test::RandomBytes(c.size, 9);
    const int fd = ::open(dir.Write("f", bytes).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (c.size > 0 && cli::InMemory(fd, static_cast<off_t>(c.size))) {
      ::close(fd);
      GTEST_SKIP() << "this file system keeps its pages in memory";
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    std::string quarter(c.size / 4, '\0');
    for (int q : c.read)
      ASSERT_EQ(::pread(fd, quarter.data(), quarter.size(), static_cast<off_t>(q * quarter.size())),
                static_cast<ssize_t>(quarter.size()));
    EXPECT_EQ(cli::InMemory(fd, static_cast<off_t>(c.size)), c.inMemory)
        << c.size << " bytes, " << c.read.size() << " quarters read";
    ::close(fd);
  }
}

} // namespace
} // namespace quillsum
