// Odd and hostile names for both file paths: the window's sampled fingerprint and the engine's
// whole-file digest. Neither may block, crash, create, change or leave open anything.

#include "WindowTest.h"
#include "engine/MD5CLS.h"
#include "support/JoinedThread.h"
#include "window/Form1.h"

#include <QFile>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace quillsum {
namespace {

namespace fs = std::filesystem;
using test::ReferenceFingerprint;
using test::ReferenceMd5;
using test::TempDir;

const std::string kZeroFingerprint = "348A9791DC41B89796EC3808B5B5262F"; // length 0: nothing read

// Ends the test binary if a call takes longer than a few seconds, so a read that blocks fails
// CI instead of hanging it.
class Watchdog {
public:
  explicit Watchdog(std::string what) : what_(std::move(what)), thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    woken_.notify_one();
    thread_.join();
  }

private:
  void Watch() {
    std::unique_lock lock(mutex_);
    if (!woken_.wait_for(lock, std::chrono::seconds(30), [this] { return done_; })) {
      std::fprintf(stderr, "blocked: %s\n", what_.c_str());
      std::abort();
    }
  }

  std::string what_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool done_ = false;
  std::thread thread_;
};

// What a case may change: the files in its folder (name, size, time) and this process's
// open descriptors.
std::map<std::string, std::string> Snapshot(const fs::path &dir) {
  std::map<std::string, std::string> seen;
  for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    seen["fd " + entry.path().filename().string()] = fs::read_symlink(entry.path(), ec).string();
  }
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    struct stat info {};
    ::lstat(it->path().c_str(), &info);
    seen[it->path().string()] = std::to_string(info.st_size) + " " +
                                std::to_string(info.st_mtim.tv_sec) + "." +
                                std::to_string(info.st_mtim.tv_nsec);
  }
  return seen;
}

