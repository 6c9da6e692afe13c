// Writes the duplicate finders' tree of many small files: FILES files of 1 to 3,000 bytes beneath
// DIR/dups, a thousand to a folder, a third of them copies of FILES / 150 shared contents and the
// rest random bytes of their own, as a home folder's or a photo library's thumbnails are. The same
// FILES and SEED give the same tree on any machine: only the generator's own numbers are used.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kLargest = 3000, kFilesAFolder = 1000;

std::string RandomBytes(std::mt19937_64 &random, std::uint64_t size) {
  std::string bytes(size, '\0');
  for (char &byte : bytes)
    byte = static_cast<char>(random() & 0xff);
  return bytes;
}

bool Write(const std::string &name, const std::string &bytes) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  const bool wrote = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && wrote;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s DIR FILES SEED\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = std::filesystem::path(argv[1]) / "dups";
  const std::uint64_t files = std::strtoull(argv[2], nullptr, 10);
  std::mt19937_64 random(std::strtoull(argv[3], nullptr, 10));
  const auto size = [&] { return 1 + random() % kLargest; };
  std::vector<std::string> shared(files / 150 + 1);
  for (std::string &bytes : shared)
    bytes = RandomBytes(random, size());
  const std::uint64_t folders = (files + kFilesAFolder - 1) / kFilesAFolder;
  for (std::uint64_t folder = 0; folder < folders; ++folder)
    std::filesystem::create_directories(dir / ("d" + std::to_string(folder)));
  for (std::uint64_t k = 0; k < files; ++k) {
    const std::string name =
        (dir / ("d" + std::to_string(random() % folders)) / ("f" + std::to_string(k))).native();
    const bool copy = random() % 3 == 0;
    if (!Write(name, copy ? shared[random() % shared.size()] : RandomBytes(random, size()))) {
      std::fprintf(stderr, "%s: %s: %s\n", argv[0], name.c_str(), std::strerror(errno));
      return 1;
    }
  }
  return 0;
}
