// The engine's digests of files: MD5CLS's whole-file digest of a name or a descriptor, and the
// sampled fingerprint of a file's first bytes.

#include "engine/Fingerprint.h"
#include "engine/MD5CLS.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace quillsum {
namespace {

using test::ReferenceMd5;
using test::TempDir;

TEST(DigestFileToHexStr, RegularFilesOfEverySizeMatchOpenSsl) {
  const TempDir dir;
  std::mt19937 random(5);
  std::vector<std::size_t> sizes = {0,   1,   55,  56,     63,     64,     65,
                                    127, 128, 129, 131072, 131073, 400'000};
  for (int k = 0; k < 10; ++k)
    sizes.push_back(random() % 300'000);
  MD5CLS md5; // one object for all: nothing from one file may leak into the next
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    const auto content = test::RandomBytes(size, static_cast<std::uint32_t>(size));
    EXPECT_EQ(md5.DigestFileToHexStr(dir.Write("f", content)), ReferenceMd5(content));
  }
}

// Lengths around the samples' edges: the head a reader has, or more, gives the file's fingerprint.
TEST(SampledFingerprint, OfAFilesHeadIsTheFilesFingerprint) {
  for (std::size_t length :
       {0, 1, 15, 16, 429, 444, 445, 13999, 14000, 14014, 14015, 14016, 20000}) {
    SCOPED_TRACE(length);
    const std::string content = test::RandomBytes(length, static_cast<std::uint32_t>(length));
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t *>(content.data()), length);
    EXPECT_EQ(SampledFingerprint(bytes.first(std::min(length, kSampledBytes))).digest,
              test::ReferenceFingerprint(content));
    EXPECT_EQ(SampledFingerprint(bytes).digest, test::ReferenceFingerprint(content));
  }
}

TEST(DigestFileToHexStr, WhatIsNotARegularFileGivesTheEmptyTextAtOnce) {
  const TempDir dir;
  const auto fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto unreadable = dir.Write("unreadable", "secret");
  ::chmod(unreadable.c_str(), 0);
  struct Case {
    std::string name;
    std::filesystem::path path;
  };
  std::vector<Case> cases = {{"missing", dir.path() / "missing"}, {"empty name", ""},
                             {"directory", dir.path()},           {"fifo", fifo},
                             {"/dev/zero", "/dev/zero"},          {"/dev/null", "/dev/null"}};
  if (::geteuid() != 0)
    cases.push_back({"no read permission", unreadable});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MD5CLS().DigestFileToHexStr(c.path), "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

// Sizes around the read chunk of 128 KiB; the progress hook hears every byte once.
TEST(DigestFdToHexStr, DigestsWhatIsLeftAndTellsEveryChunk) {
  const TempDir dir;
  constexpr std::size_t kChunk = 128 * 1024;
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, kChunk - 1, kChunk, kChunk + 1, 12 * kChunk + 5}) {
    SCOPED_TRACE(size);
    const auto content = test::RandomBytes(size, static_cast<std::uint32_t>(size));
    const auto file = dir.Write("f", content);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::size_t heard = 0;
    EXPECT_EQ(MD5CLS().DigestFdToHexStr(fd, [&](std::size_t bytes) { heard += bytes; }),
              ReferenceMd5(content));
    EXPECT_EQ(heard, size);
    ::close(fd);
  }
  // A descriptor that cannot be read fails, with errno saying why.
  const int fd = ::open((dir.path() / "f").c_str(), O_WRONLY | O_CLOEXEC);
  errno = 0;
  EXPECT_EQ(MD5CLS().DigestFdToHexStr(fd), "");
  EXPECT_EQ(errno, EBADF);
  ::close(fd);
}

// Over 2^28 bytes, whose bit count needs more than 31 bits; sparse, so it costs no disk.
TEST(DigestFileToHexStr, LargeSparseFileMatchesMd5sum) {
  const TempDir dir;
  const auto file = dir.Write("sparse", "head");
  {
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 300'000'007), 0);
    ASSERT_EQ(::pwrite(fd, "middle", 6, 150'000'000), 6);
    ASSERT_EQ(::pwrite(fd, "tail", 4, 300'000'003), 4);
    ::close(fd);
  }
  EXPECT_EQ(MD5CLS().DigestFileToHexStr(file), test::Md5sumOf(file));
}

} // namespace
} // namespace quillsum