std::string ProcVersion() {
  std::ifstream file("/proc/version", std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

struct Results {
  std::string fingerprint;
  std::string whole;
};

Results DigestBoth(Form1 &window, const fs::path &name) {
  return {
      window.MD5dariFile(QFile::decodeName(QByteArray::fromStdString(name.string()))).toStdString(),
      MD5CLS().DigestFileToHexStr(name)};
}

// Runs DigestBoth as the unprivileged user "nobody" when this process is root, who could read
// anything; the results come back through a pipe.
Results DigestBothUnprivileged(Form1 &window, const fs::path &name) {
  if (::geteuid() != 0)
    return DigestBoth(window, name);
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0)
    throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
      ::_exit(2);
    const auto [fingerprint, whole] = DigestBoth(window, name);
    const std::string line = fingerprint + "|" + whole;
    const bool written =
        ::write(pipeEnds[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(pipeEnds[1]);
  char buffer[128] = {};
  const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer - 1);
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (got < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("the unprivileged child failed");
  const std::string line(buffer, static_cast<std::size_t>(got));
  const auto bar = line.find('|');
  return {line.substr(0, bar), line.substr(bar + 1)};
}

class HostileFiles : public ::testing::Test {
protected:
  Form1 window;
  TempDir dir;
};

struct Case {
  std::string name;
  // Makes what the case needs in the folder and returns the name to digest.
  std::function<fs::path(const fs::path &dir)> make;
  std::string fingerprint;
  std::string whole;
};

TEST_F(HostileFiles, NamesThatLeadToNoReadableFile) {
  const std::string content = "some content";
  const std::vector<Case> cases = {
      {"missing name", [](const fs::path &d) { return d / "missing"; }, "", ""},
      {"empty name", [](const fs::path &) { return fs::path(); }, "", ""},
      {"directory", [](const fs::path &d) { return d; }, "", ""},
      {"fifo",
       [](const fs::path &d) {
         ::mkfifo((d / "fifo").c_str(), 0600);
         return d / "fifo";
       },
       kZeroFingerprint, ""},
      {"unix socket",
       [](const fs::path &d) {
         const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (d / "sock").c_str());
         ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
         ::close(s);
         return d / "sock";
       },
       kZeroFingerprint, ""},
      {"/dev/null", [](const fs::path &) { return fs::path("/dev/null"); }, kZeroFingerprint, ""},
      {"/dev/zero", [](const fs::path &) { return fs::path("/dev/zero"); }, kZeroFingerprint, ""},
      // A length of 0 by name, yet reads give bytes: the whole-file digest counts what it reads.
      {"/proc/version", [](const fs::path &) { return fs::path("/proc/version"); },
       kZeroFingerprint, ReferenceMd5(ProcVersion())},
      {"symlink loop",
       [](const fs::path &d) {
         fs::create_symlink(d / "loop2", d / "loop1");
         fs::create_symlink(d / "loop1", d / "loop2");
         return d / "loop1";
       },
       "", ""},
      {"dangling symlink",
       [](const fs::path &d) {
         fs::create_symlink(d / "nowhere", d / "dangling");
         return d / "dangling";
       },
       "", ""},
      {"name longer than NAME_MAX",
       [](const fs::path &d) { return d / std::string(NAME_MAX + 1, 'n'); }, "", ""},
      {"name with a zero byte",
       [&](const fs::path &d) {
         std::ofstream(d / "real") << content;
         return fs::path((d / "real").string() + std::string(1, '\0') + "tail");
       },
       "", ""},
      {"symlink to a regular file",
       [&](const fs::path &d) {
         std::ofstream(d / "target") << content;
         fs::create_symlink(d / "target", d / "link");
         return d / "link";
       },
       ReferenceFingerprint(content), ReferenceMd5(content)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir caseDir;
    const fs::path name = c.make(caseDir.path());
    const auto before = Snapshot(caseDir.path());
    const Watchdog watchdog(c.name);
    const auto [fingerprint, whole] = DigestBoth(window, name);
    EXPECT_EQ(fingerprint, c.fingerprint);
    EXPECT_EQ(whole, c.whole);
    EXPECT_EQ(Snapshot(caseDir.path()), before);
  }
}

TEST_F(HostileFiles, NameThatIsNotUtf8ReachesTheFileSystemUnchanged) {
  const std::string content(20'000, 'q');
  const fs::path name = dir.path() / "bad \xFF\xFE name\n.bin";
  std::ofstream(name, std::ios::binary) << content;
  const auto before = Snapshot(dir.path());
  EXPECT_EQ(MD5CLS().DigestFileToHexStr(name), ReferenceMd5(content));
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST_F(HostileFiles, FileWithoutReadPermission) {
  const std::string content = "private";
  const fs::path name = dir.path() / "private";
  std::ofstream(name) << content;
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(name, fs::perms::none);
  const auto before = Snapshot(dir.path());
  const auto [fingerprint, whole] = DigestBothUnprivileged(window, name);
  EXPECT_EQ(fingerprint, "");
  EXPECT_EQ(whole, "");
  EXPECT_EQ(Snapshot(dir.path()), before);
}

// Runs body in a loop while a second thread runs change, until body has run often enough.
void RaceAgainst(const std::function<void()> &change, const std::function<void()> &body) {
  std::atomic<bool> stop = false;
  const test::JoinedThread writer(
      [&] {
        while (!stop)
          change();
      },
      [&] { stop = true; });
  for (int k = 0; k < 300; ++k)
    body();
}

// The fingerprint takes the length by name, then opens the name; a writer keeps swapping a short
// and a long file under it, so the length taken and the file read disagree both ways. Every
// result must be what some pairing of the two gives.
TEST_F(HostileFiles, FileReplacedBetweenLengthAndReads) {
  const std::string longContent = test::RandomBytes(20'000, 1);
  const std::string shortContent = longContent.substr(0, 5'000);
  const fs::path shortFile = dir.Write("short", shortContent);
  const fs::path longFile = dir.Write("long", longContent);
  const fs::path name = dir.path() / "changing", swap = dir.path() / "swap";
  fs::copy_file(longFile, name);

  std::set<std::string> fingerprints;
  for (std::int64_t length : {shortContent.size(), longContent.size()})
    for (const std::string *file : {&shortContent, &longContent})
      fingerprints.insert(ReferenceFingerprint(*file, length));
  const std::set<std::string> wholes = {ReferenceMd5(shortContent), ReferenceMd5(longContent)};

  const Watchdog watchdog("replaced file");
  RaceAgainst(
      [&] {
        for (const fs::path &next : {shortFile, longFile}) {
          fs::create_hard_link(next, swap);
          fs::rename(swap, name);
        }
      },
      [&] {
        const auto [fingerprint, whole] = DigestBoth(window, name);
        EXPECT_TRUE(fingerprints.contains(fingerprint)) << fingerprint;
        EXPECT_TRUE(wholes.contains(whole)) << whole;
      });
}

// A file that grows while the whole-file digest reads it gives the MD5 of a prefix: exactly the
// bytes read, however many that was.
TEST_F(HostileFiles, FileThatGrowsWhileRead) {
  constexpr std::size_t kStart = 200'000, kGrowth = 4'000, kSteps = 50;
  const std::string content = test::RandomBytes(kStart + kGrowth * kSteps, 2);
  const fs::path name = dir.Write("growing", std::string_view(content).substr(0, kStart));

  std::set<std::string> prefixes;
  EVP_MD_CTX *running = EVP_MD_CTX_new();
  EVP_MD_CTX *copy = EVP_MD_CTX_new();
  EVP_DigestInit_ex(running, EVP_md5(), nullptr);
  EVP_DigestUpdate(running, content.data(), kStart);
  for (std::size_t size = kStart; size <= content.size(); ++size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    EVP_MD_CTX_copy_ex(copy, running);
    EVP_DigestFinal_ex(copy, digest, nullptr);
    prefixes.insert(test::ToHex({digest, 16}));
    if (size < content.size())
      EVP_DigestUpdate(running, content.data() + size, 1);
  }
  EVP_MD_CTX_free(copy);
  EVP_MD_CTX_free(running);

  std::ofstream appender(name, std::ios::binary | std::ios::app);
  std::size_t written = kStart;
  const Watchdog watchdog("growing file");
  RaceAgainst(
      [&] {
        if (written < content.size()) {
          appender.write(content.data() + written, kGrowth).flush();
          written += kGrowth;
        }
      },
      [&] {
        const std::string whole = MD5CLS().DigestFileToHexStr(name);
        EXPECT_TRUE(prefixes.contains(whole)) << whole;
      });
}

// 5 GiB, sparse: its length needs more than 32 bits and its bit count more than 32 bits.
TEST_F(HostileFiles, HugeSparseFile) {
  constexpr std::int64_t kSize = std::int64_t{5} << 30;
  std::string head(14'015, '\0');
  for (std::int64_t offset : test::kSampleOffsets)
    for (std::size_t k = 0; k < 16; ++k)
      head[static_cast<std::size_t>(offset) + k] = static_cast<char>(offset + k * 11 + 1);
  const fs::path name = dir.path() / "huge";
  test::MakeFile(name, head, kSize);
  {
    const int fd = ::open(name.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "far", 3, std::int64_t{3} << 30), 3);
    ASSERT_EQ(::pwrite(fd, "end", 3, kSize - 3), 3);
    ::close(fd);
  }
  const auto before = Snapshot(dir.path());
  const auto [fingerprint, whole] = DigestBoth(window, name);
  EXPECT_EQ(fingerprint, ReferenceFingerprint(head, kSize));
  EXPECT_EQ(whole, test::Md5sumOf(name));
  EXPECT_EQ(Snapshot(dir.path()), before);
}

} // namespace
} // namespace quillsum

int main(int argc, char **argv) {
  const quillsum::test::Headless headless;
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
